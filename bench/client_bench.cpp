// The client's costs: decoding a lookup reply and reading a reply frame
// (in-process), and a whole lookup and a whole discovery against the
// stand-in name server (the program runs itself inside the network sandbox).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/standin.hpp"
#include "rsockmap/exchange_internal.hpp"
#include "rsockmap/record.hpp"
#include "rsockmap/registry_internal.hpp"
#include "support/env.h"

namespace {

NsAddr someAddress() {
    NsAddr a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(5000);
    a.sin_addr.s_addr = htonl(0xC612000Cu);
    return a;
}

void BM_DecodeLookupReply(benchmark::State &state) {
    const NsAddr where = someAddress();
    ns::RecordBuilder reply(NS_OK);
    reply.name("\\\\host\\service").address(&where, sizeof where).text("a-secret-text");
    const auto *p = reinterpret_cast<const std::uint8_t *>(&reply.message());
    const auto bytes = ns::ReceivedRecord::plain(
        std::span<const std::uint8_t>(p, static_cast<std::size_t>(reply.length())));
    NsAddr addr{};
    int len = 0;
    char auth[NS_AUTH_SIZE];
    for (auto _ : state) {
        benchmark::DoNotOptimize(ns::decodeLookupReply(bytes, &addr, &len, auth, sizeof auth));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DecodeLookupReply);

// The longest frame (255 bytes), delivered in one read or a byte at a time.
void BM_ReadReplyFrame(benchmark::State &state) {
    std::vector<std::uint8_t> plain(NS_MAX_TCP_RECORD, 0x31);
    plain[0] = NS_OK;
    std::vector<std::uint8_t> frame(1 + NS_SALT_SIZE + plain.size());
    frame[0] = static_cast<std::uint8_t>(
        NsCrypt(frame.data() + 1, plain.data(), static_cast<int>(plain.size())));
    const std::size_t piece = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        std::size_t at = 0;
        auto read = [&](void *buf, std::size_t n) -> ssize_t {
            const std::size_t take = std::min({n, piece, frame.size() - at});
            std::memcpy(buf, frame.data() + at, take);
            at += take;
            return static_cast<ssize_t>(take);
        };
        benchmark::DoNotOptimize(ns::receiveReply(read, false));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_ReadReplyFrame)->Arg(1)->Arg(256);

// ---- end to end, against a stand-in ---------------------------------------

// A stand-in master at 198.18.0.10 with one registration, and the
// configured master forced to it.
class StandIn : public bench::StandInNsmd {
public:
    StandIn() : StandInNsmd("service \\\\host\\svc 198.18.0.12 5000 1 0 a-secret\n") {
        rbgetenv();
        static char configured[] = "198.18.0.10.16024";
        Marlod = configured;
    }
};

// One lookup: a connection, the framed request, the reply.
void BM_LookupRoundTrip(benchmark::State &state) {
    StandIn master;
    if (!master.ready()) return state.SkipWithError("nsmd did not start");
    NsAddr addr{};
    int len = 0;
    char auth[NS_AUTH_SIZE];
    for (auto _ : state)
        if (usptcp_LookupUspName("\\\\host\\svc", &addr, &len, 4, auth) != 0)
            return state.SkipWithError("lookup failed");
}

// One discovery: a socket bound from port 1025 up, NS_FINDMASTER broadcast,
// the master's reply.
void BM_Discovery(benchmark::State &state) {
    StandIn master;
    if (!master.ready()) return state.SkipWithError("nsmd did not start");
    NsAddr found{};
    for (auto _ : state)
        if (findNS(1, &found) != 0) return state.SkipWithError("no master found");
}

// Runs a program to its end, its output thrown away; the wall time in
// microseconds, or -1 when it could not be run or failed.
double spawnMicros(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    int status = 0;
    const bool ok = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0 &&
                    waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                    WEXITSTATUS(status) == 0;
    const auto end = std::chrono::steady_clock::now();
    posix_spawn_file_actions_destroy(&actions);
    return ok ? std::chrono::duration<double, std::micro>(end - start).count() : -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// A whole `nsadmin -l` process against the stand-in beside the spawn of a
// trivial program (/bin/true), alternating, so both see the same machine.
// Reports the two medians, their difference and their ratio.
void BM_NsadminLookupProcess(benchmark::State &state) {
    StandIn master;
    if (!master.ready()) return state.SkipWithError("nsmd did not start");
    // The child reads the configuration file, so it names the master.
    const std::string conf = std::getenv("TALVEN_CONFIG");
    if (FILE *f = std::fopen(conf.c_str(), "a")) {
        std::fputs("TALVEN_NAMESVC=198.18.0.10.16024\n", f);
        std::fclose(f);
    }
    const std::vector<std::string> tool = {nstest::binPath("nsadmin"), "-l", "\\\\host\\svc"};
    const std::vector<std::string> trivial = {"/bin/true"};
    std::vector<double> toolTimes, trivialTimes;
    for (auto _ : state) {
        const double t = spawnMicros(trivial);
        const double a = spawnMicros(tool);
        if (t < 0 || a < 0) return state.SkipWithError("a program failed");
        trivialTimes.push_back(t);
        toolTimes.push_back(a);
    }
    const double mt = median(toolTimes), mv = median(trivialTimes);
    state.counters["nsadmin_us"] = mt;
    state.counters["true_us"] = mv;
    state.counters["extra_us"] = mt - mv;
    state.counters["ratio"] = mv > 0 ? mt / mv : 0;
}

// They start a stand-in and open sockets (the program runs inside the
// sandbox).  Each makes a bounded number of connections or datagrams.
const bool registered =
    benchmark::RegisterBenchmark("BM_LookupRoundTrip", BM_LookupRoundTrip)
            ->Iterations(5000)
            ->UseRealTime() != nullptr &&
    benchmark::RegisterBenchmark("BM_Discovery", BM_Discovery)->Iterations(2000)->UseRealTime() !=
        nullptr &&
    benchmark::RegisterBenchmark("BM_NsadminLookupProcess", BM_NsadminLookupProcess)
            ->Iterations(300)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond) != nullptr;

}  // namespace
