#include <gtest/gtest.h>

#include <thread>

#include "kest/error.h"
#include "kest/kvfile.h"

TEST(ErrorRecord, StartsEmptyAndIsPerThread) {
    std::thread([] {
        EXPECT_EQ(XLIBCErrGet(), 0);
        EXPECT_EQ(XLIBCErrorGetFile(), nullptr);
        EXPECT_EQ(XLIBCErrorGetLine(), 0);
    }).join();

    XLIBCErrSetEx(0x0900, "main_module", 11);
    std::thread([] {
        XLIBCErrSetEx(0x0200, "other_module", 22);
        EXPECT_EQ(XLIBCErrGet(), 0x0200);
    }).join();
    EXPECT_EQ(XLIBCErrGet(), 0x0900);
    EXPECT_STREQ(XLIBCErrorGetFile(), "main_module");
    EXPECT_EQ(XLIBCErrorGetLine(), 11);
}

TEST(ErrorRecord, SuccessLeavesTheLastFailure) {
    EXPECT_EQ(XLIBCFileGetKeyValue(nullptr, "k", nullptr, 0, 0), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_STREQ(XLIBCErrorGetFile(), "file_get_key_value");
    int line = XLIBCErrorGetLine();
    EXPECT_GT(line, 0);
    EXPECT_EQ(XLIBCFileLineMatch("abc", "b", 0), 1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(XLIBCErrorGetLine(), line);
}
