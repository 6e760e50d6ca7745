// verbose.cpp - the verbose log's way out, which never stops the server.
#include "verbose.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace nsmd {

VerboseOutput::~VerboseOutput() {
    if (restoreFlags_ >= 0) fcntl(fd_, F_SETFL, restoreFlags_);
}

void VerboseOutput::open(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return;  // nothing to write to: lines go nowhere
    fd_ = fd;
    if (S_ISREG(st.st_mode)) return;  // a file takes every write at once
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // A description of our own: O_NONBLOCK on the shared one would also
        // reach the shell or whoever else writes or reads through it.
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        const int own = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own >= 0) {
            const bool moved = dup2(own, fd) == fd;
            close(own);
            if (moved) return;
        }
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0)
        restoreFlags_ = flags;
}

bool VerboseOutput::append(std::string_view text) {
    if (buf_.size() - start_ + text.size() + 1 > capacity_ && start_ < buf_.size()) return false;
    if (start_ > 0 && start_ >= buf_.size() / 2) {
        buf_.erase(0, start_);
        start_ = 0;
    }
    buf_.append(text);
    buf_.push_back('\n');
    return true;
}

void VerboseOutput::line(std::string_view text) {
    if (fd_ < 0 || broken_) return;
    // Once a line is dropped, the ones after it are too until the buffer has
    // drained, so that the count stands where the gap is.
    if (dropped_ > 0 || !append(text)) {
        ++dropped_;
        return;
    }
    flush();
}

void VerboseOutput::flush() {
    while (fd_ >= 0 && !broken_) {
        if (start_ == buf_.size()) {
            buf_.clear();
            start_ = 0;
            if (dropped_ == 0) return;
            const std::string note =
                "verbose output blocked: " + std::to_string(dropped_) + " lines dropped";
            dropped_ = 0;
            append(note);
            continue;
        }
        const ssize_t n = write(fd_, buf_.data() + start_, buf_.size() - start_);
        if (n > 0) {
            start_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // The reader is gone (EPIPE; SIGPIPE is ignored) or the output failed.
        broken_ = true;
        buf_.clear();
        buf_.shrink_to_fit();
        start_ = 0;
    }
}

}  // namespace nsmd
