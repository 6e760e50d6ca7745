// unique_fd.hpp - a descriptor that closes itself (internal).
#ifndef SUPPORT_UNIQUE_FD_HPP
#define SUPPORT_UNIQUE_FD_HPP

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace ns {

// Owns one descriptor (or none, -1) and closes it when it goes.  Closing
// keeps errno, so a failure path can close and still report the errno of
// the call that failed.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held (if any) and takes fd instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace ns

#endif
