// options.hpp - the stand-in name server's command line.
#ifndef TOOLS_NSMD_OPTIONS_HPP
#define TOOLS_NSMD_OPTIONS_HPP

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol.hpp"

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
};

enum class Parsed { Run, Help, Error };

// Parses the command line into opts; on Error, error says why.
Parsed parseOptions(int argc, char **argv, Options &opts, std::string &error);

// The --help text.
const char *helpText();

}  // namespace nsmd

#endif
