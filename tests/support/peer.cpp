// The scripted peer and the log tap of peer.hpp.
#include "support/peer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <thread>

#include "rsockmap/exchange_internal.hpp"
#include "rsockmap/location_internal.hpp"
#include "support/env.h"

namespace nstest {

// ---- records ----

Bytes plainOf(const ns::RecordBuilder &b) {
    EXPECT_TRUE(b.ok());
    const auto *p = reinterpret_cast<const std::uint8_t *>(&b.message());
    return Bytes(p, p + (b.ok() ? b.length() : 0));
}

Bytes addrBytes(const NsAddr &a) {
    const auto *p = reinterpret_cast<const std::uint8_t *>(&a);
    return Bytes(p, p + sizeof a);
}

std::string shown(const NsAddr &a) { return printaddr(&a); }

Bytes record(int type, const char *name) {
    // Laid out by hand: a test may want a name longer than a request may carry.
    Bytes r(NS_HEADER_SIZE, 0);
    r[ns::kType] = static_cast<std::uint8_t>(type);
    if (name != nullptr) {
        const std::size_t n = std::strlen(name);
        r[ns::kNameOffset] = NS_HEADER_SIZE;
        r.push_back(static_cast<std::uint8_t>(n));
        r.insert(r.end(), name, name + n + 1);
    }
    return r;
}

Bytes lookupReply(const NsAddr &addr, const char *text, const char *name) {
    ns::RecordBuilder b(NS_OK);
    if (name != nullptr) b.name(name);
    b.address(&addr, sizeof addr);
    if (text != nullptr) b.text(text);
    return plainOf(b);
}

Bytes masterReply(const NsAddr *own) {
    ns::RecordBuilder b(NS_MASTER);
    if (own != nullptr) b.address(own, sizeof *own);
    return plainOf(b);
}

Bytes encipher(const Bytes &plain) {
    Bytes out(plain.size() + NS_SALT_SIZE);
    NsCrypt(out.data(), plain.data(), static_cast<int>(plain.size()));
    return out;
}

Bytes decipher(Bytes cipher) {
    if (cipher.size() < NS_SALT_SIZE) cipher.resize(NS_SALT_SIZE);
    Bytes out(cipher.size());
    out.resize(static_cast<std::size_t>(
        NsDecrypt(out.data(), cipher.data(), static_cast<int>(cipher.size()))));
    return out;
}

Bytes frameOf(const Bytes &plain) {
    Bytes out = encipher(plain);
    out.insert(out.begin(), static_cast<std::uint8_t>(out.size()));
    return out;
}

Bytes listStream(const std::vector<std::string> &names) {
    Bytes s = frameOf(record(NS_LISTHEAD));
    for (const auto &n : names) s = s + frameOf(record(NS_OK, n.c_str()));
    return s + frameOf(record(NS_LISTEND));
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---- sockets ----

namespace {

const sockaddr *asSockaddr(const NsAddr &a) { return reinterpret_cast<const sockaddr *>(&a); }

ns::UniqueFd boundSocket(int type, const NsAddr &at, bool reuse) {
    ns::UniqueFd fd(socket(AF_INET, type, 0));
    const int on = 1;
    if (reuse) setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd.get(), asSockaddr(at), sizeof at) != 0) fd.reset();
    return fd;
}

bool waitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

void sleepMs(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

bool writeBytes(int fd, const Bytes &bytes) {
    return write_string(fd, reinterpret_cast<const char *>(bytes.data()),
                        static_cast<int>(bytes.size())) == 0;
}

std::optional<Bytes> receiveFrame(int fd, Bytes *raw) {
    auto read5s = [&](void *buf, std::size_t n) -> ssize_t {
        if (!waitReadable(fd, 5000)) return -1;
        const ssize_t got = read(fd, buf, n);
        const auto *p = static_cast<const std::uint8_t *>(buf);
        if (got > 0 && raw != nullptr) raw->insert(raw->end(), p, p + got);
        return got;
    };
    std::uint8_t len = 0;
    Bytes cipher(NS_MSG_SIZE);
    if (ns::readExactly(read5s, &len, 1) != 1 || ns::readExactly(read5s, cipher.data(), len) != len)
        return std::nullopt;
    cipher.resize(len);
    return decipher(cipher);
}

ns::UniqueFd tcpSocket(const char *ip, std::uint16_t port, int backlog) {
    ns::UniqueFd fd = boundSocket(SOCK_STREAM, inetAddr(ip, port), backlog >= 0);
    if (fd.valid() && backlog >= 0 && listen(fd.get(), backlog) != 0) fd.reset();
    if (!fd.valid())
        ADD_FAILURE() << "cannot bind " << ip << ":" << port << ": " << std::strerror(errno);
    return fd;
}

HangingListener hangingListener(const char *ip, std::uint16_t port) {
    HangingListener h{tcpSocket(ip, port, 0), ns::UniqueFd(socket(AF_INET, SOCK_STREAM, 0))};
    const NsAddr at = inetAddr(ip, port);
    EXPECT_EQ(connect(h.filler.get(), asSockaddr(at), sizeof at), 0) << "the queue's one place";
    return h;
}

// ---- answers ----

Answer reply(const Bytes &plain) { return {frameOf(plain), 0, {}}; }
Answer raw(Bytes bytes) { return {std::move(bytes), 0, {}}; }
Answer hangUp() { return {}; }
Answer streamBack(Bytes stream) { return {frameOf(record(NS_OK)), 0, std::move(stream)}; }

Datagram datagramFrom(const char *ip, std::uint16_t port, const Bytes &plain, int delayMs) {
    return {inetAddr(ip, port), encipher(plain), delayMs};
}

Peer::OnRequest always(const Bytes &plain) {
    return [plain](const Bytes &, int) { return reply(plain); };
}

Peer::OnRequest streaming(const std::vector<std::string> &names) {
    return [stream = listStream(names)](const Bytes &, int) { return streamBack(stream); };
}

Peer::OnRequest inTurn(std::vector<Answer> answers) {
    return [answers = std::move(answers)](const Bytes &, int n) {
        return static_cast<std::size_t>(n) < answers.size() ? answers[static_cast<std::size_t>(n)]
                                                            : hangUp();
    };
}

Peer::OnDatagram answerFrom(const char *ip, std::uint16_t port, const Bytes &plain) {
    const NsAddr from = inetAddr(ip, port);
    return [from, plain](const Bytes &, int) {
        return std::vector<Datagram>{{from, encipher(plain)}};
    };
}

// ---- the peer: test side ----

Peer::Peer(OnRequest onRequest, const char *ip, std::uint16_t port) {
    tcp(ip, port, std::move(onRequest));
    start();
}

Peer::~Peer() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

Peer &Peer::tcp(const char *ip, std::uint16_t port, OnRequest onRequest) {
    sockets_.push_back({tcpSocket(ip, port), true, std::move(onRequest), {}});
    return *this;
}

Peer &Peer::udp(const char *ip, std::uint16_t port, OnDatagram onDatagram) {
    ns::UniqueFd fd = boundSocket(SOCK_DGRAM, inetAddr(ip, port), true);
    if (!fd.valid()) ADD_FAILURE() << "cannot bind " << ip << ":" << port << " (UDP)";
    sockets_.push_back({std::move(fd), false, {}, std::move(onDatagram)});
    return *this;
}

void Peer::start(const std::function<void(Peer &)> &script) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return;
    }
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        ADD_FAILURE() << "fork failed: " << std::strerror(errno);
        close(p[0]);
        close(p[1]);
        return;
    }
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
        signal(SIGPIPE, SIG_IGN);          // a client that went is no reason to die
        close(p[0]);
        out_.reset(p[1]);
        if (script) script(*this);
        if (!sockets_.empty()) serve();
        _exit(0);
    }
    close(p[1]);
    in_.reset(p[0]);
    fcntl(in_.get(), F_SETFL, O_NONBLOCK);
    for (Socket &s : sockets_) s.fd.reset();  // the child's from now on
}

