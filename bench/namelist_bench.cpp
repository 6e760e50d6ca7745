// Name lists of 100,000 names of about 20 characters: the stream decoder
// alone (bytes in memory), and the whole retrieval from nsmd preloaded with
// the names.  Each reports the process's peak memory (ru_maxrss).
//
// The retrieval opens sockets, so the program re-executes itself inside the
// network sandbox, as the test programs do.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/standin.hpp"
#include "rsockmap/namelist.hpp"
#include "rsockmap/rsockmap.h"

namespace {

constexpr int kNames = 100000;

std::string nameAt(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\h%04d\\service%06d", i % 10000, i);  // 21 characters
    return name;
}

std::string frameOf(const std::uint8_t *rec, int n) {
    std::uint8_t cipher[NS_MSG_SIZE + NS_SALT_SIZE];
    const int len = NsCrypt(cipher, rec, n);
    std::string out(1, static_cast<char>(len));
    out.append(reinterpret_cast<const char *>(cipher), static_cast<std::size_t>(len));
    return out;
}

// The stream a name server sends for the names: head, names, end.
std::string listStream(int count) {
    std::uint8_t rec[NS_MSG_SIZE] = {};
    rec[0] = NS_LISTHEAD;
    std::string stream = frameOf(rec, NS_HEADER_SIZE);
    for (int i = 0; i < count; ++i) {
        const std::string name = nameAt(i);
        std::memset(rec, 0, sizeof rec);
        rec[0] = NS_OK;
        rec[8] = NS_HEADER_SIZE;
        rec[16] = static_cast<std::uint8_t>(name.size());
        std::memcpy(rec + 17, name.c_str(), name.size() + 1);
        stream += frameOf(rec, static_cast<int>(18 + name.size()));
    }
    std::memset(rec, 0, sizeof rec);
    rec[0] = NS_LISTEND;
    return stream + frameOf(rec, NS_HEADER_SIZE);
}

// The process's peak resident memory so far.
void reportPeakMemory(benchmark::State &state) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// ---- the whole retrieval from nsmd ------------------------------------------

// nsmd at nsm-master preloaded with the names, and a client configuration
// that names it.
bench::StandInNsmd preloadedNsmd(int count) {
    std::string preload;
    for (int i = 0; i < count; ++i) preload += "service " + nameAt(i) + " 198.18.0.1 4000\n";
    return bench::StandInNsmd(preload, "TALVEN_NAMESVC=nsm-master.16024\n");
}

void BM_GetNameList(benchmark::State &state) {
    const int count = static_cast<int>(state.range(0));
    const bench::StandInNsmd nsmd = preloadedNsmd(count);
    if (!nsmd.ready()) return state.SkipWithError("nsmd did not start");
    for (auto _ : state) {
        char **list = nullptr;
        const int got = usptcp_GetNameList("*", 0, &list);
        if (got != count) state.SkipWithError("incomplete list");
        benchmark::DoNotOptimize(list);
        std::free(list);  // one block, however many names
    }
    state.SetItemsProcessed(state.iterations() * count);
    reportPeakMemory(state);
}
// First, so that its peak memory is not the decoder benchmark's.
BENCHMARK(BM_GetNameList)->Arg(kNames)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- the decoder alone -------------------------------------------------------

void BM_DecodeList(benchmark::State &state) {
    const std::string stream = listStream(static_cast<int>(state.range(0)));
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(stream.data());
    for (auto _ : state) {
        ns::NameGather names;
        ns::NameListDecoder decoder(names);
        // Pieces of the size the retrieval reads from its socket.
        for (std::size_t at = 0; at < stream.size(); at += 16384)
            decoder.feed(std::span(bytes + at, std::min<std::size_t>(16384, stream.size() - at)));
        char **list = names.toList();
        benchmark::DoNotOptimize(list);
        std::free(list);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    reportPeakMemory(state);
}
BENCHMARK(BM_DecodeList)->Arg(kNames)->Unit(benchmark::kMillisecond);

}  // namespace

