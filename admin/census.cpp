// census.cpp - the census of every name server manager that answers.
//
// One NS_CENSUS datagram goes to the census broadcast address; then, for 5
// seconds, every NS_MASTER or NS_BACKUP reply is printed as it arrives, one
// line "host (MASTER)" or "host (BACKUP)".  The listen ends when the census's
// own SIGALRM handler raises its flag and interrupts the receive.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "admin/census.h"
#include "admin/census_internal.hpp"
#include "rsockmap/location_internal.hpp"
#include "rsockmap/record.hpp"
#include "support/debug.h"
#include "support/signals_internal.hpp"
#include "support/sockets.h"
#include "support/unique_fd.hpp"

NsAddr BcastAddr{};
int bGotBcastAddr = 0;

namespace {

// The census timer has run out.  Set only by GotSigAlarm, cleared by each
// census before it arms its timer; separate from the flag of the signal and
// timer utilities.
volatile std::sig_atomic_t GotAlarm = 0;

constexpr unsigned int kCensusSeconds = 5;

sockaddr *asSockaddr(NsAddr *addr) { return reinterpret_cast<sockaddr *>(addr); }

void sendCensus(int fd) {
    NsMessage census{};
    census.type = NS_CENSUS;
    std::array<std::uint8_t, NS_MSG_SIZE> cipher{};
    const int len = NsCrypt(cipher.data(), &census, NS_HEADER_SIZE);
    sendto(fd, cipher.data(), static_cast<std::size_t>(len), 0, asSockaddr(&BcastAddr),
           NS_ADDR_SIZE);
}

// "host (MASTER)": the sender's host name, or its dotted address when it has
// none (printaddr's text cut before the port).
void printReply(const NsAddr &from, int type) {
    std::array<char, 32> dotted{};
    std::snprintf(dotted.data(), dotted.size(), "%s", printaddr(&from));
    if (char *blank = std::strchr(dotted.data(), ' ')) *blank = '\0';
    const hostent *host = gethostbyaddr(&from.sin_addr, 4, AF_INET);
    std::printf("%s (%s)\n", host != nullptr ? host->h_name : dotted.data(),
                type == NS_MASTER ? "MASTER" : "BACKUP");
    std::fflush(stdout);
}

}  // namespace

namespace ns {

int censusReplyType(const std::uint8_t *datagram, std::size_t size) {
    const ReceivedRecord reply =
        ReceivedRecord::decipher(std::span(datagram, datagram != nullptr ? size : 0));
    const int type = reply.view().type();
    return type == NS_MASTER || type == NS_BACKUP ? type : 0;
}

}  // namespace ns

extern "C" void GotSigAlarm(int sig) {
    (void)sig;
    GotAlarm = 1;
    signal(SIGALRM, GotSigAlarm);
}

extern "C" int FindAllNS(void) {
    const ns::UniqueFd sock = ns::openBroadcastSocket("findNS: socket failed (errno %d)\n",
                                                      "findNS: bind failed (errno %d)\n");
    if (!sock.valid()) return -1;
    // Should the alarm go off between the test of GotAlarm and recvfrom, the
    // receive would wait for a datagram that may never come; this timeout
    // ends it a second after the census's own time.
    ns::setSocketTimeout(sock.get(), SO_RCVTIMEO, kCensusSeconds + 1);
    if (!bGotBcastAddr) FindBcastAddr(sock.get(), &BcastAddr);

    sendCensus(sock.get());

    GotAlarm = 0;
    setSignalHandler(SIGALRM, GotSigAlarm, NS_SIG_NORESTART);
    alarm(kCensusSeconds);

    std::array<std::uint8_t, NS_MSG_SIZE> datagram{};
    NsAddr from{};
    socklen_t fromLen = NS_ADDR_SIZE;
    while (!GotAlarm) {
        const ssize_t got = recvfrom(sock.get(), datagram.data(), datagram.size(), 0,
                                     asSockaddr(&from), &fromLen);
        if (got < 0) {
            DebugLog(NS_LOG_FAIL, "findNS: no NSM (errno %d)\n", errno);
            break;
        }
        const int type = ns::censusReplyType(datagram.data(), static_cast<std::size_t>(got));
        if (type != 0) printReply(from, type);
    }

    alarm(0);
    setSignalHandler(SIGALRM, SIG_DFL, NS_SIG_NORESTART);
    return 0;
}
