// Encoding decision over real files, the pattern-count thresholds and the
// UTF-16 validity test.
#include <algorithm>

#include "content_fixture.h"

namespace qm::plugin::testing {
namespace {

std::string Name(const EvaluationState& s) {
  if (s.isUtf8) return "UTF-8";
  if (s.isUtf16) return s.bigEndian ? "UTF-16 BE" : "UTF-16";
  return "ANSI/Binary";
}

// UTF-16 bytes of ASCII text in either byte order.
std::string Utf16(const std::string& ascii, bool big) {
  std::string out;
  for (char c : ascii) out += big ? std::string{'\0', c} : std::string{c, '\0'};
  return out;
}

const std::string kLe = "\xFF\xFE", kBe = "\xFE\xFF", kUtf8Bom = "\xEF\xBB\xBF";

struct Case {
  const char* label;
  std::string bytes;
  const char* expected;
  std::uint32_t bom;
  bool zerosValid = false;
};

class EncodingTest : public ContentTest {};

TEST_F(EncodingTest, DecisionTable) {
  const std::string hello = Utf16("hello world", false);
  const Case cases[] = {
      {"one byte", "\xFF", "ANSI/Binary", 0},
      {"LE mark alone", kLe, "UTF-16", 2},
      {"BE mark alone", kBe, "UTF-16 BE", 2},
      {"LE mark, odd size", kLe + "h\xC3\xA9", "ANSI/Binary", 0},
      {"LE mark, lone trail", kLe + std::string("\x00\xDC", 2), "ANSI/Binary", 0},
      {"LE mark, lone lead", kLe + std::string("h\0\x00\xD8", 4), "ANSI/Binary", 0},
      {"LE mark, pair", kLe + std::string("\x3D\xD8\x00\xDE", 4), "UTF-16", 2},
      {"LE mark, FFFF", kLe + hello + "\xFF\xFF", "ANSI/Binary", 0},
      {"BE mark, text", kBe + Utf16("hello", true), "UTF-16 BE", 2},
      {"no mark, FFFF pair", hello + "\xFF\xFF", "ANSI/Binary", 0},  // FF FF rules it out
      {"UTF-8 mark, ASCII", kUtf8Bom + "abc", "UTF-8", 3},
      {"UTF-8 mark, FF", kUtf8Bom + "\xFF", "ANSI/Binary", 0},
      {"ASCII", "plain text\r\n", "ANSI/Binary", 0},
      {"UTF-8 no mark", "caf\xC3\xA9", "UTF-8", 0},
      {"hi LE", std::string("h\0i\0", 4), "UTF-16", 0},
      {"hi BE", std::string("\0h\0i", 4), "UTF-16 BE", 0},
      {"zero pair", hello + std::string(2, '\0') + hello, "ANSI/Binary", 0},
      {"zero pair allowed", hello + std::string(2, '\0') + hello, "UTF-16", 0, true},
      {"odd LE text", hello + "x", "ANSI/Binary", 0},
  };
  for (const Case& c : cases) {
    settings.unicodeZerosValid = c.zerosValid;
    RecordingConsumer consumer;
    const Run run = Read(c.bytes, Path::kSample, consumer);
    EXPECT_TRUE(run.ok) << c.label;
    EXPECT_EQ(Name(run.state), c.expected) << c.label;
    EXPECT_EQ(run.bom, c.bom) << c.label;
    EXPECT_FALSE(run.state.bigEndian && !run.state.isUtf16) << c.label;
  }
}

// The scan for the first high byte goes 64 bytes at a time where it can: a
// fault or a character at any position of an ASCII text, before, across
// and after such a block, still decides the text.
TEST_F(EncodingTest, TheFirstHighByteDecidesAtEveryPosition) {
  for (const std::size_t length : {63u, 64u, 65u, 130u, 200u}) {
    for (std::size_t at = 0; at + 2 <= length; ++at) {
      std::string text(length, 'a');
      text[at] = '\xFF';
      RecordingConsumer consumer;
      EXPECT_EQ(Name(Read(text, Path::kSample, consumer).state), "ANSI/Binary") << length << " " << at;
      text[at] = '\xC3';
      text[at + 1] = '\xA9';
      EXPECT_EQ(Name(Read(text, Path::kSample, consumer).state), "UTF-8") << length << " " << at;
    }
  }
}

TEST_F(EncodingTest, Utf8SampleCutInsideASequence) {
  settings.analyzeBuffer = 32768;
  std::string text;
  while (text.size() < 40000) text += "\xE2\x82\xAC";  // euro sign, 3 bytes
  for (std::size_t into = 1; into <= 2; ++into) {
    const std::string bytes = std::string(32768 - into, 'a') + text;
    RecordingConsumer consumer;
    const Run run = Read(bytes, Path::kSample, consumer);
    EXPECT_EQ(Name(run.state), "UTF-8");
    EXPECT_EQ(run.state.validUtf8Length, 32768 - into);
  }
  // Invalid near the end of a file that the sample holds whole.
  std::string bad = std::string(100000, 'a') + "\xE2\x82\xAC";
  bad[99990] = '\xFF';
  RecordingConsumer consumer;
  EXPECT_EQ(Name(Read(bad, Path::kSample, consumer).state), "ANSI/Binary");
}

TEST_F(EncodingTest, Utf16SampleCutInsideASurrogatePair) {
  settings.analyzeBuffer = 32768;
  std::string pairs;
  while (pairs.size() < 40000) pairs += std::string("\x3D\xD8\x00\xDE", 4);
  const std::string bytes = kLe + pairs;  // a lead surrogate ends the sample
  RecordingConsumer consumer;
  EXPECT_EQ(Name(Read(bytes, Path::kSample, consumer).state), "UTF-16");
  // The same lead surrogate at the true end of the file is invalid.
  EXPECT_EQ(Name(Read(bytes.substr(0, 32768), Path::kSample, consumer).state), "ANSI/Binary");
}

TEST_F(EncodingTest, PatternThresholds) {
  // length, little-endian pairs at the threshold: one more tips the decision.
  const std::pair<std::size_t, std::size_t> edges[] = {
      {100, 1}, {102, 9}, {250, 9}, {252, 24}, {500, 24}, {502, 41}};
  for (const auto& [length, threshold] : edges) {
    for (std::size_t ascii : {threshold, threshold + 1}) {
      std::string bytes(length, '\x41');  // pairs that count as nothing
      for (std::size_t i = 0; i < ascii; ++i) bytes[2 * i + 1] = '\0';
      const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
      EXPECT_EQ(CountUtf16Patterns(p, length, false), ascii > threshold ? 1 : 0)
          << length << " " << ascii;
      std::reverse(bytes.begin(), bytes.end());
      EXPECT_EQ(CountUtf16Patterns(p, length, false), ascii > threshold ? 2 : 0)
          << length << " " << ascii;
    }
  }
  const std::string mixed = Utf16("abc", false) + Utf16("abc", true);
  EXPECT_EQ(CountUtf16Patterns(reinterpret_cast<const unsigned char*>(mixed.data()),
                               mixed.size(), false),
            0);
}

// The decision from counts made one pair at a time, as the description
// gives it; the vector count must agree on every generated sample.
int PatternsPairByPair(const std::string& bytes, bool unicodeZerosValid) {
  std::size_t little = 0, big = 0, zeros = 0, ones = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    little += a != 0 && b == 0;
    big += a == 0 && b != 0;
    zeros += a == 0 && b == 0;
    ones += a == 0xFF && b == 0xFF;
  }
  const std::size_t n = bytes.size();
  const std::size_t threshold = n > 500 ? n / 12 : n > 250 ? 24 : n > 100 ? 9 : 1;
  if (little > threshold && big > threshold) return 0;
  if (zeros > 0 && !unicodeZerosValid) return 0;
  if (ones > 0) return 0;
  return little > threshold ? 1 : big > threshold ? 2 : 0;
}

TEST_F(EncodingTest, PatternCountsAgreeWithAPairByPairCount) {
  std::uint32_t seed = 3;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  const char kBytes[] = {'\0', '\0', 'a', 'a', '\xFF', '\x80'};
  int decided = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string bytes;
    const std::uint32_t length = next(700);
    const std::uint32_t bias = next(3);  // mostly little-endian, big-endian or mixed
    for (std::uint32_t i = 0; i < length; ++i) {
      const bool zeroSlot = bias == 0 ? i % 2 == 1 : bias == 1 ? i % 2 == 0 : next(2) == 0;
      bytes += next(8) != 0 ? (zeroSlot ? '\0' : 'a') : kBytes[next(sizeof kBytes)];
    }
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (const bool zerosValid : {false, true}) {
      const int want = PatternsPairByPair(bytes, zerosValid);
      EXPECT_EQ(CountUtf16Patterns(p, bytes.size(), zerosValid), want) << "round " << round;
      decided += want != 0;
    }
  }
  EXPECT_GT(decided, 500);
}

