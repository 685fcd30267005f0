// The three reading paths: the same haystacks through each, where chunks are
// cut, early stops, stop requests, the small-buffer fallbacks and failed
// reads.
#include <algorithm>

#include "content_fixture.h"

namespace qm::plugin::testing {
namespace {

constexpr std::size_t kChunk = 1048576;  // chunkMegabytes = 1
const std::string kLe = "\xFF\xFE", kBe = "\xFE\xFF";

std::string Utf16(const std::string& ascii, bool big) {
  std::string out;
  for (char c : ascii) out += big ? std::string{'\0', c} : std::string{c, '\0'};
  return out;
}

// Deterministic lines of 0 to 120 letters (or the given filler) ending in lineEnd.
std::string Lines(std::size_t bytes, const std::string& lineEnd, const std::string& filler = "") {
  std::string out;
  std::uint32_t seed = 12345;
  while (out.size() < bytes) {
    seed = seed * 1103515245 + 12345;
    const std::size_t length = (seed >> 16) % 121;
    for (std::size_t i = 0; i < length; ++i) {
      if (filler.empty()) {
        out.push_back(static_cast<char>('a' + (seed >> (i % 24)) % 26));
      } else {
        out += filler;
      }
    }
    out += lineEnd;
  }
  out.resize(bytes);
  return out;
}

// The file's content as units: bytes widened, or UTF-16 in the decided order.
std::u16string Units(const std::string& bytes, const EvaluationState& state) {
  const auto* u = reinterpret_cast<const unsigned char*>(bytes.data());
  if (!state.isUtf16) return std::u16string(u, u + bytes.size());
  std::u16string out;
  out.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    out.push_back(static_cast<char16_t>(state.bigEndian ? (u[i] << 8) | u[i + 1]
                                                        : (u[i + 1] << 8) | u[i]));
  }
  return out;
}

// The pieces, placed at their offsets, give the content from `from` on,
// each unit exactly once.
::testing::AssertionResult Covers(const std::u16string& content, std::size_t from,
                                  const std::vector<Piece>& pieces) {
  std::size_t at = from;
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    const Piece& p = pieces[k];
    if (p.startOffset < at || p.startOffset > content.size()) {
      return ::testing::AssertionFailure() << "piece " << k << " at " << p.startOffset
                                           << ", expected from " << at;
    }
    if (p.startOffset != at) {
      return ::testing::AssertionFailure() << "units lost before piece " << k << " at " << at;
    }
    if (content.compare(p.startOffset, p.text.size(), p.text) != 0) {
      return ::testing::AssertionFailure() << "piece " << k << " differs from the content";
    }
    at = p.startOffset + p.text.size();
  }
  if (at != content.size()) {
    return ::testing::AssertionFailure() << "content ends at " << content.size() << ", pieces at "
                                         << at;
  }
  return ::testing::AssertionSuccess();
}

class ReaderTest : public ContentTest {};

