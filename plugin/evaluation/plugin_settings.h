// The plugin's global options: written while the settings load, read-only
// afterwards (read by requests without a lock).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "settings_format/settings_format.h"

namespace qm::plugin {

// Every default comes from the settings file's key table; the loader
// overwrites a member only when its key holds a valid value.
struct PluginSettings {
  std::int32_t fileMemory = settings::kFileMemory.defaultValue;  // megabytes
  std::uint64_t onDemandLimit =  // bytes
      static_cast<std::uint64_t>(settings::kOnDemandLimit.defaultValue) * settings::kMegabyte;
  std::uint64_t globalFileSizeLimit =  // bytes
      static_cast<std::uint64_t>(settings::kGlobalFileSizeLimit.defaultValue) * settings::kMegabyte;
  std::uint32_t analyzeBuffer =  // bytes of the encoding sample
      settings::AnalyzeBufferBytes(settings::kAnalyzeBuffer.defaultValue);
  std::uint32_t resultCache =  // entries; 0 = off
      settings::ResultCacheEntries(settings::kResultCache.defaultValue);
  std::int32_t randomLength = settings::kRandomLength.defaultValue;  // characters
  std::uint32_t randomLoops =  // attempts per character
      settings::RandomLoopCount(settings::kRandomLoops.defaultValue);
  std::uint32_t converterTimeLimit =  // seconds per converter run; 0 = none
      static_cast<std::uint32_t>(settings::kConverterTimeLimit.defaultValue);
  bool matchAllForErrors = settings::kMatchAllForErrors.defaultValue;
  bool modFieldName = settings::kModFieldName.defaultValue;
  bool clearCacheOnReread = settings::kClearCacheOnReread.defaultValue;
  bool unicodeZerosValid = settings::kUnicodeZerosValid.defaultValue;
  bool normalSearchForFilterFail = settings::kNormalSearchForFilterFail.defaultValue;
  bool caseSensitiveDefault = settings::kCaseSensitiveDefault.defaultValue;
  bool oitFulltextTreatUnknownFileFormatAsText =
      settings::kOitFulltextTreatUnknownFileFormatAsText.defaultValue;
  bool fulltextHost = false;       // the host speaks interface 2.11 or later
  bool bigEndianMachine = false;
  std::uint32_t multibyteCodePageFlags = 0;  // 1: ANSI is multi-byte; 2: OEM is

  std::uint32_t ansiCodePage = 1252;  // fixed at load
  std::uint32_t oemCodePage = 437;
};

// How a file name is routed to a text filter.
struct FilterChoice {
  settings::FilterKind kind = settings::FilterKind::None;
  std::u16string option;  // converter option text: "-i " or empty
};

// Extension pattern (UTF-16, code-unit order) to filter.
using FilterExtensionMap = std::map<std::u16string, FilterChoice>;
// Outside In file-format numbers the full-text field skips.
using FulltextExcludeSet = std::set<std::uint32_t>;

}  // namespace qm::plugin
