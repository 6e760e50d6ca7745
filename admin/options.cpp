// options.cpp - the administration tool's option loop.
//
// Each option is performed as soon as it is read, in command-line order: a
// lookup, a registration or unregistration, a control request, the census,
// or the setting of the census broadcast address.  Results go to standard
// output; a failed request prints nothing (the log client records it) and
// leaves the exit status alone.  The exit status is 0, or 1 after the usage
// line or when the last census failed.
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "census.h"
#include "nsadmin.h"
#include "rsockmap/rsockmap.h"
#include "support/debug.h"

namespace {

// The leading '+' keeps the parser from reordering the arguments: it stops
// at the first word that is not an option, which -a relies on.
constexpr const char *kOptions = "+nl:p:P:a:A:d:Lb:";

constexpr const char *kUsage =
    "Usage: %s [ -n ] [ -L ] [ -l uspaddr ] [ -p \\\\pc\\host ] [ -P \\\\pc\\host ] "
    "[ -A \\\\host\\svc ] [ -d # ]\n";

// The service whose registration -L shows.
constexpr const char *kLicenceService = "lcnsesvc";

// The lookup option with which -l asks for the authentication text too.
constexpr int kLookupWithAuth = 4;

// "a.b.c.d/port" into an address: family AF_INET, a<<24 | b<<16 | c<<8 | d
// (parts neither range-checked nor masked) and the port's low 16 bits, both
// in network byte order.  Numbers the word does not reach count as 0.
void scanAddressWord(const char *word, NsAddr *out) {
    int a = 0, b = 0, c = 0, d = 0, port = 0;
    std::sscanf(word, "%d.%d.%d.%d/%d", &a, &b, &c, &d, &port);
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    const std::uint32_t host = static_cast<std::uint32_t>(a) << 24 |
                               static_cast<std::uint32_t>(b) << 16 |
                               static_cast<std::uint32_t>(c) << 8 | static_cast<std::uint32_t>(d);
    out->sin_addr.s_addr = htonl(host);
    out->sin_port = htons(static_cast<std::uint16_t>(port & 0xffff));
}

// The host name of an address, or "" when it has none.
const char *hostNameOf(const NsAddr &addr) {
    const hostent *host = gethostbyaddr(&addr.sin_addr, 4, AF_INET);
    return host != nullptr ? host->h_name : "";
}

int usage(const char *prog) {
    std::printf(kUsage, prog != nullptr ? prog : "nsadmin");
    return 1;
}

}  // namespace

extern "C" int AdminMain(int argc, char **argv) {
    // The state of one run, shared by the options that use it.
    NsAddr addr{};
    int addrLen = NS_ADDR_SIZE;
    int regType = 0;
    signed char regLevel = 0;
    std::array<char, NS_AUTH_SIZE> text{};
    std::array<char, 128> name{};
    int status = 0;

    for (;;) {
        const int opt = getopt(argc, argv, kOptions);
        if (opt == -1) return status;
        switch (opt) {
        case 'n':
            status = FindAllNS() < 0 ? 1 : 0;
            break;

        case 'L':
            std::snprintf(name.data(), name.size(), "\\\\*\\%s", kLicenceService);
            if (usptcp_LookupUspName(name.data(), &addr, &addrLen, 0, nullptr) == 0) {
                const char *host = hostNameOf(addr);
                std::printf("%s  %s\n", host, printaddr(&addr));
            }
            break;

        case 'l':
            text[0] = '\0';
            if (usptcp_LookupUspNameBounded(optarg, &addr, &addrLen, kLookupWithAuth,
                                            text.data(), text.size()) == 0) {
                std::printf("%s (auth=%s)\n", printaddr(&addr), text.data());
            }
            break;

        case 'p':
            usptcp_RegisterPCName(optarg);
            break;

        case 'P':
            usptcp_UnregisterPCName(optarg);
            break;

        case 'A':
            usptcp_UnregisterUspName(optarg, 0);
            break;

        case 'a': {
            // The service name is optarg; the address word, type, level and
            // optional text follow it.  optind stays at the address word.
            if (argc - optind < 3) return usage(argv[0]);
            scanAddressWord(argv[optind], &addr);
            regType = std::atoi(argv[optind + 1]);
            regLevel = static_cast<signed char>(std::atoi(argv[optind + 2]) & 0xff);
            const char *regText = argc - optind > 3 ? argv[optind + 3] : nullptr;
            std::printf("%s, %d, %d, '%s'\n", printaddr(&addr), regType, regLevel,
                        regText != nullptr ? regText : "NULL");
            std::fflush(stdout);
            usptcp_RegisterUspName(optarg, &addr, addrLen, regType,
                                   reinterpret_cast<const char *>(&regLevel), regText);
            // Whatever follows the four words is not read as options.
            return status;
        }

        case 'd':
            DebugLevel = std::atoi(optarg);
            usptcp_Control(std::atoi(optarg));
            break;

        case 'b':
            scanAddressWord(optarg, &BcastAddr);
            bGotBcastAddr = 1;
            break;

        default:
            return usage(argv[0]);
        }
    }
}
