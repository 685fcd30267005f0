// The literal search against a plain scan: every kind of literal set
// (one byte, one long literal, several, caseless) over generated texts in
// both widths, with search ranges that end anywhere, so that vector blocks,
// tails and the last possible start are all met; and the search for units at
// fixed distances (probes), in text of one unit per character and in UTF.
#include "plugin/evaluation/needle_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qm::plugin {
namespace {

char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

template <typename Char>
bool PlainMatchAt(const Needle& needle, const Char* at) {
  for (std::size_t i = 0; i < needle.text.size(); ++i) {
    const auto unit = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Char>>(at[i]));
    if (unit > 0x7F) return false;
    const char c = static_cast<char>(unit);
    if (needle.caseless ? Fold(c) != Fold(needle.text[i]) : c != needle.text[i]) return false;
  }
  return true;
}

template <typename Char>
std::size_t PlainFind(const std::vector<Needle>& needles, const std::basic_string<Char>& text,
                      std::size_t from, std::size_t to) {
  for (std::size_t p = from; p < to; ++p) {
    for (const Needle& needle : needles) {
      if (p + needle.text.size() <= text.size() && PlainMatchAt(needle, text.data() + p)) return p;
    }
  }
  return to;
}

template <typename Char>
void CompareWithPlainScan(const std::vector<Needle>& needles) {
  const NeedleSearch<Char> search(needles);
  std::uint32_t seed = 99;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  // Few letters make near misses common; 0x165 shares its low byte with 'e'.
  static const char16_t kUnits[] = {u'e', u'E', u'r', u'R', u'o', u'@', u'-', u' ', u'\n',
                                    u'x', u'd', u'a', u'b', u'\u0165', u'\u00e9'};
  for (int round = 0; round < 300; ++round) {
    std::basic_string<Char> text;
    const std::uint32_t size = next(round % 3 == 0 ? 600 : 200);
    for (std::uint32_t i = 0; i < size; ++i) {
      const char16_t u = kUnits[next(sizeof kUnits / sizeof kUnits[0])];
      text += sizeof(Char) == 1 && u > 0xFF ? Char('?') : static_cast<Char>(u);
    }
    if (next(3) == 0 && !needles.empty()) {  // a literal right at the end
      for (const char c : needles[next(static_cast<std::uint32_t>(needles.size()))].text) {
        text += static_cast<Char>(c);
      }
    }
    const std::size_t from = next(static_cast<std::uint32_t>(text.size() + 1));
    const std::size_t to = from + next(static_cast<std::uint32_t>(text.size() - from + 1));
    EXPECT_EQ(search.Find(text.data(), from, to, text.size()), PlainFind(needles, text, from, to))
        << "round " << round << " from " << from << " to " << to;
  }
}

TEST(NeedleSearch, FindsWhatAPlainScanFindsInBothWidths) {
  const std::vector<std::vector<Needle>> sets = {
      {{"@", false}},
      {{"e", true}},
      {{"error", false}},
      {{"error", true}},
      {{"Er", false}},
      {{"rro", true}},
      {{"error", false}, {"rod", false}, {"bad", true}},
      {{"e", false}, {"xd", false}},
      {{"ab", true}, {"-", false}},
  };
  // The 32-byte (AVX2) and 16-byte scans where the processor has them.
  for (const int level : {2, 1}) {
    SetLiteralScannerLevelForTesting(level);
    for (const auto& needles : sets) {
      SCOPED_TRACE(needles.front().text + (needles.front().caseless ? " caseless" : "") +
                   " level " + std::to_string(level));
      CompareWithPlainScan<char>(needles);
      CompareWithPlainScan<char16_t>(needles);
    }
  }
  SetLiteralScannerLevelForTesting(2);
}

