// Replace templates: what the compiler makes of tricky text, and what the
// expansion writes for every kind of reference in the three text forms.
#include "plugin/evaluation/replace_template.h"

#include <gtest/gtest.h>
#include <pcre.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace qm::plugin {
namespace {

namespace op = template_op;

// Compiles the pattern as 8-bit (UTF-8 when utf8) and runs it once over the
// subject from `from`, leaving the output vector in state.matchVector.
// Returns the capture count, or -1 when nothing matched.
int Exec8(const char* pattern, const std::string& subject, EvaluationState& state, bool utf8,
          int from = 0) {
  const char* error = nullptr;
  int errorOffset = 0;
  pcre* code = pcre_compile(pattern, utf8 ? PCRE_UTF8 : 0, &error, &errorOffset, nullptr);
  if (code == nullptr) return -1;
  int captures = 0;
  pcre_fullinfo(code, nullptr, PCRE_INFO_CAPTURECOUNT, &captures);
  const int rc = pcre_exec(code, nullptr, subject.data(), static_cast<int>(subject.size()), from,
                           0, state.matchVector, kMatchVectorSize);
  pcre_free(code);
  return rc > 0 ? captures : -1;
}

FieldDefinition Compiled(std::u16string_view text, int captureCount = 9) {
  FieldDefinition field;
  field.type = FieldType::StringOutput;
  field.captureCount = captureCount;
  CompileReplaceTemplate(text, field);
  return field;
}

EvaluationState Utf8State(std::uint64_t contentSize = 100) {
  EvaluationState state;
  state.isUtf8 = true;
  state.outputLimit = 1023;
  state.matchCount = 1;
  state.offsetDigits = OffsetDigitsFor(contentSize);
  return state;
}

// Expands a template for the first match of pattern in UTF-8 subject.
std::u16string ExpandUtf8(std::u16string_view tmpl, const char* pattern, const std::string& subject,
                          EvaluationState& state) {
  const int captures = Exec8(pattern, subject, state, true);
  EXPECT_GE(captures, 0) << pattern;
  FieldDefinition field = Compiled(tmpl, captures);
  ExpandReplaceTemplate(field, subject.data(), subject.size(), state, PluginSettings());
  std::u16string out;
  out.swap(state.outputText);
  return out;
}

std::u16string ExpandUtf8(std::u16string_view tmpl, const char* pattern,
                          const std::string& subject) {
  EvaluationState state = Utf8State();
  return ExpandUtf8(tmpl, pattern, subject, state);
}

// ---------------------------------------------------------------------------
// Compiler
// ---------------------------------------------------------------------------
struct CompileCase {
  std::u16string_view text;
  std::vector<TemplateOp> ops;
  std::vector<std::u16string> pieces;
};

TEST(CompileReplaceTemplate, ScanningRulesAndCaretEscapes) {
  const TemplateOp lit = op::kLiteral;
  const CompileCase cases[] = {
      {u"$0\\x20", {~0, 0x20}, {}},
      {u"$08", {~8}, {}},
      {u"$218", {~21, lit}, {u"8"}},
      {u"$99$1", {~99, ~1}, {}},
      {u"$1^8", {~1, lit}, {u"8"}},
      {u"$1^^8", {~1, lit}, {u"^^8"}},
      {u"^^$8", {lit}, {u"^$8"}},
      {u"^$1", {lit}, {u"$1"}},
      {u"a^\\x41b", {lit}, {u"a\\x41b"}},
      {u"^\\xM1", {lit}, {u"\\xM1"}},
      {u"^\\xNn", {lit}, {u"\\xNn"}},
      {u"\\xa", {lit}, {u"\\xa"}},
      {u"\\xaz", {lit}, {u"\\xaz"}},
      {u"\\xn1", {lit}, {u"\\xn1"}},
      {u"\\xNx", {lit}, {u"\\xNx"}},
      {u"\\XAf", {0xAF}, {}},
      {u"$", {lit}, {u"$"}},
      {u"$$1$", {lit, ~1, lit}, {u"$", u"$"}},
      {u"$1^", {~1, lit}, {u"^"}},
      {u"", {}, {}},
      {u"x\\xNn\\xNN", {lit, op::kFileName, op::kFullFileName}, {u"x"}},
      {u"\\xO0\\xO9\\xo0\\xo9",
       {op::kHexOffsetAuto, op::kHexOffset + 8, op::kDecOffsetAuto, op::kDecOffset + 8},
       {}},
      {u"\\xM0\\xm9", {op::kResultFrom0, op::kResultFrom1 + 9}, {}},
      {u"a$1b$2c", {lit, ~1, lit, ~2, lit}, {u"a", u"b", u"c"}},
  };
  for (const CompileCase& c : cases) {
    const FieldDefinition field = Compiled(c.text);
    EXPECT_EQ(field.templateOps, c.ops) << ::testing::PrintToString(std::u16string(c.text));
    EXPECT_EQ(field.literalPieces, c.pieces) << ::testing::PrintToString(std::u16string(c.text));
    EXPECT_FALSE(field.templateUsesLineNumbers) << ::testing::PrintToString(std::u16string(c.text));
  }
}

TEST(CompileReplaceTemplate, LineReferenceSetsTheFlagAndRecompileReplaces) {
  FieldDefinition field = Compiled(u"\\xL0-\\xl4");
  EXPECT_EQ(field.templateOps,
            (std::vector<TemplateOp>{op::kLineStart, op::kLiteral, op::kLineEnd + 4}));
  EXPECT_TRUE(field.templateUsesLineNumbers);

  // A caret-escaped line reference is text, and does not set the flag.
  CompileReplaceTemplate(u"^\\xL1", field);
  EXPECT_EQ(field.templateOps, std::vector<TemplateOp>{op::kLiteral});
  EXPECT_EQ(field.literalPieces, std::vector<std::u16string>{u"\\xL1"});
  EXPECT_FALSE(field.templateUsesLineNumbers);
}

// ---------------------------------------------------------------------------
// Expansion: references
// ---------------------------------------------------------------------------
TEST(ExpandReplaceTemplate, OffsetAtByte2806WithFixedWidths) {
  std::string subject(2806, '.');
  subject += "needle";
  EvaluationState state = Utf8State(subject.size());
  EXPECT_EQ(ExpandUtf8(u"Offset 0x\\xO4(\\xo3): $0", "needle", subject, state),
            u"Offset 0x00000AF6(002806): needle");
}

TEST(ExpandReplaceTemplate, OffsetCountsTheChunkStart) {
  // The same match found in a chunk that starts at byte 2800.
  EvaluationState state = Utf8State();
  state.startOffset = 2800;
  EXPECT_EQ(ExpandUtf8(u"\\xo3", "needle", "......needle", state), u"002806");
}

TEST(ExpandReplaceTemplate, AutomaticOffsetWidthFollowsTheContentSize) {
  // 70,000 is 11170 in hexadecimal: five digits, padded to an even six.
  std::string subject(70000, '.');
  subject.replace(0x1234, 3, "abc");
  EvaluationState state = Utf8State(subject.size());
  EXPECT_EQ(ExpandUtf8(u"\\xO0 \\xo0", "abc", subject, state), u"001234 04660");
  // A tiny content still gets two hexadecimal digits and one decimal digit.
  EvaluationState tiny = Utf8State(2);
  EXPECT_EQ(ExpandUtf8(u"\\xO0 \\xo0", "b", "ab", tiny), u"01 1");
}

TEST(ExpandReplaceTemplate, ResultCountersForTheNinthResult) {
  EvaluationState state = Utf8State();
  state.matchCount = 9;
  EXPECT_EQ(ExpandUtf8(u"$1\\xm6--$0\\xM1", "(g)rp", "a grp", state), u"g0000009--grp08");
  EXPECT_EQ(ExpandUtf8(u"\\xm0 \\xM0", "r", "grp", state), u"9 8");
}

TEST(ExpandReplaceTemplate, FileNameWithAndWithoutFolder) {
  EvaluationState state = Utf8State();
  // A backslash separates only where the system says so: on POSIX it is an
  // ordinary character of a name.
  state.fileName = u"C:\\dir1\\testfile.txt";
  EXPECT_EQ(ExpandUtf8(u"\\xNn|\\xNN", "x", "x", state),
            (platform::kPathSeparator == u'\\' ? u"testfile.txt" : u"C:\\dir1\\testfile.txt") +
                std::u16string(u"|C:\\dir1\\testfile.txt"));
  state.fileName = u"/home/dir1/testfile.txt";
  EXPECT_EQ(ExpandUtf8(u"\\xNn", "x", "x", state), u"testfile.txt");
  state.fileName = u"bare";
  EXPECT_EQ(ExpandUtf8(u"\\xNn", "x", "x", state), u"bare");
}

TEST(ExpandReplaceTemplate, LineNumbersOfMatchStartAndEnd) {
  // Lines 1 to 5; line ends at 1, 3, 5, 7.
  const std::string subject = "a\nb\nc\nd\ne";
  EvaluationState state = Utf8State();
  state.lineEnds = std::make_unique<std::vector<std::int32_t>>(std::vector<std::int32_t>{1, 3, 5, 7});
  EXPECT_EQ(ExpandUtf8(u"\\xL0-\\xl4", "(?s)a.*e", subject, state), u"1-0005");

  // Without a line index the references write nothing.
  EXPECT_EQ(ExpandUtf8(u"[\\xL0-\\xl4]", "(?s)a.*e", subject), u"[-]");
}

TEST(ExpandReplaceTemplate, GroupsThatDidNotTakePartOrDoNotExist) {
  EXPECT_EQ(ExpandUtf8(u"$1-$2", "(a)|(b)", "a"), u"a-");
  EXPECT_EQ(ExpandUtf8(u"<$3$12>", "(a)", "a"), u"<>");

  // A group above the capture count writes nothing even when the vector
  // holds something in its place.
  EvaluationState state = Utf8State();
  const std::string subject = "abc";
  Exec8("(a)", subject, state, true);
  state.matchVector[4] = 0;
  state.matchVector[5] = 3;
  const FieldDefinition field = Compiled(u"$1$2", 1);
  ExpandReplaceTemplate(field, subject.data(), subject.size(), state, PluginSettings());
  EXPECT_EQ(state.outputText, u"a");
}

TEST(ExpandReplaceTemplate, LiteralPiecesRestartForEveryMatch) {
  EvaluationState state = Utf8State();
  const std::string subject = "x1 x2";
  const FieldDefinition field = Compiled(u"<$1>\\x20", 1);
  for (int from : {0, 2}) {
    ASSERT_EQ(Exec8("x(\\d)", subject, state, true, from), 1);
    ExpandReplaceTemplate(field, subject.data(), subject.size(), state, PluginSettings());
  }
  EXPECT_EQ(state.outputText, u"<1> <2> ");

  const FieldDefinition plain = Compiled(u"found", 0);
  EvaluationState twice = Utf8State();
  Exec8("x", subject, twice, true);
  ExpandReplaceTemplate(plain, subject.data(), subject.size(), twice, PluginSettings());
  ExpandReplaceTemplate(plain, subject.data(), subject.size(), twice, PluginSettings());
  EXPECT_EQ(twice.outputText, u"foundfound");
}

TEST(ExpandReplaceTemplate, Utf8GroupIsConvertedAndUnitEscapesAreUnits) {
  EXPECT_EQ(ExpandUtf8(u"\\x41$0\\XAf", "\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"), u"A\u00E9t\u00E9\u00AF");
}

// ---------------------------------------------------------------------------
// Expansion: a group cut at outputLimit
// ---------------------------------------------------------------------------
// Expands "$0" over the whole of subject (set by hand) with the limit.
std::u16string CutBytes(const std::string& subject, std::uint32_t limit, bool utf8,
                        const PluginSettings& settings, bool oemField = false) {
  EvaluationState state;
  state.isUtf8 = utf8;
  state.outputLimit = limit;
  state.matchVector[0] = 0;
  state.matchVector[1] = static_cast<int>(subject.size());
  FieldDefinition field = Compiled(u"$0", 0);
  field.oemCodePage = oemField;
  ExpandReplaceTemplate(field, subject.data(), subject.size(), state, settings);
  return state.outputText;
}

TEST(ExpandReplaceTemplate, Utf16CutNeverEndsOnAHighSurrogate) {
  // Six units, the fourth a high surrogate (U+1F600 is D83D DE00).
  const std::u16string subject = u"abc\U0001F600d";
  ASSERT_EQ(subject.size(), 6u);
  for (const auto& [limit, expected] :
       std::vector<std::pair<std::uint32_t, std::u16string>>{
           {4, u"abc"}, {5, u"abc\U0001F600"}, {3, u"abc"}, {6, subject}, {0, u""}}) {
    EvaluationState state;
    state.isUtf16 = true;
    state.outputLimit = limit;
    state.matchVector[0] = 0;
    state.matchVector[1] = 6;
    ExpandReplaceTemplate(Compiled(u"$0", 0), subject.data(), subject.size(), state);
    EXPECT_EQ(state.outputText, expected) << limit;
  }
}

TEST(ExpandReplaceTemplate, Utf8CutDropsAnIncompleteCharacter) {
  const PluginSettings settings;
  // "a" + EURO SIGN (E2 82 AC) + "b"
  const std::string euro = "a\xE2\x82\xAC" "b";
  EXPECT_EQ(CutBytes(euro, 1, true, settings), u"a");
  EXPECT_EQ(CutBytes(euro, 2, true, settings), u"a");  // lead byte kept last
  EXPECT_EQ(CutBytes(euro, 3, true, settings), u"a");  // continuation, more follows
  EXPECT_EQ(CutBytes(euro, 4, true, settings), u"a\u20AC");
  EXPECT_EQ(CutBytes("ab\xC3\xA9", 3, true, settings), u"ab");
  EXPECT_EQ(CutBytes("ab\xC3\xA9", 4, true, settings), u"ab\u00E9");
}

class AnsiCut : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetCodePagesForTesting(932, 437); }
  void TearDown() override { platform::SetCodePagesForTesting(0, 0); }
};

