// The registry operations: the bytes of each request as the name server
// receives them, the lookup reply's decoding, and refused requests.
#include <cstring>

#include "rsockmap/registry_internal.hpp"
#include "support/peer.hpp"

using namespace nstest;

static testing::Environment *const kLogEnv =
    testing::AddGlobalTestEnvironment(new ClientEnvironment);

namespace {

// A record's bytes laid out by hand: each byte given by position.
Bytes withBytes(std::size_t size, std::initializer_list<std::pair<std::size_t, int>> set) {
    Bytes b(size, 0);
    for (auto [at, v] : set) b[at] = static_cast<std::uint8_t>(v);
    return b;
}

void putText(Bytes &b, std::size_t at, const std::string &s) {
    std::memcpy(b.data() + at, s.data(), s.size());
}

}  // namespace

// ---- decoding the lookup reply (bytes in, outputs out) ----

class LookupReply : public testing::Test {
protected:
    bool decode(const Bytes &record, std::size_t authSize = NS_AUTH_SIZE) {
        return ns::decodeLookupReply(ns::ReceivedRecord::plain(record), &addr, &addrLen, auth,
                                     authSize);
    }
    NsAddr addr = inetAddr("1.1.1.1", 1);
    int addrLen = -1;
    char auth[NS_AUTH_SIZE + 16];
    const NsAddr found = inetAddr(kBackup2Addr, 5000);
    void SetUp() override { std::memset(auth, '#', sizeof auth); }
};

TEST_F(LookupReply, NameFollowsATextWithoutSeparator) {
    struct Case {
        const char *text;  // null: no text item
        const char *name;  // null: no name item
        std::string want;
    } cases[] = {
        {"abc", "\\\\h\\s", "abc\x1a\\\\h\\s"},
        {"a\x1a" "b", "\\\\h\\s", "a\x1a" "b"},
        {"", "\\\\h\\s", ""},
        {"abc", nullptr, "abc"},
        {nullptr, "\\\\h\\s", ""},
    };
    for (const auto &c : cases) {
        SetUp();
        ASSERT_TRUE(decode(lookupReply(found, c.text, c.name)));
        EXPECT_EQ(std::string(auth), c.want) << (c.text ? c.text : "(none)");
        EXPECT_EQ(addrBytes(addr), addrBytes(found));
        EXPECT_EQ(addrLen, 16);
    }
}

TEST_F(LookupReply, AddressFamilyIsAlwaysTwo) {
    NsAddr odd = found;
    odd.sin_family = 0x0707;
    ASSERT_TRUE(decode(lookupReply(odd, "t", nullptr)));
    EXPECT_EQ(addrBytes(addr), addrBytes(found));
}

TEST_F(LookupReply, WithoutAnAddressItemNothingIsCopied) {
    ns::RecordBuilder b(NS_OK);
    b.name("\\\\h\\s").text("secret");
    const NsAddr before = addr;
    EXPECT_FALSE(decode(plainOf(b)));
    EXPECT_EQ(addrLen, -1) << "the caller's length is untouched";
    EXPECT_EQ(addrBytes(addr), addrBytes(before));
    EXPECT_EQ(auth[0], '#');

    // An address item reaching past the received bytes is no item either.
    Bytes cut = lookupReply(found, nullptr, nullptr);
    cut.resize(cut.size() - 1);
    EXPECT_FALSE(decode(cut));
    Bytes far = lookupReply(found, nullptr, nullptr);
    far[ns::kAddrOffset] = 128;
    EXPECT_FALSE(decode(far));
}

TEST_F(LookupReply, AddressItemsOfOtherLengthsStayInTheAddress) {
    Bytes longItem = addrBytes(found);
    longItem.resize(40, 0xEE);
    ns::RecordBuilder b(NS_OK);
    b.address(longItem.data(), static_cast<int>(longItem.size()));
    ASSERT_TRUE(decode(plainOf(b)));
    EXPECT_EQ(addrBytes(addr), addrBytes(found));
    EXPECT_EQ(addrLen, 16);

    SetUp();
    ns::RecordBuilder s(NS_OK);
    s.address(&found, 8);
    addr = inetAddr("1.1.1.1", 1);
    std::memset(addr.sin_zero, 0x5A, sizeof addr.sin_zero);
    ASSERT_TRUE(decode(plainOf(s)));
    EXPECT_EQ(addrLen, 8);
    Bytes expect = addrBytes(found);
    std::memset(expect.data() + 8, 0x5A, 8);
    EXPECT_EQ(addrBytes(addr), expect);
}

