// The stand-in name server as a program: started inside the sandbox and
// spoken to with raw sockets and the client's record helpers and cipher.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/peer.hpp"

using namespace nstest;

namespace {

constexpr int kRefused = 33;
constexpr std::uint16_t kPort = NS_DEFAULT_PORT;

std::string ipOf(const sockaddr_in &a) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

// Reads up to n bytes, waiting at most ms for each piece; fewer at the end
// of the stream or on timeout.
Bytes readSome(int fd, std::size_t n, int ms = 3000) {
    Bytes out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) break;
        std::uint8_t buf[4096];
        ssize_t got = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

// A connection to ip, from the sandbox address from when given.
int connectTo(const char *ip, std::uint16_t port = kPort, const char *from = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = inetAddr(ip, port);
    sockaddr_in src = inetAddr(from != nullptr ? from : "0.0.0.0", 0);
    if ((from != nullptr && bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) ||
        connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends raw bytes to the master and returns everything it sends back
// before it ends its side of the connection.
Bytes rawExchange(const Bytes &raw, const char *ip = kMasterAddr, const char *from = nullptr) {
    ns::UniqueFd s(connectTo(ip, kPort, from));
    EXPECT_GE(s.get(), 0);
    if (s.get() < 0) return {};
    EXPECT_TRUE(writeBytes(s.get(), raw));
    return readSome(s.get(), 1 << 20);
}

// The record of exactly one received frame; empty for anything else.
Bytes unframe(const Bytes &got) {
    if (got.empty() || got.size() != 1u + got[0]) return {};
    return decipher(Bytes(got.begin() + 1, got.end()));
}

// One request, one deciphered reply (empty when there is none).
Bytes exchange(const Bytes &request, const char *ip = kMasterAddr, const char *from = nullptr) {
    return unframe(rawExchange(frameOf(request), ip, from));
}

struct Datagram {
    std::string from;
    std::uint16_t port;
    Bytes plain;
};

// Sends one record as a datagram and gathers what comes back within ms.
std::vector<Datagram> ask(const Bytes &plain, const char *to = kBcastAddr, int ms = 300) {
    ns::UniqueFd s(socket(AF_INET, SOCK_DGRAM, 0));
    int on = 1;
    setsockopt(s.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in local = inetAddr(kHostAddr, 0);
    bind(s.get(), reinterpret_cast<sockaddr *>(&local), sizeof local);
    Bytes c = encipher(plain);
    sockaddr_in dst = inetAddr(to, kPort);
    sendto(s.get(), c.data(), c.size(), 0, reinterpret_cast<sockaddr *>(&dst), sizeof dst);
    std::vector<Datagram> out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        pollfd p{s.get(), POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1) break;
        std::uint8_t buf[512];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n =
            recvfrom(s.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0) break;
        out.push_back({ipOf(from), ntohs(from.sin_port), decipher(Bytes(buf, buf + n))});
    }
    return out;
}

Child startNsmd(std::vector<std::string> args) {
    args.insert(args.begin(), binPath("nsmd"));
    Child c(args);
    // Once every socket is bound; a large preload under a sanitizer on a
    // busy machine takes a while.
    EXPECT_TRUE(c.waitForOutput("ready", 30000)) << c.err();
    return c;
}

Child startMaster(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"-a", kMasterAddr};
    args.insert(args.end(), extra.begin(), extra.end());
    return startNsmd(args);
}

Bytes lookup(const char *name, int option = 0) {
    return plainOf(ns::RecordBuilder(NS_LOOKUP).option(option).name(name));
}

Bytes registration(const char *name, const NsAddr &addr, const char *text = nullptr, int type = 3,
                   int level = 1) {
    ns::RecordBuilder b(NS_REGISTER);
    b.option(type).level(level).name(name).address(&addr, sizeof addr);
    if (text != nullptr) b.text(text);
    return plainOf(b);
}

Bytes named(int type, const char *name) { return plainOf(ns::RecordBuilder(type).name(name)); }

int typeOf(const Bytes &reply) { return reply.empty() ? -1 : reply[0]; }

// ---------------------------------------------------------------- discovery

TEST(NsmdDiscovery, MasterAnswersWithItsTcpAddressFromItsOwnAddress) {
    auto master = startMaster();
    for (int type : {NS_FINDMASTER, NS_FINDANY}) {
        auto replies = ask(record(type));
        ASSERT_EQ(replies.size(), 1u) << type;
        EXPECT_EQ(replies[0].from, kMasterAddr);
        EXPECT_EQ(replies[0].port, kPort);
        ns::RecordView view(replies[0].plain.data(), replies[0].plain.size());
        EXPECT_EQ(view.type(), NS_MASTER);
        NsAddr tcp{};
        ASSERT_EQ(view.addressItem(&tcp), 16);
        EXPECT_EQ(std::string(printaddr(&tcp)), "198.18.0.10 (16024)");
    }
}

TEST(NsmdDiscovery, BoundToEveryAddressItNamesOneThatReachesTheClient) {
    auto master = startNsmd({});
    auto replies = ask(record(NS_FINDMASTER));
    ASSERT_EQ(replies.size(), 1u);
    ns::RecordView view(replies[0].plain.data(), replies[0].plain.size());
    NsAddr tcp{};
    ASSERT_EQ(view.addressItem(&tcp), 16);
    EXPECT_NE(tcp.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(ntohs(tcp.sin_port), kPort);
    const std::string where = ipOf(tcp);
    EXPECT_EQ(typeOf(exchange(plainOf(ns::RecordBuilder(NS_CONTROL)), where.c_str())), NS_OK);
}

TEST(NsmdDiscovery, WithoutAddressItemTheSourceAddressCounts) {
    auto master = startMaster({"--no-addr-item"});
    auto replies = ask(record(NS_FINDMASTER));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].from, kMasterAddr);
    ASSERT_GE(replies[0].plain.size(), 16u);
    EXPECT_EQ(replies[0].plain[0], NS_MASTER);
    EXPECT_EQ(replies[0].plain[ns::kAddrOffset], 0);
}

TEST(NsmdDiscovery, CensusListsEveryoneButOnlyTheMasterAnswersDiscovery) {
    auto master = startMaster({"-v"});
    auto backup1 = startNsmd({"-a", kBackup1Addr, "-r", "backup"});
    auto backup2 = startNsmd({"-a", kBackup2Addr, "--role", "backup"});

    std::map<std::string, int> census;
    for (const auto &r : ask(record(NS_CENSUS))) census[r.from] = typeOf(r.plain);
    EXPECT_EQ(census,
              (std::map<std::string, int>{
                  {kMasterAddr, NS_MASTER}, {kBackup1Addr, NS_BACKUP}, {kBackup2Addr, NS_BACKUP}}));

    auto discovery = ask(record(NS_FINDMASTER));
    ASSERT_EQ(discovery.size(), 1u);
    EXPECT_EQ(discovery[0].from, kMasterAddr);

    // A census sent to one stand-in's own address reaches only that one.
    auto direct = ask(record(NS_CENSUS), kBackup1Addr);
    ASSERT_EQ(direct.size(), 1u);
    EXPECT_EQ(direct[0].from, kBackup1Addr);
    EXPECT_EQ(typeOf(direct[0].plain), NS_BACKUP);
    // ...and one sent to an address where no stand-in lives reaches none.
    EXPECT_TRUE(ask(record(NS_CENSUS), "198.18.0.13").empty());
    // A backup takes no TCP requests.
    EXPECT_LT(connectTo(kBackup1Addr), 0);
}

TEST(NsmdDiscovery, ShortAndForeignDatagramsAreIgnored) {
    auto master = startMaster({"-v"});
    // 24 bytes of ciphertext hold no record; 10 bytes not even a salt.
    {
        ns::UniqueFd s(socket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in dst = inetAddr(kMasterAddr, kPort);
        for (std::size_t n : {0u, 10u, 24u}) {
            Bytes junk(n, 0x5a);
            sendto(s.get(), junk.data(), junk.size(), 0, reinterpret_cast<sockaddr *>(&dst),
                   sizeof dst);
        }
    }
    EXPECT_TRUE(ask(record(NS_OK), kMasterAddr).empty());
    EXPECT_TRUE(ask(record(NS_LOOKUP), kMasterAddr).empty());
    EXPECT_EQ(ask(Bytes{NS_CENSUS}, kMasterAddr).size(), 1u);  // a type byte suffices
    EXPECT_EQ(ask(record(NS_CENSUS), kMasterAddr).size(), 1u);
    EXPECT_NE(master.out().find("24-byte datagram ignored"), std::string::npos);
}

// ----------------------------------------------------------------- registry

TEST(NsmdRegistry, RegisterLookupReplaceUnregisterRoundTrip) {
    auto master = startMaster();
    const char *name = "\\\\nstest\\demo";
    NsAddr addr = inetAddr("198.18.0.1", 4000);
    EXPECT_EQ(exchange(registration(name, addr, "hello")), record(NS_OK));

    Bytes reply = exchange(lookup(name, 4));
    ASSERT_EQ(reply.size(), 16u + 17u + 7u);
    EXPECT_EQ(reply[0], NS_OK);
    EXPECT_EQ(reply[ns::kNameOffset], 0);  // no name item unless asked for
    EXPECT_EQ(reply[ns::kAddrOffset], 16);
    EXPECT_EQ(reply[16], 16);
    EXPECT_EQ(std::memcmp(&reply[17], &addr, 16), 0);
    EXPECT_EQ(reply[ns::kTextOffset], 33);
    EXPECT_EQ(reply[33], 5);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&reply[34])), "hello");

    // The same name with its host part in other case replaces the entry.
    NsAddr moved = inetAddr("198.18.0.1", 4001);
    EXPECT_EQ(typeOf(exchange(registration("\\\\NSTEST\\demo", moved))), NS_OK);
    reply = exchange(lookup(name));
    ASSERT_EQ(reply.size(), 33u);
    EXPECT_EQ(std::memcmp(&reply[17], &moved, 16), 0);
    EXPECT_EQ(reply[ns::kTextOffset], 0);  // no text any more
    // The service part is not folded.
    EXPECT_EQ(typeOf(exchange(lookup("\\\\nstest\\DEMO"))), kRefused);

    EXPECT_EQ(exchange(named(NS_UNREGISTER, name)), record(NS_OK));
    EXPECT_EQ(exchange(lookup(name)), record(kRefused));
    EXPECT_EQ(typeOf(exchange(named(NS_UNREGISTER, name))), kRefused);
}

