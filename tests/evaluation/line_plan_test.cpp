// Line analysis: tables of patterns and options against the expected plan,
// grouped by what they exercise. Every "not windowed" row is a pattern
// whose matches can span a line end or depend on text after it.
#include "plugin/evaluation/line_plan.h"

#include <gtest/gtest.h>
#include <pcre.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace qm::plugin {
namespace {

constexpr unsigned long kAnyCrlf = PCRE_NEWLINE_ANYCRLF | PCRE_BSR_ANYCRLF;

// The pattern for a failure message (non-ASCII units cut to a byte).
std::string Narrow(const char16_t* pattern) {
  std::string out;
  for (; *pattern != u'\0'; ++pattern) out.push_back(static_cast<char>(*pattern));
  return out;
}

// Expected cut units: "" (not windowed), "LF", "CR" or "LF CR".
struct WindowCase {
  const char16_t* pattern;
  unsigned long options;
  const char* cuts;
};

std::string CutsOf(const LinePlan& plan) {
  if (!plan.windowed) return plan.cutAtLf || plan.cutAtCr ? "cut without window" : "";
  std::string out;
  if (plan.cutAtLf) out += "LF";
  if (plan.cutAtCr) out += out.empty() ? "CR" : " CR";
  return out.empty() ? "windowed without cut" : out;
}

void ExpectCuts(const std::vector<WindowCase>& cases) {
  for (const WindowCase& c : cases) {
    const LinePlan plan = AnalyzeLines(c.pattern, c.options);
    EXPECT_EQ(CutsOf(plan), c.cuts) << Narrow(c.pattern);
  }
}

// "text" case-sensitive, "~text" caseless; the set in any order.
struct NeedleCase {
  const char16_t* pattern;
  unsigned long options;
  std::vector<std::string> needles;
};

void ExpectNeedles(const std::vector<NeedleCase>& cases) {
  for (const NeedleCase& c : cases) {
    const LinePlan plan = AnalyzeLines(c.pattern, c.options);
    std::vector<std::string> got;
    for (const Needle& n : plan.needles) got.push_back((n.caseless ? "~" : "") + n.text);
    std::sort(got.begin(), got.end());
    std::vector<std::string> want = c.needles;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << Narrow(c.pattern);
  }
}

TEST(LinePlanWindow, EverydayPatterns) {
  ExpectCuts({
      {u"error", kAnyCrlf, "LF CR"},
      {u"(?m)^.*$", kAnyCrlf, "LF CR"},
      {u"^.*$", kAnyCrlf | PCRE_MULTILINE, "LF CR"},
      {u"\\d{4}-\\d{2}-\\d{2}", kAnyCrlf, "LF CR"},
      {u"[\\w.+-]+@[\\w-]+\\.[\\w.]+", kAnyCrlf, "LF CR"},
      {u"(\\w+)=\\1", kAnyCrlf, "LF CR"},
      {u"\\bword\\B\\Ax^", kAnyCrlf, "LF CR"},
      {u"[[:<:]]ab[[:>:]]", kAnyCrlf, "LF CR"},
      {u"a\\sb", kAnyCrlf, ""},
      {u"\\R", kAnyCrlf, ""},
      {u"a\\nb", kAnyCrlf, "CR"},
      {u"a\\x{d}b", kAnyCrlf, "LF"},
      {u"a\\015\\cMb", kAnyCrlf, "LF"},
      {u"\\012|\\0", kAnyCrlf, "CR"},
      {u"a\\12", kAnyCrlf, "CR"},  // LF, or a backreference when twelve groups precede
      {u"a\\8\\9", kAnyCrlf, "LF CR"},
      {u"\\D\\W\\H\\v\\X\\C", kAnyCrlf, ""},
      {u"\\d\\w\\h\\S\\V\\N", kAnyCrlf, "LF CR"},
      {u"\\p{Lu}\\pL\\p{L&}\\p{Zs}", kAnyCrlf, "LF CR"},
      {u"\\p{Cc}", kAnyCrlf, ""},
      {u"\\P{L}", kAnyCrlf, ""},
  });
}

// Where a match may not end: $ without multiline, \Z, \z, \G, lookahead,
// DOLLAR_ENDONLY; and what $ reads under each convention.
TEST(LinePlanWindow, EndOfSubjectAndNewlineConventions) {
  ExpectCuts({
      {u"x$", kAnyCrlf, ""},
      {u"x\\Z", kAnyCrlf, ""},
      {u"x\\z", kAnyCrlf, ""},
      {u"\\Gx", kAnyCrlf, ""},
      {u"foo(?=bar)", kAnyCrlf, ""},
      {u"foo(?!bar)", kAnyCrlf, ""},
      {u"(?<=a(?=b))c", kAnyCrlf, ""},
      {u"x", kAnyCrlf | PCRE_DOLLAR_ENDONLY, ""},
      {u"(?m)x$", PCRE_NEWLINE_CRLF, "LF"},
      {u"(*CRLF)(?m)x$", kAnyCrlf, "LF"},
      {u"(?m)x$", 0, "LF"},
      {u"(?m)x$", PCRE_NEWLINE_ANY, "LF CR"},
      {u"(?m:x$)", PCRE_NEWLINE_CR, "LF CR"},
      {u"(?m:x)$", kAnyCrlf, ""},
      // Dot: the convention's newline characters only.
      {u"a.b", PCRE_NEWLINE_LF, "LF"},
      {u"a.b", PCRE_NEWLINE_CR, "CR"},
      {u"a.b", PCRE_NEWLINE_CRLF, ""},
      {u"a.b", 0, ""},
      {u"(*LF)a.b", kAnyCrlf, "LF"},
      {u"(*CR)(*UTF8)(*UCP)a\\Nb", kAnyCrlf, "CR"},
      {u"(*UTF8)(?C255)a.b", kAnyCrlf, "LF CR"},
      {u"(*ANY)(*LIMIT_MATCH=10)(*NO_START_OPT)(*BSR_UNICODE)a.b", PCRE_NEWLINE_LF, "LF CR"},
      {u"a.b", kAnyCrlf | PCRE_DOTALL, ""},
      {u"(?s)a.b", kAnyCrlf, ""},
      {u"(?s:a)\\N.b", kAnyCrlf, "LF CR"},
      {u"(?s)(?-s)a.b", kAnyCrlf, "LF CR"},
      {u"(a(?s)b|.)", kAnyCrlf, ""},  // (?s) lasts to the end of the group, across "|"
      {u"(a(?s)b)|.", kAnyCrlf, "LF CR"},
  });
}

TEST(LinePlanWindow, CharacterClasses) {
  ExpectCuts({
      {u"[^\"]*", kAnyCrlf, ""},
      {u"[^\\n]*", kAnyCrlf, "LF"},
      {u"[^\\r\\n]+", kAnyCrlf, "LF CR"},
      {u"[^\\s]", kAnyCrlf, "LF CR"},
      {u"[^\\S]", kAnyCrlf, ""},
      {u"[^\\x00-\\x1f]", kAnyCrlf, "LF CR"},
      {u"[^\\x0b-\\x1f]", kAnyCrlf, "CR"},  // negated, so CR excluded, LF matched
      {u"[\\x00-\\x0c]", kAnyCrlf, "CR"},
      {u"[\\x0b-\\x0c]", kAnyCrlf, "LF CR"},
      {u"[a-z0-9_]", kAnyCrlf, "LF CR"},
      {u"[\\d\\w\\h.]", kAnyCrlf, "LF CR"},
      {u"[\\s]", kAnyCrlf, ""},
      {u"[\\012]", kAnyCrlf, "CR"},
      {u"[\\cJ]", kAnyCrlf, "CR"},
      {u"[\\Q\r\\E]", kAnyCrlf, "LF"},
      {u"[]\\n]", kAnyCrlf, "CR"},
      {u"[^]\\n]", kAnyCrlf, "LF"},
      {u"[\\E^a]", kAnyCrlf, ""},  // negated: "^" after a leading \E
      {u"[\\Q\\E]\\E\\r]", kAnyCrlf, "LF"},
      {u"[\\d-\\n]", kAnyCrlf, "CR"},      // no range: digit, "-", LF
      {u"[\\x05-[:]", kAnyCrlf, ""},      // a range up to "[" (no POSIX class follows)
      // Quoting around ranges: \E may sit on either side of the hyphen, \Q
      // may start the range's end, and inside quoting a hyphen is literal.
      {u"[\\x01-\\E\\x20]", kAnyCrlf, ""},
      {u"[\\x01\\E-\\x20]", kAnyCrlf, ""},
      {u"[\\x01-\\Q\\x20\\E]", kAnyCrlf, ""},
      {u"[\\Q\\x01-\\x20\\E]", kAnyCrlf, "LF CR"},
      {u"[\\x05-[:x]", kAnyCrlf, ""},
      {u"[[:alpha:][:punct:]]", kAnyCrlf, "LF CR"},
      {u"[[:space:]]", kAnyCrlf, ""},
      {u"[^[:space:]]", kAnyCrlf, "LF CR"},
      {u"[[:^alpha:]]", kAnyCrlf, ""},
      {u"[^[:^alpha:]]", kAnyCrlf, "LF CR"},
      {u"[^\\p{L}]", kAnyCrlf, ""},
      {u"[\\p{L}]", kAnyCrlf, "LF CR"},
  });
}

// Constructs that give the empty plan, and lookbehind, which does not count.
TEST(LinePlanWindow, UnmodelledAndLookbehind) {
  for (const char16_t* pattern :
       {u"(a)(?1)", u"(?R)", u"(?(1)a|b)", u"(?C1)a", u"(?C255)a(?C255)", u"a(?C255)", u"a(*SKIP)b",
        u"(*FOO)a", u"ab\\Kc",
        u"(a)\\g<1>", u"(?P>n)", u"(?&n)", u"\\ua", u"[[.a.]]", u"(abc", u"abc)", u"*a",
        u"a**", u"(?i)*a", u"\\", u"(?z)"}) {
    const LinePlan plan = AnalyzeLines(pattern, kAnyCrlf);
    EXPECT_FALSE(plan.windowed);
    EXPECT_TRUE(plan.needles.empty());
  }
  EXPECT_FALSE(AnalyzeLines(u"abc", kAnyCrlf | PCRE_JAVASCRIPT_COMPAT).windowed);
  EXPECT_FALSE(AnalyzeLines(u"abc", kAnyCrlf | PCRE_AUTO_CALLOUT).windowed);
  ExpectCuts({
      {u"(?<=\\n)abc", kAnyCrlf, "LF CR"},
      {u"(?<!\\s)abc", kAnyCrlf, "LF CR"},
      {u"(?<=(\\n))\\1", kAnyCrlf, "CR"},  // the reference repeats what the lookbehind saw
      {u"(?<=(\\n))x", kAnyCrlf, "LF CR"},
  });
}

TEST(LinePlanWindow, ExtendedModeAndQuoting) {
  ExpectCuts({
      {u"(?x) a \\n b", kAnyCrlf, "CR"},
      {u"(?x) a \n b \r c", kAnyCrlf, "LF CR"},  // white space only
      {u"(?x) a # comment\n b", kAnyCrlf, "LF CR"},
      {u"a #. \n b", kAnyCrlf | PCRE_EXTENDED, "LF CR"},
      {u"(*CR)(?x) a # \n . b", kAnyCrlf, "LF CR"},  // no CR: the comment, "." too, runs to the end
      {u"(*LF)(?x) a # \r\n . b", kAnyCrlf, "LF"},  // the comment ends at the LF; "." may be a CR
      {u"a # x", kAnyCrlf | PCRE_EXTENDED, "LF CR"},
      {u"(?x)a\\ b", kAnyCrlf, "LF CR"},
      {u"\\Q.\n\\E", PCRE_NEWLINE_LF, "CR"},
      {u"\\Qa$\\E", kAnyCrlf, "LF CR"},
      {u"(?#\n)x", kAnyCrlf, "LF CR"},
  });
  // Vertical tab and form feed may or may not be white space for the tables.
  EXPECT_FALSE(AnalyzeLines(u"a\vb", kAnyCrlf | PCRE_EXTENDED).windowed);
  EXPECT_FALSE(AnalyzeLines(u"(?x)a\u00a0b", kAnyCrlf).windowed);
  EXPECT_TRUE(AnalyzeLines(u"a\u00a0b", kAnyCrlf).windowed);
}

TEST(LinePlanNeedles, LiteralsAndRuns) {
  ExpectNeedles({
      {u"error", kAnyCrlf, {"error"}},
      {u"(?i)error", kAnyCrlf, {"~error"}},
      {u"error", kAnyCrlf | PCRE_CASELESS, {"~error"}},
      {u"\\d{4}-\\d{2}-\\d{2}", kAnyCrlf, {"-"}},
      {u"[\\w.+-]+@[\\w-]+\\.[\\w.]+", kAnyCrlf, {"@"}},
      {u"(?m)^.*$", kAnyCrlf, {}},
      {u"", kAnyCrlf, {}},
      {u"a\\sb", kAnyCrlf, {"a"}},
      {u"x$", kAnyCrlf, {"x"}},
      {u"foo(?=bar)", kAnyCrlf, {"foo"}},
      {u"ab\\.cd", kAnyCrlf, {"ab.cd"}},
      {u"ab\\x41\u00e9cd", kAnyCrlf, {"abA"}},
      {u"ab\\x{e9}cd", kAnyCrlf, {"ab"}},
      {u"\\Qa.b\\E+c", kAnyCrlf, {"a.b"}},
      {u"[.][a]x", kAnyCrlf, {".ax"}},
      {u"^ab\\bc(?<=c)d", kAnyCrlf, {"abcd"}},  // zero-width items do not break a run
      {u"[[:>:]]x", kAnyCrlf, {"x"}},  // a word end, not a class of "[:>"
      {u"(?x) foo  bar # baz", kAnyCrlf, {"foobar"}},
      {u"foo(?#note)bar", kAnyCrlf, {"foobar"}},
      {u"(?<=abcdef)x", kAnyCrlf, {"x"}},
      {u"(\\w+)x\\1", kAnyCrlf, {"x"}},
  });
}

TEST(LinePlanNeedles, QuantifiersAndGroups) {
  ExpectNeedles({
      {u"abc+d", kAnyCrlf, {"abc"}},  // or "cd": the first of equal ones
      {u"abc?d", kAnyCrlf, {"ab"}},
      {u"abc*de", kAnyCrlf, {"ab"}},
      {u"ab*cde", kAnyCrlf, {"cde"}},
      {u"ab{3}c", kAnyCrlf, {"abbbc"}},
      {u"ab{2,}c", kAnyCrlf, {"ab"}},
      {u"ab{0}c", kAnyCrlf, {"ac"}},
      {u"a{2,3}?b", kAnyCrlf, {"ab"}},
      {u"x(abc)y", kAnyCrlf, {"xabcy"}},
      {u"x(?:ab)+y", kAnyCrlf, {"xab"}},
      {u"x(?:abc)*yz", kAnyCrlf, {"yz"}},
      {u"(?:ab|cd)+", kAnyCrlf, {"ab", "cd"}},
      {u"(?:ab|cd)*", kAnyCrlf, {}},
      {u"(?:ab|cd)?x", kAnyCrlf, {"x"}},
      {u"x(?>ab|cde)y", kAnyCrlf, {"ab", "cde"}},  // shortest length 2 beats one needle of 1
      {u"(?<name>abc)|(?'n2'de)|(?P<n3>fgh)", kAnyCrlf, {"abc", "de", "fgh"}},
      {u"(?|(a)|(b))c", kAnyCrlf, {"c"}},
  });
}

TEST(LinePlanNeedles, AlternationAndCaseless) {
  ExpectNeedles({
      {u"error|warning|failed|timeout|denied", kAnyCrlf,
       {"error", "warning", "failed", "timeout", "denied"}},
      {u"(?i)error|warning|failed|timeout|denied", kAnyCrlf,
       {"~error", "~warn", "~led", "~meout", "~den"}},
      {u"a|b|c|d|e|f|g|h", kAnyCrlf, {"a", "b", "c", "d", "e", "f", "g", "h"}},
      {u"a|b|c|d|e|f|g|h|j", kAnyCrlf, {}},  // more than eight
      {u"a|b|a|b|a|b|a|b|a|b", kAnyCrlf, {"a", "b"}},
      {u"ab|c*", kAnyCrlf, {}},
      {u"ab|", kAnyCrlf, {}},
      {u"(?:foo|bar)baz", kAnyCrlf, {"baz"}},
      {u"x(?:foo|bar)y", kAnyCrlf, {"foo", "bar"}},
      // Caseless i, k, s have non-ASCII partners (dotless i, Kelvin sign, long s).
      {u"(?i)disk", kAnyCrlf, {"~d"}},
      {u"(?i)kisk", kAnyCrlf, {}},
      {u"(?i)a-b", kAnyCrlf, {"~a-b"}},
      {u"(?i)12:34", kAnyCrlf, {"12:34"}},
      {u"ab(?i)cd", kAnyCrlf, {"ab"}},  // a case-sensitive and a caseless run
      {u"ab(?i)cde", kAnyCrlf, {"~cde"}},
      {u"ab-(?i)cde", kAnyCrlf, {"~-cde"}},
      {u"(?i:ab)cd", kAnyCrlf, {"~ab"}},
      {u"(?i)ab(?-i)cde", kAnyCrlf, {"cde"}},
      {u"(a(?i)bc|de)", kAnyCrlf, {"~bc", "~de"}},
      {u"(?i)[k]x", kAnyCrlf, {"~x"}},
      {u"desk", kAnyCrlf, {"desk"}},
  });
}

// The plan against PCRE itself: over generated texts, a windowed pattern's
// matches never hold a cut unit, every execution starting at or before a cut
// unit answers the same on the text truncated after it, and every match
// holds a needle.
class Compiled {
 public:
  Compiled(const std::string& pattern, int options) {
    const char* message = nullptr;
    int offset = 0;
    code_ = pcre_compile(pattern.c_str(), options, &message, &offset, nullptr);
  }
  ~Compiled() { pcre_free(code_); }
  Compiled(const Compiled&) = delete;
  Compiled& operator=(const Compiled&) = delete;
  bool ok() const { return code_ != nullptr; }
  int Exec(const std::string& text, std::size_t length, std::size_t start, int* vector,
           int options = 0) const {
    return pcre_exec(code_, nullptr, text.data(), static_cast<int>(length), static_cast<int>(start),
                     options, vector, 30);
  }

