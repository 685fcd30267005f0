// Reading a file's content and handing it to a TextConsumer.
//
// Divisions: buffers, early stop and delivery; the sample; the whole file;
// chunks (through the chunked reader).
//
// Content is handed on as bytes, or as UTF-16 units in machine order (data
// in the other order is swapped in place first). Every buffer holds one
// terminating zero byte or zero unit after its content. Buffers beyond the
// sample are borrowed from the read buffer pool and given back before the
// reader returns.
#include "plugin/content/reader.h"

#include "platform/mapped_file.h"
#include "plugin/content/read_buffer.h"
#include "plugin/evaluation/needle_search.h"
#include "plugin/evaluation/utf_check.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

namespace qm::plugin {
namespace {

constexpr std::uint64_t kMegabyte = 1048576;
constexpr std::uint32_t kFallbackChunkMegabytes =
    static_cast<std::uint32_t>(kAlwaysWholeBytes / kMegabyte);

constexpr std::size_t kContextUnits = kChunkContextUnits;

std::atomic<std::size_t> g_testChunkBytes{0};

constexpr char16_t kLineFeed = 10;
constexpr char16_t kCarriageReturn = 13;

// ---------------------------------------------------------------------------
// Buffers, early stop and delivery
// ---------------------------------------------------------------------------

// Room for length bytes of content and its terminator, from the request's
// buffer: length+1 bytes, or for UTF-16 the whole units plus a zero unit. A
// length the address space cannot hold fails like an allocation that found
// no memory.
// The bytes a buffer for length bytes of content needs with its
// terminator; 0 when no buffer can be that large.
std::size_t BufferBytesFor(std::uint64_t length, bool utf16) {
  const std::uint64_t need = utf16 ? (length & ~std::uint64_t{1}) + 2 : length + 1;
  return need > static_cast<std::uint64_t>(PTRDIFF_MAX) ? 0 : static_cast<std::size_t>(need);
}

char* ReserveFor(ReadBuffer& buffer, std::uint64_t length, bool utf16) {
  const std::size_t need = BufferBytesFor(length, utf16);
  return need == 0 ? nullptr : buffer.Reserve(need);
}

// Puts the terminator behind length bytes of content. For UTF-16 it goes
// right after the last whole unit, so it is written after the read (an odd
// last byte is not content and gets overwritten).
void Terminate(char* buffer, std::size_t length, bool utf16) {
  if (utf16) {
    const std::size_t at = length / 2 * 2;
    buffer[at] = 0;
    buffer[at + 1] = 0;
  } else {
    buffer[length] = 0;
  }
}

// Hands units [from, to) of a buffer (bytes, or machine-order UTF-16) to the
// consumer; an empty range is handed on as empty text. True once the
// consumer knows its answer.
bool Deliver(const char* buffer, std::size_t from, std::size_t to, bool utf16,
             EvaluationState& state, const TextConsumer& consumer) {
  if (from > to) from = to;
  if (utf16) {
    return consumer.Units(reinterpret_cast<const char16_t*>(buffer) + from, to - from, state);
  }
  return consumer.Bytes(buffer + from, to - from, state);
}

// True when units [from, to) of a buffer are well-formed UTF-16 (machine
// order) or UTF-8.
bool WellFormed(const char* buffer, std::size_t from, std::size_t to, bool utf16) {
  if (from >= to) return true;
  if (utf16) return IsWellFormedUtf16(reinterpret_cast<const char16_t*>(buffer) + from, to - from);
  return IsWellFormedUtf8(buffer + from, to - from);
}

// Content the sample took for UTF text that turns out not to be valid is
// read as the decision would have read it had the sample held the fault:
// as ANSI/Binary bytes, a byte order mark included.
void TreatAsAnsi(EvaluationState& state) {
  state.isUtf8 = false;
  state.isUtf16 = false;
  state.bigEndian = false;
  state.validUtf8Length = 0;
  state.utfCheckPending = false;
}

// What a request has accumulated when its content reading begins, so that
// a reading that must start over (content found not to be UTF after all)
// answers as if it had read the content that way from the start.
class Accumulated {
 public:
  explicit Accumulated(const EvaluationState& state)
      : outputText_(state.outputText),
        hadDistinct_(state.distinctMatches != nullptr),
        countLines_(state.countLines),
        matchCount_(state.matchCount),
        lineBase_(state.lineBase),
        previousMatchStart_(state.previousMatchStart),
        sum_(state.sum) {}

  // The readers run once per request, so the distinct set is empty here.
  void Restore(EvaluationState& state) const {
    state.outputText = outputText_;
    if (hadDistinct_) state.distinctMatches = std::make_unique<DistinctSet>();
    state.lineEnds.reset();
    state.countLines = countLines_;
    state.matchCount = matchCount_;
    state.lineBase = lineBase_;
    state.previousMatchStart = previousMatchStart_;
    state.sum = sum_;
    state.contextUnits = 0;
    state.textContinues = false;
  }

