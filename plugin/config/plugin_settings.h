// The plugin's global options: written while the settings load, read-only
// afterwards (read by requests without a lock).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "settings_format/settings_format.h"

namespace qm::plugin {

struct PluginSettings {
  std::int32_t fileMemory = 10;                       // megabytes
  std::uint64_t onDemandLimit = 52428800;             // bytes
  std::uint64_t globalFileSizeLimit = 2147483648ull;  // bytes
  std::uint32_t analyzeBuffer = 262144;               // bytes of the encoding sample
  std::uint32_t resultCache = 16384;                  // entries; 0 = off
  std::int32_t randomLength = 32;                     // characters
  std::uint32_t randomLoops = 1048576;                // attempts per character
  std::uint32_t converterTimeLimit = 60;              // seconds per converter run; 0 = none
  bool matchAllForErrors = false;
  bool modFieldName = true;
  bool clearCacheOnReread = false;
  bool unicodeZerosValid = false;
  bool normalSearchForFilterFail = true;
  bool caseSensitiveDefault = false;
  bool oitFulltextTreatUnknownFileFormatAsText = false;
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
