// The values of [Quarrymark_filters] as the settings utility reads and
// writes them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config_utility/model/settings_block.h"

namespace qm::utility {

// The utility's lenient reading of a filter value: "xdoc" and then "oit" are
// tried as a prefix of the value as stored, and when that fails, of the value
// in lower case. "xdoc" gives the converter, "oit" Outside In. The "|i" option
// is set only for a converter value of exactly six characters ending in "|i"
// (judged on the lower-case form when that was the one that matched). Null
// when neither prefix matches: such entries are dropped.
std::optional<FilterEntry> ClassifyFilterValue(std::string_view value);

// "oit" for Outside In, else "xdoc", followed by the option text (UTF-8).
std::string FormatFilterValue(const FilterEntry& entry);

}  // namespace qm::utility
