// Any name list stream: the decoder stays inside its buffers, and a list it
// completes becomes a block whose pointers and names lie inside it.
//
// Input: byte 0 chooses the piece size the stream is fed in (1 to 64) and,
// with its top bit, whether the rest is the stream's raw bytes or plain
// records to be enciphered and framed (each a length byte n, then n bytes;
// records over 231 bytes are cut).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rsockmap/namelist.hpp"

namespace {

std::string frameRecords(const std::uint8_t *data, std::size_t size) {
    std::string stream;
    std::size_t at = 0;
    while (at < size) {
        std::size_t n = data[at++];
        if (n > size - at) n = size - at;
        const std::size_t sent = n > NS_MAX_TCP_RECORD ? NS_MAX_TCP_RECORD : n;
        std::uint8_t cipher[NS_MSG_SIZE + NS_SALT_SIZE];
        const int len = NsCrypt(cipher, data + at, static_cast<int>(sent));
        stream += static_cast<char>(len);
        stream.append(reinterpret_cast<const char *>(cipher), static_cast<std::size_t>(len));
        at += n;
    }
    return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t piece = (data[0] & 0x3f) + 1;
    const std::string stream = (data[0] & 0x80)
                                   ? std::string(reinterpret_cast<const char *>(data + 1), size - 1)
                                   : frameRecords(data + 1, size - 1);
    ns::NameGather names;
    ns::NameListDecoder decoder(names);
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(stream.data());
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        const std::size_t n = stream.size() - at < piece ? stream.size() - at : piece;
        if (decoder.feed(std::span(bytes + at, n)) > n) __builtin_trap();
    }
    if (decoder.status() != ns::NameListDecoder::Status::Done) return 0;
    char **list = names.toList();
    if (list == nullptr) return 0;
    const char *begin = reinterpret_cast<const char *>(list);
    const char *end = begin + (names.count() + 1) * sizeof(char *) + names.size();
    for (std::size_t i = 0; i < names.count(); ++i) {
        if (list[i] < begin || list[i] + std::strlen(list[i]) >= end) __builtin_trap();
    }
    if (list[names.count()] != nullptr) __builtin_trap();
    std::free(list);
    return 0;
}
