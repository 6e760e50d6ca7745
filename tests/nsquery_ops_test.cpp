// nsquery's census, monitoring check and batch lookups against the stand-in
// name servers: every exit status, the exact text formats, and the JSON and
// Prometheus output read back by real parsers (Debian's python3 and its
// Prometheus client).  The censuses listen for one second.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "support/testutil.hpp"

namespace {

using nstest::ProcResult;

const char *const kDemo = "\\\\nstest\\demo";
const char *const kNope = "\\\\nstest\\nope";
const char *const kConfigured = "TALVEN_NAMESVC=nsm-master.16024\n";

// Stand-in name servers for one test and a configuration for the tool
// (naming the master, or empty: discovery).
class Servers {
public:
    explicit Servers(const char *entries = kConfigured) : config_(entries) {}

    // A master at nsm-master with \\nstest\demo registered; `script`, when
    // given, is its hostile script.
    void master(const std::string &script = "") {
        std::vector<std::string> args{"-a", nstest::kMasterAddr, "-f", file("preload", kPreload)};
        if (!script.empty()) args.insert(args.end(), {"--hostile", file("script", script)});
        start(args);
    }
    void backup(const char *addr, bool addrItem = true) {
        std::vector<std::string> args{"-a", addr, "-r", "backup"};
        if (!addrItem) args.push_back("--no-addr-item");
        start(args);
    }
    ProcResult nsquery(std::vector<std::string> args, const std::string &input = {}) {
        args.insert(args.begin(), nstest::binPath("nsquery"));
        return nstest::runProcess(args, config_.env(), 60, input);
    }

private:
    static constexpr const char *kPreload = "service \\\\nstest\\demo 198.18.0.1 4000 3 1 hello\n";

    std::string file(const char *name, const std::string &content) {
        const std::string path = config_.dir() + "/" + name;
        nstest::writeFile(path, content);
        return path;
    }
    void start(std::vector<std::string> args) {
        args.insert(args.begin(), nstest::binPath("nsmd"));
        nsmd_.emplace_back(args);
        EXPECT_TRUE(nsmd_.back().waitForOutput("ready")) << nsmd_.back().err();
    }

