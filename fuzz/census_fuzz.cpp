// Any bytes as a datagram received by the census: the reply's type is read
// from a record deciphered inside fixed buffers, and the caller's bytes stay
// as they were.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "admin/census_internal.hpp"
#include "rsockmap/rsockmap.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::vector<std::uint8_t> before(data, data + size);
    const int type = ns::censusReplyType(data, size);
    if (type != 0 && type != NS_MASTER && type != NS_BACKUP) __builtin_trap();
    if (size < NS_SALT_SIZE + 1 && type != 0) __builtin_trap();
    if (size > 0 && std::memcmp(before.data(), data, size) != 0) __builtin_trap();
    return 0;
}
