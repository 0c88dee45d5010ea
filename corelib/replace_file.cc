#include "internal/replace_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kest::core {

namespace {

std::string RandomSuffix() {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[6];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // Fall back on something unique enough; O_EXCL catches collisions.
        for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(getpid() >> (i * 3) ^ i * 37);
    }
    std::string s;
    for (unsigned char b : bytes) s += kChars[b % (sizeof kChars - 1)];
    return s;
}

}  // namespace

ReplaceFile::~ReplaceFile() {
    if (stream_) fclose(stream_);
    if (!committed_ && !temp_.empty()) unlink(temp_.c_str());
}

bool ReplaceFile::Open() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = path_ + "." + RandomSuffix();
        int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        temp_ = name;
        stream_ = fdopen(fd, "w");
        if (!stream_) {
            int err = errno;
            close(fd);
            errno = err;
            return false;
        }
        return true;
    }
    errno = EEXIST;
    return false;
}

bool ReplaceFile::Finish(uid_t uid, gid_t gid, int mode) {
    if (!stream_) return false;
    bool ok = fflush(stream_) == 0 && fsync(fileno(stream_)) == 0;
    if (ok && uid != static_cast<uid_t>(-1)) ok = fchown(fileno(stream_), uid, gid) == 0;
    if (ok && mode >= 0) ok = fchmod(fileno(stream_), static_cast<mode_t>(mode) & 07777) == 0;
    ok = (fclose(stream_) == 0) && ok;
    stream_ = nullptr;
    return ok;
}

bool ReplaceFile::Commit() {
    if (temp_.empty() || stream_) return false;
    if (rename(temp_.c_str(), path_.c_str()) != 0) return false;
    committed_ = true;
    SyncParentDir(path_);
    return true;
}

bool SyncParentDir(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

}  // namespace kest::core
