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
  void Bytes(const char*, std::size_t, EvaluationState&) const override {}
  void Units(const char16_t* text, std::size_t n, EvaluationState& state) const override {
    pieces.push_back({std::u16string(text, n), state.startOffset});
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
  EXPECT_EQ(r.pieces[0].text, u"ab");
  EXPECT_EQ(r.pieces[0].offset, 0u);
  // A U+FEFF later in the output is text; the line end went with this piece.
  EXPECT_EQ(r.pieces[1].text, u"\r\n\uFEFFcd");
  EXPECT_EQ(r.pieces[1].offset, 2u);
  EXPECT_EQ(state.contentSize, 2u * 8);
}

TEST(FilterTextPieces, CutsBeforeTheLastLineEnd) {
  struct Case {
    std::u16string input;
    std::u16string handed;  // the partial piece
    std::u16string kept;    // what stays for the next call
  };
  const Case cases[] = {
      {u"one\r\ntwo\r\nthr", u"one\r\ntwo", u"\r\nthr"},
      {u"one\ntwo", u"one", u"\ntwo"},
      {u"one\rtwo\r", u"one", u"\rtwo\r"},  // a last CR may yet get its LF
      {u"\r\nabc", u"\r\nabc", u""},        // line end at the very start: all
      {u"\nabc", u"\nabc", u""},
      {u"abc", u"abc", u""},                // no line end: all
      {u"ab\xD83D", u"ab", u"\xD83D"},      // a pair is never split
  };
  for (const Case& c : cases) {
    FilterText text;
    EvaluationState state;
    Recorder r;
    Add(text, c.input);
    MatchFilterText(text, state, r, true);
    ASSERT_EQ(r.pieces.size(), 1u) << std::string(c.input.begin(), c.input.end());
    EXPECT_EQ(r.pieces[0].text, c.handed);
    EXPECT_EQ(text.bytes.size(), c.kept.size() * 2);
    EXPECT_EQ(text.consumed, c.handed.size());
  }
}

TEST(FilterTextPieces, OddByteWaitsAndEmptyTextIsNotHanded) {
  FilterText text;
  EvaluationState state;
  Recorder r;
  text.Append("a\0b", 3);  // "a" and half a unit
  MatchFilterText(text, state, r, true);
  ASSERT_EQ(r.pieces.size(), 1u);
  EXPECT_EQ(text.bytes.size(), 1u);
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
