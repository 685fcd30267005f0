// Code-page conversion of the plugin's text: the field's narrow code page
// (ANSI or OEM, from the loaded settings) or UTF-8, to and from UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "plugin/evaluation/plugin_settings.h"

namespace qm::plugin {

// Code page of a conversion: UTF-8 unless ansi is set; then OEM when oem is
// set, else ANSI.
std::uint32_t CodePageFor(const PluginSettings& settings, bool ansi, bool oem);

// Appends the UTF-16 form of the bytes. Null or empty input does nothing.
void ToWide(const PluginSettings& settings, const char* bytes, std::size_t count,
            std::u16string* out, bool ansi, bool oem);
// Appends the narrow form of the units; characters the code page cannot hold
// become its default character.
void ToNarrow(const PluginSettings& settings, const char16_t* units, std::size_t count,
              std::string* out, bool ansi, bool oem);

}  // namespace qm::plugin
