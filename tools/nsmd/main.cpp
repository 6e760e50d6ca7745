// nsmd - a stand-in name server for tests: see helpText() in options.cpp.
#include <cstdio>
#include <string>

#include "hostile.hpp"
#include "options.hpp"
#include "registry.hpp"
#include "server.hpp"

int main(int argc, char **argv) {
    nsmd::Options opts;
    std::string error;
    switch (nsmd::parseOptions(argc, argv, opts, error)) {
    case nsmd::Parsed::Help: std::fputs(nsmd::helpText(), stdout); return 0;
    case nsmd::Parsed::Error:
        std::fprintf(stderr, "nsmd: %s (try --help)\n", error.c_str());
        return 2;
    case nsmd::Parsed::Run: break;
    }
    nsmd::Registry registry(opts.maxEntries);
    for (const auto &host : opts.adminHosts) {
        if (!registry.addAdminHost(host)) {
            std::fprintf(stderr, "nsmd: bad admin host '%s'\n", host.c_str());
            return 2;
        }
    }
    if (!opts.preload.empty() && !nsmd::loadPreload(opts.preload, registry, error)) {
        std::fprintf(stderr, "nsmd: %s\n", error.c_str());
        return 2;
    }
    nsmd::HostileScript script;
    if (!opts.hostile.empty() && !script.load(opts.hostile, error)) {
        std::fprintf(stderr, "nsmd: %s\n", error.c_str());
        return 2;
    }
    nsmd::Server server(std::move(opts), std::move(registry), std::move(script));
    if (!server.open(error)) {
        std::fprintf(stderr, "nsmd: %s\n", error.c_str());
        return 1;
    }
    return server.run();
}
