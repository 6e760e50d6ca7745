// location.cpp - finding the name server master, and the local identity.
//
// The master is found in this order: the address remembered from the last
// successful discovery (the override), the address configured under
// TALVEN_NAMESVC ("host.port"), or a discovery by UDP broadcast on the local
// network.  Discovery has two phases: NS_FINDMASTER with 5-second waits, then
// NS_FINDANY with 10-second waits; the first NS_MASTER reply wins.  Replies of
// any other type do not end a phase: each one starts a fresh wait.
//
// The local host's name and address are looked up once per process; the
// client binds its discovery socket to that address.
#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rsockmap/location_internal.hpp"
#include "rsockmap/record.hpp"
#include "support/debug.h"
#include "support/env.h"
#include "support/signals_internal.hpp"
#include "support/signals.h"
#include "support/unique_fd.hpp"

namespace {

// The local host as usptcp_Initialise found it.
std::array<char, 128> szHostName{};
NsAddr LocalSockAddr{};
bool bInitialised = false;

// The master found by the most recent successful discovery.
bool bGotOverride = false;
NsAddr OverrideAddr{};

// Where discovery datagrams go; refreshed from the interfaces at each
// discovery and kept when no interface qualifies.
NsAddr DiscoveryBcastAddr{};

constexpr int kFirstLocalPort = 1025;
constexpr int kLastLocalPort = 32766;
constexpr unsigned kFindMasterWait = 5;  // seconds per receive, first phase
constexpr unsigned kFindAnyWait = 10;    // seconds per receive, second phase
constexpr std::size_t kInterfaceListSize = 1024;

// The first address of a host entry into *addr (family 2, port 0); false when
// the entry holds no IPv4 address.
bool takeHostAddress(const struct hostent *h, NsAddr *addr) {
    if (h == nullptr || h->h_addrtype != AF_INET || h->h_length < 4 || h->h_addr_list == nullptr ||
        h->h_addr_list[0] == nullptr)
        return false;
    std::memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    std::memcpy(&addr->sin_addr, h->h_addr_list[0], 4);
    return true;
}

// Looks szHostName up and sets LocalSockAddr; logs a failed lookup.
bool lookUpLocalHost() {
    const struct hostent *h = gethostbyname(szHostName.data());
    NsAddr found{};
    if (!takeHostAddress(h, &found)) {
        DebugLog(NS_LOG_FAIL, "usptcp_Initialise: nl_gethostbyname failed (errno %d)\n", errno);
        return false;
    }
    LocalSockAddr = found;
    DebugLog(NS_LOG_TRACE, "usptcp_Initialise: LocalSockAddr = %s\n", printaddr(&LocalSockAddr));
    return true;
}

// The value of TALVEN_NAMESVC, or null when it is unset or empty.
const char *configuredValue() {
    rbgetenv();
    return (Marlod != nullptr && Marlod[0] != '\0') ? Marlod : nullptr;
}

// Every character a decimal digit or "." (true for the empty text).
bool allDigitsAndDots(const char *s) {
    for (; *s != '\0'; ++s)
        if ((*s < '0' || *s > '9') && *s != '.') return false;
    return true;
}

// One wait of a discovery phase: receives under an alarm of `seconds` until a
// master answers (true, *master filled) or a receive fails or times out.
bool awaitMaster(int sock, unsigned seconds, NsAddr *master) {
    std::array<std::uint8_t, NS_MSG_SIZE> datagram{};
    // An alarm that goes off just before recvfrom begins interrupts nothing:
    // the receive timeout then ends the wait a second later than the alarm.
    ns::setSocketTimeout(sock, SO_RCVTIMEO, seconds + 1);
    for (;;) {
        NsAddr source{};
        socklen_t sourceLen = sizeof source;
        setSignalHandler(SIGALRM, BcastTimeout, NS_SIG_NORESTART);
        alarm(seconds);
        const ssize_t got = recvfrom(sock, datagram.data(), datagram.size(), 0,
                                     reinterpret_cast<struct sockaddr *>(&source), &sourceLen);
        const int err = errno;
        alarm(0);
        setSignalHandler(SIGALRM, SIG_DFL, NS_SIG_NORESTART);
        if (got < 0) {
            DebugLog(NS_LOG_FAIL, "findNS: no NSM (errno %d)\n", err);
            errno = err;
            return false;
        }
        const auto reply = ns::decodeDiscoveryReply(
            std::span<const std::uint8_t>(datagram.data(), static_cast<std::size_t>(got)), source,
            master);
        if (reply == ns::DiscoveryReply::MasterOwn) {
            DebugLog(NS_LOG_TRACE, "findNS: NSM master own address %s\n", printaddr(master));
            return true;
        }
        if (reply == ns::DiscoveryReply::MasterDefault) {
            DebugLog(NS_LOG_TRACE, "findNS: NSM master default address %s\n", printaddr(master));
            return true;
        }
        // Anything else (a backup's reply, a short datagram): wait afresh.
    }
}

}  // namespace

