// The main() of every test program.
//
// A test program may open sockets and broadcast, so it must run inside the
// network sandbox (scripts/netsandbox).  When it is started anywhere else it
// re-executes itself through the sandbox script; listing the tests
// (--gtest_list_tests, used by test discovery at build time) opens nothing
// and runs where it is.
#include <gtest/gtest.h>

#include <cstring>

#include "support/testutil.hpp"

namespace {

bool listingOnly(int argc, char **argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    if (!listingOnly(argc, argv) && !nstest::insideSandbox())
        return nstest::reexecInsideSandbox(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
