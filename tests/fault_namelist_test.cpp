// Name lists when system calls or the allocator fail: every failure is
// logged, gives -1, and leaves no descriptor and no memory behind.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>

#include "rsockmap/namelist.hpp"
#include "support/faults.hpp"
#include "support/peer.hpp"

using namespace nstest;

static testing::Environment *const kLogEnv =
    testing::AddGlobalTestEnvironment(new ClientEnvironment);

namespace {

namespace f = nstest::faults;
using NameListFault = ClientTest;

char **const kUntouched = reinterpret_cast<char **>(0x1);

TEST_F(NameListFault, NoListeningSocketLeavesTheListAlone) {
    const int fds = openFdCount();
    f::Guard guard;
    f::failNth(f::Call::Socket, 1, EMFILE);
    char **list = kUntouched;
    EXPECT_EQ(usptcp_GetNameList("x", 0, &list), -1);
    EXPECT_EQ(list, kUntouched);
    f::reset();
    EXPECT_TRUE(logs().has("usptcp_GetNameList: usptcp_CreateStreamSock failed\n")) << logs().dump();
    EXPECT_FALSE(logs().mentions("returning"));
    EXPECT_EQ(openFdCount(), fds);
}

TEST_F(NameListFault, StreamSocketTriesPorts1025To32766ThenCloses) {
    const int fds = openFdCount();
    f::Guard guard;
    f::failAll(f::Call::Bind, EADDRINUSE);
    NsAddr addr{};
    errno = 0;
    EXPECT_EQ(usptcp_CreateStreamSock(&addr), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_EQ(f::calls(f::Call::Bind), 32766 - 1025 + 1);
    f::reset();
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_TRUE(logs().has("usptcp_CreateStreamSock: bind or listen failure\n")) << logs().dump();

    f::failNth(f::Call::Listen, 1, EOPNOTSUPP);
    EXPECT_EQ(usptcp_CreateStreamSock(&addr), -1);
    f::reset();
    EXPECT_EQ(openFdCount(), fds);
}

// A failed accept is no connection; one whose connection was gone before
// it was taken (ECONNABORTED) only lets the wait go on.
TEST_F(NameListFault, FailedAcceptIsNoConnection) {
    serve(streaming({"a"}));
    f::Guard guard;
    f::failNth(f::Call::Accept, 1, EMFILE);
    char **list = kUntouched;
    EXPECT_EQ(usptcp_GetNameList("x", 0, &list), -1);
    f::reset();
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(logs().has("usptcp_GetNameList: no connection from marlod\n")) << logs().dump();
    expectNoLeak();

    serve(streaming({"a"}));
    f::failNth(f::Call::Accept, 1, ECONNABORTED);
    EXPECT_EQ(usptcp_GetNameList("x", 0, &list), 1);
    EXPECT_EQ(f::calls(f::Call::Accept), 2);
    f::reset();
    std::free(list);
    expectNoLeak();
}

TEST_F(NameListFault, GatheringBufferThatCannotGrow) {
    serve(streaming({"a", "b"}));
    f::Guard guard;
    f::failAll(f::Call::Realloc, ENOMEM);
    char **list = kUntouched;
    EXPECT_EQ(usptcp_GetNameList("x", 0, &list), -1);
    f::reset();
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(logs().mentions("malloc failure\n")) << logs().dump();
    EXPECT_TRUE(logs().has("usptcp_GetNameList: (x) returning -1 matches\n"));
    expectNoLeak();
}

TEST_F(NameListFault, ResultBlockThatCannotBeAllocatedLeavesTheListAlone) {
    ns::NameGather names;
    ASSERT_TRUE(names.append(std::span<const std::uint8_t>()));
    {
        f::Guard guard;
        f::failAll(f::Call::Malloc, ENOMEM);
        EXPECT_EQ(names.toList(), nullptr);
    }
    serve(streaming({"a", "b"}));
    f::Guard guard;
    f::failAll(f::Call::Malloc, ENOMEM);
    char **list = kUntouched;
    EXPECT_EQ(usptcp_GetNameList("x", 0, &list), -1);
    f::reset();
    EXPECT_EQ(list, kUntouched);
    EXPECT_TRUE(logs().mentions("malloc failure\n")) << logs().dump();
    expectNoLeak();
}

}  // namespace
