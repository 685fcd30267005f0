// The warnings of `settings check`.
#include "tools/quarrymark/settings_lint.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

#include "settings_format/settings_format.h"

namespace qm::host {
namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

enum class KeyKind { kUnknown, kNumber, kBoolean, kText };

// What a key of [Quarrymark] is; *field is set for the regexN keys.
KeyKind KindOf(const std::string& lowerKey, int* field, std::string* suffix) {
  using namespace settings;
  for (const IntegerKey* key : {&kFileMemory, &kOnDemandLimit, &kGlobalFileSizeLimit, &kAnalyzeBuffer,
                                &kResultCache, &kRandomLength, &kRandomLoops, &kRegexCount}) {
    if (lowerKey == Lower(key->name)) return KeyKind::kNumber;
  }
  for (const BoolKey* key : {&kRegex1Extern, &kMatchAllForErrors, &kModFieldName, &kLogErrors,
                             &kClearCacheOnReread, &kUnicodeZerosValid, &kNormalSearchForFilterFail,
                             &kSortFields, &kCaseSensitiveDefault,
                             &kOitFulltextTreatUnknownFileFormatAsText}) {
    if (lowerKey == Lower(key->name)) return KeyKind::kBoolean;
  }
  for (const char* key : {kOitDllPath32, kOitDllPath64, kOitFulltextExclude}) {
    if (lowerKey == Lower(key)) return KeyKind::kText;
  }
  const std::string prefix = kFieldKeyPrefix;
  if (lowerKey.compare(0, prefix.size(), prefix) != 0) return KeyKind::kUnknown;
  std::size_t end = prefix.size();
  while (end < lowerKey.size() && std::isdigit(static_cast<unsigned char>(lowerKey[end]))) ++end;
  if (end == prefix.size() || lowerKey[prefix.size()] == '0' || end - prefix.size() > 3) {
    return KeyKind::kUnknown;
  }
  *field = std::stoi(lowerKey.substr(prefix.size(), end - prefix.size()));
  *suffix = lowerKey.substr(end);
  if (suffix->empty() || *suffix == kNameSuffix || *suffix == kReplaceSuffix) return KeyKind::kText;
  if (*suffix == kTypeSuffix || *suffix == kFlagsSuffix) return KeyKind::kNumber;
  return KeyKind::kUnknown;
}

struct Entry {
  int line;
  std::string key;  // as written
  std::string value;
};

// The lines of a text one at a time (LF or CR LF), counted from 1.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}
  bool Next(std::string_view* line) {
    if (rest_.empty()) return false;
    const std::size_t lf = rest_.find('\n');
    *line = rest_.substr(0, lf);
    rest_ = lf == std::string_view::npos ? std::string_view() : rest_.substr(lf + 1);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    ++number_;
    return true;
  }
  int Number() const { return number_; }

 private:
  std::string_view rest_;
  int number_ = 0;
};

// The entries of [Quarrymark] in file order, a multi-line value
// ("<<<TAG" up to the line TAG) as one entry on its first line.
std::vector<Entry> MainSectionEntries(std::string_view bytes) {
  if (bytes.substr(0, 3) == settings::kUtf8Bom) bytes.remove_prefix(3);
  std::vector<Entry> entries;
  bool inMain = false;
  LineReader lines(bytes);
  std::string_view raw;
  while (lines.Next(&raw)) {
    const std::string_view line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      const std::size_t close = line.find(']');
      inMain = Lower(Trim(line.substr(1, close == std::string_view::npos ? line.size() : close - 1))) ==
               Lower(settings::kMainSection);
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    Entry entry{lines.Number(), std::string(Trim(line.substr(0, equals))),
                std::string(Trim(line.substr(equals + 1)))};
    if (entry.value.compare(0, 3, "<<<") == 0) {
      const std::string tag = entry.value.substr(3);
      entry.value.clear();
      std::string_view part;
      bool first = true;
      while (lines.Next(&part) && Trim(part) != tag) {
        if (!first) entry.value += '\n';
        entry.value += std::string(part);
        first = false;
      }
    }
    if (inMain) entries.push_back(std::move(entry));
  }
  return entries;
}

// The number of active fields as the plugin reads it (regexcount, clamped).
long ActiveFieldCount(const std::vector<Entry>& entries) {
  long count = settings::kRegexCount.defaultValue;
  for (const Entry& e : entries) {
    if (Lower(e.key) == Lower(settings::kRegexCount.name)) {
      if (const auto n = settings::ParseInteger(e.value)) count = std::clamp<long>(*n, 1, settings::kMaxFields);
    }
  }
  return count;
}

// The checks over the entries of [Quarrymark].
class Linter {
 public:
  explicit Linter(long count) : count_(count) {}

  // A key given twice, unknown, with a value of the wrong kind, or of a
  // field beyond the count.
  void Check(const Entry& e) {
    const std::string lower = Lower(e.key);
    const auto [it, isNew] = firstLine_.emplace(lower, e.line);
    if (!isNew) {
      Warn(e.line, "key " + e.key + " is given again (first on line " + std::to_string(it->second) +
                       "); only one of them is read");
    }
    int field = 0;
    std::string suffix;
    switch (KindOf(lower, &field, &suffix)) {
      case KeyKind::kUnknown:
        Warn(e.line, "unknown key " + e.key + "; the plugin ignores it");
        break;
      case KeyKind::kNumber:
        if (!settings::ParseInteger(e.value)) {
          Warn(e.line, "value of " + e.key + " is not a number (\"" + e.value + "\"); its default is used");
        }
        break;
      case KeyKind::kBoolean:
        if (!settings::ParseBool(e.value)) {
          Warn(e.line, "value of " + e.key + " is not 0/1, yes/no, true/false or on/off (\"" + e.value +
                           "\"); its default is used");
        }
        break;
      case KeyKind::kText:
        if (field > 0 && suffix == settings::kNameSuffix) names_[field] = &e;
        if (field > 0 && suffix.empty()) expressions_[field] = &e;
        break;
    }
    if (field > count_) {
      Warn(e.line, "key " + e.key + " belongs to field " + std::to_string(field) + ", beyond regexcount=" +
                       std::to_string(count_) + "; the plugin does not read it");
    }
  }

  // Active fields with an expression and no name (after every Check).
  void CheckNames() {
    for (const auto& [field, entry] : expressions_) {
      if (field <= count_ && (names_.count(field) == 0 || names_[field]->value.empty())) {
        Warn(entry->line, "field " + std::to_string(field) + " has no name (" +
                              std::string(settings::kFieldKeyPrefix) + std::to_string(field) +
                              "name); it is offered as PCRE-RegEx" + std::to_string(field));
      }
    }
  }

  // The warnings by line.
  std::vector<SettingsWarning> Warnings() {
    std::stable_sort(warnings_.begin(), warnings_.end(),
                     [](const SettingsWarning& a, const SettingsWarning& b) { return a.line < b.line; });
    return warnings_;
  }

 private:
  void Warn(int line, std::string text) { warnings_.push_back({line, std::move(text)}); }

  long count_;
  std::vector<SettingsWarning> warnings_;
  std::map<std::string, int> firstLine_;  // by key in lower case
  std::map<int, const Entry*> names_, expressions_;
};

}  // namespace

std::vector<SettingsWarning> LintSettings(std::string_view bytes) {
  const std::vector<Entry> entries = MainSectionEntries(bytes);
  Linter linter(ActiveFieldCount(entries));
  for (const Entry& e : entries) linter.Check(e);
  linter.CheckNames();
  return linter.Warnings();
}

}  // namespace qm::host
