// Encoding detection.
//
// Divisions: byte order and content buffers; the pattern count for text
// without a byte-order mark; UTF-16 validation; the sample read and the
// decision.
#include "plugin/content/encoding.h"

#include <utf8.h>

#include <atomic>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define QM_ENCODING_AVX2 1
#endif

#include "plugin/evaluation/utf_check.h"

namespace qm::plugin {
namespace {

#if defined(QM_ENCODING_AVX2)
// Every file's sample is looked at for its high bytes and, when it holds a
// zero byte, for its UTF-16 pairs: with AVX2 (and its popcount) where the
// processor has it, sixty-four bytes or sixteen pairs at a time.
bool HasAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  return avx2;
}

// How far from the start the bytes are all below 0x80, in steps of 64.
__attribute__((target("avx2"))) std::size_t AsciiBlocks(const unsigned char* bytes, std::size_t n) {
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i + 32));
    if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) != 0) break;
  }
  return i;
}
#endif

// The first byte of 0x80 or above (n when there is none).
std::size_t FirstHighByte(const unsigned char* bytes, std::size_t n) {
  std::size_t i = 0;
#if defined(QM_ENCODING_AVX2)
  if (HasAvx2()) i = AsciiBlocks(bytes, n);
#endif
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const int mask = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i)));
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#endif
  while (i < n && bytes[i] < 0x80) ++i;
  return i;
}

#if defined(__SSE2__)
// The set bits of a 16-bit mask, without the library call that
// __builtin_popcount becomes on targets without a popcount instruction.
unsigned CountBits(unsigned x) {
  x = x - ((x >> 1) & 0x5555u);
  x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
  x = (x + (x >> 4)) & 0x0F0Fu;
  return (x + (x >> 8)) & 0x1Fu;
}
#endif

// The pair counts of the test for UTF-16 without a mark.
struct PairCounts {
  std::size_t littleAscii = 0;  // xx 00
  std::size_t bigAscii = 0;     // 00 xx
  std::size_t zeros = 0;        // 00 00
  std::size_t ones = 0;         // FF FF
};

#if defined(QM_ENCODING_AVX2)
// Counts the pairs of the first blocks of 32 bytes into *counts; the bytes
// counted. Bit 2k of a mask stands for the first byte of pair k, bit 2k + 1
// for its second byte. Ends early, after a block holding a pair that makes
// every answer "not UTF-16" (FF FF; 00 00 unless zeros are valid).
__attribute__((target("avx2,popcnt"))) std::size_t CountPairBlocks(const unsigned char* bytes,
                                                                   std::size_t length,
                                                                   bool unicodeZerosValid,
                                                                   PairCounts* counts) {
  constexpr std::uint32_t kFirst = 0x55555555u;
  std::size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i));
    const auto zero = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(block, _mm256_setzero_si256())));
    const auto full = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(block, _mm256_set1_epi8(-1))));
    const std::uint32_t firstZero = zero & kFirst;
    const std::uint32_t secondZero = (zero >> 1) & kFirst;
    const std::uint32_t bothZero = firstZero & secondZero;
    const std::uint32_t bothFull = full & (full >> 1) & kFirst;
    counts->littleAscii += static_cast<std::size_t>(_mm_popcnt_u32(secondZero & ~firstZero));
    counts->bigAscii += static_cast<std::size_t>(_mm_popcnt_u32(firstZero & ~secondZero));
    counts->zeros += static_cast<std::size_t>(_mm_popcnt_u32(bothZero));
    counts->ones += static_cast<std::size_t>(_mm_popcnt_u32(bothFull));
    if (bothFull != 0 || (bothZero != 0 && !unicodeZerosValid)) return i + 32;
  }
  return i;
}
#endif

std::atomic<std::size_t> g_allocationLimit{0};  // 0: no test limit