TEST_F(LookupReply, AuthenticationOutputIsBounded) {
    const Bytes reply = lookupReply(found, "text", "\\\\h\\s");
    ASSERT_TRUE(decode(reply, 5));
    EXPECT_STREQ(auth, "text");
    EXPECT_EQ(auth[5], '#');
    SetUp();
    ASSERT_TRUE(decode(reply, 7));
    EXPECT_STREQ(auth, "text\x1a\\");
    EXPECT_EQ(auth[7], '#');
    SetUp();
    ASSERT_TRUE(decode(reply, 0));
    EXPECT_EQ(auth[0], '#');
    EXPECT_TRUE(
        ns::decodeLookupReply(ns::ReceivedRecord::plain(reply), &addr, &addrLen, nullptr, 128));
}

// ---- requests as the name server receives them ----

class Registry : public ClientTest {
protected:
    // The master at the configured address answers each request in turn.
    Peer &master(const std::vector<Bytes> &replies) {
        std::vector<Answer> answers;
        for (const Bytes &r : replies) answers.push_back(reply(r));
        return serve(inTurn(answers));
    }
};

TEST_F(Registry, LookupSendsTheNameAndReadsTheReply) {
    const NsAddr where = inetAddr(kBackup2Addr, 5000);
    Peer &peer = master({lookupReply(where, "key", "\\\\host\\lcnsesvc"),
                        lookupReply(where, "key", nullptr)});
    NsAddr addr{};
    int len = 0;
    EXPECT_EQ(usptcp_LookupUspName("\\\\*\\lcnsesvc", &addr, &len, 0, nullptr), 0);
    EXPECT_EQ(addrBytes(addr), addrBytes(where));
    EXPECT_EQ(len, 16);
    char auth[NS_AUTH_SIZE] = "";
    EXPECT_EQ(usptcp_LookupUspName("\\\\a\\b", &addr, &len, 4, auth), 0);
    EXPECT_STREQ(auth, "key");

    const auto got = peer.requests();
    ASSERT_EQ(got.size(), 2u);
    Bytes want = withBytes(30, {{0, NS_LOOKUP}, {ns::kNameOffset, 16}, {16, 12}});
    putText(want, 17, "\\\\*\\lcnsesvc");
    EXPECT_EQ(got[0], want);
    EXPECT_EQ(got[1][ns::kOption], 4);
    EXPECT_TRUE(logs().has("usptcp_LookupUspName: (\\\\*\\lcnsesvc,198.18.0.12 (5000)) "
                           "returning 32 (auth='NULL')\n"))
        << logs().dump();
    EXPECT_TRUE(
        logs().has("usptcp_LookupUspName: (\\\\a\\b,198.18.0.12 (5000)) returning 32 (auth='key')\n"));
}

TEST_F(Registry, LookupReplyOverflowingTheBufferIsCut) {
    const NsAddr where = inetAddr(kBackup2Addr, 5000);
    const std::string text(60, 't'), name(127, 'n');
    ns::RecordBuilder reply(NS_OK);
    reply.address(&where, sizeof where).text(text.c_str()).name(name.c_str());
    Peer &peer = master({plainOf(reply)});
    char auth[NS_AUTH_SIZE + 8];
    std::memset(auth, '#', sizeof auth);
    NsAddr addr{};
    int len = 0;
    EXPECT_EQ(usptcp_LookupUspName("\\\\a\\b", &addr, &len, 4, auth), 0);
    // Address first, then a text of 60 and a name of 127 characters: 188
    // characters would go to the buffer.
    EXPECT_EQ(std::string(auth), text + "\x1a" + name.substr(0, NS_AUTH_SIZE - 62));
    for (std::size_t i = NS_AUTH_SIZE; i < sizeof auth; ++i) EXPECT_EQ(auth[i], '#');
    EXPECT_EQ(peer.requests().size(), 1u);
}

TEST_F(Registry, RefusalLeavesTheOutputsAlone) {
    const NsAddr where = inetAddr(kBackup2Addr, 5000);
    ns::RecordBuilder refusal(33);
    refusal.address(&where, sizeof where).text("no");
    Peer &peer = master({plainOf(refusal)});
    NsAddr addr = inetAddr("1.1.1.1", 1);
    int len = 99;
    char auth[NS_AUTH_SIZE] = "before";
    EXPECT_EQ(usptcp_LookupUspName("\\\\a\\b", &addr, &len, 4, auth), -1);
    EXPECT_EQ(shown(addr), "1.1.1.1 (1)");
    EXPECT_EQ(len, 99);
    EXPECT_STREQ(auth, "before");
    EXPECT_TRUE(logs().has("usptcp_LookupUspName: (\\\\a\\b,NULL) returning 33 (auth='NULL')\n"))
        << logs().dump();
    EXPECT_EQ(peer.requests().size(), 1u);
}

