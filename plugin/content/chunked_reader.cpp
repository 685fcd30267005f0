// The chunked reader.
//
// Divisions: the file as a byte source; where a chunk is cut; the reader
// (buffer, filling, pieces, context).
//
// The buffer holds, in this order: the context kept from the chunk before,
// the tail that followed its cut, and what the source gave since. It is
// filled up to the chunk size plus one byte of look-ahead (with readPiece 1),
// so that a full chunk is known to be followed by more content without
// asking the source for a byte it could not give back.
#include "plugin/content/chunked_reader.h"

#include <algorithm>
#include <cstring>

namespace qm::plugin {
namespace {

constexpr char16_t kLineFeed = 10;
constexpr char16_t kCarriageReturn = 13;
constexpr std::size_t kMinimumChunkBytes = 4;

bool IsTrailSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The end of the last whole UTF-8 sequence in n bytes: n unless the bytes
// end inside a sequence, else the start of that sequence.
std::size_t Utf8Boundary(const char* buffer, std::size_t n) {
  std::size_t back = 1;
  while (back <= 4 && back <= n &&
         (static_cast<unsigned char>(buffer[n - back]) & 0xC0) == 0x80) {
    ++back;
  }
  if (back > 4 || back > n) return n;  // no lead byte near the end: not ours to judge
  const std::size_t lead = n - back;
  const unsigned char c = static_cast<unsigned char>(buffer[lead]);
  std::size_t length = 1;
  if ((c & 0xE0) == 0xC0) {
    length = 2;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4;
  }
  return lead + length <= n ? n : lead;
}

}  // namespace

// ---------------------------------------------------------------------------
// The file as a byte source
// ---------------------------------------------------------------------------
FileSource::FileSource(platform::File& file, const EncodingSample& sample, std::uint64_t size)
    : file_(file),
      sample_(sample.bytes.get()),
      sampleLength_(std::min<std::uint64_t>(sample.length, size)),
      size_(size) {}

std::int64_t FileSource::Read(char* buffer, std::size_t n) {
  if (offset_ < sampleLength_) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(n, sampleLength_ - offset_));
    std::memcpy(buffer, sample_ + offset_, count);
    offset_ += count;
    return static_cast<std::int64_t>(count);
  }
  if (offset_ >= size_) return 0;
  const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset_));
  if (!file_.ReadExact(buffer, count)) return -1;
  offset_ += count;
  return static_cast<std::int64_t>(count);
}

bool FileSource::Rewind() {
  const std::uint64_t back = offset_ > sampleLength_ ? offset_ - sampleLength_ : 0;
  if (back != 0 && !file_.SeekRelative(-static_cast<std::int64_t>(back))) return false;
  offset_ = 0;
  return true;
}

// ---------------------------------------------------------------------------
// Where a chunk is cut
// ---------------------------------------------------------------------------
char16_t ContentUnitAt(const char* buffer, std::size_t index, bool utf16) {
  if (!utf16) return static_cast<unsigned char>(buffer[index]);
  char16_t unit;
  std::memcpy(&unit, buffer + 2 * index, sizeof unit);
  return unit;
}

bool IsLeadSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

ChunkCut FindChunkCut(const char* buffer, std::size_t n, bool utf16, bool utf8) {
  ChunkCut cut;
  for (std::size_t i = n; i-- > 0;) {
    if (ContentUnitAt(buffer, i, utf16) == kLineFeed) {
      cut.end = i + 1;
      cut.lineEnd = i >= 1 && ContentUnitAt(buffer, i - 1, utf16) == kCarriageReturn ? 2 : 1;
      return cut;
    }
  }
  for (std::size_t i = n; i-- > 0;) {
    if (ContentUnitAt(buffer, i, utf16) == kCarriageReturn) {
      cut.end = i + 1;
      cut.lineEnd = 1;
      return cut;
    }
  }
  if (utf16 && n > 1 && IsLeadSurrogate(ContentUnitAt(buffer, n - 1, true))) {
    cut.end = n - 1;
  } else if (utf8) {
    const std::size_t boundary = Utf8Boundary(buffer, n);
    if (boundary != n) cut.end = boundary;
  }
  return cut;
}