bool IsLeadSurrogate(std::uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// Reads 16-bit units from a byte buffer, optionally swapped, without
// assuming the buffer is aligned for char16_t. Serves as the input iterator
// of the UTF-16 conversion, so swapped data needs no copy.
class UnitReader {
 public:
  UnitReader(const unsigned char* bytes, bool swap) : bytes_(bytes), swap_(swap) {}
  std::uint16_t operator*() const {
    std::uint16_t unit;
    std::memcpy(&unit, bytes_, sizeof unit);
    return swap_ ? static_cast<std::uint16_t>((unit >> 8) | (unit << 8)) : unit;
  }
  UnitReader& operator++() {
    bytes_ += 2;
    return *this;
  }
  UnitReader operator++(int) {
    UnitReader before = *this;
    bytes_ += 2;
    return before;
  }
  bool operator==(const UnitReader& other) const { return bytes_ == other.bytes_; }
  bool operator!=(const UnitReader& other) const { return bytes_ != other.bytes_; }

 private:
  const unsigned char* bytes_;
  bool swap_;
};

// Output iterator that throws the converted UTF-8 away: the conversion is
// only run for its verdict.
struct DiscardOctets {
  DiscardOctets& operator*() { return *this; }
  DiscardOctets& operator++() { return *this; }
  DiscardOctets operator++(int) { return *this; }
  template <typename Octet>
  DiscardOctets& operator=(Octet) {
    return *this;
  }
};

// The last whole unit of count bytes, in the order the data is stored in
// (big-endian when bigEndianData).
std::uint16_t LastUnit(const unsigned char* bytes, std::size_t count, bool bigEndianData) {
  const std::size_t at = (count / 2 - 1) * 2;
  return bigEndianData ? static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1])
                       : static_cast<std::uint16_t>((bytes[at + 1] << 8) | bytes[at]);
}

// Byte count of UTF-16 data to validate: a sample that the file continues
// beyond may end in a lead surrogate whose trail was cut off by the sample's
// end; that unit is left out rather than failing otherwise valid text.
std::size_t Utf16TestLength(const unsigned char* bytes, std::size_t count, bool bigEndianData,
                            bool fileContinues) {
  if (fileContinues && count >= 2 && IsLeadSurrogate(LastUnit(bytes, count, bigEndianData))) {
    return (count / 2 - 1) * 2;
  }
  return count;
}

// Strict UTF-8, as utf8::is_valid decides it (the two are compared over
// generated text in tests/evaluation/utf_check_test.cpp), with the vector
// check: every file's sample is looked at.
bool IsValidUtf8(const char* begin, const char* end) {
  return IsWellFormedUtf8(begin, static_cast<std::size_t>(end - begin));
}

}  // namespace

// ---------------------------------------------------------------------------
// Byte order and content buffers
// ---------------------------------------------------------------------------
bool MachineIsBigEndian() {
  const std::uint16_t probe = 0x0102;
  unsigned char first;
  std::memcpy(&first, &probe, 1);
  return first == 0x01;
}

bool ContentNeedsSwap(const EvaluationState& state) {
  return state.isUtf16 && state.bigEndian != MachineIsBigEndian();
}

void SwapUnitsInPlace(char* bytes, std::size_t units) {
  for (std::size_t i = 0; i < units; ++i) {
    const char first = bytes[2 * i];
    bytes[2 * i] = bytes[2 * i + 1];
    bytes[2 * i + 1] = first;
  }
}

bool ContentAllocationAllowed(std::size_t bytes) {
  const std::size_t limit = g_allocationLimit.load(std::memory_order_relaxed);
  return limit == 0 || bytes <= limit;
}

