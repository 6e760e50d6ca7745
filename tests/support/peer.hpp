// peer.hpp - the scripted peer of the tests: a stand-in name server in a
// forked child, and the tap on the log pipe.
//
// A Peer is a child process serving sockets that the test asks for before
// start() (they are bound in the test process, so they exist before the
// client sends anything).  Being a process of its own it shares neither the
// cipher's process-wide state nor the client's alarms, and fault injection
// in the test process does not reach it.
//   - TCP: each connection carries one request frame, read with the
//     library's exact-read loop; the peer deciphers it and answers as the
//     test's handler says: a reply frame, raw bytes or nothing (a close),
//     after a delay if asked, then optionally a connection back, from the
//     address the request came to, to the request's address item carrying a
//     name list stream.
//   - UDP: each datagram is answered with the datagrams the handler returns,
//     each sent from a source address of its own (the sandbox's stand-ins
//     are 198.18.0.10 to .19; the source port matters to discovery).
// Whatever it receives is reported to the test, in order, before it is
// answered: when a client call returns, what it sent is in events().  (A
// connection and a datagram waiting at the same moment count in that order:
// a client that gives a connection up broadcasts only afterwards.)  The
// handlers run in the child, so what they change stays there.
//
//     nstest::Peer nsm(nstest::always(nstest::record(NS_OK)));  // nsm-master.16024
//     ... the client's call ...
//     EXPECT_EQ(nsm.requests(), ...);
//
//     nstest::Peer peer;
//     peer.udp("0.0.0.0", 16031, nstest::answerFrom(kMasterAddr, 16031, masterReply()));
//     peer.tcp(kMasterAddr, 16031, nstest::inTurn({nstest::hangUp(), nstest::reply(ok)}));
//     peer.start();
//     ... EXPECT_EQ(peer.order(), "tut");  // request, discovery, request
//
// LogTap reads the log pipe "rblpipe" of a directory as the log server does
// and gives the 260-byte records that arrived.  ClientEnvironment and
// ClientTest set up a test program of the client library: one configuration
// for the whole process with failure and trace lines enabled, tapped.
#ifndef TESTS_SUPPORT_PEER_HPP
#define TESTS_SUPPORT_PEER_HPP

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rsockmap/record.hpp"
#include "rsockmap/rsockmap.h"
#include "support/debug.h"
#include "support/testutil.hpp"
#include "support/unique_fd.hpp"

namespace nstest {

using Bytes = std::vector<std::uint8_t>;

// ---- records and how they travel ----

Bytes plainOf(const ns::RecordBuilder &b);  // the record a builder made
Bytes addrBytes(const NsAddr &a);           // the 16 bytes of an address
std::string shown(const NsAddr &a);         // printaddr
// A record of the given type and, when name is given, a name item at 16.
Bytes record(int type, const char *name = nullptr);
// NS_OK to a lookup: the name item, the address item, the text item (a null
// name or text leaves its item out).
Bytes lookupReply(const NsAddr &addr, const char *text = "secret", const char *name = "\\\\x\\y");
// NS_MASTER, with the address to reach the master at or without one.
Bytes masterReply(const NsAddr *own = nullptr);
Bytes encipher(const Bytes &plain);  // with a fresh salt: a datagram
Bytes decipher(Bytes cipher);
Bytes frameOf(const Bytes &plain);  // the length byte, then the ciphertext
// A name list stream: the head, one name record per name, the end.
Bytes listStream(const std::vector<std::string> &names);
Bytes operator+(Bytes a, const Bytes &b);  // the bytes of a, then those of b

// ---- sockets ----

// Writes all the bytes (the library's write_string); false on failure.
bool writeBytes(int fd, const Bytes &bytes);
// Reads one frame from a stream with the library's exact-read loop, waiting
// up to 5 seconds for each piece, and deciphers it; nullopt when the stream
// ended or stalled first.  Every byte read is added to *raw when given.
std::optional<Bytes> receiveFrame(int fd, Bytes *raw = nullptr);

// A TCP socket bound to ip:port, listening when backlog is not negative
// (with SO_REUSEADDR, so that a port left in TIME_WAIT is taken again); one
// that only binds holds its port against any other bind.  Invalid, with a
// test failure, when that fails.
ns::UniqueFd tcpSocket(const char *ip, std::uint16_t port, int backlog = 8);
// A listener whose accept queue is full: a connect to it hangs.
struct HangingListener {
    ns::UniqueFd listener, filler;
};
HangingListener hangingListener(const char *ip, std::uint16_t port);

// ---- the peer ----

// What the peer does with one complete request.
struct Answer {
    Bytes bytes;                // sent back as they are (nothing: just close)
    int delayMs = 0;            // waited before anything is sent
    std::optional<Bytes> back;  // then sent on a connection to the request's address item
};
Answer reply(const Bytes &plain);  // one reply frame
Answer raw(Bytes bytes);           // bytes as they are
Answer hangUp();                   // the connection closed without a word
Answer streamBack(Bytes stream);   // NS_OK, then the stream on a connection back

// One datagram the peer sends back to a datagram's source.
struct Datagram {
    NsAddr from{};  // the address bound to send it (port 0: any)
    Bytes bytes;    // as they travel
    int delayMs = 0;
};
// A record enciphered, sent from ip:port.
Datagram datagramFrom(const char *ip, std::uint16_t port, const Bytes &plain, int delayMs = 0);

// What the peer received, or noted.
struct Event {
    enum Kind : std::uint8_t { Tcp, Udp, Note } kind = Note;
    Bytes plain;  // the deciphered record (empty for a frame cut short); a note's data
    // As received: the length byte and the ciphertext as far as it came, or
    // the datagram.
    Bytes raw;
    std::chrono::steady_clock::time_point at{};  // when it arrived
    bool whole() const { return kind != Tcp || (!raw.empty() && raw.size() == 1u + raw[0]); }
};

class Peer {
public:
    // A complete request and how many came before it on this socket.
    using OnRequest = std::function<Answer(const Bytes &request, int n)>;
    using OnDatagram = std::function<std::vector<Datagram>(const Bytes &plain, int n)>;

