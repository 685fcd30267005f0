#include "plugin/config/plugin_state.h"

namespace qm::plugin {

std::u16string PluginState::ModuleFolder() const {
  const std::size_t cut = modulePath.find_last_of(platform::kPathSeparators);
  return cut == std::u16string::npos ? std::u16string() : modulePath.substr(0, cut + 1);
}

}  // namespace qm::plugin
