// record.cpp - safe building and reading of NsMessage records.
#include "rsockmap/record.hpp"

#include <algorithm>
#include <cstring>
#include <sys/socket.h>

namespace ns {

static_assert(sizeof(NsMessage) == NS_MSG_SIZE, "a record is 256 bytes");
static_assert(sizeof(NsAddr) == NS_ADDR_SIZE, "an address is 16 bytes");

RecordView::RecordView(const void *data, std::size_t size)
    : data_(static_cast<const std::uint8_t *>(data)),
      size_(std::min<std::size_t>(size, NS_MSG_SIZE)) {
    if (data_ == nullptr) size_ = 0;
}

std::optional<std::span<const std::uint8_t>> RecordView::item(HeaderField field) const {
    if (field >= size_) return std::nullopt;
    const std::size_t offset = data_[field];
    if (offset == 0 || offset > NS_MAX_ITEM || offset >= size_) return std::nullopt;
    const std::size_t len = data_[offset];
    if (len > NS_MAX_ITEM || offset + 1 + len > size_) return std::nullopt;
    return std::span<const std::uint8_t>(data_ + offset + 1, len);
}

std::optional<std::string_view> RecordView::stringItem(HeaderField field) const {
    auto bytes = item(field);
    if (!bytes) return std::nullopt;
    const char *chars = reinterpret_cast<const char *>(bytes->data());
    const void *nul = std::memchr(chars, 0, bytes->size());
    const std::size_t n = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - chars)
                              : bytes->size();
    return std::string_view(chars, n);
}

int RecordView::addressItem(NsAddr *out) const {
    auto bytes = item(kAddrOffset);
    if (!bytes || out == nullptr) return -1;
    const std::size_t n = std::min<std::size_t>(bytes->size(), sizeof(NsAddr));
    std::memcpy(out, bytes->data(), n);
    out->sin_family = AF_INET;
    return static_cast<int>(bytes->size());
}

ReceivedRecord ReceivedRecord::decipher(std::span<const std::uint8_t> cipher) {
    ReceivedRecord record;
    if (cipher.size() <= NS_SALT_SIZE) return record;
    // NsDecrypt rewrites the salt of its input: it works on a copy.
    std::array<std::uint8_t, NS_MSG_SIZE> copy{};
    const std::size_t len = std::min(cipher.size(), copy.size());
    std::memcpy(copy.data(), cipher.data(), len);
    const int n = NsDecrypt(record.bytes_.data(), copy.data(), static_cast<int>(len));
    record.size_ = static_cast<std::size_t>(n);
    return record;
}

ReceivedRecord ReceivedRecord::plain(std::span<const std::uint8_t> bytes) {
    ReceivedRecord record;
    record.size_ = std::min(bytes.size(), record.bytes_.size());
    if (record.size_ > 0) std::memcpy(record.bytes_.data(), bytes.data(), record.size_);
    return record;
}

void ReceivedRecord::copyTo(NsMessage *out) const {
    static_assert(sizeof *out == std::tuple_size_v<decltype(bytes_)>);
    std::memcpy(out, bytes_.data(), bytes_.size());
}

RecordBuilder::RecordBuilder(int type) {
    msg_.type = static_cast<unsigned char>(type);
}

RecordBuilder &RecordBuilder::option(int value) {
    msg_.option = static_cast<unsigned char>(value & 0xff);
    return *this;
}

RecordBuilder &RecordBuilder::control(int code) {
    msg_.control[0] = static_cast<unsigned char>((code >> 8) & 0xff);
    msg_.control[1] = static_cast<unsigned char>(code & 0xff);
    return *this;
}

RecordBuilder &RecordBuilder::level(int value) {
    msg_.level = static_cast<unsigned char>(('0' + value) & 0xff);
    return *this;
}

bool RecordBuilder::putItem(HeaderField field, const void *bytes, std::size_t n,
                            bool terminate) {
    if (!ok_) return false;
    const std::size_t offset = static_cast<std::size_t>(len_);
    const std::size_t end = offset + 1 + n + (terminate ? 1 : 0);
    if (offset > NS_MAX_ITEM || n > NS_MAX_ITEM || end > NS_MAX_TCP_RECORD) {
        ok_ = false;
        return false;
    }
    auto *rec = reinterpret_cast<unsigned char *>(&msg_);
    rec[field] = static_cast<unsigned char>(offset);
    rec[offset] = static_cast<unsigned char>(n);
    if (n > 0) std::memcpy(rec + offset + 1, bytes, n);
    if (terminate) rec[offset + 1 + n] = 0;
    len_ = static_cast<int>(end);
    return true;
}

RecordBuilder &RecordBuilder::name(const char *text) {
    const char *s = text ? text : "";
    putItem(kNameOffset, s, std::strlen(s), true);
    return *this;
}

RecordBuilder &RecordBuilder::address(const void *addr, int len) {
    if (len < 0 || (len > 0 && addr == nullptr)) {
        ok_ = false;
        return *this;
    }
    putItem(kAddrOffset, addr, static_cast<std::size_t>(len), false);
    return *this;
}

RecordBuilder &RecordBuilder::text(const char *text) {
    const char *s = text ? text : "";
    putItem(kTextOffset, s, std::strlen(s), true);
    return *this;
}

}  // namespace ns
