// Line analysis of a pattern: whether its matches stay inside one line, so
// that the engine may evaluate a text in windows that end after a line break,
// and which literals every match contains, so that it may skip lines (or whole
// texts) where none of them occurs.
//
// The analysis reads the pattern text only (no PCRE call) and is
// conservative: a construct it does not model yields the empty plan (not
// windowed, no needles). It is meant for patterns that compiled; for one that
// does not, the answer is meaningless but harmless.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qm::plugin {

// A literal every match contains (ASCII only).
struct Needle {
  std::string text;       // 1+ ASCII bytes
  bool caseless = false;  // ASCII letters match in either case (never contains i, k, s in any case)
};

inline bool operator==(const Needle& a, const Needle& b) {
  return a.text == b.text && a.caseless == b.caseless;
}

// An ASCII unit every match holds at a fixed distance from its start.
struct Probe {
  std::size_t offset = 0;
  char unit = 0;
};

// What the engine may do with a program whose matches stay inside one line.
struct LinePlan {
  // True only when it is proven that no match consumes a CR (U+000D) or an
  // LF (U+000A), and that evaluating the pattern on the subject truncated
  // just after any CR or LF gives, for every match attempt starting at or
  // before that unit, exactly the result it gives on the full subject.
  // Windows and chunks may then end after any line-end unit: callers cut at
  // LF, at CR, or at either, so a pattern that may consume one of the two is
  // never windowed.
  bool windowed = false;
  // Every match contains at least one of these (empty: no such set is
  // known). At most kMaxNeedles entries, no two equal. Valid also when not
  // windowed.
  std::vector<Needle> needles;
  // The pattern is nothing but case-sensitive ASCII literals: one, or
  // several as alternatives (no two equal), held in pattern order in
  // `alternatives`, and needles holds each of them. A match then begins at
  // the first place where any of them occurs and is the first of them, in
  // pattern order, that occurs there; so a search for the texts answers
  // what PCRE would.
  bool wholeLiteral = false;
  std::vector<std::string> alternatives;
  // Every match, beginning at p, whose characters before the farthest probe
  // take one unit each (always so without UTF mode), holds `unit` at
  // p + offset for each of these. In offset order, offsets below
  // kMaxProbeSpan. Valid also when not windowed.
  std::vector<Probe> probes;
  // The pattern runs in UTF mode (by its options or a start item): a
  // character may take several units.
  bool multiUnit = false;
  // The analysis read the whole pattern (every construct was modelled).
  bool parsed = false;
  // When parsed: the offset of the backslash of every \z, \Z and \G escape
  // outside classes, quoting and comments, in pattern order.
  std::vector<std::size_t> boundEscapes;
};

inline constexpr std::size_t kMaxNeedles = 8;
inline constexpr std::size_t kMaxProbeSpan = 64;

// pattern: the expression exactly as compiled for one form, one unit per
// character (for the ANSI form each byte widened to one unit; units >= 0x80
// stand for "some non-ASCII character"). Leading start-of-pattern items such
// as (*CRLF) or (*UTF8) are read as PCRE reads them; the matcher's stop
// callout "(?C255)" may follow them (any other callout gives the empty plan).
// options: the PCRE compile options given (PCRE_CASELESS, PCRE_MULTILINE,
// PCRE_DOTALL, PCRE_EXTENDED, PCRE_UTF8, PCRE_UCP, PCRE_DOLLAR_ENDONLY,
// PCRE_UNGREEDY, the PCRE_NEWLINE_* and PCRE_BSR_* bits, PCRE_NO_UTF8_CHECK);
// any other option gives the empty plan. A newline convention of 0 (the
// library's default) is treated as unknown.
LinePlan AnalyzeLines(const std::u16string& pattern, unsigned long options);

}  // namespace qm::plugin
