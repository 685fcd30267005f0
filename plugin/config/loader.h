// Loading the settings: the one-time set-up the host triggers with
// ContentSetDefaultParams. Whatever goes wrong, the plugin ends up with a
// usable field table; nothing is reported but the compile-error log.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/config/plugin_state.h"

namespace qm::plugin {

// Reads the settings file beside the plugin, fills state.settings, compiles
// every field, builds the filter map, the full-text exclusions, the display
// names and the random-string tables. state.modulePath (or modulePathAnsi)
// must be set. Runs once per state.
void LoadConfiguration(PluginState& state, std::uint32_t versionHi, std::uint32_t versionLow);

// Fills the set from "OitFulltextExclude": ";"-separated numbers and ranges
// "a-b" of four-digit numbers. 1999 is always in the set.
void ParseFulltextExcludeList(const std::string& text, FulltextExcludeSet& set);

}  // namespace qm::plugin
