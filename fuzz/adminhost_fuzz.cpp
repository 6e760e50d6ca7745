// Any bytes as the stream an admin-host reply is read from, taken as the
// exchange takes it and, when it is a success, handed to the reply handling
// with the 128-byte name buffer.  The name is cut to fit, terminated, and
// the bytes behind the buffer stay as they were.
//
// Input: one byte (bits 0-5: the size of the pieces less one; bit 7: the
// rest is a plain record that is enciphered and framed here rather than
// stream bytes as they are), then the rest.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "fuzz/reply_stream.hpp"
#include "rsockmap/namelist.hpp"
#include "rsockmap/record.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const ns::ReceivedRecord reply = fuzz::receiveInputReply(data, size, true);
    if (reply.type() != NS_OK) return 0;

    std::array<char, 128 + 32> name;
    name.fill('#');
    ns::adminHostNameOf(reply, name.data(), 128);
    for (std::size_t i = 128; i < name.size(); ++i)
        if (name[i] != '#') __builtin_trap();
    const std::size_t n = strnlen(name.data(), 128);
    if (n >= 128) __builtin_trap();
    // What it took is the start of the name item's characters, all of them
    // among the bytes that arrived.
    const std::span<const std::uint8_t> bytes = reply.view().bytes();
    const std::size_t offset = bytes.size() > ns::kNameOffset ? bytes[ns::kNameOffset] : 0;
    if (n > 0 && (offset == 0 || offset > NS_MAX_ITEM || offset + 1 + n > bytes.size() ||
                  std::memcmp(name.data(), bytes.data() + offset + 1, n) != 0))
        __builtin_trap();
    // And a buffer of any other size, down to one byte, stays bounded too.
    for (std::size_t outSize : {std::size_t{1}, std::size_t{5}}) {
        std::array<char, 8> small;
        small.fill('#');
        ns::adminHostNameOf(reply, small.data(), outSize);
        if (small[outSize] != '#' || strnlen(small.data(), outSize) >= outSize) __builtin_trap();
    }
    return 0;
}
