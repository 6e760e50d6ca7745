// options.hpp - the stand-in name server's command line.
#ifndef TOOLS_NSMD_OPTIONS_HPP
#define TOOLS_NSMD_OPTIONS_HPP

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol.hpp"
#include "registry.hpp"

namespace nsmd {

struct Options {
    in_addr address{};  // own address; INADDR_ANY: every local address
    std::uint16_t port = NS_DEFAULT_PORT;
    Role role = Role::Master;
    bool addrItem = true;   // discovery replies carry the TCP address
    bool nameItem = false;  // lookup replies carry the registered name
    bool verbose = false;
    std::string preload;  // file of registrations, or ""
    std::string hostile;  // hostile script, or ""
    std::vector<std::string> adminHosts;
    int idleTimeoutMs = 10000;  // a connection silent this long is closed
    // Limits that keep one client from crowding out the others.
    std::size_t maxEntries = kDefaultCapacity;  // registry entries (see Registry)
    std::size_t maxPeerConns = 32;              // request connections from one address
    std::size_t maxPeerLists = 4;               // name lists requested from one address
};

// Request connections and name list streams at once, from everyone.
inline constexpr std::size_t kMaxConns = 256;
inline constexpr std::size_t kMaxStreams = 32;

enum class Parsed { Run, Help, Error };

// Parses the command line into opts; on Error, error says why.
Parsed parseOptions(int argc, char **argv, Options &opts, std::string &error);

// The --help text.
const char *helpText();

}  // namespace nsmd

#endif
