// nspeer.hpp - scripted name servers and log capture for the client's tests.
//
// A Peer is a forked child that runs a script against sockets the test made
// before the fork (so they are bound before the client sends anything).  It
// speaks the protocol with the library's own cipher and reports what it
// received back to the test through a pipe.  Being a separate process, it
// neither shares the cipher's process-wide buffers nor sees the client's
// alarms.
//
// LogTap collects the client's log lines: the test environment points the
// configuration at a directory with a FIFO "rblpipe" that the test holds
// open for reading, with both failure and trace levels enabled.
#ifndef TESTS_NSPEER_HPP
#define TESTS_NSPEER_HPP

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "rsockmap/exchange_internal.hpp"
#include "rsockmap/location_internal.hpp"
#include "rsockmap/record.hpp"
#include "rsockmap/rsockmap.h"
#include "support/debug.h"
#include "support/env.h"
#include "support/testutil.hpp"

namespace nspeer {

using Bytes = std::vector<std::uint8_t>;

using nstest::inetAddr;

inline std::string shown(const NsAddr &a) { return printaddr(&a); }

inline Bytes addrBytes(const NsAddr &a) {
    const auto *p = reinterpret_cast<const std::uint8_t *>(&a);
    return Bytes(p, p + sizeof a);
}

// The record a builder made, as the bytes that travel.
inline Bytes plainOf(const ns::RecordBuilder &b) {
    const auto *p = reinterpret_cast<const std::uint8_t *>(&b.message());
    return Bytes(p, p + b.length());
}

inline Bytes encipher(const Bytes &plain) {
    Bytes out(plain.size() + NS_SALT_SIZE);
    NsCrypt(out.data(), plain.data(), static_cast<int>(plain.size()));
    return out;
}

inline Bytes decipher(Bytes cipher) {
    if (cipher.size() < NS_SALT_SIZE) cipher.resize(NS_SALT_SIZE);
    Bytes out(cipher.size());
    const int n = NsDecrypt(out.data(), cipher.data(), static_cast<int>(cipher.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

// One TCP frame: the length byte, then the ciphertext.
inline Bytes frameOf(const Bytes &plain) {
    Bytes cipher = encipher(plain);
    Bytes out(cipher.size() + 1);
    out[0] = static_cast<std::uint8_t>(cipher.size());
    std::memcpy(out.data() + 1, cipher.data(), cipher.size());
    return out;
}

// ---- sockets, made by the test before the peer starts ----

// A socket of `type` bound to ip:port, sharing the port with others (the
// UDP one bound to 0.0.0.0 receives the broadcasts, the ones bound to an
// NSM's address send its replies).
inline int boundSocket(int type, const char *ip, std::uint16_t port) {
    int fd = socket(AF_INET, type, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    NsAddr a = inetAddr(ip, port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && listen(fd, 8) != 0)) {
        ADD_FAILURE() << "cannot bind " << ip << ":" << port << ": " << std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

inline int tcpListener(const char *ip, std::uint16_t port) {
    return boundSocket(SOCK_STREAM, ip, port);
}

inline int udpSocket(const char *ip, std::uint16_t port) {
    return boundSocket(SOCK_DGRAM, ip, port);
}

// ---- what a peer's script does ----

inline bool waitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

struct Datagram {
    Bytes plain;
    NsAddr source{};
};

inline std::optional<Datagram> recvDatagram(int fd, int timeoutMs) {
    if (!waitReadable(fd, timeoutMs)) return std::nullopt;
    Bytes buf(NS_MSG_SIZE);
    Datagram d;
    socklen_t len = sizeof d.source;
    const ssize_t got = recvfrom(fd, buf.data(), buf.size(), 0,
                                 reinterpret_cast<sockaddr *>(&d.source), &len);
    if (got < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(got));
    d.plain = decipher(buf);
    return d;
}

inline void sendRaw(int fd, const NsAddr &to, const Bytes &bytes) {
    (void)sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                 sizeof to);
}

inline void sendDatagram(int fd, const NsAddr &to, const Bytes &plain) {
    sendRaw(fd, to, encipher(plain));
}

inline int acceptOne(int listener, int timeoutMs) {
    if (!waitReadable(listener, timeoutMs)) return -1;
    return accept(listener, nullptr, nullptr);
}

inline bool readFull(int fd, std::uint8_t *buf, std::size_t n, int timeoutMs) {
    std::size_t have = 0;
    while (have < n) {
        if (!waitReadable(fd, timeoutMs)) return false;
        const ssize_t got = read(fd, buf + have, n - have);
        if (got <= 0) return false;
        have += static_cast<std::size_t>(got);
    }
    return true;
}

// Reads one request frame and deciphers it; the raw frame length in *frameLen.
inline std::optional<Bytes> readRequest(int fd, int timeoutMs = 5000, int *frameLen = nullptr) {
    std::uint8_t len = 0;
    if (!readFull(fd, &len, 1, timeoutMs)) return std::nullopt;
    Bytes cipher(len);
    if (!readFull(fd, cipher.data(), len, timeoutMs)) return std::nullopt;
    if (frameLen) *frameLen = len;
    return decipher(cipher);
}

inline void writeAll(int fd, const Bytes &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (put <= 0) return;
        done += static_cast<std::size_t>(put);
    }
}

// A forked child running a script.  The sockets handed in are the child's
// from then on: the test's copies are closed at once.
class Peer {
public:
    struct Event {
        std::string tag;
        Bytes data;
    };
    using Script = std::function<void(Peer &)>;

    Peer(std::vector<int> fds, Script script) {
        int p[2];
        if (pipe(p) != 0) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
            close(p[0]);
            out_ = p[1];
            script(*this);
            _exit(0);
        }
        close(p[1]);
        in_ = p[0];
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    ~Peer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (in_ >= 0) close(in_);
    }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // Child side: tells the test something.
    void report(const std::string &tag, const Bytes &data = {}) {
        const std::uint32_t sizes[2] = {static_cast<std::uint32_t>(tag.size()),
                                        static_cast<std::uint32_t>(data.size())};
        Bytes msg(reinterpret_cast<const std::uint8_t *>(sizes),
                  reinterpret_cast<const std::uint8_t *>(sizes) + sizeof sizes);
        msg.insert(msg.end(), tag.begin(), tag.end());
        msg.insert(msg.end(), data.begin(), data.end());
        (void)!write(out_, msg.data(), msg.size());
    }

    // Test side: waits for the script to end and returns its reports.
    std::vector<Event> finish(int timeoutMs = 20000) {
        Bytes all;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || !waitReadable(in_, static_cast<int>(left))) {
                ADD_FAILURE() << "scripted peer did not finish";
                break;
            }
            std::uint8_t buf[4096];
            const ssize_t got = read(in_, buf, sizeof buf);
            if (got <= 0) break;
            all.insert(all.end(), buf, buf + got);
        }
        std::vector<Event> events;
        std::size_t at = 0;
        while (at + 8 <= all.size()) {
            std::uint32_t sizes[2];
            std::memcpy(sizes, all.data() + at, sizeof sizes);
            at += 8;
            if (at + sizes[0] + sizes[1] > all.size()) break;
            Event e;
            e.tag.assign(reinterpret_cast<const char *>(all.data() + at), sizes[0]);
            at += sizes[0];
            e.data.assign(all.begin() + static_cast<std::ptrdiff_t>(at),
                          all.begin() + static_cast<std::ptrdiff_t>(at + sizes[1]));
            at += sizes[1];
            events.push_back(std::move(e));
        }
        return events;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
};

// The reports of one tag, in order.
inline std::vector<Bytes> tagged(const std::vector<Peer::Event> &events, const std::string &tag) {
    std::vector<Bytes> out;
    for (const auto &e : events)
        if (e.tag == tag) out.push_back(e.data);
    return out;
}

// ---- common steps of a scripted name server ----

inline Bytes bareRecord(int type) { return plainOf(ns::RecordBuilder(type)); }

// Takes one connection and one request (reported as "request"), answers
// with `reply` (a plain record) and closes.  False when no request came.
inline bool serveOne(Peer &peer, int listener, const Bytes &reply, int timeoutMs = 8000) {
    const int conn = acceptOne(listener, timeoutMs);
    if (conn < 0) {
        peer.report("no-connection");
        return false;
    }
    auto request = readRequest(conn);
    if (!request) {
        peer.report("no-request");
        close(conn);
        return false;
    }
    peer.report("request", *request);
    writeAll(conn, frameOf(reply));
    close(conn);
    return true;
}

// Receives one discovery datagram on `any` (reported as "discovery") and
// answers it from `from` with `reply`.  False when none came.
inline bool answerDiscovery(Peer &peer, int any, int from, const Bytes &reply,
                            int timeoutMs = 8000) {
    auto d = recvDatagram(any, timeoutMs);
    if (!d) {
        peer.report("no-discovery");
        return false;
    }
    peer.report("discovery", d->plain);
    sendDatagram(from, d->source, reply);
    return true;
}

// An NS_MASTER reply, with the address to reach the master at or without.
inline Bytes masterReply(const NsAddr *own = nullptr) {
    ns::RecordBuilder b(NS_MASTER);
    if (own) b.address(own, sizeof *own);
    return plainOf(b);
}

// ---- log capture ----

class LogTap {
public:
    static LogTap &instance() {
        static LogTap tap;
        return tap;
    }

    // Points the configuration at a fresh directory with the log FIFO; call
    // once, before the first log line.
    void start() {
        dir_ = std::make_unique<nstest::TempDir>();
        const std::string config = dir_->file("talven.conf");
        nstest::writeFile(config, "TALVEN_TMPDIR=" + dir_->path() +
                                      "\nTALVEN_EVENTLEVEL=768\n");
        setenv("TALVEN_CONFIG", config.c_str(), 1);
        setenv("HOME", dir_->path().c_str(), 1);
        const std::string fifo = dir_->file(LOG_PIPE_NAME);
        mkfifo(fifo.c_str(), 0600);
        fd_ = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        rbgetenv();
        // The log client opens its pipe on the first line and keeps it;
        // open it now so that descriptor counts in tests stay level.
        DebugLog(NS_LOG_TRACE, "log tap ready\n");
        clear();
    }

    // The text of every line since the last clear(), without the time,
    // process and program prefix.
    std::vector<std::string> lines() {
        drain();
        return lines_;
    }
    void clear() {
        drain();
        lines_.clear();
    }
    bool has(const std::string &text) {
        for (const auto &l : lines())
            if (l == text) return true;
        return false;
    }
    int count(const std::string &text) {
        int n = 0;
        for (const auto &l : lines())
            if (l == text) ++n;
        return n;
    }
    std::string dump() {
        std::string all;
        for (const auto &l : lines()) all += "  " + l;
        return all;
    }

private:
    void drain() {
        if (fd_ < 0) return;
        std::uint8_t buf[sizeof(LogRecord) * 16];
        ssize_t got;
        while ((got = read(fd_, buf, sizeof buf)) > 0) pending_.insert(pending_.end(), buf, buf + got);
        while (pending_.size() >= sizeof(LogRecord)) {
            LogRecord rec;
            std::memcpy(&rec, pending_.data(), sizeof rec);
            pending_.erase(pending_.begin(), pending_.begin() + sizeof rec);
            rec.text[LOG_TEXT_SIZE - 1] = '\0';
            std::string line(rec.text);
            const std::string marker = std::string(ProgName) + ": ";
            const auto at = line.find(marker);
            lines_.push_back(at == std::string::npos ? line : line.substr(at + marker.size()));
        }
    }

    std::unique_ptr<nstest::TempDir> dir_;
    int fd_ = -1;
    Bytes pending_;
    std::vector<std::string> lines_;
};

class LogEnvironment : public testing::Environment {
public:
    void SetUp() override { LogTap::instance().start(); }
};

inline LogTap &logs() { return LogTap::instance(); }

// Every client test starts as in a fresh process: no remembered master, no
// pending broadcast, nothing configured, no log lines.
class ClientTest : public testing::Test {
protected:
    void SetUp() override {
        ns::resetLocationState();
        ns::resetExchangeState();
        Marlod = nullptr;
        DebugLevel = 0;
        logs().clear();
    }
    void TearDown() override { Marlod = nullptr; }

    void configure(const std::string &value) {
        configured_ = value;
        Marlod = configured_.data();
    }

private:
    std::string configured_;
};

}  // namespace nspeer

#endif
