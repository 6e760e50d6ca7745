#include "support/testutil.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace nstest {

sockaddr_in inetAddr(const char *dotted, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, dotted, &a.sin_addr);
    return a;
}

bool insideSandbox() {
    const char *want = std::getenv("NS_SANDBOX_NETNS");
    if (want == nullptr) return false;
    char have[64];
    ssize_t n = readlink("/proc/self/ns/net", have, sizeof have - 1);
    if (n <= 0) return false;
    have[n] = '\0';
    if (std::strcmp(want, have) != 0) return false;
    struct if_nameindex *ifs = if_nameindex();
    if (ifs == nullptr) return false;
    bool ok = true;
    for (struct if_nameindex *i = ifs; i->if_index != 0; ++i) {
        if (std::strcmp(i->if_name, "lo") != 0 && std::strcmp(i->if_name, "nsb0") != 0 &&
            std::strcmp(i->if_name, "nsb1") != 0)
            ok = false;
    }
    if_freenameindex(ifs);
    return ok;
}

int reexecInsideSandbox(int argc, char **argv) {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::perror("readlink /proc/self/exe");
        return 125;
    }
    self[n] = '\0';
    std::vector<char *> args{const_cast<char *>(NS_SANDBOX_SCRIPT), self};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(NS_SANDBOX_SCRIPT, args.data());
    std::perror("exec " NS_SANDBOX_SCRIPT);
    return 125;
}

std::string binPath(const std::string &name) { return std::string(NS_BIN_DIR) + "/" + name; }

TempDir::TempDir() {
    char tmpl[] = "/tmp/nstest.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

static void removeTree(const std::string &path) {
    DIR *d = opendir(path.c_str());
    if (d != nullptr) {
        while (struct dirent *e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            std::string p = path + "/" + e->d_name;
            struct stat st;
            if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                removeTree(p);
            else
                unlink(p.c_str());
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

TempDir::~TempDir() { removeTree(path_); }

void writeFile(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string readFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

int openFdCount() {
    int count = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++count;
    closedir(d);
    return count - 1;  // the directory's own descriptor
}

static void applyEnv(const Env &env) {
    for (const auto &[k, v] : env) {
        if (v.empty())
            unsetenv(k.c_str());
        else
            setenv(k.c_str(), v.c_str(), 1);
    }
}

// The words of NS_TEST_NSADMIN_PREFIX (separated by blanks) go in front of
// every nsadmin that the tests run as a process, e.g. to run the tool under
// valgrind: NS_TEST_NSADMIN_PREFIX="valgrind --error-exitcode=99 -q".
static std::vector<std::string> withPrefix(const std::vector<std::string> &argv) {
    const char *prefix = std::getenv("NS_TEST_NSADMIN_PREFIX");
    if (prefix == nullptr || argv.empty() || argv[0] != binPath("nsadmin")) return argv;
    std::vector<std::string> out;
    std::istringstream words(prefix);
    for (std::string w; words >> w;) out.push_back(w);
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

static pid_t spawn(const std::vector<std::string> &plainArgv, const Env &env,
                   const std::string &out, const std::string &err,
                   const std::string &in = "/dev/null") {
    const std::vector<std::string> argv = withPrefix(plainArgv);
    pid_t pid = fork();
    if (pid != 0) return pid;
    // A child never outlives a test program that dies without cleaning up.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    applyEnv(env);
    int fdo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int fde = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int fdi = open(in.c_str(), O_RDONLY);
    if (fdo < 0 || fde < 0 || fdi < 0) _exit(126);
    dup2(fdi, 0);
    dup2(fdo, 1);
    dup2(fde, 2);
    // Nothing of the test process's descriptors leaks into the child.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());  // a prefix may be a bare program name
    _exit(127);
}

static int decodeStatus(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

ProcResult runProcess(const std::vector<std::string> &argv, const Env &env, int timeoutSec,
                      const std::string &input) {
    TempDir dir;
    ProcResult r;
    writeFile(dir.file("in"), input);
    pid_t pid = spawn(argv, env, dir.file("out"), dir.file("err"), dir.file("in"));
    if (pid < 0) return r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    int st = 0;
    for (;;) {
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w == pid) {
            r.status = decodeStatus(st);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            r.status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    r.out = readFile(dir.file("out"));
    r.err = readFile(dir.file("err"));
    return r;
}

Child::Child(const std::vector<std::string> &argv, const Env &env) {
    char tmpl[] = "/tmp/nschild.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    outPath_ = dir_ + "/out";
    errPath_ = dir_ + "/err";
    pid_ = spawn(argv, env, outPath_, errPath_);
}

Child::~Child() {
    stop();
    if (!dir_.empty()) removeTree(dir_);
}

Child::Child(Child &&o) noexcept { *this = std::move(o); }

Child &Child::operator=(Child &&o) noexcept {
    if (this != &o) {
        stop();
        if (!dir_.empty()) removeTree(dir_);
        pid_ = std::exchange(o.pid_, -1);
        status_ = o.status_;
        outPath_ = std::move(o.outPath_);
        errPath_ = std::move(o.errPath_);
        dir_ = std::exchange(o.dir_, std::string());
    }
    return *this;
}

bool Child::running() {
    if (pid_ <= 0) return false;
    int st;
    pid_t w = waitpid(pid_, &st, WNOHANG);
    if (w == pid_) {
        status_ = decodeStatus(st);
        pid_ = -1;
        return false;
    }
    return true;
}

int Child::stop() {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    int st;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = decodeStatus(st);
            pid_ = -1;
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &st, 0);
    status_ = decodeStatus(st);
    pid_ = -1;
    return status_;
}

std::string Child::out() const { return readFile(outPath_); }
std::string Child::err() const { return readFile(errPath_); }

bool Child::waitForOutput(const std::string &text, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (out().find(text) != std::string::npos) return true;
        if (!running()) return out().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
    if (const char *old = std::getenv(name)) {
        had_ = true;
        old_ = old;
    }
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

TestConfig::TestConfig(const std::string &entries) : file_(dir_.file("talven.conf")) {
    writeFile(file_, "TALVEN_TMPDIR=" + dir_.path() + "\n" + entries);
}

Env TestConfig::env() const {
    return {{"TALVEN_CONFIG", file_}, {"TALVEN_TMPDIR", dir()}, {"HOME", dir()}};
}

ScopedConfig::ScopedConfig(const std::string &entries)
    : TestConfig(entries),
      config_("TALVEN_CONFIG", file().c_str()),
      tmp_("TALVEN_TMPDIR", dir().c_str()) {}

}  // namespace nstest
