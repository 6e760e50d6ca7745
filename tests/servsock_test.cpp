// Service sockets: service-name syntax, the local identity, registered
// listening sockets and connections to named services, against a
// scripted name server.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "support/peer.hpp"
#include "support/sockets.h"

using namespace nstest;

static testing::Environment *const kLogEnv =
    testing::AddGlobalTestEnvironment(new ClientEnvironment);

namespace {

// ---- parseSockName ----------------------------------------------------------

struct Parsed {
    int result;
    std::string host, svc;
};

Parsed parse(const char *name, int hostSize = 64, int svcSize = 64) {
    char host[64], svc[64];
    std::strcpy(host, "untouched");
    std::strcpy(svc, "untouched");
    const int r = parseSockName(name, host, hostSize, svc, svcSize);
    return {r, host, svc};
}

TEST(ParseSockName, SplitsAndLowerCasesOnlyTheHost) {
    Parsed p = parse("\\\\Alpha\\Svc");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.host, "alpha");
    EXPECT_EQ(p.svc, "Svc");
    // Empty host and empty service are both names.
    p = parse("\\\\\\svc");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.host, "");
    EXPECT_EQ(p.svc, "svc");
    p = parse("\\\\HOST\\");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.host, "host");
    EXPECT_EQ(p.svc, "");
}

TEST(ParseSockName, RejectsWhatIsNotOneServiceName) {
    for (const char *bad : {"\\host\\svc", "host\\svc", "\\\\host", "\\\\host\\svc\\more",
                            "\\\\a\\b\\", "", "\\"}) {
        SCOPED_TRACE(bad);
        const Parsed p = parse(bad);
        EXPECT_EQ(p.result, -1);
    }
    // Without the two leading backslashes the buffers stay as they were.
    const Parsed p = parse("\\host\\svc");
    EXPECT_EQ(p.host, "untouched");
    EXPECT_EQ(p.svc, "untouched");
    char buf[8];
    EXPECT_EQ(parseSockName(nullptr, buf, 8, buf, 8), -1);
    EXPECT_EQ(parseSockName("\\\\a\\b", nullptr, 8, buf, 8), -1);
    EXPECT_EQ(parseSockName("\\\\a\\b", buf, 8, nullptr, 8), -1);
}

TEST(ParseSockName, PartsMustFitTheirBuffers) {
    // Host size 6 holds five characters, not six; the same for the service.
    EXPECT_EQ(parse("\\\\abcde\\s", 6, 64).result, 0);
    EXPECT_EQ(parse("\\\\abcdef\\s", 6, 64).result, -1);
    EXPECT_EQ(parse("\\\\h\\abcde", 64, 6).result, 0);
    const Parsed p = parse("\\\\h\\abcdef", 64, 6);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.host, "h");  // the host was already filled
    // A buffer of size 0 holds nothing at all and is never written.
    EXPECT_EQ(parse("\\\\\\", 0, 64).result, -1);
    EXPECT_EQ(parse("\\\\\\", 64, 0).result, -1);
    EXPECT_EQ(parse("\\\\h\\s", 0, 64).host, "untouched");
}

// ---- against a scripted name server -----------------------------------------

class ServiceSocketTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        initialiseLocalAddr(nullptr, nullptr);
    }
};

TEST_F(ServiceSocketTest, LocalIdentityIsTheSandboxHost) {
    char name[128];
    NsAddr addr;
    ASSERT_EQ(initialiseLocalAddr(name, &addr), 0);
    EXPECT_STREQ(name, kHostName);
    EXPECT_EQ(addr.sin_family, AF_INET);
    EXPECT_STREQ(inet_ntoa(addr.sin_addr), kHostAddr);
}

