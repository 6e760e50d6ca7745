// servsock.cpp - service sockets: the local host's identity, listening
// sockets registered under \\host\svc, connections to named services, and
// the syntax of service names.
//
// A server program calls createServerSocket (or createAuthServerSocket)
// once: the socket is bound to the first free port from 1025 on the host's
// own address and registered with the name service; UnregisterServerSocket
// closes it and removes the name.  createClientSocket looks a name up and
// connects, retrying with a growing pause for up to 10 seconds, then once
// more after a forward lookup.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "rsockmap/servsock.h"
#include "support/debug.h"
#include "support/signals.h"
#include "support/signals_internal.hpp"
#include "support/unique_fd.hpp"

namespace {

constexpr int kNameSize = 256;  // "\\host\svc" with its NUL
constexpr int kFirstPort = 1025;
constexpr int kLastPort = 32767;
constexpr int kServerBacklog = 5;
constexpr unsigned kConnectWindowSecs = 10;
constexpr int kFirstDelayMs = 100;

// The local host name as gethostname gave it, and its address; the family
// marks the address as looked up, the port is the last one a server socket
// tried.
char localHostName[128];
NsAddr localAddrIN;
// The name the last server socket was registered under (empty: none), and
// the socket of the last createServerSocket (-1: none).
char ServerUspAddr[kNameSize];
int ServerFD = -1;

// Builds "\\host\svc" (the local host name when host is null); false when
// it does not fit in 255 characters.
bool formatServiceName(const char *host, const char *svc, char (&out)[kNameSize]) {
    if (svc == nullptr) return false;
    const int n = std::snprintf(out, sizeof out, "\\\\%s\\%s", host ? host : localHostName, svc);
    return n >= 0 && n < kNameSize;
}

const sockaddr *asSockaddr(const NsAddr *addr) { return reinterpret_cast<const sockaddr *>(addr); }

struct ServerRequest {
    const char *host;
    const char *svc;
    int sock;  // the caller's socket, or negative for a new one
    bool listen;
    int type;           // registration type
    const char *level;  // registration level, or null
    const char *text;   // registration text, or null
};

// The step at which a server socket could not be made; each of the two
// operations logs it in its own words.
struct ServerFailure {
    enum Step { None, TooLong, Socket, Bind, Listen, Register };
    Step step = None;
    int err = 0;             // errno of the failed step
    char name[kNameSize]{};  // the name a failed registration was for
};

// The steps both server sockets share: socket, bind to the first free port,
// listen, register.  Returns the socket, or -1 after closing a socket it
// created (the caller's socket stays open) with *failure filled in.
int openServerSocket(const ServerRequest &req, NsAddr *addr, int *addrLen, ServerFailure *failure) {
    initialiseLocalAddr(nullptr, nullptr);
    ServerUspAddr[0] = '\0';
    char name[kNameSize];
    if (!formatServiceName(req.host, req.svc, name)) {
        failure->step = ServerFailure::TooLong;
        return -1;
    }

    ns::UniqueFd created;
    int fd = req.sock;
    if (fd < 0) {
        created.reset(socket(AF_INET, SOCK_STREAM, 0));
        if (!created.valid()) {
            failure->step = ServerFailure::Socket;
            failure->err = errno;
            return -1;
        }
        fd = created.get();
    }

    // The host's own address, not the wildcard.
    bool bound = false;
    for (int port = kFirstPort; port <= kLastPort && !bound; ++port) {
        localAddrIN.sin_port = htons(static_cast<std::uint16_t>(port));
        bound = bind(fd, asSockaddr(&localAddrIN), sizeof localAddrIN) == 0;
    }
    if (!bound) {
        failure->step = ServerFailure::Bind;
        failure->err = errno;
        return -1;
    }
    if (req.listen && listen(fd, kServerBacklog) != 0) {
        failure->step = ServerFailure::Listen;
        failure->err = errno;
        return -1;
    }

    if (addr != nullptr) {
        *addr = localAddrIN;
        if (addrLen != nullptr) *addrLen = sizeof localAddrIN;
    }
    std::memcpy(ServerUspAddr, name, sizeof name);
    if (usptcp_RegisterUspName(ServerUspAddr, &localAddrIN, sizeof localAddrIN, req.type, req.level,
                               req.text) != 0) {
        failure->step = ServerFailure::Register;
        failure->err = errno;
        std::memcpy(failure->name, ServerUspAddr, sizeof failure->name);
        ServerUspAddr[0] = '\0';
        return -1;
    }
    created.release();  // the caller owns it now
    return fd;
}

// One window of connection attempts to peer, under a 10-second alarm and a
// pause that starts at 100 ms and doubles.  Uses the caller's socket when
// callerSock is not negative, else a fresh socket in `own` for each try.
bool connectWithinWindow(const NsAddr &peer, int callerSock, ns::UniqueFd &own) {
    setAlarm(NS_SIG_SAVE, kConnectWindowSecs);
    const std::time_t start = std::time(nullptr);
    // The caller's socket gets its own send timeout back afterwards.
    timeval callerTimeout{};
    socklen_t timeoutLen = sizeof callerTimeout;
    const bool restoreTimeout = callerSock >= 0 && getsockopt(callerSock, SOL_SOCKET, SO_SNDTIMEO,
                                                              &callerTimeout, &timeoutLen) == 0;
    int delayMs = kFirstDelayMs;
    bool connected = false;
    for (;;) {
        int fd = callerSock;
        if (fd < 0) {
            own.reset();
            own.reset(socket(AF_INET, SOCK_STREAM, 0));
            if (!own.valid()) {
                DebugLog(NS_LOG_FAIL, "createClientSocket: socket errno %d\n", errno);
                break;
            }
            fd = own.get();
        }
        // An alarm that goes off after the test below, or during the pause,
        // leaves nothing to cut a connect that hangs: the send timeout ends
        // it (EINPROGRESS) a second after the window would have closed.
        const std::time_t left = start + kConnectWindowSecs - std::time(nullptr);
        ns::setSocketTimeout(fd, SO_SNDTIMEO, left > 0 ? static_cast<unsigned>(left) + 1 : 1);
        if (connect(fd, asSockaddr(&peer), sizeof peer) == 0 || errno == EISCONN) {
            connected = true;
            break;
        }
        const int err = errno;
        DebugLog(NS_LOG_TRACE, "createClientSocket: connect(%s) errno %d\n", printaddr(&peer), err);
        if (!ns::alarmFired() && std::time(nullptr) <= start + kConnectWindowSecs) {
            SleepMilliSeconds(delayMs);
            // Doubling stops at the window: pauses cut short by signals
            // could otherwise double it past what an int holds.
            delayMs = std::min(delayMs * 2, static_cast<int>(kConnectWindowSecs) * 1000);
            continue;
        }
        DebugLog(NS_LOG_FAIL, "createClientSocket: connect(%s) timeout, errno %d\n",
                 printaddr(&peer), err);
        break;
    }
    setAlarm(NS_SIG_RESTORE, 0);
    if (restoreTimeout)
        setsockopt(callerSock, SOL_SOCKET, SO_SNDTIMEO, &callerTimeout, sizeof callerTimeout);
    else if (own.valid())
        ns::setSocketTimeout(own.get(), SO_SNDTIMEO, 0);  // none, as a fresh socket has
    return connected;
}

}  // namespace

