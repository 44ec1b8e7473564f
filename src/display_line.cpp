// Showing an input line in a message: see display_line.h.
#include "display_line.h"

namespace {

bool continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 character at the start of `s` (2 to 4
// bytes), or 0 when the bytes there do not form one: a stray continuation
// byte, a sequence cut short, an overlong form, a surrogate or a code point
// beyond U+10FFFF.
std::size_t utf8_length(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    std::size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF; // the allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        if (b0 == 0xE0) lo = 0xA0; // no overlong forms
        if (b0 == 0xED) hi = 0x9F; // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        if (b0 == 0xF0) lo = 0x90; // no overlong forms
        if (b0 == 0xF4) hi = 0x8F; // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (s.size() < n) return 0;
    const auto b1 = static_cast<unsigned char>(s[1]);
    if (b1 < lo || b1 > hi) return 0;
    for (std::size_t i = 2; i < n; ++i) {
        if (!continuation(static_cast<unsigned char>(s[i]))) return 0;
    }
    return n;
}

} // namespace

std::string display_line(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    line = line.substr(0, DISPLAY_BYTES);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < line.size();) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (const std::size_t n = c >= 0x80 ? utf8_length(line.substr(i)) : 0; n != 0) {
            out.append(line.substr(i, n));
            i += n;
            continue;
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
        ++i;
    }
    return out;
}
