// commands.cpp - nsquery's queries: name lists, admin hosts, connections to
// named services and send-only lookups, and the dispatch of every command.
#include "commands.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../common/escape.hpp"
#include "nsquery_internal.hpp"
#include "output.hpp"
#include "rsockmap/rsockmap.h"
#include "rsockmap/servsock.h"

namespace nsquery {
namespace {

constexpr std::size_t kMaxPattern = 109;  // the pattern and the listening address share a record
constexpr std::size_t kMaxHost = NS_MAX_ITEM;
constexpr std::size_t kMaxName = NS_MAX_ITEM;  // a lookup's name item
constexpr int kPartSize = 256;  // host and service parts of a service name

bool parseSelector(const std::string &text, int &selector) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value < 0 || value > 255) return false;
    selector = static_cast<int>(value);
    return true;
}

bool validServiceName(const std::string &name) {
    char host[kPartSize], svc[kPartSize];
    return parseSockName(name.c_str(), host, sizeof host, svc, sizeof svc) == 0;
}

bool isWildcardHost(const std::string *host) {
    return host == nullptr || host->empty() || *host == "*";
}

// Text lines show what came from the network with its control characters
// escaped (--json has escapes of its own).
void printLines(const std::vector<std::string> &lines) {
    for (const auto &line : lines) std::printf("%s\n", nstools::terminalSafe(line).c_str());
}

JsonObject header(const Command &cmd) { return commandDoc(cmd); }

// One service's address and authentication text, as nsadmin prints a
// lookup: "a.b.c.d (port) (auth=text)".
void printService(const Command &cmd, const NsAddr *addr, const std::string &auth) {
    if (!cmd.json)
        std::printf("%s\n", serviceText(addr, auth).c_str());
    else
        printJson(serviceDoc(cmd, cmd.args[0], addr, auth));
}

// Takes the names out of a list block and releases it.
std::vector<std::string> takeList(char **list, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.emplace_back(list[i]);
    std::free(list);
    return names;
}

int names(const Command &cmd) {
    const std::string &pattern = cmd.args[0];
    int selector = 0;
    if (cmd.args.size() > 1) parseSelector(cmd.args[1], selector);
    char **list = nullptr;
    const int count = usptcp_GetNameList(pattern.c_str(), selector, &list);
    if (count < 0)
        return reportFailure(cmd, "the name service refused the list or could not be reached");
    const std::vector<std::string> found = count > 0 ? takeList(list, count) : std::vector<std::string>{};
    if (!cmd.json) {
        printLines(found);
    } else {
        JsonObject doc = header(cmd);
        doc.text("pattern", pattern).number("selector", selector).flag("ok", true).list("names", found);
        printJson(doc);
    }
    return kExitOk;
}

int adminHost(const Command &cmd) {
    const std::string *host = cmd.args.empty() ? nullptr : &cmd.args[0];
    char **list = nullptr;
    const int result = usptcp_GetAdminHost(host ? host->c_str() : nullptr, &list);
    std::vector<std::string> hosts;
    if (isWildcardHost(host)) {
        if (result < 0)
            return reportFailure(cmd, "the name service refused the list or could not be reached");
        if (result > 0) hosts = takeList(list, result);
    } else {
        // The single host's answer lives in the library's own storage.
        if (result != 1)
            return reportFailure(cmd, "the name service refused the query or could not be reached");
        hosts.emplace_back(list[0]);
    }
    if (!cmd.json) {
        printLines(hosts);
    } else {
        JsonObject doc = header(cmd);
        if (host)
            doc.text("host", *host);
        else
            doc.null("host");
        doc.flag("ok", true).list("adminhosts", hosts);
        printJson(doc);
    }
    return kExitOk;
}

int connectService(const Command &cmd) {
    char host[kPartSize], svc[kPartSize];
    parseSockName(cmd.args[0].c_str(), host, sizeof host, svc, sizeof svc);
    NsAddr peer{};
    char auth[NS_AUTH_SIZE] = "";
    const int fd = createClientSocket(host, svc, -1, &peer, auth);
    if (fd < 0)
        return reportFailure(cmd, "no connection: the service is unknown or does not answer");
    close(fd);
    printService(cmd, &peer, auth);
    return kExitOk;
}

int lookup(const Command &cmd) {
    if (cmd.args[0] == "-") return lookupBatch(cmd);
    const LookupAnswer answer = lookupName(cmd.args[0], cmd.forward);
    if (!answer.resolved()) return reportFailure(cmd, answer.error);
    printService(cmd, answer.haveAddr ? &answer.addr : nullptr, answer.auth);
    return kExitOk;
}

}  // namespace

