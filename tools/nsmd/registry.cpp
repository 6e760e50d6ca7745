// registry.cpp - the stand-in name server's registry.
#include "registry.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "nsmd_internal.hpp"
#include "number.hpp"

namespace nsmd {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

// The map key of a name: its host part in lower case, the rest as it is.
std::optional<std::string> key(std::string_view name) {
    auto parts = splitName(name);
    if (!parts) return std::nullopt;
    std::string k = "\\\\";
    for (char c : parts->host) k += lower(c);
    k += '\\';
    k += parts->rest;
    return k;
}

}  // namespace

ns::RecordBuilder lookupReply(const Service &s, bool withName) {
    ns::RecordBuilder reply(NS_OK);
    if (withName) reply.name(s.name.c_str());
    reply.address(&s.addr, sizeof s.addr);
    if (!s.text.empty()) reply.text(s.text.c_str());
    return reply;
}

std::optional<NameParts> splitName(std::string_view name) {
    if (name.size() < 2 || name[0] != '\\' || name[1] != '\\') return std::nullopt;
    std::string_view body = name.substr(2);
    std::size_t sep = body.find('\\');
    if (sep == std::string_view::npos || sep == 0 || sep + 1 == body.size()) return std::nullopt;
    return NameParts{body.substr(0, sep), body.substr(sep + 1)};
}

bool wildcardMatch(std::string_view pattern, std::string_view text) {
    // Greedy scan that backs up to the last '*' on a mismatch: linear in
    // practice and never exponential.
    std::size_t p = 0, t = 0;
    std::size_t star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && lower(pattern[p]) == lower(text[t])) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

ListKind listKindOf(int selector) {
    if (selector == NS_LIST_ADMINHOST) return ListKind::AdminHosts;
    if (selector == 1) return ListKind::PCNames;
    return ListKind::Services;
}

bool Registry::roomFor(std::string_view name, bool pc) const {
    if (!full()) return true;
    auto k = key(name);
    return !k || (pc ? pcs_.count(*k) : services_.count(*k)) > 0;
}

bool Registry::registerService(const Service &service) {
    auto k = key(service.name);
    // Kept only when even the fullest lookup reply to it fits one record.
    if (!k || splitName(service.name)->host == "*" || !lookupReply(service, true).ok() ||
        !roomFor(service.name, false))
        return false;
    Service stored = service;
    stored.addr.sin_family = AF_INET;
    services_[*k] = std::move(stored);
    return true;
}

bool Registry::unregisterService(std::string_view name) {
    auto k = key(name);
    return k && services_.erase(*k) > 0;
}

const Service *Registry::lookup(std::string_view name) const {
    auto parts = splitName(name);
    if (!parts) return nullptr;
    if (parts->host == "*") {
        for (const auto &[k, s] : services_)
            if (splitName(s.name)->rest == parts->rest) return &s;
        return nullptr;
    }
    auto it = services_.find(*key(name));
    return it == services_.end() ? nullptr : &it->second;
}

bool Registry::registerPC(std::string_view name) {
    auto k = key(name);
    if (!k || name.size() > NS_MAX_ITEM || !roomFor(name, true)) return false;
    pcs_[*k] = std::string(name);
    return true;
}

bool Registry::unregisterPC(std::string_view name) {
    auto k = key(name);
    return k && pcs_.erase(*k) > 0;
}

bool Registry::addAdminHost(std::string_view host) {
    if (host.empty() || host.size() > NS_MAX_ITEM) return false;
    if (adminHost(host) == nullptr) admins_.emplace_back(host);
    return true;
}

const std::string *Registry::adminHost(std::string_view host) const {
    for (const auto &a : admins_)
        if (equalIgnoringCase(a, host)) return &a;
    return nullptr;
}

std::size_t Registry::count(ListKind kind, std::string_view pattern) const {
    std::size_t n = 0;
    NameCursor cursor(*this, kind, std::string(pattern));
    for (std::string name; cursor.next(name);) ++n;
    return n;
}

NameCursor::NameCursor(const Registry &registry, ListKind kind, std::string pattern)
    : registry_(&registry), kind_(kind), pattern_(std::move(pattern)) {}

bool NameCursor::next(std::string &name) {
    auto matches = [&](const std::string &n) {
        return pattern_.empty() || wildcardMatch(pattern_, n);
    };
    // Services and PC names resume behind the key given last, which stays
    // valid whatever was added or removed since.
    auto walk = [&](const auto &map, auto nameOf) {
        auto it = started_ ? map.upper_bound(last_) : map.begin();
        started_ = true;
        for (; it != map.end(); ++it) {
            if (!matches(nameOf(it->second))) continue;
            last_ = it->first;
            name = nameOf(it->second);
            return true;
        }
        last_.clear();
        registry_ = nullptr;  // at the end for good
        return false;
    };
    if (registry_ == nullptr) return false;
    switch (kind_) {
    case ListKind::Services:
        return walk(registry_->services_,
                    [](const Service &s) -> const std::string & { return s.name; });
    case ListKind::PCNames:
        return walk(registry_->pcs_, [](const std::string &n) -> const std::string & { return n; });
    case ListKind::AdminHosts:
        // Admin hosts are only ever added, at the end.
        while (index_ < registry_->admins_.size()) {
            const std::string &a = registry_->admins_[index_++];
            if (matches(a)) {
                name = a;
                return true;
            }
        }
        registry_ = nullptr;
        return false;
    }
    return false;
}

namespace {

constexpr const char *kFull = "registry full (see --max-entries)";

// One line of a preload file; "" on success, else the reason.
std::string preloadLine(const std::string &line, Registry &registry) {
    std::istringstream in(line);
    std::string kind, name;
    in >> kind >> name;
    if (kind == "pc") {
        std::string extra;
        if (in >> extra) return "pc takes one name";
        if (!registry.roomFor(name, true)) return kFull;
        return registry.registerPC(name) ? "" : "bad PC name";
    }
    if (kind == "admin") {
        std::string extra;
        if (in >> extra) return "admin takes one host name";
        return registry.addAdminHost(name) ? "" : "bad admin host name";
    }
    if (kind != "service") return "unknown line kind '" + kind + "'";

    std::string address, port, type, level;
    in >> address >> port;
    Service s;
    s.name = name;
    s.addr.sin_family = AF_INET;
    int value = 0;
    if (inet_pton(AF_INET, address.c_str(), &s.addr.sin_addr) != 1) return "bad address";
    if (!parseNumber(port, 0, 65535, value)) return "bad port";
    s.addr.sin_port = htons(static_cast<std::uint16_t>(value));
    if (in >> type) {
        if (!parseNumber(type, 0, 255, value)) return "bad type";
        s.type = value;
    }
    if (in >> level) {
        if (!parseNumber(level, 0, 9, value)) return "bad level";
        s.level = value;
    }
    std::string text;
    std::getline(in, text);
    if (!text.empty() && (text[0] == ' ' || text[0] == '\t')) text.erase(0, 1);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    s.text = text;
    if (!registry.roomFor(s.name, false)) return kFull;
    return registry.registerService(s) ? "" : "bad service name, or name and text too long";
}

}  // namespace

bool loadPreload(const std::string &path, Registry &registry, std::string &error) {
    std::ifstream file(path);
    if (!file) {
        error = path + ": cannot be read";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        std::string reason = preloadLine(line, registry);
        if (!reason.empty()) {
            error = path + ":" + std::to_string(number) + ": " + reason;
            return false;
        }
    }
    return true;
}

}  // namespace nsmd