TEST_F(ServiceSocketTest, ServerSocketBindsTheThirdPortAndRegistersIt) {
    ns::UniqueFd p1 = tcpSocket("0.0.0.0", 1025, -1), p2 = tcpSocket("0.0.0.0", 1026, -1);
    serve(always(record(NS_OK)));
    NsAddr addr{};
    int len = 0;
    const char level = 3;
    const int fd = createServerSocket(nullptr, "svc", -1, &addr, &len, 1, 7, &level);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(len, 16);
    EXPECT_EQ(ntohs(addr.sin_port), 1027);
    EXPECT_STREQ(inet_ntoa(addr.sin_addr), kHostAddr);

    const Bytes r = nsm_->requests().at(0);
    EXPECT_EQ(r[0], NS_REGISTER);
    EXPECT_EQ(r[3], 7);
    EXPECT_EQ(r[7], '3');
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&r[17]), r[16]), "\\\\nstest\\svc");
    EXPECT_EQ(r[10], 0);  // no text
    NsAddr reg{};
    EXPECT_EQ(ns::RecordView(r).addressItem(&reg), 16);
    EXPECT_EQ(std::memcmp(&reg, &addr, sizeof addr), 0);

    // Unregistering closes the socket and removes the name; a second call
    // finds nothing and must not close whatever now has that number.
    EXPECT_EQ(UnregisterServerSocket(), 0);
    const Bytes u = nsm_->requests().at(1);
    EXPECT_EQ(u[0], NS_UNREGISTER);
    EXPECT_EQ(u[3], 0);
    ns::UniqueFd reuse(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(reuse.get(), fd);
    EXPECT_EQ(UnregisterServerSocket(), 0);
    EXPECT_NE(fcntl(reuse.get(), F_GETFD), -1);
    reuse.reset();
    EXPECT_EQ(nsm_->requests().size(), 2u);
    expectNoLeak();
}

TEST_F(ServiceSocketTest, CallersSocketStaysOpenWhenRegistrationIsRefused) {
    serve(always(record(33)));
    ns::UniqueFd own(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(createServerSocket("Host", "svc", own.get(), nullptr, nullptr, 0, 1, nullptr), -1);
    EXPECT_NE(fcntl(own.get(), F_GETFD), -1);
    const Bytes r = nsm_->requests().at(0);
    EXPECT_EQ(r[7], '0');  // no level given
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&r[17]), r[16]), "\\\\Host\\svc");
    EXPECT_TRUE(logs().mentions("createServerSocket: usptcp_RegisterUspName(\\\\Host\\svc) failed"))
        << logs().dump();
    // Nothing stays registered, so there is nothing to remove.
    EXPECT_EQ(UnregisterServerSocket(), 0);
    own.reset();
    expectNoLeak();
}

TEST_F(ServiceSocketTest, AuthServerSocketRegistersTypeTwoWithThePid) {
    serve(always(record(NS_OK)));
    NsAddr addr{};
    int len = 0;
    ns::UniqueFd fd(createAuthServerSocket("h", "auth", &addr, &len));
    ASSERT_TRUE(fd.valid());
    EXPECT_EQ(len, 16);
    const Bytes r = nsm_->requests().at(0);
    EXPECT_EQ(r[3], 2);
    EXPECT_EQ(r[7], '0');
    ASSERT_NE(r[10], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&r[r[10] + 1]), r[r[10]]),
              std::to_string(getpid()));
    // It listens at once.
    ns::UniqueFd peer(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(connect(peer.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    // Its socket is the caller's alone: unregistering removes the name only.
    EXPECT_EQ(UnregisterServerSocket(), 0);
    EXPECT_NE(fcntl(fd.get(), F_GETFD), -1);
    EXPECT_EQ(nsm_->requests().at(1)[0], NS_UNREGISTER);
}

TEST_F(ServiceSocketTest, NamesThatDoNotFitAreRefusedBeforeAnythingIsSent) {
    serve(always(record(NS_OK)));
    const std::string host(200, 'h'), svc(53, 's');  // 2 + 200 + 1 + 53 = 256
    errno = 0;
    EXPECT_EQ(createServerSocket(host.c_str(), svc.c_str(), -1, nullptr, nullptr, 1, 1, nullptr), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    errno = 0;
    EXPECT_EQ(createAuthServerSocket(host.c_str(), svc.c_str(), nullptr, nullptr), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    errno = 0;
    EXPECT_EQ(createClientSocket(host.c_str(), svc.c_str(), -1, nullptr, nullptr), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_TRUE(nsm_->requests().empty());
    expectNoLeak();
}

TEST_F(ServiceSocketTest, ClientConnectsAtOnceAfterOneLookup) {
    const sockaddr_in target = inetAddr("198.18.0.13", 4000);
    ns::UniqueFd server = tcpSocket("198.18.0.13", 4000, 1);
    serve(always(lookupReply(target)));

    NsAddr peer{};
    char auth[NS_AUTH_SIZE] = "";
    ns::UniqueFd fd(createClientSocket("Other", "svc", -1, &peer, auth));
    ASSERT_TRUE(fd.valid());
    // The connect's time limit stays with the connect, not with the socket.
    timeval sendLimit{1, 1};
    socklen_t limitLen = sizeof sendLimit;
    ASSERT_EQ(getsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &sendLimit, &limitLen), 0);
    EXPECT_EQ(sendLimit.tv_sec + sendLimit.tv_usec, 0);
    EXPECT_EQ(std::memcmp(&peer, &target, sizeof peer), 0);
    EXPECT_EQ(std::string(auth), "secret\x1a\\\\x\\y");
    const auto requests = nsm_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0][0], NS_LOOKUP);
    EXPECT_EQ(requests[0][3], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&requests[0][17]), requests[0][16]),
              "\\\\Other\\svc");
    fd.reset();
    expectNoLeak();
}

