// namelist.cpp - name lists over a reverse connection, and admin hosts.
//
// usptcp_GetNameList opens a listening socket, sends NS_NAMELIST with its
// address through the ordinary exchange, and lets the name server connect
// back and stream the names (see namelist.hpp for the stream).  The names
// are gathered in one buffer and handed over as one block that the caller
// releases with one free().
//
// usptcp_GetAdminHost asks for the admin host of one host (NS_ADMINHOST),
// answered in static storage, or for a wildcard fetches the admin-host list.
#include "rsockmap/namelist.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "rsockmap/exchange_internal.hpp"
#include "rsockmap/location_internal.hpp"
#include "rsockmap/record.hpp"
#include "support/debug.h"
#include "support/unique_fd.hpp"

namespace {

// The single-host answer of usptcp_GetAdminHost: { adminHostName, null }
// after a success, { null, null } otherwise.  Each call overwrites it.
char *adminHostList[2];
char adminHostName[128];

constexpr int kConnectWaitMs = 5000;  // for the name server to connect back

// The bounds of one list; lowered only by tests.
std::size_t maxListNames = ns::kMaxListNames;
std::size_t maxListBytes = ns::kMaxListBytes;

}  // namespace

namespace ns {

NameGather::~NameGather() { clear(); }

void setNameListBounds(std::size_t names, std::size_t bytes) {
    maxListNames = names != 0 ? names : kMaxListNames;
    maxListBytes = bytes != 0 ? bytes : kMaxListBytes;
}

void NameGather::clear() {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = count_ = 0;
}

bool NameGather::wouldOverflow(std::size_t m) const {
    // the names' characters and NULs: each name takes one length byte more
    return count_ >= maxListNames || m + 1 > maxListBytes - (size_ - count_);
}

bool NameGather::append(std::span<const std::uint8_t> chars) {
    const std::size_t m = chars.size();
    if (m > UINT8_MAX || count_ >= static_cast<std::size_t>(INT_MAX) - 1) return false;
    const std::size_t need = size_ + m + 2;
    if (need > capacity_) {
        // Doubling keeps the one-buffer design cheap for long lists.
        const std::size_t grown = std::max({need, capacity_ * 2, std::size_t{256}});
        auto *bigger = static_cast<std::uint8_t *>(std::realloc(data_, grown));
        if (bigger == nullptr) return false;
        data_ = bigger;
        capacity_ = grown;
    }
    data_[size_] = static_cast<std::uint8_t>(m);
    if (m > 0) std::memcpy(data_ + size_ + 1, chars.data(), m);
    data_[size_ + 1 + m] = 0;
    size_ = need;
    ++count_;
    return true;
}

char **NameGather::toList() const {
    const std::size_t pointers = (count_ + 1) * sizeof(char *);
    auto *block = static_cast<char **>(std::malloc(pointers + size_));
    if (block == nullptr) return nullptr;
    char *out = reinterpret_cast<char *>(block) + pointers;
    std::size_t at = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        const std::size_t m = data_[at];
        block[i] = out;
        std::memcpy(out, data_ + at + 1, m + 1);  // the characters and their NUL
        out += m + 1;
        at += m + 2;
    }
    block[count_] = nullptr;
    return block;
}

std::size_t NameListDecoder::feed(std::span<const std::uint8_t> bytes) {
    std::size_t used = 0;
    while (status_ == Status::NeedMore && used < bytes.size()) {
        if (!gotLength_) {
            frameLen_ = bytes[used++];
            have_ = 0;
            gotLength_ = true;
            if (frameLen_ <= NS_SALT_SIZE) {  // no record in it
                status_ = Status::Bad;
                break;
            }
            continue;
        }
        const std::size_t take = std::min(frameLen_ - have_, bytes.size() - used);
        std::memcpy(frame_.data() + have_, bytes.data() + used, take);
        have_ += take;
        used += take;
        if (have_ == frameLen_) {
            gotLength_ = false;
            takeRecord();
        }
    }
    return used;
}

void NameListDecoder::takeRecord() {
    const ReceivedRecord received = ReceivedRecord::decipher(std::span(frame_.data(), frameLen_));
    if (!received.arrived()) {
        status_ = Status::Bad;
        return;
    }
    const RecordView record = received.view();
    if (!gotHead_) {
        gotHead_ = record.type() == NS_LISTHEAD;
        if (!gotHead_) status_ = Status::Bad;
        return;
    }
    if (record.type() == NS_LISTEND) {
        status_ = Status::Done;
        return;
    }
    // A name record: its name item must lie wholly inside the record.  The
    // characters are taken by the item's length; the NUL is our own.
    const auto name = record.item(kNameOffset);
    if (!name) {
        status_ = Status::Bad;
        return;
    }
    if (names_.wouldOverflow(name->size()))
        status_ = Status::TooLong;
    else if (!names_.append(*name))
        status_ = Status::NoMemory;
}

