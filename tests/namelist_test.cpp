// Name lists: the stream decoder on its own, then whole retrievals and
// admin-host queries against a scripted name server.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rsockmap/namelist.hpp"
#include "support/peer.hpp"

using namespace nstest;

static testing::Environment *const kLogEnv =
    testing::AddGlobalTestEnvironment(new ClientEnvironment);

namespace {

using Status = ns::NameListDecoder::Status;

// Feeds the whole stream at once; returns the status.
Status decode(const Bytes &stream, ns::NameGather &names) {
    ns::NameListDecoder decoder(names);
    decoder.feed(stream);
    return decoder.status();
}

// A name record whose name item is given raw: nameOffset, then the item
// area from byte 16 as is.
Bytes rawNameRecord(std::uint8_t nameOffset, const Bytes &items) {
    Bytes r(NS_HEADER_SIZE + items.size(), 0);
    r[0] = NS_OK;
    r[8] = nameOffset;
    std::copy(items.begin(), items.end(), r.begin() + NS_HEADER_SIZE);
    return r;
}

// ---- the stream decoder -------------------------------------------------

TEST(NameListDecoder, ThreeNamesBecomeOneBlockInArrivalOrder) {
    ns::NameGather names;
    const Bytes stream = listStream({"a", "bb", "ccc"}) + Bytes(14, 't');
    ns::NameListDecoder decoder(names);
    // Bytes behind the end record are not taken.
    EXPECT_EQ(decoder.feed(stream), stream.size() - 14);
    ASSERT_EQ(decoder.status(), Status::Done);
    ASSERT_EQ(names.count(), 3u);
    EXPECT_EQ(names.size(), 3u + 4u + 5u);  // m + 2 per name

    char **list = names.toList();
    ASSERT_NE(list, nullptr);
    // Four pointers, the last null, then the names packed behind them.
    char *first = reinterpret_cast<char *>(list + 4);
    EXPECT_EQ(list[0], first);
    EXPECT_EQ(list[1], first + 2);
    EXPECT_EQ(list[2], first + 5);
    EXPECT_EQ(list[3], nullptr);
    EXPECT_EQ(std::memcmp(first, "a\0bb\0ccc\0", 9), 0);
    std::free(list);
}

TEST(NameListDecoder, FramesSplitAnywhereDecodeTheSame) {
    const std::vector<std::string> want = {"alpha", "", "\\\\host\\svc", std::string(127, 'x')};
    const Bytes stream = listStream(want);
    for (std::size_t piece : {1u, 2u, 7u, 24u, 25u, 300u}) {
        SCOPED_TRACE(piece);
        ns::NameGather names;
        ns::NameListDecoder decoder(names);
        for (std::size_t at = 0; at < stream.size(); at += piece)
            decoder.feed(std::span(stream).subspan(at, std::min(piece, stream.size() - at)));
        ASSERT_EQ(decoder.status(), Status::Done);
        char **list = names.toList();
        ASSERT_NE(list, nullptr);
        for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(list[i], want[i]);
        EXPECT_EQ(list[want.size()], nullptr);
        std::free(list);
    }
}

TEST(NameListDecoder, HeadThenEndHoldsNoNames) {
    ns::NameGather names;
    EXPECT_EQ(decode(frameOf(record(NS_LISTHEAD)) + frameOf(record(NS_LISTEND)), names),
              Status::Done);
    EXPECT_EQ(names.count(), 0u);
}

TEST(NameListDecoder, BrokenFramesAndHeadsAreRefused) {
    const Bytes head = frameOf(record(NS_LISTHEAD));
    struct Case {
        const char *what;
        Bytes stream;
    } cases[] = {
        {"end record first", frameOf(record(NS_LISTEND)) + frameOf(record(NS_LISTEND))},
        {"name record first", frameOf(record(NS_OK, "x")) + frameOf(record(NS_LISTEND))},
        {"length byte 0", Bytes{0}},
        {"length byte 24", Bytes{24} + Bytes(24, 'k')},
        {"length byte 24 after the head", head + Bytes{24} + Bytes(24, 'k')},
    };
    for (const auto &c : cases) {
        ns::NameGather names;
        EXPECT_EQ(decode(c.stream, names), Status::Bad) << c.what;
    }
}

TEST(NameListDecoder, HostileNameRecordsAreRefusedWithoutReadingOutside) {
    const Bytes head = frameOf(record(NS_LISTHEAD));
    struct Case {
        const char *what;
        Bytes rec;
    } cases[] = {
        {"no name item", rawNameRecord(0, {})},
        {"offset past the record", rawNameRecord(40, {3, 'a', 'b', 'c', 0})},
        {"length byte at the last byte", rawNameRecord(20, {3, 'a', 'b', 'c', 5})},
        {"length past the record", rawNameRecord(16, {9, 'a', 'b', 'c', 0})},
        {"offset above 127", rawNameRecord(200, Bytes(200, 1))},
        {"length above 127", rawNameRecord(16, [] {
             Bytes b{200};
             b.resize(202, 'n');
             return b;
         }())},
        {"header cut short", Bytes{NS_OK, 0, 0}},
    };
    for (const auto &c : cases) {
        ns::NameGather names;
        EXPECT_EQ(decode(head + frameOf(c.rec) + frameOf(record(NS_LISTEND)), names), Status::Bad)
            << c.what;
        EXPECT_EQ(names.count(), 0u) << c.what;
    }
    // A name item without its NUL, or with a NUL inside, stays within its
    // length; the stored name gets a NUL of its own.
    ns::NameGather names;
    ASSERT_EQ(decode(head + frameOf(rawNameRecord(16, {3, 'a', 'b', 'c'})) +
                         frameOf(rawNameRecord(16, {3, 'x', 0, 'y', 0})) +
                         frameOf(record(NS_LISTEND)),
                     names),
              Status::Done);
    char **list = names.toList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list[0], "abc");
    EXPECT_STREQ(list[1], "x");
    EXPECT_EQ(list[2], nullptr);
    std::free(list);
}