    Peer() = default;
    // A name server at ip:port answering as onRequest says, started.
    explicit Peer(OnRequest onRequest, const char *ip = kMasterAddr,
                  std::uint16_t port = NS_DEFAULT_PORT);
    ~Peer();  // the child is killed
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // Before start(): a TCP socket listening at ip:port.
    Peer &tcp(const char *ip, std::uint16_t port, OnRequest onRequest);
    // Before start(): a UDP socket bound at ip:port ("0.0.0.0" receives the
    // broadcasts); without a handler datagrams are only reported.
    Peer &udp(const char *ip, std::uint16_t port, OnDatagram onDatagram = {});
    // Forks the child: it runs `script` (when given), then serves its
    // sockets until the Peer goes; without sockets it ends after the script.
    void start(const std::function<void(Peer &)> &script = {});
    // In the child (a script): reports data as a Note.
    void note(const Bytes &data);

    // What the child reported so far, in order.
    std::vector<Event> events();
    // One letter per event so far: 't' TCP, 'u' UDP, 'n' note.
    std::string order();
    std::vector<Bytes> requests();   // the complete TCP requests so far
    std::vector<Bytes> datagrams();  // the deciphered datagrams so far
    // Waits for the child to end (a script without sockets); its events.
    std::vector<Event> finish(int timeoutMs = 20000);

private:
    struct Socket {
        ns::UniqueFd fd;
        bool tcp = false;
        OnRequest onRequest;
        OnDatagram onDatagram;
        int count = 0;
    };
    [[noreturn]] void serve();
    void takeConnection(Socket &s);
    void takeDatagram(Socket &s);
    void report(const Event &e);
    bool pull();  // false at the end of the reports

    std::vector<Socket> sockets_;
    pid_t pid_ = -1;
    ns::UniqueFd in_, out_;
    Bytes pending_;
    std::vector<Event> events_;
};

// Handlers: every request answered with the same record; with NS_OK and a
// name list stream back; the n-th request with the n-th answer (later ones
// hung up on); every datagram answered with a record from ip:port.
Peer::OnRequest always(const Bytes &plain);
Peer::OnRequest streaming(const std::vector<std::string> &names);
Peer::OnRequest inTurn(std::vector<Answer> answers);
Peer::OnDatagram answerFrom(const char *ip, std::uint16_t port, const Bytes &plain);

// What fn returns, run in a child of its own (empty when it ended otherwise).
Bytes inChild(const std::function<Bytes()> &fn);

// ---- the log pipe ----

class LogTap {
public:
    // Makes the FIFO in dir and holds it open for reading without blocking,
    // as the log server does.
    explicit LogTap(std::string dir);
    bool ok() const { return fd_.valid(); }
    const std::string &dir() const { return dir_; }

    void pull();  // takes what the pipe holds now
    // The whole records since clear(), behind any filler; expects no record
    // to have come in pieces.
    std::vector<LogRecord> records();
    // Their texts without the "time: [pid] program: " header.
    std::vector<std::string> lines();
    bool has(const std::string &line);         // that exact line came
    int count(const std::string &line);        // how often
    bool mentions(std::string_view fragment);  // some line holds it
    std::string dump();                        // every line, for failure messages
    void clear();
    // Fills the pipe to the last byte, so that the next record must wait;
    // returns the number of filler bytes.
    std::size_t fill();

private:
    std::string dir_;
    ns::UniqueFd fd_;
    std::string data_;
    std::size_t from_ = 0;  // where the records of interest begin in data_
};

// For test programs of the client library (register it with
// testing::AddGlobalTestEnvironment): a configuration for the whole process
// naming a temporary directory with the log pipe, failure and trace lines
// (768) in the event mask, an empty HOME; loaded, with the log pipe open,
// before the first test.
class ClientEnvironment : public testing::Environment {
public:
    void SetUp() override;
};
LogTap &logs();  // the tap on that configuration's pipe

// Every client test starts as in a fresh process: no remembered master, no
// pending broadcast, no master configured, no log lines.
class ClientTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // The configured master, "host.port".
    void configure(const std::string &value);
    // Configures nsm-master.16024 and starts a name server there (nsm_);
    // descriptors are counted from here on.
    Peer &serve(Peer::OnRequest onRequest);
    void expectNoLeak() const { EXPECT_EQ(openFdCount(), fds_); }

    std::unique_ptr<Peer> nsm_;
    int fds_ = 0;

private:
    std::string configured_;
};

}  // namespace nstest

#endif
