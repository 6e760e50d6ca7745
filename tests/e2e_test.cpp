// The built nsadmin against the stand-in name servers and the log server
// stand-in, as a user runs it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/testutil.hpp"

namespace {

using nstest::binPath;
using nstest::Child;
using nstest::ProcResult;
using nstest::runProcess;
using nstest::TestConfig;

// A master on nsm-master (.10) with "lcnsesvc" registered on its own host,
// backups on .11 and .12 when asked, and a configuration for the tool.
class Network {
public:
    explicit Network(const std::string &configEntries, std::vector<std::string> masterArgs = {},
                     bool backups = false)
        : config_(configEntries) {
        nstest::writeFile(config_.dir() + "/preload",
                          "service \\\\nsm-master\\lcnsesvc 198.18.0.10 7000 1 0\n");
        std::vector<std::string> args = {binPath("nsmd"), "-a", nstest::kMasterAddr, "-f",
                                         config_.dir() + "/preload"};
        args.insert(args.end(), masterArgs.begin(), masterArgs.end());
        master_ = Child(args);
        EXPECT_TRUE(master_.waitForOutput("ready"));
        if (backups) {
            for (const char *addr : {nstest::kBackup1Addr, nstest::kBackup2Addr}) {
                backups_.emplace_back(
                    std::vector<std::string>{binPath("nsmd"), "-a", addr, "-r", "backup"});
                EXPECT_TRUE(backups_.back().waitForOutput("ready"));
            }
        }
    }

    ProcResult nsadmin(std::vector<std::string> args) {
        args.insert(args.begin(), binPath("nsadmin"));
        return runProcess(args, config_.env(), 40);
    }
    ProcResult nsquery(std::vector<std::string> args) {
        args.insert(args.begin(), binPath("nsquery"));
        return runProcess(args, config_.env(), 40);
    }
    const TestConfig &config() const { return config_; }
    const Child &master() const { return master_; }

private:
    TestConfig config_;
    Child master_;
    std::vector<Child> backups_;
};

const char *kConfigured = "TALVEN_NAMESVC=nsm-master.16024\n";

TEST(EndToEnd, RegisterLookUpAndUnregisterThroughTheConfiguredMaster) {
    Network net(kConfigured);
    auto reg = net.nsadmin({"-a", "\\\\nstest\\demo", "198.18.0.1/4000", "3", "1", "hello"});
    EXPECT_EQ(reg.out, "198.18.0.1 (4000), 3, 1, 'hello'\n");
    EXPECT_EQ(reg.status, 0);

    auto look = net.nsadmin({"-l", "\\\\nstest\\demo", "-L"});
    EXPECT_EQ(look.out, "198.18.0.1 (4000) (auth=hello)\nnsm-master  198.18.0.10 (7000)\n");
    EXPECT_EQ(look.status, 0);

    // The host part is matched without regard to case.
    EXPECT_EQ(net.nsadmin({"-l", "\\\\NSTEST\\demo"}).out, "198.18.0.1 (4000) (auth=hello)\n");

    auto gone = net.nsadmin({"-A", "\\\\nstest\\demo", "-l", "\\\\nstest\\demo"});
    EXPECT_EQ(gone.out, "");
    EXPECT_EQ(gone.status, 0);

    auto pc = net.nsadmin({"-p", "\\\\pc1\\nstest", "-P", "\\\\pc1\\nstest"});
    EXPECT_EQ(pc.out, "");
    EXPECT_EQ(pc.status, 0);
    EXPECT_EQ(pc.err, "");
}

TEST(EndToEnd, MasterFoundByBroadcastWithAndWithoutAnAddressItem) {
    for (bool addrItem : {true, false}) {
        Network net("", addrItem ? std::vector<std::string>{}
                                 : std::vector<std::string>{"--no-addr-item"});
        auto r = net.nsadmin({"-L"});
        EXPECT_EQ(r.out, "nsm-master  198.18.0.10 (7000)\n") << "address item: " << addrItem;
        EXPECT_EQ(r.status, 0);
    }
}

TEST(EndToEnd, DebugLevelTracesReachTheLogServer) {
    Network net(kConfigured);
    Child logd({binPath("nslogd"), "-d", net.config().dir()});
    ASSERT_TRUE(logd.waitForOutput("ready"));
    net.nsadmin({"-a", "\\\\nstest\\traced", "198.18.0.1/4001", "2", "0"});
    auto r = net.nsadmin({"-d", "768", "-l", "\\\\nstest\\traced"});
    EXPECT_EQ(r.out, "198.18.0.1 (4001) (auth=)\n");
    ASSERT_TRUE(logd.waitForOutput("usptcp_LookupUspName"));
    const std::string log = logd.out();
    for (const char *line :
         {"debug: ", "] DEBUG: usptcp_Initialise: szHostName = 'nstest'",
          "presetNS: returning 198.18.0.10 (16024)", "usptcp_Control: (768) returning 32",
          "usptcp_LookupUspName: (\\\\nstest\\traced,198.18.0.1 (4001)) returning 32 (auth='')"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\nin:\n" << log;
    // Without -d nothing of the system's own reaches the log.
    net.nsadmin({"-l", "\\\\nstest\\traced"});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // time to print a stray line
    EXPECT_EQ(logd.out(), log);
}

TEST(EndToEnd, CensusListsTheMasterAndTwoBackups) {
    Network net(kConfigured, {}, true);
    auto r = net.nsadmin({"-n"});
    EXPECT_EQ(r.status, 0);
    for (const char *line : {"nsm-master (MASTER)\n", "nsm-backup1 (BACKUP)\n",
                             "nsm-backup2 (BACKUP)\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "in:\n" << r.out;
    EXPECT_EQ(r.out.size(), std::string("nsm-master (MASTER)\nnsm-backup1 (BACKUP)\n"
                                        "nsm-backup2 (BACKUP)\n")
                                .size());
}

// Names and texts from the network: nsquery's text lines and nsmd -v show
// their control characters escaped, --json escapes them as JSON does, and
// nsadmin prints them byte for byte (its output is read by scripts).
TEST(EndToEnd, ControlCharactersReachTerminalsOnlyEscaped) {
    Network net(kConfigured, {"-v"});
    const std::string name = "\\\\nstest\\x\x1b[2J";
    // A terminal title sequence, a forged line, a field separator.
    const std::string text = "t\x1b]0;pwned\x07\nready master\x1a" "b\\";
    ASSERT_EQ(net.nsadmin({"-a", name, "198.18.0.1/4000", "3", "1", text}).status, 0);

    EXPECT_EQ(net.nsadmin({"-l", name}).out, "198.18.0.1 (4000) (auth=" + text + ")\n");
    EXPECT_EQ(net.nsquery({"lookup", name}).out,
              "198.18.0.1 (4000) (auth=t\\e]0;pwned\\a\\nready master\\032b\\)\n");
    EXPECT_EQ(net.nsquery({"names", "\\\\nstest\\*"}).out, "\\\\nstest\\x\\e[2J\n");
    const std::string json = net.nsquery({"--json", "lookup", name}).out;
    EXPECT_NE(json.find(R"("name":"\\\\nstest\\x\u001b[2J")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("auth":"t\u001b]0;pwned\u0007\nready master\u001ab\\")"),
              std::string::npos)
        << json;

    const std::string log = net.master().out();
    EXPECT_NE(log.find("'\\\\nstest\\x\\e[2J'"), std::string::npos) << log;
    EXPECT_NE(log.find("t\\e]0;pwned\\a\\nready master\\032b"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find('\x1a'), std::string::npos);
}

}  // namespace