namespace ns {

bool bindLocalPort(int sock, NsAddr *bound) {
    NsAddr local{};
    int len = 0;
    usptcp_GetLocalAddr(&local, &len);
    local.sin_family = AF_INET;
    for (int port = kFirstLocalPort; port <= kLastLocalPort; ++port) {
        local.sin_port = htons(static_cast<std::uint16_t>(port));
        if (bind(sock, reinterpret_cast<const struct sockaddr *>(&local), sizeof local) == 0) {
            if (bound != nullptr) *bound = local;
            return true;
        }
    }
    return false;
}

void sendBareHeader(int sock, int type, const NsAddr &to) {
    NsMessage request{};
    request.type = static_cast<unsigned char>(type);
    std::array<std::uint8_t, NS_HEADER_SIZE + NS_SALT_SIZE> cipher{};
    const int len = NsCrypt(cipher.data(), &request, NS_HEADER_SIZE);
    (void)sendto(sock, cipher.data(), static_cast<std::size_t>(len), 0,
                 reinterpret_cast<const struct sockaddr *>(&to), sizeof to);
}

BroadcastSocket openBroadcastSocket() {
    BroadcastSocket result;
    result.fd.reset(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!result.fd.valid()) {
        result.failed = BroadcastSocket::Socket;
        result.err = errno;
        return result;
    }
    if (!bindLocalPort(result.fd.get())) {
        result.failed = BroadcastSocket::Bind;
        result.err = errno;
        result.fd.reset();
        errno = result.err;
        return result;
    }
    const int on = 1;
    (void)setsockopt(result.fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    return result;
}

ConfiguredServer parseConfiguredServer(std::string_view value) {
    ConfiguredServer result;
    const std::size_t dot = value.rfind('.');
    if (dot == std::string_view::npos) {
        result.host = std::string(value);
        return result;
    }
    result.host = std::string(value.substr(0, dot));
    // atoi: leading blanks, a sign, digits; anything else ends the number.
    const std::string portText(value.substr(dot + 1));
    const long port = std::strtol(portText.c_str(), nullptr, 10);
    result.port = static_cast<std::uint16_t>(static_cast<unsigned long>(port) & 0xffffu);
    return result;
}

DiscoveryReply decodeDiscoveryReply(std::span<const std::uint8_t> datagram, const NsAddr &source,
                                    NsAddr *master) {
    const ReceivedRecord received = ReceivedRecord::decipher(datagram);
    const RecordView reply = received.view();
    if (reply.type() != NS_MASTER) return DiscoveryReply::Ignored;

    NsAddr found = source;
    const bool own = reply.addressItem(&found) >= 0;
    found.sin_family = AF_INET;
    *master = found;
    return own ? DiscoveryReply::MasterOwn : DiscoveryReply::MasterDefault;
}

void resetLocationState() {
    szHostName.fill('\0');
    LocalSockAddr = NsAddr{};
    bInitialised = false;
    bGotOverride = false;
    OverrideAddr = NsAddr{};
    DiscoveryBcastAddr = NsAddr{};
}

}  // namespace ns

extern "C" void usptcp_Initialise(void) {
    if (bInitialised) return;
    bInitialised = true;  // a failed initialisation is never repeated

    (void)gethostname(szHostName.data(), szHostName.size());
    szHostName.back() = '\0';
    DebugLog(NS_LOG_TRACE, "usptcp_Initialise: szHostName = '%s'\n", szHostName.data());
    if (!lookUpLocalHost()) return;
    if (LocalSockAddr.sin_addr.s_addr != 0) return;

    // The full name resolved to 0.0.0.0: try once more with the name cut at
    // its first ".".
    char *dot = std::strchr(szHostName.data(), '.');
    if (dot == nullptr) return;
    *dot = '\0';
    DebugLog(NS_LOG_TRACE, "usptcp_Initialise: szHostName = '%s'\n", szHostName.data());
    (void)lookUpLocalHost();
}

extern "C" void usptcp_GetLocalAddr(NsAddr *addr, int *len) {
    usptcp_Initialise();
    std::memcpy(addr, &LocalSockAddr, sizeof LocalSockAddr);
    *len = static_cast<int>(sizeof LocalSockAddr);
}

extern "C" unsigned int GetInetAddr(const char *host) {
    if (host == nullptr) return 0;
    if (allDigitsAndDots(host)) {
        // A dotted number: four parts, each shifted into place without range
        // checks.  Fewer than four parts (or none) name no address.
        long part[4] = {0, 0, 0, 0};
        if (std::sscanf(host, "%ld.%ld.%ld.%ld", &part[0], &part[1], &part[2], &part[3]) != 4)
            return 0;
        const std::uint32_t value = (static_cast<std::uint32_t>(part[0]) << 24) |
                                    (static_cast<std::uint32_t>(part[1]) << 16) |
                                    (static_cast<std::uint32_t>(part[2]) << 8) |
                                    static_cast<std::uint32_t>(part[3]);
        return htonl(value);
    }
    NsAddr found{};
    if (!takeHostAddress(gethostbyname(host), &found)) return 0;
    return found.sin_addr.s_addr;
}

extern "C" int presetNS(NsAddr *fill, const NsAddr *remember) {
    DebugLog(NS_LOG_TRACE, "presetNS(%d, %d)\n",
             static_cast<int>(reinterpret_cast<std::intptr_t>(fill)),
             static_cast<int>(reinterpret_cast<std::intptr_t>(remember)));
    if (remember != nullptr) {
        DebugLog(NS_LOG_TRACE, "presetNS: setting override %s\n", printaddr(remember));
        bGotOverride = true;
        std::memcpy(&OverrideAddr, remember, sizeof OverrideAddr);
        return 0;
    }
    if (bGotOverride) {
        DebugLog(NS_LOG_TRACE, "presetNS: returning override %s\n", printaddr(&OverrideAddr));
        std::memcpy(fill, &OverrideAddr, sizeof OverrideAddr);
        return 0;
    }
    const char *value = configuredValue();
    if (value == nullptr) return -1;
    const ns::ConfiguredServer server = ns::parseConfiguredServer(value);
    DebugLog(NS_LOG_TRACE, "presetNS: calling GetInetAddr(%s)\n", server.host.c_str());
    const unsigned int address = GetInetAddr(server.host.c_str());
    if (address == 0) return -1;
    // The zero bytes of *fill are left alone: callers pass cleared records.
    fill->sin_family = AF_INET;
    fill->sin_port = htons(server.port);
    fill->sin_addr.s_addr = address;
    DebugLog(NS_LOG_TRACE, "presetNS: returning %s\n", printaddr(fill));
    return 0;
}

extern "C" int FindBcastAddr(int sock, NsAddr *bcast) {
    std::uint16_t port = NS_DEFAULT_PORT;
    std::array<char, kInterfaceListSize> list{};
    struct ifconf ifc {};
    ifc.ifc_len = static_cast<int>(list.size());
    ifc.ifc_buf = list.data();
    if (ioctl(sock, SIOCGIFCONF, &ifc) < 0) {
        DebugLog(NS_LOG_FAIL, "FindBcastAddr: ioctl(SIOCGIFCONF) failed (errno %d)\n", errno);
        return -1;
    }
    // The list holds whole interface request records of the platform's size.
    const std::size_t used = std::min<std::size_t>(static_cast<std::size_t>(ifc.ifc_len), list.size());
    const std::size_t count = used / sizeof(struct ifreq);
    for (std::size_t i = 0; i < count; ++i) {
        struct ifreq entry;
        std::memcpy(&entry, list.data() + i * sizeof entry, sizeof entry);
        if (entry.ifr_addr.sa_family != AF_INET) continue;

        struct ifreq flags = entry;
        if (ioctl(sock, SIOCGIFFLAGS, &flags) < 0) {
            DebugLog(NS_LOG_FAIL, "FindBcastAddr: ioctl(SIOCGIFFLAGS) failed (errno %d)\n", errno);
            return -1;
        }
        const int f = flags.ifr_flags;
        if (!(f & IFF_UP) || (f & IFF_LOOPBACK) || !(f & IFF_BROADCAST)) continue;

        struct ifreq broadcast = entry;
        if (ioctl(sock, SIOCGIFBRDADDR, &broadcast) < 0) {
            DebugLog(NS_LOG_FAIL, "FindBcastAddr: ioctl(SIOCGIFBRDADDR) failed (errno %d)\n",
                     errno);
            return -1;
        }
        // Only the port of the configured value counts here.
        if (const char *value = configuredValue(); value != nullptr)
            port = ns::parseConfiguredServer(value).port;

        struct sockaddr_in brd;
        std::memcpy(&brd, &broadcast.ifr_broadaddr, sizeof brd);
        bcast->sin_family = AF_INET;
        bcast->sin_port = htons(port);
        bcast->sin_addr = brd.sin_addr;
        DebugLog(NS_LOG_TRACE, "FindBcastAddr: broadcast address = %s\n", printaddr(bcast));
    }
    return 0;
}

extern "C" int findNS(int bcast, NsAddr *addr) {
    DebugLog(NS_LOG_TRACE, "findNS(bcast = %d)\n", bcast);
    if (bcast == 0 && presetNS(addr, nullptr) == 0) return 0;

    const ns::BroadcastSocket opened = ns::openBroadcastSocket();
    if (opened.failed == ns::BroadcastSocket::Socket)
        DebugLog(NS_LOG_FAIL, "findNS: nl_socket failed (errno %d)\n", opened.err);
    if (opened.failed == ns::BroadcastSocket::Bind)
        DebugLog(NS_LOG_FAIL, "findNS: nl_bind failed (errno %d)\n", opened.err);
    if (!opened.fd.valid()) return -1;
    const ns::UniqueFd &sock = opened.fd;
    (void)FindBcastAddr(sock.get(), &DiscoveryBcastAddr);

    NsAddr master{};
    ns::sendBareHeader(sock.get(), NS_FINDMASTER, DiscoveryBcastAddr);
    bool found = awaitMaster(sock.get(), kFindMasterWait, &master);
    if (!found) {
        ns::sendBareHeader(sock.get(), NS_FINDANY, DiscoveryBcastAddr);
        found = awaitMaster(sock.get(), kFindAnyWait, &master);
    }
    if (!found) return -1;
    *addr = master;
    presetNS(nullptr, &master);
    return 0;
}

extern "C" void BcastTimeout(int sig) { DebugLog(NS_LOG_TRACE, "BcastTimeout (signal %d)\n", sig); }

extern "C" void ReplyTimeout(int sig) { DebugLog(NS_LOG_TRACE, "ReplyTimeout (signal %d)\n", sig); }
