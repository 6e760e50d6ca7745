// commands.hpp - nsquery's commands.
//
// Each runs operations of the name-service client and prints its result on
// standard output (text lines, or JSON with --json); failures are reported
// on standard error (and, with --json, as a document with "ok": false).
// Each returns the exit status: 0 on success, 1 when the name service
// refused or could not be reached.  The monitoring check has statuses of its
// own (see check.cpp).
#ifndef TOOLS_NSQUERY_COMMANDS_HPP
#define TOOLS_NSQUERY_COMMANDS_HPP

#include <string>
#include <vector>

#include "output.hpp"
#include "rsockmap/rsockmap.h"

namespace nsquery {

enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

struct Command {
    std::string verb;               // names, adminhost, connect, lookup, census, check
    std::vector<std::string> args;  // checked by checkArguments
    bool json = false;
    bool forward = false;           // lookup only
    double timeoutSecs = 30;
    bool timeoutGiven = false;      // --timeout was on the command line
    // census and check
    unsigned int waitSecs = 5;      // how long the census listens
    bool waitGiven = false;
    bool bcastGiven = false;        // -b: the census goes to bcast
    NsAddr bcast{};
    // check
    double warnSecs = 0.1;          // -w: a slower lookup is a warning
    double critSecs = 1;            // -c: a slower lookup is critical
    int minBackups = 0;             // --min-backups: fewer is a warning
    std::string lookupName;         // --lookup: this name must resolve
    bool prometheus = false;        // --prometheus: metrics instead of a status line
    std::string censusOption;       // the first of --wait and -b given
    std::string checkOption;        // the first option of the check alone given
    std::string optionError;        // the first bad option, found while parsing
};

// Checks the command's arguments; "" when they are fine, else what is wrong.
std::string checkArguments(const Command &cmd);
// Runs a checked command and returns its exit status.
int runCommand(const Command &cmd);
// Reports a failure of the whole command (its time ran out, it ended by a
// signal): the message on standard error and, with --json, the failure
// document on standard output.  Returns kExitFailed (for the check: its
// CRITICAL status, with the status line or metrics).
int reportFailure(const Command &cmd, const std::string &message);
// Reports a usage error of cmd and returns the exit status for it.
int reportUsage(const Command &cmd, const std::string &message);
// Reports that the configuration could not be read (the library has said
// why on standard error) and returns the exit status for it.
int reportConfigurationFailure(const Command &cmd);

// One lookup by a send-only request (a forward lookup when forward is set),
// as the lookup command, its batches and the check make it.
struct LookupAnswer {
    int type = -1;           // the reply's type; -1: no reply
    bool haveAddr = false;   // the reply carried an address item
    NsAddr addr{};
    std::string auth;        // the reply's text item ("" without one)
    std::string error;       // why the name did not resolve; "" when it did

    bool resolved() const { return error.empty(); }
    bool answered() const { return type >= 0; }
};
LookupAnswer lookupName(const std::string &name, bool forward);
// Why name cannot be looked up at all ("" when it can): not of the form
// \\host\svc, or too long for the request.
std::string badServiceName(const std::string &name);
// "a.b.c.d (port) (auth=text)", the text form of a found service.
std::string serviceText(const NsAddr *addr, const std::string &auth);
// The JSON document of a found service: command, name, ok, (forward,)
// address, port and auth.
JsonObject serviceDoc(const Command &cmd, const std::string &name, const NsAddr *addr,
                      const std::string &auth);
// A document that begins with the command's name.
JsonObject commandDoc(const Command &cmd);
// The dotted address and the port of addr as JSON members ("address" and
// "port"; both null without an address).
void addAddress(JsonObject &doc, const NsAddr *addr);
// Prints a document as one line.
void printJson(const JsonObject &doc);

// The commands of their own files.
int lookupBatch(const Command &cmd);  // lookup -
int census(const Command &cmd);
int check(const Command &cmd);
std::string checkCensusArguments(const Command &cmd);
std::string checkCheckArguments(const Command &cmd);
// The check's reports of a failure of the whole command, of a usage error
// and of an unreadable configuration.
int checkFailure(const Command &cmd, const std::string &message);
int checkUsage(const Command &cmd, const std::string &message);
int checkConfigurationFailure(const Command &cmd);

}  // namespace nsquery

#endif
