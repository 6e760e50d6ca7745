// The request exchange: frame reading, the stream routines, and UspMapIO,
// UspSend and UspReceive against scripted name servers.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "rsockmap/exchange_internal.hpp"
#include "support/peer.hpp"

using namespace nstest;

static testing::Environment *const kLogEnv =
    testing::AddGlobalTestEnvironment(new ClientEnvironment);

namespace {

// A byte stream read in chunks of at most `chunk` bytes; after `failAfter`
// bytes (when set) one read fails with -1.
struct ChunkedStream {
    Bytes bytes;
    std::size_t chunk = 1;
    std::size_t failAfter = SIZE_MAX;
    std::size_t at = 0;

    ssize_t operator()(void *buf, std::size_t n) {
        if (at == failAfter) {
            failAfter = SIZE_MAX;
            return -1;
        }
        std::size_t take = std::min({n, chunk, bytes.size() - at});
        if (failAfter != SIZE_MAX) take = std::min(take, failAfter - at);
        std::memcpy(buf, bytes.data() + at, take);
        at += take;
        return static_cast<ssize_t>(take);
    }
};

// The public calls hand back the bytes that arrived with zero bytes behind
// them to the end of the record, whatever the record held before.
void expectReceivedThenZeros(const NsMessage &reply, const Bytes &plain) {
    const auto *p = reinterpret_cast<const std::uint8_t *>(&reply);
    Bytes want = plain;
    want.resize(NS_MSG_SIZE, 0);
    EXPECT_EQ(Bytes(p, p + NS_MSG_SIZE), want);
}

Bytes concat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

// ---- the frame reading loop, fed with plain bytes ----

TEST(FrameReading, GathersAFrameDeliveredInPieces) {
    const Bytes plain = record(NS_OK, "\\\\alpha\\svc");
    for (std::size_t chunk : {1u, 2u, 7u, 300u}) {
        ChunkedStream in{frameOf(plain), chunk};
        const ns::ReceivedRecord reply = ns::receiveReply(in, false);
        EXPECT_EQ(reply.type(), NS_OK) << "chunk " << chunk;
        const auto bytes = reply.view().bytes();
        EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), plain);
    }
}

TEST(FrameReading, FramesTooShortToHoldATypeAreNoReply) {
    for (int frameLen : {0, 1, 24}) {
        Bytes frame(1 + frameLen, 0x55);
        frame[0] = static_cast<std::uint8_t>(frameLen);
        ChunkedStream in{frame, 64};
        const ns::ReceivedRecord reply = ns::receiveReply(in, false);
        EXPECT_EQ(reply.type(), -1) << frameLen;
        EXPECT_EQ(reply.size(), 0u);
    }
    // 25 bytes hold exactly the type.
    ChunkedStream in{frameOf({NS_OK}), 64};
    const ns::ReceivedRecord reply = ns::receiveReply(in, false);
    EXPECT_EQ(reply.type(), NS_OK);
    EXPECT_EQ(reply.size(), 1u);
}

TEST(FrameReading, StreamEndingInsideAFrameIsNoReply) {
    Bytes frame = frameOf(record(NS_OK, "abc"));
    frame.resize(10);
    for (bool resync : {false, true}) {
        ChunkedStream in{frame, 3};
        const ns::ReceivedRecord reply = ns::receiveReply(in, resync);
        EXPECT_EQ(reply.type(), -1);
        EXPECT_EQ(reply.size(), 0u);
    }
}

TEST(FrameReading, ResyncStartsAFreshFrameAfterAFailedRead) {
    // A frame cut by a failing read, then a whole frame: only the resyncing
    // reader (the one UspMapIO uses) goes on to the second frame.
    Bytes first = frameOf(record(NS_LOOKUP, "first"));
    first.resize(12);
    const Bytes second = frameOf(record(NS_OK, "second"));
    for (bool resync : {false, true}) {
        ChunkedStream in{concat(first, second), 5, first.size()};
        EXPECT_EQ(ns::receiveReply(in, resync).type(), resync ? NS_OK : -1);
    }
}

