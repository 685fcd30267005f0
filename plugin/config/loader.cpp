// Loading the settings file into the plugin's state.
//
// The steps run in a fixed order: byte order and interface version, the
// settings file's name, the character tables, reading the file, the global
// options, the fields, the filters, the fallback fields, the external
// expression file, the error log, display names and sorting, Outside In, the
// exclusions, compare fields last, the line-break field, the random tables.
#include "plugin/config/loader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <random>

#include "plugin/config/compile.h"
#include "plugin/content/encoding.h"
#include "plugin/content/file_access.h"
#include "plugin/evaluation/code_page.h"
#include "settings_format/ini_document.h"
#include "settings_format/settings_file.h"

namespace qm::plugin {
namespace {

using settings::FieldType;

// A file beside the plugin, named the way every file call wants it.
struct SiblingFile {
  std::u16string wide;
  std::string narrow;
  platform::FileName Name() const {
    platform::FileName name;
    if (!wide.empty()) {
      name.wide = wide.c_str();
    } else {
      name.narrow = narrow.c_str();
    }
    return name;
  }
};

SiblingFile Sibling(const PluginState& state, const char* fileName) {
  SiblingFile file;
  if (!state.modulePath.empty()) {
    std::u16string folder = state.ModuleFolder();
    for (const char* p = fileName; *p != 0; ++p) folder += static_cast<char16_t>(*p);
    file.wide = MakeLongPath(folder);
  } else {
    const std::size_t cut = state.modulePathAnsi.find_last_of(platform::kPathSeparatorsNarrow);
    file.narrow = (cut == std::string::npos ? std::string() : state.modulePathAnsi.substr(0, cut + 1)) +
                  fileName;
  }
  return file;
}

std::u16string Utf8ToWide(const PluginSettings& settings, const std::string& text) {
  std::u16string wide;
  ToWide(settings, text.data(), text.size(), &wide, false, false);
  return wide;
}

std::u16string Ascii(const char* text) {
  std::u16string wide;
  for (const char* p = text; *p != 0; ++p) wide += static_cast<char16_t>(*p);
  return wide;
}

// What the settings file says beyond PluginSettings: the choices the later
// steps of loading act on.
struct LoadOptions {
  bool regex1Extern = settings::kRegex1Extern.defaultValue;
  bool logErrors = settings::kLogErrors.defaultValue;
  bool sortFields = settings::kSortFields.defaultValue;
  std::string excludeList;  // "OitFulltextExclude" as written
  std::string oitPath;      // the Outside In folder as written
  int fieldCount = 0;
};

void ReadGlobalOptions(const settings::IniDocument& ini, PluginSettings& s, LoadOptions& options) {
  using namespace settings;
  const auto get = [&](const char* key) { return ini.GetValue(kMainSection, key, nullptr); };
  const auto integer = [&](const IntegerKey& key, long* out) {
    const char* text = get(key.name);
    if (text == nullptr) return false;
    const auto value = ParseInteger(text);
    if (!value || *value < key.minValue || *value > key.maxValue) return false;
    *out = *value;
    return true;
  };
  long v = 0;
  if (integer(kFileMemory, &v)) s.fileMemory = static_cast<std::int32_t>(v);
  if (integer(kOnDemandLimit, &v)) s.onDemandLimit = static_cast<std::uint64_t>(v) * kMegabyte;
  if (integer(kGlobalFileSizeLimit, &v)) s.globalFileSizeLimit = static_cast<std::uint64_t>(v) * kMegabyte;
  if (integer(kAnalyzeBuffer, &v)) s.analyzeBuffer = AnalyzeBufferBytes(v);
  if (integer(kResultCache, &v)) s.resultCache = ResultCacheEntries(v);
  if (integer(kRandomLength, &v)) s.randomLength = static_cast<std::int32_t>(v);
  if (integer(kRandomLoops, &v)) s.randomLoops = RandomLoopCount(v);
  if (integer(kConverterTimeLimit, &v)) s.converterTimeLimit = static_cast<std::uint32_t>(v);
  options.regex1Extern = ReadBool(get(kRegex1Extern.name), kRegex1Extern);
  s.matchAllForErrors = ReadBool(get(kMatchAllForErrors.name), kMatchAllForErrors);
  s.modFieldName = ReadBool(get(kModFieldName.name), kModFieldName);
  options.logErrors = ReadBool(get(kLogErrors.name), kLogErrors);
  s.clearCacheOnReread = ReadBool(get(kClearCacheOnReread.name), kClearCacheOnReread);
  s.unicodeZerosValid = ReadBool(get(kUnicodeZerosValid.name), kUnicodeZerosValid);
  s.normalSearchForFilterFail =
      ReadBool(get(kNormalSearchForFilterFail.name), kNormalSearchForFilterFail);
  options.sortFields = ReadBool(get(kSortFields.name), kSortFields);
  s.caseSensitiveDefault = ReadBool(get(kCaseSensitiveDefault.name), kCaseSensitiveDefault);
  s.oitFulltextTreatUnknownFileFormatAsText = ReadBool(
      get(kOitFulltextTreatUnknownFileFormatAsText.name), kOitFulltextTreatUnknownFileFormatAsText);
  // The 64-bit Windows plugin takes the folder of the 64-bit libraries.
#if defined(_WIN32) && defined(_WIN64)
  const char* oit = get(kOitDllPath64);
#else
  const char* oit = get(kOitDllPath32);
#endif
  options.oitPath = oit != nullptr ? oit : "";
  const char* exclude = get(kOitFulltextExclude);
  options.excludeList = exclude != nullptr ? exclude : "";
  // "regexcount" is clamped, not range-checked.
  options.fieldCount = static_cast<int>(kRegexCount.defaultValue);
  if (const char* text = get(kRegexCount.name)) {
    if (const auto count = ParseInteger(text)) {
      options.fieldCount = static_cast<int>(std::clamp<long>(*count, 1, kMaxFields));
    }
  }
}

// Configured field values before compilation.
struct FieldSource {
  std::string name;
  FieldType type = FieldType::Boolean;
  std::uint32_t flags = 0;
  std::u16string replace;
};

FieldType StoredType(long type) {
  return static_cast<FieldType>(type < settings::kMinStoredType || type > settings::kMaxStoredType
                                    ? 0
                                    : type);
}

// An entry for a field that has no usable program: error flag set, Boolean
// (EncodingCheck for a configured encoding check), nothing compiled.
FieldDefinition ErrorPlaceholder(const std::string& name, FieldType configuredType) {
  const bool encoding = configuredType == FieldType::EncodingCheck;
  FieldDefinition record =
      MakeFieldDefinition(name, 0, encoding ? FieldType::EncodingCheck : FieldType::Boolean);
  record.compileError = true;
  return record;
}

// Compiles one configured field with the fallbacks for an empty or broken
// expression, so that every field number yields exactly one record at its
// position (index 0 replaces the first record).
void CompileConfiguredField(PluginState& state, const std::u16string& configured, int index,
                            const FieldSource& source, std::string& errorLog) {
  const std::u16string matchAll = Ascii(settings::kMatchAllExpression);
  const std::u16string defaultReplace = Ascii(settings::kDefaultReplace);
  const bool empty = configured.empty();
  const bool compiled = CompileField(state, empty ? matchAll : configured, index, source.name,
                                     errorLog, source.type, source.flags,
                                     empty ? defaultReplace : source.replace);
  if (compiled && !empty) return;
  const auto place = [&](FieldDefinition record) {
    if (index == 0 && !state.fields.empty()) {
      state.fields[0] = std::move(record);
    } else {
      state.fields.push_back(std::move(record));
    }
  };
  if (state.settings.matchAllForErrors) {
    if (!empty) {
      CompileField(state, matchAll, index, source.name, errorLog, source.type, source.flags,
                   defaultReplace);
    }
    return;
  }
  if (!empty) {
    place(ErrorPlaceholder(source.name, source.type));
    return;
  }
  // The ".*" record just stored stays, flagged as an error.
  FieldDefinition& record = index == 0 ? state.fields.front() : state.fields.back();
  record.compileError = true;
  const bool encoding = source.type == FieldType::EncodingCheck;
  record.type = encoding ? FieldType::EncodingCheck : FieldType::Boolean;
}

// The expression of field 1 from "regex1.txt": UTF-16 either byte order,
// UTF-8 or the ANSI code page, decided over the whole file; the byte-order
// mark is skipped, nothing else is changed. Empty when the file is missing,
// empty, larger than 64 KiB or unreadable.
std::u16string ReadExternalExpression(PluginState& state) {
  const SiblingFile file = Sibling(state, settings::kExternalExpressionFileName);
  const platform::FileName name = file.Name();
  std::u16string expression;
  if (!FileExists(name)) return expression;
  platform::File handle = platform::OpenFile(name, platform::OpenMode::kReadShared);
  if (!handle.IsOpen()) return expression;
  const std::int64_t size = QueryFileSize(name);
  const std::uint32_t savedAnalyzeBuffer = state.settings.analyzeBuffer;
  state.settings.analyzeBuffer = settings::kMaxExternalExpressionBytes;
  if (size >= 1 && size <= static_cast<std::int64_t>(settings::kMaxExternalExpressionBytes)) {
    EvaluationState decision;
    EncodingSample sample;
    std::uint32_t bom = 0;
    if (ReadEncodingSample(size, &bom, handle, decision, &sample, state.settings)) {
      const char* text = sample.bytes.get() + bom;
      const std::size_t count = sample.length - bom;
      if (decision.isUtf16) {
        const bool swap = decision.bigEndian != state.settings.bigEndianMachine;
        for (std::size_t i = 0; i + 1 < count; i += 2) {
          const auto lo = static_cast<unsigned char>(text[swap ? i + 1 : i]);
          const auto hi = static_cast<unsigned char>(text[swap ? i : i + 1]);
          expression.push_back(static_cast<char16_t>(lo | (hi << 8)));
        }
      } else {
        ToWide(state.settings, text, count, &expression, !decision.isUtf8, false);
      }
    }
  }
  state.settings.analyzeBuffer = savedAnalyzeBuffer;
  return expression;
}

void BuildDisplayNames(PluginState& state) {
  const PluginSettings& s = state.settings;
  int position = 1;
  for (FieldDefinition& record : state.fields) {
    const std::string defaultName = "PCRE-RegEx" + std::to_string(position++);
    if (!s.modFieldName) {
      record.displayName = defaultName;
      continue;
    }
    std::string utf8;
    if (record.compileError && settings::RunsExpression(record.type)) utf8 = "(!)";
    utf8 += record.configuredName.empty() ? defaultName : record.configuredName;
    const std::u16string wide = Utf8ToWide(s, utf8);
    std::string ansi;
    ToNarrow(s, wide.data(), wide.size(), &ansi, true, false);
    std::replace_if(ansi.begin(), ansi.end(), [](char c) { return c == '.' || c == '|' || c == ':'; },
                    '_');
    record.displayName = ansi;
  }
}

std::uint32_t MultibyteFlags(std::uint32_t ansi, std::uint32_t oem) {
  std::uint32_t flags = 0;
  if (platform::IsMultiByteCodePage(oem)) flags |= 2;
  if (platform::IsMultiByteCodePage(ansi)) flags |= 1;
  return flags;
}

// The machine's byte order, what the host's interface version allows and
// the code pages of the process.
void SetMachineSettings(PluginSettings& s, std::uint32_t versionHi, std::uint32_t versionLow) {
  const std::uint32_t one = 1;
  unsigned char firstByte = 0;
  std::memcpy(&firstByte, &one, 1);
  s.bigEndianMachine = firstByte == 0;
  s.fulltextHost = versionHi > 2 || (versionHi == 2 && versionLow >= 11);
  s.ansiCodePage = platform::AnsiCodePage();
  s.oemCodePage = platform::OemCodePage();
}

// The settings file beside the plugin, or the sample settings when there is
// no such regular file.
SiblingFile SettingsFileOf(const PluginState& state) {
  SiblingFile file = Sibling(state, settings::kSettingsFileName);
  platform::FileInfo info;
  if (!platform::QueryFileInfo(file.Name(), &info) || !info.IsRegularFile()) {
    file = Sibling(state, settings::kSampleSettingsFileName);
  }
  return file;
}

// Compiles fields 1 to options.fieldCount in their order. With an external
// expression, field 1 holds a placeholder and its settings go to field1.
void ReadConfiguredFields(const settings::IniDocument& ini, PluginState& state,
                          const LoadOptions& options, FieldSource* field1, std::string& errorLog) {
  using namespace settings;
  const PluginSettings& s = state.settings;
  state.fields.reserve(static_cast<std::size_t>(options.fieldCount + kInternalFieldCount + 1));
  for (int n = 1; n <= options.fieldCount; ++n) {
    const auto value = [&](const char* suffix) {
      return ini.GetValue(kMainSection, FieldKey(n, suffix).c_str(), nullptr);
    };
    FieldSource source;
    if (const char* name = value(kNameSuffix)) source.name = LfToCrLf(name);
    const long type = ReadInteger(value(kTypeSuffix), IntegerKey{"", 0, kMinStoredType, kMaxStoredType});
    source.type = StoredType(type);
    source.flags = static_cast<std::uint32_t>(
        ReadInteger(value(kFlagsSuffix), IntegerKey{"", 0, 0, static_cast<long>(flags::kAll)}));
    const char* replace = value(kReplaceSuffix);
    source.replace = Utf8ToWide(s, LfToCrLf(replace != nullptr ? replace : kDefaultReplace));
    if (options.regex1Extern && n == 1) {
      state.fields.push_back(MakeFieldDefinition(std::string(), 0, FieldType::Boolean));
      *field1 = source;
      continue;
    }
    const char* expression = value("");
    const std::u16string configured =
        Utf8ToWide(s, LfToCrLf(expression != nullptr ? expression : ""));
    CompileConfiguredField(state, configured, n - 1, source, errorLog);
  }
}

// The filter map from [Quarrymark_filters], in the order of the file; a
// value that names no filter is left out.
void ReadFilters(const settings::IniDocument& ini, PluginState& state) {
  settings::IniDocument::TNamesDepend keys;
  if (!ini.GetAllKeys(settings::kFiltersSection, keys)) return;
  keys.sort(settings::IniDocument::Entry::LoadOrder());
  for (const auto& key : keys) {
    if (key.pItem == nullptr || *key.pItem == 0) continue;
    const char* v = ini.GetValue(settings::kFiltersSection, key.pItem, nullptr);
    if (v == nullptr) continue;
    FilterChoice choice;
    if (std::strcmp(v, settings::kFilterXdoc) == 0) {
      choice.kind = settings::FilterKind::Converter;
    } else if (std::strcmp(v, settings::kFilterXdocIndexed) == 0) {
      choice.kind = settings::FilterKind::Converter;
      choice.option = u"-i ";
    } else if (std::strcmp(v, settings::kFilterOit) == 0) {
      choice.kind = settings::FilterKind::OutsideIn;
    } else {
      continue;
    }
    state.filters[Utf8ToWide(state.settings, key.pItem)] = choice;
  }
}

// Reads the settings file (as the settings utility reads it, NUL bytes left
// out) when the interface version allows: the global options, the fields
// and the filters. A file that cannot be used leaves the defaults, with the
// host's default field names.
void ReadSettingsFile(const SiblingFile& file, std::uint32_t versionHi, std::uint32_t versionLow,
                      PluginState& state, LoadOptions& options, FieldSource* field1,
                      std::string& errorLog) {
  const bool versionReads = versionHi > 1 || (versionHi == 1 && versionLow >= 4);
  settings::SettingsText text;
  if (versionReads) text = settings::ReadSettingsText(file.Name());
  if (!versionReads || !text.Usable()) {
    state.settings.modFieldName = true;
    return;
  }
  auto ini = std::make_unique<settings::IniDocument>();
  settings::ConfigureIniDocument(*ini);
  ini->LoadData(text.text.data(), text.text.size());
  ReadGlobalOptions(*ini, state.settings, options);
  ReadConfiguredFields(*ini, state, options, field1, errorLog);
  ReadFilters(*ini, state);
}

// No configured field: four fields that match everything or are flagged
// broken.
void AddFallbackFields(PluginState& state, std::string& errorLog) {
  for (int index = 0; index < 4; ++index) {
    if (state.settings.matchAllForErrors) {
      CompileField(state, Ascii(settings::kMatchAllExpression), index, std::string(), errorLog,
                   FieldType::Boolean, 0, Ascii(settings::kDefaultReplace));
    } else {
      state.fields.push_back(ErrorPlaceholder(std::string(), FieldType::Boolean));
    }
  }
}

// The display names, then the fields sorted by them when the settings ask
// and every field compiled.
void NameAndSortFields(PluginState& state, bool sortFields) {
  BuildDisplayNames(state);
  const bool anyError = std::any_of(state.fields.begin(), state.fields.end(),
                                    [](const FieldDefinition& f) { return f.compileError; });
  if (state.settings.modFieldName && sortFields && !anyError) {
    std::stable_sort(state.fields.begin(), state.fields.end(),
                     [](const FieldDefinition& a, const FieldDefinition& b) {
                       return platform::CollateNarrow(a.displayName, b.displayName) < 0;
                     });
  }
}

// Loads Outside In when the plugin's wide path is known, and adds the
// full-text field after the configured ones when it loaded and the host
// can ask for it.
void AddFulltextField(PluginState& state, const std::string& oitPath,
                      const OutsideInLoader& loadOutsideIn) {
  const bool loaded = !state.modulePath.empty() && loadOutsideIn &&
                      loadOutsideIn(Utf8ToWide(state.settings, oitPath), state.ModuleFolder());
  if (!state.settings.fulltextHost || !loaded) return;
  std::string ignored;
  if (CompileField(state, Ascii(settings::kMatchAllExpression), kFulltextFieldIndex,
                   "Oracle Outside In fulltext search", ignored, FieldType::OutsideInFulltext, 0,
                   u"$0")) {
    state.fields.back().displayName = "Oracle Outside In fulltext search";
  }
}

// The compare fields move behind all others (keeping their order), and the
// hidden line-break field comes last.
void ArrangeTableEnd(PluginState& state) {
  std::stable_partition(state.fields.begin(), state.fields.end(),
                        [](const FieldDefinition& f) { return f.type != FieldType::FileCompare; });
  std::string ignored;
  CompileField(state, u"\\R", kLineBreakFieldIndex, std::string(), ignored, FieldType::Boolean, 0,
               u"$0");
}

}  // namespace

void ParseFulltextExcludeList(const std::string& text, FulltextExcludeSet& set) {
  set.insert(1999);
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    const std::string piece = text.substr(start, end - start);
    start = end + 1;
    if (piece.empty() || piece[0] < '0' || piece[0] > '9') continue;
    std::size_t i = 0;
    unsigned long first = 0;
    while (i < piece.size() && piece[i] >= '0' && piece[i] <= '9' && first < 100000) {
      first = first * 10 + static_cast<unsigned long>(piece[i++] - '0');
    }
    if (first < 1000 || first > 9999) continue;
    if (i < piece.size() && piece[i] == '-' && i + 1 < piece.size() && piece[i + 1] >= '0' &&
        piece[i + 1] <= '9') {
      std::size_t j = i + 1;
      unsigned long second = 0;
      while (j < piece.size() && piece[j] >= '0' && piece[j] <= '9' && second < 100000) {
        second = second * 10 + static_cast<unsigned long>(piece[j++] - '0');
      }
      if (second >= 1000 && second <= 9999 && second > first) {
        for (unsigned long n = first; n <= second; ++n) set.insert(static_cast<std::uint32_t>(n));
        continue;
      }
    }
    set.insert(static_cast<std::uint32_t>(first));
  }
}