extern "C" int initialiseLocalAddr(char *hostName, NsAddr *addr) {
    if (localHostName[0] == '\0') {
        if (gethostname(localHostName, sizeof localHostName) != 0) {
            localHostName[0] = '\0';
            DebugLog(NS_LOG_FAIL, "initialiseLocalAddr: gethostname() failed, errno %d\n", errno);
            return -1;
        }
        localHostName[sizeof localHostName - 1] = '\0';
    }
    if (localAddrIN.sin_family == 0) {
        // Marked as looked up before the lookup: a failure is not repeated.
        localAddrIN.sin_family = AF_INET;
        const hostent *host = gethostbyname(localHostName);
        if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
            host->h_addr_list[0] == nullptr) {
            DebugLog(NS_LOG_FAIL, "initialiseLocalAddr: gethostbyname(%s) failed, errno %d\n",
                     localHostName, errno);
            return -1;
        }
        std::memcpy(&localAddrIN.sin_addr, host->h_addr_list[0], 4);
    }
    if (hostName != nullptr) std::snprintf(hostName, sizeof localHostName, "%s", localHostName);
    if (addr != nullptr) *addr = localAddrIN;
    return 0;
}

extern "C" int parseSockName(const char *name, char *host, int hostSize, char *svc, int svcSize) {
    if (name == nullptr || host == nullptr || svc == nullptr || hostSize < 1 || svcSize < 1)
        return -1;
    if (name[0] != '\\' || name[1] != '\\') return -1;
    host[0] = '\0';
    svc[0] = '\0';
    const char *rest = name + 2;
    const char *sep = std::strchr(rest, '\\');
    if (sep == nullptr || sep != std::strrchr(rest, '\\')) return -1;

    const std::size_t hostLen = static_cast<std::size_t>(sep - rest);
    if (hostLen > static_cast<std::size_t>(hostSize - 1)) return -1;
    for (std::size_t i = 0; i < hostLen; ++i) {
        const unsigned char c = static_cast<unsigned char>(rest[i]);
        host[i] = static_cast<char>(std::isupper(c) ? std::tolower(c) : c);
    }
    host[hostLen] = '\0';

    const char *service = sep + 1;
    const std::size_t svcLen = std::strlen(service);
    if (svcLen > static_cast<std::size_t>(svcSize - 1)) return -1;
    std::memcpy(svc, service, svcLen + 1);
    return 0;
}