TEST(FrameReading, ReadsExactlyTheFrameItsLengthByteAnnounces) {
    // The longest record a frame can carry: 231 bytes, length byte 255.
    Bytes plain(NS_MAX_TCP_RECORD, 0x31);
    plain[0] = NS_OK;
    const Bytes frame = frameOf(plain);
    ASSERT_EQ(frame[0], 255);
    ChunkedStream in{concat(frame, Bytes(40, 0xEE)), 100};
    const ns::ReceivedRecord reply = ns::receiveReply(in, false);
    EXPECT_EQ(reply.type(), NS_OK);
    EXPECT_EQ(reply.size(), static_cast<std::size_t>(NS_MAX_TCP_RECORD));
    EXPECT_EQ(in.at, frame.size()) << "nothing read past the frame";
}

// ---- the stream routines ----

class StreamRoutines : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd_), 0); }
    void TearDown() override {
        close(fd_[0]);
        if (fd_[1] >= 0) close(fd_[1]);
    }
    int fd_[2] = {-1, -1};
};

TEST_F(StreamRoutines, ReadStringGathersExactlyTheCount) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(read_string(fd_[0], buf, 0), 0);
    EXPECT_EQ(buf[0], '\0');

    ASSERT_EQ(write(fd_[1], "ab", 2), 2);
    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        (void)!write(fd_[1], "cdeXY", 5);
    });
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(read_string(fd_[0], buf, 5), 5);
    later.join();
    EXPECT_STREQ(buf, "abcde");
    // The rest stays in the stream.
    EXPECT_EQ(read_string(fd_[0], buf, 2), 2);
    EXPECT_STREQ(buf, "XY");
}

TEST_F(StreamRoutines, ReadStringReturnsTheEndOfStream) {
    ASSERT_EQ(write(fd_[1], "ab", 2), 2);
    close(fd_[1]);
    fd_[1] = -1;
    char buf[8];
    EXPECT_EQ(read_string(fd_[0], buf, 5), 0);
    char c = 0;
    EXPECT_EQ(read_char(fd_[0], &c), 0);
}

TEST_F(StreamRoutines, WritesSendTheirBytes) {
    EXPECT_EQ(write_char(fd_[1], 0x141), 0);
    EXPECT_EQ(write_string(fd_[1], "hello", 5), 0);
    EXPECT_EQ(write_string(fd_[1], "", 0), 0);
    char c = 0;
    EXPECT_EQ(read_char(fd_[0], &c), 1);
    EXPECT_EQ(c, 0x41);
    char buf[8];
    EXPECT_EQ(read_string(fd_[0], buf, 5), 5);
    EXPECT_STREQ(buf, "hello");

    EXPECT_LT(write_char(-1, 'a'), 0);
    EXPECT_LT(write_string(-1, "a", 1), 0);
}

// ---- UspMapIO, UspSend, UspReceive ----

class Exchange : public ClientTest {
protected:
    const Bytes request = record(NS_CONTROL);
    const NsMessage *req() const { return reinterpret_cast<const NsMessage *>(request.data()); }
};

TEST_F(Exchange, SendsOneFrameToTheConfiguredMaster) {
    configure("nsm-master.16030");
    Peer peer(always(record(NS_OK, "done")), kMasterAddr, 16030);
    const int fds = openFdCount();

    NsMessage reply;
    std::memset(&reply, 0xAB, sizeof reply);
    EXPECT_EQ(UspMapIO(req(), 16, &reply), NS_OK);
    expectReceivedThenZeros(reply, record(NS_OK, "done"));

    const auto events = peer.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].raw.size(), 41u);
    EXPECT_EQ(events[0].raw[0], 40) << "the length byte";
    EXPECT_EQ(events[0].plain, request);
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_TRUE(logs().has("presetNS: returning 198.18.0.10 (16030)\n")) << logs().dump();
}

