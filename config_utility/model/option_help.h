// What each setting means, for the tooltips of the settings programs: the
// meaning, default and unit of every global option, and the stored number of
// every field type and flag bit. Defaults and numbers are taken from
// settings_format, so a changed default shows here by itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qm::utility {

// Tooltip of a global option by its settings key ("FileMemory", ...): its
// meaning, its default with the unit, and the key as the file stores it.
// Empty for a key without a description.
std::u16string OptionTooltip(std::string_view key);

// Tooltip of a field type button, -1..7: what the field answers and the
// number stored as regexNtype.
std::u16string FieldTypeTooltip(int type);

// Tooltip of a field flag box by its bit value (1, 2, 4 ... 64): what it does
// and the value it adds to regexNflags.
std::u16string FieldFlagTooltip(std::uint32_t bit);

// Tooltip of the field-count list: the regexcount key, its default and range.
std::u16string FieldCountTooltip();

}  // namespace qm::utility
