// census.cpp - the census of every name server manager that answers.
//
// One NS_CENSUS datagram goes to the census broadcast address; then, for the
// caller's time, every NS_MASTER or NS_BACKUP reply is handed to the
// caller's handler as it arrives.  The listen ends when the census's own
// SIGALRM handler raises its flag and interrupts the receive.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "rsockmap/census_internal.hpp"
#include "rsockmap/location_internal.hpp"
#include "rsockmap/record.hpp"
#include "support/debug.h"
#include "support/signals.h"
#include "support/signals_internal.hpp"
#include "support/unique_fd.hpp"

NsAddr BcastAddr{};
int bGotBcastAddr = 0;

namespace {

// The census timer has run out.  Set only by GotSigAlarm, cleared by each
// census before it arms its timer; separate from the flag of the signal and
// timer utilities.
volatile std::sig_atomic_t GotAlarm = 0;

sockaddr *asSockaddr(NsAddr *addr) { return reinterpret_cast<sockaddr *>(addr); }

}  // namespace

namespace ns {

bool decodeCensusReply(std::span<const std::uint8_t> datagram, const NsAddr &from,
                       NsCensusReply *reply) {
    const ReceivedRecord received = ReceivedRecord::decipher(datagram);
    const RecordView record = received.view();
    const int type = record.type();
    if (type != NS_MASTER && type != NS_BACKUP) return false;
    reply->type = type;
    reply->from = from;
    reply->addr = from;
    reply->hasAddr = record.addressItem(&reply->addr) >= 0 ? 1 : 0;
    return true;
}

int censusReplyType(const std::uint8_t *datagram, std::size_t size) {
    NsCensusReply reply{};
    const bool listed = decodeCensusReply({datagram, size}, NsAddr{}, &reply);
    return listed ? reply.type : 0;
}

}  // namespace ns

extern "C" void GotSigAlarm(int sig) {
    (void)sig;
    GotAlarm = 1;
    signal(SIGALRM, GotSigAlarm);
}

extern "C" int usptcp_TakeCensus(unsigned int seconds, NsCensusHandler handler, void *arg) {
    // alarm(0) would arm nothing, and the receive timeout below is a second
    // longer than the census: a bounded time keeps both meaningful.
    if (seconds == 0 || seconds > 86400) {
        errno = EINVAL;
        return -1;
    }
    const ns::BroadcastSocket opened = ns::openBroadcastSocket();
    if (opened.failed == ns::BroadcastSocket::Socket)
        DebugLog(NS_LOG_FAIL, "findNS: socket failed (errno %d)\n", opened.err);
    if (opened.failed == ns::BroadcastSocket::Bind)
        DebugLog(NS_LOG_FAIL, "findNS: bind failed (errno %d)\n", opened.err);
    if (!opened.fd.valid()) return -1;
    const ns::UniqueFd &sock = opened.fd;
    // Should the alarm go off between the test of GotAlarm and recvfrom, the
    // receive would wait for a datagram that may never come; this timeout
    // ends it a second after the census's own time.
    ns::setSocketTimeout(sock.get(), SO_RCVTIMEO, seconds + 1);
    if (!bGotBcastAddr) FindBcastAddr(sock.get(), &BcastAddr);

    ns::sendBareHeader(sock.get(), NS_CENSUS, BcastAddr);
    const auto sent = std::chrono::steady_clock::now();

    GotAlarm = 0;
    setSignalHandler(SIGALRM, GotSigAlarm, NS_SIG_NORESTART);
    alarm(seconds);

    std::array<std::uint8_t, NS_MSG_SIZE> datagram{};
    NsAddr from{};
    socklen_t fromLen = NS_ADDR_SIZE;
    while (!GotAlarm) {
        const ssize_t got =
            recvfrom(sock.get(), datagram.data(), datagram.size(), 0, asSockaddr(&from), &fromLen);
        if (got < 0) {
            DebugLog(NS_LOG_FAIL, "findNS: no NSM (errno %d)\n", errno);
            break;
        }
        const auto arrived = std::chrono::steady_clock::now();
        NsCensusReply reply{};
        if (!ns::decodeCensusReply({datagram.data(), static_cast<std::size_t>(got)}, from, &reply))
            continue;
        reply.micros = static_cast<long>(
            std::chrono::duration_cast<std::chrono::microseconds>(arrived - sent).count());
        if (handler != nullptr) handler(&reply, arg);
    }

    alarm(0);
    setSignalHandler(SIGALRM, SIG_DFL, NS_SIG_NORESTART);
    return 0;
}
