// output.hpp - nsquery's results, as text lines or as one JSON document.
#ifndef TOOLS_NSQUERY_OUTPUT_HPP
#define TOOLS_NSQUERY_OUTPUT_HPP

#include <string>
#include <string_view>
#include <vector>

namespace nsquery {

// A JSON string literal of any bytes: quotes, backslashes and control
// characters escaped, valid UTF-8 kept, every other byte shown as \u00XX.
std::string jsonString(std::string_view bytes);

// Builds one JSON object member by member, in order.
class JsonObject {
public:
    JsonObject &text(std::string_view key, std::string_view value);
    JsonObject &number(std::string_view key, long value);
    // A number with the given count of decimal places.
    JsonObject &decimal(std::string_view key, double value, int places);
    JsonObject &flag(std::string_view key, bool value);
    JsonObject &null(std::string_view key);
    JsonObject &list(std::string_view key, const std::vector<std::string> &values);
    JsonObject &object(std::string_view key, const JsonObject &value);
    std::string str() const { return "{" + body_ + "}"; }

private:
    void key(std::string_view k);
    std::string body_;
};

}  // namespace nsquery

#endif
