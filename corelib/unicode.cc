#include "kest/unicode.h"

#include <unicode/ucol.h>
#include <unicode/ustring.h>

#include <cstring>
#include <new>
#include <vector>

#include "internal/raise.h"

namespace {

UCollator *g_collator = nullptr;

// UTF-8 to upper-cased UTF-16 (root locale). On failure raises under
// `module` and returns false.
bool UpperUtf16(const char *src, std::vector<UChar> *out, const char *module) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = 0;
    u_strFromUTF8(nullptr, 0, &len, src, -1, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
        KEST_RAISE(ERR_UNICODE, module);
        return false;
    }
    std::vector<UChar> utf16;
    try {
        utf16.resize(static_cast<size_t>(len) + 1);
    } catch (const std::bad_alloc &) {
        KEST_RAISE(ERR_OUT_OF_MEMORY, module);
        return false;
    }
    status = U_ZERO_ERROR;
    u_strFromUTF8(utf16.data(), len + 1, nullptr, src, -1, &status);
    if (U_FAILURE(status)) {
        KEST_RAISE(ERR_UNICODE, module);
        return false;
    }
    status = U_ZERO_ERROR;
    int32_t upper_len = u_strToUpper(nullptr, 0, utf16.data(), len, "", &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
        KEST_RAISE(ERR_UNICODE, module);
        return false;
    }
    try {
        out->assign(static_cast<size_t>(upper_len) + 1, 0);
    } catch (const std::bad_alloc &) {
        KEST_RAISE(ERR_OUT_OF_MEMORY, module);
        return false;
    }
    status = U_ZERO_ERROR;
    u_strToUpper(out->data(), upper_len + 1, utf16.data(), len, "", &status);
    if (U_FAILURE(status)) {
        KEST_RAISE(ERR_UNICODE, module);
        return false;
    }
    out->resize(static_cast<size_t>(upper_len));
    return true;
}

}  // namespace

extern "C" {

int XLIBCUtf8StrCaseCmp(const char *a, const char *b) {
    static const char *const kModule = "unicode_utf8str_case_cmp";
    if (!a || !b) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -2;
    }
    if (!g_collator) {
        UErrorCode status = U_ZERO_ERROR;
        UCollator *c = ucol_open("", &status);
        if (U_FAILURE(status)) {
            KEST_RAISE(ERR_OPEN, "unicode_open_collator");
            return -2;
        }
        g_collator = c;
    }
    std::vector<UChar> ua, ub;
    if (!UpperUtf16(a, &ua, kModule) || !UpperUtf16(b, &ub, kModule)) return -2;
    switch (ucol_strcoll(g_collator, ua.data(), static_cast<int32_t>(ua.size()), ub.data(),
                         static_cast<int32_t>(ub.size()))) {
        case UCOL_LESS:
            return -1;
        case UCOL_GREATER:
            return 1;
        default:
            return 0;
    }
}

int XLIBCUtf8StrUpper(const char *src, char *dst, int size) {
    static const char *const kModule = "unicode_utf8str_upper";
    if (!src || size < 0 || (!dst && size > 0)) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    if (*src == '\0') {
        if (size > 0) dst[0] = '\0';
        return 0;
    }
    std::vector<UChar> upper;
    if (!UpperUtf16(src, &upper, "unicode_utf16str_upper")) return -1;
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = 0;
    u_strToUTF8(nullptr, 0, &len, upper.data(), static_cast<int32_t>(upper.size()), &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
        KEST_RAISE(ERR_UNICODE, kModule);
        return -1;
    }
    if (len < size) {
        status = U_ZERO_ERROR;
        u_strToUTF8(dst, size, nullptr, upper.data(), static_cast<int32_t>(upper.size()), &status);
        if (U_FAILURE(status)) {
            dst[0] = '\0';
            KEST_RAISE(ERR_UNICODE, kModule);
            return -1;
        }
        dst[len] = '\0';
    } else if (size > 0) {
        dst[0] = '\0';
    }
    return len;
}

}