void SetContentAllocationLimitForTesting(std::size_t maxBytes) {
  g_allocationLimit.store(maxBytes, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Pattern count
// ---------------------------------------------------------------------------
int CountUtf16Patterns(const unsigned char* bytes, std::size_t length, bool unicodeZerosValid) {
  // Without a zero byte no pair counts for UTF-16 (most samples).
  if (length < 2 || std::memchr(bytes, 0, length) == nullptr) return 0;
  PairCounts counts;
  std::size_t i = 0;
#if defined(QM_ENCODING_AVX2)
  if (HasAvx2()) {
    i = CountPairBlocks(bytes, length, unicodeZerosValid, &counts);
    // A pair that rules UTF-16 out: the rest cannot change the answer.
    if (counts.ones > 0 || (counts.zeros > 0 && !unicodeZerosValid)) return 0;
  }
#endif
#if defined(__SSE2__)
  // Eight pairs at a time.
  for (; i + 16 <= length; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    const auto zero = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_setzero_si128())));
    const auto full = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_set1_epi8(-1))));
    const unsigned firstZero = zero & 0x5555u;
    const unsigned secondZero = (zero >> 1) & 0x5555u;
    counts.littleAscii += CountBits(secondZero & ~firstZero & 0x5555u);
    counts.bigAscii += CountBits(firstZero & ~secondZero & 0x5555u);
    counts.zeros += CountBits(firstZero & secondZero);
    counts.ones += CountBits(full & (full >> 1) & 0x5555u);
  }
#endif
  for (; i + 1 < length; i += 2) {
    const unsigned char first = bytes[i];
    const unsigned char second = bytes[i + 1];
    if (first != 0 && second == 0) {
      ++counts.littleAscii;
    } else if (first == 0 && second != 0) {
      ++counts.bigAscii;
    } else if (first == 0 && second == 0) {
      ++counts.zeros;
    } else if (first == 0xFF && second == 0xFF) {
      ++counts.ones;
    }
  }
  std::size_t threshold = 1;
  if (length > 500) {
    threshold = length / 12;
  } else if (length > 250) {
    threshold = 24;
  } else if (length > 100) {
    threshold = 9;
  }
  if (counts.littleAscii > threshold && counts.bigAscii > threshold) return 0;
  if (counts.zeros > 0 && !unicodeZerosValid) return 0;
  if (counts.ones > 0) return 0;
  if (counts.littleAscii > threshold) return 1;
  if (counts.bigAscii > threshold) return 2;
  return 0;
}

