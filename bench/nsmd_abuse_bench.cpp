// The stand-in name server under abuse: lookup latency seen by one client
// (198.18.0.1) with and without an abusive peer (198.18.0.13) that holds
// 256 connections and 32 name lists whose return address never answers,
// and the server's memory while 32 name lists of 100,000 names go unread.
//
// Everything runs inside the network sandbox (the program re-executes itself
// there) and is bounded: a fixed number of lookups (each waits at most 3 s,
// the whole run at most kRunLimit), an abuser that stops with the benchmark
// or after kRunLimit, whichever comes first, and a fixed number of lists.
// Median and worst latency are reported as counters (microseconds), with
// the number of lookups that got no answer, and for the abused run the
// lists and connections that the server granted the abuser.
//
//   build/bin/nsmd_abuse_bench
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/standin.hpp"
#include "rsockmap/record.hpp"
#include "rsockmap/rsockmap.h"
#include "rsockmap/exchange_internal.hpp"
#include "support/unique_fd.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRunLimit = std::chrono::seconds(60);
constexpr int kLookups = 2000;
constexpr const char *kClient = "198.18.0.1";
constexpr const char *kAbuser = "198.18.0.13";

// A TCP connection from the sandbox address from to to; invalid on failure.
ns::UniqueFd connectFrom(const char *from, const sockaddr_in &to) {
    ns::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in src = nstest::inetAddr(from, 0);
    if (!fd.valid() || bind(fd.get(), reinterpret_cast<const sockaddr *>(&src), sizeof src) != 0 ||
        connect(fd.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
        fd.reset();
    return fd;
}

// A socket listening at the sandbox address ip (a port of its own, backlog
// as given); *addr receives where.  Invalid on failure.
ns::UniqueFd listenAt(const char *ip, int backlog, sockaddr_in *addr) {
    ns::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    *addr = nstest::inetAddr(ip, 0);
    socklen_t len = sizeof *addr;
    if (!fd.valid() || bind(fd.get(), reinterpret_cast<const sockaddr *>(addr), len) != 0 ||
        listen(fd.get(), backlog) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr *>(addr), &len) != 0)
        fd.reset();
    return fd;
}

// One request to the master from the address from; the reply's type, or -1.
// Each piece of the reply is waited for at most 3 s.
int request(const char *from, const ns::RecordBuilder &req) {
    const sockaddr_in master = nstest::inetAddr(nstest::kMasterAddr, NS_DEFAULT_PORT);
    const ns::UniqueFd s = connectFrom(from, master);
    if (!s.valid()) return -1;
    std::uint8_t frame[1 + NS_MSG_SIZE];
    frame[0] = static_cast<std::uint8_t>(NsCrypt(frame + 1, &req.message(), req.length()));
    if (write(s.get(), frame, 1u + frame[0]) != 1 + frame[0]) return -1;
    const auto read3s = [&](void *buf, std::size_t n) -> ssize_t {
        pollfd p{s.get(), POLLIN, 0};
        return poll(&p, 1, 3000) == 1 ? read(s.get(), buf, n) : -1;
    };
    std::uint8_t len = 0, cipher[NS_MSG_SIZE] = {}, plain[NS_MSG_SIZE] = {};
    if (ns::readExactly(read3s, &len, 1) != 1 || ns::readExactly(read3s, cipher, len) != len)
        return -1;
    return NsDecrypt(plain, cipher, len) > 0 ? plain[0] : -1;
}

ns::RecordBuilder listRequest(const sockaddr_in &to) {
    ns::RecordBuilder req(NS_NAMELIST);
    req.name("*").address(&to, sizeof to);
    return req;
}

// A listening socket that never answers: its one-place queue is taken by a
// connection of its own, so every later SYN is dropped.
struct BlackHole {
    sockaddr_in addr{};
    ns::UniqueFd lsn = listenAt(kAbuser, 0, &addr);
    ns::UniqueFd filler = connectFrom(kAbuser, addr);
};

// The abusive peer: 32 name lists to a black hole, then 256 connections
// held open; it reopens what the server closes and asks for the lists again,
// every 100 ms, until it is stopped or kRunLimit has passed.
class Abuser {
public:
    Abuser() {
        listsTaken_ = attack();
        thread_ = std::thread([this] {
            const auto end = Clock::now() + kRunLimit;
            while (!stop_ && Clock::now() < end) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                attack();
            }
        });
    }
    ~Abuser() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // Lists that the server took at the first attack.
    int listsTaken() const { return listsTaken_; }
    // Connections that the server still holds open (once stopped).
    int held() const {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // it has seen them all
        int n = 0;
        for (const auto &c : held_) {
            pollfd p{c.get(), POLLIN, 0};
            n += c.valid() && poll(&p, 1, 0) == 0;
        }
        return n;
    }

private:
    // The lists that the server took.
    int attack() {
        int taken = 0;
        for (int i = 0; i < 32 && !stop_; ++i)
            taken += request(kAbuser, listRequest(hole_.addr)) == NS_OK;
        const sockaddr_in master = nstest::inetAddr(nstest::kMasterAddr, NS_DEFAULT_PORT);
        for (auto &c : held_) {
            pollfd p{c.get(), POLLIN, 0};
            if (c.valid() && poll(&p, 1, 0) == 0) continue;  // still open
            c = connectFrom(kAbuser, master);
        }
        while (held_.size() < 256 && !stop_) held_.push_back(connectFrom(kAbuser, master));
        return taken;
    }

    BlackHole hole_;
    std::vector<ns::UniqueFd> held_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    int listsTaken_ = 0;
};