LookupAnswer lookupName(const std::string &name, bool forward) {
    LookupAnswer answer;
    const int fd = forward ? submitUspForwardLookup(name.c_str(), 0) : submitUspLookup(name.c_str(), 0);
    if (fd < 0) {
        answer.error = "the name service could not be reached";
        return answer;
    }
    // The reply is read by the library, as every lookup of the product reads
    // it; the address length stays -1 when the reply carries no address.
    int addrLen = -1;
    char auth[NS_AUTH_SIZE] = "";
    const int type = receiveUspLookup(fd, &answer.addr, &addrLen, auth, sizeof auth);
    answer.type = type;
    if (type < 0) {
        answer.error = "the name service did not answer";
        return answer;
    }
    if (type != NS_OK) {
        answer.error = "the name service refused the lookup (reply type " + std::to_string(type) + ")";
        return answer;
    }
    answer.haveAddr = addrLen >= 0;
    answer.auth = auth;
    return answer;
}

std::string badServiceName(const std::string &name) {
    if (!validServiceName(name)) return "'" + name + "' is not a service name of the form \\\\host\\svc";
    if (name.size() > kMaxName) return "the service name is longer than 127 characters";
    return "";
}

std::string serviceText(const NsAddr *addr, const std::string &auth) {
    // The text comes from the network: its control characters are escaped
    // (--json has escapes of its own).
    return std::string(printaddr(addr)) + " (auth=" + nstools::terminalSafe(auth) + ")";
}

JsonObject serviceDoc(const Command &cmd, const std::string &name, const NsAddr *addr,
                      const std::string &auth) {
    JsonObject doc = commandDoc(cmd);
    doc.text("name", name).flag("ok", true);
    if (cmd.verb == "lookup") doc.flag("forward", cmd.forward);
    addAddress(doc, addr);
    doc.text("auth", auth);
    return doc;
}

JsonObject commandDoc(const Command &cmd) {
    JsonObject doc;
    doc.text("command", cmd.verb);
    return doc;
}

void addAddress(JsonObject &doc, const NsAddr *addr) {
    if (addr == nullptr) {
        doc.null("address").null("port");
        return;
    }
    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr->sin_addr, dotted, sizeof dotted);
    doc.text("address", dotted).number("port", ntohs(addr->sin_port));
}

void printJson(const JsonObject &doc) { std::printf("%s\n", doc.str().c_str()); }

std::string checkArguments(const Command &cmd) {
    const std::size_t n = cmd.args.size();
    if (cmd.forward && cmd.verb != "lookup") return "--forward belongs to lookup";
    if (!cmd.censusOption.empty() && cmd.verb != "census" && cmd.verb != "check")
        return cmd.censusOption + " belongs to census and check";
    if (!cmd.checkOption.empty() && cmd.verb != "check") return cmd.checkOption + " belongs to check";
    if (cmd.verb == "names") {
        if (n < 1 || n > 2) return "names takes PATTERN [SELECTOR]";
        if (cmd.args[0].size() > kMaxPattern) return "the pattern is longer than 109 characters";
        int selector;
        if (n == 2 && !parseSelector(cmd.args[1], selector))
            return "the selector must be a number from 0 to 255";
        return "";
    }
    if (cmd.verb == "adminhost") {
        if (n > 1) return "adminhost takes at most one HOST";
        if (n == 1 && cmd.args[0].size() > kMaxHost) return "the host name is longer than 127 characters";
        return "";
    }
    if (cmd.verb == "connect" || cmd.verb == "lookup") {
        if (n != 1) return cmd.verb + " takes one service name \\\\host\\svc";
        if (cmd.verb == "lookup" && cmd.args[0] == "-") return "";  // names from standard input
        return badServiceName(cmd.args[0]);
    }
    if (cmd.verb == "census") return checkCensusArguments(cmd);
    if (cmd.verb == "check") return checkCheckArguments(cmd);
    return cmd.verb.empty() ? "no command given" : "unknown command '" + cmd.verb + "'";
}

int runCommand(const Command &cmd) {
    if (cmd.verb == "names") return names(cmd);
    if (cmd.verb == "adminhost") return adminHost(cmd);
    if (cmd.verb == "connect") return connectService(cmd);
    if (cmd.verb == "census") return census(cmd);
    if (cmd.verb == "check") return check(cmd);
    return lookup(cmd);
}

int reportFailure(const Command &cmd, const std::string &message) {
    if (cmd.verb == "check") return checkFailure(cmd, message);
    std::fprintf(stderr, "nsquery: %s: %s\n", cmd.verb.c_str(), message.c_str());
    if (cmd.json) {
        JsonObject doc = header(cmd);
        doc.flag("ok", false).text("error", message);
        printJson(doc);
    }
    return kExitFailed;
}

int reportUsage(const Command &cmd, const std::string &message) {
    if (cmd.verb == "check") return checkUsage(cmd, message);
    std::fprintf(stderr, "nsquery: %s\nTry 'nsquery --help'.\n", message.c_str());
    return kExitUsage;
}

int reportConfigurationFailure(const Command &cmd) {
    if (cmd.verb == "check") return checkConfigurationFailure(cmd);
    return kExitFailed;
}

}  // namespace nsquery
