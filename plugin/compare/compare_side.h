// One file's side of a content comparison: its file or Outside In text,
// read in blocks by the chunked reader, and the search for the next match
// in the current block.
//
// Each side reads blocks of half the comparison's budget, cut after their
// last line end; the line end at a cut belongs to neither block, unless
// nothing follows it. A full last block is cut too, so that both files are
// cut by the same rule whatever their sizes. The first block of a file
// starts after its byte-order mark, so that anchors see the same text in a
// file with a mark and in one without.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "plugin/compare/match_equality.h"
#include "plugin/content/chunked_reader.h"
#include "plugin/content/encoding.h"
#include "plugin/evaluation/matcher.h"
#include "plugin/filters/outside_in.h"

namespace qm::plugin {

class CompareProgress;

struct Side {
  std::u16string name;  // as used for file calls (long-path form where needed)
  platform::File file;
  EncodingSample sample;
  std::int64_t size = 0;
  EvaluationState state;
  std::uint32_t bomUnits = 0;      // units of the byte-order mark, skipped in the first block
  bool validateBlocks = false;     // UTF text that only the sample vouched for
  bool notUtf = false;             // a block of it was not valid UTF: read it as ANSI/Binary
  bool outsideIn = false;          // the document's Outside In text instead of the file's bytes

  // What the blocks are read from, and the reader that cuts them.
  std::optional<FileSource> fileSource;
  std::optional<OutsideInTextSource> textSource;
  std::optional<ChunkedReader> reader;

  const char* block = nullptr;     // the current block (machine order)
  std::size_t blockUnits = 0;

  // The search through the current block: one of the two, by encoding.
  std::optional<MatchCursor<char>> bytes;
  std::optional<MatchCursor<char16_t>> units;

  Side() = default;
  Side(const Side&) = delete;
  Side& operator=(const Side&) = delete;

  // More blocks follow the current one.
  bool Remains() const { return reader && !reader->Finished(); }
  std::size_t UnitBytes() const { return state.isUtf16 ? 2 : 1; }
  // The current match of the search.
  CompareText Match() const;
};

// The shared pieces of one comparison.
struct Comparison {
  const FieldDefinition& field;
  CompareProgress* progress;
  std::uint64_t halfBytes = 0;     // each side's block size
  std::int64_t progressBytes = 0;  // processed since the last report
  int countingSide = 0;            // progress follows the larger file

  // Reports the bytes processed since the last report: its answer, non-zero
  // to stop (0 without a progress callback).
  int Report();
};

// Opens the side's file (shared read). False when it cannot be opened.
bool OpenSide(Side& side);

// Sets up the side's chunked reader over its file, or over its document's
// Outside In text, in blocks of c.halfBytes (a source for the text is made
// here). False when the blocks cannot be allocated.
bool StartReading(const Comparison& c, const OutsideInLibraries* outsideIn, Side& side);

// Reads the side's next block and starts the search through it. UTF text
// that only the sample vouched for is validated first: false, with
// side.notUtf set, when it is not valid. False also when a read fails.
// Progress counts the bytes of the counting side's file blocks.
bool ReadNextBlock(Comparison& c, Side& side, int index);

// The cursor's next match: 1 found, 0 none left in its text, -1 an
// expression error.
template <typename Char>
int NextMatchOf(MatchCursor<Char>& cursor) {
  if (FindNextMatch(cursor)) return 1;
  const int status = cursor.Status();
  return status < 0 && status != PCRE_ERROR_NOMATCH ? -1 : 0;
}

// The side's next match in its block, as NextMatchOf.
int NextMatch(Side& side);

// The side's current match is found again by its next search.
void SearchAgain(Side& side);

// True when the field has a compiled program for the side's text.
bool HasProgram(const FieldDefinition& field, const EvaluationState& state);

// A side whose text turned out not to be valid UTF is read as the encoding
// decision would have read it had its sample held the fault: ANSI/Binary
// bytes from the first byte of the file, a byte order mark included.
void TreatSideAsAnsi(Side& side);

// Puts a file side back before its first block, so that a comparison can
// start over (in the side's format now). False when the seek fails or the
// side is an Outside In text.
bool RewindSide(Side& side);

}  // namespace qm::plugin
