// location_internal.hpp - the pure parts of name server location (internal).
//
// These take bytes or text and give a result, with no I/O and no process
// state, so that they can be tested and fuzzed directly.
#ifndef RSOCKMAP_LOCATION_INTERNAL_HPP
#define RSOCKMAP_LOCATION_INTERNAL_HPP

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "rsockmap/rsockmap.h"
#include "support/unique_fd.hpp"

namespace ns {

// The configured name server, "host.port": split at the last "."; the port is
// what follows it read as atoi does, kept to its low 16 bits.  A value
// without "." is all host and names NS_DEFAULT_PORT.  The host part may be
// empty (".5000").
struct ConfiguredServer {
    std::string host;
    std::uint16_t port = NS_DEFAULT_PORT;
};
ConfiguredServer parseConfiguredServer(std::string_view value);

// What one datagram received during discovery means.
enum class DiscoveryReply {
    Ignored,        // too short to hold a type, or not NS_MASTER
    MasterOwn,      // NS_MASTER with an address item: *master is that address
    MasterDefault,  // NS_MASTER without one: *master is the datagram's source
};

// Deciphers a datagram (at most the first 256 bytes count; fewer than 25
// bytes hold no type and are ignored) sent from `source`.  For a master's
// reply *master receives the address to reach it at, family 2; otherwise
// *master is untouched.  An address item that does not lie wholly inside
// the received record counts as absent; a long one is cut to 16 bytes, a
// short one overwrites only the first bytes of the source address.
DiscoveryReply decodeDiscoveryReply(std::span<const std::uint8_t> datagram,
                                    const NsAddr &source, NsAddr *master);

// Binds a socket to the local host's address on the first free port from
// 1025 to 32766 (32767 is never tried); *bound, when given, then receives
// that address (family 2, the port in network order).  False when no port
// could be bound; errno is then that of the last attempt.
bool bindLocalPort(int sock, NsAddr *bound = nullptr);

// A UDP socket bound as bindLocalPort binds, with SO_BROADCAST set: what
// discovery and the census send from.  When it cannot be made, fd is
// invalid, `failed` names the step and err holds its errno (errno is left
// the same); the caller logs that in its own words.
struct BroadcastSocket {
    enum Step { None, Socket, Bind };
    UniqueFd fd;
    Step failed = None;
    int err = 0;
};
BroadcastSocket openBroadcastSocket();

// Sends a bare header of `type` (a discovery or the census) to `to`; the
// result is not checked (a failed send shows as a wait without replies).
void sendBareHeader(int sock, int type, const NsAddr &to);

// For tests: forget the remembered master and the local identity, as in a
// fresh process.
void resetLocationState();

}  // namespace ns

#endif
