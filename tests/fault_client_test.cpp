// Failure paths of location and exchange: system calls made to fail through
// the link-time wrappers.  Each path logs its line, releases what it opened
// and reports -1.
#include <chrono>

#include "nspeer.hpp"
#include "support/faults.hpp"

using namespace nspeer;
namespace f = nstest::faults;
using nstest::kMasterAddr;

static testing::Environment *const kLogEnv = testing::AddGlobalTestEnvironment(new LogEnvironment);

namespace {

class Faults : public ClientTest {
protected:
    const Bytes request = bareRecord(NS_CONTROL);
    const NsMessage *req() const { return reinterpret_cast<const NsMessage *>(request.data()); }
    f::Guard guard;
};

}  // namespace

TEST_F(Faults, NoTcpSocketEndsTheExchangeAtOnce) {
    configure("nsm-master.16060");
    const int listener = tcpListener(kMasterAddr, 16060);
    const int any = udpSocket("0.0.0.0", 16060);
    Peer peer({listener, any}, [&](Peer &p) {
        // After the failed call the next one still starts with the master.
        pollfd both[2] = {{any, POLLIN, 0}, {listener, POLLIN, 0}};
        if (poll(both, 2, 8000) > 0) p.report((both[0].revents & POLLIN) ? "udp-first" : "tcp-first");
        serveOne(p, listener, bareRecord(NS_OK));
    });
    const int fds = nstest::openFdCount();
    NsMessage reply{};
    const int sockets = f::calls(f::Call::Socket);
    f::failNth(f::Call::Socket, 1, EMFILE);
    EXPECT_EQ(UspMapIO(req(), 16, &reply), -1);
    EXPECT_EQ(f::calls(f::Call::Socket), sockets + 1) << "no second attempt";
    EXPECT_EQ(nstest::openFdCount(), fds);
    EXPECT_TRUE(logs().has("UspMapIO: nl_socket failed (errno 24)\n")) << logs().dump();

    f::failNth(f::Call::Socket, 1, EMFILE);
    EXPECT_EQ(UspSend(req(), 16, 0), -1);
    EXPECT_TRUE(logs().has("UspSend: socket failed (errno 24)\n")) << logs().dump();

    EXPECT_EQ(UspMapIO(req(), 16, &reply), NS_OK);
    EXPECT_EQ(tagged(peer.finish(), "tcp-first").size(), 1u);
}

TEST_F(Faults, DiscoveryWithoutItsSocketFails) {
    const int fds = nstest::openFdCount();
    f::failNth(f::Call::Socket, 2, ENFILE);  // the TCP socket, then the UDP one
    EXPECT_EQ(UspSend(req(), 16, 1), -1);
    EXPECT_EQ(nstest::openFdCount(), fds);
    EXPECT_TRUE(logs().has("findNS: nl_socket failed (errno 23)\n")) << logs().dump();
    EXPECT_EQ(f::calls(f::Call::Sendto), 0);
}

TEST_F(Faults, NoFreeLocalPortMeansNoDiscovery) {
    const int fds = nstest::openFdCount();
    f::failAll(f::Call::Bind, EADDRINUSE);
    NsAddr found{};
    EXPECT_EQ(findNS(1, &found), -1);
    EXPECT_EQ(f::calls(f::Call::Bind), 32766 - 1025 + 1) << "every port from 1025 to 32766";
    EXPECT_EQ(f::calls(f::Call::Sendto), 0) << "no datagram sent";
    EXPECT_EQ(nstest::openFdCount(), fds);
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
    const int listener = tcpListener(kMasterAddr, 16061);
    const int any = udpSocket("0.0.0.0", 16061);
    const int from = udpSocket(kMasterAddr, 16061);
    Peer peer({listener, any, from}, [&](Peer &p) {
        auto take = [&](bool answer) {
            const int conn = acceptOne(listener, 8000);
            if (conn < 0) return;
            Bytes got;
            std::uint8_t buf[256];
            ssize_t n;
            while (got.size() < 41 && waitReadable(conn, 2000) &&
                   (n = read(conn, buf, sizeof buf)) > 0)
                got.insert(got.end(), buf, buf + n);
            p.report("received", got);
            if (answer) writeAll(conn, frameOf(bareRecord(NS_OK)));
            close(conn);
        };
        take(false);  // the length byte, then the connection closes
        answerDiscovery(p, any, from, masterReply());
        take(true);
        take(true);
    });
    const int fds = nstest::openFdCount();

    // The ciphertext cannot be written: the second attempt broadcasts.
    f::failNth(f::Call::Send, 2, EPIPE);
    int fd = UspSend(req(), 16, 0);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(logs().has("UspSend: write failed (errno 32)\n")) << logs().dump();
    EXPECT_EQ(f::calls(f::Call::Send), 4);

    // A failed read of the reply closes the descriptor all the same.
    f::failNth(f::Call::Read, 1, ECONNRESET);
    NsMessage reply{};
    EXPECT_EQ(UspReceive(fd, &reply), -1);
    EXPECT_EQ(nstest::openFdCount(), fds);
    f::reset();

    fd = UspSend(req(), 16, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(UspReceive(fd, &reply), NS_OK);
    EXPECT_EQ(nstest::openFdCount(), fds);

    const auto events = peer.finish();
    const auto got = tagged(events, "received");
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], Bytes{40});
    EXPECT_EQ(got[1].size(), 41u);
    EXPECT_EQ(tagged(events, "discovery").size(), 1u);
}
