// The tool as a process against a stand-in master that answers as a script
// says: cut and lying frames, items out of place, noise, silence.  Whatever
// comes back, the tool prints only what a sound reply gives, exits with its
// usual status, never crashes and ends within its timers.  nsquery, which
// takes a lookup's reply through the send-only half of the exchange, reads
// every one of these answers as nsadmin does.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "rsockmap/census_internal.hpp"
#include "rsockmap/record.hpp"
#include "rsockmap/rsockmap.h"
#include "tools/common/escape.hpp"
#include "support/testutil.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr const char *kService = "\\\\nstest\\svc";
constexpr const char *kFound = "198.18.0.11 (5000) (auth=secret)\n";

std::string hex(const Bytes &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

Bytes bytesOf(const ns::RecordBuilder &b) {
    EXPECT_TRUE(b.ok());
    const auto *p = reinterpret_cast<const std::uint8_t *>(&b.message());
    return Bytes(p, p + b.length());
}

// The 16 bytes of 198.18.0.11 port 5000 as they travel.
Bytes serviceAddress() {
    const sockaddr_in a = nstest::inetAddr(nstest::kBackup1Addr, 5000);
    const auto *p = reinterpret_cast<const std::uint8_t *>(&a);
    return Bytes(p, p + sizeof a);
}

// A bare NS_OK header with one item of `len` bytes at `offset`, named by
// the offset byte at `field`; the record ends behind the item.
Bytes okWithItem(ns::HeaderField field, std::size_t offset, const Bytes &item) {
    Bytes r(offset + 1 + item.size(), 0);
    r[0] = NS_OK;
    r[field] = static_cast<std::uint8_t>(offset);
    r[offset] = static_cast<std::uint8_t>(item.size());
    std::copy(item.begin(), item.end(), r.begin() + static_cast<std::ptrdiff_t>(offset) + 1);
    return r;
}

// ---- the answers the tests below script for a lookup ----

// Frames too short to hold a type, and a connection closed without a word.
const std::vector<std::string> kNoTypeAnswers = {
    "raw:00",
    "raw:0a0102030405060708090a",
    "raw:18" + hex(Bytes(24, 0x33)),  // 24 bytes: a salt alone
    "close",
};

// A frame whose length byte claims more than follows, the connection then
// closed; a whole reply that arrives a few bytes at a time.
std::vector<std::string> cutOrPiecemealAnswers() {
    const Bytes ok = bytesOf(ns::RecordBuilder(NS_OK).address(serviceAddress().data(), 16));
    return {"long:10:" + hex(ok) + " close", "long:150:" + hex(ok) + " close",
            "frag:3:20 normal"};
}

// An address item longer than an address; an address item at offset 130;
// an address item whose length byte is the record's last byte, and a text
// offset past the record.
std::vector<std::string> misplacedItemAnswers() {
    Bytes longAddress(40, 0x41);  // the address, then 24 bytes more
    const Bytes address = serviceAddress();
    std::copy(address.begin(), address.end(), longAddress.begin());
    Bytes beyond(40, 0);
    beyond[0] = NS_OK;
    beyond[ns::kAddrOffset] = 39;
    beyond[39] = 16;
    beyond[ns::kTextOffset] = 200;
    return {"rec:" + hex(okWithItem(ns::kAddrOffset, 16, longAddress)),
            "rec:" + hex(okWithItem(ns::kAddrOffset, 130, serviceAddress())),
            "rec:" + hex(beyond)};
}

const std::string kLongName(90, 'n'), kLongText(100, 't');

// A text and a name that together hold more than the tool's 128-byte buffer.
std::string overlongTextAnswer() {
    return "rec:" + hex(bytesOf(ns::RecordBuilder(NS_OK)
                                    .name(kLongName.c_str())
                                    .address(serviceAddress().data(), 16)
                                    .text(kLongText.c_str())));
}

// 198.18.0.10 port 8080 and a text item that claims 20 bytes of which 7
// arrive: 41 bytes in all.
const std::string kCutTextAnswer =
    "rec:200000000000000000102100000000001002001f90c612000a00000000000000001473656372657400";

// Complete frames of random bytes, none of which deciphers to a success.
std::vector<std::string> noiseFrameAnswers() {
    std::mt19937 gen(7);
    std::vector<std::string> out;
    for (int i = 0; i < 4; ++i) {
        Bytes frame(1 + 60);
        for (auto &b : frame) b = static_cast<std::uint8_t>(gen());
        frame[0] = 60;
        Bytes plain(NS_MSG_SIZE);
        Bytes cipher(frame.begin() + 1, frame.end());
        NsDecrypt(plain.data(), cipher.data(), static_cast<int>(cipher.size()));
        if (plain[0] == NS_OK) frame[25] ^= 1;  // flips the type byte
        out.push_back("raw:" + hex(frame));
    }
    return out;
}

// A script of "tcp" lines, one for each answer.
std::string tcpScript(const std::vector<std::string> &answers) {
    std::string script;
    for (const auto &a : answers) script += "tcp " + a + "\n";
    return script;
}

class Hostile : public testing::Test {
protected:
    // The stand-in master at nsm-master, with the service registered, and
    // the script as its answers.
    void start(const std::string &script) {
        nsmd_ = nstest::Child();  // a stand-in of an earlier start lets go of its ports
        nstest::writeFile(dir_.file("preload"),
                          "service \\\\nstest\\svc 198.18.0.11 5000 3 1 secret\n");
        nstest::writeFile(dir_.file("script"), script);
        nsmd_ = nstest::Child({nstest::binPath("nsmd"), "-a", nstest::kMasterAddr, "-f",
                               dir_.file("preload"), "--hostile", dir_.file("script")});
        ASSERT_TRUE(nsmd_.waitForOutput("ready")) << nsmd_.err();
    }

    // The tool, with the master configured (else found by broadcast).
    nstest::ProcResult tool(const std::vector<std::string> &args, bool configured = true,
                            const char *program = "nsadmin") {
        std::vector<std::string> argv{nstest::binPath(program)};
        argv.insert(argv.end(), args.begin(), args.end());
        const nstest::TestConfig &config = configured ? masterConfig_ : plainConfig_;
        const auto t0 = Clock::now();
        auto r = nstest::runProcess(argv, config.env(), 60);
        took_ = Clock::now() - t0;
        return r;
    }
    // Only ever exits: no signal, no timeout of the harness.
    static void expectOrderlyEnd(const nstest::ProcResult &r, int status = 0) {
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_EQ(r.err, "");
    }
    double seconds() const { return std::chrono::duration<double>(took_).count(); }

    nstest::TempDir dir_;
    nstest::TestConfig masterConfig_{"TALVEN_NAMESVC=nsm-master.16024\n"};
    nstest::TestConfig plainConfig_;
    nstest::Child nsmd_;
    Clock::duration took_{};
};

// Frames too short to hold a type, and a connection closed without a word:
// each attempt fails, and the second attempt (by broadcast) is answered.
TEST_F(Hostile, ShortFramesAndSilentClosesFailTheAttemptOnly) {
    std::string script;
    for (const auto &a : kNoTypeAnswers) script += "tcp " + a + "\ntcp normal\n";
    ASSERT_NO_FATAL_FAILURE(start(script));
    const auto r = tool({"-l", kService, "-l", kService, "-l", kService, "-l", kService});
    expectOrderlyEnd(r);
    EXPECT_EQ(r.out, std::string(kFound) + kFound + kFound + kFound);
    EXPECT_LT(seconds(), 5.0);
}

// A frame cut short fails the attempt and the broadcast attempt succeeds; a
// reply that arrives in pieces is gathered.
TEST_F(Hostile, FramesCutShortOrInPieces) {
    const auto answers = cutOrPiecemealAnswers();
    ASSERT_NO_FATAL_FAILURE(start("tcp " + answers[0] + "\ntcp normal\ntcp " + answers[1] +
                                  "\ntcp normal\ntcp " + answers[2] + "\n"));
    const auto r = tool({"-l", kService, "-l", kService, "-l", kService});
    expectOrderlyEnd(r);
    EXPECT_EQ(r.out, std::string(kFound) + kFound + kFound);
    EXPECT_LT(seconds(), 5.0);
}

// An address item longer than an address gives its first 16 bytes; items
// whose offsets lie outside the record, or past 127, are not there; nor is
// a text item that reaches past the bytes that arrived.
TEST_F(Hostile, ItemsTooLongOrOutOfPlace) {
    auto answers = misplacedItemAnswers();
    answers.push_back(kCutTextAnswer);
    ASSERT_NO_FATAL_FAILURE(start(tcpScript(answers)));
    const auto r = tool({"-l", kService, "-l", kService, "-l", kService, "-l", kService});
    expectOrderlyEnd(r);
    // A success without an address leaves the address as it was: the first
    // lookup's.
    EXPECT_EQ(r.out,
              "198.18.0.11 (5000) (auth=)\n"
              "198.18.0.11 (5000) (auth=)\n"
              "198.18.0.11 (5000) (auth=)\n"
              "198.18.0.10 (8080) (auth=)\n");
}

// The text and the name behind it hold more than the tool's 128-byte
// buffer: it gets the first 127 characters.
TEST_F(Hostile, TextAndNameLongerThanTheBuffer) {
    ASSERT_NO_FATAL_FAILURE(start(tcpScript({overlongTextAnswer()})));
    const auto r = tool({"-l", kService});
    expectOrderlyEnd(r);
    EXPECT_EQ(r.out,
              "198.18.0.11 (5000) (auth=" + kLongText + "\x1a" + kLongName.substr(0, 26) + ")\n");
}

// Noise instead of a reply: complete frames of random bytes decipher to a
// type that is not success (nothing printed); random bytes and a close may
// say anything, and the tool still ends normally.
TEST_F(Hostile, RandomBytesInsteadOfAReply) {
    ASSERT_NO_FATAL_FAILURE(start(tcpScript(noiseFrameAnswers()) +
                                  "tcp random:300 close\ntcp random:40 close\n"));
    auto r = tool({"-l", kService, "-l", kService, "-l", kService, "-l", kService});
    expectOrderlyEnd(r);
    EXPECT_EQ(r.out, "");
    r = tool({"-l", kService, "-l", kService});
    expectOrderlyEnd(r);
    EXPECT_LT(seconds(), 10.0);
}

// nsquery takes the reply of its lookup through the send-only half of the
// exchange and nsadmin through the whole one; both read every answer above
// alike.  nsquery meets each answer once (one run each); one nsadmin run
// meets them all in the same order, each once, or twice when it brings no
// reply with a type (the second attempt meets it again).  Both print nothing
// for a failed lookup, so their outputs match line for line; where nsquery
// shows no address (NULL), nsadmin shows the one it had, so only the text
// is compared.  The random bytes of "random:N" differ at each use and have
// no one reading to compare.
TEST_F(Hostile, NsadminAndNsqueryReadEveryAnswerAlike) {
    struct Answer {
        std::string op;
        bool typed;  // a complete frame that holds a type
    };
    std::vector<Answer> answers;
    for (const auto &a : kNoTypeAnswers) answers.push_back({a, false});
    const auto cut = cutOrPiecemealAnswers();
    answers.insert(answers.end(), {{cut[0], false}, {cut[1], false}, {cut[2], true}});
    for (const auto &group : {misplacedItemAnswers(), noiseFrameAnswers(),
                              std::vector<std::string>{overlongTextAnswer(), kCutTextAnswer}})
        for (const auto &a : group) answers.push_back({a, true});

    std::vector<std::string> forQuery, forAdmin;
    std::vector<std::string> adminArgs;
    for (const auto &a : answers) {
        forQuery.push_back(a.op);
        forAdmin.push_back(a.op);
        if (!a.typed) forAdmin.push_back(a.op);
        adminArgs.insert(adminArgs.end(), {"-l", kService});
    }
    ASSERT_NO_FATAL_FAILURE(start(tcpScript(forQuery) + tcpScript(forAdmin)));
    std::vector<std::string> queryLines;
    for (const auto &a : answers) {
        const auto query = tool({"lookup", kService}, true, "nsquery");
        EXPECT_TRUE(query.status == 0 || query.status == 1) << a.op << ": " << query.err;
        EXPECT_LE(std::count(query.out.begin(), query.out.end(), '\n'), 1) << a.op;
        if (!query.out.empty()) queryLines.push_back(query.out);
    }
    const auto admin = tool(adminArgs);
    expectOrderlyEnd(admin);
    std::vector<std::string> adminLines;
    for (std::size_t at = 0, nl; (nl = admin.out.find('\n', at)) != std::string::npos; at = nl + 1)
        adminLines.push_back(admin.out.substr(at, nl + 1 - at));
    ASSERT_EQ(adminLines.size(), queryLines.size()) << admin.out;
    for (std::size_t i = 0; i < queryLines.size(); ++i) {
        const std::string &q = queryLines[i], &a = adminLines[i];
        // nsquery shows control characters escaped, nsadmin as they came.
        const std::string shown = nstools::terminalSafe(a.substr(0, a.size() - 1)) + "\n";
        if (q.rfind("NULL ", 0) == 0)
            EXPECT_EQ(q.substr(q.find(" (auth=")), shown.substr(shown.find(" (auth=")));
        else
            EXPECT_EQ(q, shown);
    }
}

// No master configured and the first broadcast unanswered: the first phase
// waits its 5 seconds, the second is answered.
TEST_F(Hostile, SilenceDuringDiscoveryCostsOnePhase) {
    ASSERT_NO_FATAL_FAILURE(start("udp silent\n"));
    const auto r = tool({"-l", kService}, false);
    expectOrderlyEnd(r);
    EXPECT_EQ(r.out, kFound);
    EXPECT_GT(seconds(), 4.5);
    EXPECT_LT(seconds(), 8.0);
}

// Datagrams that are no census reply (too short, the salt alone, noise,
// longer than a receive buffer) come before the master's reply: only the
// reply is listed, and the census still lasts its 5 seconds.
TEST_F(Hostile, NoiseDuringTheCensus) {
    std::mt19937 gen(11);
    std::string ops;
    for (std::size_t size : {10u, 24u, 100u, 300u}) {
        Bytes d;
        do {
            d.assign(size, 0);
            for (auto &b : d) b = static_cast<std::uint8_t>(gen());
        } while (ns::censusReplyType(d.data(), d.size()) != 0);
        ops += " raw:" + hex(d);
    }
    ASSERT_NO_FATAL_FAILURE(start("udp random:20" + ops + " normal\n"));
    const auto r = tool({"-n"});
    expectOrderlyEnd(r);
    EXPECT_EQ(r.out, "nsm-master (MASTER)\n");
    EXPECT_GT(seconds(), 4.5);
    EXPECT_LT(seconds(), 8.0);
}

}  // namespace
