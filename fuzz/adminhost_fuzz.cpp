// Any bytes as the stream an admin-host reply is read from, taken as the
// exchange takes it and, when it is a success, handed to the reply handling
// with the 128-byte name buffer.  The name is cut to fit, terminated, and
// the bytes behind the buffer stay as they were.
//
// Input: one byte (bits 0-5: the size of the pieces less one; bit 7: the
// rest is a plain record that is enciphered and framed here rather than
// stream bytes as they are), then the rest.
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "rsockmap/exchange_internal.hpp"
#include "rsockmap/namelist.hpp"
#include "rsockmap/record.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t piece = 1 + (data[0] & 0x3f);
    std::vector<std::uint8_t> stream(data + 1, data + size);
    if ((data[0] & 0x80) != 0) {
        if (stream.size() > NS_MAX_TCP_RECORD) stream.resize(NS_MAX_TCP_RECORD);
        std::vector<std::uint8_t> framed(1 + stream.size() + NS_SALT_SIZE);
        const int len = NsCrypt(framed.data() + 1, stream.data(), static_cast<int>(stream.size()));
        framed[0] = static_cast<std::uint8_t>(len);
        stream = std::move(framed);
    }
    std::size_t at = 0;
    auto read = [&](void *buf, std::size_t n) -> ssize_t {
        const std::size_t take = std::min({n, piece, stream.size() - at});
        if (take > 0) std::memcpy(buf, stream.data() + at, take);
        at += take;
        return static_cast<ssize_t>(take);
    };
    NsMessage reply;
    std::memset(&reply, 0, sizeof reply);
    int replyLen = 0;
    if (ns::receiveReply(read, &reply, &replyLen, true) != NS_OK) return 0;

    std::array<char, 128 + 32> name;
    name.fill('#');
    const std::span<const std::uint8_t> whole(reinterpret_cast<const std::uint8_t *>(&reply),
                                              sizeof reply);
    ns::adminHostNameOf(whole, name.data(), 128);
    for (std::size_t i = 128; i < name.size(); ++i)
        if (name[i] != '#') __builtin_trap();
    const std::size_t n = strnlen(name.data(), 128);
    if (n >= 128) __builtin_trap();
    // What it took is the start of the name item's characters.
    const std::size_t offset = reply.nameOffset;
    if (n > 0 && (offset == 0 || offset > NS_MAX_ITEM ||
                  std::memcmp(name.data(), whole.data() + offset + 1, n) != 0))
        __builtin_trap();
    // And a buffer of any other size, down to one byte, stays bounded too.
    for (std::size_t outSize : {std::size_t{1}, std::size_t{5}}) {
        std::array<char, 8> small;
        small.fill('#');
        ns::adminHostNameOf(whole.first(replyLen), small.data(), outSize);
        if (small[outSize] != '#' || strnlen(small.data(), outSize) >= outSize) __builtin_trap();
    }
    return 0;
}