namespace {

// What goes ahead of an event's bytes on the way from the child to the test.
struct ReportHead {
    std::int64_t at;  // steady clock, nanoseconds
    std::uint32_t plain, raw;
    Event::Kind kind;
};

}  // namespace

bool Peer::pull() {
    std::uint8_t buf[4096];
    ssize_t got;
    while ((got = read(in_.get(), buf, sizeof buf)) > 0)
        pending_.insert(pending_.end(), buf, buf + got);
    ReportHead h;
    while (pending_.size() >= sizeof h) {
        std::memcpy(&h, pending_.data(), sizeof h);
        const std::size_t size = sizeof h + h.plain + h.raw;
        if (pending_.size() < size) break;
        const auto *at = pending_.data() + sizeof h;
        events_.push_back({h.kind, Bytes(at, at + h.plain),
                           Bytes(at + h.plain, at + h.plain + h.raw),
                           std::chrono::steady_clock::time_point(std::chrono::nanoseconds(h.at))});
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
    }
    return got != 0;
}

std::vector<Event> Peer::events() {
    pull();
    return events_;
}

std::string Peer::order() {
    std::string letters;
    for (const Event &e : events()) letters += "tun"[e.kind];
    return letters;
}

std::vector<Bytes> Peer::requests() {
    std::vector<Bytes> out;
    for (const Event &e : events())
        if (e.kind == Event::Tcp && e.whole()) out.push_back(e.plain);
    return out;
}

