// Literal search: one exact byte with memchr, one literal with a vector
// scan of two of its units, several literals with a nibble-mask scan where
// the processor has AVX2 or SSSE3 (one bucket per literal: the low and high
// halves of the low bytes of the first units of each literal index two
// 16-byte tables, and a start whose bytes are in every table of a bucket is
// checked in full), else
// with a pair-shift scan (or a Horspool scan when one of them is a single
// unit).
#include "plugin/evaluation/needle_search.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define QM_NIBBLE_SCAN 1
#endif

namespace qm::plugin {
namespace {

// Asks for the memory 2 KiB past `at` (no fault, whatever the address):
// text fresh from the file system crosses a page every 4 KiB, where the
// hardware's own prefetch stops, and a scan that waits on memory there
// runs at half its speed.
inline void PrefetchAhead(const void* at) {
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(at) + 2048));
}

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

#if defined(QM_NIBBLE_SCAN)
// FindByVector's search 32 bytes' worth of starts at a time: the first
// block from p on (while p + lanes <= limit) where the literal's two probe
// units agree at some start, with those starts in mask (one bit per byte);
// the first p past the blocks when there is none.
template <typename Char>
__attribute__((target("avx2"))) std::size_t NextProbeBlock(const Char* text, std::size_t p,
                                                          std::size_t limit, std::size_t probe1,
                                                          std::size_t probe2, char first,
                                                          char second, bool caseless,
                                                          std::uint32_t& mask) {
  constexpr std::size_t kLanes = 32 / sizeof(Char);
  const char otherFirst = caseless && Lower(first) != Upper(first)
                              ? (first == Lower(first) ? Upper(first) : Lower(first)) : first;
  const char otherSecond = caseless && Lower(second) != Upper(second)
                               ? (second == Lower(second) ? Upper(second) : Lower(second)) : second;
  const bool wide = sizeof(Char) == 2;
  const __m256i f1 = wide ? _mm256_set1_epi16(first) : _mm256_set1_epi8(first);
  const __m256i f2 = wide ? _mm256_set1_epi16(otherFirst) : _mm256_set1_epi8(otherFirst);
  const __m256i s1 = wide ? _mm256_set1_epi16(second) : _mm256_set1_epi8(second);
  const __m256i s2 = wide ? _mm256_set1_epi16(otherSecond) : _mm256_set1_epi8(otherSecond);
  for (; p + kLanes <= limit; p += kLanes) {
    if ((p & kLanes) == 0) PrefetchAhead(text + p);
    // p + probe + kLanes <= length, as limit + n - 1 <= length.
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + p + probe1));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + p + probe2));
    __m256i both;
    if (wide) {
      both = _mm256_and_si256(_mm256_or_si256(_mm256_cmpeq_epi16(a, f1), _mm256_cmpeq_epi16(a, f2)),
                              _mm256_or_si256(_mm256_cmpeq_epi16(b, s1), _mm256_cmpeq_epi16(b, s2)));
    } else {
      both = _mm256_and_si256(_mm256_or_si256(_mm256_cmpeq_epi8(a, f1), _mm256_cmpeq_epi8(a, f2)),
                              _mm256_or_si256(_mm256_cmpeq_epi8(b, s1), _mm256_cmpeq_epi8(b, s2)));
    }
    mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(both));
    if (wide) mask &= 0x55555555u;
    if (mask != 0) return p;
  }
  return p;
}
#endif

// Units of characters that take several: a byte of 0x80 or above in
// UTF-8, a surrogate in UTF-16; and those that are not a character's first.
bool OfLongerCharacter(char c) { return (static_cast<unsigned char>(c) & 0x80) != 0; }
bool OfLongerCharacter(char16_t u) { return u >= 0xD800 && u <= 0xDFFF; }
bool InsideCharacter(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
bool InsideCharacter(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The first unit of a character of several units in [from, to), or `to`.
template <typename Char>
std::size_t FirstOfLongerCharacter(const Char* text, std::size_t from, std::size_t to) {
  std::size_t p = from;
#if defined(__SSE2__)
  constexpr std::size_t kLanes = 16 / sizeof(Char);
  for (; p + kLanes <= to; p += kLanes) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p));
    std::uint32_t mask;
    if constexpr (sizeof(Char) == 1) {
      mask = static_cast<std::uint32_t>(_mm_movemask_epi8(block));
    } else {  // u - 0xD800 <= 0x7FF, unsigned
      const __m128i offset = _mm_sub_epi16(block, _mm_set1_epi16(static_cast<short>(0xD800)));
      const __m128i beyond = _mm_subs_epu16(offset, _mm_set1_epi16(0x7FF));
      mask = static_cast<std::uint32_t>(
          _mm_movemask_epi8(_mm_cmpeq_epi16(beyond, _mm_setzero_si128())));
    }
    if (mask != 0) return p + static_cast<std::size_t>(__builtin_ctz(mask)) / sizeof(Char);
  }
