// Text from outside (the line, a typed command, a stored file, the
// parameter file) as the logger and its tools show and write it: never as a
// control sequence for a terminal, and as valid UTF-8 where another program
// parses it.
#include <string>
#include <string_view>

#include "formats/formats.h"

namespace {

constexpr unsigned char ESC = 0x1B;
constexpr unsigned char DEL = 0x7F;

// The length of the valid UTF-8 sequence at s[i] (1 to 4), or 0 when the
// bytes there are none: overlong forms, surrogates and code points past
// U+10FFFF are not valid.
size_t utf8_length(std::string_view s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return 1;
    size_t n;
    unsigned min_second = 0x80, max_second = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) min_second = 0xA0;  // overlong
        if (c == 0xED) max_second = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) min_second = 0x90;  // overlong
        if (c == 0xF4) max_second = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; k++) {
        unsigned char b = static_cast<unsigned char>(s[i + k]);
        unsigned lo = k == 1 ? min_second : 0x80, hi = k == 1 ? max_second : 0xBF;
        if (b < lo || b > hi) return 0;
    }
    return n;
}

// A C0 control (and DEL) in caret notation, as cat -v shows it: "^[".
void caret(std::string* out, unsigned char c) {
    *out += '^';
    *out += static_cast<char>(c ^ 0x40);
}

bool needs_care(unsigned char c, bool c0_too) {
    return c == ESC || c >= DEL || (c0_too && c < 0x20 && c != '\t' && c != '\n');
}

// Where the first byte that may need showing stands (bytes.size() for none).
size_t first_to_show(std::string_view bytes, bool c0_too) {
    size_t first = 0;
    while (first < bytes.size() && !needs_care(static_cast<unsigned char>(bytes[first]), c0_too)) first++;
    return first;
}

}  // namespace

bool needs_showing(std::string_view bytes, bool c0_too) {
    size_t first = first_to_show(bytes, c0_too);
    return first < bytes.size() && shown_as_text(bytes.substr(first), c0_too) != bytes.substr(first);
}

std::string shown_as_text(std::string_view bytes, bool c0_too) {
    size_t first = first_to_show(bytes, c0_too);
    if (first == bytes.size()) return std::string(bytes);  // the usual case: nothing to do
    std::string out(bytes.substr(0, first));
    out.reserve(bytes.size() + 16);
    for (size_t i = first; i < bytes.size();) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            if (c == ESC || c == DEL || (c0_too && c < 0x20 && c != '\t' && c != '\n'))
                caret(&out, c);
            else
                out += static_cast<char>(c);
            i++;
            continue;
        }
        size_t n = utf8_length(bytes, i);
        unsigned char second = n == 2 ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        if (n == 2 && c == 0xC2 && second <= 0x9F) {
            out += "M-BM-";  // U+0080 to U+009F, the C1 controls, as cat -v shows their bytes
            caret(&out, second & 0x7F);
        } else if (n > 0) {
            out.append(bytes.substr(i, n));  // a character, é say: as it is
        } else if (c <= 0x9F) {
            out += "M-";  // a lone C1 byte, taken by a terminal as a control
            caret(&out, c & 0x7F);
        } else {
            out += static_cast<char>(c);  // any other stray byte shows as a replacement, never acts
        }
        i += n > 0 ? n : 1;
    }
    return out;
}

bool valid_utf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8_length(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string with_replacement(std::string_view text) {
    if (valid_utf8(text)) return std::string(text);
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8_length(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
            i++;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string label_value(std::string_view raw) {
    std::string out;
    for (char c : with_replacement(raw)) {
        if (c == '\\' || c == '"')
            out += '\\', out += c;
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}
