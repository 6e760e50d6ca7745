// verbose.hpp - the verbose log's way out, which never stops the server.
//
// The lines go to a descriptor (standard output) that the server writes
// without blocking: what the descriptor does not take at once waits in a
// bounded buffer, which the poll loop flushes when the descriptor becomes
// writable.  When a line does not fit the buffer, it and every line after it
// are dropped and counted until the buffer has drained; then one line says
// how many were dropped, and lines flow again.  When the reader is gone
// (EPIPE and other write errors) lines are no longer kept at all.
#ifndef TOOLS_NSMD_VERBOSE_HPP
#define TOOLS_NSMD_VERBOSE_HPP

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nsmd {

class VerboseOutput {
public:
    explicit VerboseOutput(std::size_t capacity = 64 * 1024) : capacity_(capacity) {}
    ~VerboseOutput();
    VerboseOutput(const VerboseOutput &) = delete;
    VerboseOutput &operator=(const VerboseOutput &) = delete;

    // Writes to fd from now on, without blocking.  A pipe, FIFO or terminal
    // is opened afresh (through /proc) so that the non-blocking mode stays
    // ours and never reaches other programs that share the descriptor;
    // failing that, fd itself is made non-blocking until this object goes.
    void open(int fd);
    int fd() const { return fd_; }

    // Queues one line (the newline is added) and writes what it can.
    void line(std::string_view text);
    // True when bytes wait for the descriptor to become writable.
    bool pending() const { return fd_ >= 0 && !broken_ && start_ < buf_.size(); }
    // Writes what the descriptor takes now.
    void flush();

    std::uint64_t dropped() const { return dropped_; }

private:
    bool append(std::string_view text);

    std::size_t capacity_;
    int fd_ = -1;
    int restoreFlags_ = -1;  // the flags to put back on fd_, or -1
    bool broken_ = false;    // a write failed: nothing more is written
    std::string buf_;        // bytes from start_ on are still to be written
    std::size_t start_ = 0;
    std::uint64_t dropped_ = 0;  // lines dropped since the buffer was last empty
};

}  // namespace nsmd

#endif
