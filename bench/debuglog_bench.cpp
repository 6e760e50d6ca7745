// A DebugLog call that no mask passes: the price every trace pays when
// logging is off.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/debug.h"

namespace {

// The first call loads the configuration: give it a file of its own (no
// TALVEN_TMPDIR, default event mask) and an empty home.
void loadConfigurationOnce() {
    static bool done = false;
    if (done) return;
    done = true;
    char dir[] = "/tmp/debuglog_bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    std::string conf = std::string(dir) + "/talven.conf";
    if (FILE *f = std::fopen(conf.c_str(), "w")) {
        std::fprintf(f, "TALVEN_DIR=%s\n", dir);
        std::fclose(f);
    }
    setenv("TALVEN_CONFIG", conf.c_str(), 1);
    setenv("HOME", dir, 1);
    DebugLevel = 0;
    DebugLog(NS_LOG_TRACE, "warm-up");
    unlink(conf.c_str());
    rmdir(dir);
}

void BM_DebugLogFiltered(benchmark::State &state) {
    loadConfigurationOnce();
    int i = 0;
    for (auto _ : state) {
        DebugLog(NS_LOG_TRACE, "findNS: trace %d (%s)", i, "text");
        benchmark::ClobberMemory();
        ++i;
    }
}
BENCHMARK(BM_DebugLogFiltered);

}  // namespace
