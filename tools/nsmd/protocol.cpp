// protocol.cpp - the stand-in name server's answers.
#include "protocol.hpp"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "nsmd_internal.hpp"

namespace nsmd {

namespace {

std::span<const std::uint8_t> bytesOf(const ns::RecordBuilder &b) {
    return {reinterpret_cast<const std::uint8_t *>(&b.message()),
            static_cast<std::size_t>(b.length())};
}

Bytes toBytes(const ns::RecordBuilder &b) {
    auto s = bytesOf(b);
    return Bytes(s.begin(), s.end());
}

std::string addrText(const NsAddr &a) { return printaddr(&a); }

constexpr const char *kFull = "registry full";

std::string quoted(std::string_view s) {
    // Built in place: "'" + std::string(s) sets off a false -Wrestrict in
    // GCC 12 at -O2.
    std::string out;
    out.reserve(s.size() + 2);
    out += '\'';
    out += s;
    out += '\'';
    return out;
}

// Builds the outcome of a request: summary "TYPE details -> RESULT".
struct Answer {
    std::string what;  // type and details of the request
    Outcome out;

    Outcome refuse(const std::string &why) {
        out.request = what;
        nsmd::refuse(out, why);
        return std::move(out);
    }
    Outcome ok(Bytes reply, const std::string &detail = "") {
        out.request = what;
        out.reply = std::move(reply);
        out.summary = what + " -> OK" + (detail.empty() ? "" : " " + detail);
        return std::move(out);
    }
};

}  // namespace

void refuse(Outcome &outcome, const std::string &why) {
    outcome.reply = headerRecord(NS_REFUSED);
    outcome.list.reset();
    outcome.summary = outcome.request + " -> REFUSED (" + why + ")";
}

std::string typeName(int type) {
    switch (type) {
    case NS_REGISTER: return "REGISTER";
    case NS_UNREGISTER: return "UNREGISTER";
    case NS_LOOKUP: return "LOOKUP";
    case NS_NAMELIST: return "NAMELIST";
    case NS_FINDANY: return "FINDANY";
    case NS_MASTER: return "MASTER";
    case NS_LISTHEAD: return "LISTHEAD";
    case NS_FINDMASTER: return "FINDMASTER";
    case NS_PCREGISTER: return "PCREGISTER";
    case NS_PCUNREGISTER: return "PCUNREGISTER";
    case NS_CONTROL: return "CONTROL";
    case NS_BACKUP: return "BACKUP";
    case NS_ADMINHOST: return "ADMINHOST";
    case NS_CENSUS: return "CENSUS";
    case NS_OK: return "OK";
    case NS_LISTEND: return "LISTEND";
    default: return "type " + std::to_string(type);
    }
}

Bytes headerRecord(int type) {
    Bytes r(NS_HEADER_SIZE, 0);
    r[ns::kType] = static_cast<std::uint8_t>(type);
    return r;
}

Outcome handleRequest(Registry &registry, std::span<const std::uint8_t> plain, bool nameItem) {
    ns::RecordView req(plain);
    Answer a;
    if (req.size() < NS_HEADER_SIZE) {
        a.what = "short record (" + std::to_string(req.size()) + " bytes)";
        return a.refuse("malformed");
    }
    const int type = req.type();
    const std::uint8_t *h = plain.data();
    auto name = req.stringItem(ns::kNameOffset);
    a.what = typeName(type);
    if (name) a.what.append(" ").append(quoted(*name));

    switch (type) {
    case NS_LOOKUP: {
        a.what += " option " + std::to_string(h[ns::kOption]);
        if (!name) return a.refuse("no name item");
        const Service *s = registry.lookup(*name);
        if (s == nullptr) return a.refuse("not registered");
        const ns::RecordBuilder reply = lookupReply(*s, nameItem);
        if (!reply.ok()) return a.refuse("reply does not fit");
        return a.ok(toBytes(reply), addrText(s->addr) + " text " + quoted(s->text));
    }
    case NS_REGISTER: {
        Service s;
        const int addrLen = req.addressItem(&s.addr);
        if (addrLen >= 0) a.what.append(" ").append(addrText(s.addr));
        if (!name) return a.refuse("no name item");
        if (addrLen != NS_ADDR_SIZE) return a.refuse("no 16-byte address item");
        if (h[ns::kTextOffset] != 0) {
            auto text = req.stringItem(ns::kTextOffset);
            if (!text) return a.refuse("text item out of range");
            s.text = std::string(*text);
        }
        s.name = std::string(*name);
        s.type = h[ns::kOption];
        s.level = h[ns::kLevel] - '0';
        a.what += " type " + std::to_string(s.type) + " level " + std::to_string(s.level) +
                  " text " + quoted(s.text);
        if (!registry.roomFor(s.name, false)) return a.refuse(kFull);
        if (!registry.registerService(s)) return a.refuse("bad name, or too long");
        return a.ok(headerRecord(NS_OK));
    }
    case NS_UNREGISTER:
        if (!name) return a.refuse("no name item");
        if (!registry.unregisterService(*name)) return a.refuse("not registered");
        return a.ok(headerRecord(NS_OK));
    case NS_PCREGISTER:
        if (!name) return a.refuse("no name item");
        if (!registry.roomFor(*name, true)) return a.refuse(kFull);
        if (!registry.registerPC(*name)) return a.refuse("bad name");
        return a.ok(headerRecord(NS_OK));
    case NS_PCUNREGISTER:
        if (!name) return a.refuse("no name item");
        if (!registry.unregisterPC(*name)) return a.refuse("not registered");
        return a.ok(headerRecord(NS_OK));
    case NS_CONTROL: {
        const unsigned code = (h[ns::kControlHigh] << 8) | h[ns::kControlLow];
        a.what.append(" ").append(std::to_string(code));
        registry.noteControl(code);
        return a.ok(headerRecord(NS_OK));
    }
    case NS_ADMINHOST: {
        if (!name) return a.refuse("no name item");
        const std::string *host = registry.adminHost(*name);
        if (host == nullptr) return a.refuse("not an admin host");
        ns::RecordBuilder reply(NS_OK);
        reply.name(host->c_str());
        return a.ok(toBytes(reply), quoted(*host));
    }
    case NS_NAMELIST: {
        const int selector = h[ns::kOption];
        a.what += " selector " + std::to_string(selector);
        NsAddr to{};
        const int addrLen = req.addressItem(&to);
        if (addrLen >= 0) a.what += " to " + addrText(to);
        if (!name) return a.refuse("no name item");
        if (addrLen != NS_ADDR_SIZE) return a.refuse("no 16-byte address item");
        if (to.sin_port == 0 || to.sin_addr.s_addr == htonl(INADDR_ANY))
            return a.refuse("no address to connect to");
        // Nothing is counted or copied here: the stream walks the registry.
        a.out.list = ListJob{to, listKindOf(selector), std::string(*name)};
        return a.ok(headerRecord(NS_OK));
    }
    default: return a.refuse("unknown type");
    }
}

std::optional<Bytes> answerDatagram(std::span<const std::uint8_t> plain, Role role,
                                    const NsAddr *tcpAddr) {
    ns::RecordView req(plain);
    int type = -1;
    switch (req.type()) {
    case NS_FINDMASTER:
    case NS_FINDANY:
        if (role != Role::Master) return std::nullopt;
        type = NS_MASTER;
        break;
    case NS_CENSUS: type = role == Role::Master ? NS_MASTER : NS_BACKUP; break;
    default: return std::nullopt;
    }
    ns::RecordBuilder reply(type);
    if (tcpAddr != nullptr) reply.address(tcpAddr, sizeof *tcpAddr);
    return toBytes(reply);
}

Bytes encipher(std::span<const std::uint8_t> plain) {
    Bytes out(plain.size() + NS_SALT_SIZE);
    NsCrypt(out.data(), plain.data(), static_cast<int>(plain.size()));
    return out;
}

void appendFrame(Bytes &out, std::span<const std::uint8_t> plain, int extra) {
    const std::size_t n = std::min<std::size_t>(plain.size(), NS_MAX_TCP_RECORD);
    const std::size_t at = out.size();
    out.resize(at + 1 + NS_SALT_SIZE + n);
    out[at] = static_cast<std::uint8_t>((NS_SALT_SIZE + n + extra) & 0xff);
    NsCrypt(out.data() + at + 1, plain.data(), static_cast<int>(n));
}

bool ListEncoder::next(Bytes &out, std::size_t maxBytes) {
    if (end_) return false;
    const std::size_t start = out.size();
    if (!head_) {
        appendFrame(out, headerRecord(NS_LISTHEAD));
        head_ = true;
    }
    std::string name;
    while (out.size() - start < maxBytes) {
        if (!names_.next(name)) {
            appendFrame(out, headerRecord(NS_LISTEND));
            end_ = true;
            break;
        }
        ns::RecordBuilder rec(kListEntryType);
        rec.name(name.c_str());
        if (rec.ok()) appendFrame(out, bytesOf(rec));
    }
    return true;
}

}  // namespace nsmd
