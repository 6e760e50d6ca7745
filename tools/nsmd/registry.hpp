// registry.hpp - what the stand-in name server knows: service names, PC
// names, admin hosts and the control codes it was sent.  In memory only.
//
// Service names have the form \\host\svc.  Two names are the same when
// their host parts are equal ignoring case and the rest is equal exactly;
// registering a name again replaces the earlier registration.  A lookup
// whose host part is "*" finds the service on any host (the first one in
// the registry's order, which is the order of the names with their host
// parts in lower case).  A name whose host part is "*" cannot be registered.
// PC names (\\pc\host) follow the same rules; admin hosts are plain host
// names compared ignoring case.
//
// A registration is kept only when the lookup reply that carries it, name
// item included, fits one record: so every stored service can be answered.
//
// The registry holds at most a given number of entries (service names and PC
// names together; of control codes only the last is kept), so that no client
// can make it grow without end; replacing a registration needs no room.
#ifndef TOOLS_NSMD_REGISTRY_HPP
#define TOOLS_NSMD_REGISTRY_HPP

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nsmd_internal.hpp"
#include "rsockmap/rsockmap.h"

namespace nsmd {

struct Service {
    std::string name;  // as registered
    NsAddr addr{};     // family set to AF_INET
    int type = 0;      // registration type (the request's option byte)
    int level = 0;     // level number (the request's level character - '0')
    std::string text;  // authentication text; empty for none
};

// The NS_OK reply to a lookup of s, with the registered name as its name
// item when withName; ok() is false when it does not fit one record.
ns::RecordBuilder lookupReply(const Service &s, bool withName);

// The parts of \\host\rest; nullopt when the name has another form or a
// part is empty.
struct NameParts {
    std::string_view host;
    std::string_view rest;
};
std::optional<NameParts> splitName(std::string_view name);

// '*' matches any run of characters (also none); every other character
// matches itself, ignoring case.
bool wildcardMatch(std::string_view pattern, std::string_view text);

// What a name list lists, chosen by the request's selector.
enum class ListKind { Services, PCNames, AdminHosts };
ListKind listKindOf(int selector);

inline constexpr std::size_t kDefaultCapacity = 100000;

class Registry;

// Walks the names of one kind that match a pattern, in the registry's order,
// without copying the registry: each call resumes behind the last name it
// gave, so the registry may change between calls (a name added ahead of the
// cursor is still listed, one removed before it is reached is not).  The
// registry must outlive the cursor.
class NameCursor {
public:
    NameCursor(const Registry &registry, ListKind kind, std::string pattern);
    // The next matching name; false at the end.
    bool next(std::string &name);

private:
    const Registry *registry_;
    ListKind kind_;
    std::string pattern_;    // "" matches every name
    std::string last_;       // key of the last name given (services, PC names)
    std::size_t index_ = 0;  // admin hosts: the next one to consider
    bool started_ = false;
};

class Registry {
public:
    explicit Registry(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

    // False when one entry more would not fit and name (a service name, or a
    // PC name when pc) is not registered yet; true for a malformed name,
    // which the registration itself refuses.
    bool roomFor(std::string_view name, bool pc) const;
    std::size_t size() const { return services_.size() + pcs_.size(); }
    std::size_t capacity() const { return capacity_; }

    // False (and nothing changed) for a malformed name, one that does not
    // fit, or a new name when the registry is full.
    bool registerService(const Service &service);
    bool unregisterService(std::string_view name);  // false when not registered
    const Service *lookup(std::string_view name) const;

    bool registerPC(std::string_view name);  // false for a malformed name or a full registry
    bool unregisterPC(std::string_view name);

    // False for an empty name or one longer than an item can hold; adding a
    // name again (in any case) changes nothing and succeeds.
    bool addAdminHost(std::string_view host);
    // The admin host as configured, or null when host is none of them.
    const std::string *adminHost(std::string_view host) const;

    // The last control code sent (the debug mask a client set), 0 before
    // any; one value, so control requests never fill the registry.
    void noteControl(unsigned code) { control_ = code; }
    unsigned control() const { return control_; }

    // How many names of one kind match the pattern ("" matches every name):
    // what a NameCursor over them gives (a walk of the registry; only the
    // verbose output asks).
    std::size_t count(ListKind kind, std::string_view pattern) const;

    std::size_t serviceCount() const { return services_.size(); }
    std::size_t pcCount() const { return pcs_.size(); }

private:
    friend class NameCursor;
    bool full() const { return size() >= capacity_; }

    std::size_t capacity_;
    std::map<std::string, Service> services_;  // by key(name)
    std::map<std::string, std::string> pcs_;   // key(name) -> name
    std::vector<std::string> admins_;
    unsigned control_ = 0;
};

// Loads registrations from a file of lines (blank lines and lines that begin
// with '#' are skipped):
//   service NAME ADDRESS PORT [TYPE [LEVEL [TEXT]]]
//   pc NAME
//   admin HOST
// ADDRESS is a dotted IPv4 address; TYPE and LEVEL are numbers (0 when
// left out); TEXT is the rest of the line and may hold blanks.  On failure
// returns false with "FILE:LINE: reason" in error; lines before it stay loaded.
bool loadPreload(const std::string &path, Registry &registry, std::string &error);

}  // namespace nsmd

#endif
