// Any bytes as a lookup's success reply as it arrived: the outputs stay
// inside their buffers, the text is terminated within the given size, the
// address length says how many address bytes were taken (and is untouched
// without an address item).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "rsockmap/registry_internal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t authSize = data[0] % 200;  // 0 (no room at all) to 199
    const auto record = ns::ReceivedRecord::plain(std::span(data + 1, size - 1));

    char auth[256];
    std::memset(auth, '#', sizeof auth);
    NsAddr addr;
    std::memset(&addr, 0x5A, sizeof addr);
    int addrLen = -1;
    const bool found = ns::decodeLookupReply(record, &addr, &addrLen, auth, authSize);
    if (!found) {
        if (addrLen != -1 || auth[0] != '#') __builtin_trap();
        return 0;
    }
    if (addrLen < 0 || addrLen > NS_ADDR_SIZE || addr.sin_family != AF_INET) __builtin_trap();
    for (std::size_t i = authSize; i < sizeof auth; ++i)
        if (auth[i] != '#') __builtin_trap();
    if (authSize > 0 && strnlen(auth, authSize) >= authSize) __builtin_trap();
    return 0;
}