// Sets of two to eight literals, as the nibble-mask scan gets them:
// generated literals (prefixes of each other, single units, caseless ones)
// over long generated texts whose UTF-16 units also hide literal bytes at
// odd byte offsets. The vector scan's answer, the portable scan's and a
// plain scan's must agree at every range.
template <typename Char>
void CompareScannerWithPortableScan(std::uint32_t seed) {
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  static const char kLetters[] = "abeErR-@x";
  // The UTF-16 scan keys on low bytes: units whose low byte is a literal's
  // letter (0x165, 0x6265) must still be refused by the full check.
  static const char16_t kUnits[] = {u'a', u'b', u'e', u'E', u'r', u'R', u'-', u'@', u'x', u' ',
                                    u'\n', u'\u6100', u'\u6200', u'\u0165', u'\u00e9',
                                    u'\u6265', u'\u0172'};
  std::vector<Needle> needles;
  const std::uint32_t count = 2 + next(7);
  while (needles.size() < count) {
    Needle n;
    if (!needles.empty() && next(4) == 0) {
      n.text = needles[next(static_cast<std::uint32_t>(needles.size()))].text;  // a prefix or extension
      n.text = next(2) == 0 && n.text.size() > 1 ? n.text.substr(0, n.text.size() - 1) : n.text + "e";
    } else {
      const std::uint32_t length = 1 + next(next(3) == 0 ? 8 : 3);
      for (std::uint32_t i = 0; i < length; ++i) n.text += kLetters[next(sizeof kLetters - 1)];
    }
    n.caseless = next(3) == 0;
    bool known = false;
    for (const Needle& m : needles) known = known || m == n;
    if (!known) needles.push_back(n);
  }
  SetLiteralScannerEnabled(true);
  const NeedleSearch<Char> vector(needles);
  SetLiteralScannerEnabled(false);
  const NeedleSearch<Char> portable(needles);
  SetLiteralScannerEnabled(true);
  std::basic_string<Char> text;
  const std::uint32_t size = 200 + next(5000);
  // Long stretches without a literal, then dense ones.
  for (std::uint32_t i = 0; i < size; ++i) {
    const char16_t u = next(40) == 0 || (i / 512) % 2 == 1 ? kUnits[next(sizeof kUnits / sizeof kUnits[0])]
                                                           : u' ';
    text += sizeof(Char) == 1 && u > 0xFF ? Char('?') : static_cast<Char>(u);
  }
  for (int range = 0; range < 20; ++range) {
    const std::size_t from = next(static_cast<std::uint32_t>(text.size() + 1));
    const std::size_t to = from + next(static_cast<std::uint32_t>(text.size() - from + 1));
    const std::size_t want = PlainFind(needles, text, from, to);
    EXPECT_EQ(vector.Find(text.data(), from, to, text.size()), want)
        << "seed " << seed << " from " << from << " to " << to;
    EXPECT_EQ(portable.Find(text.data(), from, to, text.size()), want)
        << "seed " << seed << " from " << from << " to " << to;
  }
}

TEST(NeedleSearch, SeveralLiteralsTheVectorAndThePortableScansAgree) {
  // Both vector widths where the processor has them.
  for (const int level : {2, 1}) {
    SetLiteralScannerLevelForTesting(level);
    for (std::uint32_t seed = 1; seed <= 150; ++seed) {
      CompareScannerWithPortableScan<char>(seed);
      CompareScannerWithPortableScan<char16_t>(seed);
    }
  }
  SetLiteralScannerLevelForTesting(2);
}

std::string Utf8(const std::u16string& units) {
  std::string out;
  platform::AppendNarrow(platform::kCodePageUtf8, units.data(), units.size(), &out);
  return out;
}

