// A scripted stand-in for the name server master, run inside the test
// process, and a reader of the log pipe.
//
// ScriptedNsm listens on TCP at nsm-master (198.18.0.10) port 16024, which
// the configuration of useScriptedConfig() names.  For each connection it
// reads one request frame, keeps the deciphered request, and answers what
// its handler says: a reply record, optionally followed by a connection
// back to the request's address item carrying given bytes (a name list
// stream).  It runs in a thread that blocks SIGALRM, so the library's
// alarms always reach the test's own thread.
#ifndef TESTS_SUPPORT_SCRIPTED_NSM_HPP
#define TESTS_SUPPORT_SCRIPTED_NSM_HPP

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "rsockmap/rsockmap.h"
#include "support/unique_fd.hpp"

namespace nstest {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t kScriptedPort = 16024;

// Once per process: a temporary configuration (TALVEN_CONFIG) naming
// nsm-master.16024 as the name server and a temporary TALVEN_TMPDIR, and
// HOME pointing at an empty directory.  Returns TALVEN_TMPDIR.
const std::string &useScriptedConfig();

// A record with the given type and, when name is given, a name item at 16
// (nameOffset 16, length byte, characters, NUL).
Bytes record(int type, const char *name = nullptr);
// The frame of a record as it travels: one length byte, then the record
// enciphered with a fresh salt.
std::string frame(const Bytes &plain);
// A name list stream: head, one name record per name, end.
std::string listStream(const std::vector<std::string> &names);

struct Reply {
    Bytes record;             // empty: close without answering
    bool connectBack = false; // then connect to the request's address item
    std::string stream;       // ... and send these bytes before closing
};

class ScriptedNsm {
public:
    using Handler = std::function<Reply(const Bytes &request)>;

    explicit ScriptedNsm(Handler handler, const char *ip = "198.18.0.10",
                         std::uint16_t port = kScriptedPort);
    ~ScriptedNsm();
    ScriptedNsm(const ScriptedNsm &) = delete;
    ScriptedNsm &operator=(const ScriptedNsm &) = delete;

    // The deciphered requests received so far, in order.
    std::vector<Bytes> requests() const;
    // Waits until n connections have been answered and closed (stream
    // connections included); false after waitMs.
    bool waitServed(std::size_t n, int waitMs = 3000) const;

private:
    void serve();
    void answer(int fd);

    Handler handler_;
    ns::UniqueFd listenFd_;
    int wakeFds_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::vector<Bytes> requests_;
    std::atomic<std::size_t> served_{0};
    std::thread thread_;
};

// A reply of the given record alone; of type NS_OK alone; of another type.
Reply replyWith(Bytes record);
Reply okReply();
Reply typeReply(int type);
// A handler that accepts every request and streams `stream` back.
std::function<Reply(const Bytes &)> streamingHandler(std::string stream);
// A lookup's success: a name item "\\x\y", the address item and, when
// text is not null, the text item.
Reply lookupReply(const sockaddr_in &addr, const char *text = "secret");

// A TCP socket bound to ip:port ("0.0.0.0": every address), listening when
// backlog is positive; invalid when that fails.
ns::UniqueFd boundSocket(const char *ip, std::uint16_t port, int backlog = 0);

// Collects the lines the library writes to the log pipe: makes the FIFO
// "rblpipe" in TALVEN_TMPDIR, reads it in a thread, and sets the debug mask
// so that failures (256) and traces (512) are written.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // The text of every record so far, one line each.
    std::string text() const;
    // Whether a line holding `line` has arrived, waiting up to waitMs for it.
    bool contains(std::string_view line, int waitMs = 2000) const;

private:
    ns::UniqueFd fd_;
    int wakeFds_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::string text_;
    std::thread thread_;
};

// A test with the scripted configuration, a log capture (the log pipe is
// opened before the test body, so it does not count as a descriptor the
// operation leaves open) and a scripted name server started by serve().
class ScriptedNsmTest : public testing::Test {
protected:
    void SetUp() override;

    // Starts the name server; descriptors are counted from here on.
    void serve(ScriptedNsm::Handler handler);
    void serveStream(std::string stream) { serve(streamingHandler(std::move(stream))); }
    // Waits until `requests` connections were served, then expects as many
    // open descriptors as when the server started.
    void expectNoLeak(std::size_t requests = 1);

    std::unique_ptr<LogCapture> log_;
    std::unique_ptr<ScriptedNsm> nsm_;
    int fds_ = 0;
};

}  // namespace nstest

#endif
