// The match loop's executions: JIT and interpreter give the same answers,
// the stop callout changes no answer, long subjects are answered right,
// a start position given up at a limit does not end the text, and a stop
// lands inside one long execution.
#include "plugin/evaluation/matcher.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "plugin/config/compile.h"
#include "plugin/config/plugin_state.h"
#include "plugin/evaluation/code_page.h"

namespace qm::plugin {
namespace {

using settings::FieldType;

struct Outcome {
  std::uint32_t matchCount = 0;
  std::u16string output;
  std::uint64_t sum = 0;
  std::int64_t previousMatchStart = -1;
  bool aborted = false;
  bool operator==(const Outcome& o) const {
    return matchCount == o.matchCount && output == o.output && sum == o.sum &&
           previousMatchStart == o.previousMatchStart && aborted == o.aborted;
  }
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  std::string narrow;
  for (const char16_t c : o.output) narrow += c < 128 ? static_cast<char>(c) : '?';
  return out << "{count " << o.matchCount << ", sum " << o.sum << ", last " << o.previousMatchStart
             << ", aborted " << o.aborted << ", \"" << narrow << "\"}";
}

std::string Utf8(const std::u16string& units) {
  std::string out;
  platform::AppendNarrow(platform::kCodePageUtf8, units.data(), units.size(), &out);
  return out;
}

// The three forms of one text.
struct Text {
  std::string ansi;  // Windows-1252
  std::string utf8;
  std::u16string utf16;
};

class MatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetCodePagesForTesting(1252, 437);
    Reset();
  }
  void TearDown() override {
    SetJitEnabled(true);
    SetStopCalloutEnabled(true);
    SetLineWindowsEnabled(true);
    SetWindowSizesForTesting(0, 0, 0);
    platform::SetCodePagesForTesting(0, 0);
  }
  void Reset() {
    state_ = std::make_unique<PluginState>();
    state_->settings.ansiCodePage = 1252;
    state_->settings.oemCodePage = 437;
    state_->ansiTables = settings::MakeCharTables(1252);
    state_->oemTables = settings::MakeCharTables(437);
    std::string log;
    ASSERT_TRUE(CompileField(*state_, u"\\R", 0, "", log, FieldType::Count, 0, u""));
    lineBreak_ = std::make_unique<FieldDefinition>(std::move(state_->fields.back()));
    state_->fields.clear();
  }
  // The compiled field, or null when the expression does not compile.
  std::unique_ptr<FieldDefinition> Field(const std::u16string& expression, FieldType type,
                                         const std::u16string& tmpl = u"$0|\\xo0|\\xL0;") {
    std::string log;
    state_->fields.clear();
    if (!CompileField(*state_, expression, 1, "", log, type, 0, tmpl)) return nullptr;
    return std::make_unique<FieldDefinition>(std::move(state_->fields.back()));
  }
  enum class Form { kAnsi, kUtf8, kUtf16 };
  Outcome Run(const FieldDefinition& field, const Text& text, Form form) {
    EvaluationState state;
    state.isUtf8 = form == Form::kUtf8;
    state.isUtf16 = form == Form::kUtf16;
    state.utfCheckPending = form != Form::kAnsi;
    state.countLines = field.templateUsesLineNumbers;
    state.outputLimit = 1023;
    state.requestKey = RequestKey(77);
    state.contentSize = text.utf8.size();
    state.offsetDigits = OffsetDigitsFor(state.contentSize);
    if (field.type == FieldType::CountIndividual) state.distinctMatches = std::make_unique<DistinctSet>();
    const EvaluationContext context{state_->settings, *lineBreak_, state_->abortSet};
    if (form == Form::kUtf16) {
      MatchUnits(text.utf16.data(), text.utf16.size(), state, field, context);
    } else {
      const std::string& bytes = form == Form::kAnsi ? text.ansi : text.utf8;
      MatchBytes(bytes.data(), bytes.size(), state, field, context);
    }
    return Outcome{state.matchCount, state.outputText, state.sum, state.previousMatchStart,
                   state.abortRequested};
  }
  // The text handed over as the chunked reader does (validated already):
  // pieces cut after line ends (never inside CR LF), each after the first
  // with up to `context` units before it, starting on a character.
  template <typename Char>
  Outcome RunInPieces(const FieldDefinition& field, const std::basic_string<Char>& text,
                      std::uint32_t seed, std::size_t context, std::size_t contentSize) {
    EvaluationState state;
    state.isUtf8 = sizeof(Char) == 1;
    state.isUtf16 = sizeof(Char) == 2;
    state.countLines = field.templateUsesLineNumbers;
    state.outputLimit = 1023;
    state.requestKey = RequestKey(77);
    state.contentSize = contentSize;  // as Run gives it
    state.offsetDigits = OffsetDigitsFor(state.contentSize);
    if (field.type == FieldType::CountIndividual) state.distinctMatches = std::make_unique<DistinctSet>();
    const EvaluationContext evaluation{state_->settings, *lineBreak_, state_->abortSet};
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const bool end = text[i] == Char('\n') ||
                       (text[i] == Char('\r') && (i + 1 == text.size() || text[i + 1] != Char('\n')));
      seed = seed * 1103515245u + 12345u;
      if (end && (seed >> 16) % 3 == 0) cuts.push_back(i + 1);
    }
    if (cuts.empty() || cuts.back() != text.size()) cuts.push_back(text.size());
    std::size_t from = 0;
    for (const std::size_t end : cuts) {
      std::size_t carry = std::min(context, from);
      while (carry > 0) {
        const auto unit = static_cast<std::make_unsigned_t<Char>>(text[from - carry]);
        const bool inside = sizeof(Char) == 2 ? (unit >= 0xDC00 && unit <= 0xDFFF) : (unit & 0xC0) == 0x80;
        if (!inside) break;
        --carry;
      }
      state.startOffset = from;
      state.contextUnits = static_cast<std::uint32_t>(carry);
      state.textContinues = end != text.size();
      if constexpr (sizeof(Char) == 1) {
        MatchBytes(text.data() + from, end - from, state, field, evaluation);
      } else {
        MatchUnits(text.data() + from, end - from, state, field, evaluation);
      }
      state.contextUnits = 0;
      state.textContinues = false;
      from = end;
    }
    return Outcome{state.matchCount, state.outputText, state.sum, state.previousMatchStart,
                   state.abortRequested};
  }
  // Window sizes for the windowed search (all 0: the defaults).
  struct WindowSizes {
    std::size_t units, maxUnits, literalScan;
  };
  // The whole-text answer (line windows off), after checking that the
  // windowed search gives it at each of the sizes; counts the comparisons.
  Outcome ExpectWindowsAnswerAsWhole(const FieldDefinition& field, const Text& text, Form form,
                                     const std::vector<WindowSizes>& sizes,
                                     const std::string& what, int& compared) {
    SetLineWindowsEnabled(false);
    const Outcome whole = Run(field, text, form);
    SetLineWindowsEnabled(true);
    for (const WindowSizes& size : sizes) {
      SetWindowSizesForTesting(size.units, size.maxUnits, size.literalScan);
      EXPECT_EQ(Run(field, text, form), whole)
          << what << " form " << static_cast<int>(form) << " window " << size.units << "/"
          << size.maxUnits << "/" << size.literalScan;
      ++compared;
    }
    SetWindowSizesForTesting(0, 0, 0);
    return whole;
  }

  Text MakeText(const std::u16string& units) {
    Text t;
    t.utf16 = units;
    ToNarrow(state_->settings, units.data(), units.size(), &t.ansi, true, false);
    platform::AppendNarrow(platform::kCodePageUtf8, units.data(), units.size(), &t.utf8);
    return t;
  }

  std::unique_ptr<PluginState> state_;
  std::unique_ptr<FieldDefinition> lineBreak_;
};

