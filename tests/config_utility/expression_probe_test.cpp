// The status verdicts of the three compilations and the match search.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "config_utility/model/expression_probe.h"
#include "config_utility/model/sample_text.h"

namespace qm::utility {
namespace {

const CodePageTables& Tables() {
  static const CodePageTables tables = CodePageTables::For(1252, 437);
  return tables;
}

ProbeOptions Options(bool passThrough = false) {
  ProbeOptions o;
  o.codePage = 1252;
  o.emptyMatchesPassThrough = passThrough;
  return o;
}

ExpressionCheck Check(std::u16string_view expression, ProbeOptions options = Options()) {
  return CheckExpression(expression, options, Tables());
}

// Group-0 spans of every match.
std::vector<std::pair<int, int>> Spans(std::u16string_view expression, std::u16string_view text,
                                       bool passThrough = false) {
  ExpressionProbe probe(&Tables());
  probe.options = Options(passThrough);
  EXPECT_EQ(probe.Compile(expression), 0);
  EXPECT_EQ(probe.ErrorText(), u"");
  probe.Search(text);
  std::vector<std::pair<int, int>> spans;
  for (const MatchRecord& m : probe.Matches()) spans.emplace_back(m[0], m[1]);
  return spans;
}

using Spanned = std::vector<std::pair<int, int>>;

TEST(ExpressionStatus, Texts) {
  EXPECT_EQ(Check(u".*").status, ExpressionStatus::kOk);
  EXPECT_EQ(Check(u".*").text, u"OK!");

  const ExpressionCheck empty = Check(u"");
  EXPECT_EQ(empty.status, ExpressionStatus::kWarning);
  EXPECT_EQ(empty.text, u"Empty expression, will be filled with .* when saving");

  const ExpressionCheck lines = Check(u"abc\r\ndef");
  EXPECT_EQ(lines.status, ExpressionStatus::kWarning);
  EXPECT_EQ(lines.text, u"OK, but newlines / line breaks in expression!");
  EXPECT_EQ(Check(u"abc\ndef").status, ExpressionStatus::kWarning);
}

TEST(ExpressionStatus, UnclosedParenthesisReportsOneBasedPositionPastTheEnd) {
  const ExpressionCheck check = Check(u"(abc");
  EXPECT_EQ(check.status, ExpressionStatus::kError);
  EXPECT_EQ(check.text, u"missing ) at pos 5");
  EXPECT_EQ(check.errorOffset, 4);
}

TEST(ExpressionStatus, CodePointBeyondTheCodePageFailsOnlyInTheAnsiForm) {
  const ExpressionCheck check = Check(u"\\x{100}");
  EXPECT_EQ(check.status, ExpressionStatus::kError);
  EXPECT_EQ(check.text.rfind(u"ANSI: ", 0), 0u);
  const std::u16string suffix = u" - try prefix (*UTF) !";
  ASSERT_GT(check.text.size(), suffix.size());
  EXPECT_EQ(check.text.substr(check.text.size() - suffix.size()), suffix);
  EXPECT_NE(check.text.find(u" at pos "), std::u16string::npos);
  // With the expression's own UTF switch the ANSI form compiles too.
  EXPECT_EQ(Check(u"(*UTF)\\x{100}").status, ExpressionStatus::kOk);
}

TEST(ExpressionStatus, TheUtf8FormDecidesWhenSeveralFormsFail) {
  EXPECT_EQ(Check(u"\\x{100}(").text.rfind(u"ANSI", 0), std::u16string::npos);
}

TEST(ExpressionStatus, UnicodePropertiesCanBeSwitchedOff) {
  ProbeOptions noUcp = Options();
  noUcp.useUnicodeProperties = false;
  EXPECT_EQ(Check(u"\\p{Lu}", noUcp).status, ExpressionStatus::kOk);
}

TEST(ExpressionProbe, NewlineConventionAndCaptureCount) {
  ExpressionProbe probe(&Tables());
  probe.options = Options();
  probe.Compile(u"(a)(b)?");
  EXPECT_EQ(probe.CaptureCount(), 2);
  EXPECT_TRUE(probe.CrLfNewline());
  EXPECT_EQ(probe.NewlineBits(), 0x500000u);
  probe.Compile(u"(*LF)a");
  EXPECT_FALSE(probe.CrLfNewline());
  EXPECT_EQ(probe.ExecOptions(), 0x200000 | 0x2000);
}

TEST(ExpressionProbe, MatchAllOverTheSampleGivesOneMatchPerLine) {
  EXPECT_EQ(kSampleTestText.size(), 214u);
  EXPECT_EQ(Spans(u".*", kSampleTestText),
            (Spanned{{0, 44}, {46, 72}, {74, 127}, {129, 193}, {195, 214}}));
}

TEST(ExpressionProbe, PassThroughAddsTheEmptyMatchesBeforeEachLineBreakAndAtTheEnd) {
  EXPECT_EQ(Spans(u".*", kSampleTestText, true),
            (Spanned{{0, 44}, {44, 44}, {46, 72}, {72, 72}, {74, 127}, {127, 127}, {129, 193},
                     {193, 193}, {195, 214}, {214, 214}}));
}

TEST(ExpressionProbe, EmptyText) {
  EXPECT_TRUE(Spans(u".*", u"").empty());
  EXPECT_EQ(Spans(u".*", u"", true), (Spanned{{0, 0}}));
}

TEST(ExpressionProbe, EmptyMatchesStepOverCrLfPairsAndSurrogatePairs) {
  EXPECT_EQ(Spans(u"x*", u"a\r\nb", true), (Spanned{{0, 0}, {1, 1}, {3, 3}, {4, 4}}));
  EXPECT_EQ(Spans(u"(*LF)x*", u"a\r\nb", true),
            (Spanned{{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}}));
  EXPECT_EQ(Spans(u"x*", u"\U0001F600", true), (Spanned{{0, 0}, {2, 2}}));
}

TEST(ExpressionProbe, AnEmptyMatchGivesWayToANonEmptyOneAtTheSamePlace) {
  // "a??" first matches empty at 0; the retry at 0 finds "a".
  EXPECT_EQ(Spans(u"a??", u"aa"), (Spanned{{0, 1}, {1, 2}}));
}

TEST(ExpressionProbe, CaselessUnlessCaseSensitive) {
  EXPECT_EQ(Spans(u"fox", u"FOX fox").size(), 2u);
  ExpressionProbe probe(&Tables());
  probe.options = Options();
  probe.options.caseSensitive = true;
  probe.Compile(u"fox");
  probe.Search(u"FOX fox");
  ASSERT_EQ(probe.Matches().size(), 1u);
  EXPECT_EQ(probe.Matches()[0][0], 4);
}

TEST(ExpressionProbe, GroupsThatTookNoPartAreMinusOne) {
  ExpressionProbe probe(&Tables());
  probe.options = Options();
  probe.Compile(u"(a)|(b)");
  probe.Search(u"b");
  ASSERT_EQ(probe.Matches().size(), 1u);
  const MatchRecord& m = probe.Matches()[0];
  EXPECT_EQ(m[2], -1);
  EXPECT_EQ(m[3], -1);
  EXPECT_EQ(m[4], 0);
  EXPECT_EQ(m[5], 1);
}

TEST(ExpressionProbe, LoneSurrogatesAreSearchedSafely) {
  const std::u16string text = {u'a', char16_t(0xD800), u'b', char16_t(0xDC00)};
  EXPECT_EQ(Spans(u".", text).size(), 4u);
  // In the ANSI form the unmappable unit becomes the default character "?".
  EXPECT_EQ(Check(std::u16string{u'a', char16_t(0xDC00)}).status, ExpressionStatus::kOk);
}

#ifndef _WIN32
// The native PCRE recurses on the machine stack (the Windows build's on the
// heap, where PCRE's own match limit ends such a search).
TEST(ExpressionProbe, DeepBacktrackingEndsTheSearchInsteadOfCrashing) {
  // Each repetition of the group is one level of PCRE's recursion.
  const std::u16string text(100000, u'a');
  const auto spans = Spans(u"(a|b)*c", text);
  EXPECT_TRUE(spans.empty());
}
#endif

TEST(ExpressionProbe, SearchBeforeCompileFindsNothing) {
  ExpressionProbe probe(&Tables());
  probe.Search(u"text");
  EXPECT_TRUE(probe.Matches().empty());
  probe.Compile(u"(");
  probe.Search(u"text");
  EXPECT_TRUE(probe.Matches().empty());
  EXPECT_FALSE(probe.IsCompiled());
}

}  // namespace
}  // namespace qm::utility
