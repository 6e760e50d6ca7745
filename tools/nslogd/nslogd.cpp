/*
 * nslogd - a stand-in for the product's log server.
 *
 * Creates the FIFO "rblpipe" in a directory, holds it open for reading and
 * prints every 260-byte record that arrives as one line on standard output:
 *
 *     event: Dec  7 03:10:15: [1234] DEBUG: findNS: no NSM (errno 4)
 *
 * The first word is the record's kind ("event", "debug", "both", or
 * "kind N" for anything else).  The text's final newline is dropped and any
 * other control character is shown as \n or \xHH, so one record is always one
 * line.  Once the FIFO is open it prints "ready PATH".
 *
 * It runs until SIGINT or SIGTERM, or, with -n COUNT, until COUNT records have
 * come; then it closes its end (a writer that still holds the pipe gets EPIPE
 * at its next write), prints "closed after COUNT records" in the second case,
 * removes the FIFO if it created it, and exits 0.
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

void onStopSignal(int sig) { stopSignal = sig; }

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

// One record as one output line.
std::string describeRecord(const unsigned char *raw) {
    LogRecord rec;
    std::memcpy(&rec, raw, sizeof rec);
    std::string line;
    switch (rec.kind) {
    case LOG_KIND_EVENT: line = "event: "; break;
    case LOG_KIND_DEBUG: line = "debug: "; break;
    case LOG_KIND_EVENT | LOG_KIND_DEBUG: line = "both: "; break;
    default: line = "kind " + std::to_string(rec.kind) + ": "; break;
    }
    size_t len = strnlen(rec.text, sizeof rec.text);  // a sender may omit the NUL
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
    return line;
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

    // SIGINT and SIGTERM are let through only while waiting in ppoll, so a
    // stop request can never slip in between the check and the wait.
    sigset_t stopSet, waitMask;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSet, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    setSignalHandler(SIGINT, onStopSignal, NS_SIG_NORESTART);
    setSignalHandler(SIGTERM, onStopSignal, NS_SIG_NORESTART);
    setSignalHandler(SIGPIPE, SIG_IGN, 0);

    bool created = false;
    if (mkfifo(path.c_str(), 0600) == 0) {
        created = true;
    } else if (int err = errno; err != EEXIST) {
        std::fprintf(stderr, "nslogd: cannot create FIFO %s: %s\n", path.c_str(),
                     std::strerror(err));
        return 1;
    } else if (struct stat st; stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
        // An existing FIFO (left by another reader) is used as it is.
        std::fprintf(stderr, "nslogd: %s exists and is not a FIFO\n", path.c_str());
        return 1;
    }
    // Read and write: nslogd is then a writer of its own FIFO and never sees
    // end-of-file while no client holds it.
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "nslogd: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        if (created) unlink(path.c_str());
        return 1;
    }
    std::printf("ready %s\n", path.c_str());
    std::fflush(stdout);

    unsigned char record[kRecordSize];
    size_t have = 0;  // bytes of the record being assembled
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
        while (!done) {
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
            have = 0;
            std::printf("%s\n", describeRecord(record).c_str());
            std::fflush(stdout);
            if (limit > 0 && ++count == limit) {
                close(fd);
                fd = -1;
                std::printf("closed after %ld records\n", count);
                std::fflush(stdout);
                done = true;
            }
        }
    }
    if (have > 0) std::fprintf(stderr, "nslogd: %zu bytes of an incomplete record dropped\n", have);
    if (fd >= 0) close(fd);
    if (created) unlink(path.c_str());
    return status;
}