void LoadConfiguration(PluginState& state, std::uint32_t versionHi, std::uint32_t versionLow,
                       const OutsideInLoader& loadOutsideIn) {
  PluginSettings& s = state.settings;
  SetMachineSettings(s, versionHi, versionLow);
  const SiblingFile settingsFile = SettingsFileOf(state);
  state.oemTables = settings::MakeCharTables(s.oemCodePage);
  state.ansiTables = settings::MakeCharTables(s.ansiCodePage);

  LoadOptions options;
  std::string errorLog;
  FieldSource field1;  // kept for the external expression
  ReadSettingsFile(settingsFile, versionHi, versionLow, state, options, &field1, errorLog);
  if (state.fields.empty()) AddFallbackFields(state, errorLog);
  if (options.regex1Extern) {
    CompileConfiguredField(state, ReadExternalExpression(state), 0, field1, errorLog);
  }
  if (options.logErrors && !errorLog.empty()) WriteErrorLog(state, errorLog);

  NameAndSortFields(state, options.sortFields);
  AddFulltextField(state, options.oitPath, loadOutsideIn);
  ParseFulltextExcludeList(options.excludeList, state.fulltextExclude);
  ArrangeTableEnd(state);

  state.random.Seed(static_cast<std::uint32_t>(platform::CurrentTimeSeconds()));
  s.multibyteCodePageFlags = MultibyteFlags(s.ansiCodePage, s.oemCodePage);
  state.randomCharacterTable = MakeRandomCharacterTable();
  state.loaded = true;
}

}  // namespace qm::plugin