// ---------------------------------------------------------------------------
// The reader
// ---------------------------------------------------------------------------
ChunkedReader::ChunkedReader(ByteSource& source, const ChunkLayout& layout,
                             const ChunkFormat& format)
    : source_(source), layout_(layout), format_(format) {
  layout_.readPiece = std::max<std::size_t>(layout_.readPiece, 1);
  layout_.chunkBytes = std::max<std::uint64_t>(layout_.chunkBytes, MinimumChunkBytes());
}

// Every chunk has room for new text beside the context it keeps (at most
// half a chunk): at least 4 bytes, and with reads in pieces two pieces more.
std::uint64_t ChunkedReader::MinimumChunkBytes() const {
  return layout_.readPiece == 1 ? kMinimumChunkBytes : 2 * std::uint64_t{layout_.readPiece} + 4;
}

// The chunk and one unit more: room for the look-ahead byte and for the
// zero unit after the chunk's last whole unit.
bool ChunkedReader::Allocate() {
  const std::uint64_t chunk = std::min(layout_.chunkBytes, layout_.contentBytes);
  if (chunk > static_cast<std::uint64_t>(PTRDIFF_MAX) - 2) return false;
  data_ = lease_.Reserve(static_cast<std::size_t>(chunk) + UnitBytes());
  if (data_ == nullptr) return false;
  fillLimit_ = static_cast<std::size_t>(chunk) + (layout_.readPiece == 1 ? 1 : 0);
  return true;
}

bool ChunkedReader::Resize(std::uint64_t chunkBytes) {
  layout_.chunkBytes = std::max<std::uint64_t>(chunkBytes, MinimumChunkBytes());
  return Allocate();
}

void ChunkedReader::Restart(const ChunkFormat& format) {
  format_ = format;
  filled_ = dropBytes_ = carryUnits_ = swappedUnits_ = 0;
  bufferOffset_ = consumedBytes_ = bytesRead_ = 0;
  terminatedAt_ = SIZE_MAX;
  ended_ = finished_ = markChecked_ = false;
  first_ = true;
  if (data_ != nullptr && !Allocate()) data_ = nullptr;
}

// Puts back the content bytes the last zero unit overwrote.
void ChunkedReader::RestoreTerminated() {
  if (terminatedAt_ == SIZE_MAX) return;
  std::memcpy(data_ + terminatedAt_, terminatedBytes_, UnitBytes());
  terminatedAt_ = SIZE_MAX;
}

// A zero unit after the chunk's units; the bytes it covers may be content
// of the next chunk (the look-ahead byte, an odd byte), kept aside.
void ChunkedReader::Terminate(std::size_t units) {
  const std::size_t at = units * UnitBytes();
  std::memcpy(terminatedBytes_, data_ + at, UnitBytes());
  std::memset(data_ + at, 0, UnitBytes());
  terminatedAt_ = at;
}

// Moves the context and the unread tail of the chunk before to the front.
void ChunkedReader::DropConsumed() {
  if (dropBytes_ == 0) return;
  filled_ -= dropBytes_;
  std::memmove(data_, data_ + dropBytes_, filled_);
  bufferOffset_ += dropBytes_;
  swappedUnits_ -= std::min(swappedUnits_, dropBytes_ / UnitBytes());
  dropBytes_ = 0;
}

// Reads until the buffer is full or the content ends. False on a failure.
bool ChunkedReader::Fill() {
  while (!ended_ && fillLimit_ - filled_ >= layout_.readPiece) {
    const std::size_t want = fillLimit_ - filled_;
    const std::int64_t got = source_.Read(data_ + filled_, want);
    if (got < 0 || static_cast<std::uint64_t>(got) > want) return false;
    if (got == 0) {
      ended_ = true;
    } else {
      filled_ += static_cast<std::size_t>(got);
      bytesRead_ += static_cast<std::uint64_t>(got);
    }
  }
  if (format_.swap) {
    const std::size_t whole = filled_ / 2;
    if (whole > swappedUnits_) SwapUnitsInPlace(data_ + 2 * swappedUnits_, whole - swappedUnits_);
    swappedUnits_ = std::max(swappedUnits_, whole);
  }
  return true;
}