#endif
  for (; p < to; ++p) {
    if (OfLongerCharacter(text[p])) return p;
  }
  return to;
}

// The first `unit` in [from, to), or `to`.
std::size_t FindUnit(const char* text, std::size_t from, std::size_t to, char unit) {
  const void* hit = std::memchr(text + from, unit, to - from);
  return hit == nullptr ? to : static_cast<std::size_t>(static_cast<const char*>(hit) - text);
}
std::size_t FindUnit(const char16_t* text, std::size_t from, std::size_t to, char16_t unit) {
  return static_cast<std::size_t>(std::find(text + from, text + to, unit) - text);
}

std::atomic<bool> scannerEnabled{true};
std::atomic<int> levelCap{2};

// Shorter ranges are scanned by the portable code.
constexpr std::size_t kMinScannerUnits = 64;

}  // namespace

void SetLiteralScannerEnabled(bool enabled) {
  scannerEnabled.store(enabled, std::memory_order_relaxed);
}

void SetLiteralScannerLevelForTesting(int level) {
  levelCap.store(level, std::memory_order_relaxed);
}

// The tables of the nibble-mask scan: for each of the first `length` units
// of the literals, the buckets (bit i: literal i) whose unit there has a
// given low half (low) and high half (high) in its low byte. A caseless
// letter puts both of its cases in. UTF-16 text is keyed on the low byte of
// each unit (bytes 0, 2, 4 of a start): in text of ASCII-range characters
// the high bytes are all zero and would let every start through; a start
// whose high bytes differ from the literal's is refused by the full check.
class LiteralScanner {
 public:
  static constexpr std::size_t kUnits = 3;

  LiteralScanner(const std::vector<std::string>& literals, const std::vector<bool>& caseless,
                 std::size_t unitSize)
      : stride_(unitSize) {
    std::size_t shortest = ~std::size_t{0};
    for (const std::string& literal : literals) shortest = std::min(shortest, literal.size());
    length_ = std::min(kUnits, shortest);
    for (std::size_t i = 0; i < literals.size(); ++i) {
      const auto bucket = static_cast<std::uint8_t>(1u << i);
      for (std::size_t k = 0; k < length_; ++k) {
        const auto b = static_cast<unsigned char>(literals[i][k]);
        const bool letter = (b | 0x20) >= 'a' && (b | 0x20) <= 'z';
        for (const unsigned char form :
             {b, static_cast<unsigned char>(caseless[i] && letter ? b ^ 0x20 : b)}) {
          low_[k][form & 0x0F] |= bucket;
          high_[k][form >> 4] |= bucket;
        }
      }
    }
  }

  static bool Available() { return Level() != 0; }

  // 2: AVX2 (32-byte blocks), 1: SSSE3 (16-byte blocks), 0: none.
  static int Level() {
#if defined(QM_NIBBLE_SCAN)
    static const int level = __builtin_cpu_supports("avx2") ? 2 : __builtin_cpu_supports("ssse3") ? 1 : 0;
    const int cap = levelCap.load(std::memory_order_relaxed);
    return level < cap ? level : cap;
#else
    return 0;
#endif
  }

  // The bytes from a start to the last one the tables key on, inclusive.
  std::size_t Span() const { return (length_ - 1) * stride_ + 1; }
  static std::size_t BlockBytes() { return Level() == 2 ? 32 : 16; }

#if defined(QM_NIBBLE_SCAN)
  // The first block of BlockBytes() starts at p, p + BlockBytes(), ...
  // (before end) that holds a candidate, its buckets per start in out; end
  // when none; only starts at a multiple of the unit size from p get
  // buckets. Every byte read lies before end + BlockBytes() + Span() - 1.
  std::size_t NextBlock(const unsigned char* text, std::size_t p, std::size_t end,
                        std::uint8_t (&out)[32]) const {
    if (Level() == 2) {
      switch (length_) {
        case 1: return NextBlockAvx2<1>(text, p, end, out);
        case 2: return NextBlockAvx2<2>(text, p, end, out);
        default: return NextBlockAvx2<3>(text, p, end, out);
      }
    }
    switch (length_) {
      case 1: return NextBlockSsse3<1>(text, p, end, out);
      case 2: return NextBlockSsse3<2>(text, p, end, out);
      default: return NextBlockSsse3<3>(text, p, end, out);
    }
  }
#endif

