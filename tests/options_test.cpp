// The option loop: the tool run as a process against a scripted name server
// master, and AdminMain in-process for the state that options set.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "admin/census.h"
#include "admin/nsadmin.h"
#include "support/peer.hpp"

using namespace nstest;

namespace {

// The configuration entry that names the master, which the tests stand in
// for with a peer at nsm-master.16024.
constexpr const char *kMasterEntry = "TALVEN_NAMESVC=198.18.0.10.16024\n";

Answer refuse(const Bytes & = {}, int = 0) { return reply(record(NS_OK + 1)); }

Answer found(const char *dotted, std::uint16_t port, const char *auth) {
    return reply(lookupReply(inetAddr(dotted, port), auth, nullptr));
}

// The tool run with a configuration that names the master.
class Tool {
public:
    ProcResult run(std::vector<std::string> args) const {
        args.insert(args.begin(), binPath("nsadmin"));
        return runProcess(args, config_.env());
    }

private:
    TestConfig config_{kMasterEntry};
};

std::string usageLine() {
    return "Usage: " + binPath("nsadmin") +
           " [ -n ] [ -L ] [ -l uspaddr ] [ -p \\\\pc\\host ] [ -P \\\\pc\\host ]"
           " [ -A \\\\host\\svc ] [ -d # ]\n";
}

TEST(Options, NoOptionsPrintNothing) {
    const auto r = Tool().run({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(Options, UnknownOptionOrMissingArgumentPrintsUsageAndStops) {
    Tool tool;
    // -n after the bad option would take 5 seconds and print a status of 0.
    auto r = tool.run({"-x", "-n"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usageLine());
    EXPECT_NE(r.err.find("invalid option -- 'x'"), std::string::npos) << r.err;

    r = tool.run({"-l"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usageLine());
    EXPECT_NE(r.err.find("requires an argument -- 'l'"), std::string::npos) << r.err;
}

TEST(Options, RegistrationLineShowsAddressTypeAndSignedLevel) {
    Peer master(refuse);
    Tool tool;
    const struct {
        std::vector<std::string> args;
        const char *line;
    } cases[] = {
        {{"10.0.0.1/2000", "3", "1"}, "10.0.0.1 (2000), 3, 1, 'NULL'\n"},
        {{"10.0.0.1/2000", "3", "300", "secret"}, "10.0.0.1 (2000), 3, 44, 'secret'\n"},
        {{"10.0.0.1/2000", "-7", "200"}, "10.0.0.1 (2000), -7, -56, 'NULL'\n"},
        // Numbers the word does not reach are 0; parts are not masked; the
        // port keeps its low 16 bits.
        {{"10.1/7", "0", "0"}, "10.1.0.0 (0), 0, 0, 'NULL'\n"},
        {{"1.2.3.260/70000", "0", "0"}, "1.2.3.4 (4464), 0, 0, 'NULL'\n"},
        {{"junk", "x", "y"}, "0.0.0.0 (0), 0, 0, 'NULL'\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args{"-a", "\\\\h\\svc"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = tool.run(args);
        EXPECT_EQ(r.out, c.line);
        EXPECT_EQ(r.status, 0);  // a failed registration leaves the status alone
    }
}

TEST(Options, RegistrationEndsOptionProcessing) {
    Peer master(refuse);
    // The -n after the four words is neither an option nor a census (which
    // would listen for 5 seconds, so each run stays under that however
    // loaded the machine); nor is anything after a -a word that looks like
    // an option.
    const auto timed = [](std::vector<std::string> args) {
        timeval t0{}, t1{};
        gettimeofday(&t0, nullptr);
        auto r = Tool().run(std::move(args));
        gettimeofday(&t1, nullptr);
        EXPECT_LT(t1.tv_sec - t0.tv_sec, 5) << "a census ran";
        return r;
    };
    auto r = timed({"-a", "\\\\h\\svc", "10.0.0.1/2000", "3", "1", "text", "-n"});
    EXPECT_EQ(r.out, "10.0.0.1 (2000), 3, 1, 'text'\n");
    EXPECT_EQ(r.status, 0);
    r = timed({"-a", "\\\\h\\svc", "-1.0.0.0/9", "3", "1", "-n", "-x"});
    EXPECT_EQ(r.out, "255.0.0.0 (9), 3, 1, '-n'\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Options, RegistrationWithTooFewWordsPrintsUsage) {
    Tool tool;
    for (const std::vector<std::string> &args : {
             std::vector<std::string>{"-a", "\\\\h\\svc", "10.0.0.1/2000", "3"},
             std::vector<std::string>{"-a", "\\\\h\\svc", "10.0.0.1/2000"},
             std::vector<std::string>{"-a", "\\\\h\\svc"},
             std::vector<std::string>{"-a"},
         }) {
        const auto r = tool.run(args);
        EXPECT_EQ(r.out, usageLine()) << args.size() << " words";
        EXPECT_EQ(r.status, 1);
    }
}

TEST(Options, FailedRequestsPrintNothing) {
    Peer master(refuse);
    const auto r = Tool().run({"-l", "\\\\h\\svc", "-L", "-p", "\\\\pc\\h", "-P", "\\\\pc\\h", "-A",
                               "\\\\h\\svc", "-d", "0"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
}

TEST(Options, LookupsPrintAddressAndAuthText) {
    Peer master([](const Bytes &req, int) {
        const auto name = ns::RecordView(req).stringItem(ns::kNameOffset).value_or("");
        if (name == "\\\\*\\lcnsesvc") return found(kMasterAddr, 5000, nullptr);
        if (name == "\\\\h\\auth") return found(kBackup1Addr, 6000, "secret");
        if (name == "\\\\h\\noauth") return found(kNamelessAddr, 7000, nullptr);
        return refuse();
    });
    // The text buffer is cleared before each lookup: the second -l must not
    // show the first one's text.
    const auto r = Tool().run({"-l", "\\\\h\\auth", "-l", "\\\\h\\noauth", "-L", "-l",
                               "\\\\h\\unknown"});
    EXPECT_EQ(r.out,
              "198.18.0.11 (6000) (auth=secret)\n"
              "198.18.0.19 (7000) (auth=)\n"
              "nsm-master  198.18.0.10 (5000)\n");
    EXPECT_EQ(r.status, 0);
    const auto requests = master.requests();
    ASSERT_EQ(requests.size(), 4u);
    const ns::RecordView licence(requests[2]);
    EXPECT_EQ(licence.type(), NS_LOOKUP);
    EXPECT_EQ(licence.bytes()[ns::kOption], 0);
    EXPECT_EQ(ns::RecordView(requests[0]).bytes()[ns::kOption], 4);
}

TEST(Options, LicenceLookupOfANamelessAddressStartsWithTwoBlanks) {
    Peer master([](const Bytes &, int) { return found(kNamelessAddr, 5000, nullptr); });
    const auto r = Tool().run({"-L"});
    EXPECT_EQ(r.out, "  198.18.0.19 (5000)\n");
}

// A lookup before it that succeeds without an address item leaves the
// address length alone: the registration still sends its 16 bytes.
TEST(Options, RegistrationSendsWhatItPrinted) {
    Peer master([](const Bytes &req, int) {
        return req[0] == NS_LOOKUP ? reply(record(NS_OK)) : refuse();
    });
    const auto r =
        Tool().run({"-l", "\\\\h\\svc", "-a", "\\\\h\\svc", "10.0.0.1/2000", "3", "1"});
    EXPECT_EQ(r.out, "0.0.0.0 (0) (auth=)\n10.0.0.1 (2000), 3, 1, 'NULL'\n");
    const auto requests = master.requests();
    ASSERT_EQ(requests.size(), 2u);
    const ns::RecordView req(requests[1]);
    EXPECT_EQ(req.type(), NS_REGISTER);
    EXPECT_EQ(req.stringItem(ns::kNameOffset).value_or(""), "\\\\h\\svc");
    EXPECT_EQ(req.bytes()[ns::kOption], 3);
    EXPECT_EQ(req.bytes()[ns::kLevel], '1');
    NsAddr sent{};
    EXPECT_EQ(req.addressItem(&sent), NS_ADDR_SIZE);
    EXPECT_STREQ(printaddr(&sent), "10.0.0.1 (2000)");
    EXPECT_FALSE(req.item(ns::kTextOffset).has_value());
}

TEST(AdminMainInProcess, BroadcastOptionSetsTheCensusAddress) {
    char prog[] = "nsadmin", b[] = "-b", word[] = "10.255.255.255/5000";
    char *argv[] = {prog, b, word, nullptr};
    BcastAddr = {};
    bGotBcastAddr = 0;
    optind = 0;
    EXPECT_EQ(AdminMain(3, argv), 0);
    EXPECT_EQ(bGotBcastAddr, 1);
    EXPECT_EQ(BcastAddr.sin_family, AF_INET);
    EXPECT_EQ(BcastAddr.sin_port, htons(5000));
    EXPECT_EQ(BcastAddr.sin_addr.s_addr, htonl(0x0affffffu));
    const std::uint8_t zero[8] = {};
    EXPECT_EQ(std::memcmp(BcastAddr.sin_zero, zero, sizeof zero), 0);
}

TEST(AdminMainInProcess, DebugOptionSetsTheLocalMask) {
    Peer master(refuse);
    ScopedConfig config(kMasterEntry);
    char prog[] = "nsadmin", d[] = "-d", level[] = "768";
    char *argv[] = {prog, d, level, nullptr};
    optind = 0;
    EXPECT_EQ(AdminMain(3, argv), 0);
    EXPECT_EQ(DebugLevel, 768);
    DebugLevel = 0;
}

}  // namespace
