// Untrusted text, as a line shows it.
#include "shown_text.hpp"

#include <gtest/gtest.h>
#include <string>

struct Shown {
    std::string text;
    size_t most;
    bool utf8;
    std::string shown;
};

TEST(ShownText, NothingATerminalWouldObeyAndNoMoreThanAsked) {
    const Shown cases[] = {
        {"k\nklient: fake\x1b[2J", 64, false, "k\\x0aklient: fake\\x1b[2J"},
        {"zażółć", 64, true, "zażółć"}, // a student's Polish letters
        {"zażółć", 64, false, "za\\xc5\\xbc\\xc3\\xb3\\xc5\\x82\\xc4\\x87"},
        {"\xc2\x9b"
         "2J \x1b[2J",
         64, true, "\\xc2\\x9b2J \\x1b[2J"}, // CSI in UTF-8, and in ASCII
        {"\xff\xc0\xaf\xed\xa0\x80", 64, true, "\\xff\\xc0\\xaf\\xed\\xa0\\x80"}, // malformed
        {"\x7f\t", 64, true, "\\x7f\\x09"},
        {"abcdef", 3, false, "abc..."},
        {"abż", 3, true, "ab..."}, // never half a character
        {"abc", 3, false, "abc"},
    };
    for (const Shown &c : cases) {
        std::string out(shown_room(c.most), '\0');
        out.resize(show_text(out.data(), c.text.data(), c.text.size(), c.most, c.utf8));
        EXPECT_EQ(out, c.shown) << c.text;
    }
    EXPECT_EQ(printable("a\x1b", true), "a\\x1b");
}
