// server.cpp - the stand-in name server's event loop.
#include "server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "../common/escape.hpp"
#include "support/signals.h"

namespace nsmd {

namespace {

constexpr std::size_t kMaxQueued = 64;         // datagram replies waiting for a pause
constexpr int kBurst = 64;                     // datagrams or accepts per wake-up
constexpr std::size_t kListBlock = 64 * 1024;  // enciphered list bytes made at a time
constexpr auto kListConnectTime = std::chrono::seconds(5);
// A connection back that has had no answer for this long gives up its slot
// when every slot is taken and another client asks for a list.  A client
// listens before it asks, so it answers at once; this leaves room for one
// lost SYN (retransmitted after 1 s) and a slow network.
constexpr auto kListConnectGrace = std::chrono::milliseconds(1500);

volatile sig_atomic_t stopRequested = 0;
int wakeFd = -1;  // write end of the self-pipe

void onStopSignal(int) {
    stopRequested = 1;
    if (wakeFd >= 0) {
        const char c = 0;
        ssize_t ignored = write(wakeFd, &c, 1);
        (void)ignored;
    }
}

std::string peerText(const sockaddr_in &a) {
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(a.sin_port));
}

void setFlag(int fd, int level, int name) {
    const int on = 1;
    setsockopt(fd, level, name, &on, sizeof on);
}

std::string errnoText(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

// Deciphers a received ciphertext of len bytes into a 256-byte record;
// returns the record's length (0 when there is none).
std::size_t decipher(const std::uint8_t *bytes, std::size_t len,
                     std::array<std::uint8_t, NS_MSG_SIZE> &plain) {
    std::array<std::uint8_t, NS_MSG_SIZE> cipher{};  // at least 24 bytes, whatever len is
    len = std::min(len, cipher.size());
    std::memcpy(cipher.data(), bytes, len);
    plain.fill(0);
    const int n = NsDecrypt(plain.data(), cipher.data(), static_cast<int>(len));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// The frames of a name list, made a block at a time as the socket drains.
class ListSource : public PieceSource {
public:
    ListSource(NameCursor names, const Piece &proto) : encoder_(std::move(names)), proto_(proto) {}
    bool next(Piece &piece) override {
        piece = proto_;
        piece.bytes.clear();
        proto_.delayMs = 0;
        return encoder_.next(piece.bytes, kListBlock);
    }

private:
    ListEncoder encoder_;
    Piece proto_;
};

}  // namespace

// A request connection (from a client) or a name list stream (to a client).
struct Server::Link {
    enum State { Connecting, Reading, Sending, Draining, Holding };
    bool stream = false;
    State state = Reading;
    ns::UniqueFd fd;
    sockaddr_in peer{};
    in_addr_t origin = 0;  // the client's address (of the request, for a stream)
    Clock::time_point since{};
    std::array<std::uint8_t, 1 + 255> in{};  // length byte and ciphertext
    std::size_t have = 0;
    Outbox out;
    Ending ending = Ending::Normal;
    Outbox::Status last = Outbox::Status::Done;
    Clock::time_point deadline{};
    bool dead = false;

    std::string name() const { return (stream ? "list " : "tcp ") + peerText(peer); }
};

// Datagram replies that wait for a scripted pause.
struct Server::Datagrams {
    int fd = -1;
    sockaddr_in to{};
    Outbox out;
};

Server::Server(Options options, Registry registry, HostileScript script)
    : opts_(std::move(options)), registry_(std::move(registry)), script_(std::move(script)) {}

Server::~Server() { wakeFd = -1; }

void Server::say(const std::string &line) {
    // Names and texts in the line come from peers: control characters are
    // shown escaped, never sent to the terminal.
    if (opts_.verbose) out_.line(nstools::terminalSafe(line));
}

std::string Server::own() const {
    sockaddr_in a{};
    a.sin_addr = opts_.address;
    a.sin_port = htons(opts_.port);
    return peerText(a);
}

std::optional<NsAddr> Server::tcpAddressFor(const sockaddr_in &peer, in_addr received) const {
    NsAddr a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(opts_.port);
    a.sin_addr = opts_.address;
    if (a.sin_addr.s_addr != htonl(INADDR_ANY)) return a;
    // Bound to every address: take the one this host would use to reach the
    // client (connecting a datagram socket sends nothing).
    ns::UniqueFd probe(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (probe.valid() &&
        connect(probe.get(), reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0 &&
        getsockname(probe.get(), reinterpret_cast<sockaddr *>(&local), &len) == 0 &&
        local.sin_addr.s_addr != htonl(INADDR_ANY)) {
        a.sin_addr = local.sin_addr;
        return a;
    }
    // No probe (out of descriptors, say): the local address that the
    // datagram came in by still is one of ours.  Never 0.0.0.0: a client
    // would take it for where the master is.
    if (received.s_addr == htonl(INADDR_ANY)) return std::nullopt;
    a.sin_addr = received;
    return a;
}

bool Server::wantedDestination(in_addr dst) const {
    return dst.s_addr == opts_.address.s_addr || dst.s_addr == htonl(INADDR_BROADCAST) ||
           broadcasts_.count(dst.s_addr) > 0;
}

std::size_t Server::count(bool streams, std::optional<in_addr_t> origin) const {
    std::size_t n = 0;
    for (const auto &l : links_)
        n += !l->dead && l->stream == streams && (!origin || l->origin == *origin) ? 1 : 0;
    return n;
}

bool Server::open(std::string &error) {
    // Descriptors 0 to 2 stay taken, so that no socket of ours can become
    // the standard output that the verbose log writes to.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR) != fd) {
            error = errnoText("/dev/null");
            return false;
        }
    int pipeFds[2];
    if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = errnoText("pipe");
        return false;
    }
    wakeRead_.reset(pipeFds[0]);
    wakeWrite_.reset(pipeFds[1]);
    wakeFd = wakeWrite_.get();
    setSignalHandler(SIGTERM, onStopSignal, NS_SIG_NORESTART);
    setSignalHandler(SIGINT, onStopSignal, NS_SIG_NORESTART);
    setSignalHandler(SIGPIPE, SIG_IGN, 0);

    const bool specific = opts_.address.s_addr != htonl(INADDR_ANY);
    auto bound = [&](int type, in_addr addr, const char *what) -> ns::UniqueFd {
        ns::UniqueFd fd(socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd.valid()) {
            error = errnoText("socket");
            return fd;
        }
        setFlag(fd.get(), SOL_SOCKET, SO_REUSEADDR);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(opts_.port);
        a.sin_addr = addr;
        if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
            error = errnoText(what) + " (" + peerText(a) + ")";
            fd.reset();
        }
        return fd;
    };
    udpAny_ = bound(SOCK_DGRAM, in_addr{htonl(INADDR_ANY)}, "bind udp");
    if (!udpAny_.valid()) return false;
    // Where each datagram came in: to drop unicasts for other addresses, and
    // to name our own address when no other way is left.
    setFlag(udpAny_.get(), IPPROTO_IP, IP_PKTINFO);
    if (specific) {
        udpOwn_ = bound(SOCK_DGRAM, opts_.address, "bind udp");
        if (!udpOwn_.valid()) return false;
    }
    ifaddrs *ifs = nullptr;
    if (getifaddrs(&ifs) == 0) {
        for (ifaddrs *i = ifs; i != nullptr; i = i->ifa_next)
            if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr != nullptr &&
                i->ifa_broadaddr->sa_family == AF_INET)
                broadcasts_.insert(
                    reinterpret_cast<const sockaddr_in *>(i->ifa_broadaddr)->sin_addr.s_addr);
        freeifaddrs(ifs);
    }
    if (opts_.role == Role::Master) {
        listen_ = bound(SOCK_STREAM, opts_.address, "bind tcp");
        if (!listen_.valid()) return false;
        // Room for a burst beyond the connections we hold, so that clients
        // are not kept waiting for a SYN retransmission while we accept.
        if (listen(listen_.get(), static_cast<int>(2 * kMaxConns)) != 0) {
            error = errnoText("listen");
            return false;
        }
    }
    std::printf("ready %s %s\n", opts_.role == Role::Master ? "master" : "backup", own().c_str());
    std::fflush(stdout);
    if (opts_.verbose) out_.open(STDOUT_FILENO);
    return true;
}