// ---- whole retrievals ---------------------------------------------------

using NameListTest = ClientTest;

char **const kUntouched = reinterpret_cast<char **>(0x1);

// First of the tests that bind ports: retrievals leave their ports in
// TIME_WAIT when all tests run in one process.
TEST_F(NameListTest, StreamSocketBindsTheThirdPortWhenTwoAreTaken) {
    ns::UniqueFd p1 = tcpSocket("0.0.0.0", 1025, -1), p2 = tcpSocket("0.0.0.0", 1026, -1);
    const int before = openFdCount();
    NsAddr addr;
    std::memset(&addr, 0xee, sizeof addr);
    ns::UniqueFd fd(usptcp_CreateStreamSock(&addr));
    ASSERT_TRUE(fd.valid());
    EXPECT_EQ(addr.sin_port, htons(1027));
    EXPECT_EQ(addr.sin_family, AF_INET);
    EXPECT_STREQ(inet_ntoa(addr.sin_addr), kHostAddr);
    EXPECT_EQ(std::memcmp(addr.sin_zero, "\0\0\0\0\0\0\0\0", 8), 0);
    // It listens: a connection is taken into its backlog.
    ns::UniqueFd peer(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(connect(peer.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    peer.reset();
    fd.reset();
    EXPECT_EQ(openFdCount(), before);
}

TEST_F(NameListTest, RequestCarriesPatternSelectorAndAddress_ThreeNamesArrive) {
    serve(streaming({"a", "bb", "ccc"}));
    char **list = kUntouched;
    ASSERT_EQ(usptcp_GetNameList("abcde", 0x1234, &list), 3);
    expectNoLeak();

    const auto requests = nsm_->requests();
    ASSERT_EQ(requests.size(), 1u);
    const Bytes &r = requests[0];
    ASSERT_EQ(r.size(), 40u);
    EXPECT_EQ(r[0], NS_NAMELIST);
    EXPECT_EQ(r[3], 0x34);  // the selector's low byte
    EXPECT_EQ(r[8], 16);
    EXPECT_EQ(r[9], 23);
    EXPECT_EQ(r[10], 0);
    EXPECT_EQ(std::string(r.begin() + 16, r.begin() + 23), std::string("\x05" "abcde\0", 7));
    EXPECT_EQ(r[23], 16);
    NsAddr addr;
    std::memcpy(&addr, r.data() + 24, sizeof addr);
    EXPECT_EQ(addr.sin_family, AF_INET);
    EXPECT_STREQ(inet_ntoa(addr.sin_addr), kHostAddr);
    EXPECT_GE(ntohs(addr.sin_port), 1025);

    ASSERT_NE(list, kUntouched);
    EXPECT_STREQ(list[0], "a");
    EXPECT_STREQ(list[1], "bb");
    EXPECT_STREQ(list[2], "ccc");
    EXPECT_EQ(list[3], nullptr);
    std::free(list);
    EXPECT_TRUE(logs().has("usptcp_GetNameList: abcde, 4660\n")) << logs().dump();
    EXPECT_TRUE(logs().has("usptcp_GetNameList: (abcde) returning 3 matches\n"));
}

TEST_F(NameListTest, HeadThenEndGivesZeroAndANullList) {
    serve(streaming({}));
    char **list = kUntouched;
    EXPECT_EQ(usptcp_GetNameList("nothing*", 1, &list), 0);
    EXPECT_EQ(list, nullptr);
    expectNoLeak();
    EXPECT_TRUE(logs().has("usptcp_GetNameList: (nothing*) returning 0 matches\n"));
}

TEST_F(NameListTest, NoConnectionWithinFiveSeconds) {
    serve(always(record(NS_OK)));
    char **list = kUntouched;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(usptcp_GetNameList("x", 0, &list), -1);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::seconds(7));
    EXPECT_EQ(list, nullptr);
    expectNoLeak();
    EXPECT_TRUE(logs().has("usptcp_GetNameList: no connection from marlod\n")) << logs().dump();
    EXPECT_TRUE(logs().has("usptcp_GetNameList: (x) returning -1 matches\n"));
}

TEST_F(NameListTest, RefusedRequestFailsWithoutWaiting) {
    serve(always(record(33)));
    char **list = kUntouched;
    EXPECT_EQ(usptcp_GetNameList("x", 0, &list), -1);
    EXPECT_EQ(list, nullptr);
    expectNoLeak();
    EXPECT_TRUE(logs().has("usptcp_GetNameList: request failed\n")) << logs().dump();
}

TEST_F(NameListTest, BrokenStreamsFailAndReleaseWhatArrived) {
    const Bytes head = frameOf(record(NS_LISTHEAD));
    const Bytes twoNames = head + frameOf(record(NS_OK, "one")) + frameOf(record(NS_OK, "two"));
    const std::vector<std::pair<const char *, Bytes>> streams = {
        {"first record not the head", frameOf(record(NS_LISTEND))},
        {"ends before the end record", twoNames},
        {"record of 24 bytes", twoNames + Bytes{24} + Bytes(24, 'k')},
    };
    serve([&](const Bytes &, int n) {
        return streamBack(streams[static_cast<std::size_t>(n)].second);
    });
    for (const auto &[what, stream] : streams) {
        SCOPED_TRACE(what);
        char **list = kUntouched;
        EXPECT_EQ(usptcp_GetNameList("*", 0, &list), -1);
        EXPECT_EQ(list, nullptr);
        expectNoLeak();
    }
    EXPECT_TRUE(logs().mentions("usptcp_GetNameList: receive failure (errno ")) << logs().dump();
}

// A connection from `from` (by default 198.18.0.13, not the master) to the
// listening address that a request carries, sending a well-formed list;
// kept open.
ns::UniqueFd neighbourConnects(const Bytes &request, const char *from = "198.18.0.13",
                               const char *name = "forged") {
    ns::UniqueFd fd = tcpSocket(from, 0, -1);
    NsAddr to{};
    if (ns::RecordView(request).addressItem(&to) < 0 ||
        connect(fd.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 ||
        !writeBytes(fd.get(), listStream({name})))
        fd.reset();
    return fd;
}

// Only the master that took the request may connect back: a neighbour's
// connection, even one that arrives first with a well-formed list, is closed
// unread, and the wait for the master goes on within the same 5 seconds.
TEST_F(NameListTest, OnlyTheMasterMayConnectBack) {
    // The peer holds the neighbours' connections (it runs in a child).
    auto held = std::make_shared<std::vector<ns::UniqueFd>>();
    serve([held](const Bytes &request, int) {
        held->push_back(neighbourConnects(request));
        return streamBack(listStream({"real"}));
    });
    char **list = kUntouched;
    ASSERT_EQ(usptcp_GetNameList("*", 0, &list), 1);
    EXPECT_STREQ(list[0], "real");
    std::free(list);
    EXPECT_TRUE(logs().mentions("usptcp_GetNameList: connection from 198.18.0.13 ("))
        << logs().dump();
    expectNoLeak();

    // A master on this host connects back from this host's own address
    // (198.18.0.1 here), whatever address it was reached at.
    serve([held](const Bytes &request, int) {
        held->push_back(neighbourConnects(request, "198.18.0.1", "local"));
        return reply(record(NS_OK));
    });
    list = kUntouched;
    ASSERT_EQ(usptcp_GetNameList("*", 0, &list), 1);
    EXPECT_STREQ(list[0], "local");
    std::free(list);
    expectNoLeak();

    // Only neighbours connect, one at once and one 3 seconds later: the call
    // fails when the first 5 seconds are up, not 5 seconds after the last.
    serve([held](const Bytes &request, int) {
        held->push_back(neighbourConnects(request));
        return reply(record(NS_OK));
    });
    ns::UniqueFd late;
    std::thread neighbour([&] {
        for (int i = 0; i < 500 && nsm_->requests().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::seconds(3));
        if (!nsm_->requests().empty()) late = neighbourConnects(nsm_->requests()[0]);
    });
    list = kUntouched;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(usptcp_GetNameList("*", 0, &list), -1);
    const auto waited = std::chrono::steady_clock::now() - start;
    neighbour.join();
    EXPECT_TRUE(late.valid());
    EXPECT_LT(waited, std::chrono::seconds(7));  // a fresh 5 s would give 8
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(logs().has("usptcp_GetNameList: no connection from marlod\n")) << logs().dump();
    late.reset();
    expectNoLeak();
}

// A name server that never ends its list: the list is cut at its bounds
// (lowered here so they are reached at once) as a receive failure, and
// everything gathered is released.  Each bound is tried alone: 9 names,
// then 909 bytes (nine 100-character names and their NULs).
TEST_F(NameListTest, EndlessListStopsAtItsBounds) {
    struct Case {
        const char *what;
        std::size_t names, bytes, nameLength;
    } cases[] = {{"names", 9, 0, 1}, {"bytes", 0, 909, 100}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ns::setNameListBounds(c.names, c.bytes);
        const std::string name(c.nameLength, 'n');
        // Exactly at the bound still fits.
        serve(streaming(std::vector<std::string>(9, name)));
        char **list = kUntouched;
        ASSERT_EQ(usptcp_GetNameList("*", 0, &list), 9);
        std::free(list);
        // Far more than the bound, and no end record: the client stops
        // reading and the server sees the connection closed.
        Bytes endless = frameOf(record(NS_LISTHEAD));
        const Bytes one = frameOf(record(NS_OK, name.c_str()));
        for (int i = 0; i < 5000; ++i) endless.insert(endless.end(), one.begin(), one.end());
        serve([endless](const Bytes &, int) { return streamBack(endless); });
        list = kUntouched;
        errno = 0;
        EXPECT_EQ(usptcp_GetNameList("*", 0, &list), -1);
        EXPECT_EQ(errno, EMSGSIZE);
        EXPECT_EQ(list, nullptr);
        expectNoLeak();
        EXPECT_TRUE(logs().has("usptcp_GetNameList: receive failure (errno " +
                               std::to_string(EMSGSIZE) + ")\n"))
            << logs().dump();
    }
    ns::setNameListBounds(0, 0);
}

// A pattern that does not fit beside the address, and an admin host name
// longer than an item, are refused unsent as every over-limit request is.
TEST_F(NameListTest, TooLongPatternOrHostIsRefusedUnsent) {
    serve(always(record(NS_OK)));
    char **list = kUntouched;
    errno = 0;
    EXPECT_EQ(usptcp_GetNameList(std::string(110, 'p').c_str(), 0, &list), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(list, nullptr);
    list = kUntouched;
    errno = 0;
    EXPECT_EQ(usptcp_GetAdminHost(std::string(128, 'h').c_str(), &list), 0);
    EXPECT_EQ(errno, EMSGSIZE);
    ASSERT_NE(list, kUntouched);
    EXPECT_EQ(list[0], nullptr);
    EXPECT_TRUE(nsm_->requests().empty());
    expectNoLeak();
    EXPECT_TRUE(logs().has("usptcp_GetNameList: request too long for the record\n"))
        << logs().dump();
    EXPECT_TRUE(logs().has("usptcp_GetAdminHost: request too long for the record\n"))
        << logs().dump();
    EXPECT_FALSE(logs().mentions("usptcp_GetNameList: request failed")) << logs().dump();
    // 109 characters still fit beside the address.
    serve(streaming({"p"}));
    EXPECT_EQ(usptcp_GetNameList(std::string(109, 'p').c_str(), 0, &list), 1);
    std::free(list);
}

// ---- admin hosts ----------------------------------------------------------

TEST_F(NameListTest, AdminHostOfOneHost) {
    serve(always(record(NS_OK, "adminbox")));
    char **list = kUntouched;
    EXPECT_EQ(usptcp_GetAdminHost("somehost", &list), 1);
    expectNoLeak();
    ASSERT_NE(list, kUntouched);
    EXPECT_STREQ(list[0], "adminbox");
    EXPECT_EQ(list[1], nullptr);
    // The request: length n + 18, all else zero.
    EXPECT_EQ(nsm_->requests().at(0), record(NS_ADMINHOST, "somehost"));
    EXPECT_TRUE(logs().has("usptcp_GetAdminHost(somehost)\n")) << logs().dump();
    EXPECT_TRUE(logs().has("usptcp_GetAdminHost: returning 32 (host='adminbox')\n"));
}

TEST_F(NameListTest, AdminHostNameIsCutTo127Characters) {
    // A 150-character name item (its length byte read as signed would be
    // negative; the copy goes up to the NUL, which lies past 127).
    const std::string longName(150, 'h');
    serve(always(record(NS_OK, longName.c_str())));
    char **list = kUntouched;
    EXPECT_EQ(usptcp_GetAdminHost("somehost", &list), 1);
    EXPECT_EQ(std::string(list[0]), longName.substr(0, 127));
}

TEST_F(NameListTest, AdminHostRefusedGivesAnEmptyList) {
    serve(inTurn({reply(record(NS_OK, "first")), reply(record(33))}));
    char **list = nullptr;
    ASSERT_EQ(usptcp_GetAdminHost("a", &list), 1);
    // The next answer overwrites the static list, whatever it is.
    char **again = nullptr;
    EXPECT_EQ(usptcp_GetAdminHost("b", &again), 0);
    EXPECT_EQ(again, list);
    EXPECT_EQ(again[0], nullptr);
    EXPECT_EQ(again[1], nullptr);
    expectNoLeak();
    EXPECT_TRUE(logs().has("usptcp_GetAdminHost: returning 33 (host='')\n")) << logs().dump();
}

TEST_F(NameListTest, WildcardAdminHostFetchesTheList) {
    serve(streaming({"adm1", "adm2"}));
    struct Case {
        const char *host;
        const char *sentName;
    } cases[] = {{"*", "*"}, {"", ""}, {nullptr, "*"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.host ? c.host : "null");
        char **list = nullptr;
        ASSERT_EQ(usptcp_GetAdminHost(c.host, &list), 2);
        EXPECT_STREQ(list[0], "adm1");
        EXPECT_STREQ(list[1], "adm2");
        std::free(list);  // the wildcard's list is the caller's
        expectNoLeak();
        const Bytes r = nsm_->requests().back();
        EXPECT_EQ(r[0], NS_NAMELIST);
        EXPECT_EQ(r[3], NS_LIST_ADMINHOST);
        const std::size_t n = std::strlen(c.sentName);
        ASSERT_EQ(r.size(), n + 35);
        EXPECT_EQ(r[16], n);
        EXPECT_EQ(std::string(r.begin() + 17, r.begin() + 17 + n), c.sentName);
    }
    EXPECT_TRUE(logs().has("usptcp_GetAdminHost(NULL)\n")) << logs().dump();
}

}  // namespace
