// The HA queries in a testbed, against real flag files, configuration
// files, host names and daemon processes.
#include "kest/ha.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "testbed_support.h"

namespace fs = std::filesystem;
using kest::testbed::LogLines;
using kest::testbed::ReadFile;
using kest::testbed::WaitForLog;
using kest::testbed::WriteFile;

using kest::testbed::CountLog;

namespace {

const char *kHaConf = "/usr/kest/etc/packages/ZuzoZaridazazidu/ha.conf";


void SetKey(const std::string &path, const std::string &key, const std::string &value) {
    std::string text = ReadFile(path), out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + "=", 0) != 0) out += line + "\n";
    if (!value.empty()) out += key + "=\"" + value + "\"\n";
    WriteFile(path, out);
}

// A process standing in for a cluster daemon.
class Daemon {
public:
    explicit Daemon(const std::string &pidfile) : pidfile_(pidfile) {
        pid_ = fork();
        if (pid_ == 0) {
            pause();
            _exit(0);
        }
        WriteFile(pidfile_, std::to_string(pid_) + "\n");
    }
    ~Daemon() { Kill(); }
    void Kill() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    std::string pidfile_;
    pid_t pid_;
};

class HaTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *p : {"/tmp/.ha.running", "/tmp/.ha.not.running", "/tmp/ha_role_active", "/tmp/.ha.conf",
                              "/tmp/.ha.hostname.original", "/var/lib/ha/ha.hostname.original",
                              "/tmp/ha/ha_node_status", "/var/run/corosync.pid", "/var/run/pacemaker.pid"})
            fs::remove_all(p);
        fs::create_directories("/usr/kest/etc/packages/ZuzoZaridazazidu");
        fs::create_directories("/var/lib/ha");
        fs::create_directories("/tmp/ha");
        WriteFile(kHaConf, "host0=\"nodeA\"\nhost1=\"nodeB\"\ncorosync_key=\"secret\"\nha_if11=\"eth11\"\n");
        SetKey("/etc.defaults/kestinfo.conf", "support_ha", "yes");
        SetKey("/etc/kestinfo.conf", "runha", "yes");
        sethostname("nodeA", 5);
    }
};

