// Name server location: the configured value, the local identity, the
// broadcast address, and discovery against scripted name servers.
#include <sched.h>
#include <sys/mount.h>

#include <chrono>
#include <thread>

#include <cstring>

#include "rsockmap/location_internal.hpp"
#include "support/env.h"
#include "support/peer.hpp"

using namespace nstest;

static testing::Environment *const kLogEnv =
    testing::AddGlobalTestEnvironment(new ClientEnvironment);

namespace {

NsAddr addrFrom(const Bytes &b) {
    NsAddr a{};
    std::memcpy(&a, b.data(), std::min(b.size(), sizeof a));
    return a;
}

}  // namespace

// ---- the configured value ----

TEST(ConfiguredServer, SplitsHostAndPortAtTheLastDot) {
    struct Case {
        const char *value;
        const char *host;
        int port;
    } cases[] = {
        {"nsmhost.5000", "nsmhost", 5000},
        {"nsmhost", "nsmhost", NS_DEFAULT_PORT},
        {"10.1.2.3.16024", "10.1.2.3", 16024},
        {".5000", "", 5000},
        {"nsmhost.70000", "nsmhost", 70000 & 0xffff},
        {"nsmhost.x", "nsmhost", 0},
        {"a.b.", "a.b", 0},
    };
    for (const auto &c : cases) {
        const auto s = ns::parseConfiguredServer(c.value);
        EXPECT_EQ(s.host, c.host) << c.value;
        EXPECT_EQ(s.port, c.port) << c.value;
    }
    // No length limit on the value.
    const std::string longHost(300, 'h');
    const auto s = ns::parseConfiguredServer(longHost + ".77");
    EXPECT_EQ(s.host, longHost);
    EXPECT_EQ(s.port, 77);
}

TEST(GetInetAddr, ReadsDottedNumbersAndResolvesNames) {
    EXPECT_EQ(GetInetAddr("198.18.0.12"), htonl(0xC612000Cu));
    EXPECT_EQ(GetInetAddr("nsm-backup1"), inetAddr(kBackup1Addr, 0).sin_addr.s_addr);
    // Too few parts, no parts, or no such host: no address.
    for (const char *bad : {"10.1.2", "", "1..2.3", ".", "no-such-host"})
        EXPECT_EQ(GetInetAddr(bad), 0u) << bad;
}

class Location : public ClientTest {};

TEST_F(Location, PresetNSResolvesTheConfiguredForms) {
    struct Case {
        const char *value;
        const char *ip;
        int port;
    } cases[] = {
        {"nsm-master.5000", kMasterAddr, 5000},
        {"nsm-master", kMasterAddr, NS_DEFAULT_PORT},
        {"198.18.0.12.16024", kBackup2Addr, 16024},
    };
    for (const auto &c : cases) {
        configure(c.value);
        NsAddr a{};
        ASSERT_EQ(presetNS(&a, nullptr), 0) << c.value;
        EXPECT_EQ(shown(a), shown(inetAddr(c.ip, static_cast<std::uint16_t>(c.port)))) << c.value;
        EXPECT_EQ(a.sin_family, AF_INET);
    }
    EXPECT_TRUE(logs().has("presetNS: calling GetInetAddr(nsm-master)\n")) << logs().dump();
    EXPECT_TRUE(logs().has("presetNS: returning 198.18.0.10 (5000)\n"));
    EXPECT_TRUE(logs().has("presetNS: calling GetInetAddr(198.18.0.12)\n"));
}

TEST_F(Location, PresetNSFailsQuietlyWithoutAUsableConfiguration) {
    NsAddr a{};
    EXPECT_EQ(presetNS(&a, nullptr), -1);  // nothing configured
    configure("");
    EXPECT_EQ(presetNS(&a, nullptr), -1);
    for (const char *bad : {"no-such-host.5000", "198.18.0.5000", ".5000"}) {
        configure(bad);
        EXPECT_EQ(presetNS(&a, nullptr), -1) << bad;
    }
    configure(std::string(400, 'h') + ".5000");
    EXPECT_EQ(presetNS(&a, nullptr), -1);
    for (const auto &line : logs().lines()) {
        EXPECT_EQ(line.find("presetNS: returning"), std::string::npos) << line;
        EXPECT_EQ(line.find("failed"), std::string::npos) << line;
    }
    EXPECT_TRUE(logs().has("presetNS: calling GetInetAddr(no-such-host)\n")) << logs().dump();
}

