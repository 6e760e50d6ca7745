// The stand-in name server's parts, in process: registry rules, request
// handling on crafted records, the list encoder, scripts and the outbox.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "rsockmap/record.hpp"
#include "tools/nsmd/hostile.hpp"
#include "tools/nsmd/outbox.hpp"
#include "tools/nsmd/protocol.hpp"
#include "tools/nsmd/registry.hpp"
#include "tools/nsmd/verbose.hpp"
#include "support/testutil.hpp"

namespace {

using nsmd::Bytes;

nsmd::Service service(const std::string &name, const std::string &text = "") {
    nsmd::Service s;
    s.name = name;
    s.addr.sin_family = AF_INET;
    s.addr.sin_port = htons(4000);
    s.text = text;
    return s;
}

Bytes recordOf(const ns::RecordBuilder &b) {
    const auto *p = reinterpret_cast<const std::uint8_t *>(&b.message());
    return Bytes(p, p + b.length());
}

TEST(NsmdWildcard, StarsMatchAnyRunAndCaseIsIgnored) {
    using nsmd::wildcardMatch;
    EXPECT_TRUE(wildcardMatch("*", ""));
    EXPECT_TRUE(wildcardMatch("a*c", "abbbc"));
    EXPECT_TRUE(wildcardMatch("A*C", "ac"));
    EXPECT_TRUE(wildcardMatch("*b*", "abc"));
    EXPECT_TRUE(wildcardMatch("\\\\*\\svc", "\\\\host\\SVC"));
    EXPECT_FALSE(wildcardMatch("a*c", "abcd"));
    EXPECT_FALSE(wildcardMatch("abc", "ab"));
    EXPECT_FALSE(wildcardMatch("", "a"));
    // Many stars against a long miss stay quick (no exponential backtracking).
    EXPECT_FALSE(wildcardMatch("*a*a*a*a*a*a*a*a*b", std::string(5000, 'a')));
}

TEST(NsmdRegistry, NamesKeysAndLimits) {
    nsmd::Registry r;
    EXPECT_FALSE(r.registerService(service("host\\svc")));
    EXPECT_FALSE(r.registerService(service("\\\\host\\")));
    EXPECT_FALSE(r.registerService(service("\\\\\\svc")));
    EXPECT_FALSE(r.registerService(service("\\\\*\\svc")));
    ASSERT_TRUE(r.registerService(service("\\\\Host\\svc", "one")));
    ASSERT_TRUE(r.registerService(service("\\\\hOST\\svc", "two")));
    EXPECT_EQ(r.serviceCount(), 1u);
    EXPECT_EQ(r.lookup("\\\\host\\svc")->text, "two");
    EXPECT_EQ(r.lookup("\\\\host\\svc")->name, "\\\\hOST\\svc");
    EXPECT_EQ(r.lookup("\\\\host\\Svc"), nullptr);
    EXPECT_EQ(r.lookup("\\\\*\\svc")->text, "two");
    // A registration whose lookup reply (name item included) would not fit
    // one record is refused: 109 name characters fit, 110 do not.
    EXPECT_TRUE(r.registerService(service("\\\\h\\" + std::string(105, 's'))));
    EXPECT_FALSE(r.registerService(service("\\\\h\\" + std::string(106, 's'))));
    EXPECT_FALSE(r.registerService(service("\\\\h\\s", std::string(220, 't'))));

    EXPECT_TRUE(r.addAdminHost("Box"));
    EXPECT_TRUE(r.addAdminHost("BOX"));
    EXPECT_FALSE(r.addAdminHost(""));
    EXPECT_FALSE(r.addAdminHost(std::string(128, 'b')));
    EXPECT_EQ(r.count(nsmd::ListKind::AdminHosts, ""), 1u);
    ASSERT_NE(r.adminHost("box"), nullptr);
    EXPECT_EQ(*r.adminHost("box"), "Box");  // as first given
}

TEST(NsmdRegistry, CursorResumesAcrossChangesAndTheCapHoldsForPreloadsToo) {
    nsmd::Registry r(4);
    for (const char *n : {"\\\\h\\a", "\\\\h\\c", "\\\\h\\e"})
        ASSERT_TRUE(r.registerService(service(n)));
    nsmd::NameCursor cursor(r, nsmd::ListKind::Services, "*");
    std::string name;
    ASSERT_TRUE(cursor.next(name));
    EXPECT_EQ(name, "\\\\h\\a");
    // The name the cursor stands on and the next one go; one comes ahead.
    ASSERT_TRUE(r.unregisterService("\\\\h\\a"));
    ASSERT_TRUE(r.unregisterService("\\\\h\\c"));
    ASSERT_TRUE(r.registerService(service("\\\\h\\d")));
    std::vector<std::string> rest;
    while (cursor.next(name)) rest.push_back(name);
    EXPECT_EQ(rest, (std::vector<std::string>{"\\\\h\\d", "\\\\h\\e"}));
    EXPECT_FALSE(cursor.next(name));  // and stays at the end
    ASSERT_TRUE(r.registerService(service("\\\\h\\f")));
    EXPECT_FALSE(cursor.next(name));

    // Full at 4 entries; a control code takes no room, a replacement neither.
    r.noteControl(7);
    r.noteControl(8);
    EXPECT_EQ(r.control(), 8u);
    ASSERT_TRUE(r.registerService(service("\\\\h\\g")));
    EXPECT_FALSE(r.registerPC("\\\\pc\\h"));
    EXPECT_FALSE(r.registerService(service("\\\\h\\x")));
    EXPECT_TRUE(r.registerService(service("\\\\H\\d", "again")));
    EXPECT_EQ(r.size(), 4u);

    nstest::TempDir dir;
    nstest::writeFile(dir.file("p"), "pc \\\\a\\b\nadmin box\nservice \\\\h\\s 1.2.3.4 5\n");
    nsmd::Registry small(1);
    std::string error;
    EXPECT_FALSE(nsmd::loadPreload(dir.file("p"), small, error));
    EXPECT_NE(error.find(":3: registry full"), std::string::npos) << error;
}

TEST(NsmdVerbose, ABlockedOutputDropsAndCountsLinesAndSaysSoWhenItDrains) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_GE(fcntl(p[0], F_SETPIPE_SZ, 4096), 4096);
    {
        // Whoever else writes to the pipe keeps a blocking descriptor.
        const int shared = dup(p[1]);
        nsmd::VerboseOutput out(1000);
        out.open(p[1]);
        EXPECT_EQ(fcntl(p[1], F_GETFL) & O_NONBLOCK, O_NONBLOCK);
        EXPECT_EQ(fcntl(shared, F_GETFL) & O_NONBLOCK, 0);
        close(shared);
        const std::string line(99, 'x');               // 100 bytes with its newline
        for (int i = 0; i < 200; ++i) out.line(line);  // never blocks
        EXPECT_TRUE(out.pending());
        const std::uint64_t dropped = out.dropped();
        EXPECT_GT(dropped, 0u);
        std::string got;
        char buf[8192];
        while (out.pending() || got.find("dropped") == std::string::npos) {
            pollfd ready{p[0], POLLIN, 0};
            ASSERT_EQ(poll(&ready, 1, 2000), 1) << got.size();
            const ssize_t n = read(p[0], buf, sizeof buf);
            ASSERT_GT(n, 0);
            got.append(buf, static_cast<std::size_t>(n));
            out.flush();
        }
        const std::string note =
            "verbose output blocked: " + std::to_string(dropped) + " lines dropped\n";
        ASSERT_GE(got.size(), note.size());
        EXPECT_EQ(got.substr(got.size() - note.size()), note);
        EXPECT_EQ((got.size() - note.size()) / 100 + dropped, 200u);
        out.line("after");  // lines flow again
        EXPECT_EQ(read(p[0], buf, sizeof buf), 6);
    }
    close(p[0]);
    close(p[1]);
}