    nstest::TestConfig config_;
    std::vector<nstest::Child> nsmd_;
};

// Output read back by Debian's python3 running `script` over it.
std::string python(const std::string &script, const std::string &input) {
    const ProcResult r = nstest::runProcess({"/usr/bin/python3", "-c", script}, {}, 30, input);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// "name value" for every sample, in order; the parser refuses malformed
// exposition text.
std::string prometheusSamples(const std::string &text) {
    return python("import sys\n"
                  "from prometheus_client.parser import text_string_to_metric_families as p\n"
                  "for f in p(sys.stdin.read()):\n"
                  "    assert f.type == 'gauge' and f.documentation, f.name\n"
                  "    for s in f.samples: print(s.name, s.value)\n",
                  text);
}

std::vector<std::string> sortedLines(const std::string &text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// ------------------------------------------------------------------ census

TEST(NsQueryCensus, EveryServerOnceWithRoleAddressAndReplyTime) {
    Servers net;
    net.master("udp normal normal\n");  // answers the census twice
    net.backup(nstest::kBackup1Addr);
    net.backup(nstest::kNamelessAddr, false);

    const ProcResult text = net.nsquery({"census", "--wait", "1"});
    EXPECT_EQ(text.status, 0) << text.err;
    const auto lines = sortedLines(text.out);
    ASSERT_EQ(lines.size(), 3u) << text.out;
    const char *const expected[] = {
        R"(198\.18\.0\.19 BACKUP 198\.18\.0\.19 \(16024\) \d+\.\d ms)",
        R"(nsm-backup1 BACKUP 198\.18\.0\.11 \(16024\) \d+\.\d ms)",
        R"(nsm-master MASTER 198\.18\.0\.10 \(16024\) \d+\.\d ms)",
    };
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << lines[i];

    const ProcResult json = net.nsquery({"--json", "census", "--wait", "1", "-b", "198.18.0.255/16024"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(python("import json, sys\n"
                     "for s in sorted(json.load(sys.stdin), key=lambda s: s['address']):\n"
                     "    assert s['ms'] >= 0\n"
                     "    print(s['name'], s['role'], s['address'], s['port'])\n",
                     json.out),
              "nsm-master master 198.18.0.10 16024\n"
              "nsm-backup1 backup 198.18.0.11 16024\n"
              "None backup 198.18.0.19 16024\n");
}

TEST(NsQueryCensus, WithoutAMasterTheStatusIsOne) {
    Servers net;
    net.backup(nstest::kBackup1Addr);
    const ProcResult backups = net.nsquery({"census", "--wait", "1"});
    EXPECT_EQ(backups.status, 1);
    EXPECT_TRUE(std::regex_match(backups.out,
                                 std::regex(R"(nsm-backup1 BACKUP 198\.18\.0\.11 \(16024\) \d+\.\d ms\n)")))
        << backups.out;
    // Sent where nobody listens: nothing answers.
    const ProcResult nobody = net.nsquery({"census", "--json", "--wait=1", "-b", "198.18.0.255/16099"});
    EXPECT_EQ(nobody.status, 1);
    EXPECT_EQ(nobody.out, "[]\n");
    EXPECT_EQ(nobody.err, "");
}

// ------------------------------------------------------------------- check

TEST(NsQueryCheck, StatusLinesAndPerformanceData) {
    Servers net;
    net.master();
    net.backup(nstest::kBackup1Addr);
    net.backup(nstest::kBackup2Addr);

    ProcResult r = net.nsquery({"check", "--wait", "1", "--lookup", kDemo});
    EXPECT_EQ(r.status, 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        r.out, m,
        std::regex(R"(NSNAME OK - master nsm-master 198\.18\.0\.10, 2 backups, lookup (\d+\.\d) ms )"
                   R"(\| time=(\d+\.\d{4})s;0\.1;1;0 backups=2;;;0\n)")))
        << r.out;
    EXPECT_NEAR(std::stod(m[1]) / 1000, std::stod(m[2]), 0.00006);

    r = net.nsquery({"check", "--wait", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "NSNAME OK - master nsm-master 198.18.0.10, 2 backups | backups=2;;;0\n");

    r = net.nsquery({"check", "--wait", "1", "--min-backups", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "NSNAME WARNING - master nsm-master 198.18.0.10, 2 backups (fewer than 3) "
                     "| backups=2;3:;;0\n");

    r = net.nsquery({"check", "--wait", "1", "--lookup", kNope, "--min-backups", "2"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "NSNAME CRITICAL - master nsm-master 198.18.0.10, 2 backups, lookup of "
                     "\\\\nstest\\nope failed: the name service refused the lookup (reply type 33) "
                     "| backups=2;2:;;0\n");

    r = net.nsquery({"check", "--wait", "1", "--lookup", kDemo, "--prometheus"});
    EXPECT_EQ(r.status, 0);
    const std::string samples = prometheusSamples(r.out);
    std::smatch p;
    ASSERT_TRUE(std::regex_match(samples, p,
                                 std::regex("nsname_master_up 1.0\nnsname_backups 2.0\n"
                                            "nsname_lookup_success 1.0\nnsname_lookup_seconds (.*)\n"
                                            "nsname_census_seconds (.*)\n")))
        << r.out;
    EXPECT_GT(std::stod(p[1]), 0);
    EXPECT_GE(std::stod(p[2]), 0.9);

    r = net.nsquery({"check", "--json", "--wait", "1", "--lookup", kNope});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(python("import json, sys\n"
                     "d = json.load(sys.stdin)\n"
                     "print(d['status'], d['code'], d['master'], d['backups'], d['lookup'])\n"
                     "assert d['summary'].startswith('master nsm-master') and d['census_seconds'] > 0\n",
                     r.out),
              "CRITICAL 2 {'name': 'nsm-master', 'address': '198.18.0.10'} 2 {'name': "
              "'\\\\\\\\nstest\\\\nope', 'ok': False, 'error': 'the name service refused the lookup "
              "(reply type 33)'}\n");
}

// The lookup through a master that pauses: slower than -w, then than -c;
// one that never answers is ended by --timeout.
TEST(NsQueryCheck, SlowMasterWarnsThenTurnsCritical) {
    Servers net("");  // found by discovery
    net.master("tcp pause:400 normal\ntcp pause:400 normal\ntcp silent\ntcp silent\n");
    ProcResult r = net.nsquery({"check", "--wait", "1", "-w", "0.2", "-c", "30", "--lookup", kDemo});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex(R"(NSNAME WARNING - master nsm-master 198\.18\.0\.10, 0 backups, lookup )"
                          R"(\d+\.\d ms \(above 0\.2 s\) \| time=\d+\.\d{4}s;0\.2;30;0 backups=0;;;0\n)")))
        << r.out;
    r = net.nsquery({"check", "--wait", "1", "--warning=0.1", "--critical=0.25", "--lookup", kDemo});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find(" ms (above 0.25 s) | time="), std::string::npos) << r.out;

    r = net.nsquery({"check", "--wait", "1", "--timeout", "2.5", "--lookup", kDemo});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "NSNAME CRITICAL - no answer within 2.5 seconds\n");
    r = net.nsquery({"check", "--prometheus", "--wait", "1", "--timeout", "2", "--lookup", kDemo});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(prometheusSamples(r.out), "nsname_master_up 0.0\n");
}

TEST(NsQueryCheck, TheMasterIsUpOnlyWhenItAnswers) {
    {
        Servers nobody;  // the configured master is not there
        const ProcResult r = nobody.nsquery({"check", "--wait", "1"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "NSNAME CRITICAL - no master answered, 0 backups | backups=0;;;0\n");
    }
    {
        Servers backups;
        backups.backup(nstest::kBackup1Addr);
        const ProcResult r = backups.nsquery({"check", "--wait", "1", "--prometheus"});
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(std::regex_match(prometheusSamples(r.out),
                                     std::regex("nsname_master_up 0.0\nnsname_backups 1.0\n"
                                                "nsname_census_seconds \\S+\n")))
            << r.out;
        EXPECT_EQ(backups.nsquery({"check", "--wait", "1"}).out,
                  "NSNAME CRITICAL - no master answered, 1 backup | backups=1;;;0\n");
    }
    {
        // Silent to the census, but its answer to the lookup shows it is up.
        Servers quiet;
        quiet.master("udp silent\nudp silent\n");
        ProcResult r = quiet.nsquery({"check", "--wait", "1"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "NSNAME CRITICAL - no master answered, 0 backups | backups=0;;;0\n");
        r = quiet.nsquery({"check", "--wait", "1", "--lookup", kDemo});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("NSNAME OK - master nsm-master 198.18.0.10, 0 backups, lookup ", 0), 0u)
            << r.out;
    }
    {
        // Found by discovery, then silent to the census: its discovery reply counts.
        Servers discovered("");
        discovered.master("udp normal\nudp silent\n");
        const ProcResult r = discovered.nsquery({"check", "--wait", "1"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "NSNAME OK - master nsm-master 198.18.0.10, 0 backups | backups=0;;;0\n");
    }
}

TEST(NsQueryCheck, UnknownOnBadUsageOrAnUnreadableConfiguration) {
    Servers net;
    const std::vector<std::vector<std::string>> bad = {
        {"check", "extra"},
        {"check", "-w", "2"},  // above the default -c
        {"check", "-c", "0"},
        {"check", "--min-backups", "-1"},
        {"check", "--lookup", "nsm"},
        {"check", "--lookup"},
        {"check", "-b", "1.2.3/4"},
        {"check", "--wait", "5", "--timeout", "5"},
        {"--forward", "check"},
    };
    for (const auto &args : bad) {
        const ProcResult r = net.nsquery(args);
        EXPECT_EQ(r.status, 3) << args.back();
        EXPECT_EQ(r.out.rfind("NSNAME UNKNOWN - ", 0), 0u) << r.out;
    }
    // Metrics or nothing: the reason goes to standard error.
    const ProcResult quiet = net.nsquery({"check", "--prometheus", "--json"});
    EXPECT_EQ(quiet.status, 3);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "nsquery: check: --json and --prometheus exclude each other\n");

    const ProcResult r = nstest::runProcess({nstest::binPath("nsquery"), "check"},
                                            {{"TALVEN_CONFIG", "/nonexistent/talven.conf"}});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "NSNAME UNKNOWN - the configuration could not be read\n");
    EXPECT_NE(r.err.find("/nonexistent/talven.conf"), std::string::npos);

    // The census's usage errors are status 2.
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"census", "x"}, {"census", "--wait", "0"}, {"census", "--wait", "1.5"},
             {"census", "-b", "198.18.0.255"}, {"census", "--lookup", kDemo},
             {"lookup", "--wait", "1", kDemo}}) {
        const ProcResult u = net.nsquery(args);
        EXPECT_EQ(u.status, 2) << args.back();
        EXPECT_EQ(u.out, "");
    }
}

