// commands.hpp - nsquery's four queries.
//
// Each runs one operation of the name-service client and prints its
// result on standard output (text lines, or one JSON document with
// --json); failures are reported on standard error (and, with --json, as a
// document with "ok": false).  Each returns the exit status: 0 on success,
// 1 when the name service refused or could not be reached.
#ifndef TOOLS_NSQUERY_COMMANDS_HPP
#define TOOLS_NSQUERY_COMMANDS_HPP

#include <string>
#include <vector>

namespace nsquery {

enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

struct Command {
    std::string verb;               // names, adminhost, connect, lookup
    std::vector<std::string> args;  // checked by checkArguments
    bool json = false;
    bool forward = false;           // lookup only
    double timeoutSecs = 30;
};

// Checks the command's arguments; "" when they are fine, else what is wrong.
std::string checkArguments(const Command &cmd);
// Runs a checked command and returns its exit status.
int runCommand(const Command &cmd);
// Reports a failure of cmd: the message on standard error and, with
// --json, the failure document on standard output.  Returns kExitFailed.
int reportFailure(const Command &cmd, const std::string &message);

}  // namespace nsquery

#endif