TEST(NsmdRegistry, StarHostFindsTheServiceAnywhereAndNameItemOnRequest) {
    auto master = startMaster({"--name-item"});
    NsAddr addr = inetAddr("198.18.0.13", 5000);
    ASSERT_EQ(typeOf(exchange(registration("\\\\nsm-other\\lcnsesvc", addr, "k"))), NS_OK);
    Bytes reply = exchange(lookup("\\\\*\\lcnsesvc"));
    ns::RecordView view(reply.data(), reply.size());
    ASSERT_EQ(view.type(), NS_OK);
    EXPECT_EQ(view.stringItem(ns::kNameOffset).value(), "\\\\nsm-other\\lcnsesvc");
    NsAddr got{};
    EXPECT_EQ(view.addressItem(&got), 16);
    EXPECT_EQ(std::string(printaddr(&got)), "198.18.0.13 (5000)");
    EXPECT_EQ(view.stringItem(ns::kTextOffset).value(), "k");
    // Items in the order name, address, text, each behind the other.
    EXPECT_EQ(reply[ns::kNameOffset], 16);
    EXPECT_EQ(reply[ns::kAddrOffset], 16 + 20 + 2);
    EXPECT_EQ(typeOf(exchange(lookup("\\\\*\\nothing"))), kRefused);
    // "*" is no host to register under.
    EXPECT_EQ(typeOf(exchange(registration("\\\\*\\x", addr))), kRefused);
}

