// The UTF-8 check: thirty-two bytes at a time with AVX2 where the
// processor has it (the lookup method of Keiser and Lemire: three 16-entry
// tables, indexed by the halves of each byte and of the byte before it,
// name the faults a pair of bytes may show, and a fault is a bit that
// every table sets, apart from the continuations the lead two or three
// bytes back requires), else an ASCII fast path and a byte-wise check.
#include "plugin/evaluation/utf_check.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define QM_UTF8_AVX2 1
#endif

namespace qm::plugin {
namespace {

std::atomic<bool> vectorCheckEnabled{true};

bool IsWellFormedUtf8Bytewise(const char* text, std::size_t length) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  std::size_t i = 0;
  while (i < length) {
#if defined(__SSE2__)
    // ASCII thirty-two bytes at a time.
    while (i + 32 <= length) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 16));
      if (_mm_movemask_epi8(_mm_or_si128(a, b)) != 0) break;
      i += 32;
    }
#endif
    // ASCII eight bytes at a time.
    if (i + 8 <= length) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t n;
    unsigned low = 0x80;
    unsigned high = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 3;
      if (c == 0xE0) low = 0xA0;   // no overlong forms
      if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (length - i < n) return false;
    if (s[i + 1] < low || s[i + 1] > high) return false;
    for (std::size_t k = 2; k < n; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

#if defined(QM_UTF8_AVX2)
bool HasAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

// The faults a pair of bytes (the one before, the one at) may show.
constexpr std::uint8_t kTooShort = 1 << 0;   // a lead without its continuations
constexpr std::uint8_t kTooLong = 1 << 1;    // a continuation without a lead
constexpr std::uint8_t kOverlong3 = 1 << 2;
constexpr std::uint8_t kTooLarge = 1 << 3;   // above U+10FFFF
constexpr std::uint8_t kSurrogate = 1 << 4;
constexpr std::uint8_t kOverlong2 = 1 << 5;
constexpr std::uint8_t kTooLarge1000 = 1 << 6;
constexpr std::uint8_t kOverlong4 = 1 << 6;
constexpr std::uint8_t kTwoConts = 1 << 7;  // a second continuation (allowed after 3- and 4-byte leads)
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

__attribute__((target("avx2"))) __m256i Table(const std::uint8_t (&t)[16]) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

// The block shifted by n bytes, the last n bytes of previous in front.
template <int N>
__attribute__((target("avx2"))) __m256i Previous(__m256i block, __m256i previous) {
  return _mm256_alignr_epi8(block, _mm256_permute2x128_si256(previous, block, 0x21), 16 - N);
}

// True when [0, blocks * 32) of s holds no fault but possibly an
// unfinished last character (the caller checks from its lead on).
__attribute__((target("avx2"))) bool BlocksWellFormed(const unsigned char* s, std::size_t blocks) {
  static const std::uint8_t kByte1High[16] = {
      kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
      kTwoConts, kTwoConts, kTwoConts, kTwoConts,
      kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
      kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
  static const std::uint8_t kByte1Low[16] = {
      kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
      kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000};
  static const std::uint8_t kByte2High[16] = {
      kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
      kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
      kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
      kTooShort, kTooShort, kTooShort, kTooShort};
  const __m256i byte1High = Table(kByte1High);
  const __m256i byte1Low = Table(kByte1Low);
  const __m256i byte2High = Table(kByte2High);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i thirdByte = _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80));
  const __m256i fourthByte = _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80));
  const __m256i high = _mm256_set1_epi8(static_cast<char>(0x80));
  __m256i previous = _mm256_setzero_si256();
  __m256i errors = _mm256_setzero_si256();
  // Every block takes the full check: in text that mixes ASCII and other
  // characters a skip for ASCII blocks is a branch the processor cannot
  // predict, which costs more than the check.
  for (std::size_t b = 0; b < blocks; ++b) {
    // Text fresh from the file system crosses a page every 128 blocks,
    // where the hardware's own prefetch stops: fetching 2 KiB ahead keeps
    // the check from waiting on memory.
    if ((b & 1) == 0 && b + 64 < blocks) {
      _mm_prefetch(reinterpret_cast<const char*>(s + b * 32 + 2048), _MM_HINT_T0);
    }
    const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + b * 32));
    const __m256i prev1 = Previous<1>(block, previous);
    const __m256i special = _mm256_and_si256(
        _mm256_and_si256(
            _mm256_shuffle_epi8(byte1High, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble)),
            _mm256_shuffle_epi8(byte1Low, _mm256_and_si256(prev1, nibble))),
        _mm256_shuffle_epi8(byte2High, _mm256_and_si256(_mm256_srli_epi16(block, 4), nibble)));
    const __m256i must23 =
        _mm256_or_si256(_mm256_subs_epu8(Previous<2>(block, previous), thirdByte),
                        _mm256_subs_epu8(Previous<3>(block, previous), fourthByte));
    errors = _mm256_or_si256(errors, _mm256_xor_si256(_mm256_and_si256(must23, high), special));
    previous = block;
    // Binary data fails within its first bytes: every 256 bytes a fault
    // seen ends the check (a branch taken once, so always predicted).
    if ((b & 7) == 7 && _mm256_testz_si256(errors, errors) == 0) return false;
  }
  return _mm256_testz_si256(errors, errors) != 0;
}
#endif

}  // namespace

void SetVectorUtf8CheckEnabled(bool enabled) {
  vectorCheckEnabled.store(enabled, std::memory_order_relaxed);
}

bool IsWellFormedUtf8(const char* text, std::size_t length) {
#if defined(QM_UTF8_AVX2)
  if (length >= 64 && HasAvx2() && vectorCheckEnabled.load(std::memory_order_relaxed)) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    const std::size_t blocks = length / 32;
    if (!BlocksWellFormed(s, blocks)) return false;
    // The last character of the blocks may go on past them: the rest is
    // checked from its lead (a continuation run longer than three bytes
    // was already a fault).
    std::size_t from = blocks * 32;
    for (std::size_t back = 1; back <= 3; ++back) {
      const unsigned char c = s[blocks * 32 - back];
      if (c < 0x80) break;
      if (c >= 0xC0) {
        from = blocks * 32 - back;
        break;
      }
    }
    return IsWellFormedUtf8Bytewise(text + from, length - from);
  }
#endif
  return IsWellFormedUtf8Bytewise(text, length);
}

bool IsWellFormedUtf16(const char16_t* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const char16_t u = text[i];
    if (u < 0xD800 || u > 0xDFFF) continue;
    if (u > 0xDBFF || i + 1 >= length) return false;
    const char16_t next = text[i + 1];
    if (next < 0xDC00 || next > 0xDFFF) return false;
    ++i;
  }
  return true;
}

}  // namespace qm::plugin
