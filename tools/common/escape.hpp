// escape.hpp - text received from the network, made safe for a terminal.
//
// Names and texts come from peers we do not control; written raw they could
// move the cursor, rewrite earlier lines or forge whole lines of output.
// The tools' human-readable outputs (nsquery's text lines, nsmd -v) pass
// them through terminalSafe() first:
//   \a \b \t \n \v \f \r and ESC (as \e) get their C-style escapes;
//   every other byte below 0x20, and 0x7f, becomes \ooo (three octal digits);
//   everything else, backslashes and bytes from 0x80 up included, is kept.
// Backslashes are kept because service names are full of them
// (\\host\svc): so the escaped text is for reading, not for parsing back.
// Header-only: both tools use it, and it is no part of the client library.
#ifndef TOOLS_COMMON_ESCAPE_HPP
#define TOOLS_COMMON_ESCAPE_HPP

#include <string>
#include <string_view>

namespace nstools {

inline std::string terminalSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c != 0x7f) {
            out += ch;
            continue;
        }
        out += '\\';
        switch (c) {
        case '\a': out += 'a'; break;
        case '\b': out += 'b'; break;
        case '\t': out += 't'; break;
        case '\n': out += 'n'; break;
        case '\v': out += 'v'; break;
        case '\f': out += 'f'; break;
        case '\r': out += 'r'; break;
        case 0x1b: out += 'e'; break;
        default:
            out += static_cast<char>('0' + (c >> 6));
            out += static_cast<char>('0' + ((c >> 3) & 7));
            out += static_cast<char>('0' + (c & 7));
        }
    }
    return out;
}

}  // namespace nstools

#endif