// Deterministic pattern generator over atoms that exercise empty matches,
// anchors, classes, alternation and non-ASCII characters.
std::vector<std::u16string> GeneratedPatterns(int count) {
  static const char16_t* const kAtoms[] = {
      u"a",  u"b",     u"\\w",  u"\\s", u".",   u" ",     u"\\n?", u"(?:ab)*", u"[a-c]+", u"x?",
      u"$",  u"^",     u"\\b",  u"é",   u"\\d", u"(a|b)", u"\\R",  u"[^\\s]",  u"\\p{L}", u"ß"};
  static const char16_t* const kQuantifiers[] = {u"", u"", u"*", u"+", u"?", u"{2}", u"*?"};
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  std::vector<std::u16string> patterns;
  for (int i = 0; i < count; ++i) {
    std::u16string p = next(4) == 0 ? u"(?m)" : next(3) == 0 ? u"(?i)" : u"";
    const std::uint32_t atoms = 1 + next(4);
    for (std::uint32_t k = 0; k < atoms; ++k) {
      p += kAtoms[next(sizeof kAtoms / sizeof kAtoms[0])];
      p += kQuantifiers[next(sizeof kQuantifiers / sizeof kQuantifiers[0])];
    }
    patterns.push_back(p);
  }
  return patterns;
}

