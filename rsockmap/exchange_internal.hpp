// exchange_internal.hpp - the request exchange as the library's own
// operations use it (internal): the frame reading loop, and the exchange
// calls that hand the reply on as a ReceivedRecord, its size kept with its
// bytes.
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
#include <span>

#include "rsockmap/record.hpp"
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

// Reads and deciphers one reply frame.  With `resync`, a frame cut short is
// followed by a fresh length byte (at the end of the stream that read fails
// too).  The record is empty when no complete frame arrived or the frame
// was too short to hold a type (24 bytes or fewer).
template <class Read>
ReceivedRecord receiveReply(Read &&read, bool resync) {
    FrameBuffer cipher{};
    int len;
    do {
        len = readFrame(read, cipher);
    } while (len == kFrameCutShort && resync);
    if (len < 0) return ReceivedRecord();
    return ReceivedRecord::decipher(std::span(cipher.data(), static_cast<std::size_t>(len)));
}

// UspMapIO keeping the reply's size: the record is empty when no reply was
// obtained.  *answeredBy, when given, receives the address of the master
// that the answered attempt reached.
ReceivedRecord mapIO(const NsMessage *request, int n, NsAddr *answeredBy = nullptr);
// UspReceive keeping the reply's size; fd is closed whatever happens.
ReceivedRecord receiveAndClose(int fd);

// False, with "who: request too long for the record" at level 256 and errno
// EMSGSIZE, when a request broke the record's limits while it was built: an
// over-limit request is refused before anything is sent.
bool recordFits(const char *who, const RecordBuilder &request);

// For tests: the next exchange starts as in a fresh process.
void resetExchangeState();

}  // namespace ns

#endif
