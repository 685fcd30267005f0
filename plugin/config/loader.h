// Loading the settings: the one-time set-up the host triggers with
// ContentSetDefaultParams. Whatever goes wrong, the plugin ends up with a
// usable field table; nothing is reported but the compile-error log.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "plugin/config/plugin_state.h"

namespace qm::plugin {

// Loads the Outside In libraries from the folder the configured text names
// (UTF-16, as read from the settings; the plugin's folder is given for a
// relative one). True when they are loaded.
using OutsideInLoader =
    std::function<bool(const std::u16string& configured, const std::u16string& moduleFolder)>;

// Reads the settings file beside the plugin, fills state.settings, compiles
// every field, builds the filter map, the full-text exclusions, the display
// names and the random-string tables. state.modulePath (or modulePathAnsi)
// must be set. loadOutsideIn (may be empty: no Outside In) runs when the
// plugin's wide path is known; the full-text field exists only when it
// answers true. Runs once per state.
void LoadConfiguration(PluginState& state, std::uint32_t versionHi, std::uint32_t versionLow,
                       const OutsideInLoader& loadOutsideIn = {});

// Fills the set from "OitFulltextExclude": ";"-separated numbers and ranges
// "a-b" of four-digit numbers. 1999 is always in the set.
void ParseFulltextExcludeList(const std::string& text, FulltextExcludeSet& set);

}  // namespace qm::plugin