TEST_F(MatcherTest, JitInterpreterAndUninstrumentedProgramsGiveTheSameAnswers) {
  std::vector<std::u16string> patterns = {
      // the examples' fields and the expressions of the request tests
      u"TODO|FIXME", u"\\R", u"\\w+", u"(?m)^#+\\s*(.+?)\\s*$", u"[\\w.+-]+@[\\w-]+(?:\\.[\\w-]+)+",
      u".*", u"\\.(?:txt|md)$", u"(a|b)*c", u"(a|b)*", u"a", u".", u"x",
      // empty matches, anchors, lookbehind, newline conventions, callouts
      u"", u"x*", u"(?m)^", u"(?m)$", u"$", u"^$", u"(?m)^$", u"(?m)^.*$", u"\\b", u"(?<=a)b",
      u"(?<!\\w)\\w", u"a|", u"(?i)STRASSE|straße", u"\\p{Lu}\\p{Ll}+", u"[^\\x00-\\x7f]",
      u"(*LF)(?m)$", u"(*CR)(?m)^.", u"(*CRLF)(?m)^$", u"\\d{4}-\\d{2}-\\d{2}", u"(a)|b",
      u"(?=x)", u"\\X", u"(?s).{3}", u"é+", u"(?C1)a", u"\\Ga", u"\\K.", u"(?|(a)|(b))",
      u"\"(?:[^\"\\\\]|\\\\.)*\"", u"(\\w+)\\s*=\\s*(\\w+)"};
  for (const std::u16string& p : GeneratedPatterns(60)) patterns.push_back(p);
  const std::u16string base =
      u"ab abc TODO x=1 \"q\\\"t\" 2024-01-31 é straße STRASSE\n"
      u"mail: a.b+c@ex-ample.org;\n\nxxaab  ÉÀ ß\n#  Title  \n\"unterminated\n"
      u"aaab bbbc ä ö ü € end";
  std::vector<Text> texts;
  for (const char16_t* eol : {u"\n", u"\r\n", u"\r"}) {
    std::u16string t;
    for (const char16_t c : base) {
      if (c == u'\n') {
        t += eol;
      } else {
        t += c;
      }
    }
    texts.push_back(MakeText(t));
  }
  texts.push_back(MakeText(u""));
  texts.push_back(MakeText(u"\r\n\r\n"));
  const FieldType types[] = {FieldType::Boolean,
                             FieldType::Count,
                             FieldType::CountIndividual,
                             FieldType::StringOutput,
                             FieldType::FirstMatchStringOutput,
                             FieldType::AverageResultLength,
                             FieldType::MatchDistanceRatio};
  int compared = 0;
  for (const std::u16string& pattern : patterns) {
    for (const FieldType type : types) {
      SetStopCalloutEnabled(true);
      auto instrumented = Field(pattern, type);
      SetStopCalloutEnabled(false);
      auto plain = Field(pattern, type);
      SetStopCalloutEnabled(true);
      if (!instrumented || !plain) continue;
      for (const Text& text : texts) {
        for (const Form form : {Form::kAnsi, Form::kUtf8, Form::kUtf16}) {
          SetJitEnabled(false);
          const Outcome reference = Run(*plain, text, form);
          const Outcome interpreted = Run(*instrumented, text, form);
          SetJitEnabled(true);
          const Outcome jit = Run(*instrumented, text, form);
          const Outcome plainJit = Run(*plain, text, form);
          const std::string where = "pattern " + Utf8(pattern) + " type " +
                                    std::to_string(static_cast<int>(type)) + " form " +
                                    std::to_string(static_cast<int>(form)) + " text \"" +
                                    text.utf8.substr(0, 12) + "\"";
          EXPECT_EQ(interpreted, reference) << where;
          EXPECT_EQ(jit, reference) << where;
          EXPECT_EQ(plainJit, reference) << where;
          ++compared;
        }
      }
    }
  }
  EXPECT_GT(compared, 2000);
}

