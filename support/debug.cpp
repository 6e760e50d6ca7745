/*
 * debug.cpp - the event and debug log client.
 *
 * DebugLog decides by two masks whether a line is wanted at all.  The first
 * call of the process loads the configuration and the event mask; after that
 * a call that no mask passes returns at once, without a system call.
 *
 * A passing call, with SIGALRM blocked and SIGPIPE ignored for its length:
 *   - opens the log pipe "<TmpDir>/rblpipe" when it is not open yet (without
 *     waiting: no reader means no log server; only a FIFO, never through a
 *     symbolic link, never created); the descriptor stays non-blocking;
 *   - composes "time: [pid] ProgName: " followed by the caller's text, cut to
 *     255 characters and ending in a newline;
 *   - writes it as one 260-byte LogRecord with a single write, so that records
 *     of the product's processes never interleave in the pipe; while the pipe
 *     is full it waits for room and writes again;
 *   - on a failed write notes errno in "<TmpDir>/LOGFAIL<pid>.log" and closes
 *     the pipe; the next passing call opens it again.
 * Whatever happens, the caller's signal mask, SIGPIPE action and errno are in
 * force again when DebugLog returns.  A failed entry is lost, never retried.
 *
 * SIGALRM stays blocked while a passing call composes and writes because the
 * time-out handlers log too: a handler's line then goes out after the line
 * of the call it interrupted instead of in the middle of it.
 *
 * The wait for room in a full pipe is the exception: it runs under the
 * caller's own signal mask (ppoll), so that a timer of the caller can end a
 * wait on a log server that stopped reading.  The alarm's handler runs, the
 * wait fails with EINTR, which is noted in the LOGFAIL file, and the pipe is
 * closed.  Writes on the non-blocking pipe cannot tear a record: a write of
 * at most PIPE_BUF bytes goes in whole or not at all (EAGAIN).  A handler
 * that logs during such a wait writes its record when there is room, but
 * never waits itself (nothing could end its wait): when the pipe is still
 * full its write fails with EAGAIN, and the waiting call closes the pipe.
 */
#include "support/debug.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "support/env.h"

const char *ProgName = "DEBUG";
int DebugLevel = 0;

static_assert(sizeof(LogRecord) == 260, "the log server reads 260-byte records");

namespace {

int EventL = 0;            // the event mask, loaded once
int LogPipeFd = -1;        // the log pipe; -1 while it is not open
int eventLoaded = 0;       // rbgetenv has been called and EventL loaded
char pipePath[256];        // "<TmpDir>/rblpipe", rebuilt at each opening
char timeText[40];         // GetTimeForLog's result
char *stdoutLogPath;       // getStdoutLogFile's result, owned here

constexpr char kContactFailed[] = "Failed to contact log server\n";

const char *orEmpty(const char *s) { return s != nullptr ? s : ""; }

// The first call's set-up: the configuration, then the event mask (1 when
// the configuration does not set one).  Neither is loaded again; rbgetenv
// keeps its own once-flag, so a call that interrupts this one (from a signal
// handler) finds the configuration loaded or being loaded.
[[gnu::noinline, gnu::cold]] void loadMasks() {
    int savedErrno = errno;
    rbgetenv();
    EventL = EventLevel != nullptr ? std::atoi(EventLevel) : 1;
    eventLoaded = 1;
    errno = savedErrno;
}

// Blocks SIGALRM and ignores SIGPIPE for the life of the object; puts the
// caller's action, then the caller's mask, back when it goes.  Restoring the
// mask last lets a SIGALRM that came meanwhile run its handler only once this
// call's state is all put back.
class SignalGuard {
public:
    SignalGuard() {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        maskSaved_ = sigprocmask(SIG_BLOCK, &alarm, &oldMask_) == 0;

        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ignore.sa_flags = 0;
        actionSaved_ = sigaction(SIGPIPE, &ignore, &oldPipe_) == 0;
    }
    ~SignalGuard() {
        if (actionSaved_) sigaction(SIGPIPE, &oldPipe_, nullptr);
        if (maskSaved_) sigprocmask(SIG_SETMASK, &oldMask_, nullptr);
    }
    SignalGuard(const SignalGuard &) = delete;
    SignalGuard &operator=(const SignalGuard &) = delete;

