// The stand-in name server's costs: enciphering a long name list, answering
// a lookup, and a whole name list retrieval of 100,000 names through sockets
// (the program runs itself inside the network sandbox), read the way the
// client reads it: one read for each length byte, one for each record.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/standin.hpp"
#include "rsockmap/record.hpp"
#include "tools/nsmd/protocol.hpp"
#include "tools/nsmd/registry.hpp"

namespace {

constexpr int kNames = 100000;

// About 20 characters each: \\hostNN\svcNNNNNNNN
std::string nameOf(int i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "\\\\host%02d\\svc%08d", i % 50, i);
    return buf;
}

nsmd::Registry manyNames() {
    nsmd::Registry registry;
    for (int i = 0; i < kNames; ++i) {
        nsmd::Service s;
        s.name = nameOf(i);
        registry.registerService(s);
    }
    return registry;
}

void BM_EncodeNameList(benchmark::State &state) {
    const nsmd::Registry registry = manyNames();
    std::size_t bytes = 0;
    for (auto _ : state) {
        nsmd::ListEncoder enc(nsmd::NameCursor(registry, nsmd::ListKind::Services, ""));
        nsmd::Bytes block;
        while (enc.next(block, 64 * 1024)) {
            bytes += block.size();
            block.clear();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_EncodeNameList)->Unit(benchmark::kMillisecond);

void BM_LookupRequest(benchmark::State &state) {
    nsmd::Registry registry = manyNames();
    ns::RecordBuilder req(NS_LOOKUP);
    req.name(nameOf(kNames / 2).c_str());
    const auto *p = reinterpret_cast<const std::uint8_t *>(&req.message());
    const std::span<const std::uint8_t> bytes(p, static_cast<std::size_t>(req.length()));
    for (auto _ : state) benchmark::DoNotOptimize(nsmd::handleRequest(registry, bytes, false));
}
BENCHMARK(BM_LookupRequest);

// ---- end to end, against a stand-in ---------------------------------------

bool readFull(int fd, std::uint8_t *buf, std::size_t n) {
    for (std::size_t got = 0; got < n;) {
        const ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

// One frame deciphered into rec; its type, or -1.
int readRecord(int fd, std::uint8_t (&rec)[NS_MSG_SIZE]) {
    std::uint8_t len = 0, cipher[NS_MSG_SIZE] = {};
    if (!readFull(fd, &len, 1) || !readFull(fd, cipher, len)) return -1;
    return NsDecrypt(rec, cipher, len) > 0 ? rec[0] : -1;
}

// Fetches the whole list once; the number of names, or -1.
int retrieve() {
    int lsn = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in me = nstest::inetAddr("198.18.0.1", 0);
    socklen_t len = sizeof me;
    bind(lsn, reinterpret_cast<sockaddr *>(&me), sizeof me);
    listen(lsn, 1);
    getsockname(lsn, reinterpret_cast<sockaddr *>(&me), &len);
    ns::RecordBuilder req(NS_NAMELIST);
    req.name("*").address(&me, sizeof me);
    std::uint8_t frame[NS_MSG_SIZE];
    frame[0] = static_cast<std::uint8_t>(NsCrypt(frame + 1, &req.message(), req.length()));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in master = nstest::inetAddr("198.18.0.10", NS_DEFAULT_PORT);
    std::uint8_t rec[NS_MSG_SIZE];
    int count = -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&master), sizeof master) == 0 &&
        write(fd, frame, 1u + frame[0]) == 1 + frame[0] && readRecord(fd, rec) == NS_OK) {
        pollfd p{lsn, POLLIN, 0};
        int conn = poll(&p, 1, 5000) == 1 ? accept(lsn, nullptr, nullptr) : -1;
        if (conn >= 0 && readRecord(conn, rec) == NS_LISTHEAD) {
            count = 0;
            for (int t; (t = readRecord(conn, rec)) != NS_LISTEND; ++count)
                if (t < 0) {
                    count = -1;
                    break;
                }
        }
        if (conn >= 0) close(conn);
    }
    close(fd);
    close(lsn);
    return count;
}

void BM_NameListRetrieval(benchmark::State &state) {
    std::string preload;
    for (int i = 0; i < kNames; ++i) preload += "service " + nameOf(i) + " 198.18.0.1 4000\n";
    const bench::StandInNsmd nsmd(preload);
    if (!nsmd.ready()) return state.SkipWithError("nsmd did not start");
    for (auto _ : state)
        if (retrieve() != kNames) state.SkipWithError("incomplete list");
}

// It starts a stand-in and opens sockets (the program runs inside the sandbox).
const bool registered =
    benchmark::RegisterBenchmark("BM_NameListRetrieval", BM_NameListRetrieval)
                               ->Unit(benchmark::kMillisecond)
                               ->UseRealTime() != nullptr;

}  // namespace
