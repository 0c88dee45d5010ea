#include "testbed_support.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace kest::testbed {

bool Inside() { return getenv("KEST_TESTBED") != nullptr; }

std::string LogPath() {
    const char *p = getenv("KEST_TESTBED_LOG");
    return p ? p : "/run/kest-testbed/syslog.log";
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

static std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<std::string> LogLines() { return Lines(ReadFile(LogPath())); }

std::string WaitForLog(const std::string &needle, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (const auto &line : LogLines())
            if (line.find(needle) != std::string::npos) return line;
        if (std::chrono::steady_clock::now() >= deadline) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<std::string> JournalLines() { return Lines(ReadFile(kJournal)); }

void ClearJournal() { WriteFile(kJournal, ""); }

void SetScenario(const std::string &program, const std::string &rules) {
    WriteFile(std::string(kScenarioDir) + "/" + program, rules);
}

RunResult RunShell(const std::string &command) {
    RunResult r{-1, {}};
    FILE *p = popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.output.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
    return r;
}

}  // namespace kest::testbed
