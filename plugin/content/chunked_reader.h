// One chunked reader over a byte source.
//
// Every content that may outgrow the read budget is read the same way: a
// file, the converter's pipe, Outside In's extracted text, and the blocks of
// a comparison. The reader fills a chunk of a fixed size from a ByteSource,
// cuts it after its last line end (FindChunkCut) and hands out the piece
// before the cut together with up to a given number of units of the content
// before it as context. The unread tail and that context move to the front
// of the buffer and the next chunk is filled behind them: nothing is read
// twice, so a source never has to seek (a pipe cannot).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "plugin/content/encoding.h"
#include "plugin/content/read_buffer.h"

namespace qm::plugin {

// A content read front to back.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to n (> 0) bytes into buffer: the count read (1 to n), 0 at the
  // end of the content, or -1 on a failure (a source that can fail in more
  // than one way keeps the reason itself).
  virtual std::int64_t Read(char* buffer, std::size_t n) = 0;
};

// The content of an open file from its first byte: the encoding sample (read
// already; served from memory), then the file from just after the sample, up
// to size bytes in all. A short read of the file is a failure. The sample
// and the file must outlive the source.
class FileSource final : public ByteSource {
 public:
  FileSource(platform::File& file, const EncodingSample& sample, std::uint64_t size);
  std::int64_t Read(char* buffer, std::size_t n) override;
  // Back to the content's first byte: the file seeks back to just after the
  // sample. False when the seek fails.
  bool Rewind();

 private:
  platform::File& file_;
  const char* sample_;
  std::uint64_t sampleLength_;
  std::uint64_t size_;
  std::uint64_t offset_ = 0;  // bytes of the content served
};

// The unit at index of content: a byte, or a machine-order UTF-16 unit.
char16_t ContentUnitAt(const char* buffer, std::size_t index, bool utf16);
// A UTF-16 unit that begins a surrogate pair.
bool IsLeadSurrogate(char16_t unit);

// Where a full chunk is cut, in units (bytes, or UTF-16 units).
struct ChunkCut {
  std::size_t end = 0;      // units up to and including the line end; 0: no cut
  std::size_t lineEnd = 0;  // units of the line end before `end` (0: cut inside a line)
};

// Where a full chunk of n units (bytes, or machine-order UTF-16 units when
// utf16) is cut: after its last line feed (a carriage return before it
// belongs to the line end), else after its last carriage return. Without
// either, UTF text (utf8 or utf16) is cut after its last whole character so
// that no character is split between two chunks; other text is not cut.
ChunkCut FindChunkCut(const char* buffer, std::size_t n, bool utf16, bool utf8);

// Units of the content before a piece that go with it as context, for
// readers whose pieces must answer as the whole content does (lookbehind,
// ^ and \b at a piece's start see what a whole read sees).
inline constexpr std::size_t kChunkContextUnits = 1024;

// What the content is: its unit, byte order and start.
struct ChunkFormat {
  bool utf16 = false;           // UTF-16 units (else bytes)
  bool utf8 = false;            // UTF-8 bytes: a cut or context never starts inside a character
  bool swap = false;            // UTF-16 in the other byte order: swapped in place as read
  std::size_t startUnits = 0;   // units before the first piece (a byte-order mark): never handed out, never context
  bool skipLeadingMark = false; // UTF-16 content whose first unit is U+FEFF starts after it
};

// How the content is cut into chunks.
struct ChunkLayout {
  std::uint64_t chunkBytes = 0;    // bytes of one chunk, context included (at least 4; see below)
  std::size_t contextUnits = 0;    // at most this many units before each later piece
  // The source reads in pieces of this many bytes at most and is never asked
  // for less (Outside In's 32 KiB reads into the chunk): a chunk with less
  // room than that is full, and whether more follows is known only from the
  // source. With 1, the reader looks one byte past the chunk instead, so a
  // chunk that ends exactly at the end of the content is the last one.
  // With pieces a chunk holds at least two pieces and 4 bytes.
  std::size_t readPiece = 1;
  // A full chunk that ends the content is still cut at its last line end
  // (unless that ends the content), giving a last piece after it: the blocks
  // of a comparison, which cut every full block alike.
  bool cutFullLastChunk = false;
  // The content's size where it is known: the buffer need not be larger.
  std::uint64_t contentBytes = UINT64_MAX;
};

