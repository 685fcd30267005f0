// The line analysis against PCRE. The first byte picks the compile options,
// the bytes up to the next NUL are the pattern (one unit per byte, as for the
// ANSI form), the rest is the text. For every pattern PCRE compiles it checks
// what the plan promises, over the text as given and with its LF line ends
// rewritten as CRLF and as CR: a windowed plan's matches hold no CR or LF;
// each attempt starting at or before any CR or LF answers the same on the
// text truncated after it; every match holds a needle, and the probes'
// units at their offsets from its start where its first characters are
// one byte each; a pattern of plain literals matches where the literal
// search says. A broken promise aborts.
//
// The check is the one the readers rely on: chunks and windows end after
// whichever line-end unit comes, so a plan that allowed cuts at one unit
// only while its matches consumed the other (a line feed written as an
// escape) was wrong for them although it kept a promise about one unit.
#include <pcre.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plugin/evaluation/line_plan.h"

namespace {

using qm::plugin::LinePlan;
using qm::plugin::Needle;
using qm::plugin::Probe;

[[noreturn]] void Broken(const char* what, const std::string& pattern, int options) {
  std::fprintf(stderr, "line plan broken (%s): pattern \"%s\" options %#x\n", what,
               pattern.c_str(), static_cast<unsigned>(options));
  std::abort();
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool HoldsNeedle(const char* begin, const char* end, const LinePlan& plan) {
  for (const Needle& n : plan.needles) {
    const auto same = [&](char a, char b) { return n.caseless ? Lower(a) == Lower(b) : a == b; };
    if (std::search(begin, end, n.text.begin(), n.text.end(), same) != end) return true;
  }
  return false;
}

// Whether the match starting at `at` holds every probe, where it must: the
// bytes a start's probed characters may take are all ASCII (always so
// outside UTF-8 mode).
bool HoldsProbes(const std::string& text, std::size_t at, const LinePlan& plan) {
  if (plan.probes.empty()) return true;
  const std::size_t span = plan.probes.back().offset + 1;
  if (plan.multiUnit) {
    const std::size_t end = std::min(text.size(), at + 4 * span);
    for (std::size_t i = at; i < end; ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0x80) != 0) return true;
    }
  }
  for (const Probe& probe : plan.probes) {
    if (at + probe.offset >= text.size() || text[at + probe.offset] != probe.unit) return false;
  }
  return true;
}