TEST(NsmdRegistry, PCNamesAdminHostsAndControlCodes) {
    auto master = startMaster({"-v", "--admin-host", "Alpha", "--admin-host", "beta.example"});
    EXPECT_EQ(typeOf(exchange(named(NS_PCREGISTER, "\\\\pc1\\nstest"))), NS_OK);
    EXPECT_EQ(typeOf(exchange(named(NS_PCUNREGISTER, "\\\\PC1\\nstest"))), NS_OK);
    EXPECT_EQ(typeOf(exchange(named(NS_PCUNREGISTER, "\\\\pc1\\nstest"))), kRefused);

    Bytes reply = exchange(named(NS_ADMINHOST, "alpha"));
    ns::RecordView view(reply.data(), reply.size());
    EXPECT_EQ(view.type(), NS_OK);
    EXPECT_EQ(view.stringItem(ns::kNameOffset).value(), "Alpha");  // as configured
    EXPECT_EQ(typeOf(exchange(named(NS_ADMINHOST, "gamma"))), kRefused);

    EXPECT_EQ(exchange(plainOf(ns::RecordBuilder(NS_CONTROL).control(300))), record(NS_OK));
    EXPECT_EQ(typeOf(exchange(plainOf(ns::RecordBuilder(NS_CONTROL).control(-1)))), NS_OK);
    EXPECT_TRUE(master.waitForOutput("CONTROL 65535 -> OK"));
    EXPECT_NE(master.out().find("CONTROL 300 -> OK"), std::string::npos);
}

