// For tests that run inside kest-testbed: the captured syslog, the platform
// journal and the stand-in scenarios, at the paths the testbed gives them.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace kest::testbed {

constexpr const char *kJournal = "/run/kest-platform/journal";
constexpr const char *kScenarioDir = "/run/kest-platform/scenario";

// True inside a testbed (it exports KEST_TESTBED).
bool Inside();

// The captured log: one line a message, "<level> <facility>.<level name> <text>".
std::string LogPath();
std::vector<std::string> LogLines();

// Log delivery is asynchronous: wait until a line containing `needle`
// appears, at most `timeout`; returns that line or an empty string.
std::string WaitForLog(const std::string &needle,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Lines of the captured log containing `needle`.
int CountLog(const std::string &needle);

// Polls until pred() holds, at most `timeout`.
template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<std::string> JournalLines();
void ClearJournal();

// Rules for a stand-in program, one a line: "PATTERN|EXIT|DELAY|OUTPUT".
void SetScenario(const std::string &program, const std::string &rules);

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &data);

struct RunResult {
    int status;          // exit status, or 128 + signal
    std::string output;  // standard output
};
RunResult RunShell(const std::string &command);

// Starts a program in the background, standard output and error to
// `output` (or /dev/null when empty). Returns its pid.
int Spawn(const std::vector<std::string> &argv, const std::string &output = "");
// Sends `sig` and waits at most `timeout` for the exit; returns the exit
// status (128 + signal when killed), or -1 after killing it for good.
int Stop(int pid, int sig, std::chrono::milliseconds timeout = std::chrono::seconds(5));
// Waits for the exit without sending anything; -1 (and killed) on timeout.
int WaitExit(int pid, std::chrono::milliseconds timeout);

}  // namespace kest::testbed
