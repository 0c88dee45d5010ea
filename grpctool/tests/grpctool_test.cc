// kestiscsigrpctool against the real lunhub and simulated plugins, inside a
// testbed: exit statuses, standard output and the whole operation.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "testbed_support.h"

using namespace kest::testbed;
using namespace std::chrono_literals;

namespace {

const std::string kSrcP80 = "0123abcd-4567-89ab-cdef-0123456789ab";
const std::string kTool = TOOL_BIN;



RunResult Tool(const std::string &args) { return RunShell(kTool + " " + args); }

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile("/run/kest-platform/serial", "KS2100SN0001\n");
        WriteFile("/run/kest-platform/iscsi_luns", kSrcP80 + " 0x000F vm-store\n");
        mkdir("/tmp/iscsi", 0755);
        int started = CountLog("Server listening on unix:///tmp/iscsi/plugin_server.sock");
        lunhub_ = Spawn({LUNHUB_BIN});
        ASSERT_TRUE(Eventually([&] {
            return CountLog("Server listening on unix:///tmp/iscsi/plugin_server.sock") > started;
        }));
    }
    void TearDown() override {
        for (int pid : sims_) Stop(pid, SIGTERM);
        if (lunhub_ > 0) {
            EXPECT_EQ(Stop(lunhub_, SIGTERM), 0);
        }
    }
    // A simulated plugin; its transcript goes to /tmp/<id>.out.
    void Sim(const std::string &id, std::vector<std::string> extra = {}) {
        int connected = CountLog("Connected: Plugin ID=" + id + " ");
        std::vector<std::string> argv = {SIM_BIN, "--id", id, "--poll", "20"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        sims_.push_back(Spawn(argv, "/tmp/" + id + ".out"));
        ASSERT_TRUE(Eventually([&] { return CountLog("Connected: Plugin ID=" + id + " ") > connected; }));
    }

    int lunhub_ = -1;
    std::vector<int> sims_;
};

TEST_F(ToolTest, WholeOperationFromTheCommandLine) {
    Sim("esx-1");
    RunResult init = Tool("--exec_cmd init_snapshot src-uuid " + kSrcP80 + " dst-uuid");
    EXPECT_EQ(init.status, 0);
    EXPECT_EQ(init.output, kSrcP80);  // exactly the task id, no newline
    // The serial number travels in the header of what was pushed.
    EXPECT_NE(WaitForLog("push command to plugin_id=esx-1 ip=127.0.0.1"), "");
    EXPECT_EQ(Tool("--exec_cmd mirror_done src-uuid " + kSrcP80 + " " + kSrcP80).status, 0);
    RunResult wait = Tool("--exec_cmd wait_for_depart src-uuid dst-uuid " + kSrcP80);
    EXPECT_EQ(wait.status, 0);
    EXPECT_EQ(wait.output, "");
    EXPECT_EQ(Tool("--exec_cmd depart_done src-uuid " + kSrcP80 + " dst-uuid " + kSrcP80).status, 0);
    EXPECT_TRUE(Eventually([] { return ReadFile("/tmp/esx-1.out").find("received depart_done task=") != std::string::npos; }));
    // The task is gone.
    EXPECT_EQ(Tool("--exec_cmd depart_done src-uuid " + kSrcP80 + " dst-uuid " + kSrcP80).status, 0);
    RunResult again = Tool("--exec_cmd mirror_done src-uuid " + kSrcP80 + " " + kSrcP80);
    EXPECT_EQ(again.status, 255);
    EXPECT_EQ(again.output, "");
}