// Starts of characters: every byte, or in UTF-8 every byte that is not a
// continuation byte.
bool IsCharStart(const std::string& text, std::size_t at, bool utf8) {
  return !utf8 || at >= text.size() || (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static const int kNewlines[] = {0, PCRE_NEWLINE_CR, PCRE_NEWLINE_LF, PCRE_NEWLINE_CRLF,
                                  PCRE_NEWLINE_ANY, PCRE_NEWLINE_ANYCRLF, PCRE_NEWLINE_ANYCRLF,
                                  PCRE_NEWLINE_ANYCRLF};
  const unsigned selector = data[0];
  int options = kNewlines[selector & 7];
  if (selector & 0x08) options |= PCRE_CASELESS;
  if (selector & 0x10) options |= PCRE_MULTILINE;
  if (selector & 0x20) options |= PCRE_DOTALL;
  if (selector & 0x40) options |= PCRE_EXTENDED;
  const bool utf8 = (selector & 0x80) != 0;
  if (utf8) options |= PCRE_UTF8 | PCRE_UCP;

  const char* rest = reinterpret_cast<const char*>(data) + 1;
  const std::size_t restSize = size - 1;
  const std::size_t nul = std::string(rest, restSize).find('\0');
  const std::string pattern(rest, nul == std::string::npos ? restSize : nul);
  // Short texts: each cut is checked from every start before it.
  std::string text;
  if (nul != std::string::npos) {
    text.assign(rest + nul + 1, std::min<std::size_t>(restSize - nul - 1, 96));
  }

  const char* message = nullptr;
  int offset = 0;
  pcre* code = pcre_compile(pattern.c_str(), options, &message, &offset, nullptr);
  if (code == nullptr) return 0;
  // Small limits keep pathological patterns quick; an execution that hits
  // one proves nothing and is skipped.
  pcre_extra limits{};
  limits.flags = PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  limits.match_limit = 20000;
  limits.match_limit_recursion = 200;
  // PCRE's UTF-8 mode wants valid text; let it say so.
  int vector[60];
  if (utf8 && pcre_exec(code, &limits, text.data(), static_cast<int>(text.size()), 0, 0, vector,
                        60) == PCRE_ERROR_BADUTF8) {
    pcre_free(code);
    return 0;
  }

  std::u16string wide;
  for (const char c : pattern) wide.push_back(static_cast<unsigned char>(c));
  const LinePlan plan = qm::plugin::AnalyzeLines(wide, static_cast<unsigned long>(options));
  if (plan.needles.size() > qm::plugin::kMaxNeedles) Broken("too many needles", pattern, options);
  for (std::size_t i = 0; i < plan.probes.size(); ++i) {
    const Probe& probe = plan.probes[i];
    if (probe.offset >= qm::plugin::kMaxProbeSpan || static_cast<unsigned char>(probe.unit) >= 0x80 ||
        (i > 0 && probe.offset <= plan.probes[i - 1].offset)) {
      Broken("probe out of order or range", pattern, options);
    }
  }
  for (const Needle& n : plan.needles) {
    if (n.text.empty()) Broken("empty needle", pattern, options);
    for (const char c : n.text) {
      const char lower = Lower(c);
      if (static_cast<unsigned char>(c) >= 0x80 ||
          (n.caseless && (lower == 'i' || lower == 'k' || lower == 's'))) {
        Broken("needle text", pattern, options);
      }
    }
  }
  // The text as given, then with its LF line ends as CRLF and as CR.
  std::string variants[3] = {text, {}, {}};
  for (const char c : text) {
    variants[1] += c == '\n' ? std::string("\r\n") : std::string(1, c);
    variants[2] += c == '\n' ? '\r' : c;
  }
  const auto isLineEnd = [](char c) { return c == '\n' || c == '\r'; };
  for (const std::string& subject : variants) {
    const int length = static_cast<int>(subject.size());
    const auto exec = [&](int end, int start, int execOptions, int* out) {
      return pcre_exec(code, &limits, subject.data(), end, start, execOptions, out, 60);
    };
    for (int start = 0; start <= length;) {
      const int rc = exec(length, start, 0, vector);
      if (plan.wholeLiteral && (rc >= 0 || rc == PCRE_ERROR_NOMATCH)) {
        // The search the matcher runs instead of PCRE: the first place any
        // alternative occurs, and the first alternative there. (Text that
        // is not valid UTF-8 for a (*UTF8) pattern never reaches it.)
        int at = -1;
        int to = -1;
        for (int p = start; p < length && at < 0; ++p) {
          for (const std::string& literal : plan.alternatives) {
            if (subject.compare(static_cast<std::size_t>(p), literal.size(), literal) == 0) {
              at = p;
              to = p + static_cast<int>(literal.size());
              break;
            }
          }
        }
        if ((rc < 0) != (at < 0) || (rc >= 0 && (vector[0] != at || vector[1] != to))) {
          Broken("literal search answers differently", pattern, options);
        }
      }
      if (rc < 0) break;
      const char* begin = subject.data() + vector[0];
      const char* end = subject.data() + vector[1];
      if (plan.windowed && std::find_if(begin, end, isLineEnd) != end) {
        Broken("match holds a line end", pattern, options);
      }
      if (!plan.needles.empty() && !HoldsNeedle(begin, end, plan)) {
        Broken("match without needle", pattern, options);
      }
      if (!HoldsProbes(subject, static_cast<std::size_t>(vector[0]), plan)) {
        Broken("match start without its probes", pattern, options);
      }
      int next = vector[1] > vector[0] ? vector[1] : vector[1] + 1;
      while (!IsCharStart(subject, static_cast<std::size_t>(next), utf8)) ++next;
      start = next;
    }
    if (!plan.windowed) continue;
    int truncated[60];
    for (int cut = 0; cut < length; ++cut) {
      if (!isLineEnd(subject[cut])) continue;
      for (int start = 0; start <= cut; ++start) {
        if (!IsCharStart(subject, static_cast<std::size_t>(start), utf8)) continue;
        const int full = exec(length, start, PCRE_ANCHORED, vector);
        const int part = exec(cut + 1, start, PCRE_ANCHORED, truncated);
        const auto failed = [](int rc) { return rc < 0 && rc != PCRE_ERROR_NOMATCH; };
        if (failed(full) || failed(part)) continue;
        if (full != part ||
            (full > 0 && (vector[0] != truncated[0] || vector[1] != truncated[1]))) {
          Broken("truncated text answers differently", pattern, options);
        }
      }
    }
  }
  pcre_free(code);
  return 0;
}