// The length output too: a caller's later use of it (nsadmin -a after -l)
// keeps the length it had.
TEST_F(Registry, SuccessWithoutAddressLeavesTheOutputsAlone) {
    ns::RecordBuilder bare(NS_OK);
    bare.text("ignored");
    Peer &peer = master({plainOf(bare)});
    NsAddr addr = inetAddr("1.1.1.1", 1);
    int len = 99;
    char auth[NS_AUTH_SIZE] = "kept";
    EXPECT_EQ(usptcp_LookupUspName("\\\\a\\b", &addr, &len, 4, auth), 0);
    EXPECT_EQ(len, 99);
    EXPECT_EQ(shown(addr), "1.1.1.1 (1)");
    EXPECT_STREQ(auth, "kept");
    EXPECT_TRUE(logs().has("usptcp_LookupUspName: (\\\\a\\b,NULL) returning 32 (auth='kept')\n"))
        << logs().dump();
    EXPECT_EQ(peer.requests().size(), 1u);
}

TEST_F(Registry, RegistrationLaysOutNameAddressAndText) {
    const NsAddr addr = inetAddr(kBackup2Addr, 5000);
    const char *name = "\\\\ab\\cdefg";  // 10 characters
    Peer &peer = master(std::vector<Bytes>(3, record(NS_OK)));
    const char level3 = 3;
    EXPECT_EQ(usptcp_RegisterUspName(name, &addr, 16, 7, nullptr, nullptr), 0);
    EXPECT_EQ(usptcp_RegisterUspName(name, &addr, 16, 7, &level3, "xyz"), 0);
    EXPECT_EQ(usptcp_RegisterUspName(name, &addr, 16, 7, nullptr, ""), 0);

    const auto got = peer.requests();
    ASSERT_EQ(got.size(), 3u);
    Bytes plain = withBytes(45, {{0, NS_REGISTER}, {ns::kOption, 7}, {ns::kLevel, '0'},
                                 {ns::kNameOffset, 16}, {ns::kAddrOffset, 28}, {16, 10}, {28, 16}});
    putText(plain, 17, name);
    std::memcpy(plain.data() + 29, &addr, sizeof addr);
    EXPECT_EQ(got[0], plain);
    EXPECT_EQ(got[2], plain) << "an empty text sends no text item";

    Bytes withText = plain;
    withText.resize(50, 0);
    withText[ns::kLevel] = '3';
    withText[ns::kTextOffset] = 45;
    withText[45] = 3;
    putText(withText, 46, "xyz");
    EXPECT_EQ(got[1], withText);
    EXPECT_TRUE(logs().has(
        "usptcp_RegisterUspName: (\\\\ab\\cdefg,198.18.0.12 (5000)) returning 32\n"))
        << logs().dump();
}

TEST_F(Registry, NameOnlyRequestsAndControl) {
    Peer &peer = master(std::vector<Bytes>(5, record(NS_OK)));
    EXPECT_EQ(usptcp_UnregisterUspName("\\\\a\\b", 0), 0);
    EXPECT_EQ(usptcp_RegisterPCName("\\\\pc\\h"), 0);
    EXPECT_EQ(usptcp_UnregisterPCName("\\\\pc\\h"), 0);
    EXPECT_EQ(usptcp_Control(300), 0);
    EXPECT_EQ(usptcp_Control(-1), 0);

    const auto got = peer.requests();
    ASSERT_EQ(got.size(), 5u);
    Bytes unregister = withBytes(23, {{0, NS_UNREGISTER}, {ns::kNameOffset, 16}, {16, 5}});
    putText(unregister, 17, "\\\\a\\b");
    EXPECT_EQ(got[0], unregister);
    Bytes pc = withBytes(24, {{0, NS_PCREGISTER}, {ns::kNameOffset, 16}, {16, 6}});
    putText(pc, 17, "\\\\pc\\h");
    EXPECT_EQ(got[1], pc);
    pc[0] = NS_PCUNREGISTER;
    EXPECT_EQ(got[2], pc);
    EXPECT_EQ(got[3], withBytes(16, {{0, NS_CONTROL}, {4, 1}, {5, 44}}));
    EXPECT_EQ(got[4], withBytes(16, {{0, NS_CONTROL}, {4, 255}, {5, 255}}));

    for (const char *line : {"usptcp_UnregisterUspName: (\\\\a\\b) returning 32\n",
                             "usptcp_RegisterPCName: (\\\\pc\\h) returning 32\n",
                             "usptcp_UnregisterPCName: (\\\\pc\\h) returning 32\n",
                             "usptcp_Control: (300) returning 32\n",
                             "usptcp_Control: (-1) returning 32\n"})
        EXPECT_TRUE(logs().has(line)) << line << logs().dump();
}