TEST_F(Exchange, RefusedMasterIsFollowedByABroadcast) {
    // Nothing listens at the configured master; the master that answers the
    // broadcast takes requests at its own address, which is remembered.
    configure("nsm-master.16031");
    const NsAddr own = inetAddr(kBackup1Addr, 16032);
    Peer peer;
    peer.udp("0.0.0.0", 16031, answerFrom(kBackup1Addr, 16031, masterReply(&own)));
    peer.tcp(kBackup1Addr, 16032, always(record(NS_OK)));
    peer.start();
    const int fds = openFdCount();

    ns::RecordBuilder b(NS_LOOKUP);
    b.name("\\\\x\\y");
    NsMessage reply{};
    EXPECT_EQ(UspMapIO(&b.message(), b.length(), &reply), NS_OK);
    EXPECT_TRUE(logs().has("UspMapIO: nl_connect(198.18.0.10 (16031)) failed (errno 111)\n"))
        << logs().dump();
    // The next exchange goes to the remembered master without asking.
    EXPECT_EQ(UspMapIO(&b.message(), b.length(), &reply), NS_OK);

    EXPECT_EQ(peer.order(), "utt");
    EXPECT_EQ(peer.datagrams(), std::vector<Bytes>{record(NS_FINDMASTER)});
    EXPECT_EQ(peer.requests(), std::vector<Bytes>(2, plainOf(b)));
    EXPECT_EQ(openFdCount(), fds);
}

// A master whose accept queue is full never completes the connect: the
// 5-second timer cuts it, and the second attempt broadcasts.
TEST_F(Exchange, ConnectThatHangsIsCutAfterFiveSeconds) {
    configure("nsm-master.16037");
    const HangingListener full = hangingListener(kMasterAddr, 16037);
    const NsAddr own = inetAddr(kBackup1Addr, 16038);
    Peer peer;
    peer.udp("0.0.0.0", 16037, answerFrom(kBackup1Addr, 16037, masterReply(&own)));
    peer.tcp(kBackup1Addr, 16038, always(record(NS_OK)));
    peer.start();
    const int fds = openFdCount();
    const auto start = std::chrono::steady_clock::now();
    NsMessage reply{};
    EXPECT_EQ(UspMapIO(req(), 16, &reply), NS_OK);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(4900));
    EXPECT_LT(took, std::chrono::milliseconds(7000));

    struct sigaction now {};
    sigaction(SIGALRM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    EXPECT_EQ(alarm(0), 0u) << "no alarm left armed";
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_EQ(peer.order(), "ut");
    EXPECT_TRUE(logs().has("ReplyTimeout (signal 14)\n")) << logs().dump();
    EXPECT_TRUE(logs().has("UspMapIO: nl_connect(198.18.0.10 (16037)) failed (errno 4)\n"));
}

TEST_F(Exchange, MasterClosingWithoutReplyIsRetriedByBroadcast) {
    configure("nsm-master.16033");
    Peer peer;
    // No address item: the master is reached at the datagram's source.
    peer.udp("0.0.0.0", 16033, answerFrom(kMasterAddr, 16033, masterReply()));
    peer.tcp(kMasterAddr, 16033, inTurn({hangUp(), reply(record(NS_OK))}));
    peer.start();
    const int fds = openFdCount();

    NsMessage reply{};
    EXPECT_EQ(UspMapIO(req(), 16, &reply), NS_OK);

    EXPECT_EQ(peer.order(), "tut");
    EXPECT_EQ(peer.requests(), std::vector<Bytes>(2, request));
    EXPECT_TRUE(logs().has("findNS: NSM master default address 198.18.0.10 (16033)\n"))
        << logs().dump();
    EXPECT_FALSE(logs().mentions("UspMapIO:"));
    EXPECT_EQ(openFdCount(), fds);
}