TEST_F(HaTest, RunningAndActiveFromFlagsAndKeys) {
    const struct {
        const char *name;
        const char *running;  // "file", "dir" or ""
        bool not_running;
        const char *support, *runha;
        bool active_flag;
        int is_running, is_active;
        bool not_running_after;
    } cases[] = {
        {"running flag", "file", false, "no", "no", true, 1, 1, false},
        {"running wins over not-running", "file", true, "no", "no", false, 1, 0, true},
        {"not-running flag alone", "", true, "yes", "yes", true, 0, 0, true},
        {"both keys yes", "", false, "yes", "YES", true, 1, 1, false},
        {"runha missing", "", false, "yes", "", false, 0, 0, true},
        {"support no", "", false, "no", "yes", true, 0, 0, true},
        {"running flag is a directory", "dir", false, "yes", "yes", false, 1, 0, false},
        {"directory and keys off", "dir", false, "no", "yes", false, 0, 0, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (std::string(c.running) == "file") WriteFile("/tmp/.ha.running", "");
        if (std::string(c.running) == "dir") fs::create_directory("/tmp/.ha.running");
        if (c.not_running) WriteFile("/tmp/.ha.not.running", "");
        if (c.active_flag) WriteFile("/tmp/ha_role_active", "");
        SetKey("/etc.defaults/kestinfo.conf", "support_ha", c.support);
        SetKey("/etc/kestinfo.conf", "runha", c.runha);
        EXPECT_EQ(HAIsRunning(), c.is_running);
        EXPECT_EQ(HAIsActive(), c.is_active);
        EXPECT_EQ(fs::is_regular_file("/tmp/.ha.not.running"), c.not_running_after);
        EXPECT_FALSE(fs::is_regular_file("/tmp/.ha.running") && std::string(c.running).empty());
    }
}

TEST_F(HaTest, NotRunningFlagAnswersLaterCallsAlone) {
    SetKey("/etc/kestinfo.conf", "runha", "");
    EXPECT_EQ(HAIsRunning(), 0);
    ASSERT_TRUE(fs::is_regular_file("/tmp/.ha.not.running"));
    EXPECT_EQ(fs::file_size("/tmp/.ha.not.running"), 0u);
    SetKey("/etc/kestinfo.conf", "runha", "yes");
    EXPECT_EQ(HAIsRunning(), 0);
}

TEST_F(HaTest, ConfGetReadsThenCaches) {
    WriteFile("/tmp/.ha.conf", "");
    char out[64] = {};
    ASSERT_EQ(HAConfGet(HA_CONF_HOST0, 0, out, sizeof out), 0);
    EXPECT_STREQ(out, "nodeA");
    EXPECT_EQ(ReadFile("/tmp/.ha.conf"), "host0=nodeA\n");
    // Later reads come from the cache, even after the configuration changed.
    WriteFile(kHaConf, "host0=\"changed\"\n");
    ASSERT_EQ(HAConfGet(HA_CONF_HOST0, 0, out, sizeof out), 0);
    EXPECT_STREQ(out, "nodeA");
    // Truncated to the destination.
    char small[3];
    ASSERT_EQ(HAConfGet(HA_CONF_HOST0, 0, small, sizeof small), 0);
    EXPECT_STREQ(small, "no");
    // A key in neither file fails without a line.
    EXPECT_EQ(HAConfGet(HA_CONF_HOST1, 0, out, sizeof out), -1);
    EXPECT_EQ(HAConfGet(HA_CONF_HOST0, 0, nullptr, 4), -1);
    EXPECT_NE(WaitForLog("Invalid argument"), "");
}

TEST_F(HaTest, ConfGetCorosyncKeyNeverTouchesTheCache) {
    char out[64] = {};
    ASSERT_EQ(HAConfGet(HA_CONF_COROSYNC_KEY, 0, out, sizeof out), 0);
    EXPECT_STREQ(out, "secret");
    EXPECT_FALSE(fs::exists("/tmp/.ha.conf"));
    WriteFile("/tmp/.ha.conf", "corosync_key=stale\n");
    ASSERT_EQ(HAConfGet(HA_CONF_COROSYNC_KEY, 0, out, sizeof out), 0);
    EXPECT_STREQ(out, "secret");
    EXPECT_EQ(ReadFile("/tmp/.ha.conf"), "corosync_key=stale\n");
}

TEST_F(HaTest, ConfGetIndexesAndLimits) {
    char out[64] = {};
    ASSERT_EQ(HAConfGet(HA_CONF_HA_IF, 11, out, sizeof out), 0);
    EXPECT_STREQ(out, "eth11");
    EXPECT_EQ(HAConfGet(HA_CONF_HA_IF, 12, out, sizeof out), -1);
    std::string line = WaitForLog("Failed to get the key of conf type 30, idx 12");
    EXPECT_EQ(line.rfind("3 user.err ", 0), 0u) << line;
    EXPECT_NE(line.find("[HA-ERROR] ha_conf.cc:"), std::string::npos) << line;
    // A value of 1,024 bytes does not fit the 1,024-byte buffer.
    WriteFile(kHaConf, "ha_sn=" + std::string(1024, 'x') + "\nha_model=" + std::string(1023, 'y') + "\n");
    std::string big(2048, '\0');
    EXPECT_EQ(HAConfGet(13, 0, big.data(), 2048), -1);
    EXPECT_NE(WaitForLog("No buffer space available"), "");
    EXPECT_EQ(HAConfGet(15, 0, big.data(), 2048), 0);
    EXPECT_EQ(strlen(big.c_str()), 1023u);
}

TEST_F(HaTest, HostNames) {
    char out[64] = {};
    WriteFile("/tmp/.ha.hostname.original", "original-a\nsecond\n");
    EXPECT_EQ(HAHostnameOriginalGet(out), 1);
    EXPECT_STREQ(out, "original-a\n");  // the line end is kept
    fs::remove("/tmp/.ha.hostname.original");
    WriteFile("/var/lib/ha/ha.hostname.original", "persistent-b");
    EXPECT_EQ(HAHostnameOriginalGet(out), 1);
    EXPECT_STREQ(out, "persistent-b");
    WriteFile("/var/lib/ha/ha.hostname.original", "\nlater\n");
    sethostname("nodeA.example.com", 17);
    EXPECT_EQ(HAHostnameOriginalGet(out), 1);
    EXPECT_STREQ(out, "nodeA");
    EXPECT_EQ(HAHostnameGet(out), 1);
    EXPECT_STREQ(out, "nodeA");
    sethostname(".example", 8);
    EXPECT_EQ(HAHostnameGet(out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(HAHostnameOriginalGet(out), 0);
    EXPECT_NE(WaitForLog("Failed to get hostname.[0x"), "");
    EXPECT_EQ(HAHostnameOriginalGet(nullptr), -1);
    EXPECT_NE(WaitForLog("Bad parameter."), "");
    sethostname("nodeA", 5);
}

class HaStateTest : public HaTest {
protected:
    void SetUp() override {
        HaTest::SetUp();
        WriteFile("/tmp/.ha.running", "");
        // Written with a final newline, as the HA package writes it.
        WriteFile("/tmp/.ha.hostname.original", "nodeA\n");
        corosync_ = std::make_unique<Daemon>("/var/run/corosync.pid");
        pacemaker_ = std::make_unique<Daemon>("/var/run/pacemaker.pid");
    }
    std::unique_ptr<Daemon> corosync_, pacemaker_;
};

TEST_F(HaStateTest, NodeStatesFromStatusWords) {
    const struct {
        const char *status;
        int state;
    } cases[] = {
        {"ONLINE", 3},
        {" Online: ONLINE ", 3},
        {"ONLINE STANDBY", 4},
        {"ONLINE UNCLEAN", 4},
        {"ONLINE PENDING", 4},
        {"OFFLINE", 6},
        {"OFFLINE UNCLEAN", 6},
        {"OFFLINE STANDBY", 5},
        {"OFFLINE PENDING", 5},
        {"OFFLINE ONLINE", 5},
        {"ONFAIL ONLINE", 7},
        {"ONFAIL", 7},
        {"online", 0},
        {"STANDBY", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.status);
        WriteFile("/tmp/ha/ha_node_status", std::string("nodeB:ONLINE\nnodeA:") + c.status + "\n");
        EXPECT_EQ(HANodeStateGet(HA_NODE_HOST0), c.state);
        EXPECT_EQ(HANodeStateGet(HA_NODE_SELF), c.state);  // nodeA is this node
        EXPECT_EQ(HANodeStateGet(HA_NODE_OTHER), 3);
    }
    EXPECT_NE(WaitForLog("[HA-INFO] ha_state.cc:"), "");
    EXPECT_NE(WaitForLog("node:3. crmst:0x4"), "");
}

TEST_F(HaStateTest, StatusFileDetails) {
    WriteFile("/tmp/ha/ha_node_status", "nodeA :ONLINE\nno colon here\nnodeB:OFFLINE\nnodeB:ONLINE\n");
    EXPECT_EQ(HANodeStatusGet("nodeA"), 0);  // the space before the colon is part of the name
    EXPECT_EQ(HANodeStatusGet("nodeA "), HA_ST_ONLINE);
    EXPECT_EQ(HANodeStatusGet("nodeB"), HA_ST_ONLINE);  // the last line counts
    EXPECT_EQ(HANodeStateGet(HA_NODE_HOST0), 0);
    EXPECT_EQ(HANodeStatusGet(nullptr), 0);
    fs::remove("/tmp/ha/ha_node_status");
    EXPECT_EQ(HANodeStatusGet("nodeB"), 0);
    EXPECT_NE(WaitForLog("Failed to open /tmp/ha/ha_node_status: No such file or directory"), "");
    // Own name in neither configured name.
    WriteFile("/tmp/.ha.hostname.original", "stranger\n");
    EXPECT_EQ(HANodeStateGet(HA_NODE_SELF), 0);
    EXPECT_NE(WaitForLog("Failed to check node 1"), "");
    EXPECT_EQ(HANodeStateGet(0), 0);
    EXPECT_EQ(HANodeStateGet(5), 0);
}

TEST_F(HaStateTest, PairStates) {
    const struct {
        const char *name, *conf, *status;
        int pair, passive;
    } cases[] = {
        {"both online", "host0=nodeA\nhost1=nodeB\n", "nodeA:ONLINE\nnodeB:ONLINE\n", 1, 1},
        {"one online, other unnamed", "host0=nodeA\nhost1=\n", "nodeA:ONLINE\n", 5, 0},
        {"a node failed", "host0=nodeA\nhost1=nodeB\n", "nodeA:ONLINE\nnodeB:ONFAIL\n", 3, -1},
        {"a node without a line", "host0=nodeA\nhost1=nodeB\n", "nodeA:ONLINE\n", 2, 1},
        {"online and standby", "host0=nodeA\nhost1=nodeB\n", "nodeA:ONLINE\nnodeB:ONLINE STANDBY\n", 2, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove("/tmp/.ha.conf");
        WriteFile(kHaConf, c.conf);
        WriteFile("/tmp/ha/ha_node_status", c.status);
        EXPECT_EQ(HAClusterStateGet(), c.pair);
        EXPECT_EQ(HAHasPassiveServer(), c.passive);
    }
    // The first case of the edge list: own node online, the other unnamed.
    fs::remove("/tmp/.ha.conf");
    WriteFile(kHaConf, "host0=nodeA\n");
    WriteFile("/tmp/ha/ha_node_status", "nodeA:ONLINE\n");
    EXPECT_EQ(HANodeStateGet(HA_NODE_SELF), 3);
    EXPECT_EQ(HANodeStateGet(HA_NODE_OTHER), 2);
}

TEST_F(HaStateTest, OneDeadDaemonOrHaOff) {
    WriteFile("/tmp/ha/ha_node_status", "nodeA:ONLINE\nnodeB:ONLINE\n");
    EXPECT_EQ(HADaemonsAlive(), 1);
    pacemaker_->Kill();
    int before = CountLog("ERROR. corosync:1. pcmk:0.");
    EXPECT_EQ(HADaemonsAlive(), 0);
    EXPECT_EQ(HAClusterStateGet(), 4);
    EXPECT_EQ(HAHasPassiveServer(), -1);
    EXPECT_EQ(HANodeStateGet(HA_NODE_SELF), 1);
    EXPECT_EQ(HANodeStateGet(HA_NODE_OTHER), 2);
    std::string line = WaitForLog("ERROR. corosync:1. pcmk:0.");
    EXPECT_EQ(line.rfind("3 user.err ", 0), 0u) << line;
    EXPECT_GT(CountLog("ERROR. corosync:1. pcmk:0."), before);

    // HA not running: the status file is not consulted.
    pacemaker_ = std::make_unique<Daemon>("/var/run/pacemaker.pid");
    fs::remove("/tmp/.ha.running");
    SetKey("/etc/kestinfo.conf", "runha", "no");
    EXPECT_EQ(HANodeStateGet(HA_NODE_HOST0), 1);
    EXPECT_EQ(HANodeStateGet(HA_NODE_HOST1), 2);
    EXPECT_EQ(HAClusterStateGet(), 4);
    EXPECT_EQ(HAHasPassiveServer(), -1);
}

}  // namespace
