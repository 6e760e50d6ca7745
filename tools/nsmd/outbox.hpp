// outbox.hpp - what a connection or a datagram socket still has to send.
//
// An outbox is a queue of pieces.  Each piece may wait a while before its
// first byte and may be written in fragments of a given size with pauses
// between them (the hostile mode uses both).  A piece source fills the queue
// on demand, so a long name list is enciphered a block at a time as the
// socket drains.  On a stream socket the bytes go out with send(), as far as
// the socket takes them; on a datagram socket each piece is one datagram.
#ifndef TOOLS_NSMD_OUTBOX_HPP
#define TOOLS_NSMD_OUTBOX_HPP

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace nsmd {

using Clock = std::chrono::steady_clock;

struct Piece {
    std::vector<std::uint8_t> bytes;
    int delayMs = 0;           // pause before its first byte
    std::size_t fragSize = 0;  // 0: no limit; else at most this many bytes per write
    int fragPauseMs = 0;       // pause after each fragment but the last
};

class PieceSource {
public:
    virtual ~PieceSource() = default;
    // The next piece; false when there are no more.
    virtual bool next(Piece &piece) = 0;
};

class Outbox {
public:
    enum class Status {
        Done,        // nothing left to send
        WouldBlock,  // the socket is full: wait until it is writable
        Waiting,     // a pause runs until readyAt()
        Failed       // the socket failed (errno set)
    };

    void add(Piece piece);
    void add(std::unique_ptr<PieceSource> source);
    bool empty() const { return queue_.empty() && sources_.empty(); }
    Clock::time_point readyAt() const { return readyAt_; }

    // Sends what can be sent now on a connected stream socket.
    Status flush(int fd, Clock::time_point now);
    // Sends the pieces that are due as datagrams to dst.
    Status flushTo(int fd, const sockaddr_in &dst, Clock::time_point now);

private:
    bool front(Clock::time_point now);  // a piece at the head, its delay started
    Status run(int fd, const sockaddr_in *dst, Clock::time_point now);

    std::deque<Piece> queue_;
    std::deque<std::unique_ptr<PieceSource>> sources_;  // drained after queue_
    std::size_t sent_ = 0;                              // bytes of the head piece already sent
    bool started_ = false;                              // the head piece's delay has been set
    Clock::time_point readyAt_{};
};

}  // namespace nsmd

#endif
