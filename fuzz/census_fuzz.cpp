// Any bytes as a datagram received by the census: the reply is read from a
// record deciphered inside fixed buffers, its address is either the sender's
// or an address item of the received record, and the caller's bytes stay as
// they were.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rsockmap/census_internal.hpp"
#include "rsockmap/rsockmap.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::vector<std::uint8_t> before(data, data + size);
    NsAddr from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(16024);
    from.sin_addr.s_addr = htonl(0xC612000Au);
    NsCensusReply reply{};
    reply.type = -7;
    const bool listed = ns::decodeCensusReply({data, size}, from, &reply);
    if (!listed) {
        if (reply.type != -7) __builtin_trap();  // untouched
    } else {
        if (reply.type != NS_MASTER && reply.type != NS_BACKUP) __builtin_trap();
        if (size < NS_SALT_SIZE + 1) __builtin_trap();
        if (std::memcmp(&reply.from, &from, sizeof from) != 0) __builtin_trap();
        if (reply.addr.sin_family != AF_INET) __builtin_trap();
        if (!reply.hasAddr && std::memcmp(&reply.addr, &from, sizeof from) != 0) __builtin_trap();
    }
    if (ns::censusReplyType(data, size) != (listed ? reply.type : 0)) __builtin_trap();
    if (size > 0 && std::memcmp(before.data(), data, size) != 0) __builtin_trap();
    return 0;
}
