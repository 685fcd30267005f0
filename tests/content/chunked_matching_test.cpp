// Chunked and whole reads give the same answers for patterns whose matches
// never span a line end: every line end counted once, $ and ^ as in one
// buffer, lookbehind across a cut, offsets and line numbers carried on.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "content_fixture.h"
#include "plugin/config/compile.h"
#include "plugin/config/plugin_state.h"

namespace qm::plugin::testing {
namespace {

using settings::FieldType;

struct Answer {
  bool ok = false;
  std::uint32_t count = 0;
  std::uint64_t sum = 0;
  std::u16string output;
};

struct Case {
  const char16_t* pattern;
  FieldType type;
  const char16_t* tmpl;
};

class ChunkedMatching : public ContentTest {
 protected:
  void SetUp() override {
    ContentTest::SetUp();
    state_.settings.ansiCodePage = 1252;
    state_.settings.oemCodePage = 437;
    state_.ansiTables = settings::MakeCharTables(1252);
    state_.oemTables = settings::MakeCharTables(437);
    lineBreak_ = Compiled(u"\\R", FieldType::Count, u"");
  }
  FieldDefinition Compiled(const std::u16string& expression, FieldType type,
                           const std::u16string& tmpl) {
    std::string log;
    state_.fields.clear();
    EXPECT_TRUE(CompileField(state_, expression, 1, "", log, type, 0, tmpl)) << log;
    return state_.fields.empty() ? FieldDefinition() : std::move(state_.fields.back());
  }
  // chunked: read in 1 MB chunks; asRequest: in chunks only when the field's
  // matches stay inside lines, as a request over a large file decides.
  Answer Evaluate(const std::string& path, std::size_t size, const FieldDefinition& field,
                  bool chunked, bool asRequest = false) {
    Answer answer;
    platform::File file = Open(path);
    EncodingSample sample;
    std::uint32_t bom = 0;
    EvaluationState state;
    if (!ReadEncodingSample(static_cast<std::int64_t>(size), &bom, file, state, &sample,
                            state_.settings)) {
      return answer;
    }
    state.outputLimit = 1023;
    state.countLines = field.templateUsesLineNumbers;
    if (field.type == FieldType::CountIndividual) {
      state.distinctMatches = std::make_unique<DistinctSet>();
    }
    state.contentSize = size;
    state.offsetDigits = OffsetDigitsFor(size);
    const std::uint32_t start = state.isUtf16 ? bom / 2 : bom;
    const EvaluationContext context{state_.settings, lineBreak_, state_.abortSet};
    const FieldEvaluator evaluator(field, context);
    if (asRequest) chunked = MatchesStayInLines(field, state);
    answer.ok = chunked ? ReadInChunks(file, static_cast<std::int64_t>(size), sample, start, 1,
                                       state, evaluator)
                        : ReadWholeFile(file, static_cast<std::int64_t>(size), sample, start,
                                        state, evaluator);
    answer.count = state.matchCount;
    answer.sum = state.sum;
    answer.output = state.outputText;
    return answer;
  }

  // Every case over the three line ends in ANSI, UTF-8 and UTF-16 content,
  // read whole and in 1 MB chunks: the answers must be equal. Returns how
  // many of the evaluated UTF-8 programs are searched in line windows.
  int ExpectChunkedAsWhole(const std::vector<Case>& cases, std::size_t contentBytes = 2700000);

