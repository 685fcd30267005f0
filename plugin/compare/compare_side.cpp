// One file's side of a content comparison.
//
// Divisions: the side's reader (file or Outside In text); blocks and the
// search through them; starting over as ANSI/Binary.
#include "plugin/compare/compare_side.h"

#include <algorithm>
#include <climits>

#include "plugin/compare/compare.h"
#include "plugin/evaluation/utf_check.h"

namespace qm::plugin {
namespace {

// How the side's content is read: its encoding, byte order and mark.
ChunkFormat SideFormat(const Side& side) {
  ChunkFormat format;
  format.utf16 = side.state.isUtf16;
  format.utf8 = side.state.isUtf8 && !side.state.isUtf16;
  format.swap = !side.outsideIn && ContentNeedsSwap(side.state);
  format.startUnits = side.bomUnits;
  return format;
}

// Starts the search through the side's block. UTF text that only the
// sample vouched for is validated here, block by block, before any
// execution skips the check: false (with side.notUtf set) when it is not
// valid. Outside In text (state.utfCheckPending) is validated by the first
// execution in every block.
bool StartSearch(const Comparison& c, Side& side) {
  if (side.validateBlocks) {
    const bool valid =
        side.state.isUtf16
            ? IsWellFormedUtf16(reinterpret_cast<const char16_t*>(side.block), side.blockUnits)
            : IsWellFormedUtf8(side.block, side.blockUnits);
    if (!valid) {
      side.notUtf = true;
      return false;
    }
  }
  const FieldDefinition& field = c.field;
  if (side.state.isUtf16) {
    MatchRules rules = RulesFor16(field);
    rules.validateFirst = side.state.utfCheckPending;
    side.units.emplace(*field.utf16Program, rules, reinterpret_cast<const char16_t*>(side.block),
                       side.blockUnits, side.state.matchVector);
  } else {
    const bool utf8 = side.state.isUtf8;
    MatchRules rules = RulesFor8(field, utf8);
    rules.validateFirst = utf8 && side.state.utfCheckPending;
    side.bytes.emplace(utf8 ? *field.utf8Program : *field.ansiProgram, rules, side.block,
                       side.blockUnits, side.state.matchVector);
  }
  return true;
}

}  // namespace

CompareText Side::Match() const {
  const std::size_t start = units ? units->Start() : bytes->Start();
  const std::size_t end = units ? units->End() : bytes->End();
  CompareText t;
  t.text = block + start * UnitBytes();
  t.units = end - start;
  t.utf8 = state.isUtf8 && !state.isUtf16;
  t.utf16 = state.isUtf16;
  return t;
}

int Comparison::Report() {
  std::int64_t bytes = progressBytes;
  progressBytes = 0;
  if (bytes > INT_MAX) bytes = INT_MAX;
  if (bytes < INT_MIN) bytes = INT_MIN;
  return progress != nullptr ? progress->Report(static_cast<int>(bytes)) : 0;
}

// ---------------------------------------------------------------------------
// The side's reader
// ---------------------------------------------------------------------------
bool OpenSide(Side& side) {
  platform::FileName access;
  access.wide = side.name.c_str();
  side.file = platform::OpenFile(access, platform::OpenMode::kReadShared);
  return side.file.IsOpen();
}

bool StartReading(const Comparison& c, const OutsideInLibraries* outsideIn, Side& side) {
  ChunkLayout layout;
  layout.chunkBytes = c.halfBytes;
  ByteSource* source = nullptr;
  if (side.outsideIn) {
    // Outside In reads its pieces straight into the block.
    layout.readPiece = oit::kReadBufferBytes;
    source = &side.textSource.emplace(*outsideIn, side.name);
  } else {
    layout.cutFullLastChunk = true;
    layout.contentBytes = static_cast<std::uint64_t>(side.size);
    source = &side.fileSource.emplace(side.file, side.sample, layout.contentBytes);
  }
  side.reader.emplace(*source, layout, SideFormat(side));
  return side.reader->Allocate();
}

// ---------------------------------------------------------------------------
// Blocks and the search through them
// ---------------------------------------------------------------------------
bool ReadNextBlock(Comparison& c, Side& side, int index) {
  const std::uint64_t consumed = side.reader->ConsumedBytes();
  ChunkPiece piece;
  if (side.reader->Next(&piece) != ChunkStatus::kPiece) return false;
  if (!side.outsideIn && index == c.countingSide) {
    c.progressBytes += static_cast<std::int64_t>(side.reader->ConsumedBytes() - consumed);
  }
  side.block = piece.chunk + piece.from * side.UnitBytes();
  side.blockUnits = (piece.last ? piece.end : piece.end - piece.lineEnd) - piece.from;
  return StartSearch(c, side);
}

int NextMatch(Side& side) { return side.units ? NextMatchOf(*side.units) : NextMatchOf(*side.bytes); }

void SearchAgain(Side& side) {
  if (side.units) {
    side.units->SearchFrom(side.units->Start());
  } else {
    side.bytes->SearchFrom(side.bytes->Start());
  }
}

bool HasProgram(const FieldDefinition& field, const EvaluationState& state) {
  if (state.isUtf16) return field.utf16Program && field.utf16Program->code != nullptr;
  const auto& program = state.isUtf8 ? field.utf8Program : field.ansiProgram;
  return program && program->code != nullptr;
}

// ---------------------------------------------------------------------------
// Starting over as ANSI/Binary
// ---------------------------------------------------------------------------
void TreatSideAsAnsi(Side& side) {
  side.state.isUtf8 = false;
  side.state.isUtf16 = false;
  side.state.bigEndian = false;
  side.state.validUtf8Length = 0;
  side.bomUnits = 0;
  side.validateBlocks = false;
  side.notUtf = false;
}

bool RewindSide(Side& side) {
  side.bytes.reset();
  side.units.reset();
  if (!side.fileSource || !side.fileSource->Rewind()) return false;
  side.reader->Restart(SideFormat(side));
  return true;
}

}  // namespace qm::plugin
