// exchange.cpp - one request to the name server master over TCP.
//
// A request travels as one frame (a length byte L = N + 24, then the
// ciphertext), written with one send, and the master answers with one
// frame.  UspMapIO makes two attempts: the first reaches the remembered or
// configured master unless the previous exchange failed, the second always
// locates the master by broadcast.  Each connect runs under a 5-second
// alarm; reading the reply has no timer.  UspSend and UspReceive split the
// same exchange in two halves.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "rsockmap/exchange_internal.hpp"
#include "support/unique_fd.hpp"
#include "support/debug.h"
#include "support/signals_internal.hpp"
#include "support/signals.h"

namespace {

// Set by every UspMapIO attempt, cleared by a successful UspMapIO: after a
// failure the next exchange starts with a broadcast.
int bUseBcast = 0;

constexpr unsigned kConnectWait = 5;  // seconds

using Socket = ns::UniqueFd;

bool connectUnderTimer(int sock, const NsAddr &addr) {
    // Should the alarm go off before connect begins, the send timeout still
    // ends a connect that hangs (with EINPROGRESS), a second after the alarm;
    // the connected socket keeps no timeout.
    ns::setSocketTimeout(sock, SO_SNDTIMEO, kConnectWait + 1);
    setSignalHandler(SIGALRM, ReplyTimeout, NS_SIG_NORESTART);
    alarm(kConnectWait);
    const int rc = connect(sock, reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr);
    const int err = errno;
    alarm(0);
    setSignalHandler(SIGALRM, SIG_DFL, NS_SIG_NORESTART);
    ns::setSocketTimeout(sock, SO_SNDTIMEO, 0);
    errno = err;
    return rc == 0;
}

// Writes the frame, the length byte and the ciphertext, with one send: the
// two go out in one segment, where a lone length byte would leave the
// ciphertext waiting (Nagle) for the peer to acknowledge it, a round trip
// per exchange.  A short send is a failure.  A peer that has gone away gives
// EPIPE, not SIGPIPE.
bool writeFrame(int sock, const NsMessage *request, int n) {
    std::array<std::uint8_t, 1 + NS_MSG_SIZE> frame{};
    const int len = NsCrypt(frame.data() + 1, request, n);
    frame[0] = static_cast<std::uint8_t>(len & 0xff);
    return send(sock, frame.data(), static_cast<std::size_t>(1 + len), MSG_NOSIGNAL) == 1 + len;
}

// Requests longer than the frame can carry would overrun the ciphertext
// buffer; they are refused (EINVAL) before anything is sent.
bool requestFits(int n) {
    if (n >= 0 && n <= NS_MAX_TCP_RECORD) return true;
    errno = EINVAL;
    return false;
}

// The step at which an attempt failed; each operation logs it in its own
// words.
enum class SendStep { None, Socket, Locate, Connect, Write };

struct Attempt {
    SendStep failed = SendStep::None;
    int err = 0;      // errno of the failed step
    NsAddr master{};  // where the connection went
};

// One attempt: a fresh TCP socket, the master from findNS, a connect under
// the timer and the framed request.  On success *sock holds the connection.
Attempt sendAttempt(const NsMessage *request, int n, int bcast, int *sock) {
    Attempt a;
    Socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (s.get() < 0)
        a.failed = SendStep::Socket;
    else if (findNS(bcast, &a.master) != 0)
        a.failed = SendStep::Locate;  // findNS has logged why
    else if (!connectUnderTimer(s.get(), a.master))
        a.failed = SendStep::Connect;
    else if (!writeFrame(s.get(), request, n))
        a.failed = SendStep::Write;
    if (a.failed != SendStep::None) {
        a.err = errno;
        return a;
    }
    *sock = s.release();
    return a;
}

// The failure line of UspMapIO's (mapIO) or UspSend's attempt, each in its
// own words; errno is left as the failed step set it.
void logAttemptFailure(const Attempt &a, bool mapIO) {
    switch (a.failed) {
    case SendStep::None: return;
    case SendStep::Locate: break;
    case SendStep::Socket:
        DebugLog(NS_LOG_FAIL,
                 mapIO ? "UspMapIO: nl_socket failed (errno %d)\n"
                       : "UspSend: socket failed (errno %d)\n",
                 a.err);
        break;
    case SendStep::Connect:
        DebugLog(NS_LOG_FAIL,
                 mapIO ? "UspMapIO: nl_connect(%s) failed (errno %d)\n"
                       : "UspSend: connect(%s) failed (errno %d)\n",
                 printaddr(&a.master), a.err);
        break;
    case SendStep::Write:
        DebugLog(NS_LOG_FAIL,
                 mapIO ? "UspMapIO: nl_writesocket failed (errno %d)\n"
                       : "UspSend: write failed (errno %d)\n",
                 a.err);
        break;
    }
    errno = a.err;
}

// The read function of the frame loops for a descriptor.
struct FdReader {
    int fd;
    ssize_t operator()(void *buf, std::size_t n) const { return read(fd, buf, n); }
};

}  // namespace

