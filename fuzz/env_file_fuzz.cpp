// Any bytes as a main configuration file and a user's file, read through
// the real module (rbgetenv, and rbuserenv when the input asks for it).
//
// Input: one byte of flags (1: ProcessType non-zero, 2: HOME unset, 4: call
// rbuserenv on the home directory afterwards), then the main file's bytes,
// then, after the first byte 0xFF, the user's file's bytes (no user file
// without it).
//
// The variables and the exported environment must equal what the line
// parser gives for the lines one by one, main file first.  A main file with
// an invalid line ends the process: such inputs are read in a child process,
// which must exit with the message rather than return or crash.
#include <sanitizer/lsan_interface.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/env.h"
#include "support/env_internal.hpp"

extern char **environ;

namespace {

namespace env = ns::env;

// The 16 keys and the variables they fill.
const std::array<std::pair<const char *, char **>, 16> kVariables = {{
    {"TALVEN_ADMINDIR", &AdminDir},   {"TALVEN_BINDIR", &BinDir},
    {"TALVEN_DEBUGDIR", &DebugDir},   {"TALVEN_ETCDIR", &EtcDir},
    {"TALVEN_EVENTDIR", &EventDir},   {"TALVEN_EVENTLEVEL", &EventLevel},
    {"TALVEN_LOGLIMIT", &LogLimit},   {"TALVEN_MAXSESSIONS", &MaxSessions},
    {"TALVEN_NAMESVC", &Marlod},      {"TALVEN_NSGATEWAY", &NSGateway},
    {"TALVEN_RSOCKDIR", &RsockDir},   {"TALVEN_TMPDIR", &TmpDir},
    {"TALVEN_DIR", &RbDir},           {"TALVEN_TCLDIR", &TCLDir},
    {"TALVEN_TCLSCRIPTDIR", &TCLScriptDir}, {"TALVEN_TCLINTERP", &TCLInterp},
}};

std::string dir, mainPath, homeDir;
std::string configEntry, homeEntry;   // "TALVEN_CONFIG=...", "HOME=..."
std::vector<char *> originalEnv;      // the process's own entries

void writeBytes(const std::string &path, std::string_view bytes) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) __builtin_trap();
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// The lines of a file as the module sees them: cut at each newline, a
// last line without one counts, a line ends at its first NUL, and a line
// whose first byte is '#' is a comment.
std::vector<std::string_view> linesOf(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (!line.empty() && line[0] == '#') continue;
        lines.push_back(line.substr(0, line.find('\0')));
    }
    return lines;
}

// What the module must end up with: the variables' values and the
// environment's entries, applied line by line with its own parser.
struct Model {
    std::array<std::optional<std::string>, 16> vars;
    std::map<std::string, std::string> exported;
    std::deque<std::string> storage;
    std::array<char *, 16> pointers{};

    // Applies a file; false when a line is invalid (only a main file cares).
    bool apply(std::string_view text) {
        bool valid = true;
        for (std::string_view line : linesOf(text)) {
            std::array<env::KeyRow, 16> rows;
            for (std::size_t i = 0; i < rows.size(); ++i)
                rows[i] = {kVariables[i].first, &pointers[i]};
            const env::ParsedLine p = env::parseLine(line, rows);
            if (p.kind == env::LineKind::Invalid) valid = false;
            if (p.kind != env::LineKind::Entry) continue;
            exported[p.key] = p.value;
            for (std::size_t i = 0; i < kVariables.size(); ++i) {
                if (p.key != kVariables[i].first) continue;
                vars[i] = p.value;
                pointers[i] = storage.emplace_back(p.value).data();
            }
        }
        return valid;
    }
};

bool isOriginal(const char *entry) {
    for (const char *o : originalEnv)
        if (entry == o) return true;
    return false;
}

