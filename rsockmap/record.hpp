// record.hpp - safe building and reading of NsMessage records (internal).
//
// Received records are untrusted: an item is found only through its offset
// byte, and an offset or item length above 127, or an item that reaches past
// the bytes actually received, makes the item absent.  Nothing here reads or
// writes outside the given bytes.
//
// Every record the client receives (a TCP reply, a name list record, a
// discovery or census datagram) becomes one ReceivedRecord as soon as it is
// deciphered: the plain bytes and their count travel together from there on,
// and every reader takes them through its view(), which ends where the
// received bytes end.
#ifndef RSOCKMAP_RECORD_HPP
#define RSOCKMAP_RECORD_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "rsockmap/rsockmap.h"

namespace ns {

// Byte positions of the header fields.
enum HeaderField : std::size_t {
    kType = 0,
    kOption = 3,
    kControlHigh = 4,
    kControlLow = 5,
    kLevel = 7,
    kNameOffset = 8,
    kAddrOffset = 9,
    kTextOffset = 10,
};

// A deciphered record as received: `size` is the number of plain bytes that
// actually arrived (at most NS_MSG_SIZE).
class RecordView {
public:
    RecordView(const void *data, std::size_t size);
    explicit RecordView(std::span<const std::uint8_t> bytes)
        : RecordView(bytes.data(), bytes.size()) {}

    bool hasType() const { return size_ > kType; }
    // The type byte, or -1 when the record is too short to hold one.
    int type() const { return hasType() ? data_[kType] : -1; }
    std::size_t size() const { return size_; }
    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

    // The bytes of the item whose offset stands at `field` (kNameOffset,
    // kAddrOffset or kTextOffset), without its length byte; nullopt when the
    // offset is 0 or the item is not wholly inside the record.
    std::optional<std::span<const std::uint8_t>> item(HeaderField field) const;
    // A string item's characters: the item's bytes up to the first NUL
    // among them (the item's own terminator is not required).
    std::optional<std::string_view> stringItem(HeaderField field) const;
    // Copies the address item into *out: at most 16 bytes (a shorter item
    // copies only its bytes; the rest keeps what *out held), then sets the
    // family to AF_INET.  Returns the item's length byte, or -1 when there is no item
    // (out untouched).
    int addressItem(NsAddr *out) const;

private:
    const std::uint8_t *data_;
    std::size_t size_;
};

// One deciphered record as it arrived: a copy of its plain bytes with zero
// bytes behind them, and how many arrived.  An empty one (nothing arrived,
// or a ciphertext too short to hold a type) has size 0 and type -1.
class ReceivedRecord {
public:
    ReceivedRecord() = default;
    // Deciphers a ciphertext (a frame's bytes after its length byte, or a
    // datagram): at most its first NS_MSG_SIZE bytes count, and 24 bytes or
    // fewer hold no record.  The ciphertext itself is not changed.
    static ReceivedRecord decipher(std::span<const std::uint8_t> cipher);
    // Plain bytes taken as received (at most NS_MSG_SIZE count).
    static ReceivedRecord plain(std::span<const std::uint8_t> bytes);

    bool arrived() const { return size_ > 0; }
    std::size_t size() const { return size_; }
    // The type byte as the exchange reports it (a signed byte; every type
    // code is below 128), or -1 when nothing arrived.
    int type() const { return arrived() ? static_cast<signed char>(bytes_[kType]) : -1; }
    // The only way to read the bytes: a view that ends with them.
    RecordView view() const { return RecordView(bytes_.data(), size_); }
    // Hands the record to a caller's buffer that carries no size (the public
    // exchange calls): the received bytes, then zero bytes to the end of the
    // record, so nothing of an earlier record shows behind them.
    void copyTo(NsMessage *out) const;

private:
    std::array<std::uint8_t, NS_MSG_SIZE> bytes_{};
    std::size_t size_ = 0;
};

// Builds a request in a zero-filled record, items laid out from byte 16 in
// the order name, address, text.  Any item that would break the record's
// limits (an offset or item length above 127, a record over 231 bytes)
// makes the builder fail: length() then returns -1.
class RecordBuilder {
public:
    explicit RecordBuilder(int type);

    RecordBuilder &option(int value);     // low byte
    RecordBuilder &control(int code);     // bits 8-15 then 0-7
    RecordBuilder &level(int value);      // stored as '0' + value (low byte)
    RecordBuilder &name(const char *text);          // string item at nameOffset
    RecordBuilder &address(const void *addr, int len);  // raw item at addrOffset
    RecordBuilder &text(const char *text);          // string item at textOffset

    bool ok() const { return ok_; }
    // The record's length N, or -1 when an item did not fit.
    int length() const { return ok_ ? len_ : -1; }
    const NsMessage &message() const { return msg_; }
    NsMessage &message() { return msg_; }

private:
    bool putItem(HeaderField field, const void *bytes, std::size_t n, bool terminate);

    NsMessage msg_{};
    int len_ = NS_HEADER_SIZE;
    bool ok_ = true;
};

}  // namespace ns

#endif
