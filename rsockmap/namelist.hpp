// namelist.hpp - decoding of the name list stream (internal).
//
// After an NS_NAMELIST request the name server connects back and sends one
// frame per record: a length byte L, then L bytes of ciphertext (a 24-byte
// salt and L - 24 bytes of record).  The first record must be NS_LISTHEAD;
// every following one is either NS_LISTEND, which ends the list, or a name
// record whose name item sits at its nameOffset.
//
// The records are untrusted.  A frame of 24 bytes or less, a first record of
// another type, a name record without a name item wholly inside its
// deciphered bytes, or an item length above 127 all make the stream bad; a
// list longer than its bounds (below) is refused as well.
// Nothing here reads or writes outside a buffer.
//
// NameListDecoder takes the stream's bytes in pieces of any size (bytes in,
// names or failure out), so it can be driven by a socket or fed directly.
#ifndef RSOCKMAP_NAMELIST_HPP
#define RSOCKMAP_NAMELIST_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "rsockmap/record.hpp"
#include "rsockmap/rsockmap.h"

namespace ns {

// The most a list may hold: 1,000,000 names, or 64 MiB of names (the
// characters and a NUL for each), whichever comes first.  Far above any
// real registry; a stream that goes past either is a receive failure, so a
// name server that never ends its list cannot exhaust the caller's memory.
inline constexpr std::size_t kMaxListNames = 1000000;
inline constexpr std::size_t kMaxListBytes = std::size_t{64} << 20;

// For tests: bounds low enough to reach quickly; (0, 0) puts back the
// defaults above.
void setNameListBounds(std::size_t names, std::size_t bytes);

// The names of one list in arrival order, each kept as its length byte, its
// characters and a NUL (m + 2 bytes), one behind the other in one buffer.
// The buffer grows geometrically, so gathering n names costs O(n) copying.
class NameGather {
public:
    NameGather() = default;
    ~NameGather();
    NameGather(const NameGather &) = delete;
    NameGather &operator=(const NameGather &) = delete;

    // Appends one name of at most 255 characters; false (and nothing
    // changed) when the buffer (realloc) cannot grow.
    bool append(std::span<const std::uint8_t> chars);
    // Whether one more name of m characters would take the list past its
    // bounds (kMaxListNames, kMaxListBytes).
    bool wouldOverflow(std::size_t m) const;
    std::size_t count() const { return count_; }
    std::size_t size() const { return size_; }  // gathered bytes, m + 2 per name
    // Releases every name gathered so far.
    void clear();

    // The result block (malloc): count + 1 character pointers (the last
    // null) and behind them the names, each NUL-terminated, in arrival
    // order; sized for the pointers plus size() bytes.  One free()
    // releases it.  Null when it cannot be allocated.
    char **toList() const;

private:
    std::uint8_t *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t count_ = 0;
};

class NameListDecoder {
public:
    enum class Status {
        NeedMore,  // the list is not complete yet
        Done,      // NS_LISTEND arrived; the names are complete
        Bad,       // a frame or record broke the stream's rules
        TooLong,   // the list went past its bounds
        NoMemory,  // the gathering buffer could not grow
    };

    explicit NameListDecoder(NameGather &names) : names_(names) {}

    // Takes the next bytes of the stream and returns how many it used.  It
    // stops at the end record or at the first fault; bytes behind that are
    // left unused.
    std::size_t feed(std::span<const std::uint8_t> bytes);
    Status status() const { return status_; }

private:
    void takeRecord();

    NameGather &names_;
    Status status_ = Status::NeedMore;
    bool gotHead_ = false;
    bool gotLength_ = false;  // the current frame's length byte has arrived
    std::size_t frameLen_ = 0;
    std::size_t have_ = 0;    // ciphertext bytes of the current frame so far
    std::array<std::uint8_t, NS_MSG_SIZE> frame_{};
};

// The admin host's name from an NS_ADMINHOST success reply: the characters
// behind the length byte of the name item at nameOffset, up to their NUL or
// the end of the bytes that arrived, cut to outSize - 1 and terminated.  The
// empty name when there is no such item (offset 0 or above 127) or it starts
// past the bytes that arrived.  outSize > 0.
void adminHostNameOf(const ReceivedRecord &reply, char *out, std::size_t outSize);

}  // namespace ns

#endif