void adminHostNameOf(const ReceivedRecord &reply, char *out, std::size_t outSize) {
    const std::span<const std::uint8_t> bytes = reply.view().bytes();
    std::size_t n = 0;
    const std::size_t offset = bytes.size() > kNameOffset ? bytes[kNameOffset] : 0;
    if (offset != 0 && offset <= NS_MAX_ITEM && offset + 1 < bytes.size()) {
        // The copy stops at the first NUL, at the end of the bytes that
        // arrived, or when the output is full.
        const std::span<const std::uint8_t> chars = bytes.subspan(offset + 1);
        const std::size_t room = std::min(chars.size(), outSize - 1);
        while (n < room && chars[n] != 0) ++n;
        std::memcpy(out, chars.data(), n);
    }
    out[n] = '\0';
}

}  // namespace ns

namespace {

// Sends the request that carries the listening address; true on NS_OK, and
// *master then holds the address of the master that answered.  Nothing of
// the reply is read beyond its type.
bool requestList(const ns::RecordBuilder &request, NsAddr *master) {
    return ns::mapIO(&request.message(), request.length(), master).type() == NS_OK;
}

// Waits up to 5 seconds for the name server's connection.  Only a
// connection from the address of the master that took the request counts,
// or from this host's own listening address (a master on this host
// connects back from it, whatever address it was reached at): any other is
// closed unread, and the wait goes on for what is left of the same 5
// seconds, so a neighbour that keeps connecting can neither replace the
// list nor stretch the wait.  The listener is non-blocking here, so a
// connection that is gone again between poll and accept cannot hold the
// wait past its end.  poll watches the listening descriptor whatever its
// number.
ns::UniqueFd acceptNameServer(int listener, const NsAddr &master, const NsAddr &self) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kConnectWaitMs);
    const int flags = fcntl(listener, F_GETFL);
    if (flags >= 0) fcntl(listener, F_SETFL, flags | O_NONBLOCK);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd watch{listener, POLLIN, 0};
        if (poll(&watch, 1, static_cast<int>(std::max<long>(left.count(), 0))) < 1 ||
            (watch.revents & POLLIN) == 0)
            return ns::UniqueFd();
        NsAddr peer{};
        socklen_t len = sizeof peer;
        ns::UniqueFd fd(accept(listener, reinterpret_cast<sockaddr *>(&peer), &len));
        if (!fd.valid()) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) continue;
            return fd;
        }
        const in_addr_t from = peer.sin_addr.s_addr;
        if (len >= sizeof peer && peer.sin_family == AF_INET &&
            (from == master.sin_addr.s_addr || from == self.sin_addr.s_addr))
            return fd;
        DebugLog(NS_LOG_FAIL, "usptcp_GetNameList: connection from %s ignored\n",
                 printaddr(&peer));
    }
}

// Reads the stream to its end record into names.  The stream has no time
// limit of its own.  Logs the reason of a failure.
bool receiveList(int fd, ns::NameGather &names) {
    ns::NameListDecoder decoder(names);
    std::array<std::uint8_t, 16384> chunk;
    while (decoder.status() == ns::NameListDecoder::Status::NeedMore) {
        const ssize_t got = read(fd, chunk.data(), chunk.size());
        if (got <= 0) break;  // end of stream or a failed read
        decoder.feed(std::span(chunk.data(), static_cast<std::size_t>(got)));
    }
    switch (decoder.status()) {
    case ns::NameListDecoder::Status::Done:
        return true;
    case ns::NameListDecoder::Status::NoMemory:
        DebugLog(NS_LOG_FAIL, "malloc failure\n");
        return false;
    case ns::NameListDecoder::Status::TooLong:
        // A receive failure like any other; what was gathered is released
        // by the caller and the connection closed unread.
        errno = EMSGSIZE;
        [[fallthrough]];
    default:
        DebugLog(NS_LOG_FAIL, "usptcp_GetNameList: receive failure (errno %d)\n", errno);
        return false;
    }
}