 private:
  std::u16string outputText_;
  bool hadDistinct_;
  bool countLines_;
  std::uint32_t matchCount_;
  std::uint32_t lineBase_;
  std::int64_t previousMatchStart_;
  std::uint64_t sum_;
};

}  // namespace

// ---------------------------------------------------------------------------
// The sample
// ---------------------------------------------------------------------------
void EvaluateSample(char* sample, std::size_t count, std::uint32_t startUnits,
                    EvaluationState& state, bool sampleOnly, const TextConsumer& consumer) {
  char empty[2] = {0, 0};
  if (sample == nullptr) {
    sample = empty;
    count = 0;
  }
  state.startOffset = startUnits;
  if (!state.isUtf16) {
    if (sampleOnly && state.isUtf8 && count > state.validUtf8Length) {
      count = state.validUtf8Length;
    }
    Deliver(sample, startUnits, count, false, state, consumer);
    return;
  }
  if (ContentNeedsSwap(state)) SwapUnitsInPlace(sample, count / 2);
  if (sampleOnly && count >= 2 &&
      IsLeadSurrogate(ContentUnitAt(sample, count / 2 - 1, true))) {
    count -= 2;
  }
  Deliver(sample, startUnits, count / 2, true, state, consumer);
}

// ---------------------------------------------------------------------------
// The whole file
// ---------------------------------------------------------------------------
namespace {

// Hands a whole content of length bytes (terminated) on: as the text the
// state says, or as ANSI/Binary bytes from its first byte when the part
// the sample did not validate turns out not to be valid UTF. swapped: the
// buffer holds UTF-16 swapped in place, to be swapped back for that case.
void DeliverWhole(char* buffer, std::size_t length, std::uint32_t startUnits, bool swapped,
                  EvaluationState& state, const TextConsumer& consumer) {
  const bool utf16 = state.isUtf16;
  if (state.utfCheckPending) {
    // Only the sample was validated: the rest is checked here, once.
    if (!WellFormed(buffer, startUnits, utf16 ? length / 2 : length, utf16)) {
      if (swapped) SwapUnitsInPlace(buffer, length / 2);  // back to the file's bytes
      TreatAsAnsi(state);
      if (buffer[length] != 0) buffer[length] = 0;
      state.startOffset = 0;
      Deliver(buffer, 0, length, false, state, consumer);
      return;
    }
    state.utfCheckPending = false;
  }
  state.startOffset = startUnits;
  Deliver(buffer, startUnits, utf16 ? length / 2 : length, utf16, state, consumer);
}

}  // namespace

namespace {

// Units of a piece of mapped text that is validated and then matched
// while it is still in the processor's caches.
constexpr std::size_t kPieceBytes = 512 * 1024;

// The end of the piece from `from` on: after the piece's last line end
// (FindChunkCut's rule), else after the first line end beyond it (CR LF
// kept together), else the end of the text. Pieces so end only at line
// ends, where a field whose matches stay inside lines answers exactly as
// over the whole text.
std::size_t PieceEnd(const char* text, std::size_t from, std::size_t units, bool utf16) {
  const std::size_t unitBytes = utf16 ? 2 : 1;
  const std::size_t want = kPieceBytes / unitBytes;
  if (units - from <= want) return units;
  const ChunkCut cut = FindChunkCut(text + from * unitBytes, want, utf16, false);
  if (cut.end != 0) return from + cut.end;
  std::size_t end = from + want;
  if (utf16) {
    end = FindLineEnd(reinterpret_cast<const char16_t*>(text), end, units);
  } else {
    end = FindLineEnd(text, end, units);
  }
  if (end >= units) return units;
  if (ContentUnitAt(text, end, utf16) == kCarriageReturn && end + 1 < units &&
      ContentUnitAt(text, end + 1, utf16) == kLineFeed) {
    ++end;
  }
  return end + 1;
}

// Validates and matches units [startUnits, units) of a whole text piece
// by piece (see MatchMappedFile). False when a piece is not valid UTF;
// the state then holds what the pieces before it accumulated.
bool DeliverValidatedPieces(const char* text, std::size_t units, std::uint32_t startUnits,
                            EvaluationState& state, const TextConsumer& consumer) {
  const bool utf16 = state.isUtf16;
  const bool utf8 = !utf16;
  bool settled = false;  // the answer is known: the rest is only validated
  for (std::size_t from = startUnits; from < units;) {
    const std::size_t end = PieceEnd(text, from, units, utf16);
    if (!WellFormed(text, from, end, utf16)) return false;
    state.utfCheckPending = false;  // the matcher need not check the piece again
    if (state.abortRequested) return true;
    if (consumer.StopRequested(state)) {
      state.abortRequested = true;
      return true;
    }
    if (!settled) {
      // Context as the chunked reader gives it, starting on a character.
      std::size_t carry = std::min<std::size_t>(kContextUnits, from - startUnits);
      while (carry > 0) {
        const char16_t unit = ContentUnitAt(text, from - carry, utf16);
        const bool inside = utf16 ? (unit >= 0xDC00 && unit <= 0xDFFF) : utf8 && (unit & 0xC0) == 0x80;
        if (!inside) break;
        --carry;
      }
      state.startOffset = from;
      state.contextUnits = static_cast<std::uint32_t>(carry);
      state.textContinues = end < units;
      settled = Deliver(text, from, end, utf16, state, consumer);
      state.contextUnits = 0;
      state.textContinues = false;
    }
    from = end;
  }
  return true;
}

}  // namespace

MappedRead MatchMappedFile(platform::File& file, std::int64_t size, std::uint32_t startUnits,
                           EvaluationState& state, const TextConsumer& consumer) {
  if (size < 0 || static_cast<std::uint64_t>(size) < kMapMinimumBytes) return MappedRead::kNotMapped;
  // UTF-16 is read, not mapped: its validation is a plain loop that runs at
  // half speed over pages touched for the first time (measured: 0.23 s of
  // processor time for 200 MB mapped against 0.16 s read).
  if (state.isUtf16) return MappedRead::kNotMapped;
  platform::MappedFile view;
  if (!view.Map(file, static_cast<std::uint64_t>(size))) return MappedRead::kNotMapped;
  file.Close();
  // The view is read-only; the zero bytes after it terminate the text, so
  // nothing below writes into it.
  char* const text = const_cast<char*>(view.Data());
  const std::size_t length = view.Size();
  if (state.utfCheckPending && consumer.PiecesAnswerAsWhole(state)) {
    const Accumulated before(state);
    if (!DeliverValidatedPieces(text, state.isUtf16 ? length / 2 : length, startUnits, state,
                                consumer)) {
      before.Restore(state);
      TreatAsAnsi(state);
      state.startOffset = 0;
      Deliver(text, 0, length, false, state, consumer);
    }
  } else {
    DeliverWhole(text, length, startUnits, false, state, consumer);
  }
  return view.Faulted() ? MappedRead::kFailed : MappedRead::kDone;
}

bool ReadWholeFile(platform::File& file, std::int64_t size, EncodingSample& sample,
                   std::uint32_t startUnits, EvaluationState& state,
                   const TextConsumer& consumer) {
  if (size < 0 || sample.length > static_cast<std::uint64_t>(size)) {
    file.Close();
    return false;
  }
  const MappedRead mapped = MatchMappedFile(file, size, startUnits, state, consumer);
  if (mapped != MappedRead::kNotMapped) return mapped == MappedRead::kDone;
  // Read-ahead advice pays only for reads of several megabytes.
  if (static_cast<std::uint64_t>(size) > kAlwaysWholeBytes) file.AdviseSequential();
  const bool utf16 = state.isUtf16;
  // The rest usually fits behind the sample in the buffer the sample was
  // borrowed in: the file is then read on in place, with no copy and no
  // second buffer.
  const std::size_t need = BufferBytesFor(static_cast<std::uint64_t>(size), utf16);
  char* buffer = sample.length != 0 && need != 0 ? sample.bytes.Extend(need) : nullptr;
  ReadBuffer lease;
  if (buffer == nullptr) {
    buffer = ReserveFor(lease, static_cast<std::uint64_t>(size), utf16);
    if (buffer == nullptr) {
      if (static_cast<std::uint64_t>(size) > kAlwaysWholeBytes) {
        return ReadInChunks(file, size, sample, startUnits, kFallbackChunkMegabytes, state,
                            consumer);
      }
      file.Close();
      return false;
    }
    if (sample.length != 0) std::memcpy(buffer, sample.bytes.get(), sample.length);
  }
  const auto length = static_cast<std::size_t>(size);
  const bool read = file.ReadExact(buffer + sample.length, length - sample.length);
  file.Close();
  if (!read) return false;
  Terminate(buffer, length, utf16);
  const bool swapped = ContentNeedsSwap(state);
  if (swapped) SwapUnitsInPlace(buffer, length / 2);
  DeliverWhole(buffer, length, startUnits, swapped, state, consumer);
  return true;
}

// ---------------------------------------------------------------------------
// Chunks
// ---------------------------------------------------------------------------
bool DeliverPiece(const ChunkPiece& piece, bool utf16, std::uint64_t offsetBase,
                  EvaluationState& state, const TextConsumer& consumer) {
  state.startOffset = piece.position - offsetBase;
  state.contextUnits = static_cast<std::uint32_t>(piece.first ? 0 : piece.from);
  state.textContinues = !piece.last;
  const bool known = Deliver(piece.chunk, piece.from, piece.end, utf16, state, consumer);
  state.contextUnits = 0;
  state.textContinues = false;
  return known;
}

void SetChunkBytesForTesting(std::size_t bytes) { g_testChunkBytes = bytes; }

namespace {

enum class PassEnd { kDone, kFailed, kNotUtf };

// The file's content as the encoding decision (or the restart as
// ANSI/Binary) says it is, from startUnits on.
ChunkFormat FileFormat(const EvaluationState& state, std::uint32_t startUnits) {
  ChunkFormat format;
  format.utf16 = state.isUtf16;
  format.utf8 = state.isUtf8 && !state.isUtf16;
  format.swap = ContentNeedsSwap(state);
  format.startUnits = startUnits;
  return format;
}

ChunkLayout FileLayout(std::int64_t size, std::uint32_t chunkMegabytes) {
  ChunkLayout layout;
  const std::size_t test = g_testChunkBytes.load();
  layout.chunkBytes = test != 0 ? test : std::uint64_t{chunkMegabytes == 0 ? 1 : chunkMegabytes} * kMegabyte;
  layout.contextUnits = kContextUnits;
  layout.contentBytes = static_cast<std::uint64_t>(size);
  return layout;
}

// Whether the chunked read goes on before the next piece: not after a stop
// request or once the consumer knows its answer (settled), except that text
// still to be validated is then read and checked without being handed on
// (should it fail, the answer would have to come from the ANSI form).
bool ReadOn(EvaluationState& state, const TextConsumer& consumer, bool validate, bool settled) {
  if (state.abortRequested) return false;
  if (settled && !validate) return false;
  if (consumer.StopRequested(state)) {
    state.abortRequested = true;
    return false;
  }
  return true;
}

// One pass of ReadInChunks over the reader's content. kNotUtf: a piece of
// text the sample took for UTF is not valid UTF; nothing of that piece was
// handed on.
PassEnd ReadChunkPass(ChunkedReader& reader, EvaluationState& state,
                      const TextConsumer& consumer) {
  const bool utf16 = state.isUtf16;
  // Only the sample was validated: every piece is new text, checked here
  // before the matcher sees it.
  const bool validate = state.utfCheckPending;
  bool settled = false;
  ChunkPiece piece;
  while (ReadOn(state, consumer, validate, settled)) {
    const ChunkStatus status = reader.Next(&piece);
    if (status == ChunkStatus::kFailed) return PassEnd::kFailed;
    if (status == ChunkStatus::kEnd) break;
    if (validate) {
      if (!WellFormed(piece.chunk, piece.from, piece.end, utf16)) return PassEnd::kNotUtf;
      state.utfCheckPending = false;
    }
    // An empty first piece is content without text (no more than its mark).
    if (!settled && (piece.Units() != 0 || !piece.first)) {
      settled = DeliverPiece(piece, utf16, 0, state, consumer);
    }
    if (piece.last) break;
  }
  return PassEnd::kDone;
}

}  // namespace

bool ReadInChunks(platform::File& file, std::int64_t size, const EncodingSample& sample,
                  std::uint32_t startUnits, std::uint32_t chunkMegabytes,
                  EvaluationState& state, const TextConsumer& consumer) {
  if (size < 0 || sample.length > static_cast<std::uint64_t>(size)) {
    file.Close();
    return false;
  }
  file.AdviseSequential();
  FileSource source(file, sample, static_cast<std::uint64_t>(size));
  ChunkedReader reader(source, FileLayout(size, chunkMegabytes), FileFormat(state, startUnits));
  bool allocated = reader.Allocate();
  if (!allocated && reader.ChunkBytes() > kAlwaysWholeBytes) {
    allocated = reader.Resize(kAlwaysWholeBytes);
  }
  const Accumulated before(state);
  PassEnd end = allocated ? ReadChunkPass(reader, state, consumer) : PassEnd::kFailed;
  if (end == PassEnd::kNotUtf) {
    // The text read so far was matched as UTF: it is all matched again, as
    // ANSI/Binary bytes from the file's first byte.
    before.Restore(state);
    TreatAsAnsi(state);
    if (source.Rewind()) {
      reader.Restart(FileFormat(state, 0));
      end = ReadChunkPass(reader, state, consumer);
    } else {
      end = PassEnd::kFailed;
    }
  }
  file.Close();
  return end == PassEnd::kDone;
}

}  // namespace qm::plugin
