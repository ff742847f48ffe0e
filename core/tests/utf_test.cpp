#include <gtest/gtest.h>

#include "text/utf.hpp"

namespace kestrune {
namespace {

TEST(Utf, Utf16ToUtf8ReplacesUnpairedSurrogates) {
    struct Case {
        std::u16string in;
        std::string out;
    };
    const Case cases[] = {
        {u"plain", "plain"},
        {u"\u2014", "\xE2\x80\x94"},
        {u"\U0001F3A4", "\xF0\x9F\x8E\xA4"},
        {std::u16string{0xD800}, "\xEF\xBF\xBD"},
        {std::u16string{u'a', 0xDC00, u'b'}, "a\xEF\xBF\xBD" "b"},
        {std::u16string{0xD83C, u'x'}, "\xEF\xBF\xBDx"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        EXPECT_EQ(utf16_to_utf8(c.in), c.out);
    }
}

TEST(Utf, IllFormedUtf8BecomesReplacementWithoutEatingValidText) {
    struct Case {
        std::string in;
        std::string sanitized;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"ok \xE2\x80\x94", "ok \xE2\x80\x94", u"ok \u2014"},
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b", u"a\uFFFDb"},
        {"\xE2\x80" "x", "\xEF\xBF\xBDx", u"\uFFFDx"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", u"\uFFFD\uFFFD\uFFFD"},
        {"\xEF\xBF\xBD", "\xEF\xBF\xBD", u"\uFFFD"},
        {"\xF0\x9F\x8E\xA4", "\xF0\x9F\x8E\xA4", u"\U0001F3A4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sanitized);
        EXPECT_EQ(sanitize_utf8(c.in), c.sanitized);
        EXPECT_EQ(utf8_to_utf16(c.in), c.utf16);
    }
}

}  // namespace
}  // namespace kestrune
