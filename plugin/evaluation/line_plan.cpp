// Line analysis of a pattern (see line_plan.h).
//
// One recursive-descent pass over the pattern text, following PCRE's syntax:
// the start-of-pattern items, then alternations, sequences, items and their
// quantifiers. While reading, it records which of CR and LF an item may
// consume (outside lookaround), which constructs rule windowing out, and for
// each sequence the literal runs that every match of it contains and the
// units its matches hold at fixed distances from their start. Anything not
// modelled throws Unsupported, which gives the empty plan.
#include "plugin/evaluation/line_plan.h"

#include <pcre.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace qm::plugin {
namespace {

constexpr char16_t kLf = 0x0A;
constexpr char16_t kCr = 0x0D;
constexpr unsigned long kNewlineMask = 0x00700000;
constexpr unsigned long kUnbounded = ~0ul;
constexpr int kMaxDepth = 250;                     // PCRE's own nesting limit
constexpr std::size_t kMaxExactRepeat = 64;        // longest literal built from x{n}
constexpr unsigned long kAllowedOptions =
    PCRE_CASELESS | PCRE_MULTILINE | PCRE_DOTALL | PCRE_EXTENDED | PCRE_UTF8 | PCRE_UCP |
    PCRE_UNGREEDY | PCRE_NO_UTF8_CHECK | kNewlineMask | PCRE_BSR_ANYCRLF | PCRE_BSR_UNICODE |
    PCRE_DOLLAR_ENDONLY | PCRE_ANCHORED | PCRE_DUPNAMES | PCRE_NO_AUTO_POSSESS |
    PCRE_NO_START_OPTIMIZE | PCRE_EXTRA;

// Thrown for anything the analysis does not model.
struct Unsupported {};

enum class Newline { kCr, kLf, kCrlf, kAny, kAnyCrlf, kUnknown };

// How a literal character may take part in a needle.
enum class Mode : std::uint8_t {
  kNeutral,   // ASCII without case
  kExact,     // ASCII letter, case-sensitive
  kCaseless,  // ASCII letter, either case
  kBarrier,   // never in a needle: non-ASCII, or a caseless i/k/s (they have non-ASCII partners)
};

struct LiteralChar {
  char16_t c;
  Mode mode;
};

using NeedleSet = std::vector<Needle>;

// How every match of an item or sequence begins, read one unit per
// character: its first `length` characters take one unit each, and it holds
// the probes' units at their offsets from its start.
struct Shape {
  std::vector<Probe> probes;
  std::size_t length = 0;
  bool fixed = true;  // every match is exactly `length` characters
};

// What every match of a sequence, alternation or group contains.
struct Fragment {
  NeedleSet needles;                 // best known set (empty: none)
  bool exact = true;                 // every match is exactly `literal`
  std::vector<LiteralChar> literal;  // meaningful when exact
  Shape shape;
};

// Whether a one-character item may match CR/LF, and whether it surely does
// (what a negated class needs).
struct CharSet {
  bool mayCr = false;
  bool mayLf = false;
  bool mustCr = false;
  bool mustLf = false;
};
constexpr CharSet kNone{};
constexpr CharSet kAll{true, true, true, true};           // \s \v \D \W \H and the like
constexpr CharSet kMaybe{true, true, false, false};       // not modelled

CharSet Single(std::uint32_t c) {
  const bool cr = c == kCr;
  const bool lf = c == kLf;
  return {cr, lf, cr, lf};
}

CharSet Range(std::uint32_t low, std::uint32_t high) {
  const bool cr = low <= kCr && kCr <= high;
  const bool lf = low <= kLf && kLf <= high;
  return {cr, lf, cr, lf};
}

void Add(CharSet& into, const CharSet& set) {
  into.mayCr |= set.mayCr;
  into.mayLf |= set.mayLf;
  into.mustCr |= set.mustCr;
  into.mustLf |= set.mustLf;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsOctal(char16_t c) { return c >= u'0' && c <= u'7'; }
bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsAsciiAlnum(char16_t c) { return IsAsciiLetter(c) || IsDigit(c); }

// Character values beyond Unicode only need to stay beyond it.
std::uint32_t Capped(std::uint32_t value) { return std::min<std::uint32_t>(value, 0x110000); }

int HexValue(char16_t c) {
  if (IsDigit(c)) return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

Mode ModeOf(std::uint32_t c, bool caseless) {
  if (c >= 0x80) return Mode::kBarrier;
  const auto ch = static_cast<char16_t>(c);
  if (!IsAsciiLetter(ch)) return Mode::kNeutral;
  if (!caseless) return Mode::kExact;
  const char16_t lower = ch | 0x20;
  return lower == u'i' || lower == u'k' || lower == u's' ? Mode::kBarrier : Mode::kCaseless;
}

std::size_t ShortestLength(const NeedleSet& set) {
  std::size_t shortest = ~std::size_t{0};
  for (const Needle& n : set) shortest = std::min(shortest, n.text.size());
  return shortest;
}

// Longer shortest needle first, then fewer needles.
bool Better(const NeedleSet& a, const NeedleSet& b) {
  if (b.empty()) return !a.empty();
  if (a.empty()) return false;
  const std::size_t la = ShortestLength(a);
  const std::size_t lb = ShortestLength(b);
  if (la != lb) return la > lb;
  return a.size() < b.size();
}

// Collects one concatenation: the current run of adjacent literal
// characters, and the needle sets of its finished runs and of its groups.
class SequenceBuilder {
 public:
  void Append(LiteralChar ch) {
    if (exact_) literal_.push_back(ch);
    if (ch.mode == Mode::kBarrier) {
      FlushRun(0);
      return;
    }
    if (ch.mode != Mode::kNeutral) {
      // A run is either case-sensitive or caseless; the neutral tail of the
      // old run still precedes this character.
      if (runMode_ != Mode::kNeutral && runMode_ != ch.mode) FlushRun(trailingNeutral_);
      runMode_ = ch.mode;
      trailingNeutral_ = 0;
    } else {
      ++trailingNeutral_;
    }
    run_.push_back(static_cast<char>(ch.c));
  }

  // Something that is not a fixed literal comes next.
  void Break() {
    FlushRun(0);
    exact_ = false;
  }

  void AddCandidate(const NeedleSet& set) {
    if (!set.empty()) candidates_.push_back(set);
  }

  // The next item's matches, of the given shape, min to max of them: the
  // start stays known through a fixed number of fixed-length copies, and
  // into the first copy of any other repeat that has one.
  void Extend(const Shape& item, unsigned long min, unsigned long max) {
    if (!shape_.fixed || (item.fixed && item.length == 0)) return;
    const unsigned long copies = min == max ? min : std::min(min, 1ul);
    for (unsigned long i = 0; i < copies && shape_.fixed; ++i) Place(item);
    if (min != max) shape_.fixed = false;
  }

  Fragment Finish() {
    FlushRun(0);
    Fragment out;
    out.shape = std::move(shape_);
    out.exact = exact_;
    out.literal = std::move(literal_);
    for (NeedleSet& set : candidates_) {
      if (Better(set, out.needles)) out.needles = std::move(set);
    }
    return out;
  }

 private:
  // Ends the run as a candidate; the next run starts with its last `keep`
  // characters (all neutral).
  void FlushRun(std::size_t keep) {
    if (!run_.empty()) {
      candidates_.push_back({Needle{run_, runMode_ == Mode::kCaseless}});
    }
    run_.erase(0, run_.size() - keep);
    runMode_ = Mode::kNeutral;
    trailingNeutral_ = keep;
  }

  void Place(const Shape& item) {
    for (const Probe& probe : item.probes) {
      const std::size_t at = shape_.length + probe.offset;
      if (at >= kMaxProbeSpan) break;
      shape_.probes.push_back({at, probe.unit});
    }
    shape_.length += item.length;
    if (!item.fixed || shape_.length >= kMaxProbeSpan) shape_.fixed = false;
  }

  std::string run_;
  Mode runMode_ = Mode::kNeutral;
  std::size_t trailingNeutral_ = 0;
  std::vector<NeedleSet> candidates_;
  bool exact_ = true;
  std::vector<LiteralChar> literal_;
  Shape shape_;
};

// One item of a sequence, before its quantifier is known.
struct Item {
  enum class Kind { kNone, kChar, kGroup, kOpaque, kZeroWidth };
  Kind kind = Kind::kNone;
  LiteralChar ch{};
  Fragment group;
  bool oneChar = false;  // kOpaque: every match is one character (a class, ".", \d ...)
};

// A character matches one unit when a character is one unit; a case-
// sensitive ASCII unit (or one without case) is known.
Shape ShapeOf(const Item& item) {
  Shape shape;
  switch (item.kind) {
    case Item::Kind::kNone:
    case Item::Kind::kZeroWidth:
      break;
    case Item::Kind::kChar:
      shape.length = 1;
      if (item.ch.mode == Mode::kNeutral || item.ch.mode == Mode::kExact) {
        shape.probes.push_back({0, static_cast<char>(item.ch.c)});
      }
      break;
    case Item::Kind::kOpaque:
      shape.length = item.oneChar ? 1 : 0;
      shape.fixed = item.oneChar;
      break;
    case Item::Kind::kGroup:
      shape = item.group.shape;
      break;
  }
  return shape;
}

void AppendRepeated(SequenceBuilder& seq, const std::vector<LiteralChar>& literal,
                    unsigned long min, unsigned long max) {
  if (literal.empty()) return;
  if (min == max && min <= kMaxExactRepeat / literal.size()) {
    for (unsigned long i = 0; i < min; ++i) {
      for (const LiteralChar& ch : literal) seq.Append(ch);
    }
    return;
  }
  if (min == 0) {
    seq.Break();
    return;
  }
  // At least one copy: the text before the repeat runs into the first copy,
  // and the last copy runs into the text after it.
  for (const LiteralChar& ch : literal) seq.Append(ch);
  seq.Break();
  for (const LiteralChar& ch : literal) seq.Append(ch);
}

void Commit(SequenceBuilder& seq, const Item& item, unsigned long min, unsigned long max) {
  seq.Extend(ShapeOf(item), min, max);
  switch (item.kind) {
    case Item::Kind::kNone:
    case Item::Kind::kZeroWidth:
      return;
    case Item::Kind::kOpaque:
      seq.Break();
      return;
    case Item::Kind::kChar:
      AppendRepeated(seq, {item.ch}, min, max);
      return;
    case Item::Kind::kGroup:
      if (item.group.exact) {
        AppendRepeated(seq, item.group.literal, min, max);
      } else {
        seq.Break();
        if (min > 0) {
          seq.AddCandidate(item.group.needles);
          seq.Break();
        }
      }
      return;
  }
}

// Every match of an alternation contains a needle of the branch it took.
Fragment Combine(std::vector<Fragment>& branches) {
  if (branches.size() == 1) return std::move(branches.front());
  Fragment out;
  out.exact = false;
  out.shape.fixed = false;
  for (const Fragment& branch : branches) {
    if (branch.needles.empty()) {
      out.needles.clear();
      return out;
    }
    for (const Needle& n : branch.needles) {
      bool known = false;
      for (const Needle& m : out.needles) known = known || m == n;
      if (!known) out.needles.push_back(n);
    }
    if (out.needles.size() > kMaxNeedles) {
      out.needles.clear();
      return out;
    }
  }
  return out;
}

class Analyzer {
 public:
  Analyzer(const std::u16string& pattern, unsigned long options)
      : p_(pattern.substr(0, pattern.find(u'\0'))), options_(options) {}

  LinePlan Run() {
    LinePlan plan;
    try {
      if ((options_ & ~kAllowedOptions) != 0) return plan;
      newline_ = NewlineOf(options_ & kNewlineMask);
      if ((options_ & PCRE_DOLLAR_ENDONLY) != 0) notWindowable_ = true;
      ReadStartItems();
      bodyStart_ = pos_;
      Flags flags{(options_ & PCRE_CASELESS) != 0, (options_ & PCRE_MULTILINE) != 0,
                  (options_ & PCRE_DOTALL) != 0, (options_ & PCRE_EXTENDED) != 0};
      Fragment top = ParseAlternation(flags, 0);
      if (!AtEnd()) throw Unsupported{};  // an unmatched ")"
      plan.needles = std::move(top.needles);
      plan.probes = std::move(top.shape.probes);
      plan.multiUnit = (options_ & PCRE_UTF8) != 0 || utfItem_;
    } catch (const Unsupported&) {
      return LinePlan{};
    }
    plan.parsed = true;
    std::sort(boundEscapes_.begin(), boundEscapes_.end());
    boundEscapes_.erase(std::unique(boundEscapes_.begin(), boundEscapes_.end()),
                        boundEscapes_.end());
    plan.boundEscapes = std::move(boundEscapes_);
    // A backreference may repeat what a lookbehind captured.
    if (hasBackreference_) {
      consumesCr_ |= lookaroundCr_;
      consumesLf_ |= lookaroundLf_;
    }
    // Whatever may consume either line-end unit rules windows out: a
    // chunk or window may end after an LF or after a CR.
    plan.windowed = !notWindowable_ && !consumesCr_ && !consumesLf_ && !dollarNeedsCr_ &&
                    !lookaheadReadsLineEnd_;
    if (plan.windowed) plan.alternatives = WholeLiterals(plan.needles);
    plan.wholeLiteral = !plan.alternatives.empty();
    return plan;
  }

 private:
  struct Flags {
    bool caseless;
    bool multiline;
    bool dotall;
    bool extended;
  };

  // The body after the start items as its alternatives when it is nothing
  // but literals separated by "|", each written in characters that stand
  // for themselves in every mode (no whitespace or '#', which extended mode
  // reads otherwise), case-sensitive, no two equal, and the needles are
  // exactly those literals; when no start item limits the match. Else
  // empty.
  std::vector<std::string> WholeLiterals(const std::vector<Needle>& needles) const {
    if ((options_ & (PCRE_CASELESS | PCRE_EXTENDED)) != 0) return {};
    if (p_.substr(0, bodyStart_).find(u"LIMIT_") != std::u16string::npos) return {};
    static const std::u16string kPlain = u"_-,;:!%&'\"<>=@~/`";
    std::vector<std::string> parts(1);
    for (std::size_t i = bodyStart_; i < p_.size(); ++i) {
      const char16_t c = p_[i];
      if (c == u'|') {
        parts.emplace_back();
      } else if (IsAsciiAlnum(c) || kPlain.find(c) != std::u16string::npos) {
        parts.back().push_back(static_cast<char>(c));
      } else {
        return {};
      }
    }
    if (parts.size() != needles.size()) return {};
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (parts[i].empty() || std::count(parts.begin(), parts.end(), parts[i]) != 1) return {};
      const bool needed = std::any_of(needles.begin(), needles.end(), [&](const Needle& n) {
        return !n.caseless && n.text == parts[i];
      });
      if (!needed) return {};
    }
    return parts;
  }

  static Newline NewlineOf(unsigned long bits) {
    switch (bits) {
      case 0: return Newline::kUnknown;
      case PCRE_NEWLINE_CR: return Newline::kCr;
      case PCRE_NEWLINE_LF: return Newline::kLf;
      case PCRE_NEWLINE_CRLF: return Newline::kCrlf;
      case PCRE_NEWLINE_ANY: return Newline::kAny;
      case PCRE_NEWLINE_ANYCRLF: return Newline::kAnyCrlf;
      default: throw Unsupported{};
    }
  }

  bool AtEnd() const { return pos_ >= p_.size(); }
  // 0 past the end (the pattern holds no NUL: PCRE stops reading there).
  char16_t Peek(std::size_t ahead = 0) const {
    return pos_ + ahead < p_.size() ? p_[pos_ + ahead] : u'\0';
  }
  char16_t Next() {
    if (AtEnd()) throw Unsupported{};
    return p_[pos_++];
  }
  bool Eat(char16_t c) {
    if (AtEnd() || p_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  bool LookingAt(const char16_t* text) const {
    for (std::size_t i = 0; text[i] != u'\0'; ++i) {
      if (Peek(i) != text[i]) return false;
    }
    return true;
  }

  void Consume(const CharSet& set) {
    if (lookahead_ > 0 && (set.mayCr || set.mayLf)) lookaheadReadsLineEnd_ = true;
    if (lookaround_ > 0) {
      lookaroundCr_ |= set.mayCr;
      lookaroundLf_ |= set.mayLf;
    } else {
      consumesCr_ |= set.mayCr;
      consumesLf_ |= set.mayLf;
    }
  }

  // What "." without dotall (and \N) matches of CR/LF.
  CharSet DotSet() const {
    switch (newline_) {
      case Newline::kCr: return {false, true, false, true};
      case Newline::kLf: return {true, false, true, false};
      case Newline::kAny:
      case Newline::kAnyCrlf: return kNone;
      case Newline::kCrlf:  // a lone CR or LF is an ordinary character
      case Newline::kUnknown: break;
    }
    return kAll;
  }

  // (*CRLF), (*UTF8), (*LIMIT_MATCH=n) ...: only at the very start.
  void ReadStartItems() {
    while (Peek() == u'(' && Peek(1) == u'*') {
      const std::size_t close = p_.find(u')', pos_ + 2);
      if (close == std::u16string::npos) throw Unsupported{};
      const std::u16string name = p_.substr(pos_ + 2, close - pos_ - 2);
      pos_ = close + 1;
      if (name == u"CR") newline_ = Newline::kCr;
      else if (name == u"LF") newline_ = Newline::kLf;
      else if (name == u"CRLF") newline_ = Newline::kCrlf;
      else if (name == u"ANY") newline_ = Newline::kAny;
      else if (name == u"ANYCRLF") newline_ = Newline::kAnyCrlf;
      else if (name == u"UTF8" || name == u"UTF16" || name == u"UTF") utfItem_ = true;
      else if (name == u"UCP" ||
               name == u"NO_START_OPT" || name == u"NO_AUTO_POSSESS" ||
               name == u"BSR_ANYCRLF" || name == u"BSR_UNICODE" || IsLimit(name)) {
      } else {
        throw Unsupported{};
      }
    }
    // The matcher's stop callout, placed after the start items, never
    // changes what matches.
    if (LookingAt(u"(?C255)")) pos_ += 7;
  }

  static bool IsLimit(const std::u16string& name) {
    for (const char16_t* prefix : {u"LIMIT_MATCH=", u"LIMIT_RECURSION="}) {
      const std::u16string p(prefix);
      if (name.size() > p.size() && name.compare(0, p.size(), p) == 0) {
        for (std::size_t i = p.size(); i < name.size(); ++i) {
          if (!IsDigit(name[i])) return false;
        }
        return true;
      }
    }
    return false;
  }

  Fragment ParseAlternation(Flags& flags, int depth) {
    std::vector<Fragment> branches;
    branches.push_back(ParseSequence(flags, depth));
    while (Eat(u'|')) branches.push_back(ParseSequence(flags, depth));
    return Combine(branches);
  }

  Fragment ParseSequence(Flags& flags, int depth) {
    SequenceBuilder seq;
    Item pending;
    for (;;) {
      SkipIgnorable(flags);
      if (AtEnd() || Peek() == u'|' || Peek() == u')') break;
      unsigned long min = 0;
      unsigned long max = 0;
      if (ReadQuantifier(min, max)) {
        if (pending.kind == Item::Kind::kNone) throw Unsupported{};
        Commit(seq, pending, min, max);
        pending = Item{};
        continue;
      }
      Commit(seq, pending, 1, 1);
      pending = Item{};
      ReadItem(flags, depth, seq, pending);
    }
    Commit(seq, pending, 1, 1);
    return seq.Finish();
  }

  // Skips what PCRE ignores between items: comments, an isolated \E, an
  // empty \Q\E, and in extended mode white space and # comments.
  void SkipIgnorable(const Flags& flags) {
    for (;;) {
      if (LookingAt(u"(?#")) {
        const std::size_t close = p_.find(u')', pos_);
        if (close == std::u16string::npos) throw Unsupported{};
        pos_ = close + 1;
      } else if (LookingAt(u"\\E")) {
        pos_ += 2;
      } else if (LookingAt(u"\\Q\\E")) {
        pos_ += 4;
      } else if (flags.extended && !AtEnd()) {
        const char16_t c = Peek();
        if (c == u' ' || c == 0x09 || c == kLf || c == kCr) {
          ++pos_;
        } else if (c == 0x0B || c == 0x0C || c >= 0x80) {
          throw Unsupported{};  // the character tables decide whether it is white space
        } else if (c == u'#') {
          SkipLineComment();
        } else {
          return;
        }
      } else {
        return;
      }
    }
  }

  // An extended-mode comment runs to the next newline of the convention.
  void SkipLineComment() {
    ++pos_;
    while (!AtEnd()) {
      const char16_t c = p_[pos_++];
      switch (newline_) {
        case Newline::kCr:
          if (c == kCr) return;
          break;
        case Newline::kLf:
          if (c == kLf) return;
          break;
        case Newline::kCrlf:
          if (c == kCr && Eat(kLf)) return;
          break;
        case Newline::kAnyCrlf:
          if (c == kCr || c == kLf) return;
          break;
        case Newline::kAny:
          if ((c >= kLf && c <= kCr) || c == 0x85 || c == 0x2028 || c == 0x2029) return;
          break;
        case Newline::kUnknown:
          if ((c >= kLf && c <= kCr) || c == 0x85 || c == 0x2028 || c == 0x2029) {
            throw Unsupported{};
          }
          break;
      }
    }
  }

  // *, +, ?, {n}, {n,}, {n,m}, each with an optional lazy or possessive
  // suffix. A "{" that does not start a valid count is a literal.
  bool ReadQuantifier(unsigned long& min, unsigned long& max) {
    const char16_t c = Peek();
    if (c == u'*') {
      min = 0;
      max = kUnbounded;
    } else if (c == u'+') {
      min = 1;
      max = kUnbounded;
    } else if (c == u'?') {
      min = 0;
      max = 1;
    } else if (c == u'{') {
      std::size_t at = pos_ + 1;
      if (!ReadCount(at, min)) return false;
      max = min;
      if (at < p_.size() && p_[at] == u',') {
        ++at;
        max = kUnbounded;
        if (at < p_.size() && IsDigit(p_[at]) && !ReadCount(at, max)) return false;
      }
      if (at >= p_.size() || p_[at] != u'}' || max < min) return false;
      pos_ = at;
    } else {
      return false;
    }
    ++pos_;
    if (Peek() == u'?' || Peek() == u'+') ++pos_;
    return true;
  }

  bool ReadCount(std::size_t& at, unsigned long& value) const {
    const std::size_t begin = at;
    value = 0;
    while (at < p_.size() && IsDigit(p_[at])) {
      value = value * 10 + (p_[at] - u'0');
      if (value > 65535) return false;
      ++at;
    }
    return at > begin;
  }

  void ReadItem(Flags& flags, int depth, SequenceBuilder& seq, Item& out) {
    const char16_t c = Next();
    switch (c) {
      case u'(':
        ReadGroup(flags, depth, out);
        return;
      case u'[':
        // Word start and end, as \b(?=\w) and \b(?<=\w): they read the
        // units before and at the current position only.
        if (LookingAt(u"[:<:]]") || LookingAt(u"[:>:]]")) {
          pos_ += 6;
          out.kind = Item::Kind::kZeroWidth;
          return;
        }
        ReadClass(flags, out);
        return;
      case u'\\':
        ReadEscape(flags, seq, out);
        return;
      case u'.':
        Consume(flags.dotall ? kAll : DotSet());
        SetOneChar(out);
        return;
      case u'^':
        out.kind = Item::Kind::kZeroWidth;
        return;
      case u'$':
        if (!flags.multiline) {
          notWindowable_ = true;  // also true before a final newline
        } else if (newline_ == Newline::kCrlf || newline_ == Newline::kUnknown) {
          dollarNeedsCr_ = true;  // it reads the LF after a CR
        }
        out.kind = Item::Kind::kZeroWidth;
        return;
      default:
        SetChar(out, c, flags);
        return;
    }
  }

  static void SetOneChar(Item& out) {
    out.kind = Item::Kind::kOpaque;
    out.oneChar = true;
  }

  void SetChar(Item& out, std::uint32_t value, const Flags& flags) {
    Consume(Single(value));
    out.kind = Item::Kind::kChar;
    out.ch = {static_cast<char16_t>(value < 0x80 ? value : 0x80), ModeOf(value, flags.caseless)};
  }

  void ReadGroup(Flags& flags, int depth, Item& out) {
    if (depth >= kMaxDepth) throw Unsupported{};
    enum class Kind { kGroup, kLookbehind, kLookahead } kind = Kind::kGroup;
    Flags inner = flags;
    if (Eat(u'*')) throw Unsupported{};  // a backtracking verb
    if (Eat(u'?')) {
      const char16_t c = Next();
      if (c == u':' || c == u'>' || c == u'|') {
      } else if (c == u'=' || c == u'!') {
        kind = Kind::kLookahead;
      } else if (c == u'<' && (Eat(u'=') || Eat(u'!'))) {
        kind = Kind::kLookbehind;
      } else if (c == u'<') {
        SkipName(u'>');
      } else if (c == u'\'') {
        SkipName(u'\'');
      } else if (c == u'P' && Eat(u'<')) {
        SkipName(u'>');
      } else if (c == u'P' && Eat(u'=')) {
        SkipName(u')');
        SetBackreference(out);
        return;
      } else {
        --pos_;
        if (!ReadOptionLetters(inner)) {
          flags = inner;  // (?i) and the like: to the end of the enclosing group
          out.kind = Item::Kind::kNone;
          return;
        }
      }
    }
    // A lookahead reads past the match, but not past a line end unless it
    // may consume one itself (then windows are ruled out).
    if (kind == Kind::kLookahead) ++lookahead_;
    if (kind != Kind::kGroup) ++lookaround_;
    Fragment body = ParseAlternation(inner, depth + 1);
    if (!Eat(u')')) throw Unsupported{};
    if (kind == Kind::kLookahead) --lookahead_;
    if (kind != Kind::kGroup) {
      --lookaround_;
      out.kind = Item::Kind::kZeroWidth;
      return;
    }
    out.kind = Item::Kind::kGroup;
    out.group = std::move(body);
  }

  // Reads "imsxUXJ-" letters up to ")" (returns false: a setting) or ":"
  // (returns true: a group with these options).
  bool ReadOptionLetters(Flags& flags) {
    bool on = true;
    for (;;) {
      const char16_t c = Next();
      switch (c) {
        case u'-': on = false; break;
        case u'i': flags.caseless = on; break;
        case u'm': flags.multiline = on; break;
        case u's': flags.dotall = on; break;
        case u'x': flags.extended = on; break;
        case u'U': case u'X': case u'J': break;
        case u')': return false;
        case u':': return true;
        default: throw Unsupported{};  // recursion, conditions, callouts ...
      }
    }
  }

  void SkipName(char16_t terminator) {
    const std::size_t close = p_.find(terminator, pos_);
    if (close == std::u16string::npos || close == pos_) throw Unsupported{};
    pos_ = close + 1;
  }

  void SetBackreference(Item& out) {
    hasBackreference_ = true;
    out.kind = Item::Kind::kOpaque;
  }

  // \d \s \w ... outside and inside classes; null when `e` is something else.
  static const CharSet* TypeEscape(char16_t e) {
    switch (e) {
      case u'd': case u'w': case u'S': case u'V': case u'h': return &kNone;
      case u'D': case u'W': case u's': case u'v': case u'H': return &kAll;
      default: return nullptr;
    }
  }

  // \p{..} or \pL (e is 'p' or 'P'). Letters, marks, numbers, punctuation,
  // symbols and separators never include CR or LF (control characters).
  CharSet ReadProperty(char16_t e) {
    std::u16string name;
    if (Eat(u'{')) {
      const std::size_t close = p_.find(u'}', pos_);
      if (close == std::u16string::npos) throw Unsupported{};
      name = p_.substr(pos_, close - pos_);
      pos_ = close + 1;
    } else {
      name.assign(1, Next());
    }
    if (e == u'P' || name.empty() || name[0] == u'^') return kMaybe;
    if (name == u"L&") return kNone;
    static const std::u16string kCategories = u"LMNPSZ";
    if (name.size() <= 2 && kCategories.find(name[0]) != std::u16string::npos &&
        (name.size() == 1 || (name[1] >= u'a' && name[1] <= u'z'))) {
      return kNone;
    }
    return kMaybe;
  }

  // Escapes that stand for one character (the backslash and `e` read).
  // inClass: inside a character class (\b is a backspace, digits are octal).
  bool ReadCharEscape(char16_t e, bool inClass, std::uint32_t& value) {
    switch (e) {
      case u'a': value = 0x07; return true;
      case u'e': value = 0x1B; return true;
      case u'f': value = 0x0C; return true;
      case u'n': value = kLf; return true;
      case u'r': value = kCr; return true;
      case u't': value = 0x09; return true;
      case u'b':
        if (!inClass) return false;
        value = 0x08;
        return true;
      case u'0':
        value = 0;
        for (int i = 0; i < 2 && IsOctal(Peek()); ++i) value = value * 8 + (Next() - u'0');
        return true;
      case u'o': {
        if (!Eat(u'{')) throw Unsupported{};
        value = 0;
        while (IsOctal(Peek())) value = Capped(value * 8 + (Next() - u'0'));
        if (!Eat(u'}')) throw Unsupported{};
        return true;
      }
      case u'x': {
        value = 0;
        if (Eat(u'{')) {
          while (HexValue(Peek()) >= 0) value = Capped(value * 16 + HexValue(Next()));
          if (!Eat(u'}')) throw Unsupported{};
        } else {
          for (int i = 0; i < 2 && HexValue(Peek()) >= 0; ++i) {
            value = value * 16 + HexValue(Next());
          }
        }
        return true;
      }
      case u'c': {
        const char16_t x = Next();
        if (x >= 0x80) throw Unsupported{};
        value = (x >= u'a' && x <= u'z' ? x - 0x20 : x) ^ 0x40;
        return true;
      }
      default:
        if (inClass && IsDigit(e)) {
          value = ReadOctalDigits(e);
          return true;
        }
        return false;
    }
  }

  // The character of "\ddd" read as up to three octal digits (the first one,
  // `first`, already read); \8 and \9 are those digits.
  std::uint32_t ReadOctalDigits(char16_t first) {
    if (!IsOctal(first)) return first;
    std::uint32_t value = first - u'0';
    for (int i = 0; i < 2 && IsOctal(Peek()); ++i) value = value * 8 + (Next() - u'0');
    return value;
  }

  void ReadEscape(const Flags& flags, SequenceBuilder& seq, Item& out) {
    const char16_t e = Next();
    if (const CharSet* set = TypeEscape(e)) {
      Consume(*set);
      SetOneChar(out);
      return;
    }
    switch (e) {
      case u'R': case u'X':
        Consume(kAll);
        out.kind = Item::Kind::kOpaque;
        return;
      case u'C':  // one unit
        Consume(kAll);
        SetOneChar(out);
        return;
      case u'N':
        Consume(DotSet());
        SetOneChar(out);
        return;
      case u'p': case u'P':
        Consume(ReadProperty(e));
        SetOneChar(out);
        return;
      case u'b': case u'B': case u'A':
        out.kind = Item::Kind::kZeroWidth;
        return;
      case u'Z': case u'z': case u'G':
        notWindowable_ = true;  // they depend on where the subject ends or the search began
        boundEscapes_.push_back(pos_ - 2);
        out.kind = Item::Kind::kZeroWidth;
        return;
      case u'K':
        throw Unsupported{};
      case u'Q':
        ReadQuoted(flags, seq, out);
        return;
      case u'E':
        return;
      case u'g':
        ReadGReference();
        SetBackreference(out);
        return;
      case u'k':
        if (Eat(u'<')) SkipName(u'>');
        else if (Eat(u'\'')) SkipName(u'\'');
        else if (Eat(u'{')) SkipName(u'}');
        else throw Unsupported{};
        SetBackreference(out);
        return;
      default:
        break;
    }
    if (e >= u'1' && e <= u'9') {
      ReadNumberedEscape(e, out);
      return;
    }
    std::uint32_t value = 0;
    if (ReadCharEscape(e, false, value)) {
      SetChar(out, value, flags);
      return;
    }
    if (e < 0x80 && IsAsciiAlnum(e)) throw Unsupported{};  // \u \L ...: not modelled
    SetChar(out, e, flags);
  }

  // \1..\9 and longer numbers: a backreference, or for 8 and more when
  // fewer groups precede, an octal character (or the digits 8 and 9) and
  // literal digits. Both readings are assumed.
  void ReadNumberedEscape(char16_t first, Item& out) {
    const std::size_t begin = pos_ - 1;
    unsigned long number = first - u'0';
    while (IsDigit(Peek())) number = std::min(number * 10 + (Next() - u'0'), 100000ul);
    if (number >= 8) {
      const std::size_t end = pos_;
      pos_ = begin + 1;
      Consume(Single(ReadOctalDigits(first)));
      pos_ = end;
    }
    SetBackreference(out);
  }

  // \g{n} \g{-n} \g{name} \gn \g-n; \g<..> and \g'..' are subroutine calls.
  void ReadGReference() {
    if (Eat(u'{')) {
      SkipName(u'}');
      return;
    }
    Eat(u'-');
    if (!IsDigit(Peek())) throw Unsupported{};
    while (IsDigit(Peek())) ++pos_;
  }

  // \Q...\E (or to the end): literal characters; all but the last go to the
  // sequence, the last one is the item a quantifier applies to.
  void ReadQuoted(const Flags& flags, SequenceBuilder& seq, Item& out) {
    while (!AtEnd() && !LookingAt(u"\\E")) {
      Commit(seq, out, 1, 1);
      out = Item{};
      SetChar(out, Next(), flags);
    }
    if (!AtEnd()) pos_ += 2;
  }

  // One atom of a class: a character (isChar), or a set of characters.
  struct ClassAtom {
    bool isChar = false;
    std::uint32_t value = 0;
    CharSet set;
  };

  ClassAtom ReadClassAtom(bool quoted) {
    ClassAtom atom;
    const char16_t c = Next();
    if (quoted || c != u'\\') {
      atom.isChar = true;
      atom.value = c;
      return atom;
    }
    const char16_t e = Next();
    if (const CharSet* set = TypeEscape(e)) {
      atom.set = *set;
      return atom;
    }
    if (e == u'p' || e == u'P') {
      atom.set = ReadProperty(e);
      return atom;
    }
    atom.isChar = true;
    if (ReadCharEscape(e, true, atom.value)) return atom;
    // \B \R \X are the letters themselves in a class; other letters are not modelled.
    if (e < 0x80 && IsAsciiAlnum(e) && e != u'B' && e != u'R' && e != u'X') throw Unsupported{};
    atom.value = e;
    return atom;
  }

  // After a class's character: reads "-" and the range's end when a range
  // follows, as PCRE does (\E ends quoting first; between the hyphen and
  // the end, \E is skipped and \Q starts quoting; a hyphen inside quoting
  // or before the class's "]" is a literal). False, nothing read, otherwise.
  bool ReadRangeEnd(bool& quoted, std::uint32_t& high) {
    while (LookingAt(u"\\E")) {
      pos_ += 2;
      quoted = false;
    }
    if (quoted || Peek() != u'-') return false;
    const std::size_t hyphen = pos_++;
    while (LookingAt(u"\\E")) pos_ += 2;
    while (LookingAt(u"\\Q")) {
      pos_ += 2;
      if (LookingAt(u"\\E")) {
        pos_ += 2;
        continue;
      }
      quoted = true;
      break;
    }
    if (AtEnd() || (!quoted && Peek() == u']')) {
      pos_ = hyphen;  // the hyphen is read next, as a literal
      quoted = false;
      return false;
    }
    if (!quoted && PosixClassEnd(pos_) != std::u16string::npos) throw Unsupported{};
    const ClassAtom atom = ReadClassAtom(quoted);
    if (!atom.isChar) throw Unsupported{};  // PCRE rejects a range to a type
    high = atom.value;
    return true;
  }

  // Where "[:name:]", "[:^name:]" (or the "[." and "[=" forms) starting at
  // `at` ends; npos when the text there is not one.
  std::size_t PosixClassEnd(std::size_t at) const {
    if (at + 1 >= p_.size() || p_[at] != u'[') return std::u16string::npos;
    const char16_t kind = p_[at + 1];
    if (kind != u':' && kind != u'.' && kind != u'=') return std::u16string::npos;
    at += 2;
    if (at < p_.size() && p_[at] == u'^') ++at;
    while (at < p_.size() && p_[at] < 0x80 && IsAsciiLetter(p_[at])) ++at;
    if (at + 1 >= p_.size() || p_[at] != kind || p_[at + 1] != u']') return std::u16string::npos;
    return at + 2;
  }

  // [:name:] and [:^name:]; false (nothing read) when the text is not one.
  bool ReadPosixClass(CharSet& into) {
    const std::size_t end = PosixClassEnd(pos_);
    if (end == std::u16string::npos) return false;
    if (Peek(1) != u':') throw Unsupported{};  // collating elements: not supported by PCRE
    const bool negated = Peek(2) == u'^';
    const std::size_t nameBegin = pos_ + (negated ? 3 : 2);
    const std::u16string name = p_.substr(nameBegin, end - 2 - nameBegin);
    pos_ = end;
    CharSet set;
    if (name == u"space" || name == u"cntrl" || name == u"ascii") {
      set = kAll;
    } else if (name == u"alpha" || name == u"digit" || name == u"alnum" || name == u"upper" ||
               name == u"lower" || name == u"word" || name == u"xdigit" || name == u"punct" ||
               name == u"graph" || name == u"print" || name == u"blank") {
      set = kNone;
    } else {
      throw Unsupported{};
    }
    if (negated) set = CharSet{!set.mustCr, !set.mustLf, !set.mayCr, !set.mayLf};
    Add(into, set);
    return true;
  }

  void ReadClass(const Flags& flags, Item& out) {
    // "^" may come after (or before) leading \E and empty \Q\E, and a "]"
    // right after all of them is a literal.
    bool negated = false;
    for (;;) {
      if (LookingAt(u"\\E")) {
        pos_ += 2;
      } else if (LookingAt(u"\\Q\\E")) {
        pos_ += 4;
      } else if (!negated && Eat(u'^')) {
        negated = true;
      } else {
        break;
      }
    }
    CharSet set;
    int atoms = 0;
    bool single = true;  // one literal character and nothing else
    std::uint32_t singleValue = 0;
    bool quoted = false;
    for (bool first = true;; first = false) {
      if (AtEnd()) throw Unsupported{};
      if (LookingAt(u"\\Q")) {
        if (negated) throw Unsupported{};
        pos_ += 2;
        quoted = true;
        single = false;
        continue;
      }
      if (LookingAt(u"\\E")) {
        pos_ += 2;
        quoted = false;
        continue;
      }
      if (!quoted && Peek() == u']' && !first) {
        ++pos_;
        break;
      }
      if (!quoted && ReadPosixClass(set)) {
        single = false;
        continue;
      }
      ClassAtom atom = ReadClassAtom(quoted);
      ++atoms;
      if (!atom.isChar) {
        Add(set, atom.set);
        single = false;
        continue;
      }
      std::uint32_t high = 0;
      if (ReadRangeEnd(quoted, high)) {
        Add(set, Range(atom.value, high));
        single = false;
        continue;
      }
      Add(set, Single(atom.value));
      singleValue = atom.value;
    }
    if (!negated && single && atoms == 1) {
      SetChar(out, singleValue, flags);
      return;
    }
    Consume(negated ? CharSet{!set.mustCr, !set.mustLf, false, false} : set);
    SetOneChar(out);
  }

  const std::u16string p_;
  const unsigned long options_;
  std::size_t pos_ = 0;
  Newline newline_ = Newline::kUnknown;
  int lookaround_ = 0;          // depth inside lookbehind/lookahead
  int lookahead_ = 0;           // depth inside lookahead
  bool lookaheadReadsLineEnd_ = false;  // a lookahead may read across a CR or LF
  bool consumesCr_ = false;     // outside lookaround
  bool consumesLf_ = false;
  bool lookaroundCr_ = false;   // inside lookaround
  bool lookaroundLf_ = false;
  bool hasBackreference_ = false;
  bool dollarNeedsCr_ = false;  // a multiline $ that reads past a CR
  bool notWindowable_ = false;
  bool utfItem_ = false;        // (*UTF8) and the like: a character may take several units
  std::vector<std::size_t> boundEscapes_;  // where each \z, \Z and \G begins
  std::size_t bodyStart_ = 0;  // the first unit after the start items and the stop callout
};

}  // namespace

LinePlan AnalyzeLines(const std::u16string& pattern, unsigned long options) {
  return Analyzer(pattern, options).Run();
}

}  // namespace qm::plugin
