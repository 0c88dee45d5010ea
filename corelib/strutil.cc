#include "kest/strutil.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "internal/raise.h"
#include "internal/trim.h"

namespace {

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// Trims bytes of `set` at both ends and, when asked, one pair of enclosing
// quotes; writes the result to dst (or the start of src).
int TrimInto(char *src, char *dst, const char *set, bool quotes, const char *module) {
    if (!src) {
        KEST_RAISE(ERR_BAD_PARAMETERS, module);
        return -1;
    }
    size_t len = strlen(src);
    if (dst && dst > src && dst <= src + len) {
        KEST_RAISE(ERR_BAD_PARAMETERS, module);
        return -1;
    }
    const char *begin = src;
    const char *end = src + len;
    kest::core::TrimRange(&begin, &end, set, quotes);
    size_t n = static_cast<size_t>(end - begin);
    char *out = dst ? dst : src;
    memmove(out, begin, n);
    out[n] = '\0';
    return static_cast<int>(n);
}

int Split(const char *str, const char *delimiters, SzList **list, bool keep_empty, const char *module) {
    if (!str || !delimiters || !list || !*list) {
        KEST_RAISE(ERR_BAD_PARAMETERS, module);
        return -1;
    }
    CString copy(strdup(str));
    if (!copy) {
        KEST_RAISE(ERR_OUT_OF_MEMORY, module);
        return -1;
    }
    int appended = 0;
    char *cursor = copy.get();
    for (;;) {
        char *token = keep_empty ? strsep(&cursor, delimiters) : XLIBCStrNextToken(&cursor, delimiters);
        if (!token) break;
        if (XLIBCSzListPush(list, token) < 0) return -1;
        ++appended;
    }
    return appended;
}

}  // namespace

extern "C" {

int XLIBCStrTrimSpace(char *src, char *dst) { return TrimInto(src, dst, nullptr, true, "string_trim_space"); }

int XLIBCStrTrim(char *src, char *dst, const char *set) { return TrimInto(src, dst, set, false, "string_trim"); }

char *XLIBCStrNextToken(char **cursor, const char *delimiters) {
    if (!cursor || !*cursor || !delimiters) return nullptr;
    for (;;) {
        char *token = strsep(cursor, delimiters);
        if (!token) return nullptr;
        if (*token) return token;
    }
}

int XLIBCStrTok(const char *str, const char *delimiters, SzList **list) {
    return Split(str, delimiters, list, false, "string_tok");
}

int XLIBCStrSep(const char *str, const char *delimiters, SzList **list) {
    return Split(str, delimiters, list, true, "string_sep");
}

int XLIBCStrSepPair(const char *str, SzList **list) {
    static const char *const kModule = "string_sep_pair";
    if (!str || !list || !*list) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    CString copy(strdup(str));
    if (!copy) {
        KEST_RAISE(ERR_OUT_OF_MEMORY, kModule);
        return -1;
    }
    char *eq = strchr(copy.get(), '=');
    if (!eq) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    *eq = '\0';
    char *key = copy.get();
    char *value = eq + 1;
    if (XLIBCStrTrimSpace(key, nullptr) <= 0) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    XLIBCStrTrimSpace(value, nullptr);
    if (XLIBCSzListPush(list, key) < 0 || XLIBCSzListPush(list, value) < 0) return -1;
    return 0;
}

}