// The cut of a chunk of units whose piece starts at from. While more content
// follows every chunk is cut; the chunk that ends the content only when the
// layout asks for it, it is full, and its last line end is not its end.
ChunkCut ChunkedReader::CutOf(std::size_t from, std::size_t units, bool full) const {
  ChunkCut cut;
  const bool more = !ended_;
  if (!(more || (layout_.cutFullLastChunk && full)) || units <= from) return cut;
  cut = FindChunkCut(data_ + from * UnitBytes(), units - from, format_.utf16, format_.utf8);
  if (cut.end == 0) return cut;
  cut.end += from;
  if (!more && (cut.lineEnd == 0 || cut.end == units)) cut = ChunkCut();
  return cut;
}

// Units before end kept as the next piece's context: up to the layout's
// count (and no more than half a chunk, so that every chunk has room for new
// text), never reaching before the content's start units, and starting on a
// character (past UTF-8 continuation bytes and a trail surrogate).
std::size_t ChunkedReader::ContextAfter(std::size_t end) const {
  const std::uint64_t endPosition = bufferOffset_ / UnitBytes() + end;
  const std::uint64_t available =
      endPosition > format_.startUnits ? endPosition - format_.startUnits : 0;
  std::size_t carry = static_cast<std::size_t>(std::min<std::uint64_t>(
      {layout_.contextUnits, available, layout_.chunkBytes / UnitBytes() / 2, end}));
  while (carry > 0) {
    const char16_t unit = ContentUnitAt(data_, end - carry, format_.utf16);
    const bool inside = format_.utf16 ? IsTrailSurrogate(unit) : format_.utf8 && (unit & 0xC0) == 0x80;
    if (!inside) break;
    --carry;
  }
  return carry;
}

ChunkStatus ChunkedReader::Next(ChunkPiece* piece) {
  if (finished_ || data_ == nullptr) return ChunkStatus::kEnd;
  RestoreTerminated();
  DropConsumed();
  if (!Fill()) {
    finished_ = true;
    return ChunkStatus::kFailed;
  }
  const std::size_t unitBytes = UnitBytes();
  const bool full = filled_ >= layout_.chunkBytes;
  const std::size_t chunkBytes =
      static_cast<std::size_t>(std::min<std::uint64_t>(filled_, layout_.chunkBytes));
  const std::size_t units = chunkBytes / unitBytes;
  if (!markChecked_ && units > 0) {
    markChecked_ = true;
    if (format_.skipLeadingMark && format_.utf16 && ContentUnitAt(data_, 0, true) == 0xFEFF) {
      format_.startUnits = 1;
    }
  }
  const std::size_t from = std::min(first_ ? format_.startUnits : carryUnits_, units);
  const ChunkCut cut = CutOf(from, units, full);

  piece->chunk = data_;
  piece->from = from;
  piece->end = cut.end != 0 ? cut.end : units;
  piece->lineEnd = cut.lineEnd;
  piece->position = bufferOffset_ / unitBytes + from;
  piece->first = first_;
  piece->last = ended_ && cut.end == 0;
  Terminate(units);

  first_ = false;
  if (piece->last) {
    finished_ = true;
    consumedBytes_ = bufferOffset_ + filled_;
  } else {
    carryUnits_ = ContextAfter(piece->end);
    dropBytes_ = (piece->end - carryUnits_) * unitBytes;
    consumedBytes_ = bufferOffset_ + piece->end * unitBytes;
  }
  return ChunkStatus::kPiece;
}

}  // namespace qm::plugin