TEST_F(EncodingTest, ValidateUtf16Verdicts) {
  EvaluationState state;
  const std::string be = std::string("\xD8\x3D\xDE\x00\xFF\xFF", 6);
  const auto* p = reinterpret_cast<const unsigned char*>(be.data());
  const bool swap = !MachineIsBigEndian();
  ASSERT_TRUE(ValidateUtf16(p, 6, state, swap, false, true));
  EXPECT_TRUE(state.isUtf16);
  EXPECT_TRUE(state.bigEndian);
  ASSERT_TRUE(ValidateUtf16(p, 6, state, swap, false, false));  // FFFF test on
  EXPECT_FALSE(state.isUtf16 || state.bigEndian);
  // Units are read without assuming alignment.
  const std::string odd = std::string("\x00\xD8\x3D\xDE\x00\xDE\x00", 7);
  const auto* q = reinterpret_cast<const unsigned char*>(odd.data()) + 1;
  ASSERT_TRUE(ValidateUtf16(q, 4, state, swap, false, false));
  EXPECT_TRUE(state.isUtf16);
  ASSERT_TRUE(ValidateUtf16(q + 2, 4, state, swap, false, false));  // trail first
  EXPECT_FALSE(state.isUtf16);
}

TEST_F(EncodingTest, FailuresAndTheEmptyFile) {
  RecordingConsumer consumer;
  const Run empty = Read("", Path::kSample, consumer);
  EXPECT_TRUE(empty.ok);
  EXPECT_EQ(Name(empty.state), "ANSI/Binary");
  ASSERT_EQ(consumer.pieces.size(), 1u);
  EXPECT_TRUE(consumer.pieces[0].text.empty());

  EXPECT_FALSE(Read("abc", Path::kSample, consumer, {}, 1, 10).ok);  // short read
  platform::File file = Open(Write("abc"));
  EvaluationState state;
  EncodingSample sample;
  std::uint32_t bom = 0;
  EXPECT_FALSE(ReadEncodingSample(-1, &bom, file, state, &sample, settings));
  SetContentAllocationLimitForTesting(3);
  EXPECT_FALSE(ReadEncodingSample(3, &bom, file, state, &sample, settings));
}

}  // namespace
}  // namespace qm::plugin::testing
