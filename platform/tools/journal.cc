#include "journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kest::platform {

std::string QuoteWord(const std::string &word) {
    bool plain = !word.empty();
    for (unsigned char c : word) {
        if (!(isalnum(c) || std::string("_./=:,+@%-").find(static_cast<char>(c)) != std::string::npos)) {
            plain = false;
            break;
        }
    }
    if (plain) return word;
    std::string out = "'";
    for (char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

void JournalArgv(const char *name, int argc, char **argv) {
    int fd = open("/run/kest-platform/journal", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return;
    std::string line = name;
    for (int i = 1; i < argc; ++i) line += " " + QuoteWord(argv[i]);
    line += "\n";
    flock(fd, LOCK_EX);
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
    close(fd);
}

}  // namespace kest::platform
