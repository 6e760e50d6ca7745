// Failure paths of location and exchange: system calls made to fail through
// the link-time wrappers.  Each path logs its line, releases what it opened
// and reports -1.
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "support/faults.hpp"
#include "support/peer.hpp"

using namespace nstest;
namespace f = nstest::faults;

static testing::Environment *const kLogEnv =
    testing::AddGlobalTestEnvironment(new ClientEnvironment);

namespace {

class Faults : public ClientTest {
protected:
    const Bytes request = record(NS_CONTROL);
    const NsMessage *req() const { return reinterpret_cast<const NsMessage *>(request.data()); }
    f::Guard guard;
};

}  // namespace

TEST_F(Faults, NoTcpSocketEndsTheExchangeAtOnce) {
    configure("nsm-master.16060");
    Peer peer;
    peer.udp("0.0.0.0", 16060);
    peer.tcp(kMasterAddr, 16060, always(record(NS_OK)));
    peer.start();
    const int fds = openFdCount();
    NsMessage reply{};
    const int sockets = f::calls(f::Call::Socket);
    f::failNth(f::Call::Socket, 1, EMFILE);
    EXPECT_EQ(UspMapIO(req(), 16, &reply), -1);
    EXPECT_EQ(f::calls(f::Call::Socket), sockets + 1) << "no second attempt";
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_TRUE(logs().has("UspMapIO: nl_socket failed (errno 24)\n")) << logs().dump();

    f::failNth(f::Call::Socket, 1, EMFILE);
    EXPECT_EQ(UspSend(req(), 16, 0), -1);
    EXPECT_TRUE(logs().has("UspSend: socket failed (errno 24)\n")) << logs().dump();

    // After the failed calls the next one still starts with the master.
    EXPECT_EQ(peer.order(), "");
    EXPECT_EQ(UspMapIO(req(), 16, &reply), NS_OK);
    EXPECT_EQ(peer.order(), "t");
}

TEST_F(Faults, DiscoveryWithoutItsSocketFails) {
    const int fds = openFdCount();
    f::failNth(f::Call::Socket, 2, ENFILE);  // the TCP socket, then the UDP one
    EXPECT_EQ(UspSend(req(), 16, 1), -1);
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_TRUE(logs().has("findNS: nl_socket failed (errno 23)\n")) << logs().dump();
    EXPECT_EQ(f::calls(f::Call::Sendto), 0);
}

TEST_F(Faults, NoFreeLocalPortMeansNoDiscovery) {
    const int fds = openFdCount();
    f::failAll(f::Call::Bind, EADDRINUSE);
    NsAddr found{};
    EXPECT_EQ(findNS(1, &found), -1);
    EXPECT_EQ(f::calls(f::Call::Bind), 32766 - 1025 + 1) << "every port from 1025 to 32766";
    EXPECT_EQ(f::calls(f::Call::Sendto), 0) << "no datagram sent";
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_TRUE(logs().has("findNS: nl_bind failed (errno 98)\n")) << logs().dump();
}