// Frees what the module allocated in the last run and puts the process's
// own environment back, without churning the environment's array (so that
// an input leaves the allocator as it found it).  The module never frees
// its strings: the entries handed to putenv are in the environment, the
// variables' copies in the variables (copies it replaced are out of reach).
void cleanUp() {
    for (auto &[key, var] : kVariables) {
        std::free(*var);
        *var = nullptr;
    }
    std::vector<char *> added;
    char **kept = environ;
    for (char **e = environ; e != nullptr && *e != nullptr; ++e) {
        if (isOriginal(*e) || *e == configEntry.data() || *e == homeEntry.data())
            *kept++ = *e;
        else
            added.push_back(*e);
    }
    if (kept != nullptr) *kept = nullptr;
    for (char *e : added) std::free(e);
    // An entry of the module that replaced one of the process's own.
    for (char *o : originalEnv) {
        bool present = false;
        for (char **e = environ; e != nullptr && *e != nullptr; ++e) present = present || *e == o;
        if (!present) putenv(o);
    }
}

std::string homeOf(const Model &model, bool homeUnset) {
    auto it = model.exported.find("HOME");
    if (it != model.exported.end()) return it->second;
    return homeUnset ? std::string() : homeDir;
}

// A main file with an invalid line ends the process, so it is read in a
// child process.  Forking the fuzzer itself each time would cost more than
// the read (its memory grows to hundreds of megabytes), so a small helper
// forked at the start, before any of that memory exists, forks the readers.
int toHelper = -1, fromHelper = -1;

// libFuzzer's own timer signal may cut a read short: it is read again.
bool readAll(int fd, void *buf, std::size_t n) {
    auto *p = static_cast<char *>(buf);
    while (n > 0) {
        const ssize_t got = read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

void atReaderExit() {
    std::fflush(stderr);
    _exit(42);  // exit() was called: caught here, before any other exit handler
}

// The helper: for each request byte, one reader process that loads the
// configuration (the main file that the fuzzer has just written); answers
// with the reader's wait status and what it wrote on standard error.
[[noreturn]] void helper(int requests, int answers) {
    char go;
    while (read(requests, &go, 1) == 1) {
        int err[2];
        if (pipe(err) != 0) _exit(1);
        const pid_t reader = fork();
        if (reader == 0) {
            dup2(err[1], STDERR_FILENO);
            close(err[0]);
            close(err[1]);
            std::atexit(atReaderExit);
            rbgetenv();
            _exit(0);  // returned instead of ending the process
        }
        close(err[1]);
        std::string message;
        char buf[4096];
        ssize_t n;
        while ((n = read(err[0], buf, sizeof buf)) > 0) message.append(buf, static_cast<std::size_t>(n));
        close(err[0]);
        int status = -1;
        waitpid(reader, &status, 0);
        const std::uint32_t len = static_cast<std::uint32_t>(message.size());
        if (write(answers, &status, sizeof status) != sizeof status ||
            write(answers, &len, sizeof len) != sizeof len ||
            write(answers, message.data(), len) != static_cast<ssize_t>(len))
            _exit(1);
    }
    _exit(0);
}

void startHelper() {
    int req[2], ans[2];
    if (pipe(req) != 0 || pipe(ans) != 0) std::abort();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(req[1]);
        close(ans[0]);
        helper(req[0], ans[1]);
    }
    close(req[0]);
    close(ans[1]);
    toHelper = req[1];
    fromHelper = ans[0];
}

// The module must print its message and exit: not return, not crash.
void expectExit() {
    const char go = 1;
    int status = 0;
    std::uint32_t len = 0;
    ssize_t put;
    while ((put = write(toHelper, &go, 1)) < 0 && errno == EINTR) {
    }
    if (put != 1 || !readAll(fromHelper, &status, sizeof status) ||
        !readAll(fromHelper, &len, sizeof len))
        __builtin_trap();
    std::string message(len, '\0');
    if (len > 0 && !readAll(fromHelper, message.data(), len)) __builtin_trap();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 42 ||
        message.rfind("invalid config file entry '", 0) != 0) {
        std::fprintf(stderr, "reader status %d, standard error:\n%s\n", status, message.c_str());
        __builtin_trap();
    }
}