namespace ns {

ReceivedRecord mapIO(const NsMessage *request, int n, NsAddr *answeredBy) {
    if (!requestFits(n)) {
        DebugLog(NS_LOG_FAIL, "UspMapIO: request length %d out of range\n", n);
        return ReceivedRecord();
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = -1;
        const Attempt sent = sendAttempt(request, n, bUseBcast, &fd);
        logAttemptFailure(sent, true);
        if (sent.failed == SendStep::Socket) return ReceivedRecord();
        ReceivedRecord reply;
        if (sent.failed == SendStep::None) {
            Socket s(fd);
            reply = receiveReply(FdReader{s.get()}, true);
        }
        bUseBcast = 1;
        if (reply.arrived()) {
            bUseBcast = 0;
            if (answeredBy != nullptr) *answeredBy = sent.master;
            return reply;
        }
    }
    return ReceivedRecord();
}

ReceivedRecord receiveAndClose(int fd) {
    Socket s(fd);
    return receiveReply(FdReader{s.get()}, false);
}

bool recordFits(const char *who, const RecordBuilder &request) {
    if (request.ok()) return true;
    DebugLog(NS_LOG_FAIL, "%s: request too long for the record\n", who);
    errno = EMSGSIZE;
    return false;
}

void resetExchangeState() { bUseBcast = 0; }

}  // namespace ns

// The public calls hand the reply back in the caller's record, which carries
// no size.  So that nothing but what arrived can be read there, the received
// bytes come with zero bytes behind them to the end of the record (a reply
// too short to hold a type leaves the record untouched).  The library's own
// readers never read such a record: they take the reply from ns::mapIO and
// ns::receiveAndClose, which keep its size with its bytes.
extern "C" int UspMapIO(const NsMessage *request, int n, NsMessage *reply) {
    const ns::ReceivedRecord received = ns::mapIO(request, n);
    if (received.arrived()) received.copyTo(reply);
    return received.type();
}

extern "C" int UspSend(const NsMessage *request, int n, int bcast) {
    if (!requestFits(n)) {
        DebugLog(NS_LOG_FAIL, "UspSend: request length %d out of range\n", n);
        return -1;
    }
    for (int attempt = bcast ? 1 : 0; attempt < 2; ++attempt) {
        int fd = -1;
        const Attempt sent = sendAttempt(request, n, bcast, &fd);
        logAttemptFailure(sent, false);
        if (sent.failed == SendStep::None) return fd;
        if (sent.failed == SendStep::Socket) return -1;
        bcast = 1;
    }
    return -1;
}

extern "C" int UspReceive(int fd, NsMessage *reply) {
    const ns::ReceivedRecord received = ns::receiveAndClose(fd);
    if (received.arrived()) received.copyTo(reply);
    return received.type();
}

extern "C" int read_char(int fd, char *c) { return static_cast<int>(read(fd, c, 1)); }

extern "C" int read_string(int fd, char *buf, int n) {
    if (n <= 0) {
        buf[0] = '\0';
        return n;
    }
    const ssize_t got = ns::readExactly(FdReader{fd}, buf, static_cast<std::size_t>(n));
    if (got != n) return static_cast<int>(got);
    buf[n] = '\0';
    return n;
}

extern "C" int write_char(int fd, int c) {
    const auto byte = static_cast<unsigned char>(c & 0xff);
    for (;;) {
        const ssize_t put = write(fd, &byte, 1);
        if (put < 0) return static_cast<int>(put);
        if (put == 1) return 0;
    }
}

extern "C" int write_string(int fd, const char *buf, int n) {
    while (n > 0) {
        const ssize_t put = write(fd, buf, static_cast<std::size_t>(n));
        if (put < 0) return static_cast<int>(put);
        buf += put;
        n -= static_cast<int>(put);
    }
    return 0;
}
