// Whether two matches are equal: the same-encoding, caseless and
// mixed-encoding rules, with the mixed comparison's slice edges reached
// through small slices.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "plugin/compare/match_equality.h"

namespace qm::plugin {
namespace {

CompareText Bytes(const std::string& text, bool utf8) {
  CompareText t;
  t.text = text.data();
  t.units = text.size();
  t.utf8 = utf8;
  return t;
}

CompareText Units(const std::u16string& text) {
  CompareText t;
  t.text = text.data();
  t.units = text.size();
  t.utf16 = true;
  return t;
}

class MatchText : public ::testing::Test {
 protected:
  void TearDown() override { SetCompareSliceForTesting(0); }

  // Equal for every slice size from 1 to 9 units (and the default).
  bool EqualInAllSlices(const CompareText& a, const CompareText& b) {
    bool first = MatchesEqual(settings_, field_, a, b);
    for (std::size_t slice = 1; slice < 10; ++slice) {
      SetCompareSliceForTesting(slice);
      EXPECT_EQ(MatchesEqual(settings_, field_, a, b), first) << "slice " << slice;
      EXPECT_EQ(MatchesEqual(settings_, field_, b, a), first) << "slice " << slice;
    }
    SetCompareSliceForTesting(0);
    return first;
  }

  PluginSettings settings_;
  FieldDefinition field_;
};

TEST_F(MatchText, MixedEncodingsNeverSplitACharacterAtASliceEdge) {
  const std::u16string wide = u"a\u00E4\u20AC\U0001F600b\U0001F600\u00DF";
  std::string utf8;
  platform::AppendNarrow(platform::kCodePageUtf8, wide.data(), wide.size(), &utf8);
  EXPECT_TRUE(EqualInAllSlices(Bytes(utf8, true), Units(wide)));
  EXPECT_FALSE(EqualInAllSlices(Bytes(utf8.substr(0, utf8.size() - 2), true), Units(wide)));
  EXPECT_FALSE(EqualInAllSlices(Bytes(utf8, true), Units(wide + u"x")));

  // ANSI text in its code page against UTF-16 and UTF-8.
  settings_.ansiCodePage = 1252;
  const std::string ansi = "caf\xE9 \x80 na\xEFve";
  const std::u16string ansiWide = u"caf\u00E9 \u20AC na\u00EFve";
  std::string ansiUtf8;
  platform::AppendNarrow(platform::kCodePageUtf8, ansiWide.data(), ansiWide.size(), &ansiUtf8);
  EXPECT_TRUE(EqualInAllSlices(Bytes(ansi, false), Units(ansiWide)));
  EXPECT_TRUE(EqualInAllSlices(Bytes(ansi, false), Bytes(ansiUtf8, true)));
}

TEST_F(MatchText, MultiByteCodePagesAreCutBetweenCharacters) {
  settings_.ansiCodePage = 932;
  // Double-byte characters whose trail bytes look like ASCII and like lead bytes.
  const std::string sjis = "a\x83\x41\x82\xA0" "b\x95\x5C\x88\x9F";
  std::u16string wide;
  ASSERT_TRUE(platform::AppendWide(932, sjis.data(), sjis.size(), &wide));
  ASSERT_EQ(wide.size(), 6u);
  EXPECT_TRUE(EqualInAllSlices(Bytes(sjis, false), Units(wide)));
}

TEST_F(MatchText, MalformedUtf8FollowsTheReplacementRule) {
  // Invalid bytes become U+FFFD and the comparison goes on.
  const std::string bad = "ok\xFF" "fine\xC3";
  EXPECT_TRUE(EqualInAllSlices(Bytes(bad, true), Units(u"ok\uFFFDfine\uFFFD")));
  EXPECT_FALSE(EqualInAllSlices(Bytes(bad, true), Units(u"ok\uFFFDfinE\uFFFD")));
  EXPECT_FALSE(EqualInAllSlices(Bytes(bad, true), Units(u"okfine")));
  // A long run of continuation bytes has no character boundary near a slice end.
  const std::string run(40, '\x80');
  EXPECT_TRUE(EqualInAllSlices(Bytes(run, true), Units(std::u16string(40, u'\uFFFD'))));
}

TEST_F(MatchText, SameEncodingRules) {
  // ANSI matches of different lengths differ even without regard to case.
  field_.compareCaseInsensitive = true;
  EXPECT_FALSE(MatchesEqual(settings_, field_, Bytes("abc", false), Bytes("ABCD", false)));
  EXPECT_TRUE(MatchesEqual(settings_, field_, Bytes("abc", false), Bytes("ABC", false)));
  EXPECT_TRUE(MatchesEqual(settings_, field_, Units(u"\u00C4x"), Units(u"\u00E4X")));
  EXPECT_TRUE(MatchesEqual(settings_, field_, Bytes("\xC3\x84x", true), Bytes("\xC3\xA4X", true)));
  field_.compareCaseInsensitive = false;
  EXPECT_FALSE(MatchesEqual(settings_, field_, Bytes("abc", false), Bytes("ABC", false)));
  // An empty match equals only an empty match.
  EXPECT_TRUE(MatchesEqual(settings_, field_, Bytes("", true), Units(u"")));
  EXPECT_FALSE(MatchesEqual(settings_, field_, Bytes("", false), Bytes("a", false)));
  EXPECT_FALSE(MatchesEqual(settings_, field_, Units(u"a"), Bytes("", true)));
}

}  // namespace
}  // namespace qm::plugin
