// Failure injection for test programs whose name begins with "fault_".
//
// Those programs are linked with -Wl,--wrap for the system calls and the
// allocator functions below, so every call the library makes goes through
// these wrappers.  A test arms a fault plan just before the operation it
// examines; with no plan armed the wrappers pass every call through.
#ifndef TESTS_SUPPORT_FAULTS_HPP
#define TESTS_SUPPORT_FAULTS_HPP

#include <cstddef>

namespace nstest::faults {

enum class Call {
    Socket, Bind, Listen, Accept, Connect, Read, Write, Sendto, Recvfrom, Malloc, Realloc,
    Send, Count_
};

// The n-th call (1-based, counted from now) of `call` fails with errno `err`
// (for Malloc/Realloc: returns null with ENOMEM).
void failNth(Call call, int n, int err);
// Every call of `call` from now fails with errno `err`.
void failAll(Call call, int err);
// Just before the n-th call (1-based, counted from now) of `call` goes
// through, `action` runs once: e.g. a signal that lands right before a
// blocking call begins.
void beforeNth(Call call, int n, void (*action)());
// For beforeNth: the pending alarm runs out at this moment (cancelled, and
// SIGALRM raised), so its handler has run and nothing is left to interrupt
// the call that follows.
void alarmRunsOut();
// Every write() and send() from now writes at most `maxBytes` bytes (a
// short write).
void shortWrites(std::size_t maxBytes);
// Only the n-th call (1-based, counted from now) of `call` (Write or Send)
// writes at most `maxBytes` bytes.
void shortNth(Call call, int n, std::size_t maxBytes);
// How many calls of `call` went through the wrapper since the last reset().
int calls(Call call);
// Disarms everything and zeroes the counters.
void reset();

// Disarms on scope exit.
struct Guard {
    Guard() { reset(); }
    ~Guard() { reset(); }
};

}  // namespace nstest::faults

#endif