std::vector<Bytes> Peer::datagrams() {
    std::vector<Bytes> out;
    for (const Event &e : events())
        if (e.kind == Event::Udp) out.push_back(e.plain);
    return out;
}

std::vector<Event> Peer::finish(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pull()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ADD_FAILURE() << "the peer did not finish";
            break;
        }
        waitReadable(in_.get(), static_cast<int>(left.count()));
    }
    return events_;
}

Bytes inChild(const std::function<Bytes()> &fn) {
    Peer child;
    child.start([&](Peer &p) { p.note(fn()); });
    const auto events = child.finish();
    return events.empty() ? Bytes{} : events[0].plain;
}

// ---- the peer: child side ----

void Peer::note(const Bytes &data) {
    report({Event::Note, data, {}, std::chrono::steady_clock::now()});
}

void Peer::report(const Event &e) {
    ReportHead h{};  // padding zeroed too
    h.at = std::chrono::duration_cast<std::chrono::nanoseconds>(e.at.time_since_epoch()).count();
    h.plain = static_cast<std::uint32_t>(e.plain.size());
    h.raw = static_cast<std::uint32_t>(e.raw.size());
    h.kind = e.kind;
    const auto *p = reinterpret_cast<const std::uint8_t *>(&h);
    writeBytes(out_.get(), Bytes(p, p + sizeof h) + e.plain + e.raw);
}

void Peer::serve() {
    std::vector<pollfd> fds;
    for (const Socket &s : sockets_) fds.push_back({s.fd.get(), POLLIN, 0});
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) <= 0) continue;
        // Connections first: a client that gives a connection up before it
        // is answered (a frame cut short) may broadcast at once, and its
        // datagram must not be reported before the connection it follows.
        for (std::size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents != 0 && sockets_[i].tcp) takeConnection(sockets_[i]);
        for (std::size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents != 0 && !sockets_[i].tcp) takeDatagram(sockets_[i]);
    }
}

void Peer::takeConnection(Socket &s) {
    const ns::UniqueFd conn(accept(s.fd.get(), nullptr, nullptr));
    if (!conn.valid()) return;
    Event e{Event::Tcp, {}, {}, std::chrono::steady_clock::now()};
    const std::optional<Bytes> request = receiveFrame(conn.get(), &e.raw);
    if (request) e.plain = *request;
    report(e);
    if (!request) return;
    const Answer a = s.onRequest ? s.onRequest(e.plain, s.count++) : hangUp();
    sleepMs(a.delayMs);
    writeBytes(conn.get(), a.bytes);
    // The connection back comes from the address the request came to, as a
    // name server's does: the client takes it only from its master.
    NsAddr to{}, own{};
    socklen_t len = sizeof own;
    if (!a.back || ns::RecordView(e.plain).addressItem(&to) < 0 ||
        getsockname(conn.get(), reinterpret_cast<sockaddr *>(&own), &len) != 0)
        return;
    own.sin_port = 0;
    const ns::UniqueFd back = boundSocket(SOCK_STREAM, own, false);
    if (connect(back.get(), asSockaddr(to), sizeof to) == 0) writeBytes(back.get(), *a.back);
}

void Peer::takeDatagram(Socket &s) {
    std::array<std::uint8_t, 2048> buf;
    NsAddr source{};
    socklen_t len = sizeof source;
    const ssize_t got = recvfrom(s.fd.get(), buf.data(), buf.size(), 0,
                                 reinterpret_cast<sockaddr *>(&source), &len);
    if (got < 0) return;
    Event e{Event::Udp, {}, Bytes(buf.data(), buf.data() + got), std::chrono::steady_clock::now()};
    e.plain = decipher(e.raw);
    report(e);
    if (!s.onDatagram) return;
    for (const Datagram &d : s.onDatagram(e.plain, s.count++)) {
        sleepMs(d.delayMs);
        const ns::UniqueFd out = boundSocket(SOCK_DGRAM, d.from, true);
        sendto(out.get(), d.bytes.data(), d.bytes.size(), 0, asSockaddr(source), len);
    }
}

