#include "kest/strutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kest/error.h"

namespace {

std::vector<std::string> Items(const SzList *l) {
    return std::vector<std::string>(l->items, l->items + l->count);
}

TEST(TrimSpace, Rules) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {"  a b \t\r\n", "a b"}, {"\"quoted\"", "quoted"}, {"  \"x\"  ", "x"},  {"\"\"", ""},
        {"\"", "\""},            {"\"a\"b\"", "a\"b"},     {"\"\"x\"\"", "\"x\""}, {" \v a\f ", "\v a\f"},
        {" \t\n\r", ""},         {"", ""},
    };
    for (const auto &c : cases) {
        std::string s = c.in;
        EXPECT_EQ(XLIBCStrTrimSpace(s.data(), nullptr), static_cast<int>(strlen(c.out))) << c.in;
        EXPECT_STREQ(s.c_str(), c.out) << c.in;
    }
    char src[] = " x ";
    char dst[8];
    EXPECT_EQ(XLIBCStrTrimSpace(src, dst), 1);
    EXPECT_STREQ(dst, "x");
    EXPECT_EQ(XLIBCStrTrimSpace(src, src + 1), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(XLIBCStrTrimSpace(nullptr, nullptr), -1);
}

TEST(Trim, SetAndNoQuotes) {
    char a[] = "xx\"v\"yx";
    EXPECT_EQ(XLIBCStrTrim(a, nullptr, "xy"), 3);
    EXPECT_STREQ(a, "\"v\"");
    char b[] = " \"v\" ";
    EXPECT_EQ(XLIBCStrTrim(b, nullptr, nullptr), 3);
    EXPECT_STREQ(b, "\"v\"");
}

TEST(Tokens, TokSepAndPairs) {
    SzList *l = XLIBCSzListAlloc(0);
    EXPECT_EQ(XLIBCStrTok(",a,,b,", ",", &l), 2);
    EXPECT_EQ(Items(l), (std::vector<std::string>{"a", "b"}));
    XLIBCSzListRemoveAll(l);
    EXPECT_EQ(XLIBCStrSep("a,,b", ",", &l), 3);
    EXPECT_EQ(Items(l), (std::vector<std::string>{"a", "", "b"}));
    XLIBCSzListRemoveAll(l);
    EXPECT_EQ(XLIBCStrSepPair(" key = \"a=b\" ", &l), 0);
    EXPECT_EQ(Items(l), (std::vector<std::string>{"key", "a=b"}));
    for (const char *bad : {"novalue", " = v", ""}) {
        EXPECT_EQ(XLIBCStrSepPair(bad, &l), -1) << bad;
        EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_EQ(XLIBCStrTok(nullptr, ",", &l), -1);
    XLIBCSzListFree(l);

    char text[] = "==a==b";
    char *cursor = text;
    EXPECT_STREQ(XLIBCStrNextToken(&cursor, "="), "a");
    EXPECT_STREQ(XLIBCStrNextToken(&cursor, "="), "b");
    EXPECT_EQ(XLIBCStrNextToken(&cursor, "="), nullptr);
}

}  // namespace