// A deterministic text of lines of every kind the window search meets:
// words, log words, dates, e-mail addresses, non-ASCII words, empty lines,
// a long line, and the given line ends (mixed when eol is empty).
std::u16string WindowText(const char16_t* eol, std::uint32_t seed) {
  static const char16_t* const kWords[] = {
      u"error", u"ERROR", u"Error", u"warning", u"failed", u"timeout", u"denied", u"ab",
      u"abc", u"2024-01-31", u"1999-12-0", u"a.b+c@ex-ample.org", u"x@y", u"é", u"straße",
      u"STRASSE", u"ÉÀ", u"TODO", u"x=1", u"aab", u"ok", u"-", u"@", u"\"q\\\"t\"", u"€"};
  static const char16_t* const kEnds[] = {u"\n", u"\r\n", u"\r"};
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  std::u16string text;
  for (int line = 0; line < 90; ++line) {
    const std::uint32_t words = line == 40 ? 120 : next(9);  // one long line, some empty ones
    for (std::uint32_t w = 0; w < words; ++w) {
      if (w != 0) text += next(5) == 0 ? u"  " : u" ";
      text += kWords[next(sizeof kWords / sizeof kWords[0])];
    }
    text += *eol != 0 ? eol : kEnds[next(3)];
  }
  if (next(2) == 0) text += u"last error line without an end";
  return text;
}

