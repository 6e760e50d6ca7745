// server.hpp - the stand-in name server's event loop.
//
// One process, one thread, one poll loop over non-blocking sockets:
//
// - UDP: a socket bound to INADDR_ANY:port with SO_REUSEADDR receives the
//   broadcasts (every stand-in in a network namespace gets each of them);
//   with an own address, a second socket bound to it takes the unicasts and
//   sends every reply, so replies come from the own address.  Datagrams that
//   reach the wildcard socket for another unicast address are dropped.
// - TCP (master only; a backup does not listen): each connection reads one
//   frame, gets one frame back, then the stand-in shuts its side and waits
//   for the client to close (so a reply is never cut off by a reset).
// - Name lists: after the NS_OK reply the stand-in connects back to the
//   client's address within 5 seconds and streams the list without blocking,
//   walking the registry as the socket drains (no copy of the names).
// - The verbose log is written without blocking (see VerboseOutput).
//
// Everything is bounded: connections and streams in all and from each client
// address (so one client cannot lock the others out), queued datagrams, the
// registry, and each connection's silence (the idle timeout).  A connection
// back that gets no answer gives up its slot to another client's list once
// it has waited a while.
#ifndef TOOLS_NSMD_SERVER_HPP
#define TOOLS_NSMD_SERVER_HPP

#include <list>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "hostile.hpp"
#include "nsmd_internal.hpp"
#include "options.hpp"
#include "registry.hpp"
#include "verbose.hpp"

namespace nsmd {

class Server {
public:
    Server(Options options, Registry registry, HostileScript script);
    ~Server();

    // Binds every socket and installs the signal handlers; false with the
    // reason in error.
    bool open(std::string &error);
    // Serves until SIGTERM or SIGINT; returns the exit status (0).
    int run();

private:
    struct Link;
    struct Datagrams;

    void say(const std::string &line);
    std::string own() const;
    // The address to name as ours to a client at peer, whose datagram came
    // in at the local address received; nullopt when none is known.
    std::optional<NsAddr> tcpAddressFor(const sockaddr_in &peer, in_addr received) const;
    bool wantedDestination(in_addr dst) const;

    void readDatagrams(int fd, bool filter, Clock::time_point now);
    void acceptConnections(Clock::time_point now);
    // "" when a list for a client at origin may start now, else why not.
    std::string listRoom(in_addr_t origin, Clock::time_point now);
    void startList(ListJob job, in_addr_t origin, Clock::time_point now);
    bool serviceLink(Link &link, short revents, Clock::time_point now);
    bool readRequest(Link &link);
    void answerRequest(Link &link, Clock::time_point now);
    bool sendOutbox(Link &link, short revents, Clock::time_point now);
    int pollTimeout(Clock::time_point now) const;
    // Links of one kind that are not given up, from origin when given.
    std::size_t count(bool streams, std::optional<in_addr_t> origin = std::nullopt) const;

    Options opts_;
    Registry registry_;
    HostileScript script_;
    ns::UniqueFd udpAny_, udpOwn_, listen_, wakeRead_, wakeWrite_;
    std::set<in_addr_t> broadcasts_;                   // the interfaces' broadcast addresses
    std::list<std::unique_ptr<Link>> links_;           // request connections and list streams
    std::list<std::unique_ptr<Datagrams>> datagrams_;  // replies still waiting to go
    Clock::time_point acceptPausedUntil_{};
    VerboseOutput out_;
};

}  // namespace nsmd

#endif