// A plugin that drops its connection does not hold the operation up and
// leaves the listing; a late one still answers within the wait.
TEST_F(ToolTest, VanishingAndLatePlugins) {
    Sim("ghost", {"--vanish-after", "1"});
    Sim("slow", {"--delay", "300"});
    RunResult init = Tool("--exec_cmd init_snapshot src-uuid " + kSrcP80 + " dst-uuid");
    EXPECT_EQ(init.status, 0);
    EXPECT_EQ(init.output, kSrcP80);
    EXPECT_TRUE(Eventually([] { return ReadFile("/tmp/ghost.out").find("vanishing ghost") != std::string::npos; }));
    EXPECT_TRUE(Eventually([] { return Tool("--list_conns").output.find("},{") == std::string::npos; }));
    RunResult list = Tool("--list_conns");
    EXPECT_EQ(list.output, "[{\"ip\":\"127.0.0.1\",\"type\":\"VMware\"}]\n");
}

TEST_F(ToolTest, ListConnsPrintsNullOrTheKnownPlugins) {
    RunResult none = Tool("--list_conns");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.output, "null\n");

    Sim("esx", {"--type", "vmware"});
    Sim("win", {"--type", "windows"});
    Sim("odd", {"--type", "unknown"});
    RunResult list = Tool("-list_conns");  // one dash works too
    EXPECT_EQ(list.status, 0);
    Json::Value parsed;
    Json::CharReaderBuilder reader;
    std::string errors;
    std::istringstream in(list.output);
    ASSERT_TRUE(Json::parseFromStream(reader, in, &parsed, &errors)) << list.output;
    ASSERT_TRUE(parsed.isArray());
    std::set<std::string> seen;
    for (const auto &entry : parsed) {
        EXPECT_EQ(entry["ip"].asString(), "127.0.0.1");
        EXPECT_FALSE(entry.isMember("plugin_id"));
        seen.insert(entry["type"].asString());
    }
    EXPECT_EQ(seen, (std::set<std::string>{"VMware", "Windows"}));
    EXPECT_NE(WaitForLog("Unknown Plugin client type"), "");
}

TEST_F(ToolTest, FailuresExitWith255) {
    const std::string usage =
        "Usage: kestiscsigrpctool [OPTIONS]\n  OPTIONS are:\n    --exec_cmd [cmd]\n    --list_conns\n"
        "    -h,--help   Print this message\n";
    const struct {
        std::string args, output;
    } cases[] = {
        {"--exec_cmd init_snapshot a b", "invalid command\n"},
        {"--exec_cmd init_snapshot a b c d", "invalid command\n"},
        {"--exec_cmd depart_done a b c", "invalid command\n"},
        {"--exec_cmd frobnicate a b c", "invalid command\n"},
        {"--help", usage},
        {"-h", usage},
        {"", usage},
        {"--bogus", usage},
        // The server answers failure: no such task.
        {"--exec_cmd mirror_done src no-such-task no-such-task", ""},
        {"--exec_cmd wait_for_depart src dst no-such-task", ""},
        // No plugin registered.
        {"--exec_cmd init_snapshot src " + kSrcP80 + " dst", ""},
    };
    for (const auto &c : cases) {
        RunResult r = Tool(c.args);
        EXPECT_EQ(r.status, 255) << c.args;
        EXPECT_EQ(r.output, c.output) << c.args;
    }
}

TEST_F(ToolTest, WithoutASerialNumberNoCallIsMade) {
    unlink("/run/kest-platform/serial");
    int before = CountLog("Mirror done [");
    RunResult r = Tool("--exec_cmd mirror_done src " + kSrcP80 + " serial-test");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "");
    EXPECT_NE(WaitForLog("Failed to get serial number from flash."), "");
    std::string header = WaitForLog("Failed to fill plugin cmd header");
    EXPECT_NE(header.find(":mirror_done "), std::string::npos) << header;
    EXPECT_EQ(CountLog("Mirror done ["), before);
}

TEST(ToolWithoutServer, SendersFailListerPrintsNull) {
    WriteFile("/run/kest-platform/serial", "KS2100SN0001\n");
    EXPECT_EQ(Tool("--exec_cmd mirror_done a b c").status, 255);
    RunResult list = Tool("--list_conns");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.output, "null\n");
}

}  // namespace
