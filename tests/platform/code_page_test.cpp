// Code-page conversions both ways, the step back over multi-byte
// characters and the code-page test hook.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace qm::platform {
namespace {

std::u16string Wide(std::uint32_t codePage, const std::string& bytes) {
  std::u16string out;
  EXPECT_TRUE(AppendWide(codePage, bytes.data(), bytes.size(), &out)) << codePage;
  return out;
}

std::string Narrow(std::uint32_t codePage, const std::u16string& units) {
  std::string out;
  EXPECT_TRUE(AppendNarrow(codePage, units.data(), units.size(), &out)) << codePage;
  return out;
}

struct RoundTrip {
  std::uint32_t codePage;
  std::string bytes;
  std::u16string units;
};

TEST(CodePages, MappableTextConvertsBothWays) {
  const RoundTrip cases[] = {
      {1252, "\x80 caf\xE9 \x9F", u"\u20AC caf\u00E9 \u0178"},
      {437, "\x82\x90\xB0\xE1", u"\u00E9\u00C9\u2591\u00DF"},
      {932, "a\x82\xA0" "b\x93\xFA\xB1", u"a\u3042b\u65E5\uFF71"},
      {932, "\x83\x5C", u"\u30BD"},  // trail byte in the ASCII range
      {65001, "\xE2\x82\xAC\xF0\x9F\x98\x80", u"\u20AC\U0001F600"},
  };
  for (const RoundTrip& c : cases) {
    EXPECT_EQ(Wide(c.codePage, c.bytes), c.units) << c.codePage;
    EXPECT_EQ(Narrow(c.codePage, c.units), c.bytes) << c.codePage;
  }
}

// The POSIX backend's replacement rules. The Windows backend follows the
// system's tables instead (best-fit characters, a default Unicode character
// per code page), which its own tests cover.
#ifndef _WIN32
TEST(CodePages, UnmappableCharactersBecomeTheDefaultCharacter) {
  for (const std::uint32_t codePage : {1252u, 437u, 932u}) {
    const std::string d(1, DefaultCharacter(codePage));
    EXPECT_EQ(d, "?");
    EXPECT_EQ(Narrow(codePage, u"x\u0101y"), "x" + d + "y") << codePage;  // a with macron
    // A surrogate pair is one character: one default character.
    EXPECT_EQ(Narrow(codePage, u"x\U0001F600y"), "x" + d + "y") << codePage;
    // A lone surrogate is not a character of any code page; what follows it survives.
    EXPECT_EQ(Narrow(codePage, std::u16string(u"x") + char16_t(0xD83D) + u"y"), "x" + d + "y")
        << codePage;
    EXPECT_EQ(Narrow(codePage, std::u16string(u"x") + char16_t(0xDE00) + u"y"), "x" + d + "y")
        << codePage;
    EXPECT_EQ(Narrow(codePage, std::u16string(u"x") + char16_t(0xD83D)), "x" + d) << codePage;
  }
  EXPECT_EQ(Narrow(1252, u"\u65E5\u672C"), "??");
  // UTF-8 holds every character; a lone surrogate becomes U+FFFD.
  EXPECT_EQ(Narrow(65001, std::u16string(u"a") + char16_t(0xDC00) + u"b"), "a\xEF\xBF\xBD" "b");
}

TEST(CodePages, InvalidBytesBecomeReplacementCharacters) {
  EXPECT_EQ(Wide(65001, "a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(Wide(65001, "a\xC3"), u"a\uFFFD");            // cut sequence at the end
  EXPECT_EQ(Wide(65001, "\xED\xA0\x80x"), u"\uFFFDx");    // encoded surrogate
  EXPECT_EQ(Wide(932, "a\x82"), u"a\uFFFD");             // lead byte without trail
  EXPECT_EQ(Wide(932, "\xFF" "b"), u"\uFFFDb");           // no character in 932
  EXPECT_EQ(Wide(1252, "\x81x").substr(1), u"x");         // undefined byte, then text
  EXPECT_EQ(Wide(1252, "\x81x").size(), 2u);
}
#endif  // _WIN32

TEST(CodePages, EmptyInputAppendsNothingAndUnknownCodePagesFail) {
  std::u16string wide = u"kept";
  EXPECT_TRUE(AppendWide(1252, nullptr, 0, &wide));
  EXPECT_TRUE(AppendWide(932, "", 0, &wide));
  EXPECT_EQ(wide, u"kept");
  EXPECT_FALSE(AppendWide(12345, "abc", 3, &wide));
  EXPECT_EQ(wide, u"kept");
  std::string narrow = "kept";
  EXPECT_TRUE(AppendNarrow(65001, u"", 0, &narrow));
  EXPECT_FALSE(AppendNarrow(12345, u"abc", 3, &narrow));
  EXPECT_EQ(narrow, "kept");
}

TEST(CodePages, MultiByteCodePagesAreKnown) {
  EXPECT_TRUE(IsMultiByteCodePage(932));
  EXPECT_TRUE(IsMultiByteCodePage(65001));
  EXPECT_FALSE(IsMultiByteCodePage(1252));
  EXPECT_FALSE(IsMultiByteCodePage(437));
}

TEST(PreviousCharStart, Utf8StepsOverContinuationBytes) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  EXPECT_EQ(PreviousCharStart(65001, text.data(), 0), 0u);
  EXPECT_EQ(PreviousCharStart(65001, text.data(), 1), 0u);
  EXPECT_EQ(PreviousCharStart(65001, text.data(), 3), 1u);
  EXPECT_EQ(PreviousCharStart(65001, text.data(), 6), 3u);
  EXPECT_EQ(PreviousCharStart(65001, text.data(), 10), 6u);
  // Inside a character: back to its start.
  EXPECT_EQ(PreviousCharStart(65001, text.data(), 9), 6u);
}

TEST(PreviousCharStart, ShiftJisKnowsLeadBytesAndTrailBytesInAsciiRange) {
  const std::string text = "a\x82\xA0" "b\x83\x5C\xB1";  // a, hiragana A, b, katakana SO, half-width A
  EXPECT_EQ(PreviousCharStart(932, text.data(), 1), 0u);
  EXPECT_EQ(PreviousCharStart(932, text.data(), 3), 1u);
  EXPECT_EQ(PreviousCharStart(932, text.data(), 4), 3u);
  EXPECT_EQ(PreviousCharStart(932, text.data(), 6), 4u);  // 0x5C is a trail byte here
  EXPECT_EQ(PreviousCharStart(932, text.data(), 7), 6u);  // single-byte katakana
  EXPECT_EQ(PreviousCharStart(1252, text.data(), 6), 5u);
  EXPECT_EQ(PreviousCharStart(437, text.data(), 0), 0u);
}

TEST(CodePages, TestHookSelectsCodePagesAndZeroRestores) {
  const std::uint32_t ansi = AnsiCodePage();
  const std::uint32_t oem = OemCodePage();
  SetCodePagesForTesting(932, 850);
  EXPECT_EQ(AnsiCodePage(), 932u);
  EXPECT_EQ(OemCodePage(), 850u);
  SetCodePagesForTesting(0, 0);
  EXPECT_EQ(AnsiCodePage(), ansi);
  EXPECT_EQ(OemCodePage(), oem);
#ifndef _WIN32
  EXPECT_EQ(oem, 437u);
#endif
}

}  // namespace
}  // namespace qm::platform
