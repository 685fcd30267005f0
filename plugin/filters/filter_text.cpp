// Filter selection and the hand-over of filter output through the chunked
// reader.
#include "plugin/filters/filter_text.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "plugin/content/reader.h"

namespace qm::plugin {
namespace {

// Chunks when the budget's cannot be had.
constexpr std::uint64_t kFallbackChunkBytes = 5242880;

bool UnitMatches(char16_t pattern, char16_t unit) {
  return pattern == u'?' || pattern == unit || platform::ToLowerUnit(pattern) == unit ||
         platform::ToUpperUnit(pattern) == unit;
}

}  // namespace

const FilterChoice* FindFilterForName(const FilterExtensionMap& filters, const std::u16string& name) {
  for (const auto& [pattern, choice] : filters) {
    if (pattern.empty() || pattern.size() >= name.size()) continue;
    const std::size_t at = name.size() - pattern.size();
    if (name[at - 1] != u'.') continue;
    bool match = true;
    for (std::size_t i = 0; i < pattern.size() && match; ++i) match = UnitMatches(pattern[i], name[at + i]);
    if (match) return &choice;
  }
  return nullptr;
}

ChunkedReader FilterReader(ByteSource& source, std::uint64_t budget) {
  ChunkLayout layout;
  layout.chunkBytes = budget;
  layout.contextUnits = kChunkContextUnits;
  ChunkFormat format;
  format.utf16 = true;
  format.skipLeadingMark = true;
  return ChunkedReader(source, layout, format);
}

std::uint64_t FilterChunkBytes(std::uint64_t budget, const EvaluationState& state,
                               const TextConsumer& consumer) {
  const std::uint64_t lineChunk = std::uint64_t{kLineChunkMegabytes} * settings::kMegabyte;
  return consumer.PiecesAnswerAsWhole(state) ? std::min(budget, lineChunk) : budget;
}

bool AllocateFilterReader(ChunkedReader& reader) {
  if (reader.Allocate()) return true;
  return reader.ChunkBytes() > kFallbackChunkBytes && reader.Resize(kFallbackChunkBytes);
}

FilterTextEnd MatchFilterText(ChunkedReader& reader, EvaluationState& state,
                              const TextConsumer& consumer) {
  const bool validateEachPiece = state.utfCheckPending;
  ChunkPiece piece;
  bool known = false;
  for (;;) {
    const ChunkStatus status = reader.Next(&piece);
    if (status == ChunkStatus::kFailed) {
      return state.abortRequested ? FilterTextEnd::kStopped : FilterTextEnd::kFailed;
    }
    if (status == ChunkStatus::kEnd) return FilterTextEnd::kDone;
    if (piece.Units() != 0 || !piece.first) {
      if (validateEachPiece) state.utfCheckPending = true;
      known = DeliverPiece(piece, true, reader.StartUnits(), state, consumer);
    }
    if (piece.last) {
      state.contentSize = reader.BytesRead() / 2 * 2;
      return FilterTextEnd::kDone;
    }
    if (state.abortRequested) return FilterTextEnd::kStopped;
    if (known) return FilterTextEnd::kAnswered;
  }
}

}  // namespace qm::plugin
