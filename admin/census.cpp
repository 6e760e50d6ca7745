// census.cpp - nsadmin's census: one line for every name server manager that
// answers.
//
// The library's census broadcasts and listens for 5 seconds; each NS_MASTER
// or NS_BACKUP reply is printed here as it arrives, "host (MASTER)" or
// "host (BACKUP)".
#include <netdb.h>
#include <netinet/in.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "census.h"

namespace {

constexpr unsigned int kCensusSeconds = 5;

// "host (MASTER)": the sender's host name, or its dotted address when it has
// none (printaddr's text cut before the port).
void printReply(const NsCensusReply *reply, void *) {
    std::array<char, 32> dotted{};
    std::snprintf(dotted.data(), dotted.size(), "%s", printaddr(&reply->from));
    if (char *blank = std::strchr(dotted.data(), ' ')) *blank = '\0';
    const hostent *host = gethostbyaddr(&reply->from.sin_addr, 4, AF_INET);
    std::printf("%s (%s)\n", host != nullptr ? host->h_name : dotted.data(),
                reply->type == NS_MASTER ? "MASTER" : "BACKUP");
    std::fflush(stdout);
}

}  // namespace

extern "C" int FindAllNS(void) { return usptcp_TakeCensus(kCensusSeconds, printReply, nullptr); }
