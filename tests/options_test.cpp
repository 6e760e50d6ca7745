// The option loop: the tool run as a process against a scripted name server
// master, and AdminMain in-process for the state that options set.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "admin/census.h"
#include "admin/nsadmin.h"
#include "rsockmap/record.hpp"
#include "support/debug.h"
#include "support/testutil.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint16_t kNsmPort = 16024;

bool readFull(int fd, std::uint8_t *buf, std::size_t n) {
    while (n > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return false;
        ssize_t got = read(fd, buf, n);
        if (got <= 0) return false;
        buf += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// The configured name server master at 198.18.0.10: every request frame it
// receives is deciphered and kept, and answered with the record that the
// test's function builds for it.
class FakeMaster {
public:
    using Answer = std::function<ns::RecordBuilder(const ns::RecordView &request)>;

    explicit FakeMaster(Answer answer) : answer_(std::move(answer)) {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in at = nstest::inetAddr(nstest::kMasterAddr, kNsmPort);
        EXPECT_EQ(bind(listen_, reinterpret_cast<const sockaddr *>(&at), sizeof at), 0);
        EXPECT_EQ(listen(listen_, 8), 0);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeMaster() {
        stop_ = true;
        thread_.join();
        close(listen_);
    }
    std::vector<Bytes> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int fd = accept(listen_, nullptr, nullptr);
            if (fd < 0) continue;
            serve(fd);
            close(fd);
        }
    }
    void serve(int fd) {
        std::uint8_t len = 0;
        std::uint8_t cipher[NS_MSG_SIZE] = {};
        if (!readFull(fd, &len, 1) || len < NS_SALT_SIZE || !readFull(fd, cipher, len)) return;
        Bytes plain(NS_MSG_SIZE);
        plain.resize(static_cast<std::size_t>(NsDecrypt(plain.data(), cipher, len)));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(plain);
        }
        ns::RecordBuilder reply = answer_(ns::RecordView(plain.data(), plain.size()));
        std::uint8_t frame[1 + NS_MSG_SIZE];
        const int n = NsCrypt(frame + 1, &reply.message(), reply.length());
        frame[0] = static_cast<std::uint8_t>(n);
        (void)!write(fd, frame, static_cast<std::size_t>(n) + 1);
    }

    Answer answer_;
    int listen_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Bytes> requests_;
    std::thread thread_;
};

ns::RecordBuilder refuse(const ns::RecordView &) { return ns::RecordBuilder(NS_OK + 1); }

ns::RecordBuilder found(const char *dotted, std::uint16_t port, const char *auth) {
    const sockaddr_in addr = nstest::inetAddr(dotted, port);
    ns::RecordBuilder reply(NS_OK);
    reply.address(&addr, NS_ADDR_SIZE);
    if (auth != nullptr) reply.text(auth);
    return reply;
}

// The configuration entry that names the fake master.
std::string masterEntry() {
    return "TALVEN_NAMESVC=" + std::string(nstest::kMasterAddr) + "." + std::to_string(kNsmPort) +
           "\n";
}

// The tool run with a configuration that names the fake master.
class Tool {
public:
    nstest::ProcResult run(std::vector<std::string> args) const {
        args.insert(args.begin(), nstest::binPath("nsadmin"));
        return nstest::runProcess(args, config_.env());
    }

private:
    nstest::TestConfig config_{masterEntry()};
};

std::string usageLine() {
    return "Usage: " + nstest::binPath("nsadmin") +
           " [ -n ] [ -L ] [ -l uspaddr ] [ -p \\\\pc\\host ] [ -P \\\\pc\\host ]"
           " [ -A \\\\host\\svc ] [ -d # ]\n";
}

