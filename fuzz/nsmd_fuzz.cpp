// Any bytes as a deciphered request or datagram to the stand-in name server:
// it answers with a record that fits one frame and never reads past them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tools/nsmd/hostile.hpp"
#include "tools/nsmd/protocol.hpp"
#include "tools/nsmd/registry.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > NS_MAX_TCP_RECORD) return 0;
    static nsmd::Registry registry = [] {
        nsmd::Registry r;
        nsmd::Service s;
        s.name = "\\\\host\\svc";
        s.text = "text";
        r.registerService(s);
        r.registerPC("\\\\pc\\host");
        r.addAdminHost("admin");
        return r;
    }();
    // An exact copy, so that a read past the input is caught.
    std::vector<std::uint8_t> input(data, data + size);
    nsmd::Registry work = registry;
    for (bool nameItem : {false, true}) {
        nsmd::Outcome o = nsmd::handleRequest(work, input, nameItem);
        if (o.reply.size() < NS_HEADER_SIZE || o.reply.size() > NS_MAX_TCP_RECORD) __builtin_trap();
        nsmd::Bytes framed;
        nsmd::appendFrame(framed, o.reply);
    }
    NsAddr tcp{};
    for (auto role : {nsmd::Role::Master, nsmd::Role::Backup})
        (void)nsmd::answerDatagram(input, role, size % 2 ? &tcp : nullptr);
    // And the same bytes as a script.
    nsmd::HostileScript script;
    std::string error;
    (void)script.parse(std::string(data, data + size), error);
    return 0;
}
