// Literal search: one exact byte with memchr, one literal with a vector
// scan of two of its units, several literals with a pair-shift scan (or a
// Horspool scan when one of them is a single unit).
#include "plugin/evaluation/needle_search.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qm::plugin {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }


// How common a byte is in text (higher: more common), to pick the two
// units of a literal that a vector scan compares: rare ones give few false
// candidates.
int Commonness(char c) {
  static const char kByFrequency[] = " etaoinshrdlcumwfgypbvkjxqz";
  const char lower = Lower(c);
  for (int i = 0; kByFrequency[i] != 0; ++i) {
    if (kByFrequency[i] == lower) return 40 - i;
  }
  return c >= '0' && c <= '9' ? 10 : 0;
}

#if defined(__SSE2__)
// The low bits of `mask` (one per byte of a vector compare) that mark the
// start of a unit.
template <typename Char>
std::uint32_t UnitStarts(std::uint32_t mask) {
  return sizeof(Char) == 1 ? mask : mask & 0x5555u;
}

template <typename Char>
__m128i Equal(__m128i block, Char unit) {
  if constexpr (sizeof(Char) == 1) return _mm_cmpeq_epi8(block, _mm_set1_epi8(unit));
  return _mm_cmpeq_epi16(block, _mm_set1_epi16(static_cast<short>(unit)));
}

// Units of block equal to c, in either ASCII case when caseless.
template <typename Char>
__m128i EqualFolded(__m128i block, char c, bool caseless) {
  const __m128i exact = Equal<Char>(block, static_cast<Char>(c));
  if (!caseless || Lower(c) == Upper(c)) return exact;
  const char other = c == Lower(c) ? Upper(c) : Lower(c);
  return _mm_or_si128(exact, Equal<Char>(block, static_cast<Char>(other)));
}
#endif

}  // namespace

template <typename Char>
NeedleSearch<Char>::NeedleSearch(const std::vector<Needle>& needles) {
  for (const Needle& needle : needles) {
    if (needle.text.empty()) {  // a literal that is always there proves nothing
      needles_.clear();
      return;
    }
    needles_.push_back(Literal{needle.text, needle.caseless});
  }
  if (needles_.empty()) return;
  if (needles_.size() == 1 && needles_.front().text.size() >= 2) {
    // The two rarest units of the literal, for FindByVector (a literal of
    // one unit compares that unit twice).
    const std::string& text = needles_.front().text;
    std::size_t rarest = 0;
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (Commonness(text[i]) < Commonness(text[rarest])) rarest = i;
    }
    std::size_t next = rarest == 0 ? 1 : 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (i != rarest && Commonness(text[i]) < Commonness(text[next])) next = i;
    }
    probe1_ = std::min(rarest, next);
    probe2_ = std::max(rarest, next);
  }
  shortest_ = needles_.front().text.size();
  for (const Literal& literal : needles_) shortest_ = std::min(shortest_, literal.text.size());
  if (shortest_ > 255) shortest_ = 255;
  shift_.fill(static_cast<std::uint8_t>(shortest_));
  auto mark = [this](char c, std::size_t shift) {
    for (const char form : {Lower(c), Upper(c)}) {
      const auto index = static_cast<unsigned char>(form);
      shift_[index] = std::min<std::uint8_t>(shift_[index], static_cast<std::uint8_t>(shift));
    }
  };
  if (needles_.size() == 1) return;  // found by FindByVector or FindOneByte
  if (shortest_ >= 2) {
    // Pairs of units: the window of shortest_ units ends at a pair; the
    // shift moves the window until a pair in a literal lines up with it.
    const auto m = shortest_;
    pairShift_.assign(65536, static_cast<std::uint8_t>(m - 1));
    for (const Literal& literal : needles_) {
      for (std::size_t q = 2; q <= m; ++q) {
        const char a = literal.text[q - 2];
        const char b = literal.text[q - 1];
        const auto shift = static_cast<std::uint8_t>(m - q);
        for (const char x : {a, Lower(a), Upper(a)}) {
          for (const char y : {b, Lower(b), Upper(b)}) {
            if (!literal.caseless && (x != a || y != b)) continue;
            std::uint8_t& entry =
                pairShift_[static_cast<unsigned char>(x) << 8 | static_cast<unsigned char>(y)];
            entry = std::min(entry, shift);
          }
        }
      }
    }
    return;
  }
  for (const Literal& literal : needles_) {
    for (std::size_t j = 0; j + 1 < shortest_; ++j) {
      const char c = literal.text[j];
      if (literal.caseless) {
        mark(c, shortest_ - 1 - j);
      } else {
        const auto index = static_cast<unsigned char>(c);
        shift_[index] = std::min<std::uint8_t>(shift_[index], static_cast<std::uint8_t>(shortest_ - 1 - j));
      }
    }
    const char end = literal.text[shortest_ - 1];
    last_[static_cast<unsigned char>(end)] = true;
    if (literal.caseless) {
      last_[static_cast<unsigned char>(Lower(end))] = true;
      last_[static_cast<unsigned char>(Upper(end))] = true;
    }
  }
}

template <typename Char>
bool NeedleSearch<Char>::MatchesAt(const Literal& literal, const Char* at) const {
  for (std::size_t i = 0; i < literal.text.size(); ++i) {
    const auto unit = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Char>>(at[i]));
    const auto want = static_cast<unsigned char>(literal.text[i]);
    if (unit == want) continue;
    if (!literal.caseless || unit > 0x7F) return false;
    if (Lower(static_cast<char>(unit)) != Lower(static_cast<char>(want))) return false;
  }
  return true;
}

