// Any bytes as the stream a reply is read from, delivered in pieces of a
// size the input chooses: the frame reader never writes past its buffers, a
// reply it accepts held a type, and the received record keeps its size with
// its bytes.
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
    const ns::ReceivedRecord reply = ns::receiveReply(read, resync);
    if (reply.size() > NS_MSG_SIZE - NS_SALT_SIZE) __builtin_trap();
    // Its view ends with the bytes that arrived, and the type is their first.
    if (reply.view().size() != reply.size()) __builtin_trap();
    if (reply.arrived() && reply.type() != static_cast<signed char>(reply.view().bytes()[0]))
        __builtin_trap();
    if (!reply.arrived() && reply.type() != -1) __builtin_trap();
    // The public calls' copy: the bytes, then zeros to the end of the record.
    NsMessage out;
    std::memset(&out, 0xEE, sizeof out);
    reply.copyTo(&out);
    const auto *p = reinterpret_cast<const std::uint8_t *>(&out);
    if (reply.size() > 0 && std::memcmp(p, reply.view().bytes().data(), reply.size()) != 0)
        __builtin_trap();
    for (std::size_t i = reply.size(); i < sizeof out; ++i)
        if (p[i] != 0) __builtin_trap();
    return 0;
}
