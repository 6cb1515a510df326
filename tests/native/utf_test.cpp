#include "common/utf.h"

#include <gtest/gtest.h>

namespace nelto {
namespace {

TEST(Utf, RoundTripsAndReplacesInvalidInput) {
    const std::string text = "abc 中文 \xF0\x9F\x98\x80";
    EXPECT_EQ(Utf8ToUtf16(text), u"abc 中文 \U0001F600");
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text)), text);
    struct Case { const char* in; std::u16string want; };
    const Case cases[] = {
        {"a\xFFz", u"a\uFFFDz"},          // stray byte
        {"a\xE4\xB8", u"a\uFFFD\uFFFD"},   // truncated sequence
        {"\xC0\xAF", u"\uFFFD\uFFFD"},     // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // surrogate
    };
    for (const Case& c : cases) EXPECT_EQ(Utf8ToUtf16(c.in), c.want) << c.in;
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace nelto
