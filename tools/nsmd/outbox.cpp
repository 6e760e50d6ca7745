// outbox.cpp - what a connection or a datagram socket still has to send.
#include "outbox.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace nsmd {

void Outbox::add(Piece piece) { queue_.push_back(std::move(piece)); }

void Outbox::add(std::unique_ptr<PieceSource> source) { sources_.push_back(std::move(source)); }

bool Outbox::front(Clock::time_point now) {
    while (queue_.empty() && !sources_.empty()) {
        Piece p;
        if (sources_.front()->next(p))
            queue_.push_back(std::move(p));
        else
            sources_.pop_front();
    }
    if (queue_.empty()) return false;
    if (!started_) {
        started_ = true;
        sent_ = 0;
        readyAt_ = now + std::chrono::milliseconds(queue_.front().delayMs);
    }
    return true;
}

Outbox::Status Outbox::run(int fd, const sockaddr_in *dst, Clock::time_point now) {
    while (front(now)) {
        if (now < readyAt_) return Status::Waiting;
        const Piece &p = queue_.front();
        std::size_t want = p.bytes.size() - sent_;
        if (dst == nullptr && p.fragSize > 0) want = std::min(want, p.fragSize);
        ssize_t n;
        if (dst != nullptr)
            n = sendto(fd, p.bytes.data(), p.bytes.size(), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr *>(dst), sizeof *dst);
        else
            n = want == 0 ? 0 : send(fd, p.bytes.data() + sent_, want, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Status::WouldBlock;
            if (dst != nullptr)
                n = static_cast<ssize_t>(p.bytes.size());  // a lost datagram
            else
                return Status::Failed;
        }
        sent_ = dst != nullptr ? p.bytes.size() : sent_ + static_cast<std::size_t>(n);
        if (sent_ >= p.bytes.size()) {
            queue_.pop_front();
            started_ = false;
        } else if (p.fragSize > 0 && static_cast<std::size_t>(n) == want && p.fragPauseMs > 0) {
            readyAt_ = now + std::chrono::milliseconds(p.fragPauseMs);
            return Status::Waiting;
        }
    }
    return Status::Done;
}

Outbox::Status Outbox::flush(int fd, Clock::time_point now) { return run(fd, nullptr, now); }

Outbox::Status Outbox::flushTo(int fd, const sockaddr_in &dst, Clock::time_point now) {
    return run(fd, &dst, now);
}

}  // namespace nsmd