// One haystack through every path that applies to it.
TEST_F(ReaderTest, EveryPathGivesTheSameText) {
  std::string pairs;
  while (pairs.size() < 2 * kChunk + 1000) pairs += std::string("\x3D\xD8\x00\xDE", 4);
  std::string lfAtEachCut(3 * kChunk, 'x');
  for (std::size_t i = kChunk - 1; i < lfAtEachCut.size(); i += kChunk) lfAtEachCut[i] = '\n';
  struct Haystack {
    const char* label;
    std::string bytes;
    const char* encoding;
  } haystacks[] = {
      {"empty", "", "ANSI/Binary"},
      {"small", "one\ntwo\r\nthree", "ANSI/Binary"},
      {"sample size", Lines(262144, "\n"), "ANSI/Binary"},
      {"sample size + 1", Lines(262145, "\n"), "ANSI/Binary"},
      {"odd LF", Lines(2 * kChunk + 7, "\n"), "ANSI/Binary"},
      {"CR LF", Lines(kChunk + kChunk / 2, "\r\n"), "ANSI/Binary"},
      {"lone CR", Lines(kChunk + kChunk / 2, "\r"), "ANSI/Binary"},
      {"no line end", std::string(kChunk + kChunk / 2, 'a'), "ANSI/Binary"},
      {"LF ends each chunk", lfAtEachCut, "ANSI/Binary"},
      {"UTF-8 lines", "\xEF\xBB\xBF" + Lines(kChunk + kChunk / 2, "\n", "\xF0\x9F\x98\x80\xC3\xA9"),
       "UTF-8"},
      {"UTF-8 no line end", "a" + Lines(kChunk + kChunk / 2, "", "\xC3\xA9"), "UTF-8"},
      {"UTF-16 CR LF", kLe + Utf16(Lines(kChunk + kChunk / 3, "\r\n"), false), "UTF-16"},
      {"UTF-16 BE LF", kBe + Utf16(Lines(kChunk + kChunk / 3, "\n"), true), "UTF-16 BE"},
      {"UTF-16 unmarked", Utf16(Lines(kChunk + kChunk / 3, "\n"), false), "UTF-16"},
      {"UTF-16 pairs", kLe + pairs, "UTF-16"},
  };
  for (const Haystack& h : haystacks) {
    for (Path path : {Path::kSample, Path::kWhole, Path::kChunks}) {
      if (path == Path::kSample && h.bytes.size() > settings.analyzeBuffer) continue;
      const char* name = path == Path::kSample ? "sample" : path == Path::kWhole ? "whole" : "chunks";
      RecordingConsumer consumer;
      const Run run = Read(h.bytes, path, consumer);
      ASSERT_TRUE(run.ok) << h.label << " / " << name;
      EXPECT_TRUE(run.closed || path == Path::kSample) << h.label << " / " << name;
      const bool wide = run.state.isUtf16;
      EXPECT_EQ(wide ? (run.state.bigEndian ? "UTF-16 BE" : "UTF-16")
                     : (run.state.isUtf8 ? "UTF-8" : "ANSI/Binary"),
                std::string(h.encoding))
          << h.label;
      EXPECT_TRUE(Covers(Units(h.bytes, run.state), wide ? run.bom / 2 : run.bom, consumer.pieces))
          << h.label << " / " << name;
      if (path != Path::kChunks) {
        EXPECT_EQ(consumer.pieces.size(), 1u) << h.label << " / " << name;
      }
      for (const Piece& p : consumer.pieces) EXPECT_EQ(p.wide, wide) << h.label;
    }
  }
}

// Exactly where chunks are cut: (offset, length) of each piece.
TEST_F(ReaderTest, ChunkCuts) {
  using Pieces = std::vector<std::pair<std::size_t, std::size_t>>;
  const std::string a(kChunk - 10, 'a'), b(100, 'b');
  struct Cut {
    const char* label;
    std::string bytes;
    Pieces expected;
  } cuts[] = {
      {"LF", a + "\n" + b, {{0, kChunk - 9}, {kChunk - 9, 100}}},
      {"CR LF", a + "\r\n" + b, {{0, kChunk - 8}, {kChunk - 8, 100}}},
      {"lone CR", a + "\r" + b, {{0, kChunk - 9}, {kChunk - 9, 100}}},
      {"last LF wins over a later CR", a + "\nb\r" + b, {{0, kChunk - 9}, {kChunk - 9, 102}}},
      {"no line end", std::string(kChunk + 100, 'a'), {{0, kChunk}, {kChunk, 100}}},
      {"LF last at the cut", std::string(kChunk - 1, 'a') + "\n" + b,
       {{0, kChunk}, {kChunk, 100}}},
      {"LF ends the file at the cut", std::string(kChunk - 1, 'a') + "\n", {{0, kChunk}}},
      {"file of one chunk, earlier LF", "0123456789\n" + std::string(kChunk - 11, 'a'),
       {{0, kChunk}}},
      {"UTF-8 character at the cut", "\xC3\xA9" + std::string(kChunk - 3, 'a') + "\xC3\xA9" + b,
       {{0, kChunk - 1}, {kChunk - 1, 102}}},
      // A pair is never split by a cut: without a line end the chunk is cut
      // before a lead surrogate that is its last unit.
      {"UTF-16 pair at the cut",
       kLe + Utf16(std::string(kChunk / 2 - 2, 'a'), false) + std::string("\x3D\xD8\x00\xDE", 4) +
           Utf16(b, false),
       {{1, kChunk / 2 - 2}, {kChunk / 2 - 1, 102}}},
      {"UTF-16 mark, CR LF", kLe + Utf16(std::string(kChunk / 2 - 10, 'a') + "\r\n", false) +
                                 Utf16(b, false),
       {{1, kChunk / 2 - 8}, {kChunk / 2 - 7, 100}}},
      {"UTF-16 BE mark, CR LF", kBe + Utf16(std::string(kChunk / 2 - 10, 'a') + "\r\n", true) +
                                    Utf16(b, true),
       {{1, kChunk / 2 - 8}, {kChunk / 2 - 7, 100}}},
  };
  for (const Cut& c : cuts) {
    RecordingConsumer consumer;
    const Run run = Read(c.bytes, Path::kChunks, consumer);
    ASSERT_TRUE(run.ok) << c.label;
    Pieces got;
    for (const Piece& p : consumer.pieces) got.emplace_back(p.startOffset, p.text.size());
    EXPECT_EQ(got, c.expected) << c.label;
  }
}

