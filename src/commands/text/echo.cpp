#include <cstdint>

#include "commands/text/text_commands.h"
#include "commands/util/options.h"

namespace tw {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_octal(char c) { return c >= '0' && c <= '7'; }

}  // namespace

std::string decode_escapes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t backslash = text.find('\\', i);
        if (backslash == std::string_view::npos) {
            out.append(text.substr(i));
            break;
        }
        out.append(text.substr(i, backslash - i));
        i = backslash + 1;
        if (i >= text.size()) {
            out += '\\';
            break;
        }
        const char c = text[i];
        switch (c) {
        case '\\': out += '\\'; ++i; continue;
        case 'a': out += '\a'; ++i; continue;
        case 'b': out += '\b'; ++i; continue;
        case 'e': out += '\x1b'; ++i; continue;
        case 'f': out += '\f'; ++i; continue;
        case 'n': out += '\n'; ++i; continue;
        case 'r': out += '\r'; ++i; continue;
        case 't': out += '\t'; ++i; continue;
        case 'v': out += '\v'; ++i; continue;
        default: break;
        }
        if (c == 'x') {
            std::uint32_t code = 0;
            std::size_t j = i + 1;
            while (j < text.size() && j < i + 3 && hex_value(text[j]) >= 0) code = code * 16 + hex_value(text[j++]);
            if (j == i + 1) {
                out += "\\x";
                ++i;
            } else {
                out += static_cast<char>(code);
                i = j;
            }
            continue;
        }
        if (is_octal(c)) {
            std::uint32_t code = 0;
            std::size_t j = i;
            while (j < text.size() && j < i + 3 && is_octal(text[j])) code = code * 8 + (text[j++] - '0');
            if (code <= 255) out += static_cast<char>(code);
            i = j;
            continue;
        }
        // Any other character: the backslash stays; the character is copied by the next round.
        out += '\\';
    }
    return out;
}

std::int32_t echo_command(NativeInvocation& invocation, CommandIo& io) {
    const auto args = invocation.args;
    bool newline = true;
    bool escapes = false;
    std::size_t first = 0;
    for (; first < args.size(); ++first) {
        const std::string& a = args[first];
        if (a == "-n") newline = false;
        else if (a == "-e") escapes = true;
        else if (a == "-E") escapes = false;
        else if (a == "-ne" || a == "-en") {
            newline = false;
            escapes = true;
        } else break;
    }
    const std::size_t start = io.out.size();
    for (std::size_t i = first; i < args.size(); ++i) {
        if (i > first) io.out += ' ';
        io.out += args[i];
    }
    if (escapes) {
        std::string decoded = decode_escapes(std::string_view(io.out).substr(start));
        io.out.replace(start, std::string::npos, decoded);
    }
    if (newline) io.out += '\n';
    return 0;
}

}  // namespace tw