TEST(NsmdRegistry, PreloadFileAndItsErrors) {
    TempDir dir;
    writeFile(dir.file("ok"),
                      "# registrations\n"
                      "service \\\\nsm-master\\lcnsesvc 198.18.0.10 7000 2 3 the auth text\n"
                      "\n"
                      "pc \\\\pc9\\nstest\n"
                      "admin AdminBox\n");
    auto master = startMaster({"-f", dir.file("ok")});
    Bytes reply = exchange(lookup("\\\\*\\lcnsesvc"));
    ns::RecordView view(reply.data(), reply.size());
    ASSERT_EQ(view.type(), NS_OK);
    EXPECT_EQ(view.stringItem(ns::kTextOffset).value(), "the auth text");
    EXPECT_EQ(typeOf(exchange(named(NS_PCUNREGISTER, "\\\\pc9\\nstest"))), NS_OK);
    EXPECT_EQ(typeOf(exchange(named(NS_ADMINHOST, "adminbox"))), NS_OK);

    writeFile(dir.file("bad"), "pc \\\\a\\b\nservice \\\\h\\s 1.2.3 80\n");
    auto r = runProcess({binPath("nsmd"), "-f", dir.file("bad")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(dir.file("bad") + ":2: bad address"), std::string::npos) << r.err;
}

// --------------------------------------------------------------- robustness

TEST(NsmdRobustness, MalformedRequestsAreRefusedAndTheServerLivesOn) {
    auto master = startMaster({"--idle-timeout", "300"});
    const Bytes refusal = record(kRefused);
    // L = 0, L below 25, a header cut short.
    EXPECT_EQ(unframe(rawExchange(Bytes{0})), refusal);
    Bytes shortFrame{10};
    shortFrame.resize(11, 0x77);
    EXPECT_EQ(unframe(rawExchange(shortFrame)), refusal);
    EXPECT_EQ(exchange(Bytes{NS_LOOKUP, 0, 0, 0, 0}), refusal);
    // Unknown type; a name offset past 127; a name that runs past the record;
    // an address item of 4 bytes; a request with no name at all.
    Bytes unknown = record(99);
    Bytes farName = lookup("abc");
    farName[ns::kNameOffset] = 200;
    Bytes longName = lookup("abc");
    longName[16] = 120;
    Bytes bigRegister = registration("\\\\h\\s", inetAddr("1.2.3.4", 1));
    bigRegister[16 + 6 + 1] = 4;  // the address item's length byte
    for (const Bytes &bad : {unknown, farName, longName, bigRegister, record(NS_LOOKUP),
                             record(NS_NAMELIST), record(NS_ADMINHOST), record(NS_REGISTER)})
        EXPECT_EQ(exchange(bad), refusal) << int(bad[0]);
    // Garbage ciphertext of every length deciphers to some record: whatever
    // it is, a frame comes back.
    for (int len = 25; len <= 255; len += 23) {
        Bytes garbage(1 + len);
        garbage[0] = static_cast<std::uint8_t>(len);
        for (int i = 1; i <= len; ++i) garbage[i] = static_cast<std::uint8_t>(i * 37 + len);
        Bytes got = rawExchange(garbage);
        ASSERT_FALSE(got.empty()) << len;
        EXPECT_EQ(got.size(), 1u + got[0]);
    }
    // A client that leaves halfway through a frame, and one that never sends
    // (closed after the idle time), among many idle ones (fewer than one
    // address may hold).
    {
        ns::UniqueFd half(connectTo(kMasterAddr));
        EXPECT_TRUE(writeBytes(half.get(), Bytes{100, 1, 2, 3}));
    }
    std::vector<int> idle;
    for (int i = 0; i < 24; ++i) idle.push_back(connectTo(kMasterAddr));
    NsAddr addr = inetAddr("198.18.0.1", 4000);
    EXPECT_EQ(typeOf(exchange(registration("\\\\a\\b", addr))), NS_OK);
    EXPECT_TRUE(readSome(idle[0], 1, 2000).empty());  // closed by the stand-in, unanswered
    for (int fd : idle) close(fd);
    // Bytes beyond the request do not cost the client its reply.
    Bytes extra = frameOf(lookup("\\\\a\\b"));
    extra.insert(extra.end(), 50, 0xee);
    EXPECT_EQ(typeOf(unframe(rawExchange(extra))), NS_OK);
    EXPECT_TRUE(master.running());
}

// ---------------------------------------------------------------- name lists

Bytes listRequest(const char *pattern, int selector, const sockaddr_in &to) {
    return plainOf(ns::RecordBuilder(NS_NAMELIST).option(selector).name(pattern).address(&to, 16));
}

struct ListResult {
    int replyType = -1;
    std::vector<int> types;  // of every record of the stream
    std::vector<std::string> names;
};

// Sends a name list request carrying a listening address and reads the
// stream that comes back.  readDelay runs once the connection is accepted.
ListResult fetchList(const char *pattern, int selector,
                     const std::function<void()> &whileConnected = {}) {
    ListResult r;
    const ns::UniqueFd lsn = tcpSocket(kHostAddr, 0, 1);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(lsn.get(), reinterpret_cast<sockaddr *>(&a), &len);
    r.replyType = typeOf(exchange(listRequest(pattern, selector, a)));
    pollfd p{lsn.get(), POLLIN, 0};
    if (r.replyType != NS_OK || poll(&p, 1, 5000) != 1) return r;
    sockaddr_in peer{};
    len = sizeof peer;
    ns::UniqueFd conn(accept(lsn.get(), reinterpret_cast<sockaddr *>(&peer), &len));
    EXPECT_EQ(ipOf(peer), kMasterAddr);
    if (whileConnected) whileConnected();
    while (auto rec = receiveFrame(conn.get())) {
        ns::RecordView view(rec->data(), rec->size());
        r.types.push_back(view.type());
        if (view.type() != NS_LISTHEAD && view.type() != NS_LISTEND)
            r.names.emplace_back(view.stringItem(ns::kNameOffset).value_or("?"));
    }
    return r;
}

TEST(NsmdNameList, StreamsHeadMatchingNamesAndEnd) {
    auto master =
        startMaster({"--admin-host", "adm1", "--admin-host", "Adm2", "--admin-host", "other"});
    NsAddr addr = inetAddr("198.18.0.1", 4000);
    for (const char *n : {"\\\\nsm-master\\svcA", "\\\\NSM-backup1\\svcB", "\\\\nstest\\svcC"})
        ASSERT_EQ(typeOf(exchange(registration(n, addr))), NS_OK);
    ASSERT_EQ(typeOf(exchange(named(NS_PCREGISTER, "\\\\pc1\\nstest"))), NS_OK);

    ListResult r = fetchList("\\\\nsm*\\SVC*", 0);
    EXPECT_EQ(r.replyType, NS_OK);
    EXPECT_EQ(r.names, (std::vector<std::string>{"\\\\NSM-backup1\\svcB", "\\\\nsm-master\\svcA"}));
    ASSERT_EQ(r.types.size(), 4u);
    EXPECT_EQ(r.types.front(), NS_LISTHEAD);
    EXPECT_EQ(r.types.back(), NS_LISTEND);

    EXPECT_EQ(fetchList("adm*", NS_LIST_ADMINHOST).names,
              (std::vector<std::string>{"adm1", "Adm2"}));
    EXPECT_EQ(fetchList("", NS_LIST_ADMINHOST).names.size(), 3u);  // empty: everything
    EXPECT_EQ(fetchList("*", 1).names, (std::vector<std::string>{"\\\\pc1\\nstest"}));
    ListResult none = fetchList("nothing*", 0);
    EXPECT_EQ(none.types, (std::vector<int>{NS_LISTHEAD, NS_LISTEND}));
}

TEST(NsmdNameList, ALongListStreamsWhileOtherRequestsAreServed) {
    TempDir dir;
    std::string preload;
    const int count = 20000;
    for (int i = 0; i < count; ++i)
        preload += "service \\\\host" + std::to_string(i % 97) + "\\service" + std::to_string(i) +
                   " 198.18.0.1 4000\n";
    writeFile(dir.file("many"), preload);
    auto master = startMaster({"-f", dir.file("many")});
    // The stream stalls while nobody reads it; the stand-in still answers.
    int answered = -1;
    ListResult r =
        fetchList("*", 0, [&] { answered = typeOf(exchange(lookup("\\\\host5\\service5"))); });
    EXPECT_EQ(answered, NS_OK);
    EXPECT_EQ(r.names.size(), static_cast<std::size_t>(count));
    ASSERT_FALSE(r.types.empty());
    EXPECT_EQ(r.types.back(), NS_LISTEND);
}

TEST(NsmdNameList, BadListRequestsAreRefused) {
    auto master = startMaster();
    NsAddr zero{};
    zero.sin_family = AF_INET;
    EXPECT_EQ(
        typeOf(exchange(plainOf(ns::RecordBuilder(NS_NAMELIST).name("*").address(&zero, 16)))),
        kRefused);
    NsAddr a = inetAddr(kHostAddr, 5555);
    EXPECT_EQ(typeOf(exchange(plainOf(ns::RecordBuilder(NS_NAMELIST).name("*").address(&a, 8)))),
              kRefused);
}

// ------------------------------------------------------------ hostile mode

TEST(NsmdHostile, ScriptReplacesAnswersInOrderThenNormalResumes) {
    TempDir dir;
    writeFile(dir.file("script"),
                      "# one line per exchange\n"
                      "tcp close\n"
                      "tcp rec:20000000000000000000000000000000\n"
                      "tcp long:10:20000000000000000000000000000000\n"
                      "tcp frag:3:20 normal\n"
                      "tcp random:7\n"
                      "tcp raw:0102 pause:50 raw:03\n"
                      "udp rec:0e000000000000000000000000000000\n"
                      "udp silent\n"
                      "list rec:22000000000000000000000000000000\n");
    auto master = startMaster({"--hostile", dir.file("script")});
    const Bytes req = lookup("\\\\x\\y");

    EXPECT_TRUE(rawExchange(frameOf(req)).empty());  // close
    EXPECT_EQ(exchange(req), record(NS_OK));       // rec
    Bytes cut = rawExchange(frameOf(req));           // long
    ASSERT_EQ(cut.size(), 41u);
    EXPECT_EQ(cut[0], 50);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange(req), record(kRefused));  // frag
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(rawExchange(frameOf(req)).size(), 7u);         // random
    EXPECT_EQ(rawExchange(frameOf(req)), (Bytes{1, 2, 3}));  // raw, pause
    EXPECT_EQ(exchange(req), record(kRefused));            // normal again

    auto census = ask(record(NS_CENSUS), kMasterAddr);
    ASSERT_EQ(census.size(), 1u);
    EXPECT_EQ(census[0].plain, record(NS_BACKUP));
    EXPECT_TRUE(ask(record(NS_CENSUS), kMasterAddr).empty());
    EXPECT_EQ(ask(record(NS_CENSUS), kMasterAddr).size(), 1u);

    ListResult list = fetchList("*", 0);
    EXPECT_EQ(list.replyType, NS_OK);
    EXPECT_EQ(list.types, (std::vector<int>{NS_LISTEND}));
}