TEST_F(ReaderTest, EarlyStopByFieldType) {
  const std::string bytes = "X\n" + Lines(2 * kChunk, "\n");  // a match in the first chunk
  struct Stop {
    FieldType type;
    bool readsOn;
  } stops[] = {{FieldType::Boolean, false},         {FieldType::FirstMatchStringOutput, false},
               {FieldType::StringOutput, false},    {FieldType::Count, true},
               {FieldType::CountIndividual, true},  {FieldType::AverageResultLength, true},
               {FieldType::MatchDistanceRatio, true}};
  for (const Stop& s : stops) {
    FieldDefinition field;
    field.type = s.type;
    RecordingConsumer consumer;
    consumer.onText = [](const Piece& p, EvaluationState& state) {
      if (p.text.find(u'X') != std::u16string::npos) {
        ++state.matchCount;
        state.outputText += u"abcd";
      }
    };
    // The string answer is complete at 4 units.
    ContentTest::Run run;
    {
      platform::File file = Open(Write(bytes));
      EncodingSample sample;
      ASSERT_TRUE(ReadEncodingSample(std::int64_t(bytes.size()), &run.bom, file, run.state,
                                     &sample, settings));
      run.state.outputLimit = 4;
      consumer.sink = &AnswerSinkFor(field.type);
      EXPECT_TRUE(ReadInChunks(file, std::int64_t(bytes.size()), sample, 0, 1, run.state,
                               consumer));
    }
    EXPECT_EQ(consumer.pieces.size() > 1, s.readsOn) << int(s.type);
  }
}

TEST_F(ReaderTest, StopRequestsBetweenChunks) {
  const std::string bytes = Lines(2 * kChunk, "\n");
  RecordingConsumer host;
  host.stopAfterPieces = 1;
  const Run stopped = Read(bytes, Path::kChunks, host);
  EXPECT_TRUE(stopped.ok);
  EXPECT_TRUE(stopped.closed);
  EXPECT_TRUE(stopped.state.abortRequested);
  EXPECT_EQ(host.pieces.size(), 1u);

  RecordingConsumer matcher;  // the matcher's own time check found the stop
  matcher.onText = [](const Piece&, EvaluationState& state) { state.abortRequested = true; };
  EXPECT_TRUE(Read(bytes, Path::kChunks, matcher).ok);
  EXPECT_EQ(matcher.pieces.size(), 1u);
}

