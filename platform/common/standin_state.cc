#include "standin_state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>

namespace kest::platform {

bool ReadState(const char *name, std::vector<std::vector<std::string>> *lines) {
    std::ifstream in(std::string(kStateDir) + "/" + name);
    if (!in) return false;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (!w.empty()) lines->push_back(w);
    }
    return true;
}

std::string Option(const std::vector<std::string> &words, const std::string &key, const std::string &fallback) {
    for (const auto &w : words)
        if (w.rfind(key + "=", 0) == 0) return w.substr(key.size() + 1);
    return fallback;
}

bool ShouldFail(const char *function) {
    std::ifstream in(std::string(kStateDir) + "/fail");
    for (std::string line; std::getline(in, line);)
        if (line == function) return true;
    return false;
}

void Journal(const char *function, const std::vector<std::string> &args) {
    int fd = open("/run/kest-platform/journal", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return;
    std::string line = function;
    for (const auto &a : args) line += " " + a;
    line += "\n";
    flock(fd, LOCK_EX);
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
    close(fd);
}

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
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(QuoteWord(argv[i]));
    Journal(name, args);
}

}  // namespace kest::platform
