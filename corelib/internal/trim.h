// The trim rule on a byte range, shared by the string operations and the
// key matching that must not copy each line.
#pragma once

#include <cstring>

namespace kest::core {

inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Narrows [*begin, *end) by bytes of `set` (null: the four blanks) and, when
// asked, one pair of enclosing double quotes.
inline void TrimRange(const char **begin, const char **end, const char *set, bool quotes) {
    auto strip = [set](char c) { return set ? c != '\0' && strchr(set, c) != nullptr : IsBlank(c); };
    while (*begin < *end && strip(**begin)) ++*begin;
    while (*end > *begin && strip((*end)[-1])) --*end;
    if (quotes && *end - *begin >= 2 && **begin == '"' && (*end)[-1] == '"') {
        ++*begin;
        --*end;
    }
}

}  // namespace kest::core
