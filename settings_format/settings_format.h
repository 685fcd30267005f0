// The settings file shared by the plugin and the settings utility.
//
// This header is the contract between the two deliverables: section and key
// names, defaults, accepted ranges, the field-type and flag numbers, and the
// parsing rules for integer and boolean values. Neither deliverable spells a
// key name or a default anywhere else.
//
// Divisions: file names and limits; section [Quarrymark] global keys; field
// keys; field types and flags; [Quarrymark_filters]; [QuarrymarkConfig];
// value parsing; the INI document type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm::settings {

// ---------------------------------------------------------------------------
// Files and limits
// ---------------------------------------------------------------------------
inline constexpr char kSettingsFileName[] = "Quarrymark.ini";
inline constexpr char kSampleSettingsFileName[] = "Quarrymark.Sample.ini";
inline constexpr char kExternalExpressionFileName[] = "regex1.txt";
inline constexpr char kErrorLogFileName[] = "Quarrymark_error.log";
inline constexpr std::uint64_t kMaxSettingsFileBytes = 5242880;  // larger files are unreadable
inline constexpr std::uint32_t kMaxExternalExpressionBytes = 65536;
inline constexpr std::size_t kMaxNumberTextLength = 63;  // 64 or more characters: default
inline constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
inline constexpr char kMultiLineTag[] = "END_OF_TEXT";

// ---------------------------------------------------------------------------
// Sections
// ---------------------------------------------------------------------------
inline constexpr char kMainSection[] = "Quarrymark";
inline constexpr char kFiltersSection[] = "Quarrymark_filters";
inline constexpr char kUtilitySection[] = "QuarrymarkConfig";

// ---------------------------------------------------------------------------
// [Quarrymark] global options: key, default, accepted range
// ---------------------------------------------------------------------------
struct IntegerKey {
  const char* name;
  long defaultValue;
  long minValue;  // accepted range, both ends included
  long maxValue;
};

struct BoolKey {
  const char* name;
  bool defaultValue;
};

inline constexpr IntegerKey kFileMemory{"FileMemory", 10, 5, 500};
inline constexpr IntegerKey kOnDemandLimit{"OnDemandLimit", 50, 1, 1073741824};
inline constexpr IntegerKey kGlobalFileSizeLimit{"GlobalFileSizeLimit", 2048, 5, 1073741824};
inline constexpr IntegerKey kAnalyzeBuffer{"AnalyzeBuffer", 4, 1, 8};
inline constexpr IntegerKey kResultCache{"ResultCache", 2, 0, 8};
inline constexpr IntegerKey kRandomLength{"RandomLength", 32, 1, 0x7FFFFFFF};
inline constexpr IntegerKey kRandomLoops{"RandomLoops", 3, 1, 9};
// "regexcount" is not range-checked like the others: it is clamped.
inline constexpr IntegerKey kRegexCount{"regexcount", 4, 1, 999};
// Seconds a converter run may take before it is ended and counts as a
// failed filter; 0 for no limit. Not in the original key set: files
// without it get the default.
inline constexpr IntegerKey kConverterTimeLimit{"ConverterTimeLimit", 60, 0, 86400};

inline constexpr BoolKey kRegex1Extern{"Regex1Extern", false};
inline constexpr BoolKey kMatchAllForErrors{"MatchAllForErrors", false};
inline constexpr BoolKey kModFieldName{"ModFieldName", true};
inline constexpr BoolKey kLogErrors{"LogErrors", true};
inline constexpr BoolKey kClearCacheOnReread{"ClearCacheOnReread", false};
inline constexpr BoolKey kUnicodeZerosValid{"UnicodeZerosValid", false};
inline constexpr BoolKey kNormalSearchForFilterFail{"NormalSearchForFilterFail", true};
inline constexpr BoolKey kSortFields{"SortFields", false};
inline constexpr BoolKey kCaseSensitiveDefault{"CaseSensitiveDefault", false};
inline constexpr BoolKey kOitFulltextTreatUnknownFileFormatAsText{
    "OitFulltextTreatUnknownFileFormatAsText", false};

