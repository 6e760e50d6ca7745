// The main() of every benchmark program: like the test programs, a
// benchmark runs inside the network sandbox, re-executing itself there when
// started anywhere else, so the end-to-end ones can start stand-ins and
// broadcast.
#include <benchmark/benchmark.h>

#include "support/testutil.hpp"

int main(int argc, char **argv) {
    if (!nstest::insideSandbox()) return nstest::reexecInsideSandbox(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