TEST(NsmdProtocol, RegisterWithOverlappingItemsCannotStoreAnUnanswerableName) {
    // Items may overlap in a request, so a name and a text can both be long
    // there; the lookup reply that lays them out one behind the other could
    // not hold them, and the registration is refused.
    nsmd::Registry r;
    Bytes req(NS_MAX_TCP_RECORD, 0);
    req[0] = NS_REGISTER;
    req[ns::kNameOffset] = 16;
    req[16] = 100;
    req[17] = '\\';
    req[18] = '\\';
    req[19] = 'h';
    req[20] = '\\';
    std::memset(&req[21], 's', 96);
    req[ns::kAddrOffset] = 117;
    req[117] = 16;
    req[ns::kTextOffset] = 120;  // inside the address: overlap
    req[120] = 100;
    std::memset(&req[121], 't', 100);
    auto o = nsmd::handleRequest(r, req, false);
    EXPECT_EQ(o.reply, nsmd::headerRecord(nsmd::NS_REFUSED));
    EXPECT_EQ(r.serviceCount(), 0u);
}

TEST(NsmdProtocol, EveryCutOfAValidRequestIsAnsweredWithoutReadingPastIt) {
    nsmd::Registry r;
    NsAddr a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(1);
    a.sin_addr.s_addr = htonl(0x7f000001);
    Bytes full =
        recordOf(ns::RecordBuilder(NS_REGISTER).name("\\\\h\\s").address(&a, 16).text("t"));
    // Only the text's NUL may go missing: its item is whole without it.
    for (std::size_t n = 0; n + 1 < full.size(); ++n) {
        // A copy of exactly n bytes: anything read past it is caught by ASan.
        Bytes cut(full.begin(), full.begin() + n);
        auto o = nsmd::handleRequest(r, cut, true);
        EXPECT_EQ(o.reply[0], nsmd::NS_REFUSED) << n;
    }
    EXPECT_EQ(nsmd::handleRequest(r, Bytes(full.begin(), full.end() - 1), true).reply[0], NS_OK);
    EXPECT_EQ(nsmd::handleRequest(r, full, true).reply[0], NS_OK);
}

