// Names between UTF-16 and WTF-8: every name the disk can hold comes back
// exactly, lone surrogates included.
#include "Wtf8.h"

#include <gtest/gtest.h>

namespace {

TEST(Wtf8, EveryUtf16NameRoundTrips) {
    const struct {
        std::u16string utf16;
        std::string wtf8;
    } cases[] = {
        {u"", ""},
        {u"local.cf", "local.cf"},
        {u"\u03A9mega", "\xCE\xA9mega"},
        {u"\u65E5\u672C\u8A9E.cf", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.cf"},
        {u"smile-\U0001F600", "smile-\xF0\x9F\x98\x80"},
        {u"\xD800x", "\xED\xA0\x80x"},    // a lone high surrogate
        {u"x\xDFFF", "x\xED\xBF\xBF"},    // a lone low surrogate
        {u"\xDC00\xD800", "\xED\xB0\x80\xED\xA0\x80"},  // reversed: two lone ones
    };
    for (auto &c : cases) {
        EXPECT_EQ(Wtf8FromUtf16(c.utf16.data(), c.utf16.size()), c.wtf8) << c.wtf8;
        EXPECT_TRUE(Utf16FromWtf8(c.wtf8.c_str()) == c.utf16) << c.wtf8;
    }
    // Bytes no conversion produces reach no name: each becomes U+FFFD.
    for (const char *bad : {"\xFF", "\xC0\x80", "\xE0\x80\x80", "\xF4\x90\x80\x80", "\xCE"}) {
        std::u16string got = Utf16FromWtf8(bad);
        EXPECT_TRUE(!got.empty() && got.find_first_not_of(u'\uFFFD') == std::u16string::npos) << bad;
    }
}

}  // namespace
