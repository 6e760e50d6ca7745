/*
 * nslogd - a stand-in for the product's log server.
 *
 * Creates the FIFO "rblpipe" in a directory, holds it open for reading and
 * prints every 260-byte record that arrives as one line on standard output:
 *
 *     event: Dec  7 03:10:15: [1234] DEBUG: findNS: no NSM (errno 4)
 *
 * The first word is the record's kind ("event", "debug" or "both").  The
 * text's final newline is dropped and any other control character is shown
 * as \n or \xHH, so one record is always one line.  Once the FIFO is open it
 * prints "ready PATH".
 *
 * The FIFO is its own: it is created with mode 0600, or an existing one is
 * used only when it belongs to nslogd's user and no one else may open it.  A
 * symbolic link or anything else at the path is refused, never followed.
 *
 * Bytes that do not make a whole record (a writer that died in the middle of
 * one) are skipped up to the next valid record, so one torn record costs
 * itself only; the count of skipped bytes is noted on standard error.
 *
 * It runs until SIGINT or SIGTERM, or, with -n COUNT, until COUNT records have
 * come; then it closes its end (a writer that still holds the pipe gets EPIPE
 * at its next write), prints "closed after COUNT records" in the second case,
 * removes the FIFO if it is still the one it created, and exits 0.  A standard
 * output that nobody reads does not hold up a stop request, nor does a writer
 * that keeps pouring bytes that make no record.
 */
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/debug.h"
#include "support/env.h"
#include "support/signals.h"

namespace {

constexpr size_t kRecordSize = sizeof(LogRecord);

volatile sig_atomic_t stopSignal = 0;
int quietFd = -1;  // /dev/null, put over standard output once a stop comes

// The stop signals are let through only where nslogd waits: in ppoll and
// while it writes to standard output (see emit).  A write that standard
// output holds up is interrupted by the signal (no SA_RESTART); one that is
// about to begin, its check of stopSignal already done, goes to /dev/null
// instead of waiting, since from now on standard output is /dev/null.
void onStopSignal(int sig) {
    int savedErrno = errno;
    stopSignal = sig;
    if (quietFd >= 0)
        dup2(quietFd, STDOUT_FILENO);
    else
        close(STDOUT_FILENO);
    errno = savedErrno;
}

// Writes text to standard output at once, with SIGINT and SIGTERM let
// through for the length of the write (waitMask is the mask that lets them
// through).  Nothing is written once a stop has come.
void emit(const std::string &text, const sigset_t &waitMask) {
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, &waitMask, &blocked);
    if (stopSignal == 0) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
}

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: nslogd [-d DIR] [-n COUNT]\n"
                 "\n"
                 "Log server stand-in: creates the FIFO DIR/" LOG_PIPE_NAME
                 ", reads 260-byte log records\n"
                 "from it and prints each as one line, \"KIND: TEXT\" (KIND is event, debug\n"
                 "or both).  Prints \"ready PATH\" once the FIFO is open.  SIGINT or SIGTERM\n"
                 "ends it; the FIFO is removed if nslogd created it.\n"
                 "\n"
                 "  -d, --dir DIR      directory of the FIFO (default: the configured\n"
                 "                     TALVEN_TMPDIR)\n"
                 "  -n, --count COUNT  close the FIFO and exit after COUNT records; a\n"
                 "                     writer that still holds it gets EPIPE next\n"
                 "  -h, --help         this text\n");
}

// A record as the clients write it: kind 1, 2 or 3, and a text that ends at
// a NUL within its 256 bytes with nothing but zero bytes behind it.  A
// window of 260 bytes that starts anywhere else than at a record's first
// byte practically never passes: its "kind" would be made of text bytes, a
// zero fill or a kind and text bytes, and its text would hold the start of
// the next record behind a NUL.
bool validRecord(const unsigned char *raw) {
    LogRecord rec;
    std::memcpy(&rec, raw, sizeof rec);
    if (rec.kind < LOG_KIND_EVENT || rec.kind > (LOG_KIND_EVENT | LOG_KIND_DEBUG)) return false;
    const char *end = static_cast<const char *>(std::memchr(rec.text, '\0', sizeof rec.text));
    if (end == nullptr) return false;
    for (; end < rec.text + sizeof rec.text; ++end)
        if (*end != '\0') return false;
    return true;
}