TEST_F(Exchange, AFailedExchangeMakesTheNextStartWithABroadcast) {
    configure("nsm-master.16034");
    Peer peer;
    peer.udp("0.0.0.0", 16034, answerFrom(kMasterAddr, 16034, masterReply()));
    // First call: a frame too short to hold a type, then (after the
    // broadcast) a connection closed without reply.
    peer.tcp(kMasterAddr, 16034,
             inTurn({raw({0}), hangUp(), reply(record(NS_OK)), reply(record(NS_OK))}));
    peer.start();
    const int fds = openFdCount();

    NsMessage reply{};
    EXPECT_EQ(UspMapIO(req(), 16, &reply), -1);
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_EQ(peer.order(), "tut");
    // The second call starts with a broadcast, the third goes straight to
    // the master found.
    EXPECT_EQ(UspMapIO(req(), 16, &reply), NS_OK);
    EXPECT_EQ(peer.order(), "tutut");
    EXPECT_EQ(UspMapIO(req(), 16, &reply), NS_OK);
    EXPECT_EQ(peer.order(), "tututt");
    EXPECT_EQ(openFdCount(), fds);
}

TEST_F(Exchange, RequestsLongerThanAFrameCarriesAreRefused) {
    NsMessage request{};
    NsMessage reply{};
    EXPECT_EQ(UspMapIO(&request, NS_MAX_TCP_RECORD + 1, &reply), -1);
    EXPECT_EQ(UspMapIO(&request, -1, &reply), -1);
    EXPECT_EQ(UspSend(&request, NS_MAX_TCP_RECORD + 1, 1), -1);
    EXPECT_TRUE(logs().has("UspMapIO: request length 232 out of range\n")) << logs().dump();
    EXPECT_FALSE(logs().mentions("findNS"));
}

TEST_F(Exchange, SendAndReceiveSplitTheExchange) {
    configure("nsm-master.16035");
    // The second request gets no reply.
    Peer peer(inTurn({reply(record(NS_OK, "x"))}), kMasterAddr, 16035);
    const int fds = openFdCount();
    const Bytes lookup = record(NS_LOOKUP);
    const auto *req = reinterpret_cast<const NsMessage *>(lookup.data());

    int fd = UspSend(req, 16, 0);
    ASSERT_GE(fd, 0);
    // The connect's time limit stays with the connect, not with the socket.
    timeval sendLimit{1, 1};
    socklen_t limitLen = sizeof sendLimit;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, &limitLen), 0);
    EXPECT_EQ(sendLimit.tv_sec + sendLimit.tv_usec, 0);
    NsMessage reply;
    std::memset(&reply, 0xAB, sizeof reply);
    EXPECT_EQ(UspReceive(fd, &reply), NS_OK);
    expectReceivedThenZeros(reply, record(NS_OK, "x"));
    EXPECT_EQ(openFdCount(), fds);

    fd = UspSend(req, 16, 0);
    ASSERT_GE(fd, 0);
    std::memset(&reply, 0xAB, sizeof reply);
    EXPECT_EQ(UspReceive(fd, &reply), -1);
    EXPECT_EQ(reply.type, 0xAB) << "no reply: the record is untouched";
    EXPECT_EQ(openFdCount(), fds) << "closed on failure too";

    EXPECT_EQ(peer.requests(), std::vector<Bytes>(2, lookup));
}

// The one slow case: nobody answers, so a discovery runs both phases (5 and
// 10 seconds).  UspSend with bcast set makes exactly one discovery.
TEST_F(Exchange, SendByBroadcastWithNoMasterMakesOneFullDiscovery) {
    configure("nsm-master.16036");  // never consulted
    Peer peer;
    peer.udp("0.0.0.0", 16036);
    peer.start();
    const int fds = openFdCount();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(UspSend(req(), 16, 1), -1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(14500));
    EXPECT_LT(took, std::chrono::milliseconds(17000));
    EXPECT_EQ(openFdCount(), fds);

    EXPECT_EQ(peer.datagrams(), (std::vector<Bytes>{record(NS_FINDMASTER), record(NS_FINDANY)}));
    EXPECT_EQ(logs().count("BcastTimeout (signal 14)\n"), 2) << logs().dump();
    EXPECT_EQ(logs().count("findNS: no NSM (errno 4)\n"), 2);
    EXPECT_FALSE(logs().has("presetNS: calling GetInetAddr(nsm-master)\n"));
}
