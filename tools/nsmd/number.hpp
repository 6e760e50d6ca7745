// number.hpp - reading numbers from options, preload files and scripts.
#ifndef TOOLS_NSMD_NUMBER_HPP
#define TOOLS_NSMD_NUMBER_HPP

#include <cerrno>
#include <cstdlib>
#include <string>

namespace nsmd {

// A whole decimal number from lo to hi; false (value untouched) for anything else.
inline bool parseNumber(const std::string &text, int lo, int hi, int &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || v < lo || v > hi) return false;
    value = static_cast<int>(v);
    return true;
}

}  // namespace nsmd

#endif
