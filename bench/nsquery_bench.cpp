// nsquery's batch lookups: 10,000 names through one `nsquery lookup -`
// against the stand-in name server, beside the same 10,000 lookups made
// in-process with the library's own send-only lookup, alternating, so both
// see the same machine.  Reports names per second of each and their ratio:
// how much of the batch's cost is the exchanges themselves.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/standin.hpp"
#include "rsockmap/rsockmap.h"
#include "support/env.h"

namespace {

constexpr int kNames = 10000;
constexpr int kRegistered = 1000;

std::string serviceName(int i) { return "\\\\nstest\\svc" + std::to_string(i % kRegistered); }

std::string preload() {
    std::string lines;
    for (int i = 0; i < kRegistered; ++i)
        lines += "service " + serviceName(i) + " 198.18.0.12 " + std::to_string(5000 + i) + " 1 0 text\n";
    return lines;
}

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The names in-process, one send-only lookup each; -1 when one failed.
double inProcess() {
    const auto start = Clock::now();
    for (int i = 0; i < kNames; ++i) {
        const int fd = submitUspLookup(serviceName(i).c_str(), 0);
        NsMessage reply{};
        if (fd < 0 || UspReceive(fd, &reply) != NS_OK) return -1;
    }
    return secondsSince(start);
}

// One nsquery reading the names from `input`, its output thrown away; -1
// when it could not be run or a name did not resolve.
double batch(const std::string &input) {
    const std::string tool = nstest::binPath("nsquery");
    char *args[] = {const_cast<char *>(tool.c_str()), const_cast<char *>("--timeout"),
                    const_cast<char *>("120"), const_cast<char *>("lookup"), const_cast<char *>("-"),
                    nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid;
    int status = 0;
    const bool ok = posix_spawn(&pid, args[0], &actions, nullptr, args, environ) == 0 &&
                    waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const double secs = secondsSince(start);
    posix_spawn_file_actions_destroy(&actions);
    return ok ? secs : -1;
}

void BM_BatchLookup10k(benchmark::State &state) {
    bench::StandInNsmd master(preload(), "TALVEN_NAMESVC=nsm-master.16024\n");
    if (!master.ready()) return state.SkipWithError("nsmd did not start");
    rbgetenv();
    const std::string input = std::string(std::getenv("HOME")) + "/names";
    std::string names;
    for (int i = 0; i < kNames; ++i) names += serviceName(i) + "\n";
    nstest::writeFile(input, names);

    double batchSecs = 0, inProcessSecs = 0;
    for (auto _ : state) {
        const double own = inProcess();
        const double tool = batch(input);
        if (own < 0 || tool < 0) return state.SkipWithError("a lookup failed");
        inProcessSecs += own;
        batchSecs += tool;
        state.SetIterationTime(tool);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["batch_names_per_s"] = kNames * runs / batchSecs;
    state.counters["inprocess_names_per_s"] = kNames * runs / inProcessSecs;
    state.counters["batch_vs_inprocess"] = batchSecs / inProcessSecs;
}

// Bounded: three rounds of 10,000 exchanges each way (the program runs
// inside the sandbox).
const bool registered = benchmark::RegisterBenchmark("BM_BatchLookup10k", BM_BatchLookup10k)
                                ->Iterations(3)
                                ->UseManualTime()
                                ->Unit(benchmark::kMillisecond) != nullptr;

}  // namespace
