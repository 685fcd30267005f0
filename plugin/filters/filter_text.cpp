// Filter selection and the piecewise hand-over of filter output.
#include "plugin/filters/filter_text.h"

#include <cstring>

#include "platform/platform.h"

namespace qm::plugin {
namespace {

constexpr char16_t kByteOrderMark = 0xFEFF;
constexpr char16_t kLineFeed = 0x0A;
constexpr char16_t kCarriageReturn = 0x0D;

char16_t UnitAt(const std::string& bytes, std::size_t index) {
  char16_t unit;
  std::memcpy(&unit, bytes.data() + 2 * index, sizeof unit);
  return unit;
}

bool UnitMatches(char16_t pattern, char16_t unit) {
  return pattern == u'?' || pattern == unit || platform::ToLowerUnit(pattern) == unit ||
         platform::ToUpperUnit(pattern) == unit;
}

// Units of a partial piece: those before the last line end, or all of them
// when the line end is at the very start or there is none.
std::size_t PieceUnits(const std::string& bytes, std::size_t units) {
  for (std::size_t i = units; i-- > 0;) {
    const char16_t unit = UnitAt(bytes, i);
    if (unit == kLineFeed) {
      const std::size_t start = i >= 1 && UnitAt(bytes, i - 1) == kCarriageReturn ? i - 1 : i;
      if (start > 0) return start;
      break;
    }
    if (unit == kCarriageReturn && i + 1 < units) {
      if (i > 0) return i;
      break;
    }
  }
  // No line end to cut at: keep a lead surrogate for its trail unit.
  if (units > 1) {
    const char16_t last = UnitAt(bytes, units - 1);
    if (last >= 0xD800 && last <= 0xDBFF) return units - 1;
  }
  return units;
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

void MatchFilterText(FilterText& text, EvaluationState& state, const TextConsumer& consumer,
                     bool partial) {
  const std::size_t units = text.bytes.size() / 2;
  std::size_t skip = 0;
  if (!text.started && units > 0) {
    text.started = true;
    if (UnitAt(text.bytes, 0) == kByteOrderMark) skip = 1;
    text.markUnits = skip;
  }
  const std::size_t end = partial ? PieceUnits(text.bytes, units) : units;
  const std::size_t handed = end > skip ? end - skip : 0;
  if (handed > 0) {
    if (text.validateEachPiece) state.utfCheckPending = true;
    state.startOffset = text.consumed + skip - text.markUnits;
    consumer.Units(reinterpret_cast<const char16_t*>(text.bytes.data()) + skip, handed, state);
  }
  const std::size_t removed = skip + handed;
  text.consumed += removed;
  if (partial) {
    text.bytes.erase(0, removed * 2);
  } else {
    state.contentSize = text.consumed * 2;
    text.bytes.clear();
  }
}

}  // namespace qm::plugin
