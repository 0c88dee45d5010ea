/*
 * Named file locks: advisory whole-file locks on the files under
 * /run/kestsdk/lock, several taken at once by bit mask, shared or
 * exclusive, with a timeout.
 *
 * Lock state is per thread: a thread that holds a name takes it again by
 * counting, and two threads of one process exclude each other like two
 * processes. A shared hold cannot be upgraded in place. Children never
 * inherit a hold: every child created by fork closes the forking thread's
 * lock streams.
 *
 * Failures leave a code in the thread's error record (kest/error.h).
 */
#ifndef KEST_FILELOCK_H
#define KEST_FILELOCK_H

#include <kest/export.h>

KEST_BEGIN_DECLS

/*
 * One enumeration, so operation and bits combine without casts: the low
 * four bits are the advisory lock call's operation, optionally not
 * blocking; the bits from 0x10 up are lock files under /run/kestsdk/lock.
 */
enum {
    FLOCK_SHARED = 1,
    FLOCK_EXCLUSIVE = 2,
    FLOCK_NONBLOCK = 4,

    FLOCK_PW = 0x00000010,
    FLOCK_GR = 0x00000020,
    FLOCK_SMB = 0x00000040,
    FLOCK_RC = 0x00000080,
    FLOCK_HOST = 0x00000100,
    FLOCK_EXPORTS = 0x00000200,
    FLOCK_NW = 0x00000400,
    FLOCK_KESTINFO = 0x00000800,
    FLOCK_APPLE = 0x00001000,
    FLOCK_SNMP = 0x00002000,
    FLOCK_WIN = 0x00004000,
    FLOCK_TAPEBKP = 0x00008000,
    FLOCK_CONNECT = 0x00010000,
    FLOCK_USBIDMAP = 0x00020000,
    FLOCK_DUSERUID = 0x00040000,
    FLOCK_DUSERGID = 0x00080000,
    FLOCK_FSTAB = 0x00100000,
    FLOCK_HOTSWAP = 0x00200000,
    FLOCK_SPACE = 0x00400000,
    FLOCK_TTYS1 = 0x00800000,
    FLOCK_SRVMGR = 0x01000000,
    FLOCK_KESTMOUNT = 0x02000000,
    FLOCK_LUNBKPTASK = 0x04000000,
    FLOCK_LUNBKP_ENV = 0x08000000,
    FLOCK_PKG = 0x10000000,
    FLOCK_FTP_CURRLOG = 0x20000000,
    FLOCK_SSHD_REFERNCE = 0x40000000,
    FLOCK_SFTP_CURRLOG = (int)0x80000000u
};

/*
 * Takes every lock bit in `flags` with its low four bits as operation.
 * timeout in seconds: 0 tries once, -1 waits for ever; between attempts
 * nothing of the set is held. 0, or -1 with code 0x0400.
 */
KEST_API int XLIBCFileLock(int flags, int timeout);
/* Releases (or counts down) each bit held. */
KEST_API int XLIBCFileUnlock(int bits);
/* Creates missing lock files with mode 0444; the directory must exist. */
KEST_API int XLIBCFileLockCheckDir(void);

KEST_END_DECLS

#endif
