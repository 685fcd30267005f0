// What `settings check` warns about in the [Quarrymark] section, beyond the
// compile status of each expression: the plugin silently keeps defaults for
// all of these, so a typo would otherwise go unnoticed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm::host {

struct SettingsWarning {
  int line = 0;  // 1-based line of the settings file
  std::string text;
};

// Unknown keys, values of numeric keys that are not numbers, keys given more
// than once, and active fields (1 to regexcount) with an expression but no
// name. Keys and section names compare without case, as the plugin reads
// them; multi-line values (<<<TAG ... TAG) are skipped whole.
std::vector<SettingsWarning> LintSettings(std::string_view bytes);

}  // namespace qm::host
