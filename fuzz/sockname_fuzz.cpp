// Any bytes as a service name split into host and service buffers of any
// size: nothing is written outside them; a split it accepts rebuilds the
// name with the host lower-cased; a rejected one never leaves a buffer
// unterminated.
//
// Input: two bytes, the host and service buffer sizes as signed numbers
// (buffers of that many bytes, at least one), then the name (up to its
// first NUL).
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "support/sockets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    const int hostSize = static_cast<std::int8_t>(data[0]);
    const int svcSize = static_cast<std::int8_t>(data[1]);
    const std::string name(reinterpret_cast<const char *>(data + 2), size - 2);
    const std::size_t hostBytes = hostSize > 0 ? static_cast<std::size_t>(hostSize) : 1;
    const std::size_t svcBytes = svcSize > 0 ? static_cast<std::size_t>(svcSize) : 1;
    // Heap blocks of the exact size, so a write past one is caught.
    auto host = std::make_unique<char[]>(hostBytes);
    auto svc = std::make_unique<char[]>(svcBytes);
    std::memset(host.get(), '#', hostBytes);
    std::memset(svc.get(), '#', svcBytes);

    const int r = parseSockName(name.c_str(), host.get(), hostSize, svc.get(), svcSize);
    const std::string text = name.c_str();
    if (r == 0) {
        if (hostSize < 1 || svcSize < 1) __builtin_trap();
        const std::size_t h = strnlen(host.get(), hostBytes), s = strnlen(svc.get(), svcBytes);
        if (h >= hostBytes || s >= svcBytes) __builtin_trap();
        std::string lowered = text;
        for (std::size_t i = 2; i < 2 + h && i < lowered.size(); ++i)
            lowered[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lowered[i])));
        if ("\\\\" + std::string(host.get()) + "\\" + std::string(svc.get()) != lowered)
            __builtin_trap();
        for (std::size_t i = 0; i < h; ++i)
            if (std::isupper(static_cast<unsigned char>(host[i]))) __builtin_trap();
    } else if (r != -1) {
        __builtin_trap();
    }
    if (text.size() < 2 || text[0] != '\\' || text[1] != '\\' || hostSize < 1 || svcSize < 1) {
        // Rejected before anything was written.
        if (r != -1 || host[0] != '#' || svc[0] != '#') __builtin_trap();
    } else if (strnlen(host.get(), hostBytes) >= hostBytes ||
               strnlen(svc.get(), svcBytes) >= svcBytes) {
        __builtin_trap();  // both were emptied first, so each holds a string
    }
    return 0;
}