TEST_F(MatcherTest, LineWindowsAndLiteralSkipsGiveTheSameAnswers) {
  std::vector<std::u16string> patterns = {
      // the benchmark's expressions and others whose matches stay in a line
      u"error", u"(?i)error", u"\\d{4}-\\d{2}-\\d{2}", u"[\\w.+-]+@[\\w-]+\\.[\\w.]+",
      u"(?m)^.*$", u"error|warning|failed|timeout|denied", u"(?i)ERROR|Warning", u"(?m)^\\w+$",
      u"(?m)^", u"(?m)$", u"(?m)^$", u"\\bab\\b", u"(?<=a)b\\w*", u"(?<![\\w-])\\d+", u"(\\w)\\1",
      u"x\\d*y", u"(*LF)(?m)^.*$", u"(*CRLF)(?m)^.*$", u"(*CR)(?m)^.+$", u"(*ANY)(?m).$",
      u"[^\\r\\n]+", u"[^\\n]{3}", u"é\\w+", u"(?i)é", u"(?i)STRASSE|straße", u"(?i)straSSe",
      u"(?:ab|c)+d?", u"\\w+@\\w+", u"-\\d", u"o(?:k|r)", u"[a-c]{2,}", u"\\S+", u"\\h+", u".",
      u".{5}", u"(?s).{5}", u"\\N+", u"\\Qx=1\\E", u"(?x) e r r o r  # spaced", u"(?i:e)rror",
      u"t\\x{6f}do",
      // expressions whose matches may span lines, or that look beyond them
      u"\\R", u"\\s+", u"$", u"\\z", u"\\Z", u"error(?=\\s)", u"\\Ga", u"\\K.", u"(?|(a)|(b))"};
  for (const std::u16string& p : GeneratedPatterns(40)) patterns.push_back(p);
  std::vector<Text> texts;
  std::uint32_t seed = 7;
  for (const char16_t* eol : {u"\n", u"\r\n", u"\r", u""}) {
    texts.push_back(MakeText(WindowText(eol, seed++)));
  }
  const FieldType types[] = {FieldType::Boolean, FieldType::Count, FieldType::CountIndividual,
                             FieldType::StringOutput, FieldType::MatchDistanceRatio};
  // Small windows put many window ends, long lines and scan ends in a
  // short text; the defaults cover the ordinary case.
  const std::vector<WindowSizes> sizes = {{16, 64, 50}, {1, 300, 7}, {0, 0, 0}};
  int windowedForms = 0;
  int compared = 0;
  for (const std::u16string& pattern : patterns) {
    for (const FieldType type : types) {
      auto field = Field(pattern, type);
      if (!field) continue;
      if (type == FieldType::Count) {
        windowedForms += field->ansiProgram->plan.windowed + field->utf8Program->plan.windowed +
                         field->utf16Program->plan.windowed;
      }
      for (const Text& text : texts) {
        for (const Form form : {Form::kAnsi, Form::kUtf8, Form::kUtf16}) {
          ExpectWindowsAnswerAsWhole(*field, text, form, sizes,
                                     "pattern " + Utf8(pattern) + " type " +
                                         std::to_string(static_cast<int>(type)) + " text \"" +
                                         text.utf8.substr(0, 16) + "\"",
                                     compared);
        }
      }
    }
  }
  EXPECT_GT(compared, 10000);
  // The comparison means something only if most line-local expressions
  // are searched in windows.
  EXPECT_GT(windowedForms, 60);
}

// Texts whose lines are often longer than a window: one-line texts, runs
// of one letter, long lines first, last and between short ones, with every
// kind of line end.
std::u16string LongLineText(std::uint32_t seed) {
  static const char16_t* const kTokens[] = {
      u"function", u"b", u"bb", u"(", u")", u";", u"x=1", u"2024-01-31", u"e", u"error", u"ab",
      u" ", u"é", u"-", u"return", u"\"s\"", u"1999-12-0", u"FUNCTION", u"fun"};
  static const char16_t* const kEnds[] = {u"\n", u"\r\n", u"\r"};
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  std::u16string text;
  const std::uint32_t lines = 1 + next(6);
  for (std::uint32_t line = 0; line < lines; ++line) {
    const std::uint32_t kind = next(4);
    const std::uint32_t length = kind == 0 ? next(6) : kind == 1 ? 20 + next(60) : 300 + next(3000);
    if (next(5) == 0) {
      text.append(length, u'b');  // a run of one letter
    } else {
      const std::size_t lineStart = text.size();
      while (text.size() - lineStart < length) {
        text += kTokens[next(sizeof kTokens / sizeof kTokens[0])];
      }
    }
    if (line + 1 < lines || next(2) == 0) text += kEnds[next(3)];
  }
  return text;
}

