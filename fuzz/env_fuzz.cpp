// Any bytes as one configuration line: the parser never reads outside them,
// and an entry without a reference is exactly the compacted line split at
// its first "=".
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/env_internal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static char dir[] = "/opt/x";
    static char *rbDir = dir, *binDir = nullptr;
    static const ns::env::KeyRow table[] = {{"TALVEN_DIR", &rbDir}, {"TALVEN_BINDIR", &binDir}};

    std::string_view line(reinterpret_cast<const char *>(data), size);
    ns::env::ParsedLine p = ns::env::parseLine(line, table);

    std::string compact;
    for (char c : line.substr(0, line.find('\0')))
        if (!std::isspace(static_cast<unsigned char>(c))) compact.push_back(c);
    bool hasEquals = compact.find('=') != std::string::npos;
    switch (p.kind) {
    case ns::env::LineKind::Empty:
        if (!compact.empty()) __builtin_trap();
        break;
    case ns::env::LineKind::Invalid:
        if (compact.empty() || hasEquals) __builtin_trap();
        break;
    case ns::env::LineKind::Entry:
        if (!hasEquals || p.key.find('=') != std::string::npos) __builtin_trap();
        if (!std::string_view(compact).substr(p.key.size() + 1).starts_with("$TALVEN_") &&
            p.key + "=" + p.value != compact)
            __builtin_trap();
        break;
    }
    return 0;
}