// One piece: units [from, end) of the chunk, with units [0, from) before it
// as context (none before the first piece). The chunk is in machine order
// and has a zero unit after its last whole unit; it stays valid until the
// next call of Next.
struct ChunkPiece {
  const char* chunk = nullptr;
  std::size_t from = 0;
  std::size_t end = 0;          // one past the piece; a line end at the cut included
  std::size_t lineEnd = 0;      // units of the line end at the cut that end the piece
  std::uint64_t position = 0;   // units of the content before the piece's first unit
  bool first = false;           // the first piece of the content
  bool last = false;            // nothing of the content follows
  std::size_t Units() const { return end - from; }
};

enum class ChunkStatus { kPiece, kEnd, kFailed };

class ChunkedReader {
 public:
  ChunkedReader(ByteSource& source, const ChunkLayout& layout, const ChunkFormat& format);
  ChunkedReader(const ChunkedReader&) = delete;
  ChunkedReader& operator=(const ChunkedReader&) = delete;

  // Borrows the buffer from the read buffer pool (given back when the reader
  // goes). False when it cannot be had.
  bool Allocate();
  // Allocate with chunks of another size (a smaller one when the first
  // could not be had).
  bool Resize(std::uint64_t chunkBytes);
  std::uint64_t ChunkBytes() const { return layout_.chunkBytes; }

  // The next piece: kPiece (every call until the last piece), then kEnd;
  // kFailed when the source fails (the reader is then finished). A piece may
  // be empty only when it is the first or the last. A full chunk without a
  // line end is handed out whole (UTF text up to its last whole character),
  // and the next piece continues it.
  ChunkStatus Next(ChunkPiece* piece);

  // Starts over with another format, keeping the buffer (a wider unit may
  // need more of it: without it the reader has ended); the caller has put
  // the source back to the content's first byte.
  void Restart(const ChunkFormat& format);

  // Bytes of the content up to the end of the last piece handed out (the
  // whole content once the last piece went), and bytes read from the source.
  std::uint64_t ConsumedBytes() const { return consumedBytes_; }
  std::uint64_t BytesRead() const { return bytesRead_; }
  bool Finished() const { return finished_; }
  // Units before the first piece: the format's, or 1 once a leading mark
  // was skipped.
  std::size_t StartUnits() const { return format_.startUnits; }

 private:
  std::size_t UnitBytes() const { return format_.utf16 ? 2 : 1; }
  std::uint64_t MinimumChunkBytes() const;
  void DropConsumed();
  bool Fill();
  ChunkCut CutOf(std::size_t from, std::size_t units, bool full) const;
  std::size_t ContextAfter(std::size_t end) const;
  void Terminate(std::size_t units);
  void RestoreTerminated();

  ByteSource& source_;
  ChunkLayout layout_;
  ChunkFormat format_;
  ReadBuffer lease_;
  char* data_ = nullptr;
  std::size_t fillLimit_ = 0;       // bytes the buffer is filled up to
  std::size_t filled_ = 0;          // bytes in the buffer
  std::size_t dropBytes_ = 0;       // bytes at the front that the next chunk no longer needs
  std::size_t carryUnits_ = 0;      // units of context at the front
  std::size_t swappedUnits_ = 0;    // units at the front already in machine order
  std::uint64_t bufferOffset_ = 0;  // bytes of the content before the buffer's first byte
  std::uint64_t consumedBytes_ = 0;
  std::uint64_t bytesRead_ = 0;
  std::size_t terminatedAt_ = SIZE_MAX;  // where the zero unit overwrote content
  char terminatedBytes_[2] = {0, 0};
  bool ended_ = false;              // the source said the content ends
  bool finished_ = false;           // the last piece went
  bool first_ = true;
  bool markChecked_ = false;
};

}  // namespace qm::plugin