TEST_F(MatcherTest, LongLinesGiveTheSameAnswersAsTheWholeText) {
  const std::u16string patterns[] = {
      u"b", u"\\w+", u"function", u"(?i)function", u"\\d{4}-\\d{2}-\\d{2}", u"e",
      u"error|return|fun", u"(?m)^.*$", u"(?m)^\\w+$", u"\\bb+\\b", u"(?<=\\()\\w+", u"\\S+",
      u"[^\\r\\n]{100,}", u"b*", u"x=1|é", u"(?i)é\\w*", u"\"[^\"]*\"", u".{7}"};
  const std::vector<WindowSizes> sizes = {{16, 64, 50}, {8, 200, 1000}, {1, 24, 3}};
  int compared = 0;
  int windowed = 0;
  for (const std::u16string& pattern : patterns) {
    auto field = Field(pattern, FieldType::MatchDistanceRatio);
    ASSERT_NE(field, nullptr) << Utf8(pattern);
    windowed += field->utf16Program->plan.windowed;
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
      const Text text = MakeText(LongLineText(seed));
      for (const Form form : {Form::kAnsi, Form::kUtf8, Form::kUtf16}) {
        ExpectWindowsAnswerAsWhole(*field, text, form, sizes,
                                   "pattern " + Utf8(pattern) + " seed " + std::to_string(seed),
                                   compared);
      }
    }
  }
  EXPECT_EQ(compared, 18 * 40 * 3 * 3);
  EXPECT_GE(windowed, 16);
}

// Lines dense in near dates: ASCII, Arabic-Indic and mathematical digits (\d
// with Unicode properties takes them, in several bytes each in UTF-8 and two
// units in UTF-16), dashes, colons and other characters of one to four bytes.
std::u16string ProbeText(std::uint32_t seed) {
  static const char16_t* const kTokens[] = {
      u"2024-01-31", u"1999-12-0", u"12:30", u"1-2-3", u"--", u"-", u"7", u"42", u"a",
      u"x", u"\u0662\u0660\u0662\u0664-\u0660\u0661-\u0663\u0661", u"\u0663", u"é", u"€",
      u" ", u"  ", u"abc-1", u"2024-é1-31", u"ab-", u"\U0001D7CE\U0001D7CF-1-\U0001D7D0"};
  static const char16_t* const kEnds[] = {u"\n", u"\r\n", u"\r"};
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  std::u16string text;
  const std::uint32_t lines = 1 + next(40);
  for (std::uint32_t line = 0; line < lines; ++line) {
    const std::uint32_t tokens = next(5) == 0 ? 200 + next(200) : next(12);
    for (std::uint32_t t = 0; t < tokens; ++t) text += kTokens[next(sizeof kTokens / sizeof kTokens[0])];
    if (line + 1 < lines || next(2) == 0) text += kEnds[next(3)];
  }
  return text;
}

// Expressions whose matches begin where units lie at fixed distances:
// the searches for those starts answer as PCRE does over the whole text,
// also where a character takes several units.
TEST_F(MatcherTest, ProbedStartsGiveTheSameAnswersAsTheWholeText) {
  const std::u16string patterns[] = {
      u"\\d{4}-\\d{2}-\\d{2}", u"(\\d{4})-(\\d\\d)-(\\d\\d)", u"\\d-\\d-", u"(?-i)a.b",
      u"\\w\\w-\\w-", u"(?i)\\d-\\d:", u"-\\d{2}-", u"\\b\\d{2}:\\d{2}:\\d\\d\\b",
      u"[0-9]{3}-[0-9]{2}-", u"(?<=-)\\d\\d-\\d-", u"é\\d-\\d-", u"(?:\\d-){2}\\d", u"-.-",
      // one probe or none: PCRE's own start search, for comparison
      u"\\d\\d?-\\d", u"\\d{4}-\\d"};
  const std::vector<WindowSizes> sizes = {{16, 64, 50}, {1, 300, 7}, {0, 0, 0}};
  int probed = 0;
  int compared = 0;
  for (const std::u16string& pattern : patterns) {
    for (const FieldType type : {FieldType::Count, FieldType::StringOutput}) {
      auto field = Field(pattern, type);
      ASSERT_NE(field, nullptr) << Utf8(pattern);
      probed += field->ansiProgram->needles.FindsStarts() + field->utf8Program->needles.FindsStarts() +
                field->utf16Program->needles.FindsStarts();
      for (std::uint32_t seed = 1; seed <= 24; ++seed) {
        const Text text = MakeText(ProbeText(seed));
        for (const Form form : {Form::kAnsi, Form::kUtf8, Form::kUtf16}) {
          ExpectWindowsAnswerAsWhole(*field, text, form, sizes,
                                     "pattern " + Utf8(pattern) + " seed " + std::to_string(seed),
                                     compared);
        }
      }
    }
  }
  EXPECT_EQ(compared, 15 * 2 * 24 * 3 * 3);
  // All but the last two are searched by their probes in every form.
  EXPECT_EQ(probed, 13 * 2 * 3);
}

