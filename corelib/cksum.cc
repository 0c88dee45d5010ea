#include "kest/cksum.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "internal/raise.h"
#include "kest/proc.h"

namespace {

constexpr const char *kModule = "cksum_check_dir";
constexpr const char *kScratch = "/tmp/cksum.tmp";

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

long long RandomBelow(long long n) {
    unsigned long long r = 0;
    if (getrandom(&r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) r = static_cast<unsigned long long>(rand());
    return static_cast<long long>(r % static_cast<unsigned long long>(n));
}

// The scratch file, freshly emptied. A fixed name in a world-writable
// folder: never through a link, never into a file someone else owns or
// that is not a plain file; such a thing is removed and the file made anew.
int OpenScratch() {
    for (int attempt = 0; attempt < 4; ++attempt) {
        int fd = open(kScratch, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) return fd;
        if (errno != EEXIST) return -1;
        struct stat st;
        if (lstat(kScratch, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1) {
            fd = open(kScratch, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            struct stat opened;
            if (fd >= 0 && fstat(fd, &opened) == 0 && opened.st_ino == st.st_ino && opened.st_dev == st.st_dev &&
                S_ISREG(opened.st_mode) && ftruncate(fd, 0) == 0)
                return fd;
            if (fd >= 0) close(fd);
        }
        unlink(kScratch);
    }
    return -1;
}

bool WriteAll(int fd, const std::string &s) { return write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size()); }

// Writes the file's checksum line to the scratch file; 0 or a code.
int WriteChecksumLine(const std::string &path, const struct stat &st) {
    Fd out;
    out.fd = OpenScratch();
    if (out.fd < 0) return ERR_SYSTEM_CALL;
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return WriteAll(out.fd, "0 0\n") ? 0 : ERR_WRITE;
    if (S_ISLNK(st.st_mode)) return WriteAll(out.fd, "0 " + std::to_string(st.st_size) + "\n") ? 0 : ERR_WRITE;
    FILE *tool = XLIBCPopen("/usr/bin/cksum", "r", "-o", "3", path.c_str(), nullptr);
    if (!tool) return ERR_SYSTEM_CALL;
    char line[512];
    bool written = true;
    while (written && XLIBCProcFgets(line, sizeof line, tool)) written = WriteAll(out.fd, line);
    if (!written) {
        while (XLIBCProcFgets(line, sizeof line, tool)) {
        }
    }
    int status = XLIBCPclose(tool);
    if (!written) return ERR_WRITE;
    return status == 0 ? 0 : ERR_SYSTEM_CALL;
}

// The first two tokens of the scratch file.
int ReadChecksumLine(std::string *crc, std::string *size) {
    int fd = open(kScratch, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return ERR_OPEN;
    FILE *f = fdopen(fd, "r");
    if (!f) {
        close(fd);
        return ERR_OPEN;
    }
    char line[512] = {};
    bool got = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    if (!got) return ERR_MISMATCH;
    char *save = nullptr;
    const char *a = strtok_r(line, " \t\n", &save);
    const char *b = strtok_r(nullptr, " \t\n", &save);
    *crc = a ? a : "";
    *size = b ? b : "";
    return 0;
}

bool ParseNumber(const std::string &s, long long *out) {
    if (s.empty() || s.size() > 15) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    *out = std::stoll(s);
    return true;
}

std::vector<std::string> Fields(char *line) {
    std::vector<std::string> out;
    char *save = nullptr;
    for (char *t = strtok_r(line, " \t\n", &save); t; t = strtok_r(nullptr, " \t\n", &save)) out.emplace_back(t);
    return out;
}

// The trailer: "#", blanks, "Kestcksum", three totals.
bool TrailerMatches(const char *line, long long sizes, long long probes, long long sums) {
    const char *p = line + 1;
    while (*p == ' ' || *p == '\t') ++p;
    if (strncmp(p, "Kestcksum", 9) != 0 || (p[9] != ' ' && p[9] != '\t')) return false;
    std::string rest(p + 9);
    std::vector<std::string> f = Fields(rest.data());
    long long a, b, c;
    return f.size() >= 3 && ParseNumber(f[0], &a) && ParseNumber(f[1], &b) && ParseNumber(f[2], &c) && a == sizes &&
           b == probes && c == sums;
}

}  // namespace

extern "C" {

int XLIBCCksumSample(const char *path, long long *probe, long long *sum, long long *size) {
    if (!path || !probe || !sum || !size) return ERR_BAD_PARAMETERS;
    struct stat st;
    if (lstat(path, &st) != 0) return ERR_STAT;
    struct Fixed {
        long long offset, sum;
    };
    if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
        Fixed f = S_ISBLK(st.st_mode) ? Fixed{117, 2552} : S_ISCHR(st.st_mode) ? Fixed{130, 1814} : Fixed{51, 1824};
        *probe = f.offset;
        *sum = f.sum;
        *size = 0;
        return 0;
    }
    long long length = st.st_size;
    if (length == 0) {
        *probe = 0;
        *sum = 2767;
        *size = 0;
        return 0;
    }
    long long offset = *probe < 0 ? RandomBelow(length) : *probe - length;
    if (offset < 0) return ERR_FILE_TOO_SHORT;
    if (S_ISLNK(st.st_mode)) {
        *probe = length + offset;
        *sum = offset;
        *size = length;
        return 0;
    }
    Fd in;
    in.fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in.fd < 0) return ERR_OPEN;
    if (offset + 3 >= length) offset = offset <= 3 ? (length < 4 ? 0 : length - 4) : offset - 4;
    // Still past the end: the file is shorter than the recorded probe needs
    // (it was truncated), which is no read error.
    if (offset + (length < 4 ? length : 4) > length) return ERR_FILE_TOO_SHORT;
    if (lseek(in.fd, offset, SEEK_SET) != offset) return ERR_SEEK;
    unsigned char bytes[4];
    size_t want = length < 4 ? static_cast<size_t>(length) : 4;
    if (read(in.fd, bytes, want) != static_cast<ssize_t>(want)) return ERR_READ;
    long long total = 0;
    for (size_t i = 0; i < want; ++i) total += bytes[i];
    *probe = length + offset;
    *sum = total;
    *size = length;
    return 0;
}

int XLIBCCksumCheckDir(const char *dir) {
    if (!dir || !*dir) return ERR_EMPTY_DIRECTORY_NAME;
    char list_path[256];
    if (snprintf(list_path, sizeof list_path, "%s/%s", dir, "checksum.kest") >= static_cast<int>(sizeof list_path))
        return ERR_OPEN;
    FILE *list = fopen(list_path, "re");
    if (!list) return ERR_OPEN;
    struct Closer {
        FILE *f;
        ~Closer() { fclose(f); }
    } closer{list};

    long long sizes = 0, probes = 0, sums = 0;
    int entries = 0;
    char line[512];
    while (fgets(line, sizeof line, list)) {
        if (line[0] == '\n' || line[0] == '\0') return ERR_MISMATCH;
        if (line[0] == '#') return TrailerMatches(line, sizes, probes, sums) && entries > 0 ? 0 : ERR_MISMATCH;
        std::vector<std::string> f = Fields(line);
        long long want_size, probe, want_sum;
        if (f.size() < 5 || f[0].size() > 15 || f[2].size() > 255 || !ParseNumber(f[1], &want_size) ||
            !ParseNumber(f[3], &probe) || !ParseNumber(f[4], &want_sum))
            return ERR_MISMATCH;

        std::string path = std::string(dir) + "/" + f[2];
        char real_dir[PATH_MAX], real_file[PATH_MAX];
        if (!realpath(dir, real_dir) || !realpath(path.c_str(), real_file)) {
            XLIBCErrSetEx(ERR_OPEN, kModule, __LINE__);
            KEST_LOG(LOG_ERR, kModule, "Failed to get realpath" KEST_ERR_FMT, KEST_ERR_ARGS);
            return ERR_MISMATCH;
        }
        // Inside means below the directory: "/x/boot" does not hold "/x/boot2/f".
        std::string prefix = real_dir;
        if (prefix.back() != '/') prefix += '/';
        if (strncmp(real_file, prefix.c_str(), prefix.size()) != 0) {
            KEST_LOG(LOG_ERR, kModule, "Realpath is not compatible with input path");
            return ERR_MISMATCH;
        }
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return ERR_STAT;
        if (int r = WriteChecksumLine(path, st)) return r;
        long long got_probe = probe, got_sum = 0, got_size = 0;
        if (int r = XLIBCCksumSample(path.c_str(), &got_probe, &got_sum, &got_size)) return r;
        if (got_sum != want_sum || got_size != want_size) return ERR_MISMATCH;
        std::string crc, size;
        if (int r = ReadChecksumLine(&crc, &size)) return r;
        if (crc != f[0] || size != f[1]) return ERR_MISMATCH;
        sizes += got_size;
        probes += probe;
        sums += got_sum;
        ++entries;
    }
    return entries > 0 ? 0 : ERR_MISMATCH;
}

}
