// The literal search against a plain scan: every kind of literal set
// (one byte, one long literal, several, caseless) over generated texts in
// both widths, with search ranges that end anywhere, so that vector blocks,
// tails and the last possible start are all met.
#include "plugin/evaluation/needle_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
    const std::uint32_t size = next(200);
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
  for (const auto& needles : sets) {
    SCOPED_TRACE(needles.front().text + (needles.front().caseless ? " caseless" : ""));
    CompareWithPlainScan<char>(needles);
    CompareWithPlainScan<char16_t>(needles);
  }
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
