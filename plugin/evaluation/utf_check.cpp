#include "plugin/evaluation/utf_check.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qm::plugin {

bool IsWellFormedUtf8(const char* text, std::size_t length) {
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
