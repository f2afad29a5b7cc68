#include "python/quoted.h"

namespace py {

std::string quoted(std::string_view bytes) {
    // Single quotes, unless that would need escaping and double quotes would not.
    const bool double_quoted = bytes.find('\'') != std::string_view::npos && bytes.find('"') == std::string_view::npos;
    const char quote = double_quoted ? '"' : '\'';
    static constexpr char hex[] = "0123456789abcdef";

    std::string out;
    out.reserve(bytes.size() + 2);
    out += quote;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == quote || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte >= 0x7f) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        } else {
            out += c;
        }
    }
    out += quote;
    return out;
}

}  // namespace py