TEST(NsmdHostile, BadScriptsAreRejectedAtTheStart) {
    TempDir dir;
    for (const char *script : {"tcp rec:123\n", "udp close\n", "udp long:1:00\n", "tcp\n",
                               "tcp long:300:00\n", "foo normal\n", "tcp pause:-1\n"}) {
        writeFile(dir.file("s"), script);
        auto r = runProcess({binPath("nsmd"), "--hostile", dir.file("s")});
        EXPECT_EQ(r.status, 2) << script;
        EXPECT_NE(r.err.find(dir.file("s") + ":1: "), std::string::npos) << r.err;
    }
}

// ------------------------------------------------------------------- abuse

// Lines read from fd until one contains text or nothing comes for ms.
std::string readUntil(int fd, const std::string &text, int ms = 3000) {
    std::string got;
    while (got.find(text) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) break;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

int fdCount(pid_t pid) {
    int n = 0;
    if (DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

TEST(NsmdAbuse, NoClientLocksOthersOutOrMakesTheServerGrowOrStall) {
    const char *abuser = "198.18.0.13";
    const Bytes probe = lookup("\\\\nobody\\here");
    {
        // 256 connections from one address: it keeps its share, the others
        // are still served.
        auto master = startMaster();
        std::vector<ns::UniqueFd> held;
        for (int i = 0; i < 256; ++i)
            held.emplace_back(connectTo(kMasterAddr, kPort, abuser));
        EXPECT_EQ(typeOf(exchange(probe)), kRefused);  // another client: answered
        EXPECT_TRUE(rawExchange(frameOf(probe), kMasterAddr, abuser).empty());  // turned away
    }
    {
        // 32 lists whose return address never answers, from one address: 4
        // are taken, the rest refused, and another client's list still comes.
        auto master = startMaster();
        // A return address whose listener never takes a connection.
        const HangingListener hole = hangingListener("198.18.0.13", 4090);
        const NsAddr holeAddr = inetAddr("198.18.0.13", 4090);
        int taken = 0;
        for (int i = 0; i < 32; ++i) {
            const int type = typeOf(exchange(listRequest("*", 0, holeAddr), kMasterAddr, abuser));
            taken += type == NS_OK;
            EXPECT_TRUE(type == NS_OK || type == kRefused) << type;
        }
        EXPECT_EQ(taken, 4);
        EXPECT_EQ(fetchList("*", 0).types, (std::vector<int>{NS_LISTHEAD, NS_LISTEND}));
        // Seven more addresses fill every slot; a list waits for a free one
        // only until an unanswered connection back has had its grace.
        for (const char *from : {"198.18.0.11", "198.18.0.12", "198.18.0.14", "198.18.0.15",
                                 "198.18.0.16", "198.18.0.17", "198.18.0.18"})
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(typeOf(exchange(listRequest("*", 0, holeAddr), kMasterAddr, from)),
                          NS_OK);
        EXPECT_EQ(fetchList("*", 0).replyType, kRefused);
        std::this_thread::sleep_for(std::chrono::milliseconds(1600));
        EXPECT_EQ(fetchList("*", 0).types, (std::vector<int>{NS_LISTHEAD, NS_LISTEND}));
    }
    {
        // A full registry refuses what would make it grow, and only that.
        auto master = startMaster({"--max-entries", "3"});
        const NsAddr addr = inetAddr("198.18.0.1", 4000);
        EXPECT_EQ(typeOf(exchange(registration("\\\\h\\a", addr))), NS_OK);
        EXPECT_EQ(typeOf(exchange(named(NS_PCREGISTER, "\\\\pc\\h"))), NS_OK);
        EXPECT_EQ(typeOf(exchange(plainOf(ns::RecordBuilder(NS_CONTROL).control(1)))), NS_OK);
        EXPECT_EQ(typeOf(exchange(registration("\\\\h\\b", addr))), NS_OK);
        EXPECT_EQ(typeOf(exchange(registration("\\\\h\\c", addr))), kRefused);
        EXPECT_EQ(typeOf(exchange(named(NS_PCREGISTER, "\\\\pc2\\h"))), kRefused);
        // control requests take no room, however many come
        for (int code = 2; code < 6; ++code)
            EXPECT_EQ(typeOf(exchange(plainOf(ns::RecordBuilder(NS_CONTROL).control(code)))), NS_OK);
        EXPECT_EQ(typeOf(exchange(registration("\\\\H\\a", addr, "new"))), NS_OK);  // replaces
        EXPECT_EQ(typeOf(exchange(named(NS_UNREGISTER, "\\\\h\\a"))), NS_OK);
        EXPECT_EQ(typeOf(exchange(registration("\\\\h\\b", addr))), NS_OK);
    }
    {
        // A verbose output that nobody reads: requests are still answered,
        // and once it drains a line counts what it could not take.
        nstest::TempDir dir;
        const std::string fifo = dir.file("out");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        ns::UniqueFd out(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
        ASSERT_GE(fcntl(out.get(), F_SETPIPE_SZ, 4096), 4096);  // fills after a few lines
        nstest::Child master({"/bin/sh", "-c", "exec \"$0\" -v -a \"$1\" >\"$2\"",
                              nstest::binPath("nsmd"), kMasterAddr, fifo});
        ASSERT_NE(readUntil(out.get(), "ready", 5000).find("ready"), std::string::npos);
        const int requests = 600;  // about 100 KB of lines
        const Bytes longName = lookup(("\\\\" + std::string(90, 'h') + "\\svc").c_str());
        for (int i = 0; i < requests; ++i) ASSERT_EQ(typeOf(exchange(longName)), kRefused) << i;
        const std::string lines = readUntil(out.get(), " lines dropped\n");
        const auto note = lines.find("verbose output blocked: ");
        ASSERT_NE(note, std::string::npos) << lines.size();
        const int dropped = std::atoi(lines.c_str() + note + 24);
        int shown = 0;
        for (auto at = lines.find("LOOKUP"); at != std::string::npos;
             at = lines.find("LOOKUP", at + 1))
            ++shown;
        EXPECT_GT(dropped, 0);
        EXPECT_EQ(shown + dropped, requests);
    }
    {
        // Out of descriptors, a master bound to every address still names a
        // real one in its discovery reply.
        const int limit = 12;
        nstest::Child master({"/bin/sh", "-c", "ulimit -n \"$1\" && exec \"$0\"",
                              nstest::binPath("nsmd"), std::to_string(limit)});
        ASSERT_TRUE(master.waitForOutput("ready"));
        std::vector<ns::UniqueFd> held;
        for (int i = 0; i < limit; ++i)
            held.emplace_back(connectTo(kMasterAddr));
        for (int i = 0; i < 200 && fdCount(master.pid()) < limit; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(fdCount(master.pid()), limit);
        auto replies = ask(record(NS_FINDMASTER));
        ASSERT_EQ(replies.size(), 1u);
        ns::RecordView view(replies[0].plain.data(), replies[0].plain.size());
        NsAddr tcp{};
        ASSERT_EQ(view.addressItem(&tcp), 16);
        EXPECT_NE(tcp.sin_addr.s_addr, htonl(INADDR_ANY)) << printaddr(&tcp);
        EXPECT_EQ(ipOf(tcp).rfind("198.18.0.", 0), 0u) << printaddr(&tcp);
    }
}

// ------------------------------------------------------------------ process

TEST(NsmdProcess, HelpBadOptionsAndAnOrderlyStop) {
    auto help = runProcess({binPath("nsmd"), "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--hostile FILE"), std::string::npos);
    for (std::vector<std::string> bad : {std::vector<std::string>{"--role", "slave"},
                                         {"--port", "0"},
                                         {"-x"},
                                         {"--address"},
                                         {"stray"}}) {
        bad.insert(bad.begin(), binPath("nsmd"));
        EXPECT_EQ(runProcess(bad).status, 2) << bad[1];
    }
    // Two masters on one address cannot both bind.
    auto master = startMaster();
    auto second = runProcess({binPath("nsmd"), "-a", kMasterAddr});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("bind tcp"), std::string::npos) << second.err;
    EXPECT_EQ(master.stop(), 0);
}

}  // namespace
