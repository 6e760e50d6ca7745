// Any bytes as a received record: every item accessor stays inside them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "rsockmap/record.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    ns::RecordView view(data, size);
    (void)view.type();
    for (auto field : {ns::kNameOffset, ns::kAddrOffset, ns::kTextOffset}) {
        if (auto item = view.item(field)) {
            unsigned sum = 0;
            for (std::uint8_t b : *item) sum += b;
            if (sum == 0xFFFFFFFFu) __builtin_trap();
        }
        if (auto s = view.stringItem(field)) (void)std::strlen(std::string(*s).c_str());
    }
    NsAddr addr;
    (void)view.addressItem(&addr);
    // A ciphertext of the same bytes deciphers into a record buffer safely.
    if (size >= NS_SALT_SIZE && size <= NS_MSG_SIZE) {
        std::uint8_t cipher[NS_MSG_SIZE];
        std::memcpy(cipher, data, size);
        std::uint8_t plain[NS_MSG_SIZE];
        int n = NsDecrypt(plain, cipher, static_cast<int>(size));
        ns::RecordView(plain, n > 0 ? static_cast<std::size_t>(n) : 0).addressItem(&addr);
    }
    return 0;
}