TEST_F(Location, TheOverrideWinsOverTheConfiguration) {
    configure("nsm-master.5000");
    const NsAddr remembered = inetAddr(kBackup2Addr, 6000);
    NsAddr a{};
    EXPECT_EQ(presetNS(nullptr, &remembered), 0);
    EXPECT_EQ(presetNS(&a, nullptr), 0);
    EXPECT_EQ(shown(a), "198.18.0.12 (6000)");
    EXPECT_TRUE(logs().has("presetNS: setting override 198.18.0.12 (6000)\n")) << logs().dump();
    EXPECT_TRUE(logs().has("presetNS: returning override 198.18.0.12 (6000)\n"));
    EXPECT_FALSE(logs().has("presetNS: calling GetInetAddr(nsm-master)\n"));
}

// ---- the local identity ----

TEST_F(Location, LocalAddressIsTheHostsOwn) {
    NsAddr a;
    std::memset(&a, 0xAA, sizeof a);
    int len = 0;
    usptcp_GetLocalAddr(&a, &len);
    EXPECT_EQ(len, 16);
    EXPECT_EQ(addrBytes(a), addrBytes(inetAddr(kHostAddr, 0)));
    usptcp_Initialise();  // once per process
    EXPECT_EQ(logs().lines(), (std::vector<std::string>{
                                  "usptcp_Initialise: szHostName = 'nstest'\n",
                                  "usptcp_Initialise: LocalSockAddr = 198.18.0.1 (0)\n"}));
}

