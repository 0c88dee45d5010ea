// Shared by the stand-in libraries: their state files under
// /run/kest-platform/, the journal of calls that change something, and the
// failure switch a test can throw.
#pragma once

#include <string>
#include <vector>

namespace kest::platform {

constexpr const char *kStateDir = "/run/kest-platform";

// The non-comment lines of /run/kest-platform/<name>, split into words.
// False when the file cannot be read.
bool ReadState(const char *name, std::vector<std::vector<std::string>> *lines);

// "key=value" words of a state line (after the positional ones).
std::string Option(const std::vector<std::string> &words, const std::string &key, const std::string &fallback = "");

// True when /run/kest-platform/fail names this function (one name a line):
// the stand-in then answers as the real library does on failure.
bool ShouldFail(const char *function);

// Appends "function arg..." to /run/kest-platform/journal as one whole line,
// also when several processes write at once. Outside a testbed (no
// /run/kest-platform) nothing is written.
void Journal(const char *function, const std::vector<std::string> &args);

// Shell-style quoting: plain words as they are, anything else in single quotes.
std::string QuoteWord(const std::string &word);

// A stand-in program's call: its absolute name and quoted arguments.
void JournalArgv(const char *name, int argc, char **argv);

}  // namespace kest::platform
