// nsquery: queries of the name service that nsadmin does not offer - name
// lists, admin hosts, connections to named services, send-only lookups one
// at a time or in batches, the census and a check for monitoring systems.
//
// The whole command is bounded by --timeout.  The library owns SIGALRM, so
// the bound is a watchdog: the query runs in a child process and the parent
// waits for it with a deadline, kills it when the deadline passes and
// reports the timeout (exit status 1).
#include <arpa/inet.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.hpp"
#include "support/env.h"

namespace {

using nsquery::Command;

constexpr double kMaxTimeoutSecs = 86400;
constexpr long kMaxWaitSecs = 3600;
constexpr long kMaxBackups = 1000;

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
    "  lookup - [--forward]            look up every name read from standard input,\n"
    "                                  one a line, and answer each with one line\n"
    "  census [--wait S] [-b A/P]      every name server that answers a census\n"
    "                                  broadcast within S seconds (default 5)\n"
    "  check [OPTIONS]                 a monitoring check of the name service:\n"
    "                                  exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN\n"
    "\n"
    "options:\n"
    "  --json               print JSON instead of text\n"
    "  --timeout SECONDS    give up after SECONDS (default 30, or the census\n"
    "                       wait plus 10 when that is longer)\n"
    "  --wait SECONDS       census and check: listen this long (1-3600, default 5)\n"
    "  -b, --broadcast ADDRESS/PORT\n"
    "                       census and check: send the census there (a.b.c.d/port)\n"
    "  -w, --warning SECONDS   check: a lookup slower than this is a warning (0.1)\n"
    "  -c, --critical SECONDS  check: a lookup slower than this is critical (1)\n"
    "  --min-backups N      check: fewer backups than N is a warning (0)\n"
    "  --lookup \\\\host\\svc  check: this name must resolve\n"
    "  --prometheus         check: print metrics in the Prometheus text format\n"
    "  --help               print this help\n"
    "\n"
    "exit status: 0 success, 1 the name service refused, could not be reached\n"
    "or the command timed out (census: no master answered), 2 bad usage;\n"
    "check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN\n";

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

// A whole number from min to max.
template <typename Int>
bool parseWhole(const char *text, long min, long max, Int &out) {
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max) return false;
    out = static_cast<Int>(value);
    return true;
}

// "a.b.c.d/port", every part in range.
bool parseBroadcast(const char *text, NsAddr &addr) {
    const char *slash = std::strchr(text, '/');
    if (slash == nullptr || slash - text >= INET_ADDRSTRLEN) return false;
    const std::string dotted(text, slash);
    char *end = nullptr;
    errno = 0;
    const long port = std::strtol(slash + 1, &end, 10);
    if (errno != 0 || end == slash + 1 || *end != '\0' || port < 1 || port > 65535) return false;
    NsAddr parsed{};
    if (inet_pton(AF_INET, dotted.c_str(), &parsed.sin_addr) != 1) return false;
    parsed.sin_family = AF_INET;
    parsed.sin_port = htons(static_cast<std::uint16_t>(port));
    addr = parsed;
    return true;
}

// Parses the command line into cmd; returns -1 when the command should run,
// else the exit status (after --help or a usage error).  The parse goes on
// after a bad option so that the command, wherever it stands, decides how
// the error is reported.
int parseCommandLine(int argc, char **argv, Command &cmd) {
    enum { kJson = 1, kTimeout, kForward, kHelp, kWait, kMinBackups, kLookup, kPrometheus };
    static const option options[] = {
        {"json", no_argument, nullptr, kJson},
        {"timeout", required_argument, nullptr, kTimeout},
        {"forward", no_argument, nullptr, kForward},
        {"help", no_argument, nullptr, kHelp},
        {"wait", required_argument, nullptr, kWait},
        {"broadcast", required_argument, nullptr, 'b'},
        {"warning", required_argument, nullptr, 'w'},
        {"critical", required_argument, nullptr, 'c'},
        {"min-backups", required_argument, nullptr, kMinBackups},
        {"lookup", required_argument, nullptr, kLookup},
        {"prometheus", no_argument, nullptr, kPrometheus},
        {nullptr, 0, nullptr, 0},
    };
    bool help = false;
    std::string &problem = cmd.optionError;
    const auto given = [](std::string &first, const char *name) {
        if (first.empty()) first = name;
    };
    const auto fail = [&](std::string message) {
        if (problem.empty()) problem = std::move(message);
    };
    opterr = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, ":b:w:c:", options, nullptr)) != -1) {
        switch (opt) {
        case kJson:
            cmd.json = true;
            break;
        case kTimeout:
            if (!parseTimeout(optarg, cmd.timeoutSecs))
                fail("--timeout needs a number of seconds above 0 (at most 86400)");
            cmd.timeoutGiven = true;
            break;
        case kForward:
            cmd.forward = true;
            break;
        case kHelp:
            help = true;
            break;
        case kWait:
            if (!parseWhole(optarg, 1, kMaxWaitSecs, cmd.waitSecs))
                fail("--wait needs a whole number of seconds from 1 to 3600");
            cmd.waitGiven = true;
            given(cmd.censusOption, "--wait");
            break;
        case 'b':
            if (!parseBroadcast(optarg, cmd.bcast))
                fail("-b needs an address and port of the form a.b.c.d/port");
            cmd.bcastGiven = true;
            given(cmd.censusOption, "-b");
            break;
        case 'w':
        case 'c':
            if (!parseTimeout(optarg, opt == 'w' ? cmd.warnSecs : cmd.critSecs))
                fail(std::string(opt == 'w' ? "-w" : "-c") +
                     " needs a number of seconds above 0 (at most 86400)");
            given(cmd.checkOption, opt == 'w' ? "-w" : "-c");
            break;
        case kMinBackups:
            if (!parseWhole(optarg, 0, kMaxBackups, cmd.minBackups))
                fail("--min-backups needs a whole number from 0 to 1000");
            given(cmd.checkOption, "--min-backups");
            break;
        case kLookup:
            cmd.lookupName = optarg;
            if (cmd.lookupName.empty()) fail("--lookup needs a service name");
            given(cmd.checkOption, "--lookup");
            break;
        case kPrometheus:
            cmd.prometheus = true;
            given(cmd.checkOption, "--prometheus");
            break;
        case ':':
            fail(std::string(argv[optind - 1]) + " needs a value");
            break;
        default:
            fail("unknown option '" + std::string(argv[optind - 1]) + "'");
            break;
        }
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return nsquery::kExitOk;
    }
    if (optind < argc) cmd.verb = argv[optind++];
    while (optind < argc) cmd.args.emplace_back(argv[optind++]);
    if (problem.empty()) problem = nsquery::checkArguments(cmd);
    if (!problem.empty()) return nsquery::reportUsage(cmd, problem);
    // The census must have its time: unless --timeout says otherwise, the
    // command may take the wait and ten seconds more.
    if (!cmd.timeoutGiven) cmd.timeoutSecs = std::max(cmd.timeoutSecs, cmd.waitSecs + 10.0);
    return -1;
}

// The command whose configuration is being read.  The library ends the
// process (status 1, its reason on standard error) when the main file
// cannot be used; the exit handler then gives the command's own status for
// that, which for the check is UNKNOWN, not WARNING.
const Command *loading = nullptr;

void exitWhileLoading() {
    if (loading == nullptr) return;
    const int status = nsquery::reportConfigurationFailure(*loading);
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}

void loadConfiguration(const Command &cmd) {
    loading = &cmd;
    std::atexit(exitWhileLoading);
    rbgetenv();
    loading = nullptr;
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
        loadConfiguration(cmd);
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