TEST(Options, NoOptionsPrintNothing) {
    const auto r = Tool().run({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(Options, UnknownOptionOrMissingArgumentPrintsUsageAndStops) {
    Tool tool;
    // -n after the bad option would take 5 seconds and print a status of 0.
    auto r = tool.run({"-x", "-n"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usageLine());
    EXPECT_NE(r.err.find("invalid option -- 'x'"), std::string::npos) << r.err;

    r = tool.run({"-l"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usageLine());
    EXPECT_NE(r.err.find("requires an argument -- 'l'"), std::string::npos) << r.err;
}

TEST(Options, RegistrationLineShowsAddressTypeAndSignedLevel) {
    FakeMaster master(refuse);
    Tool tool;
    const struct {
        std::vector<std::string> args;
        const char *line;
    } cases[] = {
        {{"10.0.0.1/2000", "3", "1"}, "10.0.0.1 (2000), 3, 1, 'NULL'\n"},
        {{"10.0.0.1/2000", "3", "300", "secret"}, "10.0.0.1 (2000), 3, 44, 'secret'\n"},
        {{"10.0.0.1/2000", "-7", "200"}, "10.0.0.1 (2000), -7, -56, 'NULL'\n"},
        // Numbers the word does not reach are 0; parts are not masked; the
        // port keeps its low 16 bits.
        {{"10.1/7", "0", "0"}, "10.1.0.0 (0), 0, 0, 'NULL'\n"},
        {{"1.2.3.260/70000", "0", "0"}, "1.2.3.4 (4464), 0, 0, 'NULL'\n"},
        {{"junk", "x", "y"}, "0.0.0.0 (0), 0, 0, 'NULL'\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args{"-a", "\\\\h\\svc"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = tool.run(args);
        EXPECT_EQ(r.out, c.line);
        EXPECT_EQ(r.status, 0);  // a failed registration leaves the status alone
    }
}

TEST(Options, RegistrationEndsOptionProcessing) {
    FakeMaster master(refuse);
    // The -n after the four words is neither an option nor a census (which
    // would listen for 5 seconds, so each run stays under that however
    // loaded the machine); nor is anything after a -a word that looks like
    // an option.
    const auto timed = [](std::vector<std::string> args) {
        timeval t0{}, t1{};
        gettimeofday(&t0, nullptr);
        auto r = Tool().run(std::move(args));
        gettimeofday(&t1, nullptr);
        EXPECT_LT(t1.tv_sec - t0.tv_sec, 5) << "a census ran";
        return r;
    };
    auto r = timed({"-a", "\\\\h\\svc", "10.0.0.1/2000", "3", "1", "text", "-n"});
    EXPECT_EQ(r.out, "10.0.0.1 (2000), 3, 1, 'text'\n");
    EXPECT_EQ(r.status, 0);
    r = timed({"-a", "\\\\h\\svc", "-1.0.0.0/9", "3", "1", "-n", "-x"});
    EXPECT_EQ(r.out, "255.0.0.0 (9), 3, 1, '-n'\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Options, RegistrationWithTooFewWordsPrintsUsage) {
    Tool tool;
    for (const std::vector<std::string> &args : {
             std::vector<std::string>{"-a", "\\\\h\\svc", "10.0.0.1/2000", "3"},
             std::vector<std::string>{"-a", "\\\\h\\svc", "10.0.0.1/2000"},
             std::vector<std::string>{"-a", "\\\\h\\svc"},
             std::vector<std::string>{"-a"},
         }) {
        const auto r = tool.run(args);
        EXPECT_EQ(r.out, usageLine()) << args.size() << " words";
        EXPECT_EQ(r.status, 1);
    }
}

TEST(Options, FailedRequestsPrintNothing) {
    FakeMaster master(refuse);
    const auto r = Tool().run({"-l", "\\\\h\\svc", "-L", "-p", "\\\\pc\\h", "-P", "\\\\pc\\h", "-A",
                               "\\\\h\\svc", "-d", "0"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
}

TEST(Options, LookupsPrintAddressAndAuthText) {
    FakeMaster master([](const ns::RecordView &req) {
        const auto name = req.stringItem(ns::kNameOffset).value_or("");
        if (name == "\\\\*\\lcnsesvc") return found(nstest::kMasterAddr, 5000, nullptr);
        if (name == "\\\\h\\auth") return found(nstest::kBackup1Addr, 6000, "secret");
        if (name == "\\\\h\\noauth") return found(nstest::kNamelessAddr, 7000, nullptr);
        return refuse(req);
    });
    // The text buffer is cleared before each lookup: the second -l must not
    // show the first one's text.
    const auto r = Tool().run({"-l", "\\\\h\\auth", "-l", "\\\\h\\noauth", "-L", "-l",
                               "\\\\h\\unknown"});
    EXPECT_EQ(r.out,
              "198.18.0.11 (6000) (auth=secret)\n"
              "198.18.0.19 (7000) (auth=)\n"
              "nsm-master  198.18.0.10 (5000)\n");
    EXPECT_EQ(r.status, 0);
    const auto requests = master.requests();
    ASSERT_EQ(requests.size(), 4u);
    const ns::RecordView licence(requests[2]);
    EXPECT_EQ(licence.type(), NS_LOOKUP);
    EXPECT_EQ(licence.bytes()[ns::kOption], 0);
    EXPECT_EQ(ns::RecordView(requests[0]).bytes()[ns::kOption], 4);
}

TEST(Options, LicenceLookupOfANamelessAddressStartsWithTwoBlanks) {
    FakeMaster master([](const ns::RecordView &) {
        return found(nstest::kNamelessAddr, 5000, nullptr);
    });
    const auto r = Tool().run({"-L"});
    EXPECT_EQ(r.out, "  198.18.0.19 (5000)\n");
}

// A lookup before it that succeeds without an address item leaves the
// address length alone: the registration still sends its 16 bytes.
TEST(Options, RegistrationSendsWhatItPrinted) {
    FakeMaster master([](const ns::RecordView &req) {
        return req.type() == NS_LOOKUP ? ns::RecordBuilder(NS_OK) : refuse(req);
    });
    const auto r =
        Tool().run({"-l", "\\\\h\\svc", "-a", "\\\\h\\svc", "10.0.0.1/2000", "3", "1"});
    EXPECT_EQ(r.out, "0.0.0.0 (0) (auth=)\n10.0.0.1 (2000), 3, 1, 'NULL'\n");
    const auto requests = master.requests();
    ASSERT_EQ(requests.size(), 2u);
    const ns::RecordView req(requests[1]);
    EXPECT_EQ(req.type(), NS_REGISTER);
    EXPECT_EQ(req.stringItem(ns::kNameOffset).value_or(""), "\\\\h\\svc");
    EXPECT_EQ(req.bytes()[ns::kOption], 3);
    EXPECT_EQ(req.bytes()[ns::kLevel], '1');
    NsAddr sent{};
    EXPECT_EQ(req.addressItem(&sent), NS_ADDR_SIZE);
    EXPECT_STREQ(printaddr(&sent), "10.0.0.1 (2000)");
    EXPECT_FALSE(req.item(ns::kTextOffset).has_value());
}

TEST(AdminMainInProcess, BroadcastOptionSetsTheCensusAddress) {
    char prog[] = "nsadmin", b[] = "-b", word[] = "10.255.255.255/5000";
    char *argv[] = {prog, b, word, nullptr};
    BcastAddr = {};
    bGotBcastAddr = 0;
    optind = 0;
    EXPECT_EQ(AdminMain(3, argv), 0);
    EXPECT_EQ(bGotBcastAddr, 1);
    EXPECT_EQ(BcastAddr.sin_family, AF_INET);
    EXPECT_EQ(BcastAddr.sin_port, htons(5000));
    EXPECT_EQ(BcastAddr.sin_addr.s_addr, htonl(0x0affffffu));
    const std::uint8_t zero[8] = {};
    EXPECT_EQ(std::memcmp(BcastAddr.sin_zero, zero, sizeof zero), 0);
}

TEST(AdminMainInProcess, DebugOptionSetsTheLocalMask) {
    FakeMaster master(refuse);
    nstest::ScopedConfig config(masterEntry());
    char prog[] = "nsadmin", d[] = "-d", level[] = "768";
    char *argv[] = {prog, d, level, nullptr};
    optind = 0;
    EXPECT_EQ(AdminMain(3, argv), 0);
    EXPECT_EQ(DebugLevel, 768);
    DebugLevel = 0;
}

}  // namespace