// Text that only the sample vouched for is validated by the reader, which
// hands it on checked (utfCheckPending clear). Text found invalid is read
// again from the file's first byte as ANSI/Binary bytes, the mark included,
// with what the matcher accumulated from the earlier pieces dropped.
TEST_F(ReaderTest, TextFoundNotUtfIsReadAgainAsBytes) {
  std::string good = "\xEF\xBB\xBF" + Lines(3 * kChunk, "\n", "\xC3\xA9");
  if (good.back() == '\xC3') good.back() = '\n';  // no sequence cut by the end
  std::string bad = good;
  bad[bad.size() - kChunk / 2] = '\xFF';  // in the last chunk
  const std::string utf16Good = kLe + Utf16(Lines(3 * kChunk, "\n"), false);
  std::string utf16Bad = utf16Good;
  utf16Bad[utf16Bad.size() - kChunk / 2] = '\x00';
  utf16Bad[utf16Bad.size() - kChunk / 2 + 1] = '\xDC';  // a lone trail surrogate
  struct Case {
    const char* label;
    const std::string* bytes;
    Path path;
    bool valid;
  };
  const Case cases[] = {
      {"UTF-8 chunks", &good, Path::kChunks, true},   {"UTF-8 whole", &good, Path::kWhole, true},
      {"bad UTF-8 chunks", &bad, Path::kChunks, false}, {"bad UTF-8 whole", &bad, Path::kWhole, false},
      {"UTF-16 chunks", &utf16Good, Path::kChunks, true},
      {"bad UTF-16 chunks", &utf16Bad, Path::kChunks, false},
      {"bad UTF-16 whole", &utf16Bad, Path::kWhole, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    RecordingConsumer consumer;
    consumer.onText = [](const Piece&, EvaluationState& state) {
      ++state.matchCount;
      state.sum += 7;
    };
    platform::File file = Open(Write(*c.bytes));
    EvaluationState state;
    EncodingSample sample;
    std::uint32_t bom = 0;
    const auto size = std::int64_t(c.bytes->size());
    ASSERT_TRUE(ReadEncodingSample(size, &bom, file, state, &sample, settings));
    ASSERT_TRUE(state.isUtf8 || state.isUtf16);
    const bool utf16 = state.isUtf16;
    const std::uint32_t start = utf16 ? bom / 2 : bom;
    state.utfCheckPending = true;
    // The consumer never knows its answer: it reads to the end.
    const bool ok = c.path == Path::kChunks
                        ? ReadInChunks(file, size, sample, start, 1, state, consumer)
                        : ReadWholeFile(file, size, sample, start, state, consumer);
    ASSERT_TRUE(ok);
    EXPECT_FALSE(file.IsOpen());
    ASSERT_FALSE(consumer.pieces.empty());
    for (const Piece& p : consumer.pieces) EXPECT_FALSE(p.utfCheckPending);
    EXPECT_EQ(state.isUtf8 || state.isUtf16, c.valid);
    // The pieces of the last pass cover the content; the accumulation
    // counts only them.
    std::size_t pass = 0;
    for (std::size_t k = 1; k < consumer.pieces.size(); ++k) {
      if (consumer.pieces[k].startOffset < consumer.pieces[k - 1].startOffset) pass = k;
    }
    const std::vector<Piece> last(consumer.pieces.begin() + pass, consumer.pieces.end());
    EXPECT_EQ(state.matchCount, last.size());
    EXPECT_EQ(state.sum, 7 * last.size());
    for (const Piece& p : last) EXPECT_EQ(p.wide, c.valid && utf16);
    EXPECT_TRUE(Covers(Units(*c.bytes, state), c.valid ? start : 0, last));
    if (!c.valid && c.path == Path::kChunks) {
      EXPECT_GT(pass, 0u);  // the fault came late
    }
  }
}

TEST_F(ReaderTest, SmallBufferFallbacks) {
  const std::string six = Lines(6 * kChunk, "\n");
  struct Fallback {
    const char* label;
    std::string bytes;
    Path path;
    std::uint32_t chunkMegabytes;
    std::size_t limit;
    bool ok;
    std::size_t pieces;
  } cases[] = {
      {"whole falls back to 5 MiB chunks", six, Path::kWhole, 1, 5 * kChunk + 1, true, 2},
      {"whole at 5 MiB has no fallback", Lines(4 * kChunk, "\n"), Path::kWhole, 1, kChunk, false, 0},
      {"8 MiB chunk shrinks to 5 MiB", six, Path::kChunks, 8, 6 * kChunk, true, 2},
      {"5 MiB chunk fails", six, Path::kChunks, 5, kChunk, false, 0},
  };
  for (const Fallback& f : cases) {
    SetContentAllocationLimitForTesting(f.limit);
    RecordingConsumer consumer;
    const Run run = Read(f.bytes, f.path, consumer, {}, f.chunkMegabytes);
    EXPECT_EQ(run.ok, f.ok) << f.label;
    EXPECT_TRUE(run.closed) << f.label;
    EXPECT_EQ(consumer.pieces.size(), f.pieces) << f.label;
    if (f.ok) {
      EXPECT_TRUE(Covers(Units(f.bytes, run.state), 0, consumer.pieces)) << f.label;
    }
  }
}

TEST_F(ReaderTest, ShortReadsFail) {
  const std::string bytes = Lines(300000, "\n");
  for (Path path : {Path::kWhole, Path::kChunks}) {
    RecordingConsumer consumer;
    const Run run = Read(bytes, path, consumer, {}, 1, 300100);
    EXPECT_FALSE(run.ok);
    EXPECT_TRUE(run.closed);
    EXPECT_TRUE(consumer.pieces.empty());
  }
}

TEST_F(ReaderTest, SampleOnlyDropsACutCharacter) {
  settings.analyzeBuffer = 32768;
  FieldDefinition sampleOnly;
  sampleOnly.encodingCheckBufferOnly = true;
  std::string pairs;
  while (pairs.size() < 40000) pairs += std::string("\xD8\x3D\xDE\x00", 4);
  struct SampleCase {
    const char* label;
    std::string bytes;
    std::size_t units;  // handed on after the mark
  } cases[] = {
      {"UTF-8 cut in a sequence", "\xEF\xBB\xBF" + Lines(40000, "", "\xE2\x82\xAC"), 32763},
      {"UTF-16 BE cut in a pair", kBe + pairs, 16382},
  };
  for (const SampleCase& c : cases) {
    for (bool only : {true, false}) {
      RecordingConsumer consumer;
      const Run run = Read(c.bytes, Path::kSample, consumer, only ? sampleOnly : FieldDefinition());
      ASSERT_EQ(consumer.pieces.size(), 1u);
      const std::size_t all = run.state.isUtf16 ? 16383 : 32765;
      EXPECT_EQ(consumer.pieces[0].text.size(), only ? c.units : all) << c.label;
      EXPECT_TRUE(Covers(Units(c.bytes, run.state).substr(0, run.bom / (run.state.isUtf16 ? 2 : 1) +
                                                                 consumer.pieces[0].text.size()),
                         run.state.isUtf16 ? 1 : 3, consumer.pieces))
          << c.label;
    }
  }
}

TEST_F(ReaderTest, OddByteOfUtf16ContentIsNotContent) {
  // UTF-16 content of odd length (as filter output or a forced decision).
  const std::string bytes = Utf16(Lines(kChunk + 500, "\n"), false) + "!";
  for (Path path : {Path::kWhole, Path::kChunks}) {
    RecordingConsumer consumer;
    platform::File file = Open(Write(bytes));
    EvaluationState state;
    state.isUtf16 = true;
    EncodingSample none;
    const std::int64_t size = std::int64_t(bytes.size());
    ASSERT_TRUE(path == Path::kWhole ? ReadWholeFile(file, size, none, 0, state, consumer)
                                     : ReadInChunks(file, size, none, 0, 1, state, consumer));
    EXPECT_TRUE(Covers(Units(bytes, state), 0, consumer.pieces));
  }
}

}  // namespace
}  // namespace qm::plugin::testing
