// Any bytes as a received record: every item accessor stays inside them;
// and as a received ciphertext: the record keeps exactly its plain bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
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
    // The same bytes as a ciphertext (of any length) decipher into a record
    // that holds exactly what the ciphertext carried.
    const auto received = ns::ReceivedRecord::decipher(std::span(data, size));
    const std::size_t carried =
        size > NS_SALT_SIZE ? std::min<std::size_t>(size, NS_MSG_SIZE) - NS_SALT_SIZE : 0;
    if (received.size() != carried) __builtin_trap();
    received.view().addressItem(&addr);
    return 0;
}
