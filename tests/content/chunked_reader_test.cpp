// The chunked reader against a whole read: generated contents (ANSI, UTF-8,
// UTF-16 in both byte orders; LF, CR LF and CR lines, long lines, characters
// of every length at the cuts) read in tiny chunks from a file and from a
// pipe-like source of short reads give the pieces, context and cuts that
// the same rule gives over the whole content in one buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "content_fixture.h"
#include "plugin/content/chunked_reader.h"

namespace qm::plugin::testing {
namespace {

// Content in memory, handed out in reads of 1 to 7 bytes, as a pipe gives
// what it holds.
class ShortReads final : public ByteSource {
 public:
  ShortReads(const std::string& bytes, std::uint32_t seed) : bytes_(bytes), random_(seed) {}
  std::int64_t Read(char* buffer, std::size_t n) override {
    if (at_ == bytes_.size()) return 0;
    const std::size_t step = std::uniform_int_distribution<std::size_t>(1, 7)(random_);
    const std::size_t count = std::min({n, step, bytes_.size() - at_});
    std::memcpy(buffer, bytes_.data() + at_, count);
    at_ += count;
    return static_cast<std::int64_t>(count);
  }

 private:
  const std::string& bytes_;
  std::mt19937 random_;
  std::size_t at_ = 0;
};

// What a reader hands out, with the text of the piece and of its context.
struct Seen {
  std::uint64_t position = 0;
  std::string text;     // the piece's bytes (machine order)
  std::string context;  // the units before it in its chunk
  std::size_t lineEnd = 0;
  bool last = false;
  bool operator==(const Seen& o) const {
    return position == o.position && text == o.text && context == o.context &&
           lineEnd == o.lineEnd && last == o.last;
  }
};

std::vector<Seen> ReadAll(ChunkedReader& reader, std::size_t unitBytes, bool* failed) {
  std::vector<Seen> seen;
  ChunkPiece piece;
  ChunkStatus status;
  while ((status = reader.Next(&piece)) == ChunkStatus::kPiece) {
    Seen s;
    s.position = piece.position;
    s.text.assign(piece.chunk + piece.from * unitBytes, piece.Units() * unitBytes);
    s.context.assign(piece.chunk, piece.first ? 0 : piece.from * unitBytes);
    s.lineEnd = piece.lineEnd;
    s.last = piece.last;
    seen.push_back(s);
  }
  *failed = status == ChunkStatus::kFailed;
  return seen;
}

char16_t Unit(const std::string& bytes, std::size_t i, bool utf16) {
  if (!utf16) return static_cast<unsigned char>(bytes[i]);
  char16_t u;
  std::memcpy(&u, bytes.data() + 2 * i, 2);
  return u;
}

// The same rule over the whole content in one buffer (machine order): each
// chunk is the chunk size from the start of the context before its piece;
// it is cut unless it reaches the end of the content.
std::vector<Seen> WholeReadPieces(const std::string& whole, const ChunkLayout& layout,
                                  ChunkFormat format) {
  const std::size_t ub = format.utf16 ? 2 : 1;
  const std::size_t total = whole.size();
  const std::size_t chunkBytes = static_cast<std::size_t>(layout.chunkBytes);
  if (format.skipLeadingMark && format.utf16 && total >= 2 && Unit(whole, 0, true) == 0xFEFF) {
    format.startUnits = 1;
  }
  std::vector<Seen> pieces;
  std::size_t pieceStart = format.startUnits;  // units
  std::size_t carry = 0;
  bool first = true;
  for (;;) {
    const std::size_t chunkStart = first ? 0 : (pieceStart - carry) * ub;  // bytes
    const std::size_t available = total - chunkStart;
    const bool more = available > chunkBytes;
    const std::size_t units = std::min(available, chunkBytes) / ub;
    const std::size_t from = first ? std::min(format.startUnits, units) : carry;
    const char* chunk = whole.data() + chunkStart;
    ChunkCut cut;
    if ((more || (layout.cutFullLastChunk && available >= chunkBytes)) && units > from) {
      cut = FindChunkCut(chunk + from * ub, units - from, format.utf16, format.utf8);
      if (cut.end != 0) cut.end += from;
      if (!more && (cut.lineEnd == 0 || cut.end == units)) cut = ChunkCut();
    }
    const std::size_t end = cut.end != 0 ? cut.end : units;
    Seen s;
    s.position = chunkStart / ub + from;
    s.text.assign(chunk + from * ub, (end - from) * ub);
    s.context.assign(chunk, first ? 0 : from * ub);
    s.lineEnd = cut.lineEnd;
    s.last = !more && cut.end == 0;
    pieces.push_back(s);
    if (s.last) return pieces;
    const std::size_t next = chunkStart / ub + end;
    carry = std::min({layout.contextUnits, next - format.startUnits, chunkBytes / ub / 2, end});
    while (carry > 0) {
      const char16_t u = Unit(whole, next - carry, format.utf16);
      const bool inside = format.utf16 ? (u >= 0xDC00 && u <= 0xDFFF)
                                       : format.utf8 && (u & 0xC0) == 0x80;
      if (!inside) break;
      --carry;
    }
    pieceStart = next;
    first = false;
  }
}

enum class Kind { kAnsi, kUtf8, kUtf16Le, kUtf16Be };

void AppendUtf16(std::u16string* out, char32_t c) {
  if (c < 0x10000) {
    out->push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Characters of lines: words, long runs without a line end, and (for UTF
// kinds) characters of two, three and four UTF-8 bytes and surrogate pairs.
std::u32string Characters(std::mt19937& random, Kind kind) {
  const char* const ends[] = {"\n", "\r\n", "\r"};
  const int style = std::uniform_int_distribution<int>(0, 3)(random);  // 3: mixed
  std::u32string text;
  const std::size_t length = std::uniform_int_distribution<std::size_t>(0, 300)(random);
  const char32_t wide[] = {0xE9, 0x20AC, 0x1F600, 0x10348};
  while (text.size() < length) {
    const int token = std::uniform_int_distribution<int>(0, 9)(random);
    if (token < 4) {
      text.append(std::uniform_int_distribution<std::size_t>(1, 8)(random),
                  static_cast<char32_t>('a' + token));
    } else if (token < 6) {
      const char* end = ends[style == 3 ? std::uniform_int_distribution<int>(0, 2)(random) : style];
      for (const char* p = end; *p != 0; ++p) text.push_back(static_cast<char32_t>(*p));
    } else if (token == 6) {
      text.append(std::uniform_int_distribution<std::size_t>(20, 60)(random), U'x');
    } else if (kind != Kind::kAnsi) {
      text.push_back(wide[std::uniform_int_distribution<int>(0, 3)(random)]);
    } else {
      text.push_back(static_cast<char32_t>(std::uniform_int_distribution<int>(0x80, 0xFF)(random)));
    }
  }
  return text;
}

struct Generated {
  std::string bytes;    // as stored
  std::string machine;  // in machine order
  ChunkFormat format;
};

Generated Generate(std::mt19937& random, Kind kind) {
  Generated g;
  const std::u32string text = Characters(random, kind);
  const bool mark = std::uniform_int_distribution<int>(0, 2)(random) == 0;
  if (kind == Kind::kAnsi || kind == Kind::kUtf8) {
    if (mark && kind == Kind::kUtf8) g.bytes = "\xEF\xBB\xBF";
    for (const char32_t c : text) {
      if (kind == Kind::kUtf8) {
        AppendUtf8(&g.bytes, c);
      } else {
        g.bytes.push_back(static_cast<char>(c));
      }
    }
    g.machine = g.bytes;
    g.format.utf8 = kind == Kind::kUtf8;
    g.format.startUnits = mark && kind == Kind::kUtf8 ? 3 : 0;
    return g;
  }
  std::u16string units;
  if (mark) units.push_back(0xFEFF);
  for (const char32_t c : text) AppendUtf16(&units, c);
  const bool big = kind == Kind::kUtf16Be;
  for (const char16_t u : units) {
    const char low = static_cast<char>(u & 0xFF), high = static_cast<char>(u >> 8);
    g.bytes += big ? std::string{high, low} : std::string{low, high};
  }
  if (std::uniform_int_distribution<int>(0, 4)(random) == 0) g.bytes.push_back('\x7F');  // odd byte
  g.machine = g.bytes;
  g.format.utf16 = true;
  g.format.swap = big != MachineIsBigEndian();
  if (g.format.swap) SwapUnitsInPlace(g.machine.data(), g.machine.size() / 2);
  // Half of the marked texts skip their mark as a filter's output does.
  g.format.skipLeadingMark = mark && std::uniform_int_distribution<int>(0, 1)(random) == 0;
  g.format.startUnits = mark && !g.format.skipLeadingMark ? 1 : 0;
  return g;
}

class ChunkedReaderTest : public ContentTest {};

TEST_F(ChunkedReaderTest, FileAndShortReadsGiveTheWholeReadsPieces) {
  std::mt19937 random(20261208);
  int compared = 0, cutPieces = 0;
  for (int round = 0; round < 1500; ++round) {
    const Kind kind = static_cast<Kind>(round % 4);
    const Generated g = Generate(random, kind);
    ChunkLayout layout;
    layout.chunkBytes = std::uniform_int_distribution<std::size_t>(4, 48)(random);
    layout.contextUnits = std::uniform_int_distribution<std::size_t>(0, 8)(random);
    layout.cutFullLastChunk = round % 3 == 0;
    const std::vector<Seen> expected = WholeReadPieces(g.machine, layout, g.format);
    const std::size_t ub = g.format.utf16 ? 2 : 1;
    const std::string label = "round " + std::to_string(round) + ", chunk " +
                              std::to_string(layout.chunkBytes) + ", context " +
                              std::to_string(layout.contextUnits);

    // A pipe: short reads, nothing known of the size.
    ShortReads pipe(g.bytes, static_cast<std::uint32_t>(round));
    ChunkedReader fromPipe(pipe, layout, g.format);
    ASSERT_TRUE(fromPipe.Allocate());
    bool failed = false;
    EXPECT_EQ(ReadAll(fromPipe, ub, &failed), expected) << label << " (pipe)";
    EXPECT_FALSE(failed);
    EXPECT_EQ(fromPipe.BytesRead(), g.bytes.size());
    EXPECT_EQ(fromPipe.ConsumedBytes(), g.bytes.size());

    // A file whose first bytes were read as the encoding sample, read twice
    // (the second time after a rewind, as a restart as ANSI/Binary does).
    const std::string path = Write(g.bytes);
    platform::File file = Open(path);
    EncodingSample sample;
    sample.length = std::uniform_int_distribution<std::size_t>(0, g.bytes.size())(random);
    ASSERT_NE(sample.bytes.Allocate(sample.length + 1), nullptr);
    ASSERT_TRUE(file.ReadExact(sample.bytes.get(), sample.length));
    layout.contentBytes = g.bytes.size();
    FileSource source(file, sample, g.bytes.size());
    ChunkedReader fromFile(source, layout, g.format);
    ASSERT_TRUE(fromFile.Allocate());
    EXPECT_EQ(ReadAll(fromFile, ub, &failed), expected) << label << " (file)";
    ASSERT_TRUE(source.Rewind());
    fromFile.Restart(g.format);
    EXPECT_EQ(ReadAll(fromFile, ub, &failed), expected) << label << " (file again)";

    // The pieces cover the content after its start exactly once.
    std::string covered;
    for (const Seen& s : expected) covered += s.text;
    const std::size_t start = expected.front().position * ub;
    EXPECT_EQ(covered, g.machine.substr(start, g.machine.size() / ub * ub - start)) << label;
    ++compared;
    cutPieces += static_cast<int>(expected.size()) - 1;
  }
  EXPECT_EQ(compared, 1500);
  EXPECT_GT(cutPieces, 5000);  // the generated contents do reach many cuts
}

// A source that reads in fixed pieces (Outside In's) is only asked while a
// whole piece fits; what it gives still covers the content exactly once.
TEST_F(ChunkedReaderTest, PieceReadsCoverTheContent) {
  std::mt19937 random(7);
  for (int round = 0; round < 400; ++round) {
    const Generated g = Generate(random, round % 2 == 0 ? Kind::kUtf16Le : Kind::kUtf8);
    ChunkLayout layout;
    layout.readPiece = std::uniform_int_distribution<std::size_t>(2, 9)(random);
    layout.chunkBytes = layout.readPiece + std::uniform_int_distribution<std::size_t>(4, 40)(random);
    ShortReads pipe(g.bytes, static_cast<std::uint32_t>(round));
    ChunkedReader reader(pipe, layout, g.format);
    ASSERT_TRUE(reader.Allocate());
    bool failed = false;
    const std::size_t ub = g.format.utf16 ? 2 : 1;
    std::string covered;
    for (const Seen& s : ReadAll(reader, ub, &failed)) covered += s.text;
    const std::size_t start = g.format.skipLeadingMark ? 2 : g.format.startUnits * ub;
    EXPECT_EQ(covered, g.machine.substr(start, g.machine.size() / ub * ub - start)) << round;
  }
}

// A failing source fails the reader once, and it hands out nothing more.
TEST_F(ChunkedReaderTest, AFailedReadEndsTheReader) {
  class Failing final : public ByteSource {
   public:
    std::int64_t Read(char* buffer, std::size_t n) override {
      if (reads_++ == 2) return -1;
      std::memset(buffer, 'a', std::min<std::size_t>(n, 5));
      return static_cast<std::int64_t>(std::min<std::size_t>(n, 5));
    }

   private:
    int reads_ = 0;
  } source;
  ChunkLayout layout;
  layout.chunkBytes = 8;
  ChunkedReader reader(source, layout, ChunkFormat());
  ASSERT_TRUE(reader.Allocate());
  ChunkPiece piece;
  EXPECT_EQ(reader.Next(&piece), ChunkStatus::kPiece);
  EXPECT_EQ(reader.Next(&piece), ChunkStatus::kFailed);
  EXPECT_EQ(reader.Next(&piece), ChunkStatus::kEnd);
}

}  // namespace
}  // namespace qm::plugin::testing