// One case-sensitive one-byte literal in 8-bit text: memchr.
template <typename Char>
std::size_t NeedleSearch<Char>::FindOneByte(const Char* text, std::size_t from, std::size_t to) const {
  const void* hit = std::memchr(text + from, needles_.front().text[0], to - from);
  return hit == nullptr ? to : static_cast<std::size_t>(static_cast<const Char*>(hit) - text);
}


// One literal: compares two of its units at sixteen
// bytes' worth of start positions at a time and checks the whole literal
// only where both agree.
template <typename Char>
std::size_t NeedleSearch<Char>::FindByVector(const Char* text, std::size_t from, std::size_t to,
                                             std::size_t length) const {
  const Literal& literal = needles_.front();
  const std::size_t n = literal.text.size();
  if (length < n) return to;
  const std::size_t limit = std::min(to, length - n + 1);  // starts lie before this
  std::size_t p = from;
#if defined(__SSE2__)
  constexpr std::size_t kLanes = 16 / sizeof(Char);
  const char first = literal.text[probe1_];
  const char second = literal.text[probe2_];
  while (p + kLanes <= limit) {
    // p + probe + kLanes <= length, as limit + n - 1 <= length.
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p + probe1_));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p + probe2_));
    const __m128i both = _mm_and_si128(EqualFolded<Char>(a, first, literal.caseless),
                                       EqualFolded<Char>(b, second, literal.caseless));
    std::uint32_t mask = UnitStarts<Char>(static_cast<std::uint32_t>(_mm_movemask_epi8(both)));
    while (mask != 0) {
      const std::size_t at = p + static_cast<std::size_t>(__builtin_ctz(mask)) / sizeof(Char);
      if (MatchesAt(literal, text + at)) return at;
      mask &= mask - 1;
    }
    p += kLanes;
  }
#endif
  for (; p < limit; ++p) {
    if (MatchesAt(literal, text + p)) return p;
  }
  return to;
}

template <typename Char>
std::size_t NeedleSearch<Char>::Find(const Char* text, std::size_t from, std::size_t to,
                                     std::size_t length) const {
  if (needles_.empty() || from >= to) return to;
  if (needles_.size() == 1) {
    if (sizeof(Char) == 1 && needles_.front().text.size() == 1 && !needles_.front().caseless) {
      return FindOneByte(text, from, to);
    }
    return FindByVector(text, from, to, length);
  }
  return shortest_ >= 2 ? FindByPairs(text, from, to, length) : FindByUnits(text, from, to, length);
}

template <typename Char>
std::size_t NeedleSearch<Char>::FindByPairs(const Char* text, std::size_t from, std::size_t to,
                                            std::size_t length) const {
  using Unit = std::make_unsigned_t<Char>;
  const std::size_t m = shortest_;
  std::size_t pos = from;
  while (pos < to && pos + m <= length) {
    const auto a = static_cast<Unit>(text[pos + m - 2]);
    const auto b = static_cast<Unit>(text[pos + m - 1]);
    const std::uint8_t shift = pairShift_[(a & 0xFF) << 8 | (b & 0xFF)];
    if (shift != 0) {
      pos += shift;
      continue;
    }
    for (const Literal& literal : needles_) {
      if (pos + literal.text.size() <= length && MatchesAt(literal, text + pos)) return pos;
    }
    ++pos;
  }
  return to;
}

template <typename Char>
std::size_t NeedleSearch<Char>::FindByUnits(const Char* text, std::size_t from, std::size_t to,
                                            std::size_t length) const {
  const std::size_t m = shortest_;
  std::size_t pos = from;
  while (pos < to && pos + m <= length) {
    const auto unit = static_cast<std::make_unsigned_t<Char>>(text[pos + m - 1]);
    const auto index = static_cast<unsigned char>(unit & 0xFF);
    if (last_[index] && unit <= 0x7F) {
      for (const Literal& literal : needles_) {
        if (pos + literal.text.size() <= length && MatchesAt(literal, text + pos)) return pos;
      }
    }
    pos += shift_[index];
  }
  return to;
}

template <typename Char>
std::size_t FindLineEnd(const Char* text, std::size_t from, std::size_t to) {
  std::size_t p = from;
#if defined(__SSE2__)
  constexpr std::size_t kLanes = 16 / sizeof(Char);
  while (p + kLanes <= to) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p));
    const __m128i ends =
        _mm_or_si128(Equal<Char>(block, Char('\n')), Equal<Char>(block, Char('\r')));
    const auto mask = static_cast<std::uint32_t>(_mm_movemask_epi8(ends));
    if (mask != 0) return p + static_cast<std::size_t>(__builtin_ctz(mask)) / sizeof(Char);
    p += kLanes;
  }
#endif
  for (; p < to; ++p) {
    if (text[p] == Char('\n') || text[p] == Char('\r')) return p;
  }
  return to;
}

template class NeedleSearch<char>;
template class NeedleSearch<char16_t>;
template std::size_t FindLineEnd(const char*, std::size_t, std::size_t);
template std::size_t FindLineEnd(const char16_t*, std::size_t, std::size_t);

}  // namespace qm::plugin
