// registry.cpp - the operations on the name registry: one request each.
//
// Each operation builds one record, hands it to the exchange and judges the
// reply by its type alone (NS_OK is the only success); the lookup also takes
// the reply's address and authentication text.  Each writes one trace line
// after the exchange, with the exchange's raw result.  A request that would
// break the record's limits (an offset or item length above 127, more than
// 231 bytes) is refused with -1 before anything is sent.
#include <cstring>
#include <string>
#include <string_view>

#include "rsockmap/exchange_internal.hpp"
#include "rsockmap/record.hpp"
#include "rsockmap/registry_internal.hpp"
#include "support/debug.h"

namespace {

constexpr char kSeparator = '\x1a';  // between authentication text and name

const char *shown(const char *text) { return text != nullptr ? text : "NULL"; }

ns::ReceivedRecord exchange(const ns::RecordBuilder &request) {
    return ns::mapIO(&request.message(), request.length());
}

// Every operation first makes sure of the local identity; most requests
// carry a name item alone.
ns::RecordBuilder namedRequest(int type, int option, const char *name) {
    usptcp_Initialise();
    ns::RecordBuilder request(type);
    request.option(option).name(name);
    return request;
}

// The requests that carry a name item alone and read nothing but the reply's
// type; their trace is "who: (name) returning result".
int nameRequest(const char *who, int type, int option, const char *name) {
    const ns::RecordBuilder request = namedRequest(type, option, name);
    if (!ns::recordFits(who, request)) return -1;
    const int result = exchange(request).type();
    DebugLog(NS_LOG_TRACE, "%s: (%s) returning %d\n", who, shown(name), result);
    return result == NS_OK ? 0 : -1;
}

// A send-only lookup: the connected descriptor, the reply left unread.
int submitLookup(const char *who, const char *name, int option, int bcast) {
    const ns::RecordBuilder request = namedRequest(NS_LOOKUP, option, name);
    if (!ns::recordFits(who, request)) return -1;
    return UspSend(&request.message(), request.length(), bcast);
}

// Appends to a NUL-terminated text in a buffer of `size` bytes, cutting
// what does not fit.
class BoundedText {
public:
    BoundedText(char *buf, std::size_t size) : buf_(buf), size_(size) { buf_[0] = '\0'; }
    void append(std::string_view s) {
        const std::size_t room = size_ - 1 - len_;
        const std::size_t n = s.size() < room ? s.size() : room;
        if (n == 0) return;
        std::memcpy(buf_ + len_, s.data(), n);
        len_ += n;
        buf_[len_] = '\0';
    }

private:
    char *buf_;
    std::size_t size_;
    std::size_t len_ = 0;
};

}  // namespace

namespace ns {

bool decodeLookupReply(const ReceivedRecord &received, NsAddr *addr, int *addrLen, char *auth,
                       std::size_t authSize) {
    const RecordView reply = received.view();
    NsAddr found = *addr;
    const int itemLen = reply.addressItem(&found);
    if (itemLen < 0) return false;
    *addr = found;
    *addrLen = itemLen < NS_ADDR_SIZE ? itemLen : NS_ADDR_SIZE;
    if (auth == nullptr || authSize == 0) return true;

    const std::string_view text = reply.stringItem(kTextOffset).value_or(std::string_view());
    BoundedText out(auth, authSize);
    out.append(text);
    const auto name = reply.stringItem(kNameOffset);
    if (!text.empty() && name && text.find(kSeparator) == std::string_view::npos) {
        out.append(std::string_view(&kSeparator, 1));
        out.append(*name);
    }
    return true;
}

}  // namespace ns

extern "C" int usptcp_LookupUspNameBounded(const char *name, NsAddr *addr, int *addrLen,
                                           int option, char *auth, size_t authSize) {
    static constexpr const char *who = "usptcp_LookupUspName";
    const ns::RecordBuilder request = namedRequest(NS_LOOKUP, option, name);
    if (!ns::recordFits(who, request)) return -1;
    const ns::ReceivedRecord reply = exchange(request);
    const int result = reply.type();

    bool gotAddress = false;
    if (result == NS_OK) gotAddress = ns::decodeLookupReply(reply, addr, addrLen, auth, authSize);
    // The caller's buffer may be untouched and unterminated: show it bounded.
    std::string shownAuth = "NULL";
    if (result == NS_OK && auth != nullptr && authSize > 0)
        shownAuth.assign(auth, strnlen(auth, authSize));
    DebugLog(NS_LOG_TRACE, "usptcp_LookupUspName: (%s,%s) returning %d (auth='%s')\n", shown(name),
             gotAddress ? printaddr(addr) : "NULL", result, shownAuth.c_str());
    return result == NS_OK ? 0 : -1;
}

extern "C" int usptcp_LookupUspName(const char *name, NsAddr *addr, int *addrLen, int option,
                                    char *auth) {
    return usptcp_LookupUspNameBounded(name, addr, addrLen, option, auth, NS_AUTH_SIZE);
}

extern "C" int usptcp_RegisterUspName(const char *name, const NsAddr *addr, int addrLen, int type,
                                      const char *level, const char *text) {
    static constexpr const char *who = "usptcp_RegisterUspName";
    usptcp_Initialise();
    // The address item is copied from an NsAddr: never more than its 16 bytes.
    if (addr == nullptr || addrLen < 0 || addrLen > NS_ADDR_SIZE) {
        DebugLog(NS_LOG_FAIL, "usptcp_RegisterUspName: address length %d out of range\n", addrLen);
        errno = EINVAL;
        return -1;
    }
    ns::RecordBuilder request(NS_REGISTER);
    request.option(type)
        .level(level != nullptr ? static_cast<unsigned char>(*level) : 0)
        .name(name)
        .address(addr, addrLen);
    if (text != nullptr && text[0] != '\0') request.text(text);
    if (!ns::recordFits(who, request)) return -1;
    const int result = exchange(request).type();
    DebugLog(NS_LOG_TRACE, "usptcp_RegisterUspName: (%s,%s) returning %d\n", shown(name),
             printaddr(addr), result);
    return result == NS_OK ? 0 : -1;
}

extern "C" int usptcp_UnregisterUspName(const char *name, int option) {
    return nameRequest("usptcp_UnregisterUspName", NS_UNREGISTER, option, name);
}

extern "C" int usptcp_RegisterPCName(const char *name) {
    return nameRequest("usptcp_RegisterPCName", NS_PCREGISTER, 0, name);
}

extern "C" int usptcp_UnregisterPCName(const char *name) {
    return nameRequest("usptcp_UnregisterPCName", NS_PCUNREGISTER, 0, name);
}

extern "C" int usptcp_Control(int code) {
    usptcp_Initialise();
    ns::RecordBuilder request(NS_CONTROL);
    request.control(code);
    const int result = exchange(request).type();
    DebugLog(NS_LOG_TRACE, "usptcp_Control: (%d) returning %d\n", code, result);
    return result == NS_OK ? 0 : -1;
}

extern "C" int submitUspLookup(const char *name, int bcast) {
    return submitLookup("submitUspLookup", name, 0, bcast);
}

extern "C" int submitUspForwardLookup(const char *name, int bcast) {
    return submitLookup("submitUspForwardLookup", name, NS_LOOKUP_FORWARD, bcast);
}

extern "C" int receiveUspLookup(int fd, NsAddr *addr, int *addrLen, char *auth, size_t authSize) {
    const ns::ReceivedRecord reply = ns::receiveAndClose(fd);
    if (reply.type() == NS_OK) ns::decodeLookupReply(reply, addr, addrLen, auth, authSize);
    return reply.type();
}
