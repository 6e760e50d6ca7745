// env.cpp - the product's configuration: the key table, the reading of the
// main and the user's file, and the two once-per-process entry points.
//
// Every entry of a file is exported with putenv; an entry whose key is in
// the table also gets a heap copy of its value in the key's variable.  The
// strings handed to putenv and the copies are never freed: putenv keeps the
// string itself, and a variable's earlier copy may still be referenced by a
// caller that read it before it was replaced.
#include "support/env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "support/env_internal.hpp"
#include "support/unique_fd.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define NS_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NS_LEAK_CHECKED 1
#endif
#endif
#ifdef NS_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

char *AdminDir = nullptr;
char *BinDir = nullptr;
char *DebugDir = nullptr;
char *EtcDir = nullptr;
char *EventDir = nullptr;
char *EventLevel = nullptr;
char *LogLimit = nullptr;
char *MaxSessions = nullptr;
char *Marlod = nullptr;
char *NSGateway = nullptr;
char *RsockDir = nullptr;
char *TmpDir = nullptr;
char *RbDir = nullptr;
char *TCLDir = nullptr;
char *TCLScriptDir = nullptr;
char *TCLInterp = nullptr;

int ProcessType = 0;
int ServerPidFD = -1;
int g_Argc = 0;
char **g_Argv = nullptr;

namespace ns::env {
namespace {

const KeyRow table[] = {
    {"TALVEN_ADMINDIR", &AdminDir},
    {"TALVEN_BINDIR", &BinDir},
    {"TALVEN_DEBUGDIR", &DebugDir},
    {"TALVEN_ETCDIR", &EtcDir},
    {"TALVEN_EVENTDIR", &EventDir},
    {"TALVEN_EVENTLEVEL", &EventLevel},
    {"TALVEN_LOGLIMIT", &LogLimit},
    {"TALVEN_MAXSESSIONS", &MaxSessions},
    {"TALVEN_NAMESVC", &Marlod},
    {"TALVEN_NSGATEWAY", &NSGateway},
    {"TALVEN_RSOCKDIR", &RsockDir},
    {"TALVEN_TMPDIR", &TmpDir},
    {"TALVEN_DIR", &RbDir},
    {"TALVEN_TCLDIR", &TCLDir},
    {"TALVEN_TCLSCRIPTDIR", &TCLScriptDir},
    {"TALVEN_TCLINTERP", &TCLInterp},
};

// Once-flags: [0] belongs to rbgetenv, [1] to rbuserenv.  Each is set
// before its files are read, so a nested call returns at once.
int initialised[2] = {0, 0};

constexpr const char *kMainDefault = "/etc/talven.conf";
constexpr const char *kUserFile = ".talven.conf";
constexpr std::string_view kRefPrefix = "$TALVEN_";

// The one place where the module allocates the strings it keeps.  They
// live until the process ends, even once nothing points at them (a value
// replaced by a later entry, an entry someone took out of the environment):
// the leak checker is told so.
char *allocString(std::size_t n) {
#ifdef NS_LEAK_CHECKED
    __lsan_disable();  // what is allocated meanwhile is never reported
#endif
    char *s = static_cast<char *>(std::malloc(n));
#ifdef NS_LEAK_CHECKED
    __lsan_enable();
#endif
    return s;
}

const KeyRow *findRow(std::span<const KeyRow> rows, std::string_view key) {
    for (const KeyRow &row : rows)
        if (key == row.key) return &row;
    return nullptr;
}

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The largest configuration file that is read: far above any real one,
// and small enough that reading it whole costs nothing worth noting.
constexpr std::size_t kMaxFileSize = std::size_t{16} << 20;

enum class Load { Ok, CannotOpen, NotRegular, TooLarge };

// Reads the whole of a configuration file into text.  Only a regular file
// is read: a FIFO would hold the open or the first read for ever, a
// directory would read as an empty file and a device such as /dev/zero
// would never end.  The open itself does not wait (O_NONBLOCK) and does not
// make a terminal the controlling one.  A file larger than kMaxFileSize, by
// its size at the start or by what it grows to while it is read, is refused
// whole.  CannotOpen leaves errno as the failed call set it; a read error
// ends the file like its end does.
Load loadFile(const std::string &path, std::string &text) {
    ns::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) return Load::CannotOpen;
    if (!S_ISREG(st.st_mode)) return Load::NotRegular;
    if (st.st_size < 0 || static_cast<std::uintmax_t>(st.st_size) > kMaxFileSize)
        return Load::TooLarge;
    // Read through stdio, as the LOGFAIL file is written: the library's own
    // read() calls stay those on its sockets and pipes, which the
    // fault-injection tests count.  Unbuffered, each fread goes straight into
    // the text: no stdio buffer to allocate and size.
    File file(fdopen(fd.get(), "r"));
    if (!file) return Load::CannotOpen;
    fd.release();
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    // One byte more than the size asked for, so that a read that fills it
    // shows the file has grown since; it is then read on in steps.
    std::size_t want = static_cast<std::size_t>(st.st_size) + 1;
    for (;;) {
        const std::size_t have = text.size();
        if (want > kMaxFileSize + 1 - have) want = kMaxFileSize + 1 - have;
        text.resize(have + want);
        const std::size_t got = std::fread(text.data() + have, 1, want, file.get());
        text.resize(have + got);
        if (text.size() > kMaxFileSize) return Load::TooLarge;
        // A short read is the end of the file (or a read error, which ends
        // it too): asking again would only cost one more read that finds
        // nothing.
        if (got < want) break;
        want = 8192;
    }
    return Load::Ok;
}

[[noreturn]] void cannotContinue() {
    std::fputs("can't open main config file: unable to continue\n", stderr);
    std::exit(1);
}

// Puts KEY=VALUE into the environment.  When the string cannot be
// allocated the entry simply stays out of the environment.
void exportEntry(const std::string &key, const std::string &value) {
    std::size_t size = key.size() + value.size() + 2;
    char *entry = allocString(size);
    if (entry == nullptr) return;
    std::snprintf(entry, size, "%s=%s", key.c_str(), value.c_str());
    putenv(entry);
}

// Stores a copy of the value in the variable of the key's table row, if the
// key has one.  Returns false when the copy cannot be allocated; the
// variable is then null.
bool storeVariable(const std::string &key, const std::string &value) {
    const KeyRow *row = findRow(table, key);
    if (row == nullptr) return true;
    char *copy = allocString(value.size() + 1);
    *row->var = copy;
    if (copy == nullptr) return false;
    std::memcpy(copy, value.c_str(), value.size() + 1);
    return true;
}

[[noreturn]] void mainFileOutOfMemory() {
    std::perror("malloc");
    std::exit(1);
}

// Reads one file: the main file when dir is null, else dir/.talven.conf.
// The main file's faults end the process; the user file's are skipped.
// May throw std::bad_alloc (the file is closed on the way out).
int readFile(const char *dir) {
    const bool mainFile = dir == nullptr;
    std::string path;
    if (mainFile) {
        const char *configured = std::getenv("TALVEN_CONFIG");
        path = configured != nullptr ? configured : kMainDefault;
    } else {
        path = std::string(dir) + "/" + kUserFile;
    }

    // A file that cannot be used is reported like one that cannot be
    // opened: "path: reason", which the main file follows with the end of
    // the process.  Only a file too large to read is worth a word even when
    // it is the user's.
    std::string text;
    switch (loadFile(path, text)) {
    case Load::Ok: break;
    case Load::CannotOpen:
        if (!mainFile) return 0;
        std::perror(path.c_str());
        cannotContinue();
    case Load::NotRegular:
        if (!mainFile) return 0;
        std::fprintf(stderr, "%s: Not a regular file\n", path.c_str());
        cannotContinue();
    case Load::TooLarge:
        std::fprintf(stderr, "%s: File too large (more than 16 MiB)\n", path.c_str());
        if (!mainFile) return 0;
        cannotContinue();
    }

    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        std::string_view raw = rest.substr(0, newline);
        rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
        // Only the very first byte marks a comment.
        if (!raw.empty() && raw[0] == '#') continue;
        // A line ends at its first NUL, as a C string does.
        const std::string line(raw.substr(0, raw.find('\0')));

        ParsedLine entry = parseLine(line, table);
        if (entry.kind == LineKind::Invalid) {
            if (!mainFile) continue;
            std::fprintf(stderr, "invalid config file entry '%s': unable to continue\n",
                         line.c_str());
            std::exit(1);
        }
        if (entry.kind == LineKind::Empty) continue;

        exportEntry(entry.key, entry.value);
        if (!storeVariable(entry.key, entry.value)) {
            // A user file stops here; the variable stays null.
            if (mainFile) mainFileOutOfMemory();
            return 0;
        }
    }
    return 0;
}

