// hostile.hpp - scripted answers for testing clients against a bad server.
//
// A script is a text file of lines; blank lines and lines that begin with
// '#' are skipped.  Each line replaces the stand-in's answer to one exchange:
//
//   tcp OP...    the answer to the next TCP request (a whole frame received)
//   udp OP...    the answer to the next datagram of 25 bytes or more
//   list OP...   the next name list stream (the connection back to a client
//                whose NS_NAMELIST request got the normal NS_OK reply)
//
// Lines of one kind are used in the order they appear, one per exchange of
// that kind; when a kind has none left, the stand-in answers normally.  The
// OPs of a line are carried out in order:
//
//   normal          the normal answer (nothing when there is none)
//   rec:HEX         the plain record HEX (at most 231 bytes), enciphered,
//                   and framed on TCP and list
//   raw:HEX         the bytes HEX as they are (on udp: one datagram)
//   long:EXTRA:HEX  a framed record whose length byte claims EXTRA bytes
//                   more than follow (tcp and list)
//   random:N        N random bytes (on udp: one datagram)
//   pause:MS        wait MS milliseconds before what follows
//   frag:SIZE:MS    from here on write at most SIZE bytes at a time with
//                   MS milliseconds between them (tcp and list)
//   close           close the connection as soon as what comes before is
//                   sent, without waiting for the peer; nothing after it
//                   is done (tcp and list)
//   silent          send nothing more and keep the connection open until
//                   the peer closes it or the idle time runs out; on udp,
//                   no answer at all
//
// Without close or silent a TCP connection ends as a normal one does (the
// stand-in stops sending, then waits for the client to close) and a list
// stream is closed.  For example:
//
//   tcp close                  the first request is not answered
//   tcp frag:3:50 normal       the second answer arrives 3 bytes at a time
//   tcp long:10:20000000000000000000000000000000
//   udp rec:0e000000000000000000000000000000
//   list rec:22000000000000000000000000000000
#ifndef TOOLS_NSMD_HOSTILE_HPP
#define TOOLS_NSMD_HOSTILE_HPP

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "outbox.hpp"
#include "protocol.hpp"

namespace nsmd {

enum class Transport { Tcp, Udp, List };

struct Op {
    enum Kind { Normal, Raw, Record, Long, Random, Pause, Frag, Close, Silent } kind = Normal;
    Bytes bytes;     // Raw, Record, Long
    int first = 0;   // Long: extra; Random: count; Pause: ms; Frag: size
    int second = 0;  // Frag: ms
};

struct Step {
    std::vector<Op> ops;
};

// How a connection ends once its outbox is empty.
enum class Ending {
    Normal,  // as without a script
    Close,   // at once
    Hold     // kept open, silent, until the peer closes or the idle time ends
};

class HostileScript {
public:
    // Parses a whole script; on failure returns false with "LINE: reason".
    bool parse(const std::string &text, std::string &error);
    bool load(const std::string &path, std::string &error);

    // The step for the next exchange of a kind; nullopt: answer normally.
    std::optional<Step> next(Transport transport);
    bool empty() const { return tcp_.empty() && udp_.empty() && list_.empty(); }

private:
    std::deque<Step> tcp_, udp_, list_;
};

// Adds the pieces of a step to an outbox.  normal(out, proto) adds the
// normal answer, giving each piece proto's delay (the first) and
// fragmentation.  datagram: every piece is one datagram (udp).
using NormalAnswer = std::function<void(Outbox &out, const Piece &proto)>;
Ending expandStep(const Step &step, Outbox &out, bool datagram, const NormalAnswer &normal);

}  // namespace nsmd

#endif