 private:
#if defined(QM_NIBBLE_SCAN)
  template <std::size_t M>
  __attribute__((target("ssse3"))) std::size_t NextBlockSsse3(const unsigned char* text,
                                                             std::size_t p, std::size_t end,
                                                             std::uint8_t (&out)[32]) const {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i starts = stride_ == 1 ? _mm_set1_epi8(-1) : _mm_set1_epi16(0x00FF);
    __m128i low[M];
    __m128i high[M];
    for (std::size_t k = 0; k < M; ++k) {
      low[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low_[k]));
      high[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high_[k]));
    }
    for (; p < end; p += 16) {
      if ((p & 48) == 0) PrefetchAhead(text + p);
      __m128i buckets = starts;
      for (std::size_t k = 0; k < M; ++k) {
        const __m128i block =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p + k * stride_));
        const __m128i lo = _mm_shuffle_epi8(low[k], _mm_and_si128(block, nibble));
        const __m128i hi =
            _mm_shuffle_epi8(high[k], _mm_and_si128(_mm_srli_epi16(block, 4), nibble));
        buckets = _mm_and_si128(buckets, _mm_and_si128(lo, hi));
      }
      if (_mm_movemask_epi8(_mm_cmpeq_epi8(buckets, _mm_setzero_si128())) != 0xFFFF) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), buckets);
        return p;
      }
    }
    return end;
  }

  template <std::size_t M>
  __attribute__((target("avx2"))) std::size_t NextBlockAvx2(const unsigned char* text,
                                                           std::size_t p, std::size_t end,
                                                           std::uint8_t (&out)[32]) const {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i starts = stride_ == 1 ? _mm256_set1_epi8(-1) : _mm256_set1_epi16(0x00FF);
    __m256i low[M];
    __m256i high[M];
    for (std::size_t k = 0; k < M; ++k) {
      low[k] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low_[k])));
      high[k] =
          _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(high_[k])));
    }
    for (; p < end; p += 32) {
      if ((p & 32) == 0) PrefetchAhead(text + p);
      __m256i buckets = starts;
      for (std::size_t k = 0; k < M; ++k) {
        const __m256i block =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + p + k * stride_));
        const __m256i lo = _mm256_shuffle_epi8(low[k], _mm256_and_si256(block, nibble));
        const __m256i hi =
            _mm256_shuffle_epi8(high[k], _mm256_and_si256(_mm256_srli_epi16(block, 4), nibble));
        buckets = _mm256_and_si256(buckets, _mm256_and_si256(lo, hi));
      }
      if (!_mm256_testz_si256(buckets, buckets)) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), buckets);
        return p;
      }
    }
    return end;
  }
#endif

  std::uint8_t low_[kUnits][16] = {};
  std::uint8_t high_[kUnits][16] = {};
  std::size_t stride_ = 1;  // bytes per unit
  std::size_t length_ = 0;  // units keyed on
};

bool LiteralScannerAvailable() { return LiteralScanner::Available(); }

template <typename Char>
NeedleSearch<Char>::NeedleSearch(const std::vector<Needle>& needles) {
  for (const Needle& needle : needles) {
    if (needle.text.empty()) {  // a literal that is always there proves nothing
      needles_.clear();
      return;
    }
    needles_.push_back(Literal{needle.text, needle.caseless, {}});
  }
  if (needles_.empty()) return;
  if (needles_.size() == 1 && needles_.front().text.size() >= 2) ChooseProbes();
  shortest_ = needles_.front().text.size();
  for (const Literal& literal : needles_) shortest_ = std::min(shortest_, literal.text.size());
  if (shortest_ > 255) shortest_ = 255;
  shift_.fill(static_cast<std::uint8_t>(shortest_));
  if (needles_.size() == 1) return;  // found by FindByVector or FindOneByte
  if (scannerEnabled.load(std::memory_order_relaxed) && LiteralScanner::Available()) {
    std::vector<std::string> texts;
    std::vector<bool> caseless;
    for (const Literal& literal : needles_) {
      texts.push_back(literal.text);
      caseless.push_back(literal.caseless);
    }
    scanner_ = std::make_shared<const LiteralScanner>(texts, caseless, sizeof(Char));
  }
  if (shortest_ >= 2) {
    BuildPairShifts();
  } else {
    BuildUnitShifts();
  }
}

