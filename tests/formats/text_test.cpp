// Text from outside as it may reach a terminal, and as other programs
// parse it.
#include <gtest/gtest.h>

#include "formats/formats.h"

TEST(TextTest, NothingReachesATerminalAsAControl) {
    struct Case {
        const char* what;
        std::string in;
        bool c0_too;
        std::string shown;
    } cases[] = {
        {"a packet of printable text, framed", "\x02K01 12.5 \xc3\xa9t\xc3\xa9\x04", false,
         "\x02K01 12.5 \xc3\xa9t\xc3\xa9\x04"},
        {"a title and a cleared screen", "\x1b]0;owned\x07\x1b[2J", false, "^[]0;owned\x07^[[2J"},
        {"DEL", "a\x7f", false, "a^?"},
        {"a lone C1 byte, CSI",
         "\x9b"
         "2J",
         false, "M-^[2J"},
        {"U+009B in UTF-8",
         "\xc2\x9b"
         "2J",
         false, "M-BM-^[2J"},
        {"U+0080 and U+009F", "\xc2\x80\xc2\x9f", false, "M-BM-^@M-BM-^_"},
        {"U+00A0 and others stay", "\xc2\xa0\xe2\x82\xac\xf0\x9f\x98\x80", false,
         "\xc2\xa0\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"U+00DB, its second byte 0x9B", "\xc3\x9b", false, "\xc3\x9b"},
        {"an overlong ESC", "\xc0\x9b", false, "\xc0M-^["},
        {"a stray byte past C1", "\xff\xa0", false, "\xff\xa0"},
        {"C0 in a typed line", "a\tb\x03\n\x1b", true, "a\tb^C\n^["},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(shown_as_text(c.in, c.c0_too), c.shown);
        EXPECT_EQ(needs_showing(c.in, c.c0_too), c.shown != c.in);
    }
}

TEST(TextTest, InvalidUtf8BecomesTheReplacementCharacter) {
    struct Case {
        std::string in;
        bool valid;
        std::string replaced;
    } cases[] = {
        {"WXX \xc3\xa9", true, "WXX \xc3\xa9"},
        {"A\xff"
         "B",
         false,
         "A\xef\xbf\xbd"
         "B"},
        {"\xc3", false, "\xef\xbf\xbd"},                                                  // cut short
        {"\xe0\x80\x80", false, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},                  // overlong
        {"\xed\xa0\x80", false, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},                  // a surrogate
        {"\xf4\x90\x80\x80", false, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // past U+10FFFF
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(valid_utf8(c.in), c.valid);
        EXPECT_EQ(with_replacement(c.in), c.replaced);
    }
}
