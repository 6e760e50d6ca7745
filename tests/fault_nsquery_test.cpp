// nsquery's own failure paths, with the system calls failing on demand.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "commands.hpp"
#include "support/faults.hpp"
#include "support/testutil.hpp"

namespace f = nstest::faults;

namespace {

// A census that gets no socket has counted no backups: the check cannot
// judge the service and says UNKNOWN, not "0 backups" under an OK.
TEST(NsQueryCheckFailure, NoSocketForTheCensusIsUnknown) {
    nstest::ScopedConfig config("TALVEN_NAMESVC=nsm-master.16024\n");
    nsquery::Command cmd;
    cmd.verb = "check";
    f::Guard faults;
    f::failAll(f::Call::Socket, EMFILE);
    testing::internal::CaptureStdout();
    EXPECT_EQ(nsquery::check(cmd), 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "NSNAME UNKNOWN - no socket for the census\n");
}

}  // namespace
