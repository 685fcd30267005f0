// The values of [Quarrymark_filters] in the settings utility.
#include "config_utility/model/filter_values.h"

#include "config_utility/model/text.h"
#include "settings_format/settings_format.h"

namespace qm::utility {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// ASCII lower case: the prefixes and the option are ASCII, and the process
// locale is not consulted.
std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::optional<FilterEntry> ClassifyFilterValue(std::string_view value) {
  const std::string lowered = AsciiLower(value);
  struct Candidate {
    std::string_view prefix;
    settings::FilterKind kind;
  };
  for (const Candidate c : {Candidate{settings::kFilterXdoc, settings::FilterKind::Converter},
                            Candidate{settings::kFilterOit, settings::FilterKind::OutsideIn}}) {
    std::string_view matched = value;
    if (!StartsWith(matched, c.prefix)) {
      matched = lowered;
      if (!StartsWith(matched, c.prefix)) continue;
    }
    FilterEntry entry;
    entry.kind = static_cast<std::uint32_t>(c.kind);
    const std::string_view option = settings::kFilterOptionSuffix;
    if (c.kind == settings::FilterKind::Converter && matched.size() == 6 &&
        matched.substr(matched.size() - option.size()) == option) {
      entry.option = Widen(option);
    }
    return entry;
  }
  return std::nullopt;
}

std::string FormatFilterValue(const FilterEntry& entry) {
  std::string value =
      entry.kind == static_cast<std::uint32_t>(settings::FilterKind::OutsideIn)
          ? settings::kFilterOit
          : settings::kFilterXdoc;
  value += ToUtf8(entry.option);
  return value;
}

}  // namespace qm::utility