template <typename Char>
NeedleSearch<Char>::NeedleSearch(const std::vector<Probe>& probes, bool utf) {
  if (probes.size() < 2) return;
  Literal literal;
  for (const Probe& probe : probes) {
    if (probe.offset >= literal.text.size()) literal.text.resize(probe.offset + 1, '\0');
    literal.text[probe.offset] = probe.unit;
    literal.compared.push_back(probe.offset);
  }
  needles_.push_back(std::move(literal));
  ChooseProbes();
  // Only the two chosen are compared: the expression checks the rest.
  needles_.front().compared = {probe1_, probe2_};
  shortest_ = needles_.front().text.size();
  if (utf) singleReach_ = (sizeof(Char) == 1 ? 4 : 2) * shortest_;
}

// The two rarest units of the only literal (of its compared offsets, for
// probes), for FindByVector.
template <typename Char>
void NeedleSearch<Char>::ChooseProbes() {
  const Literal& literal = needles_.front();
  std::vector<std::size_t> offsets = literal.compared;
  if (offsets.empty()) {
    for (std::size_t i = 0; i < literal.text.size(); ++i) offsets.push_back(i);
  }
  const auto rarer = [&literal](std::size_t a, std::size_t b) {
    return Commonness(literal.text[a]) < Commonness(literal.text[b]);
  };
  std::stable_sort(offsets.begin(), offsets.end(), rarer);
  probe1_ = std::min(offsets[0], offsets[1]);
  probe2_ = std::max(offsets[0], offsets[1]);
}

// Pairs of units: the window of shortest_ units ends at a pair; the shift
// moves the window until a pair in a literal lines up with it.
template <typename Char>
void NeedleSearch<Char>::BuildPairShifts() {
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
}

