// census_shim.cpp - TEMPORARY: DELETE AT MERGE (with census_shim.h).
//
// A private stand-in for the library's census operation usptcp_TakeCensus,
// until the library offers it under "rsockmap/census.h"; with that header
// present this file compiles to nothing.  It works as nsadmin's census does:
// one NS_CENSUS datagram to the census broadcast address, then every
// NS_MASTER or NS_BACKUP reply that arrives within the given seconds goes to
// the handler, in order of arrival.  The listen ends when its own SIGALRM
// handler raises a flag and interrupts the receive; a receive timeout a
// second after the alarm covers an alarm that goes off between the test of
// the flag and the receive.
#if !__has_include("rsockmap/census.h")

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>

#include "census_shim.h"
#include "rsockmap/location_internal.hpp"
#include "rsockmap/record.hpp"
#include "support/debug.h"
#include "support/signals_internal.hpp"
#include "support/sockets.h"

// Weak: nsadmin's census defines the same two where both are linked (the
// tests); there is one of each either way.
__attribute__((weak)) NsAddr BcastAddr{};
__attribute__((weak)) int bGotBcastAddr = 0;

namespace {

volatile std::sig_atomic_t censusOver = 0;

extern "C" void censusAlarm(int) { censusOver = 1; }

sockaddr *asSockaddr(NsAddr *addr) { return reinterpret_cast<sockaddr *>(addr); }

// Deciphers a datagram; true with *reply filled for a census reply.
bool decodeCensusReply(const std::uint8_t *datagram, std::size_t size, const NsAddr &from,
                       NsCensusReply *reply) {
    std::array<std::uint8_t, NS_MSG_SIZE> cipher{};
    std::array<std::uint8_t, NS_MSG_SIZE> plain{};
    const std::size_t len = std::min(size, cipher.size());
    std::copy_n(datagram, len, cipher.begin());
    const int n = NsDecrypt(plain.data(), cipher.data(), static_cast<int>(len));
    if (n <= 0) return false;
    const ns::RecordView view(plain.data(), static_cast<std::size_t>(n));
    const int type = plain[0];
    if (type != NS_MASTER && type != NS_BACKUP) return false;
    reply->type = type;
    reply->from = from;
    reply->addr = from;
    reply->hasAddr = view.addressItem(&reply->addr) >= 0 ? 1 : 0;
    return true;
}

}  // namespace

extern "C" int usptcp_TakeCensus(unsigned int seconds, NsCensusHandler handler, void *arg) {
    const ns::UniqueFd sock = ns::openBroadcastSocket("findNS: socket failed (errno %d)\n",
                                                      "findNS: bind failed (errno %d)\n");
    if (!sock.valid()) return -1;
    ns::setSocketTimeout(sock.get(), SO_RCVTIMEO, seconds + 1);
    if (!bGotBcastAddr) FindBcastAddr(sock.get(), &BcastAddr);

    NsMessage census{};
    census.type = NS_CENSUS;
    std::array<std::uint8_t, NS_MSG_SIZE> cipher{};
    const int len = NsCrypt(cipher.data(), &census, NS_HEADER_SIZE);
    const auto start = std::chrono::steady_clock::now();
    sendto(sock.get(), cipher.data(), static_cast<std::size_t>(len), 0, asSockaddr(&BcastAddr),
           NS_ADDR_SIZE);

    censusOver = 0;
    setSignalHandler(SIGALRM, censusAlarm, NS_SIG_NORESTART);
    alarm(seconds);

    std::array<std::uint8_t, NS_MSG_SIZE> datagram{};
    while (!censusOver) {
        NsAddr from{};
        socklen_t fromLen = NS_ADDR_SIZE;
        const ssize_t got = recvfrom(sock.get(), datagram.data(), datagram.size(), 0,
                                     asSockaddr(&from), &fromLen);
        if (got < 0) {
            DebugLog(NS_LOG_FAIL, "findNS: no NSM (errno %d)\n", errno);
            break;
        }
        NsCensusReply reply{};
        if (!decodeCensusReply(datagram.data(), static_cast<std::size_t>(got), from, &reply))
            continue;
        reply.micros = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                             std::chrono::steady_clock::now() - start)
                                             .count());
        if (handler != nullptr) handler(&reply, arg);
    }

    alarm(0);
    setSignalHandler(SIGALRM, SIG_DFL, NS_SIG_NORESTART);
    return 0;
}

#endif