// Leak detection is off unless asked for: the strings the module keeps
// for the life of the process are taken while it is off anyway, and the
// checks that an input with a replaced value would set off cost half the
// speed for nothing.
std::vector<char *> arguments;

void leakDetectionOff(int *argc, char ***argv) {
    for (int i = 1; i < *argc; ++i)
        if (std::strncmp((*argv)[i], "-detect_leaks=", 14) == 0) return;
    arguments.assign(*argv, *argv + *argc);
    static char off[] = "-detect_leaks=0";
    arguments.insert(arguments.begin() + 1, off);
    arguments.push_back(nullptr);
    *argc += 1;
    *argv = arguments.data();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    leakDetectionOff(argc, argv);
    // In memory where possible: a disk file system flushes a truncated file.
    struct stat shm {};
    const bool inMemory = stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode);
    std::string tmpl = std::string(inMemory ? "/dev/shm" : "/tmp") + "/env_file_fuzz.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    dir = tmpl;
    mainPath = dir + "/talven.conf";
    homeDir = dir + "/home";
    mkdir(homeDir.c_str(), 0700);
    configEntry = "TALVEN_CONFIG=" + mainPath;
    homeEntry = "HOME=" + homeDir;
    for (char **e = environ; e != nullptr && *e != nullptr; ++e) {
        if (std::strncmp(*e, "HOME=", 5) == 0 || std::strncmp(*e, "TALVEN_", 7) == 0) continue;
        originalEnv.push_back(strdup(*e));
    }
    clearenv();
    for (char *o : originalEnv) putenv(o);
    putenv(configEntry.data());
    startHelper();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const int flags = data[0];
    const std::string_view rest(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::size_t split = rest.find('\xff');
    const std::string_view mainText = rest.substr(0, split);
    const bool withUser = split != std::string_view::npos;
    const std::string_view userText = withUser ? rest.substr(split + 1) : std::string_view();
    const bool otherProcess = flags & 1, homeUnset = flags & 2, userEnv = flags & 4;

    writeBytes(mainPath, mainText);
    const std::string userPath = homeDir + "/.talven.conf";
    if (withUser)
        writeBytes(userPath, userText);
    else
        unlink(userPath.c_str());
    putenv(configEntry.data());
    if (homeUnset)
        unsetenv("HOME");
    else
        putenv(homeEntry.data());
    ProcessType = otherProcess ? 1 : 0;
    env::resetForTests();

    Model model;
    if (!model.apply(mainText)) {
        expectExit();
        cleanUp();
        return 0;
    }
    // The user's file lies where HOME points once the main file is read.
    const std::string home = homeOf(model, homeUnset);
    const bool userKnown = home == homeDir || home.empty();
    if (!otherProcess && home == homeDir && withUser) model.apply(userText);
    if (userEnv && withUser) model.apply(userText);

    __lsan_disable();  // the module's strings live until the process ends
    if (rbgetenv() != 0) __builtin_trap();
    if (rbgetenv() != 0) __builtin_trap();  // once only
    if (userEnv && rbuserenv(homeDir.c_str()) != 0) __builtin_trap();
    __lsan_enable();

    if (userKnown) {
        for (std::size_t i = 0; i < kVariables.size(); ++i) {
            const char *got = *kVariables[i].second;
            const auto &want = model.vars[i];
            if ((got != nullptr) != want.has_value()) __builtin_trap();
            if (got != nullptr && *want != got) __builtin_trap();
        }
        for (const auto &[key, value] : model.exported) {
            if (key.empty()) continue;  // no name to look it up by
            const char *got = std::getenv(key.c_str());
            if (got == nullptr || value != got) __builtin_trap();
        }
    }
    cleanUp();
    return 0;
}