TEST(NsmdProtocol, ListEncoderMakesBoundedBlocksOfHeadNamesAndEnd) {
    nsmd::Registry r;
    std::vector<std::string> names;
    for (int i = 0; i < 3000; ++i) {
        names.push_back("\\\\host\\name" + std::to_string(i));
        ASSERT_TRUE(r.registerService(service(names.back())));
    }
    std::sort(names.begin(), names.end());  // the registry's order
    nsmd::ListEncoder enc(nsmd::NameCursor(r, nsmd::ListKind::Services, ""));
    Bytes all, block;
    int blocks = 0;
    while (enc.next(block, 4096)) {
        EXPECT_LT(block.size(), 4096u + 256u);
        all.insert(all.end(), block.begin(), block.end());
        block.clear();
        ++blocks;
    }
    EXPECT_GT(blocks, 10);
    std::vector<std::string> got;
    std::vector<int> types;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t len = all[at];
        ASSERT_LE(at + 1 + len, all.size());
        Bytes cipher(all.begin() + at + 1, all.begin() + at + 1 + len), plain(NS_MSG_SIZE);
        const int n = NsDecrypt(plain.data(), cipher.data(), static_cast<int>(len));
        ns::RecordView v(plain.data(), n);
        types.push_back(v.type());
        if (v.type() == nsmd::kListEntryType)
            got.emplace_back(v.stringItem(ns::kNameOffset).value());
        at += 1 + len;
    }
    EXPECT_EQ(types.front(), NS_LISTHEAD);
    EXPECT_EQ(types.back(), NS_LISTEND);
    EXPECT_EQ(got, names);
}

TEST(NsmdOutbox, FragmentsAndPausesPaceTheBytes) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    nsmd::Outbox out;
    nsmd::Piece p;
    p.bytes = Bytes(10, 7);
    p.delayMs = 30;
    p.fragSize = 4;
    p.fragPauseMs = 20;
    out.add(p);
    auto now = nsmd::Clock::now();
    EXPECT_EQ(out.flush(sv[0], now), nsmd::Outbox::Status::Waiting);
    EXPECT_EQ(out.readyAt(), now + std::chrono::milliseconds(30));
    now = out.readyAt();
    EXPECT_EQ(out.flush(sv[0], now), nsmd::Outbox::Status::Waiting);  // 4 sent
    now = out.readyAt();
    EXPECT_EQ(out.flush(sv[0], now), nsmd::Outbox::Status::Waiting);  // 8 sent
    now = out.readyAt();
    EXPECT_EQ(out.flush(sv[0], now), nsmd::Outbox::Status::Done);  // 10 sent
    char buf[32];
    EXPECT_EQ(read(sv[1], buf, sizeof buf), 10);
    close(sv[0]);
    close(sv[1]);
}

TEST(NsmdHostile, StepsExpandInOrderAndOnlyNormalUsesTheNormalAnswer) {
    nsmd::HostileScript script;
    std::string error;
    ASSERT_TRUE(
        script.parse("# c\n\ntcp raw:aabb pause:5 normal silent raw:cc\nudp normal\n", error))
        << error;
    auto step = script.next(nsmd::Transport::Tcp);
    ASSERT_TRUE(step);
    EXPECT_FALSE(script.next(nsmd::Transport::Tcp));
    EXPECT_FALSE(script.next(nsmd::Transport::List));
    nsmd::Outbox out;
    int normals = 0;
    auto ending =
        nsmd::expandStep(*step, out, false, [&](nsmd::Outbox &o, const nsmd::Piece &proto) {
            EXPECT_EQ(proto.delayMs, 5);
            ++normals;
            nsmd::Piece p = proto;
            p.bytes = {0xdd};
            o.add(p);
        });
    EXPECT_EQ(ending, nsmd::Ending::Hold);  // nothing after silent is sent
    EXPECT_EQ(normals, 1);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    auto now = nsmd::Clock::now();
    while (out.flush(sv[0], now) == nsmd::Outbox::Status::Waiting) now = out.readyAt();
    std::uint8_t buf[8];
    ASSERT_EQ(read(sv[1], buf, sizeof buf), 3);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{0xaa, 0xbb, 0xdd}));
    close(sv[0]);
    close(sv[1]);
}

}  // namespace