TEST_F(ServiceSocketTest, ClientConnectsTheCallersSocketAndLeavesItsSendLimit) {
    const sockaddr_in target = inetAddr("198.18.0.13", 4002);
    ns::UniqueFd server = tcpSocket("198.18.0.13", 4002, 1);
    serve(always(lookupReply(target)));
    ns::UniqueFd own(socket(AF_INET, SOCK_STREAM, 0));
    const timeval limit{3, 0};
    ASSERT_EQ(setsockopt(own.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit), 0);
    EXPECT_EQ(createClientSocket("h", "svc", own.get(), nullptr, nullptr), own.get());
    timeval now{};
    socklen_t len = sizeof now;
    ASSERT_EQ(getsockopt(own.get(), SOL_SOCKET, SO_SNDTIMEO, &now, &len), 0);
    EXPECT_EQ(now.tv_sec, 3);
    EXPECT_EQ(now.tv_usec, 0);
}

TEST_F(ServiceSocketTest, ClientTreatsALookupWithoutAddressAsFailed) {
    serve(always(record(NS_OK)));  // no address item
    NsAddr peer;
    std::memset(&peer, 0x5a, sizeof peer);
    EXPECT_EQ(createClientSocket(nullptr, "svc", -1, &peer, nullptr), -1);
    EXPECT_EQ(nsm_->requests().size(), 1u);  // no forward lookup follows
    EXPECT_EQ(reinterpret_cast<unsigned char *>(&peer)[0], 0x5a);
    EXPECT_TRUE(logs().has("createClientSocket: lookup(\\\\nstest\\svc) failed\n")) << logs().dump();
    expectNoLeak();
}

TEST_F(ServiceSocketTest, ClientGivesUpAfterTwoTenSecondWindows) {
    // Registered, but nothing listens there: every connect is refused.
    serve(always(lookupReply(inetAddr("198.18.0.13", 4001))));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(createClientSocket("h", "svc", -1, nullptr, nullptr), -1);
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_GE(spent, std::chrono::seconds(19));
    EXPECT_LT(spent, std::chrono::seconds(24));
    expectNoLeak();
    const auto requests = nsm_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0][3], 0);
    EXPECT_EQ(requests[1][3], NS_LOOKUP_FORWARD);
    EXPECT_TRUE(logs().has("createClientSocket: connect(198.18.0.13 (4001)) errno " +
                           std::to_string(ECONNREFUSED) + "\n"))
        << logs().dump();
    EXPECT_TRUE(logs().has("AlarmHandler: got signal " + std::to_string(SIGALRM) + "\n"));
    EXPECT_TRUE(logs().mentions("createClientSocket: connect(198.18.0.13 (4001)) timeout, errno "));
}

}  // namespace