    // False when SIGPIPE could not be ignored: nothing may be written then.
    bool ok() const { return actionSaved_; }
    // The caller's mask, for a wait that the caller's signals may end (null:
    // the mask was never changed, so the current one is the caller's).
    const sigset_t *callerMask() const { return maskSaved_ ? &oldMask_ : nullptr; }

private:
    sigset_t oldMask_;
    struct sigaction oldPipe_;
    bool maskSaved_ = false;
    bool actionSaved_ = false;
};

void reportContactFailure() {
    // Nothing more can be done when standard error fails too.
    if (write(STDERR_FILENO, kContactFailed, sizeof kContactFailed - 1) < 0) return;
}

// Opens path for writing only if it is a FIFO; -1 otherwise.  Without
// O_NONBLOCK the open would wait for a reader that may never come.  Whatever
// else sits at that path is left as it is: nothing is created, a symbolic
// link is not followed (so records cannot be sent into the file it names),
// and a regular file or a device is closed again unwritten.  O_NOCTTY keeps
// a terminal put there from becoming the process's controlling terminal.
// The descriptor is not inherited by programs that the process executes.
int openFifoForWriting(const char *path) {
    int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Opens the log pipe into LogPipeFd.  False when it cannot be used: silently
// when TmpDir is not configured, else after the message on standard error.
bool openLogPipe() {
    if (TmpDir == nullptr) return false;
    int n = std::snprintf(pipePath, sizeof pipePath, "%s/%s", TmpDir, LOG_PIPE_NAME);
    if (n < 0 || static_cast<size_t>(n) >= sizeof pipePath) {
        // A cut path would name some other file.
        reportContactFailure();
        return false;
    }
    // The descriptor stays non-blocking: writeRecord does the waiting.
    LogPipeFd = openFifoForWriting(pipePath);
    if (LogPipeFd == -1) {
        reportContactFailure();
        return false;
    }
    return true;
}

// Set while a call waits for room in the pipe; a call that a signal handler
// makes meanwhile must not wait, nor close the pipe under the waiting call.
volatile sig_atomic_t waitingForPipe = 0;

static_assert(sizeof(LogRecord) <= PIPE_BUF, "a record goes into the pipe whole or not at all");

// Writes the record whole to the non-blocking pipe; 0, or the errno of the
// failure.  While the pipe is full it waits for room under the caller's
// signal mask, so a signal that the caller lets through (its alarm) ends the
// wait with EINTR; a caller that blocks SIGALRM does not wait.  A short
// count cannot happen for a record of at most PIPE_BUF bytes and is not
// looked at.
int writeRecord(const LogRecord &rec, const sigset_t *callerMask) {
    for (;;) {
        if (write(LogPipeFd, &rec, sizeof rec) != -1) return 0;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        // Nothing would end the wait of a handler's call made while another
        // call waits, nor of a call made with SIGALRM blocked (as it is in
        // a SIGALRM handler): they fail at once.
        if (waitingForPipe || (callerMask != nullptr && sigismember(callerMask, SIGALRM) == 1))
            return errno;
        pollfd room{LogPipeFd, POLLOUT, 0};
        waitingForPipe = 1;
        const int ready = ppoll(&room, 1, nullptr, callerMask);
        const int err = errno;
        waitingForPipe = 0;
        if (ready < 0) return err;
        // Room, or the reader gone (POLLERR): the next write tells which.
    }
}

// Appends s to the header at *len, at most up to the terminator's byte.  With
// escape, each '%' is doubled so that s reads as itself when the header is
// used as a format; a '%' whose pair does not fit is left out.  Returns false
// when s did not fit whole.
bool appendToHeader(std::array<char, LOG_TEXT_SIZE> &hdr, size_t *len, const char *s,
                    bool escape) {
    const size_t room = hdr.size() - 1;
    for (; *s != '\0'; ++s) {
        size_t need = (escape && *s == '%') ? 2 : 1;
        if (*len + need > room) return false;
        hdr[(*len)++] = *s;
        if (need == 2) hdr[(*len)++] = '%';
    }
    return true;
}

// A header cut at its size may end inside a conversion ("...%", "...%.*",
// "...%l"); such a tail is dropped so that the cut header is still a
// well-formed format that asks for no more arguments than the whole one.
void dropDanglingConversion(char *fmt) {
    char *p = fmt;
    while ((p = std::strchr(p, '%')) != nullptr) {
        char *start = p++;
        p += std::strspn(p, "-+ #0'123456789.*$hlLqjztZI");
        if (*p == '\0') {
            *start = '\0';
            return;
        }
        ++p;  // the conversion character, or the second '%' of "%%"
    }
}

// The first formatting step: "time: [pid] ProgName: " and the caller's
// format, as the format of the second step.  The time text and ProgName are
// meant to be plain text, so their '%' are escaped.
void composeHeader(std::array<char, LOG_TEXT_SIZE> &hdr, const char *format) {
    char pid[32];
    std::snprintf(pid, sizeof pid, ": [%d] ", static_cast<int>(getpid()));
    size_t len = 0;
    bool whole = appendToHeader(hdr, &len, GetTimeForLog(), true) &&
                 appendToHeader(hdr, &len, pid, false) &&
                 appendToHeader(hdr, &len, orEmpty(ProgName), true) &&
                 appendToHeader(hdr, &len, ": ", false) &&
                 appendToHeader(hdr, &len, orEmpty(format), false);
    hdr[len] = '\0';
    if (!whole) dropDanglingConversion(hdr.data());
}

// Puts the expanded line into the record's text: at most 255 characters,
// zero fill behind them, and a final newline unless the line has one
// somewhere already.  A line of 254 or 255 characters gives up its last
// character to the newline rather than grow.
void fillText(char (&text)[LOG_TEXT_SIZE], const char *line) {
    std::memset(text, 0, sizeof text);
    size_t len = strnlen(line, sizeof text - 1);
    std::memcpy(text, line, len);
    if (std::memchr(text, '\n', len) != nullptr) return;
    if (len <= sizeof text - 3)
        text[len] = '\n';
    else
        text[len - 1] = '\n';
}

// Appends the failed write's errno to "<TmpDir>/LOGFAIL<pid>.log"; nothing
// more is reported when that file cannot be named or opened.
void noteWriteFailure(int writeErrno) {
    if (TmpDir == nullptr) return;
    char failPath[128];
    int n = std::snprintf(failPath, sizeof failPath, "%s/LOGFAIL%d.log", TmpDir,
                          static_cast<int>(getpid()));
    if (n < 0 || static_cast<size_t>(n) >= sizeof failPath) return;
    if (FILE *f = std::fopen(failPath, "a")) {
        std::fprintf(f, "Failed to write log entry, errno is %d\n", writeErrno);
        std::fclose(f);
    }
}

// The passing part of DebugLog, from the signal set-up to the write.
void sendLine(int kind, const char *format, va_list args) {
    int savedErrno = errno;
    {
        SignalGuard guard;
        if (guard.ok() && (LogPipeFd != -1 || openLogPipe())) {
            std::array<char, LOG_TEXT_SIZE> header;
            composeHeader(header, format);
            std::array<char, 1024> line;
            // The header is a format built from the caller's: the compiler
            // has checked that one at the call (DebugLog's format attribute),
            // and the header only adds escaped text in front of it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            if (std::vsnprintf(line.data(), line.size(), header.data(), args) < 0)
                line[0] = '\0';
#pragma GCC diagnostic pop

            LogRecord rec;
            std::memset(&rec, 0, sizeof rec);
            rec.kind = kind;
            fillText(rec.text, line.data());

            if (const int err = writeRecord(rec, guard.callerMask())) {
                noteWriteFailure(err);
                // A call that waits on the pipe closes it when its wait ends.
                if (!waitingForPipe) {
                    close(LogPipeFd);
                    LogPipeFd = -1;
                }
            }
        }
    }
    errno = savedErrno;
}

}  // namespace

extern "C" void DebugLog(int level, const char *format, ...) {
    if (!eventLoaded) loadMasks();
    int kind = 0;
    if ((EventL & level) != 0) kind = LOG_KIND_EVENT;
    if ((DebugLevel & level) != 0) kind |= LOG_KIND_DEBUG;
    if (kind == 0) return;

    va_list args;
    va_start(args, format);
    sendLine(kind, format, args);
    va_end(args);
}

extern "C" char *GetTimeForLog(void) {
    // localtime_r: a caller's own localtime() result is left alone.
    time_t now = std::time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr ||
        std::strftime(timeText, sizeof timeText, "%b %e %H:%M:%S", &local) == 0)
        timeText[0] = '\0';
    return timeText;
}

extern "C" char *getStdoutLogFile(const char *name, int num) {
    rbgetenv();
    std::free(stdoutLogPath);
    stdoutLogPath = nullptr;
    if (TmpDir == nullptr || name == nullptr) return nullptr;
    // Measured, not guessed: any int and any length of TmpDir and name fit.
    int n = std::snprintf(nullptr, 0, "%s/%s%d+.log", TmpDir, name, num);
    if (n < 0) return nullptr;
    size_t size = static_cast<size_t>(n) + 1;
    stdoutLogPath = static_cast<char *>(std::malloc(size));
    if (stdoutLogPath == nullptr) return nullptr;
    std::snprintf(stdoutLogPath, size, "%s/%s%d+.log", TmpDir, name, num);
    return stdoutLogPath;
}
