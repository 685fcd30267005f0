// Filter selection and the piecewise hand-over of filter output.
#include <gtest/gtest.h>

#include <vector>

#include "plugin/filters/converter.h"
#include "plugin/filters/filter_text.h"

namespace qm::plugin {
namespace {

using settings::FilterKind;

FilterExtensionMap Map(std::initializer_list<std::pair<std::u16string, FilterKind>> entries) {
  FilterExtensionMap map;
  for (const auto& [pattern, kind] : entries) map[pattern].kind = kind;
  return map;
}

TEST(FilterSelection, ExtensionCaseWildcardAndOrder) {
  const FilterExtensionMap map = Map({{u"doc", FilterKind::Converter}, {u"?oc", FilterKind::OutsideIn}});
  // "?" sorts before letters, so the wildcard entry wins for every .doc.
  ASSERT_NE(FindFilterForName(map, u"/d/letter.doc"), nullptr);
  EXPECT_EQ(FindFilterForName(map, u"/d/letter.doc")->kind, FilterKind::OutsideIn);
  EXPECT_EQ(FindFilterForName(map, u"/d/letter.roc")->kind, FilterKind::OutsideIn);

  const FilterExtensionMap plain = Map({{u"doc", FilterKind::Converter}});
  EXPECT_NE(FindFilterForName(plain, u"C:\\LETTER.DOC"), nullptr);
  EXPECT_NE(FindFilterForName(plain, u"a.DoC"), nullptr);
  EXPECT_EQ(FindFilterForName(plain, u"dir\\doc"), nullptr);  // no dot
  EXPECT_EQ(FindFilterForName(plain, u"a.docx"), nullptr);
  EXPECT_EQ(FindFilterForName(plain, u"doc"), nullptr);   // pattern as long as the name
}

TEST(FilterSelection, EmptyPatternNeverMatches) {
  const FilterExtensionMap map = Map({{u"", FilterKind::Converter}});
  EXPECT_EQ(FindFilterForName(map, u"a."), nullptr);
}

// Records each piece the matcher is given, with the offset it starts at.
class Recorder final : public TextConsumer {
 public:
  struct Piece {
    std::u16string text;
    std::uint64_t offset;
  };
  mutable std::vector<Piece> pieces;
  bool Bytes(const char*, std::size_t, EvaluationState&) const override { return false; }
  bool Units(const char16_t* text, std::size_t n, EvaluationState& state) const override {
    pieces.push_back({std::u16string(text, n), state.startOffset});
    return false;
  }
  bool StopRequested(const EvaluationState&) const override { return false; }
};

void Add(FilterText& text, const std::u16string& units) { text.Append(units.data(), units.size() * 2); }

// Positions count from the unit after the mark; the content size counts it.
TEST(FilterTextPieces, ByteOrderMarkIsSkippedButCountedOnce) {
  FilterText text;
  EvaluationState state;
  Recorder r;
  Add(text, u"\uFEFFab\r\n");
  MatchFilterText(text, state, r, true);
  Add(text, u"\uFEFFcd");
  MatchFilterText(text, state, r, false);
  ASSERT_EQ(r.pieces.size(), 2u);
  EXPECT_EQ(r.pieces[0].text, u"ab\r\n");
  EXPECT_EQ(r.pieces[0].offset, 0u);
  // A U+FEFF later in the output is text; the first piece stayed as context.
  EXPECT_EQ(r.pieces[1].text, u"\uFEFFcd");
  EXPECT_EQ(r.pieces[1].offset, 4u);
  EXPECT_EQ(text.contextUnits, 0u);
  EXPECT_EQ(state.contentSize, 2u * 8);
}

// Pieces are cut as the file reader cuts its chunks: after the last line
// end, and the units before the cut stay as the next piece's context.
TEST(FilterTextPieces, CutsAfterTheLastLineEnd) {
  struct Case {
    std::u16string input;
    std::u16string handed;  // the partial piece
  };
  const Case cases[] = {
      {u"one\r\ntwo\r\nthr", u"one\r\ntwo\r\n"},
      {u"one\ntwo", u"one\n"},
      {u"one\rtwo\r", u"one\rtwo\r"},
      {u"one\rtwo", u"one\r"},
      {u"\r\nabc", u"\r\n"},
      {u"abc", u"abc"},                // no line end: all
      {u"ab\xD83D", u"ab"},           // a pair is never split
  };
  for (const Case& c : cases) {
    FilterText text;
    EvaluationState state;
    Recorder r;
    Add(text, c.input);
    MatchFilterText(text, state, r, true);
    ASSERT_EQ(r.pieces.size(), 1u) << std::string(c.input.begin(), c.input.end());
    EXPECT_EQ(r.pieces[0].text, c.handed);
    EXPECT_EQ(text.consumed + text.contextUnits, c.handed.size());
    EXPECT_EQ(text.bytes.size(), (c.input.size() - text.consumed) * 2);
  }
  // The chunk is the first budget bytes; context never starts on a trail unit.
  FilterText text;
  EvaluationState state;
  Recorder r;
  text.budget = 2 * 2000;
  // The context would start on the trail unit of the pair at 78.
  std::u16string input = std::u16string(78, u'a') + u"\xD83D\xDE00" + std::u16string(1022, u'a') +
                         u"\n" + std::u16string(1000, u'b');
  Add(text, input);
  MatchFilterText(text, state, r, true);
  ASSERT_EQ(r.pieces.size(), 1u);
  EXPECT_EQ(r.pieces[0].text.size(), 1103u);
  EXPECT_EQ(text.contextUnits, 1023u);
  MatchFilterText(text, state, r, false);
  ASSERT_EQ(r.pieces.size(), 2u);
  EXPECT_EQ(r.pieces[1].text, std::u16string(1000, u'b'));
  EXPECT_EQ(r.pieces[1].offset, 1103u);
}

TEST(FilterTextPieces, OddByteWaitsAndEmptyTextIsNotHanded) {
  FilterText text;
  EvaluationState state;
  Recorder r;
  text.Append("a\0b", 3);  // "a" and half a unit
  MatchFilterText(text, state, r, true);
  ASSERT_EQ(r.pieces.size(), 1u);
  EXPECT_EQ(text.bytes.size(), 3u);  // "a" stays as context
  text.Append("\0", 1);
  MatchFilterText(text, state, r, false);
  ASSERT_EQ(r.pieces.size(), 2u);
  EXPECT_EQ(r.pieces[1].text, u"b");
  EXPECT_EQ(state.contentSize, 4u);

  FilterText empty;
  EvaluationState s2;
  MatchFilterText(empty, s2, r, false);
  EXPECT_EQ(r.pieces.size(), 2u);
  EXPECT_EQ(s2.contentSize, 0u);
}

TEST(ConverterCommand, ArgumentsAndLongNames) {
  std::vector<std::u16string> args;
  ASSERT_TRUE(ConverterArguments(u"-i ", u"a b.doc", &args));
  EXPECT_EQ(args, (std::vector<std::u16string>{u"-u", u"-o=0", u"-i", u"a b.doc"}));
  ASSERT_TRUE(ConverterArguments(u"", u"x.doc", &args));
  EXPECT_EQ(args.size(), 3u);
  // A name of 300 units: Windows needs a short form, which a name that does
  // not exist has none of; elsewhere it goes as it is.
  const std::u16string longName = u"C:\\" + std::u16string(296, u'n') + u".doc";
  EXPECT_EQ(ConverterArguments(u"", longName, &args), !platform::kHasLongPathForm);
}

}  // namespace
}  // namespace qm::plugin
