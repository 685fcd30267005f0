// What the settings utility edits: the fields, the filter extensions and the
// global options of the sections [Quarrymark] and [Quarrymark_filters].
//
// Plain values with their defaults; key names and defaults come from
// settings_format.h. A block is copied freely (the current block and the
// snapshot taken after loading and after every successful Apply).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "settings_format/settings_format.h"

namespace qm::utility {

// The default replace template as the editor shows it.
inline constexpr char16_t kDefaultReplaceText[] = u"$0\\x20";
// The expression that stands for an empty one.
inline constexpr char16_t kMatchAllText[] = u".*";

// One field, slot i being field number i + 1 of the file.
struct FieldSlot {
  std::u16string expression = kMatchAllText;  // never empty once stored
  int type = 0;                               // FieldType, -1..7
  std::u16string name;                        // may be empty
  std::u16string replace = kDefaultReplaceText;  // empty and "$0\x20" both mean the default
  std::uint32_t flags = 0;                    // settings::flags bits, 0..127

  bool operator==(const FieldSlot& o) const {
    return expression == o.expression && type == o.type && name == o.name &&
           replace == o.replace && flags == o.flags;
  }
};

// A text filter of an extension pattern. Kinds are settings::FilterKind
// numbers: 1 Outside In, 2 the converter.
struct FilterEntry {
  std::uint32_t kind = static_cast<std::uint32_t>(settings::FilterKind::Converter);
  std::u16string option;  // "|i" for a converter entry with the iFilter option, else empty

  bool operator==(const FilterEntry& o) const { return kind == o.kind && option == o.option; }
};

// Extension pattern (compared code unit by code unit, so case-sensitive) to
// its filter, in key order.
using FilterMap = std::map<std::u16string, FilterEntry>;

struct SettingsBlock {
  std::vector<FieldSlot> fields = std::vector<FieldSlot>(settings::kMaxFields);
  FilterMap filters;

  bool modFieldName = settings::kModFieldName.defaultValue;
  bool sortFields = settings::kSortFields.defaultValue;
  bool regex1Extern = settings::kRegex1Extern.defaultValue;
  bool matchAllForErrors = settings::kMatchAllForErrors.defaultValue;
  bool logErrors = settings::kLogErrors.defaultValue;
  bool clearCacheOnReread = settings::kClearCacheOnReread.defaultValue;
  bool unicodeZerosValid = settings::kUnicodeZerosValid.defaultValue;
  bool normalSearchForFilterFail = settings::kNormalSearchForFilterFail.defaultValue;
  bool caseSensitiveDefault = settings::kCaseSensitiveDefault.defaultValue;
  bool oitFulltextTreatUnknownFileFormatAsText =
      settings::kOitFulltextTreatUnknownFileFormatAsText.defaultValue;

  std::int32_t fileMemory = settings::kFileMemory.defaultValue;
  std::int32_t onDemandLimit = settings::kOnDemandLimit.defaultValue;
  std::int32_t globalFileSizeLimit = settings::kGlobalFileSizeLimit.defaultValue;
  std::int32_t analyzeBuffer = settings::kAnalyzeBuffer.defaultValue;
  std::int32_t resultCache = settings::kResultCache.defaultValue;
  std::int32_t randomLength = settings::kRandomLength.defaultValue;
  std::int32_t randomLoops = settings::kRandomLoops.defaultValue;
  std::int32_t converterTimeLimit = settings::kConverterTimeLimit.defaultValue;  // seconds, 0 = none

  std::int16_t regexCount = settings::kRegexCount.defaultValue;  // active fields, 1..999

  std::u16string oitDllPath32;
  std::u16string oitDllPath64;
  std::u16string oitFulltextExclude;
};

}  // namespace qm::utility
