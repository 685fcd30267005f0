#include "plugin/config/plugin_state.h"

#include <algorithm>

namespace qm::plugin {

std::u16string PluginState::ModuleFolder() const {
  const std::size_t cut = modulePath.find_last_of(platform::kPathSeparators);
  return cut == std::u16string::npos ? std::u16string() : modulePath.substr(0, cut + 1);
}

long long PluginState::CompareRecord(int compareIndex) const {
  if (!IsCompareIndex(compareIndex)) return -1;
  const auto first = std::find_if(fields.begin(), fields.end(), [](const FieldDefinition& f) {
    return settings::AnswerKindOf(f.type) == settings::AnswerKind::CompareOnly;
  });
  if (first == fields.end()) return -1;
  const long long record =
      (first - fields.begin()) + (static_cast<long long>(compareIndex) - kFirstCompareIndex);
  return record < VisibleCount() ? record : -1;
}

}  // namespace qm::plugin
