// The tool as a process against a stand-in master that answers as a script
// says: cut and lying frames, items out of place, noise, silence.  Whatever
// comes back, the tool prints only what a sound reply gives, exits with its
// usual status, never crashes and ends within its timers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "rsockmap/census_internal.hpp"
#include "rsockmap/record.hpp"
#include "rsockmap/rsockmap.h"
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

class Hostile : public testing::Test {
protected:
    // The stand-in master at nsm-master, with the service registered, and
    // the script as its answers.
    void start(const std::string &script) {
        nstest::writeFile(dir_.file("preload"),
                          "service \\\\nstest\\svc 198.18.0.11 5000 3 1 secret\n");
        nstest::writeFile(dir_.file("script"), script);
        nsmd_ = nstest::Child({nstest::binPath("nsmd"), "-a", nstest::kMasterAddr, "-f",
                               dir_.file("preload"), "--hostile", dir_.file("script")});
        ASSERT_TRUE(nsmd_.waitForOutput("ready")) << nsmd_.err();
    }

    // The tool, with the master configured (else found by broadcast).
    nstest::ProcResult tool(const std::vector<std::string> &args, bool configured = true) {
        std::vector<std::string> argv{nstest::binPath("nsadmin")};
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
    ASSERT_NO_FATAL_FAILURE(start("tcp raw:00\n"
          "tcp normal\n"
          "tcp raw:0a0102030405060708090a\n"
          "tcp normal\n"
          "tcp raw:18" + hex(Bytes(24, 0x33)) + "\n"  // 24 bytes: a salt alone
          "tcp normal\n"
          "tcp close\n"
          "tcp normal\n"));
    const auto r = tool({"-l", kService, "-l", kService, "-l", kService, "-l", kService});
    expectOrderlyEnd(r);
    EXPECT_EQ(r.out, std::string(kFound) + kFound + kFound + kFound);
    EXPECT_LT(seconds(), 5.0);
}

// A frame whose length byte claims more than follows, the connection then
// closed: the frame is cut short, the attempt fails, the broadcast attempt
// succeeds.  So does a reply that arrives a few bytes at a time.
TEST_F(Hostile, FramesCutShortOrInPieces) {
    const Bytes ok = bytesOf(ns::RecordBuilder(NS_OK).address(serviceAddress().data(), 16));
    ASSERT_NO_FATAL_FAILURE(start("tcp long:10:" + hex(ok) + " close\n"
          "tcp normal\n"
          "tcp long:150:" + hex(ok) + " close\n"
          "tcp normal\n"
          "tcp frag:3:20 normal\n"));
    const auto r = tool({"-l", kService, "-l", kService, "-l", kService});
    expectOrderlyEnd(r);
    EXPECT_EQ(r.out, std::string(kFound) + kFound + kFound);
    EXPECT_LT(seconds(), 5.0);
}

// An address item longer than an address gives its first 16 bytes; items
// whose offsets lie outside the record, or past 127, are not there.
TEST_F(Hostile, ItemsTooLongOrOutOfPlace) {
    Bytes longAddress = serviceAddress();
    longAddress.resize(40, 0x41);
    const Bytes beyond = [] {
        Bytes r(40, 0);
        r[0] = NS_OK;
        r[ns::kAddrOffset] = 39;  // a length byte at the last byte, no room behind
        r[39] = 16;
        r[ns::kTextOffset] = 200;
        return r;
    }();
    ASSERT_NO_FATAL_FAILURE(start("tcp rec:" + hex(okWithItem(ns::kAddrOffset, 16, longAddress)) + "\n"
          "tcp rec:" + hex(okWithItem(ns::kAddrOffset, 130, serviceAddress())) + "\n"
          "tcp rec:" + hex(beyond) + "\n"));
    const auto r = tool({"-l", kService, "-l", kService, "-l", kService});
    expectOrderlyEnd(r);
    // A success without an address leaves the address as it was: the first
    // lookup's.
    EXPECT_EQ(r.out,
              "198.18.0.11 (5000) (auth=)\n"
              "198.18.0.11 (5000) (auth=)\n"
              "198.18.0.11 (5000) (auth=)\n");
}

// The text and the name behind it hold more than the tool's 128-byte
// buffer: it gets the first 127 characters.
TEST_F(Hostile, TextAndNameLongerThanTheBuffer) {
    const std::string name(90, 'n'), text(100, 't');
    const Bytes reply = bytesOf(ns::RecordBuilder(NS_OK)
                                    .name(name.c_str())
                                    .address(serviceAddress().data(), 16)
                                    .text(text.c_str()));
    ASSERT_NO_FATAL_FAILURE(start("tcp rec:" + hex(reply) + "\n"));
    const auto r = tool({"-l", kService});
    expectOrderlyEnd(r);
    EXPECT_EQ(r.out, "198.18.0.11 (5000) (auth=" + text + "\x1a" + name.substr(0, 26) + ")\n");
}

// Noise instead of a reply: complete frames of random bytes decipher to a
// type that is not success (nothing printed); random bytes and a close may
// say anything, and the tool still ends normally.
TEST_F(Hostile, RandomBytesInsteadOfAReply) {
    std::mt19937 gen(7);
    std::string script;
    for (int i = 0; i < 4; ++i) {
        Bytes frame(1 + 60);
        for (auto &b : frame) b = static_cast<std::uint8_t>(gen());
        frame[0] = 60;
        Bytes plain(NS_MSG_SIZE);
        Bytes cipher(frame.begin() + 1, frame.end());
        NsDecrypt(plain.data(), cipher.data(), static_cast<int>(cipher.size()));
        if (plain[0] == NS_OK) frame[25] ^= 1;  // flips the type byte
        script += "tcp raw:" + hex(frame) + "\n";
    }
    script += "tcp random:300 close\ntcp random:40 close\n";
    ASSERT_NO_FATAL_FAILURE(start(script));
    auto r = tool({"-l", kService, "-l", kService, "-l", kService, "-l", kService});
    expectOrderlyEnd(r);
    EXPECT_EQ(r.out, "");
    r = tool({"-l", kService, "-l", kService});
    expectOrderlyEnd(r);
    EXPECT_LT(seconds(), 10.0);
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
