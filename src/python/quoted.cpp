#include "python/quoted.h"

namespace py {

namespace {

// Appends the escaped bytes; `quote` (when not NUL) is escaped as well.
void append_escaped(std::string& out, std::string_view bytes, char quote) {
    static constexpr char hex[] = "0123456789abcdef";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if ((quote != '\0' && c == quote) || c == '\\') {
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
}

}  // namespace

std::string quoted(std::string_view bytes) {
    // Single quotes, unless that would need escaping and double quotes would not.
    const bool double_quoted = bytes.find('\'') != std::string_view::npos && bytes.find('"') == std::string_view::npos;
    const char quote = double_quoted ? '"' : '\'';
    std::string out;
    out.reserve(bytes.size() + 2);
    out += quote;
    append_escaped(out, bytes, quote);
    out += quote;
    return out;
}

std::string escaped(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    append_escaped(out, bytes, '\0');
    return out;
}

}  // namespace py