// Reads one file and returns 0 in every case that returns.  Memory running
// out anywhere else than in a variable's copy is handled as that case is:
// it ends the process in the main file and stops reading a user file.
int GetEnv(const char *dir) noexcept {
    try {
        return readFile(dir);
    } catch (const std::bad_alloc &) {
        if (dir == nullptr) {
            errno = ENOMEM;
            mainFileOutOfMemory();
        }
        return 0;
    }
}

}  // namespace

ParsedLine parseLine(std::string_view line, std::span<const KeyRow> rows) {
    ParsedLine result;
    line = line.substr(0, line.find('\0'));

    std::string entry;
    entry.reserve(line.size());
    for (char c : line)
        if (!std::isspace(static_cast<unsigned char>(c))) entry.push_back(c);
    if (entry.empty()) return result;

    std::size_t equals = entry.find('=');
    if (equals == std::string::npos) {
        result.kind = LineKind::Invalid;
        return result;
    }
    result.kind = LineKind::Entry;
    result.key.assign(entry, 0, equals);
    std::string_view value = std::string_view(entry).substr(equals + 1);
    if (!value.starts_with(kRefPrefix)) {
        result.value.assign(value);
        return result;
    }

    // "$TALVEN_NAME/rest": the name runs from after the "$" to the first
    // "/", the rest from that "/" on.  An unknown name, or a known one whose
    // variable is still null, stands for the empty string.
    std::string_view name = value.substr(1);
    std::string_view rest;
    if (std::size_t slash = name.find('/'); slash != std::string_view::npos) {
        rest = name.substr(slash);
        name = name.substr(0, slash);
    }
    const KeyRow *row = findRow(rows, name);
    if (row != nullptr && *row->var != nullptr) result.value = *row->var;
    result.value.append(rest);
    return result;
}

void resetForTests() {
    initialised[0] = initialised[1] = 0;
    for (const KeyRow &row : table) *row.var = nullptr;
}

}  // namespace ns::env

extern "C" int rbgetenv(void) {
    using namespace ns::env;
    if (initialised[0]) return 0;
    initialised[0] = 1;
    GetEnv(nullptr);
    if (ProcessType == 0) {
        // HOME is looked up after the main file, which may have set it.
        // Without a home directory there is no user file to read.
        if (const char *home = std::getenv("HOME")) GetEnv(home);
    }
    return 0;
}

extern "C" int rbuserenv(const char *dir) {
    using namespace ns::env;
    if (initialised[1]) return 0;
    initialised[1] = 1;
    // A null directory names no user file; it never means the main file.
    if (dir != nullptr) GetEnv(dir);
    return 0;
}
