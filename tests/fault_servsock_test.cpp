// Service sockets when system calls fail: the log line, -1, and only the
// sockets the call created are closed.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>

#include "support/faults.hpp"
#include "support/peer.hpp"
#include "support/sockets.h"

using namespace nstest;

static testing::Environment *const kLogEnv =
    testing::AddGlobalTestEnvironment(new ClientEnvironment);

namespace {

namespace f = nstest::faults;

class ServiceSocketFault : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        initialiseLocalAddr(nullptr, nullptr);
        serve(always(record(NS_OK)));
    }
};

TEST_F(ServiceSocketFault, ServerSocketFailuresCloseOnlyWhatTheyCreated) {
    ns::UniqueFd own(socket(AF_INET, SOCK_STREAM, 0));
    fds_ = openFdCount();
    f::Guard guard;

    f::failNth(f::Call::Socket, 1, EMFILE);
    EXPECT_EQ(createServerSocket(nullptr, "s", -1, nullptr, nullptr, 1, 1, nullptr), -1);
    f::failNth(f::Call::Socket, 1, EMFILE);
    EXPECT_EQ(createAuthServerSocket(nullptr, "s", nullptr, nullptr), -1);

    f::failAll(f::Call::Bind, EADDRINUSE);
    EXPECT_EQ(createServerSocket(nullptr, "s", -1, nullptr, nullptr, 1, 1, nullptr), -1);
    EXPECT_EQ(f::calls(f::Call::Bind), 32767 - 1025 + 1);  // 32767 is tried too
    EXPECT_EQ(createAuthServerSocket(nullptr, "s", nullptr, nullptr), -1);
    f::reset();

    f::failNth(f::Call::Listen, 1, EOPNOTSUPP);
    EXPECT_EQ(createServerSocket(nullptr, "s", own.get(), nullptr, nullptr, 1, 1, nullptr), -1);
    EXPECT_NE(fcntl(own.get(), F_GETFD), -1);  // the caller's socket stays open
    f::failNth(f::Call::Listen, 1, EOPNOTSUPP);
    EXPECT_EQ(createAuthServerSocket(nullptr, "s", nullptr, nullptr), -1);
    f::reset();

    EXPECT_TRUE(nsm_->requests().empty());  // nothing was registered
    EXPECT_EQ(openFdCount(), fds_);
    for (const char *line :
         {"createServerSocket: socket() failed, errno 24\n",
          "createAuthServerSocket: socket failed, errno 24\n",
          "createServerSocket: bind failed (errno 98)\n",
          "createAuthServerSocket: bind failed, errno 98\n",
          "createServerSocket: listen() failed, errno 95\n",
          "createAuthServerSocket: listen failed, errno 95\n"})
        EXPECT_TRUE(logs().has(line)) << line << logs().dump();
}

TEST_F(ServiceSocketFault, ClientSocketFailureEndsTheAttemptOnly) {
    ns::UniqueFd server = tcpSocket("198.18.0.13", 4010, 1);
    serve(always(lookupReply(inetAddr("198.18.0.13", 4010))));
    f::Guard guard;
    // The first socket is the lookup's exchange, the second the client's.
    f::failNth(f::Call::Socket, 2, EMFILE);
    ns::UniqueFd fd(createClientSocket("h", "s", -1, nullptr, nullptr));
    f::reset();
    EXPECT_TRUE(fd.valid());
    EXPECT_TRUE(logs().has("createClientSocket: socket errno 24\n")) << logs().dump();
    const auto requests = nsm_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1][3], NS_LOOKUP_FORWARD);
}

// The window's alarm goes off after the loop tested it but before connect
// began, and the peer's full accept queue leaves the connect hanging: the
// connect still ends, a second after the window, and the attempt with it.
TEST_F(ServiceSocketFault, AlarmBeforeTheConnectBeganStillEndsTheWindow) {
    const HangingListener full = hangingListener("198.18.0.13", 4011);
    // The first lookup finds the peer; the forward lookup is refused.
    serve([](const Bytes &request, int) {
        return reply(request[ns::kOption] == 0 ? lookupReply(inetAddr("198.18.0.13", 4011))
                                               : record(NS_OK + 1));
    });
    f::Guard guard;
    // The first connect is the lookup's exchange, the second the client's.
    f::beforeNth(f::Call::Connect, 2, f::alarmRunsOut);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(createClientSocket("h", "s", -1, nullptr, nullptr), -1);
    const auto took = std::chrono::steady_clock::now() - start;
    f::reset();
    EXPECT_GE(took, std::chrono::seconds(10));
    EXPECT_LT(took, std::chrono::seconds(14));
    EXPECT_TRUE(logs().has("AlarmHandler: got signal 14\n")) << logs().dump();
    EXPECT_TRUE(logs().has("createClientSocket: connect(198.18.0.13 (4011)) timeout, errno 115\n"));
    EXPECT_TRUE(logs().has("createClientSocket: lookup(\\\\h\\s) failed\n"));
    expectNoLeak();
    EXPECT_EQ(alarm(0), 0u) << "no alarm left armed";
}

}  // namespace