// Everything from the request to the end of the stream; true when the whole
// list arrived.  The caller closes the listening socket.
bool fetchList(int listener, const NsAddr &listenAddr, const ns::RecordBuilder &request,
               ns::NameGather &names) {
    NsAddr master{};
    if (!requestList(request, &master)) {
        DebugLog(NS_LOG_FAIL, "usptcp_GetNameList: request failed\n");
        return false;
    }
    ns::UniqueFd stream = acceptNameServer(listener, master, listenAddr);
    if (!stream.valid()) {
        DebugLog(NS_LOG_FAIL, "usptcp_GetNameList: no connection from marlod\n");
        return false;
    }
    return receiveList(stream.get(), names);
}

}  // namespace

extern "C" int usptcp_CreateStreamSock(NsAddr *addr) {
    usptcp_Initialise();
    NsAddr local{};
    NsAddr *out = addr ? addr : &local;
    std::memset(out, 0, sizeof *out);
    int len = sizeof *out;
    usptcp_GetLocalAddr(out, &len);
    out->sin_family = AF_INET;

    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return fd;
    // The caller's address gets the port that was bound.
    if (ns::bindLocalPort(fd, out) && listen(fd, 1) == 0) return fd;
    const int saved = errno;
    DebugLog(NS_LOG_FAIL, "usptcp_CreateStreamSock: bind or listen failure\n");
    close(fd);
    errno = saved;
    return -1;
}

extern "C" int usptcp_GetNameList(const char *pattern, int selector, char ***list) {
    // A null pattern asks for every name.
    const char *shown = pattern ? pattern : "NULL";
    DebugLog(NS_LOG_TRACE, "usptcp_GetNameList: %s, %d\n", shown, selector);
    if (list == nullptr) return -1;
    usptcp_Initialise();

    // The socket listens before the request goes out, so the name server
    // may connect back at any time after it.
    NsAddr listenAddr{};
    ns::UniqueFd listener(usptcp_CreateStreamSock(&listenAddr));
    if (!listener.valid()) {
        DebugLog(NS_LOG_FAIL, "usptcp_GetNameList: usptcp_CreateStreamSock failed\n");
        return -1;
    }
    // A pattern too long to fit beside the address is refused unsent, as
    // every over-limit request is.
    ns::RecordBuilder request(NS_NAMELIST);
    request.option(selector).name(pattern ? pattern : "*").address(&listenAddr, sizeof listenAddr);
    ns::NameGather names;
    const bool complete = ns::recordFits("usptcp_GetNameList", request) &&
                          fetchList(listener.get(), listenAddr, request, names);
    listener.reset();
    int result;
    if (!complete) {
        *list = nullptr;
        result = -1;
    } else if (names.count() == 0) {
        *list = nullptr;
        result = 0;
    } else if (char **block = names.toList()) {
        *list = block;
        result = static_cast<int>(names.count());
    } else {
        DebugLog(NS_LOG_FAIL, "malloc failure\n");
        result = -1;  // the caller's list stays as it was
    }
    DebugLog(NS_LOG_TRACE, "usptcp_GetNameList: (%s) returning %d matches\n", shown, result);
    return result;
}

extern "C" int usptcp_GetAdminHost(const char *host, char ***list) {
    DebugLog(NS_LOG_TRACE, "usptcp_GetAdminHost(%s)\n", host ? host : "NULL");
    if (host == nullptr || host[0] == '\0' || std::strcmp(host, "*") == 0)
        return usptcp_GetNameList(host, NS_LIST_ADMINHOST, list);

    adminHostList[0] = adminHostList[1] = nullptr;
    adminHostName[0] = '\0';
    if (list) *list = adminHostList;  // valid, possibly empty, whatever follows

    usptcp_Initialise();
    ns::RecordBuilder request(NS_ADMINHOST);
    request.name(host);
    // Refused unsent, like every over-limit request; there is no exchange
    // whose result the closing trace could show.
    if (!ns::recordFits("usptcp_GetAdminHost", request)) return 0;
    const ns::ReceivedRecord reply = ns::mapIO(&request.message(), request.length());
    const int result = reply.type();
    if (result == NS_OK) {
        ns::adminHostNameOf(reply, adminHostName, sizeof adminHostName);
        adminHostList[0] = adminHostName;
    }
    DebugLog(NS_LOG_TRACE, "usptcp_GetAdminHost: returning %d (host='%s')\n", result,
             adminHostName);
    return result == NS_OK ? 1 : 0;
}
