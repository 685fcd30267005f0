// Filter selection and the piecewise hand-over of filter output.
#include "plugin/filters/filter_text.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "plugin/content/reader.h"

namespace qm::plugin {
namespace {

constexpr char16_t kByteOrderMark = 0xFEFF;

char16_t UnitAt(const std::string& bytes, std::size_t index) {
  char16_t unit;
  std::memcpy(&unit, bytes.data() + 2 * index, sizeof unit);
  return unit;
}

bool UnitMatches(char16_t pattern, char16_t unit) {
  return pattern == u'?' || pattern == unit || platform::ToLowerUnit(pattern) == unit ||
         platform::ToUpperUnit(pattern) == unit;
}

// Units of the text before a piece that go with it as context: the file
// reader's amount, so that converted text answers as the same text read
// from a file in chunks.
constexpr std::size_t kContextUnits = kChunkContextUnits;

bool IsTrailSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

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

bool MatchFilterText(FilterText& text, EvaluationState& state, const TextConsumer& consumer,
                     bool partial) {
  const std::size_t units = text.bytes.size() / 2;
  // The piece is [from, end): after the context, and after a skipped mark.
  std::size_t from = text.contextUnits;
  if (!text.started && units > 0) {
    text.started = true;
    text.markUnits = UnitAt(text.bytes, 0) == kByteOrderMark ? 1 : 0;
    from += text.markUnits;
  }
  std::size_t end = units;
  bool known = false;
  if (partial) {
    end = static_cast<std::size_t>(std::min<std::uint64_t>(units, text.budget / 2));
    if (end > from) {
      const ChunkCut cut = FindChunkCut(text.bytes.data() + 2 * from, end - from, true, false);
      if (cut.end != 0) end = from + cut.end;
    }
  }
  if (end > from) {
    if (text.validateEachPiece) state.utfCheckPending = true;
    state.startOffset = text.consumed + from - text.markUnits;
    state.contextUnits = static_cast<std::uint32_t>(text.contextUnits);
    state.textContinues = partial;
    known = consumer.Units(reinterpret_cast<const char16_t*>(text.bytes.data()) + from, end - from,
                           state);
    state.contextUnits = 0;
    state.textContinues = false;
  }
  if (!partial) {
    state.contentSize = (text.consumed + units) * 2;
    text.consumed += units;
    text.contextUnits = 0;
    text.bytes.clear();
    return known;
  }
  // Up to kContextUnits units before the next piece stay as its context,
  // starting on a character and never on the skipped mark.
  const std::uint64_t nextPiece = text.consumed + end;
  std::size_t carry = static_cast<std::size_t>(
      std::min<std::uint64_t>(kContextUnits, nextPiece - text.markUnits));
  while (carry > 0 && IsTrailSurrogate(UnitAt(text.bytes, end - carry))) --carry;
  const std::size_t removed = end - carry;
  text.consumed += removed;
  text.contextUnits = carry;
  text.bytes.erase(0, removed * 2);
  return known;
}

bool FinishFilterText(FilterText& text, EvaluationState& state, const TextConsumer& consumer) {
  while (text.bytes.size() > text.budget) {
    if (MatchFilterText(text, state, consumer, true) || state.abortRequested) return false;
  }
  if (!text.bytes.empty()) MatchFilterText(text, state, consumer, false);
  return true;
}

}  // namespace qm::plugin
