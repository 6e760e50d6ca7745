// The scripted name server and the log pipe reader of scripted_nsm.hpp.
#include "support/scripted_nsm.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "rsockmap/record.hpp"
#include "support/debug.h"
#include "support/testutil.hpp"

namespace nstest {
namespace {

// Keeps SIGALRM away from helper threads: the library's alarms belong to
// the thread that armed them.
void blockAlarmHere() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool readFully(int fd, void *buf, std::size_t n) {
    auto *p = static_cast<std::uint8_t *>(buf);
    while (n > 0) {
        const ssize_t got = read(fd, p, n);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// Writes to a socket; a peer that has gone gives an error, not SIGPIPE.
void sendFully(int fd, const void *buf, std::size_t n) {
    const auto *p = static_cast<const std::uint8_t *>(buf);
    while (n > 0) {
        const ssize_t put = send(fd, p, n, MSG_NOSIGNAL);
        if (put <= 0) return;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
}

void wake(int fds[2]) {
    const char c = 0;
    if (write(fds[1], &c, 1) != 1) std::abort();
}

// Sends stream to the address item of request (a list's listening socket),
// from `from`'s address, as a name server connects back from its own.
void connectBack(const Bytes &request, const std::string &stream, const sockaddr_in &from) {
    if (request.size() <= 9 || request[9] == 0) return;
    const std::size_t at = request[9];
    if (at + 1 + sizeof(NsAddr) > request.size()) return;
    NsAddr addr;
    std::memcpy(&addr, request.data() + at + 1, sizeof addr);
    addr.sin_family = AF_INET;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return;
    sockaddr_in source = from;
    source.sin_port = 0;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&source), sizeof source) == 0 &&
        connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        sendFully(fd, stream.data(), stream.size());
    close(fd);
}

}  // namespace

const std::string &useScriptedConfig() {
    // Kept for the whole process: the library reads its configuration once.
    static const TestConfig config("TALVEN_NAMESVC=nsm-master.16024\n");
    static const std::string home = [] {
        const std::string dir = config.dir() + "/home";
        mkdir(dir.c_str(), 0700);
        setenv("TALVEN_CONFIG", config.file().c_str(), 1);
        setenv("TALVEN_TMPDIR", config.dir().c_str(), 1);
        setenv("HOME", dir.c_str(), 1);
        return dir;
    }();
    return config.dir();
}

Bytes record(int type, const char *name) {
    Bytes r(NS_HEADER_SIZE, 0);
    r[0] = static_cast<std::uint8_t>(type);
    if (name != nullptr) {
        const std::size_t n = std::strlen(name);
        r[8] = NS_HEADER_SIZE;
        r.push_back(static_cast<std::uint8_t>(n));
        r.insert(r.end(), name, name + n);
        r.push_back(0);
    }
    return r;
}

std::string frame(const Bytes &plain) {
    std::uint8_t cipher[NS_MSG_SIZE + NS_SALT_SIZE];
    const int n = NsCrypt(cipher, plain.data(), static_cast<int>(plain.size()));
    std::string out(1, static_cast<char>(n & 0xff));
    out.append(reinterpret_cast<const char *>(cipher), static_cast<std::size_t>(n));
    return out;
}

std::string listStream(const std::vector<std::string> &names) {
    std::string s = frame(record(NS_LISTHEAD));
    for (const auto &n : names) s += frame(record(NS_OK, n.c_str()));
    return s + frame(record(NS_LISTEND));
}

Reply replyWith(Bytes rec) {
    Reply r;
    r.record = std::move(rec);
    return r;
}
Reply okReply() { return replyWith(record(NS_OK)); }

std::function<Reply(const Bytes &)> streamingHandler(std::string stream) {
    return [stream = std::move(stream)](const Bytes &) {
        Reply r = okReply();
        r.connectBack = true;
        r.stream = stream;
        return r;
    };
}

Reply lookupReply(const sockaddr_in &addr, const char *text) {
    ns::RecordBuilder b(NS_OK);
    b.name("\\\\x\\y").address(&addr, sizeof addr);
    if (text != nullptr) b.text(text);
    const auto *p = reinterpret_cast<const std::uint8_t *>(&b.message());
    return replyWith(Bytes(p, p + b.length()));
}

ns::UniqueFd boundSocket(const char *ip, std::uint16_t port, int backlog) {
    ns::UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in a = inetAddr(ip, port);
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0 ||
        (backlog > 0 && listen(fd.get(), backlog) != 0))
        fd.reset();
    return fd;
}
Reply typeReply(int type) { return replyWith(record(type)); }

ScriptedNsm::ScriptedNsm(Handler handler, const char *ip, std::uint16_t port)
    : handler_(std::move(handler)) {
    listenFd_.reset(socket(AF_INET, SOCK_STREAM, 0));
    const int one = 1;
    setsockopt(listenFd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in addr = inetAddr(ip, port);
    if (!listenFd_.valid() ||
        bind(listenFd_.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listenFd_.get(), 8) != 0 || pipe(wakeFds_) != 0)
        throw std::runtime_error("scripted name server: cannot listen");
    thread_ = std::thread([this] { serve(); });
}

ScriptedNsm::~ScriptedNsm() {
    wake(wakeFds_);
    thread_.join();
    close(wakeFds_[0]);
    close(wakeFds_[1]);
}

std::vector<Bytes> ScriptedNsm::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool ScriptedNsm::waitServed(std::size_t n, int waitMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (served_ < n) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void ScriptedNsm::serve() {
    blockAlarmHere();
    for (;;) {
        pollfd fds[2] = {{listenFd_.get(), POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) return;
        const int fd = accept(listenFd_.get(), nullptr, nullptr);
        if (fd < 0) continue;
        answer(fd);
        close(fd);
        ++served_;
    }
}

void ScriptedNsm::answer(int fd) {
    std::uint8_t len = 0;
    std::uint8_t cipher[NS_MSG_SIZE];
    if (!readFully(fd, &len, 1) || !readFully(fd, cipher, len)) return;
    Bytes request(NS_MSG_SIZE, 0);
    const int n = NsDecrypt(request.data(), cipher, len);
    request.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    const Reply reply = handler_(request);
    if (reply.record.empty()) return;
    const std::string out = frame(reply.record);
    sendFully(fd, out.data(), out.size());
    if (reply.connectBack) {
        sockaddr_in own{};
        socklen_t len = sizeof own;
        getsockname(fd, reinterpret_cast<sockaddr *>(&own), &len);
        connectBack(request, reply.stream, own);
    }
}

LogCapture::LogCapture() {
    const std::string path = useScriptedConfig() + "/" + LOG_PIPE_NAME;
    mkfifo(path.c_str(), 0600);
    fd_.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK));
    if (!fd_.valid() || pipe(wakeFds_) != 0) throw std::runtime_error("log capture: no pipe");
    DebugLevel = NS_LOG_FAIL | NS_LOG_TRACE;
    thread_ = std::thread([this] {
        blockAlarmHere();
        LogRecord rec;
        std::size_t have = 0;
        for (;;) {
            pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
            poll(fds, 2, 50);
            if (fds[1].revents != 0) return;
            const ssize_t got = read(fd_.get(), reinterpret_cast<char *>(&rec) + have, sizeof rec - have);
            if (got == 0) {
                // No writer holds the FIFO open: poll would not wait.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            } else if (got > 0) {
                have += static_cast<std::size_t>(got);
                if (have == sizeof rec) {
                    rec.text[LOG_TEXT_SIZE - 1] = '\0';
                    std::lock_guard lock(mutex_);
                    text_ += rec.text;
                    have = 0;
                }
            }
        }
    });
}

LogCapture::~LogCapture() {
    DebugLevel = 0;
    wake(wakeFds_);
    thread_.join();
    close(wakeFds_[0]);
    close(wakeFds_[1]);
}

std::string LogCapture::text() const {
    std::lock_guard lock(mutex_);
    return text_;
}

bool LogCapture::contains(std::string_view line, int waitMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (text().find(line) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ScriptedNsmTest::SetUp() {
    useScriptedConfig();
    log_ = std::make_unique<LogCapture>();
    DebugLog(NS_LOG_FAIL, "test start\n");  // the log pipe stays open from here on
    usptcp_Initialise();
}

void ScriptedNsmTest::serve(ScriptedNsm::Handler handler) {
    nsm_.reset();
    nsm_ = std::make_unique<ScriptedNsm>(std::move(handler));
    fds_ = openFdCount();
}

void ScriptedNsmTest::expectNoLeak(std::size_t requests) {
    ASSERT_TRUE(nsm_->waitServed(requests));
    EXPECT_EQ(openFdCount(), fds_);
}

}  // namespace nstest