// Single units, for literals too short for pairs: each unit before the end
// of the window shifts it by its distance from that end, and last_ marks
// the units a literal's window may end with.
template <typename Char>
void NeedleSearch<Char>::BuildUnitShifts() {
  auto mark = [this](char c, std::size_t shift) {
    const auto index = static_cast<unsigned char>(c);
    shift_[index] = std::min<std::uint8_t>(shift_[index], static_cast<std::uint8_t>(shift));
  };
  for (const Literal& literal : needles_) {
    for (std::size_t j = 0; j + 1 < shortest_; ++j) {
      const char c = literal.text[j];
      mark(c, shortest_ - 1 - j);
      if (literal.caseless) {
        mark(Lower(c), shortest_ - 1 - j);
        mark(Upper(c), shortest_ - 1 - j);
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
  if (!literal.compared.empty()) {
    for (const std::size_t i : literal.compared) {
      if (at[i] != static_cast<Char>(static_cast<unsigned char>(literal.text[i]))) return false;
    }
    return true;
  }
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
  return FindUnit(text, from, to, static_cast<Char>(needles_.front().text[0]));
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
#if defined(QM_NIBBLE_SCAN)
  if (LiteralScanner::Level() == 2) {
    constexpr std::size_t kWideLanes = 32 / sizeof(Char);
    while (p + kWideLanes <= limit) {
      std::uint32_t mask = 0;
      p = NextProbeBlock(text, p, limit, probe1_, probe2_, literal.text[probe1_],
                         literal.text[probe2_], literal.caseless, mask);
      if (p + kWideLanes > limit) break;
      while (mask != 0) {
        const std::size_t at = p + static_cast<std::size_t>(__builtin_ctz(mask)) / sizeof(Char);
        if (MatchesAt(literal, text + at)) return at;
        mask &= mask - 1;
      }
      p += kWideLanes;
    }
  }
#endif
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
  if (singleReach_ != 0) return FindProbesInUtf(text, from, to, length);
  if (needles_.size() == 1) {
    if (sizeof(Char) == 1 && needles_.front().text.size() == 1 && !needles_.front().caseless) {
      return FindOneByte(text, from, to);
    }
    return FindByVector(text, from, to, length);
  }
  if (scanner_ != nullptr && to - from >= kMinScannerUnits) return FindByNibbles(text, from, to, length);
  return FindPortably(text, from, to, length);
}

// Candidates from the nibble tables, each checked in full; the starts the
// vector blocks cannot reach near the end of the text go to the portable
// scan.
template <typename Char>
std::size_t NeedleSearch<Char>::FindByNibbles(const Char* text, std::size_t from, std::size_t to,
                                              std::size_t length) const {
#if defined(QM_NIBBLE_SCAN)
  constexpr std::size_t kUnit = sizeof(Char);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  // Blocks start at byte p while p + block - 1 + Span() - 1 < length * kUnit.
  const std::size_t block = LiteralScanner::BlockBytes();
  const std::size_t readable = length * kUnit;
  const std::size_t reach = scanner_->Span() + block - 1;
  const std::size_t blockEnd = std::min(to * kUnit, readable >= reach ? readable - reach + 1 : 0);
  std::size_t p = from * kUnit;
  std::uint8_t buckets[32];
  while (p < blockEnd) {
    p = scanner_->NextBlock(bytes, p, blockEnd, buckets);
    if (p >= blockEnd) break;
    for (std::size_t lane = 0; lane < block; ++lane) {
      if (buckets[lane] == 0 || (p + lane) % kUnit != 0) continue;
      const std::size_t at = (p + lane) / kUnit;
      if (at >= to) return to;
      for (std::size_t i = 0; i < needles_.size(); ++i) {
        if ((buckets[lane] >> i & 1) != 0 && at + needles_[i].text.size() <= length &&
            MatchesAt(needles_[i], text + at)) {
          return at;
        }
      }
    }
    p += block;
  }
  // p is a multiple of the unit size past from * kUnit.
  return FindPortably(text, std::max(from, (std::max(p, blockEnd) + kUnit - 1) / kUnit), to, length);
#else
  return FindPortably(text, from, to, length);
#endif
}

// Probes in UTF text, a stretch of starts at a time: the starts whose
// reach holds only characters of one unit are searched by the probes. For
// the others the nearer probe's unit lies between one and `wide` units per
// character on (four bytes in UTF-8, two units in UTF-16): the first of
// them that has it there is reported. The stretches keep the look for
// longer characters short when matches are close.
template <typename Char>
std::size_t NeedleSearch<Char>::FindProbesInUtf(const Char* text, std::size_t from,
                                                std::size_t to, std::size_t length) const {
  constexpr std::size_t kStretch = 512;
  const std::size_t near = probe1_;
  const std::size_t farthest = singleReach_ / shortest_ * near;
  const auto unit = static_cast<Char>(static_cast<unsigned char>(needles_.front().text[near]));
  for (std::size_t p = from; p < to;) {
    std::size_t end = std::min(to, p + kStretch);
    const std::size_t readEnd = std::min(length, end + singleReach_ - 1);
    const std::size_t longer = FirstOfLongerCharacter(text, p, readEnd);
    if (longer < readEnd) {
      // The first start whose reach holds that unit.
      const std::size_t uncertain = longer + 1 >= singleReach_ ? longer + 1 - singleReach_ : 0;
      if (uncertain <= p) {
        // The starts from p to `longer`: none before the unit's next
        // occurrence less its farthest distance (a start before `to` has it
        // before to + farthest).
        const std::size_t lookEnd = std::min(length, to + farthest);
        const std::size_t at = p + near < lookEnd ? FindUnit(text, p + near, lookEnd, unit) : lookEnd;
        if (at >= lookEnd) return to;
        std::size_t start = std::max(p, at - std::min(at, farthest));
        // No match begins inside a character (from may lie there).
        while (start < to && InsideCharacter(text[start])) ++start;
        if (start <= longer) return start;
        p = start;  // past the starts that reach `longer`
        continue;
      }
      end = std::min(end, uncertain);
    }
    const std::size_t hit = FindByVector(text, p, end, length);
    if (hit < end) return hit;
    p = end;
  }
  return to;
}

template <typename Char>
std::size_t NeedleSearch<Char>::FindPortably(const Char* text, std::size_t from, std::size_t to,
                                             std::size_t length) const {
  if (from >= to) return to;
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