void Server::readDatagrams(int fd, bool filter, Clock::time_point now) {
    for (int burst = 0; burst < kBurst; ++burst) {
        std::array<std::uint8_t, 2 * NS_MSG_SIZE> buf;
        sockaddr_in peer{};
        iovec iov{buf.data(), buf.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr m{};
        m.msg_name = &peer;
        m.msg_namelen = sizeof peer;
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fd, &m, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        in_addr dst{}, local{};
        for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                dst = info.ipi_addr;
                local = info.ipi_spec_dst;
            }
        if (filter && !wantedDestination(dst)) continue;  // a unicast for another address
        const std::string from = "udp " + peerText(peer) + " ";
        if (n < NS_SALT_SIZE + 1 || n > NS_MSG_SIZE || (m.msg_flags & MSG_TRUNC)) {
            say(from + std::to_string(n) + "-byte datagram ignored");
            continue;
        }
        std::array<std::uint8_t, NS_MSG_SIZE> plain;
        const std::size_t len = decipher(buf.data(), static_cast<std::size_t>(n), plain);
        const std::span<const std::uint8_t> record(plain.data(), len);
        std::optional<Bytes> answer;
        std::string result;
        if (opts_.addrItem && opts_.role == Role::Master) {
            const std::optional<NsAddr> tcp = tcpAddressFor(peer, local);
            if (tcp)
                answer = answerDatagram(record, opts_.role, &*tcp);
            else
                result = "no answer: own address unknown";
        } else {
            answer = answerDatagram(record, opts_.role, nullptr);
        }
        if (result.empty()) result = answer ? typeName((*answer)[0]) : "no answer";
        auto job = std::make_unique<Datagrams>();
        job->fd = udpOwn_.valid() ? udpOwn_.get() : udpAny_.get();
        job->to = peer;
        if (auto step = script_.next(Transport::Udp)) {
            expandStep(*step, job->out, true, [&](Outbox &out, const Piece &proto) {
                if (!answer) return;
                Piece p = proto;
                p.bytes = encipher(*answer);
                out.add(std::move(p));
            });
            result += ", answered by the script";
        } else if (answer) {
            job->out.add(Piece{encipher(*answer)});
        }
        say(from + typeName(plain[0]) + " -> " + result);
        if (job->out.flushTo(job->fd, job->to, now) == Outbox::Status::Done) continue;
        if (datagrams_.size() < kMaxQueued)
            datagrams_.push_back(std::move(job));
        else
            say(from + "reply dropped: too many waiting");
    }
}