std::string preload() {
    std::string lines;
    for (int i = 0; i < 1000; ++i)
        lines += "service \\\\host" + std::to_string(i % 20) + "\\svc" + std::to_string(i) +
                 " 198.18.0.1 4000\n";
    return lines;
}

// Lookups from kClient, one connection each; latency counters as above.
void BM_LookupLatency(benchmark::State &state, bool abused) {
    const bench::StandInNsmd nsmd(preload());
    if (!nsmd.ready()) return state.SkipWithError("nsmd did not start");
    std::unique_ptr<Abuser> abuser;
    if (abused) abuser = std::make_unique<Abuser>();
    ns::RecordBuilder lookup(NS_LOOKUP);
    lookup.name("\\\\host7\\svc507");
    std::vector<double> micros;
    int failed = 0;
    const auto end = Clock::now() + kRunLimit;
    for (auto _ : state) {
        const auto start = Clock::now();
        failed += request(kClient, lookup) != NS_OK;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (Clock::now() > end) {
            state.SkipWithError("out of time");
            break;
        }
    }
    if (abuser) {
        abuser->stop();
        state.counters["abuser_lists"] = abuser->listsTaken();
        state.counters["abuser_conns"] = abuser->held();
    }
    std::sort(micros.begin(), micros.end());
    if (micros.empty()) return;
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["worst_us"] = micros.back();
    state.counters["failed"] = failed;
}
BENCHMARK_CAPTURE(BM_LookupLatency, quiet, false)->Iterations(kLookups)->UseRealTime();
BENCHMARK_CAPTURE(BM_LookupLatency, abused, true)->Iterations(kLookups)->UseRealTime();

// The server's resident memory (VmRSS), in MB; 0 when unknown.
double residentMB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

// 32 lists of 100,000 names from 8 addresses, to listeners that accept the
// connection back and never read it; memory before, while they wait, and
// once they are closed.
void BM_UnreadListMemory(benchmark::State &state) {
    std::string lines;
    for (int i = 0; i < 100000; ++i)
        lines += "service \\\\host" + std::to_string(i % 50) + "\\service" + std::to_string(i) +
                 " 198.18.0.1 4000\n";
    const bench::StandInNsmd nsmd(lines);
    if (!nsmd.ready()) return state.SkipWithError("nsmd did not start");
    const char *peers[] = {"198.18.0.11", "198.18.0.12", "198.18.0.13", "198.18.0.14",
                           "198.18.0.15", "198.18.0.16", "198.18.0.17", "198.18.0.18"};
    for (auto _ : state) {
        const double before = residentMB(nsmd.pid());
        std::vector<ns::UniqueFd> listeners, accepted;
        int asked = 0;
        for (const char *peer : peers)
            for (int i = 0; i < 4; ++i) {
                sockaddr_in a{};
                ns::UniqueFd lsn = listenAt(peer, 1, &a);
                if (!lsn.valid()) return state.SkipWithError("cannot listen for a name list");
                asked += request(peer, listRequest(a)) == NS_OK;
                listeners.push_back(std::move(lsn));
            }
        for (const auto &l : listeners) {
            pollfd p{l.get(), POLLIN, 0};
            if (poll(&p, 1, 5000) == 1) accepted.emplace_back(accept(l.get(), nullptr, nullptr));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the server fills them
        const double pending = residentMB(nsmd.pid());
        accepted.clear();
        listeners.clear();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the server closes them
        const double after = residentMB(nsmd.pid());
        state.counters["lists"] = asked;
        state.counters["rss_before_MB"] = before;
        state.counters["rss_pending_MB"] = pending;
        state.counters["rss_after_MB"] = after;
    }
}
BENCHMARK(BM_UnreadListMemory)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
