// reply_stream.hpp - what the reply fuzz targets read from: the stream a
// reply arrives on, built from the input and read in pieces.
#ifndef FUZZ_REPLY_STREAM_HPP
#define FUZZ_REPLY_STREAM_HPP

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rsockmap/exchange_internal.hpp"
#include "rsockmap/rsockmap.h"

namespace fuzz {

// The bytes as they are, or, with `plain`, taken as a record (cut to what a
// frame holds) that is enciphered and framed as a name server sends it.
inline std::vector<std::uint8_t> replyStream(const std::uint8_t *data, std::size_t size,
                                             bool plain) {
    std::vector<std::uint8_t> stream(data, data + size);
    if (!plain) return stream;
    if (stream.size() > NS_MAX_TCP_RECORD) stream.resize(NS_MAX_TCP_RECORD);
    std::vector<std::uint8_t> framed(1 + stream.size() + NS_SALT_SIZE);
    const int len = NsCrypt(framed.data() + 1, stream.data(), static_cast<int>(stream.size()));
    framed[0] = static_cast<std::uint8_t>(len);
    return framed;
}

// Reads a stream as read(2) reads a socket: at most `piece` bytes a call,
// then 0 at its end.
class PieceReader {
public:
    PieceReader(const std::vector<std::uint8_t> &stream, std::size_t piece)
        : stream_(stream), piece_(piece) {}
    ssize_t operator()(void *buf, std::size_t n) {
        const std::size_t take = std::min({n, piece_, stream_.size() - at_});
        if (take > 0) std::memcpy(buf, stream_.data() + at_, take);
        at_ += take;
        return static_cast<ssize_t>(take);
    }

private:
    const std::vector<std::uint8_t> &stream_;
    std::size_t piece_;
    std::size_t at_ = 0;
};

// Reads one reply as the exchange does from the stream an input stands
// for: byte 0 holds the piece size less one (bits 0-5) and, in bit 7,
// whether the rest is a plain record to frame; the rest follows.  Returns
// what receiveReply returns.
inline ns::ReceivedRecord receiveInputReply(const std::uint8_t *data, std::size_t size,
                                            bool resync) {
    if (size < 1) return ns::ReceivedRecord();
    const std::vector<std::uint8_t> stream = replyStream(data + 1, size - 1, (data[0] & 0x80) != 0);
    PieceReader read(stream, 1 + (data[0] & 0x3f));
    return ns::receiveReply(read, resync);
}

}  // namespace fuzz

#endif