namespace {

// Runs the local identity lookup in a child with its own host name and hosts
// file (private UTS and mount namespaces); reports the address found.
Bytes localAddressWith(const char *hostName, const char *hosts) {
    return inChild([&] {
        TempDir dir;
        writeFile(dir.file("hosts"), hosts);
        // The sandbox's own hosts file is replaced in this child's view only.
        if (unshare(CLONE_NEWNS | CLONE_NEWUTS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            umount2("/etc/hosts", MNT_DETACH) != 0 ||
            mount(dir.file("hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
            sethostname(hostName, std::strlen(hostName)) != 0)
            return Bytes{};
        NsAddr a{};
        int len = 0;
        usptcp_GetLocalAddr(&a, &len);
        return addrBytes(a);
    });
}

}  // namespace

TEST_F(Location, ALocalNameResolvingToZeroIsRetriedShort) {
    EXPECT_EQ(localAddressWith("alpha.beta", "0.0.0.0 alpha.beta\n198.18.0.13 alpha\n"),
              addrBytes(inetAddr("198.18.0.13", 0)));
    EXPECT_EQ(logs().lines(), (std::vector<std::string>{
                                  "usptcp_Initialise: szHostName = 'alpha.beta'\n",
                                  "usptcp_Initialise: LocalSockAddr = 0.0.0.0 (0)\n",
                                  "usptcp_Initialise: szHostName = 'alpha'\n",
                                  "usptcp_Initialise: LocalSockAddr = 198.18.0.13 (0)\n"}));
}

TEST_F(Location, AFailedLocalLookupIsNotRetried) {
    EXPECT_EQ(localAddressWith("alpha.beta", "198.18.0.13 alpha\n"), Bytes(16, 0));
    const auto lines = logs().lines();
    ASSERT_EQ(lines.size(), 2u) << logs().dump();
    EXPECT_EQ(lines[0], "usptcp_Initialise: szHostName = 'alpha.beta'\n");
    EXPECT_EQ(lines[1].rfind("usptcp_Initialise: nl_gethostbyname failed (errno ", 0), 0u);
}

// ---- the broadcast address ----

TEST_F(Location, LastQualifyingInterfaceGivesTheBroadcastAddress) {
    // In a network of its own: loopback (up), two broadcast interfaces and
    // a third one that stays down, which comes last.
    auto broadcastIn = [](const char *configured) {
        const Bytes addr = inChild([&] {
            if (unshare(CLONE_NEWNET) != 0) return Bytes{};
            const char *setup =
                "ip link set lo up && "
                "ip link add t1a type veth peer name t1b && "
                "ip addr add 198.18.1.1/24 brd 198.18.1.255 dev t1a && ip link set t1a up && "
                "ip link add t2a type veth peer name t2b && "
                "ip addr add 198.18.2.1/24 brd 198.18.2.127 dev t2a && ip link set t2a up && "
                "ip link add t3a type veth peer name t3b && "
                "ip addr add 198.18.3.1/24 brd 198.18.3.255 dev t3a";
            if (std::system(setup) != 0) return Bytes{};
            Marlod = const_cast<char *>(configured);
            const ns::UniqueFd sock(socket(AF_INET, SOCK_DGRAM, 0));
            NsAddr a{};
            return FindBcastAddr(sock.get(), &a) == 0 ? addrBytes(a) : Bytes{};
        });
        return addr.empty() ? std::string("none") : shown(addrFrom(addr));
    };
    EXPECT_EQ(broadcastIn(nullptr), "198.18.2.127 (16024)");
    EXPECT_EQ(broadcastIn("nsm-master.17000"), "198.18.2.127 (17000)");
    EXPECT_TRUE(logs().has("FindBcastAddr: broadcast address = 198.18.1.255 (16024)\n"))
        << logs().dump();
    EXPECT_FALSE(logs().has("FindBcastAddr: broadcast address = 198.18.3.255 (16024)\n"));
}

TEST_F(Location, NoQualifyingInterfaceLeavesTheAddressAlone) {
    const Bytes addr = inChild([] {
        if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) return Bytes{};
        const ns::UniqueFd sock(socket(AF_INET, SOCK_DGRAM, 0));
        NsAddr a = inetAddr("1.2.3.4", 99);
        return FindBcastAddr(sock.get(), &a) == 0 ? addrBytes(a) : Bytes{};
    });
    EXPECT_EQ(addr, addrBytes(inetAddr("1.2.3.4", 99)));
    EXPECT_EQ(FindBcastAddr(-1, nullptr), -1);
    EXPECT_EQ(logs().lines().back(), "FindBcastAddr: ioctl(SIOCGIFCONF) failed (errno 9)\n");
}

// ---- what one discovery datagram means ----

TEST(DiscoveryReply, IgnoresAllButAMastersReply) {
    const NsAddr source = inetAddr(kBackup1Addr, 4242);
    const NsAddr untouched = inetAddr("1.1.1.1", 1);
    NsAddr out = untouched;
    for (std::size_t len = 0; len <= 24; ++len) {
        const Bytes shortOne(len, 0x07);
        EXPECT_EQ(ns::decodeDiscoveryReply(shortOne, source, &out), ns::DiscoveryReply::Ignored)
            << len;
    }
    for (int type : {NS_BACKUP, NS_OK, NS_FINDMASTER})
        EXPECT_EQ(ns::decodeDiscoveryReply(encipher(record(type)), source, &out),
                  ns::DiscoveryReply::Ignored);
    EXPECT_EQ(addrBytes(out), addrBytes(untouched));
}

TEST(DiscoveryReply, MasterIsReachedAtItsItemOrItsSource) {
    NsAddr source = inetAddr(kBackup1Addr, 4242);
    NsAddr out{};
    EXPECT_EQ(ns::decodeDiscoveryReply(encipher(masterReply()), source, &out),
              ns::DiscoveryReply::MasterDefault);
    EXPECT_EQ(addrBytes(out), addrBytes(source));

    NsAddr own = inetAddr(kBackup2Addr, 5000);
    own.sin_family = 0x1234;  // whatever the item holds, the family is 2
    EXPECT_EQ(ns::decodeDiscoveryReply(encipher(masterReply(&own)), source, &out),
              ns::DiscoveryReply::MasterOwn);
    EXPECT_EQ(addrBytes(out), addrBytes(inetAddr(kBackup2Addr, 5000)));
}

TEST(DiscoveryReply, HostileAddressItemsStayInBounds) {
    const NsAddr source = inetAddr(kBackup1Addr, 4242);
    const NsAddr own = inetAddr(kBackup2Addr, 5000);
    NsAddr out{};

    // A 40-byte item: only its first 16 bytes are the address.
    Bytes longItem = addrBytes(own);
    longItem.resize(40, 0xEE);
    ns::RecordBuilder b(NS_MASTER);
    b.address(longItem.data(), static_cast<int>(longItem.size()));
    EXPECT_EQ(ns::decodeDiscoveryReply(encipher(plainOf(b)), source, &out),
              ns::DiscoveryReply::MasterOwn);
    EXPECT_EQ(addrBytes(out), addrBytes(own));

    // An 8-byte item overwrites only the family, port and address.
    ns::RecordBuilder s(NS_MASTER);
    s.address(&own, 8);
    NsAddr sourceWithTail = source;
    std::memset(sourceWithTail.sin_zero, 0x5A, sizeof sourceWithTail.sin_zero);
    EXPECT_EQ(ns::decodeDiscoveryReply(encipher(plainOf(s)), sourceWithTail, &out),
              ns::DiscoveryReply::MasterOwn);
    Bytes expect = addrBytes(own);
    std::memset(expect.data() + 8, 0x5A, 8);
    EXPECT_EQ(addrBytes(out), expect);

    // An item reaching past the received bytes is no item.
    Bytes cut = plainOf(b);
    cut.resize(30);
    EXPECT_EQ(ns::decodeDiscoveryReply(encipher(cut), source, &out),
              ns::DiscoveryReply::MasterDefault);
    Bytes farOffset = record(NS_MASTER);
    farOffset[ns::kAddrOffset] = 200;
    EXPECT_EQ(ns::decodeDiscoveryReply(encipher(farOffset), source, &out),
              ns::DiscoveryReply::MasterDefault);

    // A datagram longer than the receive buffer counts only its first 256 bytes.
    Bytes huge = encipher(masterReply(&own));
    huge.resize(2000, 0x11);
    EXPECT_EQ(ns::decodeDiscoveryReply(huge, source, &out), ns::DiscoveryReply::MasterOwn);
}

// ---- discovery ----

TEST_F(Location, DiscoveryTakesTheMastersOwnAddressAndRemembersIt) {
    const NsAddr own = inetAddr(kBackup2Addr, 5000);
    Peer peer;
    peer.udp("0.0.0.0", NS_DEFAULT_PORT, answerFrom(kMasterAddr, NS_DEFAULT_PORT, masterReply(&own)));
    peer.start();
    const int fds = openFdCount();

    NsAddr found{};
    ASSERT_EQ(findNS(0, &found), 0);
    EXPECT_EQ(addrBytes(found), addrBytes(own));
    EXPECT_EQ(peer.datagrams(), std::vector<Bytes>{record(NS_FINDMASTER)});
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_TRUE(logs().has("FindBcastAddr: broadcast address = 198.18.0.255 (16024)\n"))
        << logs().dump();
    EXPECT_TRUE(logs().has("findNS: NSM master own address 198.18.0.12 (5000)\n"));

    // From now on the configuration is not consulted.
    configure("nsm-master.7000");
    NsAddr again{};
    ASSERT_EQ(findNS(0, &again), 0);
    EXPECT_EQ(addrBytes(again), addrBytes(own));
    EXPECT_TRUE(logs().has("presetNS: returning override 198.18.0.12 (5000)\n"));
    EXPECT_EQ(peer.order(), "u");
}

TEST_F(Location, DiscoveryByBroadcastIgnoresTheConfiguration) {
    configure("nsm-master.16040");
    Peer peer;
    // The source port of the reply is the master's TCP port.
    peer.udp("0.0.0.0", 16040, answerFrom(kBackup1Addr, 16041, masterReply()));
    peer.start();

    NsAddr found{};
    ASSERT_EQ(findNS(1, &found), 0);
    EXPECT_EQ(shown(found), "198.18.0.11 (16041)");
    EXPECT_EQ(found.sin_family, AF_INET);
    EXPECT_EQ(peer.order(), "u");
    EXPECT_TRUE(logs().has("findNS: NSM master default address 198.18.0.11 (16041)\n"))
        << logs().dump();
    // The configuration is never read: presetNS only remembers the master.
    EXPECT_FALSE(logs().mentions("presetNS: calling"));
    EXPECT_FALSE(logs().mentions("presetNS: returning"));
}

// A backup's reply and a datagram too short to read each start a fresh
// 5-second wait; only then does the second phase ask any NSM.
TEST_F(Location, OtherRepliesExtendTheFirstPhase) {
    Peer peer;
    peer.udp("0.0.0.0", NS_DEFAULT_PORT, [](const Bytes &, int n) {
        if (n > 0) return std::vector<Datagram>{datagramFrom(kMasterAddr, NS_DEFAULT_PORT, masterReply())};
        return std::vector<Datagram>{datagramFrom(kBackup1Addr, NS_DEFAULT_PORT, record(NS_BACKUP)),
                                     {inetAddr(kBackup1Addr, NS_DEFAULT_PORT), Bytes(10, 0x07), 1000}};
    });
    peer.start();

    NsAddr found{};
    ASSERT_EQ(findNS(0, &found), 0);
    EXPECT_EQ(shown(found), "198.18.0.10 (16024)");
    const auto events = peer.events();
    EXPECT_EQ(peer.datagrams(), (std::vector<Bytes>{record(NS_FINDMASTER), record(NS_FINDANY)}));
    ASSERT_EQ(events.size(), 2u);
    const auto gap = events[1].at - events[0].at;
    EXPECT_GE(gap, std::chrono::milliseconds(5900)) << "between the phases";
    EXPECT_LT(gap, std::chrono::milliseconds(7100));
    EXPECT_EQ(logs().count("BcastTimeout (signal 14)\n"), 1) << logs().dump();
    EXPECT_EQ(logs().count("findNS: no NSM (errno 4)\n"), 1);
}
