// Any bytes as the stream a reply is read from, delivered in pieces of a
// size the input chooses: the frame reader never writes past its buffers,
// and a reply it accepts held a type.
#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rsockmap/exchange_internal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t piece = 1 + data[0] % 64;
    const bool resync = data[1] & 1;
    std::size_t at = 2;
    auto read = [&](void *buf, std::size_t n) -> ssize_t {
        const std::size_t take = std::min({n, piece, size - at});
        std::memcpy(buf, data + at, take);
        at += take;
        return static_cast<ssize_t>(take);
    };
    NsMessage reply;
    std::memset(&reply, 0, sizeof reply);
    int replyLen = -1;
    const int type = ns::receiveReply(read, &reply, &replyLen, resync);
    if (replyLen < 0 || replyLen > NS_MSG_SIZE - NS_SALT_SIZE) __builtin_trap();
    if (replyLen > 0 && type != static_cast<signed char>(reply.type)) __builtin_trap();
    if (replyLen == 0 && type != -1) __builtin_trap();
    return 0;
}
