// Shared set-up of the fuzz targets: a private folder, files written into
// it, and a plugin state loaded from a settings text the way the exports
// load it (the settings file beside the plugin's own path).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "plugin/config/plugin_state.h"

namespace qm::fuzz {

// The fuzzer's own folder under the temporary folder (made once), with its
// trailing "/".
const std::string& WorkFolder();

// Writes bytes to name in the work folder; returns the full path.
std::string WriteWorkFile(const std::string& name, const void* bytes, std::size_t size);

// A fresh state loaded from settingsText (written as Quarrymark.ini).
std::unique_ptr<plugin::PluginState> LoadState(const std::string& settingsText);

// Asks every field of the state (and the compare range) for its name.
void ListFields(const plugin::PluginState& state);

}  // namespace qm::fuzz