namespace {

// The failure line of createServerSocket or (auth) createAuthServerSocket,
// each in its own words; returns -1 with errno as the failed step set it (a
// name too long leaves errno alone).
int failedServerSocket(const ServerFailure &failed, bool auth) {
    switch (failed.step) {
    case ServerFailure::None: break;
    case ServerFailure::TooLong:
        DebugLog(NS_LOG_FAIL, auth ? "createAuthServerSocket: service name too long\n"
                                   : "createServerSocket: service name too long\n");
        break;
    case ServerFailure::Socket:
        DebugLog(NS_LOG_FAIL,
                 auth ? "createAuthServerSocket: socket failed, errno %d\n"
                      : "createServerSocket: socket() failed, errno %d\n",
                 failed.err);
        break;
    case ServerFailure::Bind:
        DebugLog(NS_LOG_FAIL,
                 auth ? "createAuthServerSocket: bind failed, errno %d\n"
                      : "createServerSocket: bind failed (errno %d)\n",
                 failed.err);
        break;
    case ServerFailure::Listen:
        DebugLog(NS_LOG_FAIL,
                 auth ? "createAuthServerSocket: listen failed, errno %d\n"
                      : "createServerSocket: listen() failed, errno %d\n",
                 failed.err);
        break;
    case ServerFailure::Register:
        DebugLog(NS_LOG_FAIL,
                 auth ? "createAuthServerSocket: usptcp_RegisterUspName(%s) failed, errno %d\n"
                      : "createServerSocket: usptcp_RegisterUspName(%s) failed, errno %d\n",
                 failed.name, failed.err);
        break;
    }
    errno = failed.step == ServerFailure::TooLong ? EMSGSIZE : failed.err;
    return -1;
}

}  // namespace

extern "C" int createServerSocket(const char *host, const char *svc, int sock, NsAddr *addr,
                                  int *addrLen, int listenFlag, int type, const char *level) {
    const ServerRequest req{host, svc, sock, listenFlag != 0, type, level, nullptr};
    ServerFailure failed;
    const int fd = openServerSocket(req, addr, addrLen, &failed);
    if (fd >= 0) {
        ServerFD = fd;
        return fd;
    }
    return failedServerSocket(failed, false);
}

extern "C" int createAuthServerSocket(const char *host, const char *svc, NsAddr *addr,
                                      int *addrLen) {
    char pid[16];
    std::snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    const ServerRequest req{host, svc, -1, true, 2, nullptr, pid};
    ServerFailure failed;
    const int fd = openServerSocket(req, addr, addrLen, &failed);
    if (fd >= 0) return fd;
    return failedServerSocket(failed, true);
}

extern "C" int UnregisterServerSocket(void) {
    // Both are forgotten here, so a second call finds nothing to do.
    if (ServerFD != -1) {
        close(ServerFD);
        ServerFD = -1;
    }
    if (ServerUspAddr[0] == '\0') return 0;
    initialiseLocalAddr(nullptr, nullptr);
    const int result = usptcp_UnregisterUspName(ServerUspAddr, 0);
    ServerUspAddr[0] = '\0';
    return result;
}

extern "C" int createClientSocket(const char *host, const char *svc, int sock, NsAddr *addr,
                                  char *auth) {
    initialiseLocalAddr(nullptr, nullptr);
    char name[kNameSize];
    if (!formatServiceName(host, svc, name)) {
        DebugLog(NS_LOG_FAIL, "createClientSocket: service name too long\n");
        errno = EMSGSIZE;
        return -1;
    }
    ns::UniqueFd own;
    NsAddr peer{};
    bool connected = false;
    for (int attempt = 0; attempt < 2 && !connected; ++attempt) {
        // A success without an address item leaves the length at 0: there
        // is nothing to connect to, so it counts as a failed lookup.
        int len = 0;
        const int option = attempt == 0 ? 0 : NS_LOOKUP_FORWARD;
        if (usptcp_LookupUspName(name, &peer, &len, option, auth) != 0 || len <= 0) {
            DebugLog(NS_LOG_FAIL, "createClientSocket: lookup(%s) failed\n", name);
            break;
        }
        connected = connectWithinWindow(peer, sock, own);
    }
    if (!connected) return -1;  // a socket of our own closes itself
    if (addr != nullptr) *addr = peer;
    return sock >= 0 ? sock : own.release();
}
