// Any bytes as the stream a lookup's reply is read from, taken as the
// exchange takes it (a length byte, that many bytes of ciphertext, in pieces
// of a size the input chooses) and, when it is a success reply, handed to
// the lookup's reply handling with the tool's 128-byte text buffer.
//
// Input: one byte (bits 0-5: the size of the pieces less one; bit 6: read
// as UspMapIO does, with a fresh length byte after a frame cut short; bit 7:
// the rest is a plain record that is enciphered and framed here, rather than
// stream bytes as they are), then the rest.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/reply_stream.hpp"
#include "rsockmap/registry_internal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    const ns::ReceivedRecord reply = fuzz::receiveInputReply(data, size, (data[0] & 0x40) != 0);
    if (reply.size() > NS_MAX_TCP_RECORD) __builtin_trap();
    if (reply.type() != NS_OK) return 0;

    // The tool's buffer, with a guard behind it that must stay untouched.
    std::array<char, NS_AUTH_SIZE + 64> auth;
    auth.fill('#');
    NsAddr addr;
    std::memset(&addr, 0x5A, sizeof addr);
    int addrLen = -1;
    const bool found = ns::decodeLookupReply(reply, &addr, &addrLen, auth.data(), NS_AUTH_SIZE);
    for (std::size_t i = NS_AUTH_SIZE; i < auth.size(); ++i)
        if (auth[i] != '#') __builtin_trap();
    if (!found) {
        if (addrLen != -1 || auth[0] != '#') __builtin_trap();
        return 0;
    }
    if (addrLen < 0 || addrLen > NS_ADDR_SIZE || addr.sin_family != AF_INET) __builtin_trap();
    if (strnlen(auth.data(), NS_AUTH_SIZE) >= NS_AUTH_SIZE) __builtin_trap();
    return 0;
}
