// The census: scripted name servers answer the broadcast from the sandbox's
// stand-in addresses.  Each census listens for 5 seconds, so the slow cases
// are few and each checks several things.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdint>
#include <string>
#include <vector>

#include "admin/census.h"
#include "rsockmap/census_internal.hpp"
#include "rsockmap/record.hpp"
#include "support/peer.hpp"

using namespace nstest;

namespace {

constexpr std::uint16_t kPort = 16024;

// A record of n bytes (16 by default) of the given type, enciphered.
Bytes enciphered(int type, std::size_t n = NS_HEADER_SIZE) {
    Bytes plain(n, 0);
    if (n > 0) plain[0] = static_cast<std::uint8_t>(type);
    return encipher(plain);
}

// A reply of `type` that names `addr` in its address item.
Bytes withAddress(int type, const sockaddr_in &addr) {
    ns::RecordBuilder b(type);
    b.address(&addr, sizeof addr);
    return encipher(plainOf(b));
}

double secondsSince(const timeval &t0) {
    timeval t1{};
    gettimeofday(&t1, nullptr);
    return static_cast<double>(t1.tv_sec - t0.tv_sec) + (t1.tv_usec - t0.tv_usec) / 1e6;
}

// The census reaches the configuration through the log client and the local
// address: every census runs with a configuration of its own.
class Census : public ::testing::Test {
protected:
    ScopedConfig config_;
};

TEST(CensusReply, OnlyMastersAndBackupsCount) {
    EXPECT_EQ(ns::censusReplyType(enciphered(NS_MASTER).data(), 40), NS_MASTER);
    EXPECT_EQ(ns::censusReplyType(enciphered(NS_BACKUP).data(), 40), NS_BACKUP);
    EXPECT_EQ(ns::censusReplyType(enciphered(NS_OK).data(), 40), 0);
    EXPECT_EQ(ns::censusReplyType(enciphered(NS_CENSUS).data(), 40), 0);
    // One record byte is enough to hold the type; the salt alone is not.
    EXPECT_EQ(ns::censusReplyType(enciphered(NS_MASTER, 1).data(), 25), NS_MASTER);
    EXPECT_EQ(ns::censusReplyType(enciphered(NS_MASTER, 0).data(), 24), 0);
    const Bytes tiny(10, 0xAB);
    EXPECT_EQ(ns::censusReplyType(tiny.data(), tiny.size()), 0);
    EXPECT_EQ(ns::censusReplyType(nullptr, 0), 0);
    // A datagram cut at the receive buffer's size still deciphers in place.
    Bytes big = enciphered(NS_BACKUP, NS_MSG_SIZE - NS_SALT_SIZE);
    big.resize(400, 0xEE);
    EXPECT_EQ(ns::censusReplyType(big.data(), big.size()), NS_BACKUP);
    // The caller's bytes are not changed.
    const Bytes master = enciphered(NS_MASTER);
    Bytes copy = master;
    ns::censusReplyType(copy.data(), copy.size());
    EXPECT_EQ(copy, master);
}

TEST(CensusReply, AddressIsTheItemWhenWhollyReceivedElseTheSender) {
    const sockaddr_in from = inetAddr("198.18.0.10", 16024);
    const sockaddr_in own = inetAddr("198.18.0.20", 5000);
    NsCensusReply r{};
    const Bytes master = withAddress(NS_MASTER, own);
    ASSERT_TRUE(ns::decodeCensusReply(master, from, &r));
    EXPECT_EQ(r.type, NS_MASTER);
    EXPECT_EQ(r.hasAddr, 1);
    EXPECT_EQ(r.addr.sin_addr.s_addr, own.sin_addr.s_addr);
    EXPECT_EQ(r.addr.sin_port, own.sin_port);
    EXPECT_EQ(r.from.sin_addr.s_addr, from.sin_addr.s_addr);
    // The item claims 16 bytes; only 8 of them arrive.
    const Bytes cut(master.begin(), master.end() - 8);
    r = {};
    ASSERT_TRUE(ns::decodeCensusReply(cut, from, &r));
    EXPECT_EQ(r.hasAddr, 0);
    EXPECT_EQ(std::memcmp(&r.addr, &from, sizeof from), 0);
    r = {};
    ASSERT_TRUE(ns::decodeCensusReply(enciphered(NS_BACKUP), from, &r));
    EXPECT_EQ(r.type, NS_BACKUP);
    EXPECT_EQ(r.hasAddr, 0);
    EXPECT_EQ(std::memcmp(&r.addr, &from, sizeof from), 0);
    // Anything else leaves the reply alone.
    r.type = -1;
    EXPECT_FALSE(ns::decodeCensusReply(withAddress(NS_OK, own), from, &r));
    EXPECT_EQ(r.type, -1);
}

// The library's census hands each reply to the caller, with the sender, the
// address to reach it at and the time since the broadcast, and cleans up as
// nsadmin's census does.
TEST_F(Census, TakeCensusHandsEveryReplyToTheHandlerInArrivalOrder) {
    Peer nsms;
    nsms.udp("0.0.0.0", kPort, [](const Bytes &, int) {
        return std::vector<Datagram>{
            {inetAddr("198.18.0.10", 0), withAddress(NS_MASTER, inetAddr("198.18.0.20", 5000))},
            {inetAddr("198.18.0.13", 0), enciphered(NS_OK)},
            {inetAddr("198.18.0.11", 0), enciphered(NS_BACKUP)},
        };
    });
    nsms.start();
    bGotBcastAddr = 1;
    BcastAddr = inetAddr(kBcastAddr, kPort);
    std::vector<NsCensusReply> got;
    const auto collect = [](const NsCensusReply *r, void *arg) {
        static_cast<std::vector<NsCensusReply> *>(arg)->push_back(*r);
    };
    const int fds = openFdCount();
    // A time that alarm(2) cannot keep is refused before anything is sent.
    for (const unsigned int bad : {0u, 86401u, ~0u}) {
        errno = 0;
        EXPECT_EQ(usptcp_TakeCensus(bad, collect, &got), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(usptcp_TakeCensus(1, collect, &got), 0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].type, NS_MASTER);
    EXPECT_EQ(got[0].from.sin_addr.s_addr, inetAddr("198.18.0.10", 0).sin_addr.s_addr);
    EXPECT_EQ(got[0].hasAddr, 1);
    EXPECT_EQ(got[0].addr.sin_addr.s_addr, inetAddr("198.18.0.20", 0).sin_addr.s_addr);
    EXPECT_EQ(ntohs(got[0].addr.sin_port), 5000);
    EXPECT_EQ(got[1].type, NS_BACKUP);
    EXPECT_EQ(got[1].hasAddr, 0);
    EXPECT_EQ(std::memcmp(&got[1].addr, &got[1].from, sizeof got[1].from), 0);
    EXPECT_GT(got[0].micros, 0);
    EXPECT_GE(got[1].micros, got[0].micros);
    EXPECT_LT(got[1].micros, 1000000);
    const auto censuses = nsms.events();  // one whole NS_CENSUS datagram
    ASSERT_EQ(censuses.size(), 1u);
    EXPECT_EQ(censuses[0].kind, Event::Udp);
    EXPECT_EQ(censuses[0].raw.size(), 40u);
    ASSERT_EQ(censuses[0].plain.size(), static_cast<std::size_t>(NS_HEADER_SIZE));
    EXPECT_EQ(censuses[0].plain[0], NS_CENSUS);
    EXPECT_EQ(alarm(0), 0u);
    struct sigaction act {};
    sigaction(SIGALRM, nullptr, &act);
    EXPECT_EQ(act.sa_handler, SIG_DFL);
    EXPECT_EQ(openFdCount(), fds);
}

TEST_F(Census, TwoCensusesEachPrintTheirMastersAndBackupsInOrder) {
    // Every census is answered from the stand-in addresses.
    Peer nsms;
    nsms.udp("0.0.0.0", kPort, [](const Bytes &, int) {
        return std::vector<Datagram>{
            {inetAddr("198.18.0.13", 0), Bytes(10, 0x55)},    // too short to hold a type
            {inetAddr("198.18.0.13", 0), enciphered(NS_OK)},  // not a census reply
            {inetAddr("198.18.0.10", 0), enciphered(NS_MASTER)},
            {inetAddr("198.18.0.11", 0), enciphered(NS_BACKUP)},
            {inetAddr("198.18.0.12", 0), enciphered(NS_BACKUP)},
            {inetAddr("198.18.0.19", 0), enciphered(NS_MASTER)},  // an address without a name
        };
    });
    nsms.start();
    const auto r = runProcess({binPath("nsadmin"), "-b", "198.18.0.255/16024", "-n", "-n"},
                              config_.env());
    const std::string one =
        "nsm-master (MASTER)\n"
        "nsm-backup1 (BACKUP)\n"
        "nsm-backup2 (BACKUP)\n"
        "198.18.0.19 (MASTER)\n";
    EXPECT_EQ(r.out, one + one);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // Two census requests of 40 bytes each, and nothing else.
    EXPECT_EQ(nsms.datagrams(), std::vector<Bytes>(2, record(NS_CENSUS)));
    for (const Event &e : nsms.events()) EXPECT_EQ(e.raw.size(), 40u);
}

TEST_F(Census, NobodyAnswersAfterFiveSecondsAndCleansUp) {
    const int fds = openFdCount();
    bGotBcastAddr = 1;
    BcastAddr = inetAddr(kBcastAddr, kPort);
    alarm(0);
    timeval t0{};
    gettimeofday(&t0, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(FindAllNS(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const double took = secondsSince(t0);
    EXPECT_GT(took, 4.5);
    EXPECT_LT(took, 8.0);
    // No timer left, SIGALRM back to its default, the socket closed.
    EXPECT_EQ(alarm(0), 0u);
    struct sigaction act {};
    sigaction(SIGALRM, nullptr, &act);
    EXPECT_EQ(act.sa_handler, SIG_DFL);
    EXPECT_EQ(openFdCount(), fds);
}

}  // namespace
