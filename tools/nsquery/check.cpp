// check.cpp - nsquery check: the name service's health for monitoring
// systems, in the monitoring-plugin convention.
//
// The check finds the master as every client does (configured, else by
// discovery), takes a census of --wait seconds and, with --lookup, looks a
// name up through the master and times it.  The master counts as answering
// when it replied to the discovery, the census or the lookup.  States and exit
// statuses: 0 OK, 1 WARNING (a lookup slower than -w, fewer backups than
// --min-backups), 2 CRITICAL (no master answered, the lookup failed or was
// slower than -c, the check did not finish within --timeout), 3 UNKNOWN (bad
// usage, an unreadable configuration, no socket for the census: backups that
// were never counted are no figure to judge).
//
// Its one status line, e.g.
//
//   NSNAME OK - master nsm-master 198.18.0.10, 2 backups, lookup 1.2 ms | time=0.0012s;0.1;1;0 backups=2;;;0
//
// carries the performance data label=value[unit];warn;crit;min: time only
// after a lookup that resolved, backups always (its warn range "N:" with
// --min-backups N).  --prometheus prints the same figures in the Prometheus
// text exposition format instead, and --json as one document.
#include <chrono>
#include <cstdio>
#include <string>

#include "census.hpp"

namespace nsquery {
namespace {

enum State { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };

const char *stateName(State state) {
    static const char *const names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    return names[state];
}

// What the check found.
struct Figures {
    bool masterUp = false;
    std::string masterName;     // its host name; "" when it has none
    std::string masterAddress;  // dotted
    bool censusRan = false;     // false: no socket for the census
    int backups = 0;
    double censusSecs = 0;
    bool lookupMade = false;    // --lookup was given
    bool lookupResolved = false;
    double lookupSecs = 0;      // when it resolved
    std::string lookupError;    // when it did not
};

struct Verdict {
    State state = kOk;
    std::string summary;   // the status line between "- " and " |"
    std::string perfData;  // behind " | "
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool sameHost(const NsAddr &a, const NsAddr &b) { return a.sin_addr.s_addr == b.sin_addr.s_addr; }

Figures gather(const Command &cmd) {
    Figures figures;
    // Without a configured master, finding it is a discovery that only a
    // master's reply ends: then it has answered.
    NsAddr found{};
    const bool configured = presetNS(&found, nullptr) == 0;
    const bool located = findNS(0, &found) == 0;
    const bool discovered = located && !configured;

    const Census census = takeCensus(cmd);
    figures.censusRan = census.ran;
    figures.backups = census.backups();
    figures.censusSecs = census.seconds;
    // The master the clients use, when it answered the census; else any.
    const NameServer *master = nullptr;
    for (const NameServer &server : census.servers)
        if (located && server.master() && (sameHost(server.addr, found) || sameHost(server.from, found))) {
            master = &server;
            break;
        }
    if (master == nullptr) master = census.firstMaster();

    bool lookupAnswered = false;
    if (!cmd.lookupName.empty()) {
        figures.lookupMade = true;
        if (!located) {
            figures.lookupError = "no master found";
        } else {
            const auto start = std::chrono::steady_clock::now();
            const LookupAnswer answer = lookupName(cmd.lookupName, false);
            figures.lookupSecs = secondsSince(start);
            figures.lookupResolved = answer.resolved();
            figures.lookupError = answer.error;
            lookupAnswered = answer.answered();
        }
    }

    figures.masterUp = master != nullptr || discovered || lookupAnswered;
    if (master != nullptr) {
        figures.masterName = master->hostName;
        figures.masterAddress = dottedAddress(master->addr);
    } else if (figures.masterUp) {
        figures.masterName = hostNameOf(found);
        figures.masterAddress = dottedAddress(found);
    }
    return figures;
}

// A threshold as the performance data shows it: "0.1", "1", "0.25".
std::string plainNumber(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    std::string out = text;
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
    return out;
}

// value with the given number of digits after the point: "0.0012".
std::string fixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

Verdict judge(const Command &cmd, const Figures &f) {
    Verdict v;
    const auto raise = [&](State s) {
        if (s > v.state) v.state = s;
    };
    if (f.masterUp) {
        v.summary = "master " + (f.masterName.empty() ? "" : f.masterName + " ") + f.masterAddress;
    } else {
        v.summary = "no master answered";
        raise(kCritical);
    }
    v.summary += ", " + std::to_string(f.backups) + (f.backups == 1 ? " backup" : " backups");
    if (f.backups < cmd.minBackups) {
        v.summary += " (fewer than " + std::to_string(cmd.minBackups) + ")";
        raise(kWarning);
    }
    if (f.lookupMade && f.lookupResolved) {
        v.summary += ", lookup " + fixed(f.lookupSecs * 1000, 1) + " ms";
        if (f.lookupSecs > cmd.critSecs) {
            v.summary += " (above " + plainNumber(cmd.critSecs) + " s)";
            raise(kCritical);
        } else if (f.lookupSecs > cmd.warnSecs) {
            v.summary += " (above " + plainNumber(cmd.warnSecs) + " s)";
            raise(kWarning);
        }
        v.perfData = "time=" + fixed(f.lookupSecs, 4) + "s;" + plainNumber(cmd.warnSecs) + ";" +
                     plainNumber(cmd.critSecs) + ";0 ";
    } else if (f.lookupMade) {
        v.summary += ", lookup of " + cmd.lookupName + " failed: " + f.lookupError;
        raise(kCritical);
    }
    v.perfData += "backups=" + std::to_string(f.backups) + ";" +
                  (cmd.minBackups > 0 ? std::to_string(cmd.minBackups) + ":" : "") + ";;0";
    return v;
}

void printMetric(const char *name, const char *help, const std::string &value) {
    std::printf("# HELP %s %s\n# TYPE %s gauge\n%s %s\n", name, help, name, name, value.c_str());
}

void printMasterUp(bool up) {
    printMetric("nsname_master_up", "Whether the name service master answered the check (1) or not (0).",
                up ? "1" : "0");
}

void printPrometheus(const Figures &f) {
    printMasterUp(f.masterUp);
    printMetric("nsname_backups", "Backup name servers that answered the census.",
                std::to_string(f.backups));
    if (f.lookupMade) {
        printMetric("nsname_lookup_success", "Whether the check's lookup resolved (1) or not (0).",
                    f.lookupResolved ? "1" : "0");
        if (f.lookupResolved)
            printMetric("nsname_lookup_seconds", "Time the check's lookup took, in seconds.",
                        fixed(f.lookupSecs, 6));
    }
    printMetric("nsname_census_seconds", "Time the census took, in seconds.",
                fixed(f.censusSecs, 6));
}

JsonObject stateDoc(const Command &cmd, State state, const std::string &summary) {
    JsonObject doc = commandDoc(cmd);
    doc.text("status", stateName(state)).number("code", state).text("summary", summary);
    return doc;
}

void printJsonReport(const Command &cmd, const Verdict &v, const Figures &f) {
    JsonObject doc = stateDoc(cmd, v.state, v.summary);
    if (f.masterUp) {
        JsonObject master;
        if (f.masterName.empty())
            master.null("name");
        else
            master.text("name", f.masterName);
        master.text("address", f.masterAddress);
        doc.object("master", master);
    } else {
        doc.null("master");
    }
    doc.number("backups", f.backups);
    if (f.lookupMade) {
        JsonObject lookup;
        lookup.text("name", cmd.lookupName).flag("ok", f.lookupResolved);
        if (f.lookupResolved)
            lookup.decimal("seconds", f.lookupSecs, 6);
        else
            lookup.text("error", f.lookupError);
        doc.object("lookup", lookup);
    } else {
        doc.null("lookup");
    }
    doc.decimal("census_seconds", f.censusSecs, 6);
    printJson(doc);
}

// A report without figures: the check could not be made.
int reportState(const Command &cmd, State state, const std::string &message) {
    if (cmd.prometheus) {
        if (state == kUnknown)
            std::fprintf(stderr, "nsquery: check: %s\n", message.c_str());
        else
            printMasterUp(false);
    } else if (cmd.json) {
        JsonObject doc = stateDoc(cmd, state, message);
        doc.text("error", message);
        printJson(doc);
    } else {
        std::printf("NSNAME %s - %s\n", stateName(state), message.c_str());
    }
    return state;
}

}  // namespace

int check(const Command &cmd) {
    const Figures figures = gather(cmd);
    if (!figures.censusRan) return reportState(cmd, kUnknown, kNoCensusSocket);
    const Verdict verdict = judge(cmd, figures);
    if (cmd.prometheus)
        printPrometheus(figures);
    else if (cmd.json)
        printJsonReport(cmd, verdict, figures);
    else
        std::printf("NSNAME %s - %s | %s\n", stateName(verdict.state), verdict.summary.c_str(),
                    verdict.perfData.c_str());
    return verdict.state;
}

std::string checkCheckArguments(const Command &cmd) {
    if (!cmd.args.empty()) return "check takes no arguments";
    if (cmd.json && cmd.prometheus) return "--json and --prometheus exclude each other";
    if (cmd.warnSecs > cmd.critSecs) return "-w (default 0.1) must not be above -c (default 1)";
    if (!cmd.lookupName.empty()) {
        const std::string bad = badServiceName(cmd.lookupName);
        if (!bad.empty()) return "--lookup: " + bad;
    }
    if (cmd.timeoutGiven && cmd.timeoutSecs <= cmd.waitSecs)
        return "--timeout must be longer than the census wait (--wait, default 5)";
    return "";
}

int checkFailure(const Command &cmd, const std::string &message) {
    return reportState(cmd, kCritical, message);
}

int checkUsage(const Command &cmd, const std::string &message) {
    return reportState(cmd, kUnknown, message);
}

int checkConfigurationFailure(const Command &cmd) {
    return reportState(cmd, kUnknown, "the configuration could not be read");
}

}  // namespace nsquery