// The two send-only lookups differ in the forward option alone; the reply
// of one is read as the lookup reads its own: a text item that claims more
// bytes than arrived is no text.
TEST_F(Registry, SendOnlyLookupsAndTheirReplies) {
    const NsAddr where = inetAddr(kBackup2Addr, 1);
    Bytes cutText = lookupReply(where, "secret", nullptr);
    cutText[cutText[ns::kTextOffset]] = 20;
    Peer &peer = master({lookupReply(where, nullptr, nullptr), cutText});
    const int fds = openFdCount();
    int fd = submitUspLookup("\\\\a\\b", 0);
    ASSERT_GE(fd, 0);
    NsMessage reply{};
    EXPECT_EQ(UspReceive(fd, &reply), NS_OK);
    fd = submitUspForwardLookup("\\\\a\\b", 0);
    ASSERT_GE(fd, 0);
    NsAddr addr{};
    int len = -1;
    char auth[NS_AUTH_SIZE] = "#";
    EXPECT_EQ(receiveUspLookup(fd, &addr, &len, auth, sizeof auth), NS_OK);
    EXPECT_EQ(addrBytes(addr), addrBytes(where));
    EXPECT_EQ(len, 16);
    EXPECT_STREQ(auth, "");
    EXPECT_EQ(openFdCount(), fds);
    const auto got = peer.requests();
    ASSERT_EQ(got.size(), 2u);
    Bytes plain = withBytes(23, {{0, NS_LOOKUP}, {ns::kNameOffset, 16}, {16, 5}});
    putText(plain, 17, "\\\\a\\b");
    EXPECT_EQ(got[0], plain);
    plain[ns::kOption] = NS_LOOKUP_FORWARD;
    EXPECT_EQ(got[1], plain);
}

TEST_F(Registry, RequestsBreakingTheRecordsLimitsAreNotSent) {
    const NsAddr addr = inetAddr(kBackup2Addr, 5000);
    const std::string n128(128, 'n'), n110(110, 'n'), n93(93, 'n'), n90(90, 'n'), t127(127, 't');
    NsAddr out{};
    int len = 0;
    EXPECT_EQ(usptcp_LookupUspName(n128.c_str(), &out, &len, 4, nullptr), -1);
    EXPECT_EQ(usptcp_UnregisterPCName(n128.c_str()), -1);
    EXPECT_EQ(submitUspLookup(n128.c_str(), 0), -1);
    // The address item's offset would be 128.
    EXPECT_EQ(usptcp_RegisterUspName(n110.c_str(), &addr, 16, 1, nullptr, nullptr), -1);
    // The text item's offset would be 128.
    EXPECT_EQ(usptcp_RegisterUspName(n93.c_str(), &addr, 16, 1, nullptr, "t"), -1);
    // Every offset fits, but the record would be 270 bytes.
    EXPECT_EQ(usptcp_RegisterUspName(n90.c_str(), &addr, 16, 1, nullptr, t127.c_str()), -1);
    // An address item longer than the caller's 16-byte address would read past it.
    EXPECT_EQ(usptcp_RegisterUspName("\\\\a\\b", &addr, 17, 1, nullptr, nullptr), -1);
    EXPECT_TRUE(logs().has("usptcp_RegisterUspName: address length 17 out of range\n"))
        << logs().dump();

    for (const char *line : {"usptcp_LookupUspName: request too long for the record\n",
                             "usptcp_UnregisterPCName: request too long for the record\n",
                             "submitUspLookup: request too long for the record\n"})
        EXPECT_TRUE(logs().has(line)) << line << logs().dump();
    EXPECT_EQ(logs().count("usptcp_RegisterUspName: request too long for the record\n"), 3);
    for (const auto &line : logs().lines()) {
        EXPECT_EQ(line.find("findNS"), std::string::npos) << line;
        EXPECT_EQ(line.find("returning"), std::string::npos) << line;
    }
}
