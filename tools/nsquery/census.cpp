// census.cpp - nsquery census: the library's census, each name server shown
// once, with its role, address and how long its reply took.
//
//   text:  NAME ROLE a.b.c.d (port) X.Y ms      one line per name server
//   JSON:  [{"name":...,"role":"master","address":...,"port":...,"ms":...}]
//
// NAME is the host name of the reply's source, or its dotted address (JSON:
// null) when it has none; the address and port are the reply's address
// item, else its source.  Exit 0 when a master answered, else 1.
#include <arpa/inet.h>
#include <netdb.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "census.hpp"
#include "../common/escape.hpp"
#include "rsockmap/census.h"

namespace nsquery {
namespace {

bool sameSender(const NsAddr &a, const NsAddr &b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

extern "C" void collect(const NsCensusReply *reply, void *arg) {
    auto &servers = *static_cast<std::vector<NameServer> *>(arg);
    for (const NameServer &known : servers)
        if (sameSender(known.from, reply->from)) return;
    NameServer server;
    server.type = reply->type;
    server.from = reply->from;
    server.addr = reply->addr;
    server.micros = reply->micros;
    servers.push_back(server);
}

const char *roleName(const NameServer &server, bool upper) {
    if (server.master()) return upper ? "MASTER" : "master";
    return upper ? "BACKUP" : "backup";
}

}  // namespace

std::string NameServer::shownName() const {
    return hostName.empty() ? dottedAddress(from) : hostName;
}

const NameServer *Census::firstMaster() const {
    for (const NameServer &server : servers)
        if (server.master()) return &server;
    return nullptr;
}

int Census::backups() const {
    int count = 0;
    for (const NameServer &server : servers)
        if (!server.master()) ++count;
    return count;
}

std::string dottedAddress(const NsAddr &addr) {
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr.sin_addr, dotted, sizeof dotted);
    return dotted;
}

std::string hostNameOf(const NsAddr &addr) {
    const hostent *host = gethostbyaddr(&addr.sin_addr, 4, AF_INET);
    return host != nullptr && host->h_name != nullptr ? host->h_name : "";
}

Census takeCensus(const Command &cmd) {
    if (cmd.bcastGiven) {
        BcastAddr = cmd.bcast;
        bGotBcastAddr = 1;
    }
    Census result;
    const auto start = std::chrono::steady_clock::now();
    result.ran = usptcp_TakeCensus(cmd.waitSecs, collect, &result.servers) == 0;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Names are asked for after the listen, so that no lookup delays it.
    for (NameServer &server : result.servers) server.hostName = hostNameOf(server.from);
    return result;
}

int census(const Command &cmd) {
    const Census taken = takeCensus(cmd);
    if (!taken.ran) return reportFailure(cmd, kNoCensusSocket);
    if (cmd.json) {
        std::string array = "[";
        for (const NameServer &server : taken.servers) {
            JsonObject doc;
            if (server.hostName.empty())
                doc.null("name");
            else
                doc.text("name", server.hostName);
            doc.text("role", roleName(server, false));
            addAddress(doc, &server.addr);
            doc.decimal("ms", static_cast<double>(server.micros) / 1000.0, 3);
            if (array.size() > 1) array += ',';
            array += doc.str();
        }
        std::printf("%s]\n", array.c_str());
    } else {
        for (const NameServer &server : taken.servers)
            std::printf("%s %s %s %.1f ms\n", nstools::terminalSafe(server.shownName()).c_str(),
                        roleName(server, true),
                        printaddr(&server.addr), static_cast<double>(server.micros) / 1000.0);
    }
    return taken.firstMaster() != nullptr ? kExitOk : kExitFailed;
}

std::string checkCensusArguments(const Command &cmd) {
    if (!cmd.args.empty()) return "census takes no arguments";
    if (cmd.timeoutGiven && cmd.timeoutSecs <= cmd.waitSecs)
        return "--timeout must be longer than the census wait (--wait, default 5)";
    return "";
}

}  // namespace nsquery