// Probes: no start where every probe holds is passed over, and a report is
// a start where two of them hold. In UTF text a start whose reach (four
// bytes, or two UTF-16 units, per probed character) holds a unit of a
// longer character may have each probe's unit anywhere from one to that
// many units per character on: no such start is passed over, unless the
// search began inside a character.
template <typename Char>
void CompareProbesWithPlainScan(const std::vector<Probe>& probes, bool utf) {
  const NeedleSearch<Char> search(probes, utf);
  ASSERT_FALSE(search.Empty());
  ASSERT_TRUE(search.FindsStarts());
  const std::size_t span = probes.back().offset + 1;
  const std::size_t reach = utf ? (sizeof(Char) == 1 ? 4 : 2) * span : 0;
  // Characters of one, two, three and four bytes (one or two UTF-16 units).
  static const char16_t* const kTokens[] = {u"-", u"1", u"a", u" ", u"--", u"1-", u"\n", u"é",
                                            u"\u0663", u"€", u"\U0001D7CE"};
  std::uint32_t seed = 5;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  const auto longer = [](Char c) {
    return sizeof(Char) == 1 ? (c & 0x80) != 0 : c >= 0xD800 && c <= 0xDFFF;
  };
  for (int round = 0; round < 400; ++round) {
    std::basic_string<Char> text;
    const std::uint32_t size = next(round % 4 == 0 ? 3000 : 300);
    // Long ASCII stretches, so that whole vector blocks are met.
    const std::uint32_t tokens = utf && round % 2 == 0 ? 11 : 7;
    while (text.size() < size) {
      const std::u16string token = kTokens[next(tokens)];
      if constexpr (sizeof(Char) == 1) {
        text += Utf8(token);
      } else {
        text += token;
      }
    }
    const auto holds = [&](std::size_t p) {
      std::size_t held = 0;
      for (const Probe& probe : probes) {
        held += text[p + probe.offset] == static_cast<Char>(probe.unit) ? 1 : 0;
      }
      return held;
    };
    const auto uncertain = [&](std::size_t p) {
      const std::size_t end = std::min(text.size(), p + reach);
      for (std::size_t i = p; i < end; ++i) {
        if (longer(text[i])) return true;
      }
      return false;
    };
    const auto stretched = [&](std::size_t p) {  // every probe within its reach
      const std::size_t wide = sizeof(Char) == 1 ? 4 : 2;
      for (const Probe& probe : probes) {
        bool found = false;
        for (std::size_t i = p + probe.offset; i <= p + wide * probe.offset && i < text.size(); ++i) {
          found = found || text[i] == static_cast<Char>(probe.unit);
        }
        if (!found) return false;
      }
      return true;
    };
    const auto inside = [&](std::size_t p) {
      return sizeof(Char) == 1 ? (text[p] & 0xC0) == 0x80 : text[p] >= 0xDC00 && text[p] <= 0xDFFF;
    };
    const std::size_t from = next(static_cast<std::uint32_t>(text.size() + 1));
    const std::size_t to = from + next(static_cast<std::uint32_t>(text.size() - from + 1));
    const std::size_t got = search.Find(text.data(), from, to, text.size());
    SCOPED_TRACE(::testing::Message() << "round " << round << " from " << from << " to " << to
                                      << " got " << got);
    ASSERT_GE(got, from);
    ASSERT_LE(got, to);
    for (std::size_t p = from; p < got; ++p) {
      const bool whole = p + span <= text.size();
      if (utf && uncertain(p)) {
        ASSERT_TRUE(inside(p) || !stretched(p)) << "an unsure start passed over at " << p;
        continue;
      }
      ASSERT_FALSE(whole && holds(p) == probes.size()) << "a start passed over at " << p;
    }
    if (got == to) continue;
    // A search that began inside a character reports the next one.
    std::size_t boundary = from;
    while (utf && boundary < text.size() && inside(boundary)) ++boundary;
    if (boundary != from && got == boundary) continue;
    if (utf && uncertain(got)) {
      EXPECT_FALSE(inside(got));
    } else {
      EXPECT_LE(got + span, text.size());
      EXPECT_GE(holds(got), 2u) << "not a start at " << got;
    }
  }
}

TEST(NeedleSearch, ProbesPassNoStartTheyCannotRuleOut) {
  const std::vector<std::vector<Probe>> sets = {
      {{4, '-'}, {7, '-'}},  // a date
      {{0, '1'}, {1, '-'}},
      {{0, 'a'}, {2, '-'}, {3, '1'}},
      {{1, '-'}, {40, '-'}},
  };
  for (const int level : {2, 1}) {
    SetLiteralScannerLevelForTesting(level);
    for (const std::vector<Probe>& probes : sets) {
      for (const bool utf : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "level " << level << " utf " << utf
                                          << " probes " << probes.size() << " last "
                                          << probes.back().offset);
        CompareProbesWithPlainScan<char>(probes, utf);
      }
      CompareProbesWithPlainScan<char16_t>(probes, true);
    }
  }
  SetLiteralScannerLevelForTesting(2);
  // One probe proves too little to be worth a search.
  EXPECT_TRUE(NeedleSearch<char>(std::vector<Probe>{{0, '-'}}, false).Empty());
}

TEST(NeedleSearch, NothingToLookForFindsNothing) {
  const NeedleSearch<char> none(std::vector<Needle>{});
  EXPECT_TRUE(none.Empty());
  const NeedleSearch<char> emptyLiteral(std::vector<Needle>{{"", false}});
  EXPECT_TRUE(emptyLiteral.Empty());
  const std::string text = "error";
  EXPECT_EQ(none.Find(text.data(), 0, 5, 5), 5u);
}

}  // namespace
}  // namespace qm::plugin
