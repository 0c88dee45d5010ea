#include <gtest/gtest.h>

#include "kest/error.h"
#include "kest/unicode.h"

TEST(Unicode, CaseInsensitiveCompare) {
    const struct {
        const char *a, *b;
        int result;
    } cases[] = {
        {"straße", "STRASSE", 0}, {"Hello", "hELLO", 0}, {"apple", "Banana", -1},
        {"Zebra", "apple", 1},    {"", "", 0},           {"ÉCOLE", "école", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(XLIBCUtf8StrCaseCmp(c.a, c.b), c.result) << c.a << " / " << c.b;
    EXPECT_EQ(XLIBCUtf8StrCaseCmp("bad \xC3", "x"), -2);
    EXPECT_EQ(XLIBCErrGet(), ERR_UNICODE);
    EXPECT_EQ(XLIBCUtf8StrCaseCmp(nullptr, "x"), -2);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
}

TEST(Unicode, UpperMeasuresAndRefusesShortBuffers) {
    char buf[16];
    EXPECT_EQ(XLIBCUtf8StrUpper("straße", buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "STRASSE");
    EXPECT_EQ(XLIBCUtf8StrUpper("straße", nullptr, 0), 7);
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(XLIBCUtf8StrUpper("straße", buf, 7), 7);  // no room for the terminator
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(XLIBCUtf8StrUpper("", buf, sizeof buf), 0);
    EXPECT_EQ(XLIBCUtf8StrUpper("\xFF", buf, sizeof buf), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_UNICODE);
    EXPECT_EQ(XLIBCUtf8StrUpper("a", nullptr, 4), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(XLIBCUtf8StrUpper("a", buf, -1), -1);
}