// ------------------------------------------------------------------- batch

TEST(NsQueryBatch, OneLinePerNameInInputOrder) {
    Servers net;
    net.master();
    const std::string input = std::string(kDemo) + "\n" + kNope + "\nnot-a-name\n\n" + kDemo + "\r\n" +
                              "\\\\x\\" + std::string(600, 'y') + "\n" + kDemo;
    ProcResult r = net.nsquery({"lookup", "-"}, input);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\\\\nstest\\demo\t198.18.0.1 (4000) (auth=hello)\n"
                     "\\\\nstest\\nope\tfailed: the name service refused the lookup (reply type 33)\n"
                     "not-a-name\tfailed: 'not-a-name' is not a service name of the form \\\\host\\svc\n"
                     "\\\\nstest\\demo\t198.18.0.1 (4000) (auth=hello)\n"
                     "\\\\x\\" + std::string(508, 'y') +
                         "\tfailed: the service name is longer than 127 characters\n"
                         "\\\\nstest\\demo\t198.18.0.1 (4000) (auth=hello)\n");

    r = net.nsquery({"lookup", "-"}, std::string(kDemo) + "\n" + kDemo + "\n");
    EXPECT_EQ(r.status, 0);

    r = net.nsquery({"--json", "lookup", "-", "--forward"}, std::string(kNope) + "\n" + kDemo + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(python("import json, sys\n"
                     "for line in sys.stdin:\n"
                     "    d = json.loads(line)\n"
                     "    print(d['name'], d['ok'], d['forward'], d.get('address'), d.get('port'),\n"
                     "          d.get('auth'), d.get('error'))\n",
                     r.out),
              "\\\\nstest\\nope False True None None None the name service refused the lookup "
              "(reply type 33)\n"
              "\\\\nstest\\demo True True 198.18.0.1 4000 hello None\n");
}

// --timeout bounds the whole batch; the answers before it are kept.
TEST(NsQueryBatch, TimeoutEndsTheBatchKeepingEarlierAnswers) {
    Servers net;
    net.master("tcp normal\ntcp silent\n");
    const ProcResult r =
        net.nsquery({"--json", "--timeout", "2", "lookup", "-"}, std::string(kDemo) + "\n" + kDemo + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{\"command\":\"lookup\",\"name\":\"\\\\\\\\nstest\\\\demo\",\"ok\":true,"
                     "\"forward\":false,\"address\":\"198.18.0.1\",\"port\":4000,\"auth\":\"hello\"}\n"
                     "{\"command\":\"lookup\",\"ok\":false,\"error\":\"no answer within 2 seconds\"}\n");
}

}  // namespace