// One valid record as one output line.
std::string describeRecord(const unsigned char *raw) {
    LogRecord rec;
    std::memcpy(&rec, raw, sizeof rec);
    static const char *const kKinds[] = {"", "event: ", "debug: ", "both: "};
    std::string line = kKinds[rec.kind];
    size_t len = std::strlen(rec.text);
    if (len > 0 && rec.text[len - 1] == '\n') --len;
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(rec.text[i]);
        if (c == '\n') {
            line += "\\n";
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            line += hex;
        } else {
            line += static_cast<char>(c);
        }
    }
    line += '\n';
    return line;
}

// The FIFO that nslogd reads, and whether it is the one nslogd created.
struct Fifo {
    int fd = -1;
    bool created = false;
    dev_t dev = 0;
    ino_t ino = 0;
};

bool isPrivateFifo(const struct stat &st) {
    return S_ISFIFO(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

// Removes the FIFO at path if it is still the one nslogd created: whatever
// took its place since (renamed over it, say) is someone else's and stays.
void removeOwnFifo(const std::string &path, const Fifo &fifo) {
    struct stat st;
    if (fifo.created && lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) &&
        st.st_dev == fifo.dev && st.st_ino == fifo.ino)
        unlink(path.c_str());
}

// Creates the FIFO at path, or takes the one there, and opens it for reading
// and writing (nslogd is then a writer of its own FIFO and never sees
// end-of-file while no client holds it).  Whatever is at the path is looked
// at without following a link; the FIFO is opened with O_NOFOLLOW and used
// only when the opened file is the one looked at, belongs to nslogd's user
// and gives no permission to anyone else: a FIFO that another user made, or
// made open to others, would let them read the records or forge some.
// Returns the exit status on failure, 0 on success.
int openFifo(const std::string &path, Fifo &fifo) {
    const char *p = path.c_str();
    if (mkfifo(p, 0600) == 0) {
        fifo.created = true;
    } else if (int err = errno; err != EEXIST) {
        std::fprintf(stderr, "nslogd: cannot create FIFO %s: %s\n", p, std::strerror(err));
        return 1;
    }
    struct stat seen {}, opened {};
    if (lstat(p, &seen) != 0) {
        std::fprintf(stderr, "nslogd: cannot open %s: %s\n", p, std::strerror(errno));
        return 1;
    }
    if (!S_ISFIFO(seen.st_mode)) {
        std::fprintf(stderr, "nslogd: %s exists and is not a FIFO\n", p);
        return 1;
    }
    fifo.dev = seen.st_dev;
    fifo.ino = seen.st_ino;
    int fd = open(p, O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "nslogd: cannot open %s: %s\n", p, std::strerror(errno));
        removeOwnFifo(path, fifo);
        return 1;
    }
    if (fstat(fd, &opened) != 0 || opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino ||
        !isPrivateFifo(opened)) {
        std::fprintf(stderr,
                     "nslogd: %s is not a FIFO of this user that only it may open "
                     "(owner %ld, mode %04o): refused\n",
                     p, static_cast<long>(opened.st_uid),
                     static_cast<unsigned>(opened.st_mode & 07777));
        close(fd);
        removeOwnFifo(path, fifo);
        return 1;
    }
    fifo.fd = fd;
    return 0;
}

