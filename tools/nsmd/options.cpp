// options.cpp - the stand-in name server's command line.
#include "options.hpp"

#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>

#include <cstdlib>
#include <cstring>

#include "number.hpp"

namespace nsmd {

namespace {

// A dotted IPv4 address or a host name (its first IPv4 address).
bool resolve(const char *host, in_addr &out) {
    if (inet_pton(AF_INET, host, &out) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return false;
    out = reinterpret_cast<const sockaddr_in *>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return true;
}

enum {
    kNoAddrItem = 256,
    kNameItem,
    kAdminHost,
    kHostile,
    kIdleTimeout,
    kMaxEntries,
    kMaxPeerConns,
    kMaxPeerLists
};

// A whole number from lo to hi for a limit option; false with error set.
bool parseLimit(const char *text, int lo, int hi, const char *what, std::size_t &out,
                std::string &error) {
    int value = 0;
    if (!parseNumber(text, lo, hi, value)) {
        error = std::string("bad ") + what + " '" + text + "' (" + std::to_string(lo) + " to " +
                std::to_string(hi) + ")";
        return false;
    }
    out = static_cast<std::size_t>(value);
    return true;
}

}  // namespace

const char *helpText() {
    return "Usage: nsmd [OPTION]...\n"
           "A stand-in name server for tests.  It answers discovery and census\n"
           "datagrams and, as master, takes registry requests over TCP, keeping the\n"
           "registry in memory.  It prints \"ready\" once every socket is bound and\n"
           "ends with status 0 on SIGTERM or SIGINT.\n"
           "\n"
           "  -a, --address ADDR     own IPv4 address or host name: replies come from\n"
           "                         it and TCP listens on it (default 0.0.0.0, any)\n"
           "  -p, --port PORT        UDP and TCP port (default 16024)\n"
           "  -r, --role ROLE        master (default) or backup; a backup answers only\n"
           "                         the census and takes no TCP connections\n"
           "      --no-addr-item     discovery and census replies carry no address\n"
           "                         item (the client then uses their source address)\n"
           "      --name-item        lookup replies carry the registered name as\n"
           "                         their name item\n"
           "  -f, --preload FILE     registrations to load at the start (below)\n"
           "      --admin-host NAME  an admin host; may be given many times\n"
           "      --hostile FILE     answer as a script says (below)\n"
           "      --idle-timeout MS  close a connection that stays silent this long\n"
           "                         (default 10000)\n"
           "      --max-entries N    registry entries at most: service names and PC\n"
           "                         names together (default 100000)\n"
           "      --max-peer-conns N request connections from one address at once\n"
           "                         (default 32, at most 256 from everyone)\n"
           "      --max-peer-lists N name lists for one address at once (default 4,\n"
           "                         at most 32 for everyone)\n"
           "  -v, --verbose          print each request as one line on standard output;\n"
           "                         lines that a blocked output cannot take are\n"
           "                         dropped and counted\n"
           "  -h, --help             print this text\n"
           "\n"
           "Requests: a refused or malformed request is answered with type 33, and so\n"
           "is a new entry beyond --max-entries and a name list beyond the lists\n"
           "allowed.  A connection beyond the limits is closed at once.  A name list\n"
           "selector of 128 lists admin hosts, 1 PC names, any other service names;\n"
           "'*' in a pattern matches any run of characters, case is ignored.\n"
           "A lookup of \\\\*\\svc finds svc on any host.\n"
           "\n"
           "Preload file: one registration a line; '#' starts a comment line.\n"
           "  service \\\\HOST\\SVC ADDRESS PORT [TYPE [LEVEL [TEXT]]]\n"
           "  pc \\\\PC\\HOST\n"
           "  admin HOST\n"
           "TEXT is the rest of the line.\n"
           "\n"
           "Hostile script: one line per exchange, used in order per kind; when a\n"
           "kind runs out, answers are normal again.\n"
           "  tcp OP...   the answer to the next TCP request\n"
           "  udp OP...   the answer to the next datagram (25 bytes or more)\n"
           "  list OP...  the next name list stream\n"
           "OPs, in order: normal (the normal answer), rec:HEX (a plain record,\n"
           "enciphered and framed), raw:HEX (bytes as they are), long:EXTRA:HEX (a\n"
           "frame claiming EXTRA bytes more than follow), random:N, pause:MS,\n"
           "frag:SIZE:MS (write SIZE bytes at a time, MS apart), close (once the\n"
           "bytes before it are sent), silent (send nothing more, keep the\n"
           "connection open).  Values of long, rec and raw are hex digits.\n";
}

Parsed parseOptions(int argc, char **argv, Options &opts, std::string &error) {
    static const option longOptions[] = {
        {"address", required_argument, nullptr, 'a'},
        {"port", required_argument, nullptr, 'p'},
        {"role", required_argument, nullptr, 'r'},
        {"no-addr-item", no_argument, nullptr, kNoAddrItem},
        {"name-item", no_argument, nullptr, kNameItem},
        {"preload", required_argument, nullptr, 'f'},
        {"admin-host", required_argument, nullptr, kAdminHost},
        {"hostile", required_argument, nullptr, kHostile},
        {"idle-timeout", required_argument, nullptr, kIdleTimeout},
        {"max-entries", required_argument, nullptr, kMaxEntries},
        {"max-peer-conns", required_argument, nullptr, kMaxPeerConns},
        {"max-peer-lists", required_argument, nullptr, kMaxPeerLists},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    optind = 1;
    int value = 0;
    for (int c; (c = getopt_long(argc, argv, ":a:p:r:f:vh", longOptions, nullptr)) != -1;) {
        switch (c) {
        case 'a':
            if (!resolve(optarg, opts.address)) {
                error = std::string("cannot resolve address '") + optarg + "'";
                return Parsed::Error;
            }
            break;
        case 'p':
            if (!parseNumber(optarg, 1, 65535, value)) {
                error = std::string("bad port '") + optarg + "'";
                return Parsed::Error;
            }
            opts.port = static_cast<std::uint16_t>(value);
            break;
        case 'r':
            if (std::strcmp(optarg, "master") == 0) {
                opts.role = Role::Master;
            } else if (std::strcmp(optarg, "backup") == 0) {
                opts.role = Role::Backup;
            } else {
                error = std::string("bad role '") + optarg + "' (master or backup)";
                return Parsed::Error;
            }
            break;
        case kNoAddrItem: opts.addrItem = false; break;
        case kNameItem: opts.nameItem = true; break;
        case 'f': opts.preload = optarg; break;
        case kAdminHost: opts.adminHosts.emplace_back(optarg); break;
        case kHostile: opts.hostile = optarg; break;
        case kIdleTimeout:
            if (!parseNumber(optarg, 1, 3600000, value)) {
                error = std::string("bad idle timeout '") + optarg + "'";
                return Parsed::Error;
            }
            opts.idleTimeoutMs = value;
            break;
        case kMaxEntries:
            if (!parseLimit(optarg, 1, 100000000, "registry size", opts.maxEntries, error))
                return Parsed::Error;
            break;
        case kMaxPeerConns:
            if (!parseLimit(optarg, 1, static_cast<int>(kMaxConns), "connection limit",
                            opts.maxPeerConns, error))
                return Parsed::Error;
            break;
        case kMaxPeerLists:
            if (!parseLimit(optarg, 1, static_cast<int>(kMaxStreams), "list limit",
                            opts.maxPeerLists, error))
                return Parsed::Error;
            break;
        case 'v': opts.verbose = true; break;
        case 'h': return Parsed::Help;
        case ':':
            error = std::string("option '") + argv[optind - 1] + "' needs an argument";
            return Parsed::Error;
        default:
            error = std::string("unknown option '") + argv[optind - 1] + "'";
            return Parsed::Error;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument '") + argv[optind] + "'";
        return Parsed::Error;
    }
    return Parsed::Run;
}

}  // namespace nsmd