// Counts of `pattern` in the text; maxLength: the longest text the case is
// run at (the interpreter, a fallback, only at the shortest).
struct LongCase {
  const char16_t* pattern;
  std::string text;
  std::uint32_t count;
  std::size_t maxLength;
};

TEST_F(MatcherTest, LongRepeatsAreAnsweredRightInEveryForm) {
  for (const std::size_t n : {std::size_t{300}, std::size_t{100000}, std::size_t{1000000}}) {
    std::string letters;
    for (std::size_t i = 0; i < n; ++i) letters += "ab"[(i * 7 + i / 3) % 2];
    const std::string quoted = "\"" + std::string(n, 'q') + "\"";
    std::string nested = std::string(n / 2, '(') + std::string(n / 2, ')');
    const LongCase cases[] = {
        {u"\"(?:[^\"\\\\]|\\\\.)*\"", "\"a\" " + quoted + " \"b\\\"c\"\n\"d\"", 4, 1000000},
        {u"(?:a|b)*c", letters + "c", 1, 1000000},
        {u"(a|b)*c", letters + "c\nabc", 2, 100000},
        {u"\\((?:[^()]|(?R))*\\)", nested + " (x)", 2, 100000},
    };
    for (const LongCase& c : cases) {
      if (n > c.maxLength) continue;
      auto field = Field(c.pattern, FieldType::Count);
      ASSERT_NE(field, nullptr);
      std::u16string units(c.text.begin(), c.text.end());
      const Text text{c.text, c.text, units};
      for (const bool jit : {true, false}) {
        if (!jit && n > 300) continue;
        SetJitEnabled(jit);
        for (const Form form : {Form::kAnsi, Form::kUtf8, Form::kUtf16}) {
          EXPECT_EQ(Run(*field, text, form).matchCount, c.count)
              << Utf8(c.pattern) << " over " << n << (jit ? " JIT" : " interpreter")
              << " form " << static_cast<int>(form);
        }
      }
    }
  }
}

// Texts dense with short literals and their near misses: overlapping runs
// ("aaaa" for "aa"), case variants, literals split by line ends, non-ASCII
// neighbours.
std::u16string LiteralText(std::uint32_t seed) {
  static const char16_t* const kTokens[] = {
      u"error", u"err", u"rror", u"errorerror", u"ERROR", u"b", u"bb", u"aaaa", u"a", u"x=1",
      u"x=", u"=1", u"a-b_c", u"é", u"€", u"\U0001F600", u" ", u"  ", u"-", u"err\nor",
      u"x=\r\n1", u"b\rb", u"\n", u"\r\n", u"\r"};
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  std::u16string text;
  const std::uint32_t tokens = 1 + next(400);
  for (std::uint32_t i = 0; i < tokens; ++i) {
    text += kTokens[next(sizeof kTokens / sizeof kTokens[0])];
  }
  return text;
}

