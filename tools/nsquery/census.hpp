// census.hpp - the census as nsquery's census and check take it: every name
// server that answers the census broadcast within the wait, once each.
#ifndef TOOLS_NSQUERY_CENSUS_HPP
#define TOOLS_NSQUERY_CENSUS_HPP

#include <string>
#include <vector>

#include "commands.hpp"

namespace nsquery {

struct NameServer {
    int type = 0;          // NS_MASTER or NS_BACKUP
    NsAddr from{};         // where its reply came from
    NsAddr addr{};         // its address item, else from
    long micros = 0;       // from the broadcast to its reply
    std::string hostName;  // of from's address; "" when it has none

    bool master() const { return type == NS_MASTER; }
    // The host name, or the dotted address when there is none.
    std::string shownName() const;
};

struct Census {
    bool ran = false;                 // false: no socket could be had
    std::vector<NameServer> servers;  // in order of their first reply
    double seconds = 0;               // how long the census took

    const NameServer *firstMaster() const;
    int backups() const;
};

// Why a census that could not be taken (Census::ran false) has no figures.
inline constexpr const char *kNoCensusSocket = "no socket for the census";

// Takes one census of cmd.waitSecs seconds, sent to cmd.bcast with -b, else
// to the local network's broadcast address.  A name server that replies
// more than once (the same source address and port) is kept once.
Census takeCensus(const Command &cmd);

// The dotted IPv4 address alone.
std::string dottedAddress(const NsAddr &addr);
// The host name of an address, "" when it has none.
std::string hostNameOf(const NsAddr &addr);

}  // namespace nsquery

#endif
