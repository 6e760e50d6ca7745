// The census: scripted name servers answer the broadcast from the sandbox's
// stand-in addresses.  Each census listens for 5 seconds, so the slow cases
// are few and each checks several things.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "admin/census.h"
#include "admin/census_internal.hpp"
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
