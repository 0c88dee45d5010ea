// Journal shared by the stand-in programs: each call appends one line with
// its argument vector to /run/kest-platform/journal, so a test can check
// what ran. Outside a testbed (no /run/kest-platform) nothing is written.
#pragma once

#include <string>

namespace kest::platform {

// Shell-style quoting: plain words as they are, anything else in single quotes.
std::string QuoteWord(const std::string &word);

// Appends "name arg1 arg2 ..." as one line; whole lines even when several
// processes write at once.
void JournalArgv(const char *name, int argc, char **argv);

}  // namespace kest::platform
