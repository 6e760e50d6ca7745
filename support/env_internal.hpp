// env_internal.hpp - the configuration module's line parser and test hooks
// (internal).
//
// The parser is pure: it takes one line and the table whose variables hold
// the current values, and returns the entry.  It reads no file, touches no
// process-wide state and allocates only through std::string, so it can be
// tested and fuzzed on its own.
//
// The strings that the module keeps (the environment entries handed to
// putenv and the variables' copies) are all allocated by one call of
// malloc in env.cpp; allocation-failure tests make that call fail.
#ifndef SUPPORT_ENV_INTERNAL_HPP
#define SUPPORT_ENV_INTERNAL_HPP

#include <span>
#include <string>
#include <string_view>

namespace ns::env {

// One row of the key table: a key and the variable that its entries fill.
struct KeyRow {
    const char *key;
    char **var;
};

enum class LineKind {
    Entry,    // key and value set (either may be empty)
    Empty,    // nothing but white space: skip the line
    Invalid,  // no "=" in the line
};

struct ParsedLine {
    LineKind kind = LineKind::Empty;
    std::string key;
    std::string value;
};

// Parses one line whose newline has already been cut.  The line ends at its
// first NUL, if any.  Every white-space character (isspace) is removed
// wherever it stands, and the rest is split at the first "=".  A value that
// begins with "$TALVEN_NAME" is a reference: it becomes the current value of
// the table variable whose key is "TALVEN_NAME" (empty when there is no such
// row or the variable is still null), followed by the rest of the value from
// its first "/" on.  Only one reference, at the very start, is expanded, and
// the result is not scanned again.  Lines and values of any length are kept
// whole.  May throw std::bad_alloc.
ParsedLine parseLine(std::string_view line, std::span<const KeyRow> table);

}  // namespace ns::env

#endif
