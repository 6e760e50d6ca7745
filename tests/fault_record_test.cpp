// The failure-injection harness itself: armed faults reach the library's
// calls and disarm cleanly.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/faults.hpp"
#include "support/testutil.hpp"

namespace f = nstest::faults;

TEST(FaultHarness, ArmedCallsFailOnceThenPassAgain) {
    f::Guard guard;
    f::failNth(f::Call::Socket, 2, EMFILE);
    int a = socket(AF_INET, SOCK_DGRAM, 0);
    errno = 0;
    int b = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(b, -1);
    EXPECT_EQ(errno, EMFILE);
    int c = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_GE(a, 0);
    EXPECT_GE(c, 0);
    close(a);
    close(c);
    EXPECT_EQ(f::calls(f::Call::Socket), 3);
}

TEST(FaultHarness, MallocFailureAndShortWrites) {
    f::Guard guard;
    f::failAll(f::Call::Malloc, ENOMEM);
    EXPECT_EQ(std::malloc(16), nullptr);
    f::reset();
    void *p = std::malloc(16);
    EXPECT_NE(p, nullptr);
    std::free(p);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    f::shortWrites(3);
    EXPECT_EQ(write(fds[1], "abcdef", 6), 3);
    f::reset();
    close(fds[0]);
    close(fds[1]);
}