TEST_F(AnsiCut, MultiByteCodePageKeepsWholeCharacters) {
  PluginSettings settings;
  settings.ansiCodePage = 932;
  settings.multibyteCodePageFlags = 1;
  // Shift-JIS: "a", HIRAGANA A (82 A0), "b".
  const std::string text = "a\x82\xA0" "b";
  EXPECT_EQ(CutBytes(text, 2, false, settings), u"a");
  EXPECT_EQ(CutBytes(text, 3, false, settings), u"a\u3042");
  // KATAKANA MU (83 80... 83 81 here) twice: the second byte of each is also
  // in the lead-byte range, so only parsing from the start tells the halves.
  const std::string mu = "\x83\x80\x83\x80";
  EXPECT_EQ(CutBytes(mu, 2, false, settings), u"\u30E0");
  EXPECT_EQ(CutBytes(mu, 3, false, settings), u"\u30E0");
  EXPECT_EQ(CutBytes(mu, 1, false, settings), u"");
}

TEST_F(AnsiCut, SingleByteCodePagesCutAtTheLimit) {
  PluginSettings settings;
  settings.ansiCodePage = 1252;
  settings.multibyteCodePageFlags = 0;
  EXPECT_EQ(CutBytes("ab\xE9\x80z", 4, false, settings), u"ab\u00E9\u20AC");

  // An OEM field uses the OEM code page and its own multi-byte flag.
  settings.ansiCodePage = 932;
  settings.multibyteCodePageFlags = 1;
  EXPECT_EQ(CutBytes("a\x82\xA0", 2, false, settings, true), u"a\u00E9");
}

}  // namespace
}  // namespace qm::plugin
