// The help texts, kept as UTF-8 with LF and shown with CR LF.
#include "config_utility/help/help_texts.h"

#include "config_utility/model/text.h"

namespace qm::utility {

namespace help_data {
extern const char k_regex_help[];
extern const char k_replace_help[];
}  // namespace help_data

std::u16string RegexHelpText() { return FromStored(help_data::k_regex_help); }
std::u16string ReplaceHelpText() { return FromStored(help_data::k_replace_help); }

}  // namespace qm::utility
