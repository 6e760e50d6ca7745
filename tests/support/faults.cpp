// The wrappers behind tests/support/faults.hpp.  They are linked into every
// test program but take effect only where the link wraps the real calls
// (programs named fault_*_test).
#include "support/faults.hpp"

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>

extern "C" {
int __real_socket(int, int, int);
int __real_bind(int, const struct sockaddr *, socklen_t);
int __real_listen(int, int);
int __real_accept(int, struct sockaddr *, socklen_t *);
int __real_connect(int, const struct sockaddr *, socklen_t);
ssize_t __real_read(int, void *, size_t);
ssize_t __real_write(int, const void *, size_t);
ssize_t __real_send(int, const void *, size_t, int);
ssize_t __real_sendto(int, const void *, size_t, int, const struct sockaddr *, socklen_t);
ssize_t __real_recvfrom(int, void *, size_t, int, struct sockaddr *, socklen_t *);
void *__real_malloc(size_t);
void *__real_realloc(void *, size_t);
}

namespace nstest::faults {
namespace {

struct Plan {
    int count = 0;      // calls seen since reset
    int failAt = 0;     // 0: none; else the call number that fails
    bool failEvery = false;
    int err = 0;
    int hookAt = 0;             // 0: none; else the call number that runs hook
    void (*hook)() = nullptr;
    int shortAt = 0;            // 0: none; else the call number that is cut
    std::size_t shortTo = 0;
};

constexpr std::size_t kCalls = static_cast<std::size_t>(Call::Count_);
std::array<Plan, kCalls> plans;
std::size_t writeLimit = 0;  // 0: none

// Counts the call; true when it must fail (errno is then set).
bool shouldFail(Call call) {
    Plan &p = plans[static_cast<std::size_t>(call)];
    ++p.count;
    if (p.hook != nullptr && p.count == p.hookAt) {
        void (*hook)() = p.hook;
        p.hook = nullptr;
        hook();
    }
    if (p.failEvery || (p.failAt != 0 && p.count == p.failAt)) {
        errno = p.err;
        return true;
    }
    return false;
}

}  // namespace

void failNth(Call call, int n, int err) {
    Plan &p = plans[static_cast<std::size_t>(call)];
    p.failAt = p.count + n;
    p.failEvery = false;
    p.err = err;
}

void failAll(Call call, int err) {
    Plan &p = plans[static_cast<std::size_t>(call)];
    p.failEvery = true;
    p.err = err;
}

void beforeNth(Call call, int n, void (*action)()) {
    Plan &p = plans[static_cast<std::size_t>(call)];
    p.hookAt = p.count + n;
    p.hook = action;
}

void alarmRunsOut() {
    alarm(0);
    raise(SIGALRM);
}

void shortWrites(std::size_t maxBytes) { writeLimit = maxBytes; }

void shortNth(Call call, int n, std::size_t maxBytes) {
    Plan &p = plans[static_cast<std::size_t>(call)];
    p.shortAt = p.count + n;
    p.shortTo = maxBytes;
}

// The count a write of n bytes may put out: cut by shortWrites, or by
// shortNth for the call just counted.
static std::size_t allowed(Call call, std::size_t n) {
    const Plan &p = plans[static_cast<std::size_t>(call)];
    if (p.shortAt != 0 && p.count == p.shortAt && n > p.shortTo) n = p.shortTo;
    if (writeLimit != 0 && n > writeLimit) n = writeLimit;
    return n;
}

int calls(Call call) { return plans[static_cast<std::size_t>(call)].count; }

void reset() {
    plans = {};
    writeLimit = 0;
}

}  // namespace nstest::faults

using nstest::faults::Call;
using nstest::faults::shouldFail;

extern "C" {

int __wrap_socket(int d, int t, int p) {
    return shouldFail(Call::Socket) ? -1 : __real_socket(d, t, p);
}
int __wrap_bind(int s, const struct sockaddr *a, socklen_t l) {
    return shouldFail(Call::Bind) ? -1 : __real_bind(s, a, l);
}
int __wrap_listen(int s, int b) { return shouldFail(Call::Listen) ? -1 : __real_listen(s, b); }
int __wrap_accept(int s, struct sockaddr *a, socklen_t *l) {
    return shouldFail(Call::Accept) ? -1 : __real_accept(s, a, l);
}
int __wrap_connect(int s, const struct sockaddr *a, socklen_t l) {
    return shouldFail(Call::Connect) ? -1 : __real_connect(s, a, l);
}
ssize_t __wrap_read(int fd, void *b, size_t n) {
    return shouldFail(Call::Read) ? -1 : __real_read(fd, b, n);
}
ssize_t __wrap_write(int fd, const void *b, size_t n) {
    if (shouldFail(Call::Write)) return -1;
    return __real_write(fd, b, nstest::faults::allowed(Call::Write, n));
}
ssize_t __wrap_send(int s, const void *b, size_t n, int f) {
    if (shouldFail(Call::Send)) return -1;
    return __real_send(s, b, nstest::faults::allowed(Call::Send, n), f);
}
ssize_t __wrap_sendto(int s, const void *b, size_t n, int f, const struct sockaddr *a,
                      socklen_t l) {
    return shouldFail(Call::Sendto) ? -1 : __real_sendto(s, b, n, f, a, l);
}
ssize_t __wrap_recvfrom(int s, void *b, size_t n, int f, struct sockaddr *a, socklen_t *l) {
    return shouldFail(Call::Recvfrom) ? -1 : __real_recvfrom(s, b, n, f, a, l);
}
void *__wrap_malloc(size_t n) { return shouldFail(Call::Malloc) ? nullptr : __real_malloc(n); }
void *__wrap_realloc(void *p, size_t n) {
    return shouldFail(Call::Realloc) ? nullptr : __real_realloc(p, n);
}

}  // extern "C"