// ---------------------------------------------------------------------------
// UTF-16 validation
// ---------------------------------------------------------------------------
bool ValidateUtf16(const unsigned char* bytes, std::size_t count, EvaluationState& state,
                   bool swap, bool littleEndian, bool skipFfffTest) {
  const std::size_t units = count / 2;
  const UnitReader begin(bytes, swap);
  const UnitReader end(bytes + 2 * units, swap);
  bool valid = true;
  try {
    utf8::utf16to8(begin, end, DiscardOctets());
  } catch (const utf8::invalid_utf16&) {
    valid = false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (valid && !skipFfffTest) {
    for (UnitReader it = begin; it != end; ++it) {
      if (*it == 0xFFFF) {
        valid = false;
        break;
      }
    }
  }
  state.isUtf16 = valid;
  // A rejected text leaves no byte order behind: bigEndian only describes
  // UTF-16 content.
  state.bigEndian = valid && !littleEndian;
  return true;
}

// ---------------------------------------------------------------------------
// Sample read and decision
// ---------------------------------------------------------------------------
namespace {

// Resets the decision and reads the first bytes of the file (at most the
// analysis buffer) into the sample, with a terminating zero.
bool ReadSample(std::int64_t size, std::uint32_t* bomLength, platform::File& file,
                EvaluationState& state, EncodingSample* sample, std::uint64_t sampleLimit) {
  state.isUtf8 = false;
  state.isUtf16 = false;
  state.bigEndian = false;
  state.validUtf8Length = 0;
  *bomLength = 0;
  sample->length = 0;
  if (size < 0) return false;
  const std::size_t n =
      static_cast<std::size_t>(static_cast<std::uint64_t>(size) < sampleLimit ? size : sampleLimit);
  char* const bytes = sample->bytes.Allocate(n + 1);
  if (bytes == nullptr) return false;
  bytes[n] = 0;
  if (n > 0 && !file.ReadExact(bytes, n)) return false;
  sample->length = n;
  return true;
}

// A sample that starts with a UTF-16 byte-order mark is UTF-16 or nothing.
// False when validation ran out of memory.
bool DecideByUtf16Mark(const unsigned char* bytes, std::size_t n, std::int64_t size,
                       bool fileContinues, std::uint32_t* bomLength, EvaluationState& state) {
  const bool markBig = bytes[0] == 0xFE && bytes[1] == 0xFF;
  const bool markLittle = bytes[0] == 0xFF && bytes[1] == 0xFE;
  if (size % 2 != 0) return true;
  state.isUtf16 = true;
  state.bigEndian = markBig;
  *bomLength = 2;
  if (size > 2) {
    const std::size_t length = Utf16TestLength(bytes + 2, n - 2, markBig, fileContinues);
    if (!ValidateUtf16(bytes + 2, length, state, markBig != MachineIsBigEndian(), markLittle,
                       false)) {
      return false;
    }
    if (!state.isUtf16) *bomLength = 0;
  }
  return true;
}

// UTF-8: only a sample with a byte of 0x80 or above needs the test. The
// ASCII run before that byte is valid, so the test starts at it. A sample
// cut from a longer file may end inside a sequence of up to four bytes: the
// longest valid of the lengths n, n-1, n-2, n-3 counts. A length that ends
// before the first high byte is plain ASCII. A UTF-8 mark before content
// that is not UTF-8 is taken back.
void DecideUtf8(const char* text, std::size_t n, bool fileContinues, std::uint32_t* bomLength,
                EvaluationState& state) {
  const std::size_t firstHigh = FirstHighByte(reinterpret_cast<const unsigned char*>(text), n);
  if (firstHigh == n) return;
  const std::size_t tries = fileContinues ? 4 : 1;
  for (std::size_t cut = 0; cut < tries && cut <= n; ++cut) {
    const std::size_t end = n - cut;
    if (end <= firstHigh || IsValidUtf8(text + firstHigh, text + end)) {
      state.validUtf8Length = static_cast<std::uint32_t>(n - cut);
      state.isUtf8 = true;
      return;
    }
  }
  if (state.isUtf8) {
    state.isUtf8 = false;
    *bomLength = 0;
  }
}

}  // namespace

bool ReadEncodingSample(std::int64_t size, std::uint32_t* bomLength, platform::File& file,
                        EvaluationState& state, EncodingSample* sample,
                        const PluginSettings& settings) {
  if (!ReadSample(size, bomLength, file, state, sample, settings.analyzeBuffer)) return false;
  if (size < 2) return true;
  const std::size_t n = sample->length;
  const auto* bytes = reinterpret_cast<const unsigned char*>(sample->bytes.get());
  const bool fileContinues = static_cast<std::uint64_t>(size) > n;

  if ((bytes[0] == 0xFE && bytes[1] == 0xFF) || (bytes[0] == 0xFF && bytes[1] == 0xFE)) {
    return DecideByUtf16Mark(bytes, n, size, fileContinues, bomLength, state);
  }
  if (size > 2 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    state.isUtf8 = true;
    *bomLength = 3;
  } else if (size % 2 == 0) {
    // UTF-16 without a mark, recognised by the pattern of its zero bytes.
    const int pattern = CountUtf16Patterns(bytes, n, settings.unicodeZerosValid);
    if (pattern != 0) {
      const bool dataBig = pattern == 2;
      const std::size_t length = Utf16TestLength(bytes, n, dataBig, fileContinues);
      if (!ValidateUtf16(bytes, length, state, dataBig != MachineIsBigEndian(), !dataBig, true)) {
        return false;
      }
      if (state.isUtf16) return true;
    }
  }
  if (state.utf8Irrelevant && !state.isUtf8) return true;  // read as ANSI, answers alike
  DecideUtf8(sample->bytes.get(), n, fileContinues, bomLength, state);
  return true;
}

}  // namespace qm::plugin
