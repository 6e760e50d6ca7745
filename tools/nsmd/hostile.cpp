// hostile.cpp - scripted answers for testing clients against a bad server.
#include "hostile.hpp"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "number.hpp"

namespace nsmd {

namespace {

constexpr std::size_t kMaxRaw = 65536;  // raw and random bytes of one op
constexpr int kMaxPauseMs = 60000;
constexpr std::size_t kMaxSteps = 100000;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseHex(const std::string &hex, Bytes &out) {
    if (hex.size() % 2 != 0 || hex.size() / 2 > kMaxRaw) return false;
    out.clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = hexDigit(hex[i]), lo = hexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return true;
}

// Splits "a:b:c" into its fields.
std::vector<std::string> fields(const std::string &word) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = word.find(':', start);
        out.push_back(word.substr(start, colon - start));
        if (colon == std::string::npos) return out;
        start = colon + 1;
    }
}

// One op; "" on success, else the reason.
std::string parseOp(const std::string &word, Transport transport, Op &op) {
    const auto f = fields(word);
    const std::string &name = f[0];
    const bool stream = transport != Transport::Udp;
    auto want = [&](std::size_t n) { return f.size() == n; };
    if (name == "normal" && want(1)) {
        op.kind = Op::Normal;
    } else if (name == "close" && want(1) && stream) {
        op.kind = Op::Close;
    } else if (name == "silent" && want(1)) {
        op.kind = Op::Silent;
    } else if (name == "raw" && want(2)) {
        op.kind = Op::Raw;
        if (!parseHex(f[1], op.bytes)) return "bad hex in '" + word + "'";
    } else if (name == "rec" && want(2)) {
        op.kind = Op::Record;
        if (!parseHex(f[1], op.bytes) || op.bytes.size() > NS_MAX_TCP_RECORD)
            return "bad record in '" + word + "' (hex, at most 231 bytes)";
    } else if (name == "long" && want(3) && stream) {
        op.kind = Op::Long;
        if (!parseHex(f[2], op.bytes) || op.bytes.size() > NS_MAX_TCP_RECORD)
            return "bad record in '" + word + "'";
        const int room = 255 - NS_SALT_SIZE - static_cast<int>(op.bytes.size());
        if (!parseNumber(f[1], 1, room, op.first))
            return "bad extra length in '" + word + "' (1 to " + std::to_string(room) + ")";
    } else if (name == "random" && want(2)) {
        op.kind = Op::Random;
        if (!parseNumber(f[1], 0, stream ? int(kMaxRaw) : 65507, op.first))
            return "bad count in '" + word + "'";
    } else if (name == "pause" && want(2)) {
        op.kind = Op::Pause;
        if (!parseNumber(f[1], 0, kMaxPauseMs, op.first)) return "bad pause in '" + word + "'";
    } else if (name == "frag" && want(3) && stream) {
        op.kind = Op::Frag;
        if (!parseNumber(f[1], 1, int(kMaxRaw), op.first) ||
            !parseNumber(f[2], 0, kMaxPauseMs, op.second))
            return "bad fragmentation in '" + word + "'";
    } else {
        return "unknown op '" + word + "' for this kind of line";
    }
    return "";
}

Bytes randomBytes(std::size_t n) {
    static std::mt19937 gen{std::random_device{}()};
    Bytes b(n);
    for (auto &x : b) x = static_cast<std::uint8_t>(gen());
    return b;
}

}  // namespace

bool HostileScript::parse(const std::string &text, std::string &error) {
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::istringstream words(line);
        std::string kind;
        if (!(words >> kind) || kind[0] == '#') continue;
        Transport transport;
        std::deque<Step> *steps;
        if (kind == "tcp") {
            transport = Transport::Tcp;
            steps = &tcp_;
        } else if (kind == "udp") {
            transport = Transport::Udp;
            steps = &udp_;
        } else if (kind == "list") {
            transport = Transport::List;
            steps = &list_;
        } else {
            error = std::to_string(number) + ": unknown line kind '" + kind + "'";
            return false;
        }
        Step step;
        for (std::string word; words >> word;) {
            Op op;
            std::string reason = parseOp(word, transport, op);
            if (!reason.empty()) {
                error = std::to_string(number) + ": " + reason;
                return false;
            }
            step.ops.push_back(std::move(op));
        }
        if (step.ops.empty()) {
            error = std::to_string(number) + ": a line needs at least one op";
            return false;
        }
        if (tcp_.size() + udp_.size() + list_.size() >= kMaxSteps) {
            error = std::to_string(number) + ": too many lines";
            return false;
        }
        steps->push_back(std::move(step));
    }
    return true;
}

bool HostileScript::load(const std::string &path, std::string &error) {
    std::ifstream file(path);
    if (!file) {
        error = path + ": cannot be read";
        return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    if (!parse(text.str(), error)) {
        error = path + ":" + error;
        return false;
    }
    return true;
}

std::optional<Step> HostileScript::next(Transport transport) {
    auto &steps = transport == Transport::Tcp ? tcp_ : transport == Transport::Udp ? udp_ : list_;
    if (steps.empty()) return std::nullopt;
    Step s = std::move(steps.front());
    steps.pop_front();
    return s;
}

Ending expandStep(const Step &step, Outbox &out, bool datagram, const NormalAnswer &normal) {
    Piece proto;  // carries the pending pause and the fragmentation
    auto add = [&](Bytes bytes) {
        Piece p = proto;
        p.bytes = std::move(bytes);
        out.add(std::move(p));
        proto.delayMs = 0;
    };
    Ending ending = Ending::Normal;
    for (const Op &op : step.ops) {
        if (op.kind == Op::Close || op.kind == Op::Silent) {
            ending = op.kind == Op::Close ? Ending::Close : Ending::Hold;
            break;
        }
        switch (op.kind) {
        case Op::Normal:
            normal(out, proto);
            proto.delayMs = 0;
            break;
        case Op::Raw: add(op.bytes); break;
        case Op::Record:
        case Op::Long: {
            Bytes b;
            if (datagram)
                b = encipher(op.bytes);
            else
                appendFrame(b, op.bytes, op.kind == Op::Long ? op.first : 0);
            add(std::move(b));
            break;
        }
        case Op::Random: add(randomBytes(static_cast<std::size_t>(op.first))); break;
        case Op::Pause: proto.delayMs += op.first; break;
        case Op::Frag:
            proto.fragSize = static_cast<std::size_t>(op.first);
            proto.fragPauseMs = op.second;
            break;
        default: break;
        }
    }
    // A pause at the end still delays the ending of a connection.
    if (proto.delayMs > 0 && !datagram) add({});
    return ending;
}

}  // namespace nsmd
