#include "testbed_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

int CountLog(const std::string &needle) {
    int n = 0;
    for (const auto &line : LogLines()) n += line.find(needle) != std::string::npos;
    return n;
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

int Spawn(const std::vector<std::string> &argv, const std::string &output) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(output.empty() ? "/dev/null" : output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int WaitExit(int pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Stop(int pid, int sig, std::chrono::milliseconds timeout) {
    kill(pid, sig);
    return WaitExit(pid, timeout);
}

}  // namespace kest::testbed