void Server::acceptConnections(Clock::time_point now) {
    for (int burst = 0; burst < kBurst; ++burst) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        ns::UniqueFd fd(accept4(listen_.get(), reinterpret_cast<sockaddr *>(&peer), &len,
                      SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil_ = now + std::chrono::milliseconds(100);
            return;
        }
        // A client at its limit is turned away, so that it cannot crowd out
        // the others; the total keeps the descriptors bounded.
        if (count(false) >= kMaxConns) {
            say("tcp " + peerText(peer) + " closed: too many connections");
            continue;
        }
        if (count(false, peer.sin_addr.s_addr) >= opts_.maxPeerConns) {
            say("tcp " + peerText(peer) + " closed: too many connections from its address");
            continue;
        }
        setFlag(fd.get(), IPPROTO_TCP, TCP_NODELAY);
        auto link = std::make_unique<Link>();
        link->fd = std::move(fd);
        link->peer = peer;
        link->origin = peer.sin_addr.s_addr;
        link->since = now;
        link->state = Link::Reading;
        link->deadline = now + std::chrono::milliseconds(opts_.idleTimeoutMs);
        links_.push_back(std::move(link));
    }
}

// Reads what has come of the request frame; false when the connection ended.
bool Server::readRequest(Link &link) {
    for (;;) {
        const std::size_t need = link.have == 0 ? 1 : 1 + std::size_t{link.in[0]};
        if (link.have == need) return true;
        const ssize_t n = read(link.fd.get(), link.in.data() + link.have, need - link.have);
        if (n > 0) {
            link.have += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        say(link.name() + " closed after " + std::to_string(link.have) +
            " bytes, before a whole request");
        return false;
    }
}

void Server::answerRequest(Link &link, Clock::time_point now) {
    std::array<std::uint8_t, NS_MSG_SIZE> plain;
    const std::size_t len = decipher(link.in.data() + 1, link.in[0], plain);
    Outcome o =
        handleRequest(registry_, std::span<const std::uint8_t>(plain.data(), len), opts_.nameItem);
    if (o.list) {
        const std::string why = listRoom(link.origin, now);
        if (!why.empty()) refuse(o, why);
    }
    bool normal = true;
    if (auto step = script_.next(Transport::Tcp)) {
        normal = false;
        link.ending = expandStep(*step, link.out, false, [&](Outbox &out, const Piece &proto) {
            Piece p = proto;
            p.bytes.clear();
            appendFrame(p.bytes, o.reply);
            out.add(std::move(p));
            normal = true;
        });
        o.summary += ", answered by the script";
    } else {
        Piece p;
        appendFrame(p.bytes, o.reply);
        link.out.add(std::move(p));
    }
    say(link.name() + " " + o.summary);
    // The list goes out only behind the normal NS_OK reply.
    if (o.list && normal) startList(std::move(*o.list), link.origin, now);
    link.state = Link::Sending;
    link.deadline = now + std::chrono::milliseconds(opts_.idleTimeoutMs);
}

std::string Server::listRoom(in_addr_t origin, Clock::time_point now) {
    if (count(true, origin) >= opts_.maxPeerLists) return "too many lists for its address";
    if (count(true) < kMaxStreams) return "";
    // Every slot is taken: the connection back that has waited longest
    // without an answer, if it has waited long enough, makes room.
    Link *oldest = nullptr;
    for (const auto &l : links_)
        if (l->stream && !l->dead && l->state == Link::Connecting &&
            now - l->since >= kListConnectGrace && (oldest == nullptr || l->since < oldest->since))
            oldest = l.get();
    if (oldest == nullptr) return "too many lists at once";
    say(oldest->name() + " given up: no connection yet, and its slot is needed");
    oldest->dead = true;
    return "";
}

void Server::startList(ListJob job, in_addr_t origin, Clock::time_point now) {
    const std::string name = "list " + peerText(job.to);
    auto link = std::make_unique<Link>();
    link->stream = true;
    link->peer = job.to;
    link->origin = origin;
    link->since = now;
    link->fd.reset(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!link->fd.valid()) {
        say(name + " not sent: " + errnoText("socket"));
        return;
    }
    setFlag(link->fd.get(), IPPROTO_TCP, TCP_NODELAY);
    if (opts_.address.s_addr != htonl(INADDR_ANY)) {
        // The connection comes from the own address, like every reply.
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr = opts_.address;
        bind(link->fd.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local);
    }
    const NameCursor names(registry_, job.kind, job.pattern);
    if (auto step = script_.next(Transport::List)) {
        link->ending = expandStep(*step, link->out, false, [&](Outbox &out, const Piece &proto) {
            out.add(std::make_unique<ListSource>(names, proto));
        });
        say(name + " scripted");
    } else {
        link->out.add(std::make_unique<ListSource>(names, Piece{}));
        if (opts_.verbose)
            say(name + " " + std::to_string(registry_.count(job.kind, job.pattern)) + " names");
    }
    if (connect(link->fd.get(), reinterpret_cast<const sockaddr *>(&link->peer),
                sizeof link->peer) != 0 &&
        errno != EINPROGRESS) {
        say(name + " not sent: " + errnoText("connect"));
        return;
    }
    link->state = Link::Connecting;
    link->deadline = now + kListConnectTime;
    links_.push_back(std::move(link));
}

// Sends what the link has; false when it is finished and can go.
bool Server::sendOutbox(Link &link, short revents, Clock::time_point now) {
    const auto idle = std::chrono::milliseconds(opts_.idleTimeoutMs);
    if (revents & (POLLERR | POLLHUP)) {
        say(link.name() + " lost while sending");
        return false;
    }
    if (revents & POLLOUT) link.deadline = now + idle;  // the peer takes bytes
    link.last = link.out.flush(link.fd.get(), now);
    switch (link.last) {
    case Outbox::Status::Done: break;
    case Outbox::Status::Waiting:
        link.deadline = std::max(link.deadline, link.out.readyAt() + idle);
        return true;
    case Outbox::Status::WouldBlock: return true;
    case Outbox::Status::Failed: say(link.name() + " " + errnoText("send")); return false;
    }
    switch (link.ending) {
    case Ending::Close: return false;
    case Ending::Hold: link.state = Link::Holding; break;
    case Ending::Normal:
        if (link.stream) return false;
        // Half-close and wait for the client's end, so that bytes the client
        // sent beyond its request never turn our close into a reset.
        shutdown(link.fd.get(), SHUT_WR);
        link.state = Link::Draining;
        break;
    }
    link.deadline = now + idle;
    return true;
}

bool Server::serviceLink(Link &link, short revents, Clock::time_point now) {
    switch (link.state) {
    case Link::Connecting: {
        if (revents == 0) break;
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(link.fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            say(link.name() + " connect: " + std::strerror(err));
            return false;
        }
        link.state = Link::Sending;
        link.deadline = now + std::chrono::milliseconds(opts_.idleTimeoutMs);
        if (!sendOutbox(link, 0, now)) return false;
        break;
    }
    case Link::Reading:
        if (revents == 0) break;
        if (!readRequest(link)) return false;
        if (link.have == 0 || link.have < 1 + std::size_t{link.in[0]}) break;
        answerRequest(link, now);
        if (!sendOutbox(link, 0, now)) return false;
        break;
    case Link::Sending:
        if (!sendOutbox(link, revents, now)) return false;
        break;
    case Link::Draining:
    case Link::Holding:
        if (revents != 0) {
            std::array<char, 4096> sink;
            const ssize_t n = read(link.fd.get(), sink.data(), sink.size());
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
        }
        break;
    }
    // A pause never reaches the deadline: it lies past the pause's end.
    if (now >= link.deadline) {
        say(link.name() +
            (link.state == Link::Connecting ? " no connection in time" : " idle, closed"));
        return false;
    }
    return true;
}

int Server::pollTimeout(Clock::time_point now) const {
    Clock::time_point next = Clock::time_point::max();
    for (const auto &l : links_) {
        next = std::min(next, l->deadline);
        if (l->state == Link::Sending && l->last == Outbox::Status::Waiting)
            next = std::min(next, l->out.readyAt());
    }
    // A datagram that is due but was not taken (a full socket) is tried
    // again a little later rather than at once.
    for (const auto &d : datagrams_)
        next = std::min(next, std::max(d->out.readyAt(), now + std::chrono::milliseconds(10)));
    if (acceptPausedUntil_ > now) next = std::min(next, acceptPausedUntil_);
    if (next == Clock::time_point::max()) return -1;
    if (next <= now) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::min<long long>(ms, 60000));
}

