// exchange_internal.hpp - the frame reading loop of the request exchange
// (internal).
//
// A frame is one length byte R and R bytes of ciphertext.  The loops here
// take their bytes from a read function that behaves as read(2) does
// (ssize_t read(void *buf, size_t n)), so they can be driven by a socket or,
// in tests and fuzzing, by plain bytes.
#ifndef RSOCKMAP_EXCHANGE_INTERNAL_HPP
#define RSOCKMAP_EXCHANGE_INTERNAL_HPP

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "rsockmap/rsockmap.h"

namespace ns {

// Reads until n bytes have arrived, asking each time for the bytes still
// missing.  Returns n, or at once the first read result of 0 or less.
template <class Read>
ssize_t readExactly(Read &&read, void *buf, std::size_t n) {
    auto *p = static_cast<std::uint8_t *>(buf);
    std::size_t have = 0;
    while (have < n) {
        const ssize_t got = read(p + have, n - have);
        if (got <= 0) return got;
        have += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(n);
}

// The largest frame: a one-byte length can say no more.
using FrameBuffer = std::array<std::uint8_t, NS_MSG_SIZE>;

enum : int {
    kFrameNoLength = -1,  // the length byte could not be read
    kFrameCutShort = -2,  // the stream ended or failed inside the frame
};

// Reads one frame into cipher; returns its length R, or one of the codes
// above.
template <class Read>
int readFrame(Read &&read, FrameBuffer &cipher) {
    std::uint8_t len = 0;
    if (read(&len, 1) != 1) return kFrameNoLength;
    if (readExactly(read, cipher.data(), len) != static_cast<ssize_t>(len)) return kFrameCutShort;
    return len;
}

// Deciphers a complete frame of len bytes into *reply.  Returns the reply's
// type byte as a signed value with its plain length in *replyLen, or -1 for a
// frame of fewer than 25 bytes, which holds no type (*reply untouched).
int decodeFrame(FrameBuffer &cipher, int len, NsMessage *reply, int *replyLen);

// Reads and deciphers one reply frame.  With `resync`, a frame cut short is
// followed by a fresh length byte (at the end of the stream that read fails
// too).  Returns as decodeFrame, or -1 when no complete frame arrived;
// *replyLen is 0 unless a reply was deciphered.
template <class Read>
int receiveReply(Read &&read, NsMessage *reply, int *replyLen, bool resync) {
    *replyLen = 0;
    FrameBuffer cipher{};
    int len;
    do {
        len = readFrame(read, cipher);
    } while (len == kFrameCutShort && resync);
    if (len < 0) return -1;
    return decodeFrame(cipher, len, reply, replyLen);
}

// UspMapIO with the reply's plain length: *replyLen is set after a success
// (result other than -1 from a complete frame) and is 0 otherwise.
int mapIO(const NsMessage *request, int n, NsMessage *reply, int *replyLen);

// For tests: the next exchange starts as in a fresh process.
void resetExchangeState();

}  // namespace ns

#endif