inline constexpr char kOitDllPath32[] = "OitDllPath32";
inline constexpr char kOitDllPath64[] = "OitDllPath64";
inline constexpr char kOitFulltextExclude[] = "OitFulltextExclude";

// Derived plugin values.
inline constexpr std::uint64_t kMegabyte = 1048576;
inline constexpr std::uint32_t AnalyzeBufferBytes(long step) { return 32768u << (step - 1); }
inline constexpr std::uint32_t ResultCacheEntries(long step) {
  return step == 0 ? 0u : 8192u << ((step < 6 ? step : 6) - 1);
}
inline constexpr std::uint32_t RandomLoopCount(long step) { return 262144u << (step - 1); }

// ---------------------------------------------------------------------------
// Field keys: "regex" N plus a suffix, N from 1 without leading zeros
// ---------------------------------------------------------------------------
inline constexpr int kMaxFields = 999;
inline constexpr char kFieldKeyPrefix[] = "regex";
inline constexpr char kNameSuffix[] = "name";
inline constexpr char kTypeSuffix[] = "type";
inline constexpr char kFlagsSuffix[] = "flags";
inline constexpr char kReplaceSuffix[] = "replace";
// The default replace template: the whole match and the escape for a blank.
inline constexpr char kDefaultReplace[] = "$0\\x20";
inline constexpr char kMatchAllExpression[] = ".*";

// Key of field number (1-based) with a suffix ("" for the expression).
std::string FieldKey(int fieldNumber, std::string_view suffix);

// ---------------------------------------------------------------------------
// Field types and flags (stored numbers)
// ---------------------------------------------------------------------------
enum class FieldType : std::int8_t {
  OutsideInFulltext = -2,  // made by the plugin, never stored
  EncodingCheck = -1,
  Boolean = 0,
  Count = 1,
  CountIndividual = 2,
  StringOutput = 3,
  FirstMatchStringOutput = 4,
  RandomString = 5,
  AverageResultLength = 6,
  FileCompare = 7,
  MatchDistanceRatio = 8,
};
inline constexpr int kMinStoredType = -1;
inline constexpr int kMaxStoredType = 8;        // the plugin's accepted range
inline constexpr int kMaxUtilityType = 7;       // the utility shows 8 as Boolean

// What a field of each type answers. Everything that treats types alike
// (answer codes, zero answers, cache images, which fields run their
// expression) asks this one table; the switch has no default, so a new type
// does not build with -Wswitch until it is placed here.
enum class AnswerKind : std::uint8_t {
  FullText,     // text handed out piece by piece, never cached
  Choice,       // one of kEncodingNames
  Flag,         // yes/no: a match was found
  Count,        // a 32-bit number
  Text,         // a string built from the matches (or a random one)
  Ratio,        // a floating value followed by its text
  CompareOnly,  // offered to the host only as a content-compare field
};

constexpr AnswerKind AnswerKindOf(FieldType type) {
  switch (type) {
    case FieldType::OutsideInFulltext: return AnswerKind::FullText;
    case FieldType::EncodingCheck: return AnswerKind::Choice;
    case FieldType::Boolean: return AnswerKind::Flag;
    case FieldType::Count:
    case FieldType::CountIndividual: return AnswerKind::Count;
    case FieldType::StringOutput:
    case FieldType::FirstMatchStringOutput:
    case FieldType::RandomString: return AnswerKind::Text;
    case FieldType::AverageResultLength:
    case FieldType::MatchDistanceRatio: return AnswerKind::Ratio;
    case FieldType::FileCompare: return AnswerKind::CompareOnly;
  }
  return AnswerKind::Flag;  // not a FieldType value
}

inline constexpr bool IsStringType(FieldType t) { return AnswerKindOf(t) == AnswerKind::Text; }

