// output.cpp - JSON strings and objects for nsquery's --json output.
#include "output.hpp"

#include <cstdint>
#include <cstdio>

namespace nsquery {
namespace {

// Length of the well-formed UTF-8 sequence at s[i] (2 to 4 bytes), or 0.
std::size_t utf8Sequence(std::string_view s, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    const std::uint8_t lead = at(i);
    std::size_t n;
    std::uint32_t cp;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        cp = lead & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((at(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (at(i + k) & 0x3F);
    }
    // No overlong forms, no surrogates, nothing above U+10FFFF.
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

}  // namespace

std::string jsonString(std::string_view bytes) {
    std::string out = "\"";
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<std::uint8_t>(bytes[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (std::size_t n = c >= 0x80 ? utf8Sequence(bytes, i) : 0; n > 0) {
            out.append(bytes.substr(i, n));
            i += n;
            continue;
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        }
        ++i;
    }
    out += '"';
    return out;
}

void JsonObject::key(std::string_view k) {
    if (!body_.empty()) body_ += ',';
    body_ += jsonString(k);
    body_ += ':';
}

JsonObject &JsonObject::text(std::string_view k, std::string_view value) {
    key(k);
    body_ += jsonString(value);
    return *this;
}

JsonObject &JsonObject::number(std::string_view k, long value) {
    key(k);
    body_ += std::to_string(value);
    return *this;
}

JsonObject &JsonObject::decimal(std::string_view k, double value, int places) {
    key(k);
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", places, value);
    body_ += text;
    return *this;
}

JsonObject &JsonObject::flag(std::string_view k, bool value) {
    key(k);
    body_ += value ? "true" : "false";
    return *this;
}

JsonObject &JsonObject::null(std::string_view k) {
    key(k);
    body_ += "null";
    return *this;
}

JsonObject &JsonObject::object(std::string_view k, const JsonObject &value) {
    key(k);
    body_ += value.str();
    return *this;
}

JsonObject &JsonObject::list(std::string_view k, const std::vector<std::string> &values) {
    key(k);
    body_ += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) body_ += ',';
        body_ += jsonString(values[i]);
    }
    body_ += ']';
    return *this;
}

}  // namespace nsquery
