// Whether two matches of a comparison are equal, in one encoding or across
// two (UTF-16, UTF-8, or ANSI/OEM bytes in the field's code page).
#pragma once

#include <cstddef>

#include "plugin/evaluation/field_definition.h"
#include "plugin/evaluation/plugin_settings.h"

namespace qm::plugin {

// Whether two matches of a comparison are equal, for text of the two given
// encodings (each: UTF-16 units in machine order, UTF-8 bytes, or ANSI/OEM
// bytes in the field's code page). Lengths are in code units. Exposed for
// tests: the mixed-encoding path converts in slices.
struct CompareText {
  const void* text = nullptr;
  std::size_t units = 0;
  bool utf8 = false;
  bool utf16 = false;
};
bool MatchesEqual(const PluginSettings& settings, const FieldDefinition& field,
                  const CompareText& first, const CompareText& second);

// Test hook: the size of one conversion slice in the mixed-encoding
// comparison (0 restores the default of 65536), so that slice edges can be
// reached with small texts.
void SetCompareSliceForTesting(std::size_t units);

}  // namespace qm::plugin
