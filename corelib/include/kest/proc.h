/*
 * Running programs: by path with an argument vector, never through a shell.
 *
 * Conventions: results and the error record as in kest/error.h. Children
 * that cannot execute their program exit with 255 (exec operations) or 127
 * (pipes) and never return into the caller's code. The argument vectors
 * built from variadic arguments are: the program path, the arguments, null.
 *
 * Pipes opened by XLIBCPopen/XLIBCPopenV are kept in a process-wide
 * registry until XLIBCPclose, so later children close them and XLIBCPclose
 * knows the child to wait for. The SIGCHLD change made by the exec
 * operations (clearing SA_NOCLDWAIT while they wait) is process-wide for
 * the duration of the call.
 */
#ifndef KEST_PROC_H
#define KEST_PROC_H

#include <stdio.h>
#include <sys/types.h>

#include <kest/export.h>

KEST_BEGIN_DECLS

/* Fork flags: what the child does before it returns (or executes). */
enum {
    PROC_NULL_STDIO = 0x01,     /* standard streams to /dev/null */
    PROC_CLOSE_LOCKS = 0x02,    /* close the calling thread's named-lock streams */
    PROC_CLOSE_FDS = 0x04,      /* PROC_CLOSE_LOCKS and every descriptor from 3 up */
    PROC_CLEAR_ENV = 0x08,      /* environment cleared except PATH */
    PROC_CHDIR_ROOT = 0x10,     /* working directory "/" */
    PROC_SETSID = 0x20,         /* leave the controlling terminal */
    PROC_DETACH = 0x40,         /* fork again; the grandchild goes on */
    PROC_RESET_NICE = 0x80,     /* scheduling priority back to 0 */
    PROC_OWNER_SWITCH = 0x100,  /* exec only: run as the program file's owner */
    PROC_FLAGS_DAEMON = 0xAB,
    PROC_FLAGS_DEFAULT = 0xBB   /* XLIBCExec */
};

/* Parent: the child's pid (with PROC_DETACH: 1, or -1 if the intermediate failed); child: 0. */
KEST_API pid_t XLIBCProcFork(int flags);
/* Exit status 0..255 of the program, or -1 (code 0x2A00 when it did not exit normally). */
KEST_API int XLIBCExecl(const char *path, int flags, ...);
/* XLIBCExecl with PROC_FLAGS_DEFAULT and up to four arguments (missing ones null). */
KEST_API int XLIBCExec(const char *path, const char *arg1, const char *arg2, const char *arg3, const char *arg4);
/* argv includes element 0. Waiting: the exit status or -1; not waiting: 0 once detached. */
KEST_API int XLIBCExecv(const char *path, char *const argv[], int wait);
/*
 * mode: exactly one of 'r' (read the child's output) and 'w' (write its
 * input); 'B' output and error to the pipe, 'E' only error (output to
 * /dev/null), 'e' keep the caller's end close-on-exec, 'p' owner switch.
 */
KEST_API FILE *XLIBCPopen(const char *path, const char *mode, ...);
KEST_API FILE *XLIBCPopenV(const char *path, const char *mode, char *const argv[]);
/* Closes the stream and returns the child's raw wait status; -1 for an unknown stream. */
KEST_API int XLIBCPclose(FILE *stream);
/* Forks without flushing; the child's standard streams go to /dev/null. */
KEST_API pid_t XLIBCProcForkCloseIO(void);
/* fgets and write, retried up to three times on EINTR; errno is preserved. */
KEST_API char *XLIBCProcFgets(char *buffer, int size, FILE *stream);
KEST_API ssize_t XLIBCProcWrite(int fd, const void *data, size_t length);
/* The pid in the file; 0 if it holds no number; -1 if it cannot be opened. */
KEST_API pid_t XLIBCProcPidFileRead(const char *path);
KEST_API int XLIBCProcSignalByPidFile(const char *path, int signal);
KEST_API int XLIBCProcAliveByPidFile(const char *path);

KEST_END_DECLS

#endif
