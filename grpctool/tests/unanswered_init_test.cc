// The real start-mirror wait: an init snapshot that no plugin answers
// fails after 60 seconds, and the LUN can be tried again at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "testbed_support.h"

using namespace kest::testbed;
using namespace std::chrono_literals;

TEST(UnansweredInitSnapshot, FailsAfterTheRealWait) {
    WriteFile("/run/kest-platform/serial", "KS2100SN0001\n");
    mkdir("/tmp/iscsi", 0755);
    int lunhub = Spawn({LUNHUB_BIN});
    ASSERT_NE(WaitForLog("Server listening on unix:///tmp/iscsi/plugin_server.sock"), "");
    int sim = Spawn({SIM_BIN, "--id", "quiet", "--silent"});
    ASSERT_NE(WaitForLog("Connected: Plugin ID=quiet"), "");

    const std::string p80 = "0123abcd-4567-89ab-cdef-0123456789ab";
    auto start = std::chrono::steady_clock::now();
    RunResult r = RunShell(std::string(TOOL_BIN) + " --exec_cmd init_snapshot src " + p80 + " dst");
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "");
    EXPECT_GE(took, 59s);
    EXPECT_LT(took, 70s);
    EXPECT_NE(WaitForLog("Init snapshots failed [" + p80 + "]"), "");
    // The timed-out task was removed: the same LUN is not "in progress".
    RunResult again = RunShell("timeout 2 " + std::string(TOOL_BIN) + " --exec_cmd init_snapshot src " + p80 + " dst");
    EXPECT_EQ(again.status, 124);  // waiting again, not refused at once
    Stop(sim, SIGTERM);
    EXPECT_EQ(Stop(lunhub, SIGTERM), 0);
}