TEST_F(Faults, FailedReceivesEndEachPhase) {
    f::failAll(f::Call::Recvfrom, EIO);
    NsAddr found{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(findNS(0, &found), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(f::calls(f::Call::Sendto), 2) << "NS_FINDMASTER, then NS_FINDANY";
    EXPECT_EQ(logs().count("findNS: no NSM (errno 5)\n"), 2) << logs().dump();
    EXPECT_EQ(logs().count("BcastTimeout (signal 14)\n"), 0);
}

TEST_F(Faults, FailedWritesAndReadsCloseTheConnection) {
    configure("nsm-master.16061");
    Peer peer;
    peer.udp("0.0.0.0", 16061, answerFrom(kMasterAddr, 16061, masterReply()));
    peer.tcp(kMasterAddr, 16061, always(record(NS_OK)));
    peer.start();
    const int fds = openFdCount();

    // The frame cannot be written: the second attempt broadcasts and sends
    // it whole.
    f::failNth(f::Call::Send, 1, EPIPE);
    int fd = UspSend(req(), 16, 0);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(logs().has("UspSend: write failed (errno 32)\n")) << logs().dump();
    EXPECT_EQ(f::calls(f::Call::Send), 2);

    // A failed read of the reply closes the descriptor all the same.
    f::failNth(f::Call::Read, 1, ECONNRESET);
    NsMessage reply{};
    EXPECT_EQ(UspReceive(fd, &reply), -1);
    EXPECT_EQ(openFdCount(), fds);
    f::reset();

    // A whole exchange: its reply also shows the peer has seen all before.
    fd = UspSend(req(), 16, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(UspReceive(fd, &reply), NS_OK);
    EXPECT_EQ(openFdCount(), fds);

    // An empty connection, a discovery, two whole requests.
    const auto events = peer.events();
    EXPECT_EQ(peer.order(), "tutt");
    ASSERT_EQ(events.size(), 4u);
    EXPECT_TRUE(events[0].raw.empty());
    EXPECT_EQ(events[2].raw.size(), 41u);
    EXPECT_EQ(peer.requests(), std::vector<Bytes>(2, request));
}

namespace {

void expectNoAlarmLeft() {
    EXPECT_EQ(alarm(0), 0u);
    struct sigaction now {};
    sigaction(SIGALRM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

}  // namespace

// The first phase's alarm runs out just before its receive begins: the
// receive's own timeout ends the phase.
TEST_F(Faults, AlarmBeforeADiscoveryReceiveBeganStillEndsThePhase) {
    const int fds = openFdCount();
    f::beforeNth(f::Call::Recvfrom, 1, f::alarmRunsOut);
    f::failNth(f::Call::Recvfrom, 2, EIO);  // the second phase ends at once
    NsAddr found{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(findNS(1, &found), -1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(5500));
    EXPECT_LT(took, std::chrono::milliseconds(8000));
    EXPECT_TRUE(logs().has("BcastTimeout (signal 14)\n")) << logs().dump();
    EXPECT_TRUE(logs().has("findNS: no NSM (errno 11)\n")) << logs().dump();
    EXPECT_TRUE(logs().has("findNS: no NSM (errno 5)\n")) << logs().dump();
    EXPECT_EQ(openFdCount(), fds);
    expectNoAlarmLeft();
}

// The master's accept queue is full, so the connect would hang; the alarm
// that should cut it went off before it began.
TEST_F(Faults, AlarmBeforeTheConnectBeganStillEndsIt) {
    configure("nsm-master.16062");
    const HangingListener full = hangingListener(kMasterAddr, 16062);
    const int fds = openFdCount();

    f::beforeNth(f::Call::Connect, 1, f::alarmRunsOut);
    f::failAll(f::Call::Recvfrom, EIO);  // the second attempt finds no master at once
    NsMessage reply{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(UspMapIO(req(), 16, &reply), -1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(5500));
    EXPECT_LT(took, std::chrono::milliseconds(8000));
    EXPECT_TRUE(logs().has("ReplyTimeout (signal 14)\n")) << logs().dump();
    EXPECT_TRUE(logs().has("UspMapIO: nl_connect(198.18.0.10 (16062)) failed (errno 115)\n"))
        << logs().dump();
    EXPECT_EQ(openFdCount(), fds);
    expectNoAlarmLeft();
}

// A short write of the ciphertext fails the attempt; it is not continued.
// The second attempt broadcasts and sends the request whole.
TEST_F(Faults, ShortWriteOfTheRequestFailsTheAttempt) {
    configure("nsm-master.16063");
    Peer peer;
    peer.udp("0.0.0.0", 16063, answerFrom(kMasterAddr, 16063, masterReply()));
    peer.tcp(kMasterAddr, 16063, always(record(NS_OK)));
    peer.start();
    const int fds = openFdCount();
    f::shortNth(f::Call::Send, 1, 11);  // the first attempt's frame
    NsMessage reply{};
    EXPECT_EQ(UspMapIO(req(), 16, &reply), NS_OK);
    EXPECT_EQ(f::calls(f::Call::Send), 2) << "one send per attempt";
    // A short count sets no errno of its own: only the text is certain.
    int writeFailures = 0;
    for (const auto &line : logs().lines())
        writeFailures += line.rfind("UspMapIO: nl_writesocket failed (errno ", 0) == 0;
    EXPECT_EQ(writeFailures, 1) << logs().dump();
    const auto events = peer.events();
    EXPECT_EQ(peer.order(), "tut");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].raw.size(), 11u) << "the length byte and 10 of 40 bytes";
    EXPECT_EQ(events[0].raw[0], 40);
    EXPECT_EQ(peer.requests(), std::vector<Bytes>{request});
    EXPECT_EQ(openFdCount(), fds);
}