 private:
  pcre* code_ = nullptr;
};

bool ContainsNeedle(const std::string& match, const std::vector<Needle>& needles) {
  for (const Needle& n : needles) {
    const auto same = [&](char a, char b) {
      return n.caseless ? std::tolower(static_cast<unsigned char>(a)) ==
                              std::tolower(static_cast<unsigned char>(b))
                        : a == b;
    };
    if (std::search(match.begin(), match.end(), n.text.begin(), n.text.end(), same) !=
        match.end()) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> GeneratedTexts() {
  static const char kAlphabet[] = "abcerox@.-1 ABE\r\n\r\n\xe9";
  std::vector<std::string> texts = {"error\r\nwarn\n", "\r\n\r\n", "a@b.c\rx\n", "ab\nabc\r\n"};
  unsigned seed = 12345;
  for (int i = 0; i < 40; ++i) {
    std::string text;
    const int length = 4 + i % 20;
    for (int j = 0; j < length; ++j) {
      seed = seed * 1103515245u + 12345u;
      text.push_back(kAlphabet[(seed >> 16) % (sizeof kAlphabet - 1)]);
    }
    texts.push_back(text);
  }
  return texts;
}

TEST(LinePlanAgainstPcre, WindowsAndNeedlesHold) {
  struct Case {
    const char* pattern;
    int options;
  };
  const int anyCrlf = PCRE_NEWLINE_ANYCRLF | PCRE_BSR_ANYCRLF;
  const Case cases[] = {
      {"(?m)^.*$", anyCrlf}, {"(?m)^$", anyCrlf}, {"(?m)$", PCRE_NEWLINE_CRLF},
      {"(?m)x$", PCRE_NEWLINE_CRLF}, {"(?m).$", PCRE_NEWLINE_ANY}, {".+", PCRE_NEWLINE_LF},
      {".+", PCRE_NEWLINE_CR}, {"\\N*b", anyCrlf}, {"[^\\n]+", anyCrlf}, {"[^\\r\\n]*", anyCrlf},
      {"(?<=\\n)a", anyCrlf}, {"(?<=\\r|\\n)\\w+", anyCrlf}, {"\\bab\\B", anyCrlf},
      {"\\n", anyCrlf}, {"\\r", anyCrlf}, {"\\r?\\n?", anyCrlf},
      {"[\\w.+-]+@[\\w-]+\\.[\\w.]+", anyCrlf},
      {"error|warn|abc", anyCrlf}, {"(?i)err|ab", anyCrlf}, {"a(?:b|c)+", anyCrlf},
      {"(\\w)\\1", anyCrlf}, {"(?i)(?:ab|e)+r", anyCrlf}, {"[^\\x0b-\\x1f]+", anyCrlf},
      {"(*CR)(?m)^\\w*$", anyCrlf}, {"(?<=(\\n))\\1", anyCrlf}, {"(?<=(\\r))\\1", anyCrlf},
      {"(?x) e # comment\n r", anyCrlf}, {"\\Q.-\\E+1", anyCrlf}, {"(?i)[a-c]{2}(?:x|@)", anyCrlf},
      {"(?s).", anyCrlf}, {"x$", anyCrlf}, {"\\s+", anyCrlf},
  };
  const std::vector<std::string> texts = GeneratedTexts();
  int windowed = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    const std::u16string wide(c.pattern, c.pattern + std::strlen(c.pattern));
    const LinePlan plan = AnalyzeLines(wide, static_cast<unsigned long>(c.options));
    Compiled program(c.pattern, c.options);
    ASSERT_TRUE(program.ok());
    windowed += plan.windowed ? 1 : 0;
    for (const std::string& text : texts) {
      SCOPED_TRACE(::testing::PrintToString(text));
      int vector[30];
      // Every match (the plain loop: an empty match steps one unit on).
      for (std::size_t start = 0; start <= text.size();) {
        if (program.Exec(text, text.size(), start, vector) < 0) break;
        const std::string match = text.substr(vector[0], vector[1] - vector[0]);
        EXPECT_FALSE(plan.cutAtLf && match.find('\n') != std::string::npos) << match;
        EXPECT_FALSE(plan.cutAtCr && match.find('\r') != std::string::npos) << match;
        EXPECT_TRUE(plan.needles.empty() || ContainsNeedle(match, plan.needles)) << match;
        start = vector[1] > vector[0] ? vector[1] : vector[1] + 1;
      }
      if (!plan.windowed) continue;
      for (std::size_t cut = 0; cut < text.size(); ++cut) {
        if (!((text[cut] == '\n' && plan.cutAtLf) || (text[cut] == '\r' && plan.cutAtCr))) continue;
        // Each attempt on its own: anchored at its start.
        for (std::size_t start = 0; start <= cut; ++start) {
          int truncated[30];
          const int full = program.Exec(text, text.size(), start, vector, PCRE_ANCHORED);
          const int part = program.Exec(text, cut + 1, start, truncated, PCRE_ANCHORED);
          ASSERT_EQ(full, part) << "cut " << cut << " start " << start;
          if (full > 0) {
            EXPECT_EQ(vector[0], truncated[0]);
            EXPECT_EQ(vector[1], truncated[1]);
          }
        }
      }
    }
  }
  EXPECT_GE(windowed, 20);  // the table is mostly windowed patterns
}

}  // namespace
}  // namespace qm::plugin