TEST_F(MatcherTest, WholeLiteralsAndTheirAlternationsAnswerAsPcreInEveryFormAndPiece) {
  state_->settings.caseSensitiveDefault = true;  // a caseless literal is searched by PCRE
  const std::u16string patterns[] = {u"error", u"b", u"aa", u"x=1", u"a-b_c", u"rror", u"bb",
                                     u"error|rror|x=1", u"err|error", u"error|err", u"a|aa|b",
                                     u"aa|a", u"bb|b|=1|x="};
  const FieldType types[] = {FieldType::Count, FieldType::Boolean, FieldType::StringOutput,
                             FieldType::CountIndividual, FieldType::MatchDistanceRatio};
  const std::vector<WindowSizes> sizes = {{0, 0, 0}, {1, 24, 3}, {16, 64, 1}};
  int compared = 0;
  for (const std::u16string& pattern : patterns) {
    for (const FieldType type : types) {
      auto field = Field(pattern, type);
      ASSERT_NE(field, nullptr);
      ASSERT_TRUE(field->ansiProgram->plan.wholeLiteral && field->utf8Program->plan.wholeLiteral &&
                  field->utf16Program->plan.wholeLiteral)
          << Utf8(pattern);
      for (std::uint32_t seed = 1; seed <= 30; ++seed) {
        const Text text = MakeText(LiteralText(seed));
        for (const Form form : {Form::kAnsi, Form::kUtf8, Form::kUtf16}) {
          // whole: every match found by PCRE
          const Outcome whole = ExpectWindowsAnswerAsWhole(
              *field, text, form, sizes, Utf8(pattern) + " seed " + std::to_string(seed), compared);
          if (form == Form::kAnsi) continue;
          for (const std::size_t context : {std::size_t{1}, std::size_t{3}, std::size_t{1024}}) {
            const std::size_t size = text.utf8.size();
            EXPECT_EQ(form == Form::kUtf8 ? RunInPieces(*field, text.utf8, seed, context, size)
                                          : RunInPieces(*field, text.utf16, seed, context, size),
                      whole)
                << Utf8(pattern) << " seed " << seed << " in pieces, form "
                << static_cast<int>(form) << " context " << context;
            ++compared;
          }
        }
      }
    }
  }
  EXPECT_EQ(compared, 13 * 5 * 30 * (9 + 6));
}

TEST_F(MatcherTest, APositionGivenUpAtALimitSkipsOnlyItsLine) {
  // The first line makes every start position fail at the match limit; the
  // matches on the lines after it still count.
  auto field = Field(u"x*x*x*x*x*y|ok", FieldType::Count);
  ASSERT_NE(field, nullptr);
  const std::string s = std::string(200, 'x') + "\nok ok\r\nok";
  const Text text{s, s, std::u16string(s.begin(), s.end())};
  for (const bool jit : {true, false}) {
    SetJitEnabled(jit);
    EXPECT_EQ(Run(*field, text, jit ? Form::kUtf16 : Form::kAnsi).matchCount, 3u) << jit;
  }
}

TEST_F(MatcherTest, AStopLandsInsideOneLongExecution) {
  // One execution of this pattern over a 1 MB line runs for minutes.
  auto field = Field(u"(\\w+)\\s*=\\s*(\\w+)", FieldType::Count);
  auto cubic = Field(u"x*x*x*y", FieldType::Count);
  ASSERT_NE(field, nullptr);
  ASSERT_NE(cubic, nullptr);
  const std::string line(1000000, 'k');
  // Each of these lines is given up at the top of the match-limit ladder
  // after many milliseconds, so the whole text takes seconds.
  std::string xs;
  for (int i = 0; i < 100; ++i) xs += std::string(1500, 'x') + " y\n";
  state_->abortSet.Insert(77);
  for (const bool jit : {true, false}) {
    SetJitEnabled(jit);
    for (const Form form : {Form::kUtf8, Form::kUtf16}) {
      const Outcome o = Run(*field, Text{line, line, std::u16string(line.begin(), line.end())}, form);
      EXPECT_TRUE(o.aborted) << jit;
      EXPECT_EQ(o.matchCount, 0u);
      EXPECT_TRUE(Run(*cubic, Text{xs, xs, std::u16string(xs.begin(), xs.end())}, form).aborted);
    }
  }
}

}  // namespace
}  // namespace qm::plugin
