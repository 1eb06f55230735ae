#include "base/json_text.h"

namespace tw {

void append_json_quoted(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    const char* p = text.data();
    const char* end = p + text.size();
    while (p != end) {
        const char* run = p;
        while (p != end) {
            const auto c = static_cast<unsigned char>(*p);
            if (c == '"' || c == '\\' || c < 0x20) break;
            ++p;
        }
        out.append(run, static_cast<std::size_t>(p - run));
        if (p == end) break;
        const auto c = static_cast<unsigned char>(*p++);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        default:
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    out += '"';
}

}  // namespace tw
