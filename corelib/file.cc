#include "kest/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "internal/raise.h"
#include "kest/kvfile.h"

extern "C" {

int XLIBCFileEnumDir(const char *dir, const char *pattern, SzList **list, int flags) {
    static const char *const kModule = "file_enum_dir";
    if (!dir || !list || !*list || flags < 0) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    DIR *d = opendir(dir);
    if (!d) {
        KEST_RAISE(ERR_OPEN, kModule);
        return -1;
    }
    bool want_dirs = flags & ENUM_DIR_DIRS, want_files = flags & ENUM_DIR_FILES;
    if (!want_dirs && !want_files) want_dirs = want_files = true;
    int result = 0;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        struct stat st;
        std::string path = std::string(dir) + "/" + e->d_name;
        if (stat(path.c_str(), &st) != 0) continue;
        if (!((want_dirs && S_ISDIR(st.st_mode)) || (want_files && S_ISREG(st.st_mode)))) continue;
        if (pattern && !XLIBCFileLineMatch(e->d_name, pattern, flags)) continue;
        if (XLIBCSzListPush(list, e->d_name) < 0) {
            result = -1;
            break;
        }
    }
    closedir(d);
    return result < 0 ? -1 : (*list)->count;
}

int XLIBCFileExist(const char *path) {
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

int XLIBCFileTouch(const char *path) {
    static const char *const kModule = "file_touch";
    if (!path) {
        KEST_LOG(LOG_ERR, kModule, "Bad parameters");
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    if (XLIBCFileExist(path)) return 0;
    // Never through a link planted at the path, never blocking on a FIFO.
    int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        KEST_LOG(LOG_ERR, kModule, "file exist: %s, errno=%m", path);
        KEST_RAISE(ERR_OPEN, kModule);
        return -1;
    }
    close(fd);
    return 0;
}

int XLIBCErrorLogAppend(const char *path, const char *message) {
    static const char *const kModule = "error_log_set";
    if (!path || !message) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        KEST_RAISE(ERR_OPEN, kModule);
        return -1;
    }
    std::string line = std::string(message) + "\n";
    bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        KEST_RAISE(ERR_WRITE, kModule);
        return -1;
    }
    return 0;
}

}