int Server::run() {
    const bool filter = udpOwn_.valid();
    while (!stopRequested) {
        Clock::time_point now = Clock::now();
        std::vector<pollfd> fds;
        std::vector<Link *> owners;
        auto watch = [&](int fd, short events, Link *owner) {
            fds.push_back(pollfd{fd, events, 0});
            owners.push_back(owner);
        };
        watch(wakeRead_.get(), POLLIN, nullptr);
        watch(udpAny_.get(), POLLIN, nullptr);
        if (udpOwn_.valid()) watch(udpOwn_.get(), POLLIN, nullptr);
        if (listen_.valid() && now >= acceptPausedUntil_) watch(listen_.get(), POLLIN, nullptr);
        if (out_.pending()) watch(out_.fd(), POLLOUT, nullptr);
        for (const auto &l : links_) {
            short events = 0;
            switch (l->state) {
            case Link::Connecting: events = POLLOUT; break;
            case Link::Sending: events = l->last == Outbox::Status::WouldBlock ? POLLOUT : 0; break;
            default: events = POLLIN; break;
            }
            watch(l->fd.get(), events, l.get());
        }
        const int ready = poll(fds.data(), fds.size(), pollTimeout(now));
        if (ready < 0) {
            if (errno == EINTR) continue;
            std::perror("nsmd: poll");
            return 1;
        }
        now = Clock::now();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            const short revents = fds[i].revents;
            if (owners[i] != nullptr) {
                // A link may have been given up by another one's request.
                if (!owners[i]->dead && !serviceLink(*owners[i], revents, now))
                    owners[i]->dead = true;
            } else if (revents != 0) {
                const int fd = fds[i].fd;
                if (fd == out_.fd()) {
                    out_.flush();
                } else if (fd == wakeRead_.get()) {
                    char sink[64];
                    while (read(fd, sink, sizeof sink) > 0) {
                    }
                } else if (fd == listen_.get()) {
                    acceptConnections(now);
                } else {
                    readDatagrams(fd, filter && fd == udpAny_.get(), now);
                }
            }
        }
        links_.remove_if([](const std::unique_ptr<Link> &l) { return l->dead; });
        datagrams_.remove_if([&](const std::unique_ptr<Datagrams> &d) {
            return now >= d->out.readyAt() &&
                   d->out.flushTo(d->fd, d->to, now) == Outbox::Status::Done;
        });
    }
    return 0;
}

}  // namespace nsmd