bool parseCount(const char *s, long *count) {
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v <= 0) return false;
    *count = v;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    static const struct option longOpts[] = {
        {"dir", required_argument, nullptr, 'd'},
        {"count", required_argument, nullptr, 'n'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const char *dir = nullptr;
    long limit = 0;  // 0: no limit
    int opt;
    while ((opt = getopt_long(argc, argv, "d:n:h", longOpts, nullptr)) != -1) {
        switch (opt) {
        case 'd': dir = optarg; break;
        case 'n':
            if (!parseCount(optarg, &limit)) {
                std::fprintf(stderr, "nslogd: bad count '%s'\n", optarg);
                return 2;
            }
            break;
        case 'h': usage(stdout); return 0;
        default: usage(stderr); return 2;
        }
    }
    if (optind != argc) {
        usage(stderr);
        return 2;
    }
    if (dir == nullptr) {
        rbgetenv();
        dir = TmpDir;
    }
    if (dir == nullptr) {
        std::fprintf(stderr, "nslogd: no directory: give -d DIR or configure TALVEN_TMPDIR\n");
        return 2;
    }
    std::string path = std::string(dir) + "/" + LOG_PIPE_NAME;

    // SIGINT and SIGTERM are let through only while waiting in ppoll or
    // writing to standard output, so a stop request can never slip in between
    // the check and the wait.
    sigset_t stopSet, waitMask;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSet, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    quietFd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    setSignalHandler(SIGINT, onStopSignal, NS_SIG_NORESTART);
    setSignalHandler(SIGTERM, onStopSignal, NS_SIG_NORESTART);
    setSignalHandler(SIGPIPE, SIG_IGN, 0);

    Fifo fifo;
    if (int status = openFifo(path, fifo); status != 0) return status;
    int fd = fifo.fd;
    emit("ready " + path + "\n", waitMask);

    unsigned char record[kRecordSize];
    size_t have = 0;     // bytes of the record being assembled
    size_t skipped = 0;  // bytes skipped since the last valid record
    long count = 0;
    int status = 0;
    bool done = false;
    while (!done && stopSignal == 0) {
        struct pollfd p = {fd, POLLIN, 0};
        if (ppoll(&p, 1, nullptr, &waitMask) < 0) {
            if (errno == EINTR) continue;
            std::perror("nslogd: ppoll");
            status = 1;
            break;
        }
        // Read up to the end of the current record only, so that records
        // that come in pieces stay aligned.
        while (!done && stopSignal == 0) {
            ssize_t n = read(fd, record + have, kRecordSize - have);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            if (n <= 0) {
                std::perror("nslogd: read");
                status = 1;
                done = true;
                break;
            }
            have += static_cast<size_t>(n);
            if (have < kRecordSize) continue;
            if (!validRecord(record)) {
                // Not the start of a record: look one byte further on.
                std::memmove(record, record + 1, kRecordSize - 1);
                have = kRecordSize - 1;
                ++skipped;
                // A writer that keeps pouring bytes that make no record
                // keeps this loop from ever waiting in ppoll, where a stop
                // request gets in: let it in here now and then.
                if (skipped % kRecordSize == 0) {
                    sigset_t blocked;
                    sigprocmask(SIG_SETMASK, &waitMask, &blocked);
                    sigprocmask(SIG_SETMASK, &blocked, nullptr);
                }
                continue;
            }
            have = 0;
            if (skipped > 0) {
                std::fprintf(stderr, "nslogd: %zu bytes skipped that were not a whole record\n",
                             skipped);
                skipped = 0;
            }
            emit(describeRecord(record), waitMask);
            if (limit > 0 && ++count == limit) {
                close(fd);
                fd = -1;
                emit("closed after " + std::to_string(count) + " records\n", waitMask);
                done = true;
            }
        }
    }
    if (skipped > 0)
        std::fprintf(stderr, "nslogd: %zu bytes skipped that were not a whole record\n", skipped);
    if (have > 0) std::fprintf(stderr, "nslogd: %zu bytes of an incomplete record dropped\n", have);
    if (fd >= 0) close(fd);
    removeOwnFifo(path, fifo);
    return status;
}