// Whether the field's expression is run over content (or the name) at all:
// false for the encoding check and the full-text field, which only read.
constexpr bool RunsExpression(FieldType type) {
  switch (AnswerKindOf(type)) {
    case AnswerKind::FullText:
    case AnswerKind::Choice: return false;
    case AnswerKind::Flag:
    case AnswerKind::Count:
    case AnswerKind::Text:
    case AnswerKind::Ratio:
    case AnswerKind::CompareOnly: return true;
  }
  return true;
}

// Caption of a type in the utility, or nullptr for types without one.
const char* FieldTypeCaption(FieldType type);

namespace flags {
inline constexpr std::uint32_t OemCodePage = 1;
inline constexpr std::uint32_t DisableUnicodeProperties = 2;
inline constexpr std::uint32_t EmptyMatchesPassThrough = 4;
inline constexpr std::uint32_t EncodingCheckBufferOnly = 8;
inline constexpr std::uint32_t DisableTextFilter = 16;
inline constexpr std::uint32_t CompareCaseInsensitive = 32;
inline constexpr std::uint32_t FilenameOnly = 64;
inline constexpr std::uint32_t kAll = 127;
}  // namespace flags

// Caption of one flag bit in the utility, or nullptr.
const char* FieldFlagCaption(std::uint32_t bit);

// The four answers of an EncodingCheck field, in choice-index order.
inline constexpr const char* kEncodingNames[4] = {"ANSI/Binary", "UTF-8", "UTF-16", "UTF-16 BE"};
inline constexpr char kEncodingUnits[] = "ANSI/Binary|UTF-8|UTF-16|UTF-16 BE";

// ---------------------------------------------------------------------------
// [Quarrymark_filters]: extension pattern = filter name
// ---------------------------------------------------------------------------
inline constexpr char kFilterXdoc[] = "xdoc";
inline constexpr char kFilterXdocIndexed[] = "xdoc|i";
inline constexpr char kFilterOit[] = "oit";
inline constexpr char kFilterOptionSuffix[] = "|i";

// Filter kinds as the plugin stores them.
enum class FilterKind : std::uint32_t { None = 0, OutsideIn = 1, Converter = 2 };

// ---------------------------------------------------------------------------
// [QuarrymarkConfig], the utility's own state
// ---------------------------------------------------------------------------
inline constexpr IntegerKey kLastField{"LastField", 0, 0, 998};
inline constexpr IntegerKey kCoordX{"CoordX", 268435455, -2147483647L - 1, 2147483647L};
inline constexpr IntegerKey kCoordY{"CoordY", 268435455, -2147483647L - 1, 2147483647L};
inline constexpr IntegerKey kHelpW{"HelpW", 0, 0, 2};
inline constexpr char kFontKey[] = "font";
inline constexpr char kTestStringKey[] = "TestString";
inline constexpr long kNoStoredPosition = 268435455;

// ---------------------------------------------------------------------------
// Value parsing (reading side; both deliverables)
// ---------------------------------------------------------------------------

// Integer value: optional "0x"/"0X" prefix for hexadecimal, else decimal; the
// whole text must be the number. Empty text, 64 or more characters, "0x"
// alone or anything else that is not a number gives nullopt. A number beyond
// the 32-bit range gives the nearest end of that range (so it is out of
// every bounded range, and above the top of a clamped one).
std::optional<long> ParseInteger(std::string_view text);

// Integer with the key's default and range: out of range or unparsable gives
// the default. A null text (missing key) gives the default.
long ReadInteger(const char* text, const IntegerKey& key);

// Boolean by its first character: t T y Y 1 true; f F n N 0 false; "on"/"off"
// by the second character; anything else (and a missing key) gives nullopt.
std::optional<bool> ParseBool(std::string_view text);
bool ReadBool(const char* text, const BoolKey& key);

// Every LF becomes CR LF. A parsed multi-line value holds LF between its
// lines; names, expressions and templates are used with CR LF.
std::string LfToCrLf(std::string_view text);

}  // namespace qm::settings
