// nsquery: queries of the name service that nsadmin does not offer - name
// lists, admin hosts, connections to named services and send-only lookups.
//
// The whole command is bounded by --timeout.  The library owns SIGALRM, so
// the bound is a watchdog: the query runs in a child process and the parent
// waits for it with a deadline, kills it when the deadline passes and
// reports the timeout (exit status 1).
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.hpp"
#include "support/env.h"

namespace {

using nsquery::Command;

constexpr double kMaxTimeoutSecs = 86400;

const char kUsage[] =
    "usage: nsquery [--json] [--timeout SECONDS] COMMAND [ARGUMENTS]\n"
    "\n"
    "Queries the name service (configuration: $TALVEN_CONFIG, else /etc/talven.conf).\n"
    "\n"
    "commands:\n"
    "  names PATTERN [SELECTOR]        the names that match PATTERN, one a line;\n"
    "                                  SELECTOR (0-255, default 0) chooses the list\n"
    "  adminhost [HOST]                the admin host of HOST; without HOST (or with\n"
    "                                  \"*\") every admin host, one a line\n"
    "  connect \\\\host\\svc              connect to the named service and print its\n"
    "                                  address and authentication text\n"
    "  lookup \\\\host\\svc [--forward]   look the name up (send-only lookup, forward\n"
    "                                  lookup with --forward) and print the address\n"
    "                                  and authentication text\n"
    "\n"
    "options:\n"
    "  --json               print one JSON document instead of text\n"
    "  --timeout SECONDS    give up after SECONDS (default 30)\n"
    "  --help               print this help\n"
    "\n"
    "exit status: 0 success, 1 the name service refused, could not be reached\n"
    "or the command timed out, 2 bad usage\n";

int usageError(const std::string &message) {
    std::fprintf(stderr, "nsquery: %s\nTry 'nsquery --help'.\n", message.c_str());
    return nsquery::kExitUsage;
}

bool parseTimeout(const char *text, double &secs) {
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value <= 0 ||
        value > kMaxTimeoutSecs)
        return false;
    secs = value;
    return true;
}

// Parses the command line into cmd; returns -1 when the command should run,
// else the exit status (after --help or a usage error).
int parseCommandLine(int argc, char **argv, Command &cmd) {
    enum { kJson = 1, kTimeout, kForward, kHelp };
    static const option options[] = {
        {"json", no_argument, nullptr, kJson},
        {"timeout", required_argument, nullptr, kTimeout},
        {"forward", no_argument, nullptr, kForward},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, ":", options, nullptr)) != -1) {
        switch (opt) {
        case kJson:
            cmd.json = true;
            break;
        case kTimeout:
            if (!parseTimeout(optarg, cmd.timeoutSecs))
                return usageError("--timeout needs a number of seconds above 0 (at most 86400)");
            break;
        case kForward:
            cmd.forward = true;
            break;
        case kHelp:
            std::fputs(kUsage, stdout);
            return nsquery::kExitOk;
        case ':':
            return usageError(std::string(argv[optind - 1]) + " needs a value");
        default:
            return usageError("unknown option '" + std::string(argv[optind - 1]) + "'");
        }
    }
    if (optind < argc) cmd.verb = argv[optind++];
    while (optind < argc) cmd.args.emplace_back(argv[optind++]);
    const std::string problem = nsquery::checkArguments(cmd);
    return problem.empty() ? -1 : usageError(problem);
}

// Runs the command in a child process and waits for it at most
// cmd.timeoutSecs.  The child holds the write end of a pipe; its end (exit
// or death) closes the pipe, which wakes the parent.
int runWithDeadline(const Command &cmd) {
    std::fflush(stdout);
    std::fflush(stderr);
    int done[2];
    if (pipe(done) != 0) {
        std::perror("nsquery: pipe");
        return nsquery::kExitFailed;
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("nsquery: fork");
        close(done[0]);
        close(done[1]);
        return nsquery::kExitFailed;
    }
    if (child == 0) {
        close(done[0]);
#ifdef __linux__
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // no query outlives its watchdog
#endif
        if (getppid() != parent) _exit(nsquery::kExitFailed);
        rbgetenv();
        const int status = nsquery::runCommand(cmd);
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(status);
    }
    close(done[1]);

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(cmd.timeoutSecs);
    bool finished = false;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd watch{done[0], POLLIN, 0};
        const int ready = poll(&watch, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            finished = true;
            break;
        }
        if (ready < 0 && errno != EINTR) break;
    }
    close(done[0]);
    if (!finished) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!finished) {
        char message[64];
        std::snprintf(message, sizeof message, "no answer within %g seconds", cmd.timeoutSecs);
        return nsquery::reportFailure(cmd, message);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return nsquery::reportFailure(cmd, "the query ended by signal " +
                                           std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0));
}

}  // namespace

int main(int argc, char **argv) {
    Command cmd;
    const int parsed = parseCommandLine(argc, argv, cmd);
    if (parsed >= 0) return parsed;
    return runWithDeadline(cmd);
}
