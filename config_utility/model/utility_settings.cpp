// Loading and saving the settings utility's state.
//
// Divisions: file location; reading values; LoadSettings; putting the record
// into the document; SerializeDocument; ReplaceFileContents; SaveSettings.
#include "config_utility/model/utility_settings.h"

#include <algorithm>
#include <list>
#include <optional>
#include <vector>

#include "config_utility/model/filter_values.h"
#include "config_utility/model/sample_text.h"
#include "config_utility/model/text.h"
#include "settings_format/settings_file.h"

namespace qm::utility {
namespace {

namespace sf = settings;

constexpr std::size_t kMaxShortPath = 259;  // longer paths need the extended-length form
constexpr int kTemporaryNameAttempts = 16;

// Accepted ranges of the per-field integers in the utility (the plugin also
// accepts type 8, which the utility shows and saves as 0).
constexpr sf::IntegerKey kFieldTypeRange{"", 0, sf::kMinStoredType, sf::kMaxUtilityType};
constexpr sf::IntegerKey kFieldFlagsRange{"", 0, 0, sf::flags::kAll};

platform::FileName Wide(const std::u16string& path) {
  platform::FileName name;
  name.wide = path.c_str();
  return name;
}

std::u16string ExtendedLengthForm(const std::u16string& path) {
  if (!platform::kHasLongPathForm || path.size() <= kMaxShortPath) return path;
  if (path.rfind(u"\\\\?\\", 0) == 0) return path;
  if (path.rfind(u"\\\\", 0) == 0) return u"\\\\?\\UNC\\" + path.substr(2);
  return u"\\\\?\\" + path;
}

bool IsExistingFile(const std::u16string& path) {
  platform::FileInfo info;
  return platform::QueryFileInfo(Wide(path), &info) && info.IsRegularFile();
}

// ---------------------------------------------------------------------------
// Reading values
// ---------------------------------------------------------------------------
const char* Value(const sf::IniDocument& doc, const char* section, const std::string& key) {
  return doc.GetValue(section, key.c_str(), nullptr);
}

void ReadGlobals(const sf::IniDocument& doc, SettingsBlock* b) {
  const char* s = sf::kMainSection;
  auto integer = [&](const sf::IntegerKey& key) {
    return static_cast<std::int32_t>(sf::ReadInteger(doc.GetValue(s, key.name, nullptr), key));
  };
  auto boolean = [&](const sf::BoolKey& key) {
    return sf::ReadBool(doc.GetValue(s, key.name, nullptr), key);
  };
  auto text = [&](const char* key) { return FromUtf8(doc.GetValue(s, key, "")); };

  b->fileMemory = integer(sf::kFileMemory);
  b->onDemandLimit = integer(sf::kOnDemandLimit);
  b->globalFileSizeLimit = integer(sf::kGlobalFileSizeLimit);
  b->analyzeBuffer = integer(sf::kAnalyzeBuffer);
  b->resultCache = integer(sf::kResultCache);
  b->randomLength = integer(sf::kRandomLength);
  b->randomLoops = integer(sf::kRandomLoops);
  b->converterTimeLimit = integer(sf::kConverterTimeLimit);

  b->regex1Extern = boolean(sf::kRegex1Extern);
  b->matchAllForErrors = boolean(sf::kMatchAllForErrors);
  b->modFieldName = boolean(sf::kModFieldName);
  b->logErrors = boolean(sf::kLogErrors);
  b->clearCacheOnReread = boolean(sf::kClearCacheOnReread);
  b->unicodeZerosValid = boolean(sf::kUnicodeZerosValid);
  b->normalSearchForFilterFail = boolean(sf::kNormalSearchForFilterFail);
  b->sortFields = boolean(sf::kSortFields);
  b->caseSensitiveDefault = boolean(sf::kCaseSensitiveDefault);
  b->oitFulltextTreatUnknownFileFormatAsText = boolean(sf::kOitFulltextTreatUnknownFileFormatAsText);

  b->oitDllPath32 = text(sf::kOitDllPath32);
  b->oitDllPath64 = text(sf::kOitDllPath64);
  b->oitFulltextExclude = text(sf::kOitFulltextExclude);

  // The field count is clamped, not defaulted, when out of range.
  long count = sf::kRegexCount.defaultValue;
  if (const char* stored = doc.GetValue(s, sf::kRegexCount.name, nullptr)) {
    if (const std::optional<long> parsed = sf::ParseInteger(stored)) {
      count = std::clamp(*parsed, sf::kRegexCount.minValue, sf::kRegexCount.maxValue);
    }
  }
  b->regexCount = static_cast<std::int16_t>(count);
}

// All 999 slots, whatever the field count says.
void ReadFields(const sf::IniDocument& doc, SettingsBlock* b) {
  const char* s = sf::kMainSection;
  for (int n = 1; n <= sf::kMaxFields; ++n) {
    FieldSlot& slot = b->fields[n - 1];
    slot.name = FromStored(doc.GetValue(s, sf::FieldKey(n, sf::kNameSuffix).c_str(), ""));
    slot.type = static_cast<int>(
        sf::ReadInteger(Value(doc, s, sf::FieldKey(n, sf::kTypeSuffix)), kFieldTypeRange));
    slot.flags = static_cast<std::uint32_t>(
        sf::ReadInteger(Value(doc, s, sf::FieldKey(n, sf::kFlagsSuffix)), kFieldFlagsRange));
    const char* replace = Value(doc, s, sf::FieldKey(n, sf::kReplaceSuffix));
    slot.replace = replace != nullptr ? FromStored(replace) : std::u16string(kDefaultReplaceText);
    const char* expression = Value(doc, s, sf::FieldKey(n, ""));
    slot.expression = expression != nullptr && *expression != '\0'
                          ? FromStored(expression)
                          : std::u16string(kMatchAllText);
  }
}

// Keys of a section in the order they appear in the file.
std::vector<std::string> KeysInFileOrder(const sf::IniDocument& doc, const char* section) {
  sf::IniDocument::TNamesDepend keys;
  doc.GetAllKeys(section, keys);
  keys.sort(sf::IniDocument::Entry::LoadOrder());
  std::vector<std::string> names;
  for (const auto& key : keys) names.emplace_back(key.pItem);
  return names;
}

void ReadFilters(const sf::IniDocument& doc, SettingsBlock* b) {
  if (doc.GetSection(sf::kFiltersSection) == nullptr) return;
  for (const std::string& key : KeysInFileOrder(doc, sf::kFiltersSection)) {
    if (key.empty()) continue;
    const std::optional<FilterEntry> entry =
        ClassifyFilterValue(doc.GetValue(sf::kFiltersSection, key.c_str(), ""));
    if (entry) b->filters[FromUtf8(key)] = *entry;
  }
}

void ReadOwnSection(const sf::IniDocument& doc, const FontFaceCheck& fontExists,
                    UtilitySettings* u) {
  const char* s = sf::kUtilitySection;
  u->lastField = static_cast<std::int32_t>(
      sf::ReadInteger(doc.GetValue(s, sf::kLastField.name, nullptr), sf::kLastField));
  u->font = FontStyle();
  if (doc.GetSectionSize(s) > 0) {
    if (const char* stored = doc.GetValue(s, sf::kFontKey, nullptr)) {
      if (std::optional<FontStyle> font = ParseFontStyle(stored)) {
        u->font = std::move(*font);
        if (u->font.HasFace() && fontExists && !fontExists(u->font)) u->font.faceName.clear();
      }
    }
  }
  u->coordX = static_cast<std::int32_t>(
      sf::ReadInteger(doc.GetValue(s, sf::kCoordX.name, nullptr), sf::kCoordX));
  u->coordY = static_cast<std::int32_t>(
      sf::ReadInteger(doc.GetValue(s, sf::kCoordY.name, nullptr), sf::kCoordY));
  u->helpW = static_cast<HelpPaneState>(
      sf::ReadInteger(doc.GetValue(s, sf::kHelpW.name, nullptr), sf::kHelpW));
  const char* test = doc.GetValue(s, sf::kTestStringKey, nullptr);
  u->testString = test != nullptr && *test != '\0' ? FromStored(test)
                                                   : std::u16string(kSampleTestText);
}

// ---------------------------------------------------------------------------
// Putting the record into the document
// ---------------------------------------------------------------------------

// Sets a key when its stored text differs; true when the document changed.
bool SetIfDifferent(sf::IniDocument& doc, const char* section, const char* key,
                    const std::string& text) {
  const char* stored = doc.GetValue(section, key, nullptr);
  if (stored != nullptr && text == stored) return false;
  doc.SetValue(section, key, text.c_str());
  return true;
}

// An absent key counts as absentValue: for the window position that is the
// "unset" value, so an unmoved window of a file without a position changes
// nothing (and Cancel leaves such a file untouched).
bool SetIntegerIfDifferent(sf::IniDocument& doc, const char* section, const char* key,
                           long value, long absentValue = 0) {
  if (doc.GetLongValue(section, key, absentValue) == value) return false;
  doc.SetLongValue(section, key, value);
  return true;
}

bool DeleteIfPresent(sf::IniDocument& doc, const char* section, const char* key) {
  if (doc.GetValue(section, key, nullptr) == nullptr) return false;
  return doc.Delete(section, key, false);
}

// The [QuarrymarkConfig] keys; true when any of them changed.
bool PutOwnSection(const UtilitySettings& u, sf::IniDocument& doc) {
  const char* s = sf::kUtilitySection;
  bool changed = SetIntegerIfDifferent(doc, s, sf::kLastField.name, u.lastField);
  if (u.font.HasFace()) {
    changed |= SetIfDifferent(doc, s, sf::kFontKey, FormatFontStyle(u.font));
  } else {
    changed |= DeleteIfPresent(doc, s, sf::kFontKey);
  }
  changed |= SetIntegerIfDifferent(doc, s, sf::kCoordX.name, u.coordX, sf::kCoordX.defaultValue);
  changed |= SetIntegerIfDifferent(doc, s, sf::kCoordY.name, u.coordY, sf::kCoordY.defaultValue);
  changed |= SetIntegerIfDifferent(doc, s, sf::kHelpW.name, static_cast<long>(u.helpW));
  if (u.testString == kSampleTestText) {
    const char* stored = doc.GetValue(s, sf::kTestStringKey, nullptr);
    if (stored != nullptr && *stored != '\0') changed |= doc.Delete(s, sf::kTestStringKey, false);
  } else {
    changed |= SetIfDifferent(doc, s, sf::kTestStringKey, ToStored(u.testString));
  }
  return changed;
}

bool IsDefaultReplace(std::string_view text) {
  return text.empty() || text == sf::kDefaultReplace;
}

// One slot under the writing conditions: each compares with what the
// document holds now, so keys the user never set stay absent.
void PutField(int n, const FieldSlot& slot, std::int16_t regexCount, sf::IniDocument& doc) {
  const char* s = sf::kMainSection;

  const std::string nameKey = sf::FieldKey(n, sf::kNameSuffix);
  const std::string name = ToStored(slot.name);
  if (!name.empty() || Value(doc, s, nameKey) != nullptr) doc.SetValue(s, nameKey.c_str(), name.c_str());

  const std::string typeKey = sf::FieldKey(n, sf::kTypeSuffix);
  if (slot.type != 0 || doc.GetLongValue(s, typeKey.c_str(), 0) != 0) {
    doc.SetLongValue(s, typeKey.c_str(), slot.type);
  }
  const std::string flagsKey = sf::FieldKey(n, sf::kFlagsSuffix);
  if (slot.flags != 0 || doc.GetLongValue(s, flagsKey.c_str(), 0) != 0) {
    doc.SetLongValue(s, flagsKey.c_str(), static_cast<long>(slot.flags));
  }

  const std::string replaceKey = sf::FieldKey(n, sf::kReplaceSuffix);
  const std::string replace = ToStored(slot.replace);
  const char* storedReplace = Value(doc, s, replaceKey);
  if (!IsDefaultReplace(replace) || (storedReplace != nullptr && !IsDefaultReplace(storedReplace))) {
    doc.SetValue(s, replaceKey.c_str(), replace.c_str());
  }

  const std::string expressionKey = sf::FieldKey(n, "");
  if (n <= regexCount || slot.expression != kMatchAllText ||
      Value(doc, s, expressionKey) != nullptr) {
    doc.SetValue(s, expressionKey.c_str(), ToStored(slot.expression).c_str());
  }
}

void PutBlock(const SettingsBlock& b, sf::IniDocument& doc) {
  const char* s = sf::kMainSection;
  using IntegerSetting = std::pair<const sf::IntegerKey*, std::int32_t>;
  const IntegerSetting integers[] = {
      {&sf::kFileMemory, b.fileMemory},       {&sf::kOnDemandLimit, b.onDemandLimit},
      {&sf::kGlobalFileSizeLimit, b.globalFileSizeLimit},
      {&sf::kAnalyzeBuffer, b.analyzeBuffer}, {&sf::kResultCache, b.resultCache},
      {&sf::kRandomLength, b.randomLength},   {&sf::kRandomLoops, b.randomLoops},
      {&sf::kConverterTimeLimit, b.converterTimeLimit}};
  for (const auto& [key, value] : integers) doc.SetLongValue(s, key->name, value);

  using BoolSetting = std::pair<const sf::BoolKey*, bool>;
  const BoolSetting booleans[] = {
      {&sf::kRegex1Extern, b.regex1Extern},
      {&sf::kMatchAllForErrors, b.matchAllForErrors},
      {&sf::kModFieldName, b.modFieldName},
      {&sf::kLogErrors, b.logErrors},
      {&sf::kClearCacheOnReread, b.clearCacheOnReread},
      {&sf::kUnicodeZerosValid, b.unicodeZerosValid},
      {&sf::kNormalSearchForFilterFail, b.normalSearchForFilterFail},
      {&sf::kSortFields, b.sortFields},
      {&sf::kCaseSensitiveDefault, b.caseSensitiveDefault},
      {&sf::kOitFulltextTreatUnknownFileFormatAsText, b.oitFulltextTreatUnknownFileFormatAsText}};
  for (const auto& [key, value] : booleans) doc.SetBoolValue(s, key->name, value);
  doc.SetValue(s, sf::kOitDllPath32, ToUtf8(b.oitDllPath32).c_str());
  doc.SetValue(s, sf::kOitDllPath64, ToUtf8(b.oitDllPath64).c_str());
  doc.SetValue(s, sf::kOitFulltextExclude, ToUtf8(b.oitFulltextExclude).c_str());
  doc.SetLongValue(s, sf::kRegexCount.name, b.regexCount);

  // Slots are never renumbered: slot i is always field i + 1.
  for (int n = 1; n <= sf::kMaxFields; ++n) PutField(n, b.fields[n - 1], b.regexCount, doc);

  // The filter section is emptied in place (keeping its position and
  // comment) and refilled in key order.
  if (doc.GetSection(sf::kFiltersSection) != nullptr) {
    for (const std::string& key : KeysInFileOrder(doc, sf::kFiltersSection)) {
      doc.Delete(sf::kFiltersSection, key.c_str(), false);
    }
  }
  for (const auto& [extension, entry] : b.filters) {
    if (extension.empty()) continue;
    doc.SetValue(sf::kFiltersSection, ToUtf8(extension).c_str(),
                 FormatFilterValue(entry).c_str());
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// File location
// ---------------------------------------------------------------------------
std::u16string ProgramFolder() {
  std::u16string wide;
  std::string narrow;
  if (!platform::QueryModulePath(reinterpret_cast<const void*>(&ProgramFolder), &wide, &narrow)) {
    return {};
  }
  if (wide.empty()) {
#ifdef _WIN32
    platform::AppendWide(platform::AnsiCodePage(), narrow.data(), narrow.size(), &wide);
#else
    wide = FromUtf8(narrow);  // file names are the file system's UTF-8 bytes
#endif
  }
  const std::size_t cut = wide.find_last_of(platform::kPathSeparator);
  if (cut == std::u16string::npos) return {};
  wide.resize(cut + 1);
  return wide;
}

std::u16string LocateSettingsFile(const std::u16string& folder) {
  if (folder.empty()) return {};
  for (const char* name : {sf::kSettingsFileName, sf::kSampleSettingsFileName}) {
    const std::u16string path = ExtendedLengthForm(folder + Widen(name));
    if (IsExistingFile(path)) return path;
  }
  return {};
}

UtilitySettings::UtilitySettings() : testString(kSampleTestText) {}

// ---------------------------------------------------------------------------
// LoadSettings
// ---------------------------------------------------------------------------
bool LoadSettings(const std::u16string& path, UtilitySettings* u,
                  const FontFaceCheck& fontExists) {
  u->loadProblem.clear();
  if (path.empty()) {
    u->loadProblem = "no settings file";
    return false;
  }
  const sf::SettingsText text = sf::ReadSettingsText(Wide(path));
  if (!text.Usable()) {
    u->loadProblem = sf::DescribeProblem(text);
    return false;
  }
  auto document = std::make_unique<sf::IniDocument>();
  sf::ConfigureIniDocument(*document);
  if (document->LoadData(text.text.data(), text.text.size()) < 0) {
    u->loadProblem = "the text cannot be parsed";
    return false;
  }
  u->nulLine = text.nulLine;

  u->current = SettingsBlock();
  ReadGlobals(*document, &u->current);
  ReadFields(*document, &u->current);
  ReadFilters(*document, &u->current);
  u->snapshot = u->current;
  ReadOwnSection(*document, fontExists, u);
  u->document = std::move(document);
  u->path = path;
  return true;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------
std::string SerializeDocument(sf::IniDocument* document) {
  document->SetSpaces(false);
  std::string text;
  if (document->Save(text, true) < 0) return {};
  // SimpleIni ends lines with the system's newline; the file always has CR LF.
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

namespace {

// A new file beside target (target + ".tmp", then ".tmp1", ...), open for
// writing; *name receives its name.
platform::File CreateTemporaryBeside(const std::u16string& target, std::u16string* name) {
  platform::File temporary;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && !temporary.IsOpen(); ++attempt) {
    *name = target + u".tmp";
    if (attempt > 0) *name += DecimalText(attempt);
    temporary = platform::OpenFile(Wide(*name), platform::OpenMode::kWriteCreateNew);
  }
  return temporary;
}

// True when every name CreateTemporaryBeside tries exists already.
bool TemporaryNamesTaken(const std::u16string& target) {
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    std::u16string name = target + u".tmp";
    if (attempt > 0) name += DecimalText(attempt);
    platform::FileInfo info;
    if (!platform::QueryFileInfo(Wide(name), &info)) return false;
  }
  return true;
}

// A new file for the durable copy of target's old content: beside target,
// or, when its folder allows no new file, in the temporary folder.
platform::File CreateCopyFile(const std::u16string& target, std::u16string* name) {
  platform::File copy = CreateTemporaryBeside(target, name);
  if (copy.IsOpen()) return copy;
  const std::u16string folder = platform::TemporaryFolder();
  if (folder.empty()) return copy;
  const std::size_t cut = target.find_last_of(platform::kPathSeparator);
  const std::u16string base = cut == std::u16string::npos ? target : target.substr(cut + 1);
  return CreateTemporaryBeside(folder + base, name);
}

bool WriteAndSync(platform::File& file, std::string_view bytes, const FileWriter& writeForTesting) {
  const bool written = writeForTesting ? writeForTesting(file, bytes)
                                       : file.WriteAll(bytes.data(), bytes.size());
  return written && file.TruncateHere() && file.Sync();
}

// Rewrites a file in place: one that has other hard links, so that every
// name keeps seeing the new content, or one in a folder where no new file
// can be made. A copy of the old content is made durable first; when the
// write fails the old content is written back from it, so the file is never
// left cut short.
bool RewriteInPlace(const std::u16string& target, std::string_view bytes,
                    const FileWriter& writeForTesting) {
  std::string old;
  {
    platform::FileInfo info;
    platform::File file = platform::OpenFile(Wide(target), platform::OpenMode::kReadShared);
    if (!file.IsOpen() || !platform::QueryFileInfo(Wide(target), &info) ||
        info.size > sf::kMaxSettingsFileBytes) {
      return false;
    }
    old.resize(static_cast<std::size_t>(info.size));
    if (!old.empty() && !file.ReadExact(old.data(), old.size())) return false;
  }
  std::u16string copyName;
  platform::File copy = CreateCopyFile(target, &copyName);
  if (!copy.IsOpen()) return false;
  const bool copied = WriteAndSync(copy, old, nullptr);
  copy.Close();
  if (!copied) {
    platform::DeleteFile(copyName);
    return false;
  }
  platform::File file = platform::OpenFile(Wide(target), platform::OpenMode::kReadWriteOpenAlways);
  if (file.IsOpen() && WriteAndSync(file, bytes, writeForTesting)) {
    file.Close();
    platform::DeleteFile(copyName);
    return true;
  }
  file.Close();
  // Put the old content back; the copy stays when even that fails.
  platform::File restore = platform::OpenFile(Wide(target), platform::OpenMode::kReadWriteOpenAlways);
  if (restore.IsOpen() && WriteAndSync(restore, old, nullptr)) {
    restore.Close();
    platform::DeleteFile(copyName);
  }
  return false;
}

}  // namespace

bool ReplaceFileContents(const std::u16string& name, std::string_view bytes,
                         const FileWriter& writeForTesting) {
  // A symbolic link stays a link: its target gets the content, replaced in
  // the target's own folder.
  std::u16string target;
  bool hardLinked = false;
  if (!platform::ResolveWriteTarget(name, &target, &hardLinked)) return false;
  bool created = false;
  {
    // The target must be writable: a write-protected file is a failure
    // here, not a silent replacement.
    platform::File check =
        platform::OpenFile(Wide(target), platform::OpenMode::kReadWriteOpenAlways, &created);
    if (!check.IsOpen()) return false;
  }
  if (hardLinked) return RewriteInPlace(target, bytes, writeForTesting);

  std::u16string temporaryName;
  platform::File temporary = CreateTemporaryBeside(target, &temporaryName);
  // A folder that takes no new file (read-only, while the file itself is
  // writable) cannot have the file replaced: it is rewritten in place. When
  // the temporary names are only all taken, the save fails as before.
  if (!temporary.IsOpen() && !created && !TemporaryNamesTaken(target)) {
    return RewriteInPlace(target, bytes, writeForTesting);
  }
  bool replaced = false;
  if (temporary.IsOpen()) {
    const bool written = writeForTesting ? writeForTesting(temporary, bytes)
                                         : temporary.WriteAll(bytes.data(), bytes.size());
    temporary.Close();
    replaced = written && platform::ReplaceFile(temporaryName, target);
    if (!replaced) platform::DeleteFile(temporaryName);
  }
  if (!replaced && created) platform::DeleteFile(target);  // the check made it
  return replaced;
}

std::string SaveRefusal(const UtilitySettings& u) {
  if (u.nulLine == 0) return {};
  return "line " + std::to_string(u.nulLine) +
         " holds a NUL byte, which the settings cannot keep; remove it by hand first";
}

bool SaveSettings(UtilitySettings* u, bool ownSectionOnly) {
  if (!u->document || u->path.empty() || u->nulLine != 0) return false;
  sf::IniDocument& doc = *u->document;
  const bool changed = PutOwnSection(*u, doc);
  if (ownSectionOnly && !changed) return true;
  if (!ownSectionOnly) PutBlock(u->current, doc);
  const std::string text = SerializeDocument(&doc);
  if (text.empty()) return false;
  return ReplaceFileContents(u->path, text);
}

}  // namespace qm::utility
