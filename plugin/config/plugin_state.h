// The plugin's process-wide state: created when the library is attached,
// filled once by the settings load, released when it is detached.
//
// After loading only four members change: the AbortSet and the result cache
// (each behind its own lock), the random generator (its draws locked) and
// the full-text document of the Outside In libraries (behind its own lock,
// see ServeFulltext).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugin/evaluation/field_definition.h"
#include "plugin/evaluation/abort_set.h"
#include "plugin/evaluation/plugin_settings.h"
#include "plugin/evaluation/random_string.h"
#include "plugin/evaluation/result_cache.h"
#include "settings_format/char_tables.h"

namespace qm::plugin {

class OutsideInLibraries;  // the text filters' (filters/outside_in.h)

// Field indices from here on name the compare fields: kFirstCompareIndex + k
// is the record k places after the first "File compare" field.
inline constexpr int kFirstCompareIndex = 10000;
inline constexpr bool IsCompareIndex(int index) { return index >= kFirstCompareIndex; }

struct PluginState {
  PluginSettings settings;
  FieldTable fields;
  FilterExtensionMap filters;
  FulltextExcludeSet fulltextExclude;
  settings::CharTables ansiTables;
  settings::CharTables oemTables;
  std::vector<std::uint8_t> randomCharacterTable;  // 65536 entries once loaded
  RandomGenerator random;
  AbortSet abortSet;
  ResultCacheStore cache;
  // Made when the library is attached (null in a state made elsewhere) and
  // loaded, when the settings name them, through LoadConfiguration's
  // library loader.
  std::shared_ptr<OutsideInLibraries> outsideIn;

  std::u16string modulePath;      // full path of the plugin library (UTF-16)
  std::string modulePathAnsi;     // only when the UTF-16 query failed
  std::u16string converterCommand;  // the converter program beside the plugin
  bool loaded = false;            // ContentSetDefaultParams has run

  // Visible fields: the table without its hidden trailing records.
  int VisibleCount() const {
    const int n = static_cast<int>(fields.size()) - kInternalFieldCount;
    return n < 0 ? 0 : n;
  }
  // The record a compare index names, inside the visible table; -1 when
  // there is none (no compare field, or beyond the table).
  long long CompareRecord(int compareIndex) const;
  // The field of CompareRecord; null when there is none.
  const FieldDefinition* CompareField(int compareIndex) const {
    const long long record = CompareRecord(compareIndex);
    return record < 0 ? nullptr : &fields[static_cast<std::size_t>(record)];
  }
  const FieldDefinition* LineBreakField() const { return fields.empty() ? nullptr : &fields.back(); }
  // The folder of the plugin, with its trailing separator (UTF-16).
  std::u16string ModuleFolder() const;
};

}  // namespace qm::plugin