// ---- the log pipe ----

LogTap::LogTap(std::string dir) : dir_(std::move(dir)) {
    const std::string fifo = dir_ + "/" + LOG_PIPE_NAME;
    mkfifo(fifo.c_str(), 0600);
    fd_.reset(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
}

void LogTap::pull() {
    char buf[65536];
    ssize_t n;
    while ((n = read(fd_.get(), buf, sizeof buf)) > 0)
        data_.append(buf, static_cast<std::size_t>(n));
}

std::vector<LogRecord> LogTap::records() {
    pull();
    std::vector<LogRecord> out;
    if (data_.size() < from_) return out;
    EXPECT_EQ((data_.size() - from_) % sizeof(LogRecord), 0u) << "a record came in pieces";
    for (std::size_t at = from_; at + sizeof(LogRecord) <= data_.size(); at += sizeof(LogRecord)) {
        LogRecord r;
        std::memcpy(&r, data_.data() + at, sizeof r);
        out.push_back(r);
    }
    return out;
}

std::vector<std::string> LogTap::lines() {
    const std::string marker = std::string(ProgName) + ": ";
    std::vector<std::string> out;
    for (const LogRecord &r : records()) {
        const std::string line(r.text, strnlen(r.text, sizeof r.text));
        const auto at = line.find(marker);
        out.push_back(at == std::string::npos ? line : line.substr(at + marker.size()));
    }
    return out;
}

bool LogTap::has(const std::string &line) { return count(line) > 0; }

int LogTap::count(const std::string &line) {
    int n = 0;
    for (const auto &l : lines()) n += l == line;
    return n;
}

bool LogTap::mentions(std::string_view fragment) {
    for (const auto &l : lines())
        if (l.find(fragment) != std::string::npos) return true;
    return false;
}

std::string LogTap::dump() {
    std::string all;
    for (const auto &l : lines()) all += "  " + l;
    return all;
}

void LogTap::clear() {
    pull();
    from_ = data_.size();
}

std::size_t LogTap::fill() {
    pull();
    const ns::UniqueFd w(open((dir_ + "/" + LOG_PIPE_NAME).c_str(), O_WRONLY | O_NONBLOCK));
    if (!w.valid()) return 0;
    std::vector<char> chunk(4096, '#');
    std::size_t total = 0;
    for (std::size_t size : {chunk.size(), std::size_t{1}}) {
        ssize_t n;
        while ((n = write(w.get(), chunk.data(), size)) > 0) total += static_cast<std::size_t>(n);
    }
    from_ = data_.size() + total;
    return total;
}

// ---- the client's test programs ----

namespace {

struct Session {
    TempDir dir;
    LogTap tap{dir.path()};
};
std::unique_ptr<Session> session;

}  // namespace

void ClientEnvironment::SetUp() {
    session = std::make_unique<Session>();
    const std::string config = session->dir.file("talven.conf");
    writeFile(config, "TALVEN_TMPDIR=" + session->dir.path() + "\nTALVEN_EVENTLEVEL=768\n");
    setenv("TALVEN_CONFIG", config.c_str(), 1);
    setenv("HOME", session->dir.path().c_str(), 1);
    ASSERT_TRUE(session->tap.ok());
    rbgetenv();
    // The log client opens its pipe on the first line and keeps it; open it
    // now so that descriptor counts in tests stay level.
    DebugLog(NS_LOG_TRACE, "log tap ready\n");
    session->tap.clear();
}

LogTap &logs() { return session->tap; }

void ClientTest::SetUp() {
    ns::resetLocationState();
    ns::resetExchangeState();
    Marlod = nullptr;
    DebugLevel = 0;
    logs().clear();
}

void ClientTest::TearDown() {
    nsm_.reset();
    Marlod = nullptr;
}

void ClientTest::configure(const std::string &value) {
    configured_ = value;
    Marlod = configured_.data();
}

Peer &ClientTest::serve(Peer::OnRequest onRequest) {
    nsm_.reset();
    configure("nsm-master.16024");
    nsm_ = std::make_unique<Peer>(std::move(onRequest));
    fds_ = openFdCount();
    return *nsm_;
}

}  // namespace nstest
