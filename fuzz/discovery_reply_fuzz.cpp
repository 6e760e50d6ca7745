// Any bytes as a datagram received during discovery, and as a configured
// "host.port" value: a master's address always comes out with family 2,
// anything else leaves it alone; the host is what precedes the last ".".
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "rsockmap/location_internal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    NsAddr source{};
    source.sin_family = AF_INET;
    source.sin_port = 0x3E98;
    NsAddr master;
    std::memset(&master, 0x5A, sizeof master);
    const NsAddr before = master;
    const auto reply =
        ns::decodeDiscoveryReply(std::span<const std::uint8_t>(data, size), source, &master);
    if (reply == ns::DiscoveryReply::Ignored) {
        if (std::memcmp(&master, &before, sizeof master) != 0) __builtin_trap();
    } else if (master.sin_family != AF_INET) {
        __builtin_trap();
    }
    if (reply == ns::DiscoveryReply::MasterDefault &&
        std::memcmp(&master, &source, sizeof master) != 0)
        __builtin_trap();

    const std::string_view value(reinterpret_cast<const char *>(data), size);
    const ns::ConfiguredServer server = ns::parseConfiguredServer(value);
    const std::size_t dot = value.rfind('.');
    if (dot == std::string_view::npos) {
        if (server.host != value || server.port != NS_DEFAULT_PORT) __builtin_trap();
    } else if (server.host != value.substr(0, dot)) {
        __builtin_trap();
    }
    return 0;
}
