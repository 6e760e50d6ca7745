// Shared helpers of the test programs.
#ifndef TESTS_SUPPORT_TESTUTIL_HPP
#define TESTS_SUPPORT_TESTUTIL_HPP

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>

#include <string>
#include <utility>
#include <vector>

namespace nstest {

// Addresses of the network sandbox.
inline constexpr const char *kHostName = "nstest";
inline constexpr const char *kHostAddr = "198.18.0.1";
inline constexpr const char *kBcastAddr = "198.18.0.255";
inline constexpr const char *kMasterAddr = "198.18.0.10";   // "nsm-master"
inline constexpr const char *kBackup1Addr = "198.18.0.11";  // "nsm-backup1"
inline constexpr const char *kBackup2Addr = "198.18.0.12";  // "nsm-backup2"
inline constexpr const char *kNamelessAddr = "198.18.0.19"; // no host name

// An IPv4 socket address from a dotted number and a port (host order).
sockaddr_in inetAddr(const char *dotted, std::uint16_t port);

// True inside scripts/netsandbox: the namespace it made, with only lo and
// its veth pair.
bool insideSandbox();

// Re-executes this program through scripts/netsandbox with the same
// arguments; returns (125) only when that fails.
int reexecInsideSandbox(int argc, char **argv);

// Path of a built program (build/bin/NAME).
std::string binPath(const std::string &name);

// A fresh directory under /tmp, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string &path, const std::string &content);
std::string readFile(const std::string &path);  // "" when missing

// Number of open descriptors of this process.
int openFdCount();

using Env = std::vector<std::pair<std::string, std::string>>;

struct ProcResult {
    int status = -1;      // exit status, or 128 + signal, or -1 on timeout
    std::string out;
    std::string err;
};

// Runs a program to its end (killed after timeoutSec) with extra
// environment entries; an entry with an empty value unsets the variable.
// Its standard input holds `input`.
ProcResult runProcess(const std::vector<std::string> &argv, const Env &env = {},
                      int timeoutSec = 60, const std::string &input = {});

// A program run in the background for the length of a test; killed (TERM,
// then KILL) when the object goes.  Its standard output and error go to
// files that can be read at any time.
class Child {
public:
    Child() = default;
    Child(const std::vector<std::string> &argv, const Env &env = {});
    ~Child();
    Child(Child &&other) noexcept;
    Child &operator=(Child &&other) noexcept;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Sends SIGTERM and waits; returns the exit status as in ProcResult.
    int stop();
    std::string out() const;
    std::string err() const;
    // Waits until out() contains text (or the child ends); false on timeout.
    bool waitForOutput(const std::string &text, int timeoutMs = 5000);

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string outPath_, errPath_, dir_;
};

// Sets (or, with nullptr, unsets) an environment variable for the scope.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

// A main configuration file of its own in a fresh directory, which is also
// its temporary directory (TALVEN_TMPDIR), followed by any further entries
// ("KEY=VALUE\n" lines).
class TestConfig {
public:
    explicit TestConfig(const std::string &entries = "");
    const std::string &file() const { return file_; }
    const std::string &dir() const { return dir_.path(); }
    // TALVEN_CONFIG and TALVEN_TMPDIR for runProcess.
    Env env() const;

private:
    TempDir dir_;
    std::string file_;
};

// A TestConfig that this process's environment names for the scope.
class ScopedConfig : public TestConfig {
public:
    explicit ScopedConfig(const std::string &entries = "");

private:
    ScopedEnv config_, tmp_;
};

}  // namespace nstest

#endif
