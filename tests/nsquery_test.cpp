// nsquery: outputs, JSON documents and exit statuses, against a scripted
// name server.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/peer.hpp"

using namespace nstest;

namespace {

// nsquery with a configuration naming nsm-master.16024; `input` is its
// standard input.
ProcResult nsquery(std::vector<std::string> args, const std::string &input = {}) {
    static const TestConfig config("TALVEN_NAMESVC=nsm-master.16024\n");
    args.insert(args.begin(), binPath("nsquery"));
    return runProcess(args, config.env(), 60, input);
}

Peer::OnRequest lookupAnswer(std::uint16_t port) {
    return always(lookupReply(inetAddr("198.18.0.13", port)));
}

TEST(NsQuery, NamesOneALineWithTheSelectorSent) {
    Peer nsm(streaming({"alpha", "beta"}));
    const ProcResult r = nsquery({"names", "a*", "7"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "alpha\nbeta\n");
    EXPECT_EQ(r.err, "");
    const Bytes req = nsm.requests().at(0);
    EXPECT_EQ(req[0], NS_NAMELIST);
    EXPECT_EQ(req[3], 7);
}

TEST(NsQuery, JsonStringsAreEscaped) {
    Peer nsm(streaming({"q\"uote", "back\\slash", "ctl\x01\x1a", "caf\xc3\xa9",
                                       "bad\xff", "tab\tnl\n"}));
    const ProcResult r = nsquery({"--json", "names", "*"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "{\"command\":\"names\",\"pattern\":\"*\",\"selector\":0,\"ok\":true,\"names\":["
              "\"q\\\"uote\",\"back\\\\slash\",\"ctl\\u0001\\u001a\",\"caf\xc3\xa9\","
              "\"bad\\u00ff\",\"tab\\tnl\\n\"]}\n");
}

TEST(NsQuery, AnEmptyListIsASuccess) {
    Peer nsm(streaming({}));
    ProcResult r = nsquery({"names", "none*"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    r = nsquery({"names", "--json", "none*"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\"names\":[]"), std::string::npos);
}

TEST(NsQuery, RefusalExitsWithOne) {
    Peer nsm(always(record(33)));
    ProcResult r = nsquery({"names", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("nsquery: names: "), std::string::npos);
    r = nsquery({"--json", "adminhost", "box"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("{\"command\":\"adminhost\",\"ok\":false,\"error\":\"", 0), 0u);
    r = nsquery({"lookup", "\\\\h\\s"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("reply type 33"), std::string::npos);
}

TEST(NsQuery, AdminHostOfOneHostAndOfAll) {
    Peer nsm([](const Bytes &req, int) {
        return req[0] == NS_ADMINHOST ? reply(record(NS_OK, "adminbox"))
                                      : streamBack(listStream({"adm1", "adm2"}));
    });
    ProcResult r = nsquery({"adminhost", "box"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "adminbox\n");
    r = nsquery({"adminhost"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "adm1\nadm2\n");
    r = nsquery({"--json", "adminhost", "*"});
    EXPECT_EQ(r.out, "{\"command\":\"adminhost\",\"host\":\"*\",\"ok\":true,"
                     "\"adminhosts\":[\"adm1\",\"adm2\"]}\n");
    EXPECT_EQ(nsm.requests().at(1)[3], NS_LIST_ADMINHOST);
}

TEST(NsQuery, ConnectPrintsThePeerAndTheText) {
    ns::UniqueFd server = tcpSocket("198.18.0.13", 4002, 4);
    Peer nsm(lookupAnswer(4002));

    ProcResult r = nsquery({"connect", "\\\\Host\\svc"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "198.18.0.13 (4002) (auth=secret\\032\\\\x\\y)\n");
    r = nsquery({"--json", "connect", "\\\\Host\\svc"});
    EXPECT_EQ(r.out, "{\"command\":\"connect\",\"name\":\"\\\\\\\\Host\\\\svc\",\"ok\":true,"
                     "\"address\":\"198.18.0.13\",\"port\":4002,"
                     "\"auth\":\"secret\\u001a\\\\\\\\x\\\\y\"}\n");
    EXPECT_EQ(nsm.requests().at(0)[3], 0);
}

TEST(NsQuery, LookupUsesTheSendOnlyLookup) {
    Peer nsm(lookupAnswer(4003));
    ProcResult r = nsquery({"lookup", "\\\\h\\s"});
    EXPECT_EQ(r.status, 0);
    // The reply is read as every lookup reads it: the name follows the text,
    // behind its separator 0x1A, which the text output shows escaped.
    EXPECT_EQ(r.out, "198.18.0.13 (4003) (auth=secret\\032\\\\x\\y)\n");
    r = nsquery({"lookup", "--forward", "--json", "\\\\h\\s"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"command\":\"lookup\",\"name\":\"\\\\\\\\h\\\\s\",\"ok\":true,"
                     "\"forward\":true,\"address\":\"198.18.0.13\",\"port\":4003,"
                     "\"auth\":\"secret\\u001a\\\\\\\\x\\\\y\"}\n");
    const auto reqs = nsm.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0], record(NS_LOOKUP, "\\\\h\\s"));
    EXPECT_EQ(reqs[1][3], NS_LOOKUP_FORWARD);
}

// A batch answers each name with one line, whatever the text holds.
TEST(NsQuery, BatchAnswerWithALineBreakInItsTextStaysOneLine) {
    Peer nsm(always(lookupReply(inetAddr("198.18.0.13", 4004), "two\nlines\r", nullptr)));
    const ProcResult r = nsquery({"lookup", "-"}, "\\\\h\\s\n\\\\h\\t\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "\\\\h\\s\t198.18.0.13 (4004) (auth=two\\nlines\\r)\n"
              "\\\\h\\t\t198.18.0.13 (4004) (auth=two\\nlines\\r)\n");
}

TEST(NsQuery, TimeoutBoundsTheWholeCommand) {
    // The server hangs up without answering: the library goes on to a
    // broadcast discovery that nobody answers.
    Peer nsm(inTurn({}));
    const auto start = std::chrono::steady_clock::now();
    const ProcResult r = nsquery({"--timeout", "1.5", "--json", "names", "x"});
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(spent, std::chrono::seconds(4));
    EXPECT_NE(r.err.find("nsquery: names: no answer within 1.5 seconds"), std::string::npos);
    EXPECT_EQ(r.out, "{\"command\":\"names\",\"ok\":false,\"error\":\"no answer within 1.5 seconds\"}\n");
}

TEST(NsQuery, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"names"},
        {"names", "a", "256"},
        {"names", std::string(110, 'p')},
        {"frobnicate"},
        {"--timeout", "0", "names", "x"},
        {"--timeout"},
        {"--bogus", "names", "x"},
        {"connect", "host\\svc"},
        {"lookup", "\\\\h\\s\\t"},
        {"adminhost", "a", "b"},
        {"names", "x", "--forward"},
    };
    for (const auto &args : bad) {
        const ProcResult r = nsquery(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("nsquery: "), std::string::npos);
    }
    const ProcResult help = nsquery({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: nsquery", 0), 0u);
    EXPECT_EQ(help.err, "");
}

}  // namespace
