// Line analysis: tables of patterns and options against the expected plan,
// grouped by what they exercise. Every "not windowed" row is a pattern
// whose matches can span a line end or depend on text after it.
#include "plugin/evaluation/line_plan.h"

#include <gtest/gtest.h>
#include <pcre.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdint>
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

// Windowed: no match consumes CR or LF, so windows may end after either.
struct WindowCase {
  const char16_t* pattern;
  unsigned long options;
  bool windowed;
};

void ExpectWindows(const std::vector<WindowCase>& cases) {
  for (const WindowCase& c : cases) {
    EXPECT_EQ(AnalyzeLines(c.pattern, c.options).windowed, c.windowed) << Narrow(c.pattern);
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
  ExpectWindows({
      {u"error", kAnyCrlf, true},
      {u"(?m)^.*$", kAnyCrlf, true},
      {u"^.*$", kAnyCrlf | PCRE_MULTILINE, true},
      {u"\\d{4}-\\d{2}-\\d{2}", kAnyCrlf, true},
      {u"[\\w.+-]+@[\\w-]+\\.[\\w.]+", kAnyCrlf, true},
      {u"(\\w+)=\\1", kAnyCrlf, true},
      {u"\\bword\\B\\Ax^", kAnyCrlf, true},
      {u"[[:<:]]ab[[:>:]]", kAnyCrlf, true},
      {u"a\\sb", kAnyCrlf, false},
      {u"\\R", kAnyCrlf, false},
      {u"a\\nb", kAnyCrlf, false},
      {u"a\\x{d}b", kAnyCrlf, false},
      {u"a\\015\\cMb", kAnyCrlf, false},
      {u"\\012|\\0", kAnyCrlf, false},
      {u"a\\12", kAnyCrlf, false},  // LF, or a backreference when twelve groups precede
      {u"a\\8\\9", kAnyCrlf, true},
      {u"\\D\\W\\H\\v\\X\\C", kAnyCrlf, false},
      {u"\\d\\w\\h\\S\\V\\N", kAnyCrlf, true},
      {u"\\p{Lu}\\pL\\p{L&}\\p{Zs}", kAnyCrlf, true},
      {u"\\p{Cc}", kAnyCrlf, false},
      {u"\\P{L}", kAnyCrlf, false},
  });
}

// Where a match may not end: $ without multiline, \Z, \z, \G, lookahead,
// DOLLAR_ENDONLY; and what $ reads under each convention.
TEST(LinePlanWindow, EndOfSubjectAndNewlineConventions) {
  ExpectWindows({
      {u"x$", kAnyCrlf, false},
      {u"x\\Z", kAnyCrlf, false},
      {u"x\\z", kAnyCrlf, false},
      {u"\\Gx", kAnyCrlf, false},
      // A lookahead may read to a line end, not across it.
      {u"foo(?=bar)", kAnyCrlf, true},
      {u"foo(?!bar)", kAnyCrlf, true},
      {u"(?<=a(?=b))c", kAnyCrlf, true},
      {u"\\w+(?=@)", kAnyCrlf, true},
      {u"foo(?=\\s)", kAnyCrlf, false},
      {u"foo(?!.*\\nx)", kAnyCrlf, false},
      {u"foo(?=(?s).)", kAnyCrlf, false},
      {u"foo(?=(?m)$)", kAnyCrlf, true},
      {u"foo(?=$)", kAnyCrlf, false},
      {u"foo(?=a\\z)", kAnyCrlf, false},
      {u"x", kAnyCrlf | PCRE_DOLLAR_ENDONLY, false},
      {u"(?m)x$", PCRE_NEWLINE_CRLF, false},
      {u"(*CRLF)(?m)x$", kAnyCrlf, false},
      {u"(?m)x$", 0, false},
      {u"(?m)x$", PCRE_NEWLINE_ANY, true},
      {u"(?m:x$)", PCRE_NEWLINE_CR, true},
      {u"(?m:x)$", kAnyCrlf, false},
      // Dot: the convention's newline characters only.
      {u"a.b", PCRE_NEWLINE_LF, false},
      {u"a.b", PCRE_NEWLINE_CR, false},
      {u"a.b", PCRE_NEWLINE_CRLF, false},
      {u"a.b", 0, false},
      {u"(*LF)a.b", kAnyCrlf, false},
      {u"(*CR)(*UTF8)(*UCP)a\\Nb", kAnyCrlf, false},
      {u"(*UTF8)(?C255)a.b", kAnyCrlf, true},
      {u"(*ANY)(*LIMIT_MATCH=10)(*NO_START_OPT)(*BSR_UNICODE)a.b", PCRE_NEWLINE_LF, true},
      {u"a.b", kAnyCrlf | PCRE_DOTALL, false},
      {u"(?s)a.b", kAnyCrlf, false},
      {u"(?s:a)\\N.b", kAnyCrlf, true},
      {u"(?s)(?-s)a.b", kAnyCrlf, true},
      {u"(a(?s)b|.)", kAnyCrlf, false},  // (?s) lasts to the end of the group, across "|"
      {u"(a(?s)b)|.", kAnyCrlf, true},
  });
}

TEST(LinePlanWindow, CharacterClasses) {
  ExpectWindows({
      {u"[^\"]*", kAnyCrlf, false},
      {u"[^\\n]*", kAnyCrlf, false},
      {u"[^\\r\\n]+", kAnyCrlf, true},
      {u"[^\\s]", kAnyCrlf, true},
      {u"[^\\S]", kAnyCrlf, false},
      {u"[^\\x00-\\x1f]", kAnyCrlf, true},
      {u"[^\\x0b-\\x1f]", kAnyCrlf, false},  // negated, so CR excluded, LF matched
      {u"[\\x00-\\x0c]", kAnyCrlf, false},
      {u"[\\x0b-\\x0c]", kAnyCrlf, true},
      {u"[a-z0-9_]", kAnyCrlf, true},
      {u"[\\d\\w\\h.]", kAnyCrlf, true},
      {u"[\\s]", kAnyCrlf, false},
      {u"[\\012]", kAnyCrlf, false},
      {u"[\\cJ]", kAnyCrlf, false},
      {u"[\\Q\r\\E]", kAnyCrlf, false},
      {u"[]\\n]", kAnyCrlf, false},
      {u"[^]\\n]", kAnyCrlf, false},
      {u"[\\E^a]", kAnyCrlf, false},  // negated: "^" after a leading \E
      {u"[\\Q\\E]\\E\\r]", kAnyCrlf, false},
      {u"[\\d-\\n]", kAnyCrlf, false},      // no range: digit, "-", LF
      {u"[\\x05-[:]", kAnyCrlf, false},      // a range up to "[" (no POSIX class follows)
      // Quoting around ranges: \E may sit on either side of the hyphen, \Q
      // may start the range's end, and inside quoting a hyphen is literal.
      {u"[\\x01-\\E\\x20]", kAnyCrlf, false},
      {u"[\\x01\\E-\\x20]", kAnyCrlf, false},
      {u"[\\x01-\\Q\\x20\\E]", kAnyCrlf, false},
      {u"[\\Q\\x01-\\x20\\E]", kAnyCrlf, true},
      {u"[\\x05-[:x]", kAnyCrlf, false},
      {u"[[:alpha:][:punct:]]", kAnyCrlf, true},
      {u"[[:space:]]", kAnyCrlf, false},
      {u"[^[:space:]]", kAnyCrlf, true},
      {u"[[:^alpha:]]", kAnyCrlf, false},
      {u"[^[:^alpha:]]", kAnyCrlf, true},
      {u"[^\\p{L}]", kAnyCrlf, false},
      {u"[\\p{L}]", kAnyCrlf, true},
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
  ExpectWindows({
      {u"(?<=\\n)abc", kAnyCrlf, true},
      {u"(?<!\\s)abc", kAnyCrlf, true},
      {u"(?<=(\\n))\\1", kAnyCrlf, false},  // the reference repeats what the lookbehind saw
      {u"(?<=(\\n))x", kAnyCrlf, true},
  });
}

TEST(LinePlanWindow, ExtendedModeAndQuoting) {
  ExpectWindows({
      {u"(?x) a \\n b", kAnyCrlf, false},
      {u"(?x) a \n b \r c", kAnyCrlf, true},  // white space only
      {u"(?x) a # comment\n b", kAnyCrlf, true},
      {u"a #. \n b", kAnyCrlf | PCRE_EXTENDED, true},
      {u"(*CR)(?x) a # \n . b", kAnyCrlf, true},  // no CR: the comment, "." too, runs to the end
      {u"(*LF)(?x) a # \r\n . b", kAnyCrlf, false},  // the comment ends at the LF; "." may be a CR
      {u"a # x", kAnyCrlf | PCRE_EXTENDED, true},
      {u"(?x)a\\ b", kAnyCrlf, true},
      {u"\\Q.\n\\E", PCRE_NEWLINE_LF, false},
      {u"\\Qa$\\E", kAnyCrlf, true},
      {u"(?#\n)x", kAnyCrlf, true},
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

// A whole literal is answered without PCRE: only a pattern that is the
// needle's text and nothing else qualifies.
TEST(LinePlanNeedles, WholeLiterals) {
  struct Case {
    const char16_t* pattern;
    unsigned long options;
    bool whole;
  };
  const Case cases[] = {
      {u"error", kAnyCrlf, true},
      {u"b", kAnyCrlf, true},
      {u"x=1", kAnyCrlf, true},
      {u"a-b_c@d/e", kAnyCrlf, true},
      {u"(*UTF8)(*LF)(?C255)error", kAnyCrlf, true},
      {u"(*LIMIT_MATCH=5)error", kAnyCrlf, false},
      {u"(?i)error", kAnyCrlf, false},
      {u"error", kAnyCrlf | PCRE_CASELESS, false},
      {u"error", kAnyCrlf | PCRE_EXTENDED, false},
      {u"(?:error)", kAnyCrlf, false},
      {u"ab\\.cd", kAnyCrlf, false},  // an escape: the needle is "ab.cd", the text is not
      {u"[e]rror", kAnyCrlf, false},
      {u"error ", kAnyCrlf, false},
      {u"error|warning|failed", kAnyCrlf, true},
      {u"err|error", kAnyCrlf, true},  // the first that occurs at a place wins
      {u"a|a", kAnyCrlf, false},
      {u"error|", kAnyCrlf, false},
      {u"(?:error|warning)", kAnyCrlf, false},
      {u"error|(?i)warning", kAnyCrlf, false},
      {u"errors?", kAnyCrlf, false},
      {u"^error", kAnyCrlf, false},
      {u"\berror\b", kAnyCrlf, false},
      {u"error$", kAnyCrlf, false},
      {u"caf\u00e9", kAnyCrlf, false},
      {u"", kAnyCrlf, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AnalyzeLines(c.pattern, c.options).wholeLiteral, c.whole) << Narrow(c.pattern);
  }
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

// "offset:unit" for each probe, in offset order.
struct ProbeCase {
  const char16_t* pattern;
  unsigned long options;
  std::vector<std::string> probes;
};

TEST(LinePlanProbes, UnitsAtFixedDistancesFromTheStart) {
  const std::vector<ProbeCase> cases = {
      {u"\\d{4}-\\d{2}-\\d{2}", kAnyCrlf, {"4:-", "7:-"}},
      {u"(\\d{4})-(\\d\\d)-(?:\\d\\d)", kAnyCrlf, {"4:-", "7:-"}},
      {u"a.b[^x]\\Cc\\pLd\\Ne", kAnyCrlf, {"0:a", "2:b", "5:c", "7:d", "9:e"}},
      {u"x(?:ab){2}-", kAnyCrlf, {"0:x", "1:a", "2:b", "3:a", "4:b", "5:-"}},
      {u"\\Qa.\\Eb", kAnyCrlf, {"0:a", "1:.", "2:b"}},
      {u"(?x) a \\d # note\n - [-]", kAnyCrlf, {"0:a", "2:-", "3:-"}},
      {u"a\\x2d\\055\\-", kAnyCrlf, {"0:a", "1:-", "2:-", "3:-"}},
      // zero-width items move nothing; option settings apply onwards
      {u"(?<=-)\\b-(?=yy)^$(?i)-Q", kAnyCrlf | PCRE_MULTILINE, {"0:-", "1:-"}},
      // caseless letters are no probes (code pages and Unicode give them partners)
      {u"(?i)a-b", kAnyCrlf, {"1:-"}},
      // the first copy of a repeat that has one, and nothing after it
      {u"x[ab]+-", kAnyCrlf, {"0:x"}},
      {u"xy{1,3}-", kAnyCrlf, {"0:x", "1:y"}},
      {u"x(?:ab)+-", kAnyCrlf, {"0:x", "1:a", "2:b"}},
      {u"xy?-", kAnyCrlf, {"0:x"}},
      // what may take other than one character ends them
      {u"a\\R-", kAnyCrlf, {"0:a"}},
      {u"a\\X-", kAnyCrlf, {"0:a"}},
      {u"(a)\\1-", kAnyCrlf, {"0:a"}},
      {u"x(?:ab|cd)-", kAnyCrlf, {"0:x"}},
      {u"ab|cd", kAnyCrlf, {}},
      {u"x{70}-", kAnyCrlf, {}},  // 64 probes: none at 64 or beyond
      // UTF mode: the same probes (they hold where characters are one unit)
      {u"(*UTF8)\\d-\\d-", 0, {"1:-", "3:-"}},
  };
  for (const ProbeCase& c : cases) {
    const LinePlan plan = AnalyzeLines(c.pattern, c.options);
    std::vector<std::string> got;
    for (const Probe& probe : plan.probes) {
      got.push_back(std::to_string(probe.offset) + ":" + std::string(1, probe.unit));
    }
    if (std::u16string(c.pattern) == u"x{70}-") {
      EXPECT_EQ(got.size(), 64u) << Narrow(c.pattern);
      continue;
    }
    EXPECT_EQ(got, c.probes) << Narrow(c.pattern);
  }
  EXPECT_TRUE(AnalyzeLines(u"(*UTF8)a-b", 0).multiUnit);
  EXPECT_TRUE(AnalyzeLines(u"a-b", PCRE_UTF8).multiUnit);
  EXPECT_FALSE(AnalyzeLines(u"(*UCP)a-b", 0).multiUnit);
}

// A pattern compiled by PCRE itself, to check the plan against.
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

// Line ends written in every form PCRE reads, in every context: whatever
// PCRE lets match a CR or an LF must not be windowed. The items are
// generated (every \xHH, \ooo, \o{..}, \x{..}, \cX, every range bound, the
// types and POSIX classes) and PCRE itself says which of them can match a
// line end, so the table cannot miss a form the analysis does not know.
std::vector<std::string> LineEndItems() {
  std::vector<std::string> items = {"\\n", "\\r", "\\R", "\\s", "\\v", "\\h", "\\X", "\\C",
                                    "\\N", ".", "\\D", "\\W", "\\H", "\\S", "\\V", "\\w",
                                    "\\p{Any}", "\\p{Cc}", "\\p{Xsp}", "\\p{Xps}", "\\p{Xwd}",
                                    "\\P{L}", "\\p{^L}", "\n", "\r", "\\Q\n\\E", "\\Q\r\\E"};
  const char* const posix[] = {"space", "cntrl", "ascii", "blank", "graph", "print", "punct",
                               "alpha", "word"};
  for (const char* name : posix) {
    items.push_back(std::string("[[:") + name + ":]]");
    items.push_back(std::string("[[:^") + name + ":]]");
  }
  char buffer[32];
  for (int c = 0; c < 0x20; ++c) {
    std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
    items.push_back(buffer);
    std::snprintf(buffer, sizeof buffer, "\\x{%X}", c);
    items.push_back(buffer);
    std::snprintf(buffer, sizeof buffer, "\\x{00%x}", c);
    items.push_back(buffer);
    std::snprintf(buffer, sizeof buffer, "\\%03o", c);
    items.push_back(buffer);
    std::snprintf(buffer, sizeof buffer, "\\o{%o}", c);
    items.push_back(buffer);
    std::snprintf(buffer, sizeof buffer, "\\c%c", static_cast<char>(c ^ 0x40));
    items.push_back(buffer);
    if (c >= 1 && c <= 26) {
      std::snprintf(buffer, sizeof buffer, "\\c%c", static_cast<char>('a' + c - 1));
      items.push_back(buffer);
    }
  }
  // Ranges whose bounds enclose or touch 0x0A and 0x0D.
  for (int low : {0x00, 0x09, 0x0A, 0x0B, 0x0D, 0x0E}) {
    for (int high : {0x0A, 0x0C, 0x0D, 0x1F, 0x7F}) {
      if (high < low) continue;
      std::snprintf(buffer, sizeof buffer, "[\\x%02x-\\x%02x]", low, high);
      items.push_back(buffer);
      std::snprintf(buffer, sizeof buffer, "[^\\x%02x-\\x%02x]", low, high);
      items.push_back(buffer);
    }
  }
  // Simple forms also inside a class, negated, and next to other members.
  const std::size_t simple = items.size();
  for (std::size_t i = 0; i < simple; ++i) {
    const std::string& item = items[i];
    if (item[0] == '[' || item == "." || item == "\\R" || item == "\\X" || item == "\\N" ||
        item == "\\C" || item.compare(0, 2, "\\Q") == 0) {
      continue;
    }
    items.push_back("[" + item + "]");
    items.push_back("[a" + item + "z]");
    items.push_back("[^" + item + "]");
  }
  return items;
}

TEST(LinePlanWindow, WhateverCanMatchALineEndIsNotWindowed) {
  const int anyCrlf = PCRE_NEWLINE_ANYCRLF | PCRE_BSR_ANYCRLF;
  const int optionSets[] = {anyCrlf, anyCrlf | PCRE_CASELESS, anyCrlf | PCRE_UTF8 | PCRE_UCP,
                            anyCrlf | PCRE_EXTENDED, anyCrlf | PCRE_DOTALL,
                            PCRE_NEWLINE_LF, PCRE_NEWLINE_CR, PCRE_NEWLINE_CRLF, PCRE_NEWLINE_ANY};
  int lineEndItems = 0;
  for (const std::string& item : LineEndItems()) {
    // Alone, between literals, quantified, inside a group, an alternation
    // and a lookbehind-free extended layout.
    const std::string patterns[] = {item, "X" + item + "Y", "X(?:" + item + ")+Y",
                                    "X(" + item + "|Z)Y", "(?x) X " + item + " Y"};
    for (const int options : optionSets) {
      for (const std::string& pattern : patterns) {
        Compiled program(pattern, options);
        if (!program.ok()) continue;
        bool matchesLineEnd = false;
        for (const char* text : {"X\nY", "X\rY", "X\r\nY", "\n", "\r"}) {
          int vector[30];
          matchesLineEnd = matchesLineEnd ||
                           (program.Exec(text, std::strlen(text), 0, vector) >= 0 &&
                            std::string(text + vector[0], text + vector[1])
                                    .find_first_of("\r\n") != std::string::npos);
        }
        if (!matchesLineEnd) continue;
        ++lineEndItems;
        const std::u16string wide(pattern.begin(), pattern.end());
        EXPECT_FALSE(AnalyzeLines(wide, static_cast<unsigned long>(options)).windowed)
            << pattern << " options " << std::hex << options;
      }
    }
  }
  EXPECT_GT(lineEndItems, 1000);  // the generator really produces line-end items
}

// The plan against PCRE itself: over generated texts, a windowed pattern's
// matches never hold a CR or LF, every execution starting at or before one
// answers the same on the text truncated after it, and every match holds a
// needle.
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
      {"(?s).", anyCrlf}, {"x$", anyCrlf}, {"\\s+", anyCrlf}, {"\\w+(?=@|\\.)", anyCrlf},
      {"a(?!b)", anyCrlf}, {"\\w(?=[^\\r\\n]*$)", anyCrlf}, {"(?m)\\w(?=$)", anyCrlf},
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
        EXPECT_FALSE(plan.windowed && match.find_first_of("\r\n") != std::string::npos) << match;
        EXPECT_TRUE(plan.needles.empty() || ContainsNeedle(match, plan.needles)) << match;
        start = vector[1] > vector[0] ? vector[1] : vector[1] + 1;
      }
      if (!plan.windowed) continue;
      for (std::size_t cut = 0; cut < text.size(); ++cut) {
        if (text[cut] != '\n' && text[cut] != '\r') continue;
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
  EXPECT_GE(windowed, 18);  // the table is mostly windowed patterns
}

// The probes against PCRE itself: generated patterns in every option set,
// and every match in generated texts (ASCII, two-byte and multi-byte
// digits) holds them where its characters are one unit each.
TEST(LinePlanAgainstPcre, ProbesHoldAtEveryMatchStart) {
  static const char* const kItems[] = {
      "a", "b", "-", "1", ".", "\\d", "\\w", "\\s", "[a-]", "[^-]", "\\C", "\\pL", "\\x2d",
      "\\Q-a\\E", "(?:a-)", "(a|-)", "(?=a)", "(?<=-)", "\\b", "(?i)", "\\R", "\xc3\xa9",
      "(\\d)\\1", "\\D", "[[:digit:]]", "\\N", "(?:\\d-){2}", "A"};
  static const char* const kQuantifiers[] = {"", "", "", "{2}", "?", "+", "*", "{1,2}", "{3}"};
  static const char* const kTokens[] = {"a", "b", "-", "1", "2", " ", "A", "\xc3\xa9",
                                        "\xd9\xa3" /* U+0663, a digit */, "--", "\r\n"};
  const int anyCrlf = PCRE_NEWLINE_ANYCRLF | PCRE_BSR_ANYCRLF;
  const int optionSets[] = {anyCrlf, anyCrlf | PCRE_CASELESS, anyCrlf | PCRE_UTF8 | PCRE_UCP,
                            anyCrlf | PCRE_UTF8, anyCrlf | PCRE_EXTENDED};
  std::uint32_t seed = 99;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  std::vector<std::string> texts;
  for (int i = 0; i < 30; ++i) {
    std::string text;
    while (text.size() < 40 + static_cast<std::size_t>(i) * 4) {
      text += kTokens[next(sizeof kTokens / sizeof kTokens[0])];
    }
    texts.push_back(text);
  }
  int probed = 0;
  long checked = 0;
  for (int n = 0; n < 600; ++n) {
    std::string pattern;
    const std::uint32_t items = 2 + next(5);
    for (std::uint32_t k = 0; k < items; ++k) {
      pattern += kItems[next(sizeof kItems / sizeof kItems[0])];
      pattern += kQuantifiers[next(sizeof kQuantifiers / sizeof kQuantifiers[0])];
      if (next(4) == 0) pattern += " ";
    }
    for (const int options : optionSets) {
      Compiled program(pattern, options);
      if (!program.ok()) continue;
      const std::u16string wide(pattern.begin(), pattern.end());  // bytes as units, as for ANSI
      const LinePlan plan = AnalyzeLines(wide, static_cast<unsigned long>(options));
      if (plan.probes.empty()) continue;
      EXPECT_EQ(plan.multiUnit, (options & PCRE_UTF8) != 0);
      probed += plan.probes.size() >= 2 ? 1 : 0;
      const std::size_t span = plan.probes.back().offset + 1;
      for (const std::string& text : texts) {
        int vector[30];
        for (std::size_t start = 0; start <= text.size();) {
          if (program.Exec(text, text.size(), start, vector) < 0) break;
          const auto m = static_cast<std::size_t>(vector[0]);
          const std::size_t reachEnd = std::min(text.size(), m + 4 * span);
          const bool oneUnitEach =
              !plan.multiUnit || std::all_of(text.begin() + static_cast<std::ptrdiff_t>(m),
                                             text.begin() + static_cast<std::ptrdiff_t>(reachEnd),
                                             [](char c) { return (c & 0x80) == 0; });
          if (oneUnitEach) {
            for (const Probe& probe : plan.probes) {
              ASSERT_TRUE(m + probe.offset < text.size() && text[m + probe.offset] == probe.unit)
                  << "pattern " << pattern << " options " << std::hex << options << std::dec
                  << " match at " << m << " probe " << probe.offset << ":" << probe.unit
                  << " text " << ::testing::PrintToString(text);
            }
            ++checked;
          }
          if (vector[1] > vector[0]) {
            start = static_cast<std::size_t>(vector[1]);
          } else {
            start = static_cast<std::size_t>(vector[1]) + 1;
            // An empty match in UTF mode steps a whole character.
            while (start < text.size() && (text[start] & 0xC0) == 0x80) ++start;
          }
        }
      }
    }
  }
  // The generator really yields probed patterns and matches to check.
  EXPECT_GT(probed, 300);
  EXPECT_GT(checked, 5000);
}

}  // namespace
}  // namespace qm::plugin
