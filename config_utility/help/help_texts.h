// The help pane's texts: the expression syntax summary and the replace
// template language. Plain text for a fixed-pitch layout, lines ending in
// CR LF, from the first heading to the last line.
#pragma once

#include <string>

namespace qm::utility {

std::u16string RegexHelpText();
std::u16string ReplaceHelpText();

}  // namespace qm::utility
