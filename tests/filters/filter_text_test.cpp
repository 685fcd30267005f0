// Filter selection and the piecewise hand-over of filter output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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

// Filter output from memory, handed out in reads of at most `step` bytes
// (a pipe gives what it holds).
class OutputSource final : public ByteSource {
 public:
  OutputSource(std::string bytes, std::size_t step) : bytes_(std::move(bytes)), step_(step) {}
  std::int64_t Read(char* buffer, std::size_t n) override {
    const std::size_t count = std::min({n, step_, bytes_.size() - at_});
    std::memcpy(buffer, bytes_.data() + at_, count);
    at_ += count;
    return static_cast<std::int64_t>(count);
  }

 private:
  std::string bytes_;
  std::size_t step_;
  std::size_t at_ = 0;
};

std::string Bytes(const std::u16string& units) {
  return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}

// The pieces a filter's output is handed on in, for a budget in units.
std::vector<Recorder::Piece> PiecesOf(const std::string& output, std::size_t budgetUnits,
                                      EvaluationState* state = nullptr) {
  OutputSource source(output, 3);
  ChunkedReader reader = FilterReader(source, 2 * budgetUnits);
  EXPECT_TRUE(AllocateFilterReader(reader));
  EvaluationState own;
  EvaluationState& s = state != nullptr ? *state : own;
  Recorder r;
  EXPECT_EQ(MatchFilterText(reader, s, r), FilterTextEnd::kDone);
  return r.pieces;
}

// Positions count from the unit after the mark; the content size counts it.
TEST(FilterTextPieces, ByteOrderMarkIsSkippedButCountedOnce) {
  EvaluationState state;
  const auto pieces = PiecesOf(Bytes(u"\uFEFFab\r\n\uFEFFcd"), 5, &state);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].text, u"ab\r\n");
  EXPECT_EQ(pieces[0].offset, 0u);
  // A U+FEFF later in the output is text.
  EXPECT_EQ(pieces[1].text, u"\uFEFFcd");
  EXPECT_EQ(pieces[1].offset, 4u);
  EXPECT_EQ(state.contentSize, 2u * 8);
}

// Pieces are cut as the file reader cuts its chunks: after the last line
// end, and the units before the cut stay as the next piece's context.
TEST(FilterTextPieces, CutsAfterTheLastLineEnd) {
  struct Case {
    std::u16string input;   // one chunk; a unit more follows it
    std::u16string handed;  // the first piece
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
    const auto pieces = PiecesOf(Bytes(c.input + u"\xDE00"), c.input.size());
    ASSERT_GE(pieces.size(), 2u) << std::string(c.input.begin(), c.input.end());
    EXPECT_EQ(pieces[0].text, c.handed);
    EXPECT_EQ(pieces[1].offset, c.handed.size());
    std::u16string all;
    for (const auto& piece : pieces) all += piece.text;
    EXPECT_EQ(all, c.input + u"\xDE00");
  }
  // The chunk is the first budget bytes; context never starts on a trail unit.
  std::vector<std::size_t> context;
  class ContextRecorder final : public TextConsumer {
   public:
    explicit ContextRecorder(std::vector<std::size_t>* seen) : seen_(seen) {}
    bool Bytes(const char*, std::size_t, EvaluationState&) const override { return false; }
    bool Units(const char16_t*, std::size_t, EvaluationState& state) const override {
      seen_->push_back(state.contextUnits);
      return false;
    }
    bool StopRequested(const EvaluationState&) const override { return false; }

   private:
    std::vector<std::size_t>* seen_;
  };
  // The context would start on the trail unit of the pair at 78.
  const std::u16string input = std::u16string(78, u'a') + u"\xD83D\xDE00" +
                               std::u16string(1022, u'a') + u"\n" + std::u16string(2900, u'b');
  const auto pieces = PiecesOf(Bytes(input), 4000);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].text.size(), 1103u);
  EXPECT_EQ(pieces[1].text, std::u16string(2900, u'b'));
  EXPECT_EQ(pieces[1].offset, 1103u);
  OutputSource source(Bytes(input), 4096);
  ChunkedReader reader = FilterReader(source, 8000);
  ASSERT_TRUE(AllocateFilterReader(reader));
  EvaluationState state;
  MatchFilterText(reader, state, ContextRecorder(&context));
  EXPECT_EQ(context, (std::vector<std::size_t>{0, 1023}));
}

TEST(FilterTextPieces, OddByteIsNotContentAndEmptyTextIsNotHanded) {
  EvaluationState state;
  const auto pieces = PiecesOf(std::string("a\0b", 3), 100, &state);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].text, u"a");
  EXPECT_EQ(state.contentSize, 2u);

  EvaluationState s2;
  EXPECT_TRUE(PiecesOf("", 100, &s2).empty());
  EXPECT_EQ(s2.contentSize, 0u);
  EXPECT_TRUE(PiecesOf(Bytes(u"\uFEFF"), 100, &s2).empty());
  EXPECT_EQ(s2.contentSize, 2u);
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
