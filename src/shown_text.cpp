// Untrusted text, escaped.
#include "shown_text.hpp"

// The length of the well-formed UTF-8 sequence of a character other than a
// control character at the start of text (at most left bytes), or 0.
static size_t utf8_length(const unsigned char *text, size_t left) {
    unsigned char lead = text[0];
    size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || length > left)
        return 0;
    for (size_t i = 1; i < length; i++)
        if (text[i] < 0x80 || text[i] > 0xBF)
            return 0;
    unsigned char second = text[1];
    bool control = lead == 0xC2 && second <= 0x9F; // U+0080 to U+009F
    bool overlong = (lead == 0xE0 && second < 0xA0) || (lead == 0xF0 && second < 0x90);
    // Surrogates, and past U+10FFFF.
    bool outside = (lead == 0xED && second >= 0xA0) || (lead == 0xF4 && second >= 0x90);
    return control || overlong || outside ? 0 : length;
}

size_t show_text(char *out, const char *text, size_t length, size_t most, bool utf8) {
    static const char HEX[] = "0123456789abcdef";
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    size_t shown = 0, at = 0;
    while (at < length) {
        size_t whole = utf8 ? utf8_length(bytes + at, length - at) : 0;
        size_t step = whole > 0 ? whole : 1;
        if (at + step > most)
            break;
        if (whole > 0) {
            for (size_t i = 0; i < whole; i++)
                out[shown++] = text[at + i];
        } else if (bytes[at] >= 0x20 && bytes[at] < 0x7f) {
            out[shown++] = text[at];
        } else {
            out[shown++] = '\\';
            out[shown++] = 'x';
            out[shown++] = HEX[bytes[at] >> 4];
            out[shown++] = HEX[bytes[at] & 0xF];
        }
        at += step;
    }
    for (size_t i = 0; at < length && i < 3; i++)
        out[shown++] = '.';
    return shown;
}

std::string printable(const std::string &text, bool utf8) {
    std::string shown(shown_room(text.size()), '\0');
    shown.resize(show_text(shown.data(), text.data(), text.size(), text.size(), utf8));
    return shown;
}