  PluginState state_;
  FieldDefinition lineBreak_;
};

// About 2.6 MB of lines of varying length (some empty), with rare markers
// right after some line ends: cut in three 1 MB chunks. Smaller for tests
// that cut it in smaller chunks.
std::string Content(const std::string& eol, bool nonAscii, std::size_t bytes = 2700000) {
  std::string text;
  std::uint32_t seed = 7;
  int line = 0;
  while (text.size() < bytes) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t n = (seed >> 16) % 90;
    std::string body(n, 'a' + static_cast<char>(line % 26));
    if (nonAscii && n > 4) body.replace(2, 1, "\xC3\xA9");
    if (line % 9001 == 0) body = "xZ" + body;
    text += body + eol;
    ++line;
  }
  return text + "tail";
}

std::string Utf16Le(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (const char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

TEST_F(ChunkedMatching, PatternsWithinLinesAnswerAsOverAWholeRead) {
  ExpectChunkedAsWhole({
                                  {u"\\R", FieldType::Count, u""},
                                  {u"\\n", FieldType::Count, u""},
                                  {u"(?m)$", FieldType::Count, u""},
                                  {u"$", FieldType::Count, u""},
                                  {u"^$", FieldType::Count, u""},
                                  {u"(?m)^$", FieldType::Count, u""},
                                  {u"(?m)^.*$", FieldType::Count, u""},
                                  {u"(?m)^.*$", FieldType::MatchDistanceRatio, u""},
                                  {u"^a", FieldType::Count, u""},
                                  {u"(?<=\\n)x", FieldType::Count, u""},
                                  {u"(?<=[\\r\\n])xZ", FieldType::Count, u""},
                                  {u"\\bxZ", FieldType::Count, u""},
                                  {u"Z", FieldType::StringOutput, u"\\xL0@\\xo0 "},
                                  {u"\\w+", FieldType::AverageResultLength, u""},
                              });
}

// Fields whose matches stay inside lines are read in chunks whatever the
// budget; for every kind of answer that must not change anything.
TEST_F(ChunkedMatching, LineLocalFieldsOfEveryTypeAnswerAsOverAWholeRead) {
  const char16_t* const patterns[] = {
      u"a+", u"(?m)^.*$", u"(?m)^$", u"xZ\\w*", u"\\ba\\w{3}", u"(?<=a)a", u"(?i)XZ|b{5}",
      u"[^\\r\\n]{40,}", u"(?m)\\S+$", u"é|(?m)^c"};
  const struct {
    FieldType type;
    const char16_t* tmpl;
  } types[] = {{FieldType::Count, u""},
               {FieldType::CountIndividual, u""},
               {FieldType::StringOutput, u"\\xL0:\\xo0 "},
               {FieldType::FirstMatchStringOutput, u"$0@\\xL0"},
               {FieldType::MatchDistanceRatio, u""},
               {FieldType::AverageResultLength, u""}};
  std::vector<Case> cases;
  for (const char16_t* pattern : patterns) {
    for (const auto& t : types) cases.push_back({pattern, t.type, t.tmpl});
  }
  // Most of these expressions are searched in line windows.
  EXPECT_GE(ExpectChunkedAsWhole(cases), 8 * 6 * 9);
}

// 8-bit content whose pieces end where the content goes on: a line longer
// than a 1 MiB chunk is cut inside it, and the later cuts fall before line
// ends. Each piece ends in "x", so $ (multiline or not) would match at a
// piece's end; over the whole content only the last line's end is one.
TEST_F(ChunkedMatching, DollarAtACutAnswersAsOverAWholeRead) {
  constexpr std::size_t kChunk = 1048576;
  std::string text(kChunk - 1, 'a');
  text += "xx" + std::string(kChunk / 2, 'b') + "\n";
  while (text.size() < 5 * kChunk / 2) text += std::string(98, 'y') + "x\n";
  text += "zzz";
  const std::string path = Write(text);
  const struct {
    const char16_t* pattern;
    std::uint32_t count;  // over the whole content
  } cases[] = {{u"x$", 0},
               {u"(?m)x$", static_cast<std::uint32_t>((text.size() - kChunk * 3 / 2) / 100)},
               {u"z$", 1},
               {u"[ab]x", 1}};
  for (const auto& c : cases) {
    const std::string where(c.pattern, c.pattern + std::char_traits<char16_t>::length(c.pattern));
    for (const FieldType type : {FieldType::Count, FieldType::Boolean}) {
      const FieldDefinition field = Compiled(c.pattern, type, u"");
      const auto whole = Evaluate(path, text.size(), field, false);
      const auto chunked = Evaluate(path, text.size(), field, true);
      EXPECT_TRUE(whole.ok && chunked.ok) << where;
      EXPECT_EQ(whole.count, type == FieldType::Count ? c.count : c.count != 0) << where;
      EXPECT_EQ(chunked.count, whole.count) << where;
    }
  }
}

// Patterns whose matches hold a line end written in any form (escapes, a
// class, quoting, extended layout) and the letter after it, over LF, CRLF
// and CR line ends: a large file must give them the answer of a whole read
// (the pattern consumes only the unit a chunk is cut after).
TEST_F(ChunkedMatching, LineEndsWrittenAsEscapesAreNeverCutApart) {
  const std::u16string lfForms[] = {u"\\n", u"\\x0a", u"\\x{0a}", u"\\x{A}", u"\\012",
                                    u"\\o{12}", u"\\cJ", u"\\cj", u"[\\n]",
                                    u"[\\x00-\\x0a]", u"\\Q\n\\E", u"\n", u"[^\\x0b-\\x7f]"};
  const std::u16string crForms[] = {u"\\r", u"\\x0d", u"\\x{d}", u"\\015", u"\\o{15}",
                                    u"\\cM", u"[\\r]", u"[\\x0b-\\x0d]", u"\\Q\r\\E",
                                    u"\r", u"[^\\x00-\\x0c\\x0e-\\x7f]", u"\\x{000D}", u"[\\cm]"};
  for (const char* eol : {"\n", "\r\n", "\r"}) {
    const std::string ascii = Content(eol, false);
    const std::string path = Write(ascii);
    const bool cr = std::string(eol) == "\r";
    for (const std::u16string& form : cr ? crForms : lfForms) {
      // Extended layout too, except for a raw line end (white space there).
      std::vector<std::u16string> patterns = {form + u"[a-z]"};
      if (form.size() > 1) patterns.push_back(u"(?x) " + form + u" [a-z]");
      for (const std::u16string& pattern : patterns) {
        const FieldDefinition field = Compiled(pattern, FieldType::Count, u"");
        const std::string where = std::string("eol ") + std::to_string(eol[0]) + " pattern " +
                                  std::string(pattern.begin(), pattern.end());
        const auto whole = Evaluate(path, ascii.size(), field, false);
        const auto request = Evaluate(path, ascii.size(), field, false, true);
        EXPECT_TRUE(whole.ok && request.ok) << where;
        EXPECT_GT(whole.count, 40000u) << where;  // most line ends
        EXPECT_EQ(request.count, whole.count) << where;
      }
    }
  }
}

// Patterns holding \z, \Z or \G, generated around a set of atoms: a cut is
// no end of the content, and a search that ended before a cut does not
// begin again there. Also written inside quoting, comments and classes,
// where they are no escapes.
std::vector<std::u16string> BoundPatterns() {
  const std::u16string atoms[] = {u"x", u"l", u"\\w", u"[a-z]{2}", u"\\R",
                                  u"[\\s\\S]", u"(?:\\w|\\R)", u"a?"};
  std::vector<std::u16string> patterns;
  for (const std::u16string& atom : atoms) {
    patterns.push_back(atom + u"\\z");
    patterns.push_back(atom + u"\\Z");
    patterns.push_back(u"\\G" + atom);
    patterns.push_back(atom + u"(?!\\Z)");
    patterns.push_back(u"\\G" + atom + u"|" + atom + u"\\z");
  }
  for (const char16_t* p : {u"(?!\\z)\\R", u"\\Z", u"\\z", u"\\G", u"(?m)^\\w*\\Z",
                            u"(?x) \\G [a-z] # [ \\Q\n | \\R \\z", u"\\Q\\z\\E|l\\z",
                            u"(?#\\z[)l\\Z", u"[\\\\z]\\Z", u"\\\\z|(?i)L\\z", u"(?<=a)\\G\\w"}) {
    patterns.emplace_back(p);
  }
  return patterns;
}

// Most of these expressions match at nearly every position: the content is
// cut in chunks of 64 KiB (the test hook) so that there are as many cuts as
// in megabytes cut in 1 MiB chunks, in a tenth of the matching.
TEST_F(ChunkedMatching, SubjectBoundEscapesAnswerAsOverAWholeRead) {
  constexpr std::size_t kChunk = 65536;
  struct SmallChunks {
    SmallChunks() { SetChunkBytesForTesting(kChunk); }
    ~SmallChunks() { SetChunkBytesForTesting(0); }
  } smallChunks;
  const std::vector<std::u16string> patterns = BoundPatterns();
  std::vector<Case> cases;
  for (const std::u16string& p : patterns) cases.push_back({p.c_str(), FieldType::Count, u""});
  cases.push_back({u"\\G(?:\\w|\\R)", FieldType::StringOutput, u"\\xo0 "});
  cases.push_back({u"[a-z]\\Z", FieldType::FirstMatchStringOutput, u"$0@\\xo0"});
  cases.push_back({u"\\G\\w|\\w\\z", FieldType::MatchDistanceRatio, u""});
  // Beyond the encoding sample (256 KiB), in five or more chunks.
  ExpectChunkedAsWhole(cases, 330000);

  // Pieces cut inside a line longer than a chunk: they end in "a" and "b".
  std::string text(kChunk + kChunk / 2, 'a');
  text += std::string(kChunk, 'b') + "\n" + std::string(kChunk / 3, 'a') + "\nab";
  const std::string path = Write(text);
  for (const std::u16string& p : patterns) {
    const FieldDefinition field = Compiled(p, FieldType::Count, u"");
    const auto whole = Evaluate(path, text.size(), field, false);
    const auto chunked = Evaluate(path, text.size(), field, true);
    EXPECT_TRUE(whole.ok && chunked.ok);
    EXPECT_EQ(chunked.count, whole.count) << std::string(p.begin(), p.end());
  }
}

// Generated contents read in chunks of a few hundred bytes (the test hook)
// answer as a whole read: lines of any length below half a chunk, of one
// line-end style, in ANSI, UTF-8 (characters of two to four bytes at the
// cuts; the rest beyond the sample validated piece by piece) and UTF-16,
// for fields of every kind of answer.
TEST_F(ChunkedMatching, TinyChunksOverGeneratedContentAnswerAsAWholeRead) {
  state_.settings.analyzeBuffer = 64;
  const struct {
    const char16_t* pattern;
    FieldType type;
    const char16_t* tmpl;
  } fields[] = {{u"\\R", FieldType::Count, u""},
                {u"(?m)^.*$", FieldType::Count, u""},
                {u"(?m)^$", FieldType::Count, u""},
                {u"(?<=[\\r\\n])b", FieldType::Count, u""},
                {u"\\bc\\w*", FieldType::CountIndividual, u""},
                {u"\\w+", FieldType::AverageResultLength, u""},
                {u"[^\\r\\n]{6}$", FieldType::MatchDistanceRatio, u""},
                {u"d\\S*", FieldType::StringOutput, u"\\xL0:\\xo0 "},
                {u"(?m)^e", FieldType::FirstMatchStringOutput, u"$0@\\xL0"}};
  std::vector<FieldDefinition> compiled;
  for (const auto& f : fields) compiled.push_back(Compiled(f.pattern, f.type, f.tmpl));
  std::mt19937 random(42);
  const char* const eols[] = {"\n", "\r\n", "\r"};
  const char* const wide[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  int compared = 0;
  for (int round = 0; round < 60; ++round) {
    const std::size_t chunk = std::size_t{128} << (round % 3);
    const std::string eol = eols[round % 3];
    const int encoding = (round / 3) % 3;  // ANSI, UTF-8, UTF-16
    std::string text;
    while (text.size() < 2000) {
      const std::size_t length = std::uniform_int_distribution<std::size_t>(0, 20)(random);
      std::string line;
      while (line.size() < length) {
        const int token = std::uniform_int_distribution<int>(0, 7)(random);
        if (token < 5) line += static_cast<char>('a' + token);
        if (token == 5) line += ' ';
        if (token > 5 && encoding == 1) line += wide[std::uniform_int_distribution<int>(0, 2)(random)];
      }
      text += line + eol;
    }
    const std::string bytes = encoding == 2 ? Utf16Le(text) : text;
    const std::string path = Write(bytes);
    SetChunkBytesForTesting(chunk);
    for (std::size_t i = 0; i < compiled.size(); ++i) {
      const auto whole = Evaluate(path, bytes.size(), compiled[i], false);
      const auto chunked = Evaluate(path, bytes.size(), compiled[i], true);
      const std::string where = "round " + std::to_string(round) + " field " + std::to_string(i);
      EXPECT_TRUE(whole.ok && chunked.ok) << where;
      EXPECT_EQ(chunked.count, whole.count) << where;
      EXPECT_EQ(chunked.sum, whole.sum) << where;
      EXPECT_TRUE(chunked.output == whole.output) << where;
      ++compared;
    }
    SetChunkBytesForTesting(0);
  }
  EXPECT_EQ(compared, 60 * 9);
}

int ChunkedMatching::ExpectChunkedAsWhole(const std::vector<Case>& cases, std::size_t contentBytes) {
  int windowed = 0;
  for (const char* eol : {"\n", "\r\n", "\r"}) {
    const std::string ascii = Content(eol, false, contentBytes);
    const std::string utf8 = Content(eol, true, contentBytes);
    const struct {
      const char* label;
      std::string bytes;
    } files[] = {{"ANSI", ascii}, {"UTF-8", "\xEF\xBB\xBF" + utf8}, {"UTF-16", Utf16Le(ascii)}};
    for (const auto& f : files) {
      const std::string path = Write(f.bytes);
      for (const Case& c : cases) {
        const FieldDefinition field = Compiled(c.pattern, c.type, c.tmpl);
        windowed += field.utf8Program != nullptr && field.utf8Program->plan.windowed;
        const auto whole = Evaluate(path, f.bytes.size(), field, false);
        const auto chunked = Evaluate(path, f.bytes.size(), field, true);
        const std::string where =
            std::string(f.label) + " eol " + std::to_string(eol[0]) +
            std::to_string(eol[1] != 0) + " pattern " +
            std::string(c.pattern, c.pattern + std::char_traits<char16_t>::length(c.pattern)) +
            " type " + std::to_string(static_cast<int>(c.type));
        EXPECT_TRUE(whole.ok && chunked.ok) << where;
        EXPECT_EQ(chunked.count, whole.count) << where;
        EXPECT_EQ(chunked.sum, whole.sum) << where;
        EXPECT_TRUE(chunked.output == whole.output) << where;
      }
    }
  }
  return windowed;
}

}  // namespace
}  // namespace qm::plugin::testing
