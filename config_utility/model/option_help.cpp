// Descriptions of the settings for tooltips.
#include "config_utility/model/option_help.h"

#include "config_utility/model/dialog_options.h"
#include "config_utility/model/text.h"
#include "settings_format/settings_format.h"

namespace qm::utility {
namespace {

namespace sf = settings;

// How a default is shown: the stored number with a unit, or the text of the
// list item that stands for it.
enum class Shown { kNumber, kBoolean, kText, kListItem };

struct Description {
  const char* key;
  const char16_t* meaning;
  Shown shown;
  long defaultValue;                         // kNumber, kBoolean, kListItem
  const char16_t* unit;                      // after a number; may be empty
  const std::vector<std::u16string>* items;  // kListItem: the list
  int itemOffset;                            // kListItem: item = value - offset
};

const Description kDescriptions[] = {
    {sf::kFileMemory.name,
     u"Memory for reading a file whole (never more than half the free memory). A larger "
     u"file is read in pieces cut at line ends.",
     Shown::kNumber, sf::kFileMemory.defaultValue, u" MB (5 to 500)", nullptr, 0},
    {sf::kAnalyzeBuffer.name,
     u"How much of a file's start decides its text encoding (ANSI/Binary, UTF-8, UTF-16, "
     u"UTF-16 BE).",
     Shown::kListItem, sf::kAnalyzeBuffer.defaultValue, u"", &kAnalyzeBufferItems, 1},
    {sf::kOnDemandLimit.name,
     u"Files larger than this are searched only when the file manager asks for the value "
     u"itself (shown as <___> until then).",
     Shown::kNumber, sf::kOnDemandLimit.defaultValue, u" MB", nullptr, 0},
    {sf::kGlobalFileSizeLimit.name,
     u"Files larger than this are not searched at all; their fields answer as if nothing "
     u"matched.",
     Shown::kNumber, sf::kGlobalFileSizeLimit.defaultValue, u" MB", nullptr, 0},
    {sf::kResultCache.name,
     u"How many answers are kept in the compressed result cache (\"none\" turns it off; the "
     u"two values marked * act as 262144).",
     Shown::kListItem, sf::kResultCache.defaultValue, u" entries", &kResultCacheItems, 0},
    {sf::kClearCacheOnReread.name,
     u"The result cache is emptied when the file manager's view is refreshed.", Shown::kBoolean,
     sf::kClearCacheOnReread.defaultValue, u"", nullptr, 0},
    {sf::kRandomLength.name, u"Length of the strings made by \"Random string\" fields.",
     Shown::kNumber, sf::kRandomLength.defaultValue, u" characters", nullptr, 0},
    {sf::kRandomLoops.name,
     u"How many draws a \"Random string\" field makes for each character until one matches "
     u"its expression (when none does, the answer is empty).",
     Shown::kListItem, sf::kRandomLoops.defaultValue, u" attempts", &kRandomLoopsItems, 1},
    {sf::kModFieldName.name,
     u"Columns are named after the field names given here (otherwise after the expressions).",
     Shown::kBoolean, sf::kModFieldName.defaultValue, u"", nullptr, 0},
    {sf::kSortFields.name, u"Fields are offered to the file manager sorted by name.",
     Shown::kBoolean, sf::kSortFields.defaultValue, u"", nullptr, 0},
    {sf::kRegex1Extern.name,
     u"Field 1 takes its expression from the file regex1.txt beside the plugin.", Shown::kBoolean,
     sf::kRegex1Extern.defaultValue, u"", nullptr, 0},
    {sf::kMatchAllForErrors.name,
     u"A field whose expression is empty or does not compile matches everything instead of "
     u"being marked \"(!)\".",
     Shown::kBoolean, sf::kMatchAllForErrors.defaultValue, u"", nullptr, 0},
    {sf::kLogErrors.name, u"Compile errors are written to Quarrymark_error.log beside the plugin.",
     Shown::kBoolean, sf::kLogErrors.defaultValue, u"", nullptr, 0},
    {sf::kUnicodeZerosValid.name,
     u"Zero characters (00 00 pairs) in UTF-16 text without a byte order mark do not make it "
     u"count as ANSI/Binary in the encoding decision.",
     Shown::kBoolean, sf::kUnicodeZerosValid.defaultValue, u"", nullptr, 0},
    {sf::kNormalSearchForFilterFail.name,
     u"When a text filter (converter or Outside In) fails, the file is searched as it is.",
     Shown::kBoolean, sf::kNormalSearchForFilterFail.defaultValue, u"", nullptr, 0},
    {sf::kCaseSensitiveDefault.name,
     u"Expressions tell upper and lower case apart (otherwise every expression is caseless; "
     u"(?i) and (?-i) still work inside an expression).",
     Shown::kBoolean, sf::kCaseSensitiveDefault.defaultValue, u"", nullptr, 0},
    {sf::kOitFulltextTreatUnknownFileFormatAsText.name,
     u"The Outside In full-text field reads files of unknown format as plain text.",
     Shown::kBoolean, sf::kOitFulltextTreatUnknownFileFormatAsText.defaultValue, u"", nullptr, 0},
    {sf::kConverterTimeLimit.name,
     u"How long the converter (xdoc2txt) may take for one document; a run that takes longer "
     u"is ended and counts as a failed filter. 0: no limit.",
     Shown::kNumber, sf::kConverterTimeLimit.defaultValue, u" seconds (0 to 86400)", nullptr, 0},
    {sf::kOitDllPath32, u"Folder of the Oracle Outside In libraries the plugin loads.",
     Shown::kText, 0, u"empty (Outside In is not used)", nullptr, 0},
    {sf::kOitDllPath64,
     u"Folder of the 64-bit Outside In libraries (kept for the 64-bit Windows plugin).",
     Shown::kText, 0, u"empty", nullptr, 0},
    {sf::kOitFulltextExclude,
     u"Outside In file-format numbers the full-text field leaves out: four-digit numbers or "
     u"ranges such as 1000-1099, separated by \";\".",
     Shown::kText, 0, u"empty", nullptr, 0},
};

std::u16string DefaultText(const Description& d) {
  switch (d.shown) {
    case Shown::kNumber:
      return DecimalText(d.defaultValue) + d.unit;
    case Shown::kBoolean:
      return d.defaultValue ? u"on" : u"off";
    case Shown::kText:
      return d.unit;
    case Shown::kListItem: {
      const long index = d.defaultValue - d.itemOffset;
      std::u16string text = index >= 0 && index < static_cast<long>(d.items->size())
                                ? (*d.items)[index]
                                : DecimalText(d.defaultValue);
      return text + d.unit + u" (stored as " + DecimalText(d.defaultValue) + u")";
    }
  }
  return std::u16string();
}

struct TypeDescription {
  sf::FieldType type;
  const char16_t* meaning;
};
const TypeDescription kTypes[] = {
    {sf::FieldType::EncodingCheck,
     u"The file's text encoding: ANSI/Binary, UTF-8, UTF-16 or UTF-16 BE (the expression is "
     u"not used)."},
    {sf::FieldType::Boolean, u"Yes when the expression matches somewhere in the file."},
    {sf::FieldType::Count, u"The number of matches."},
    {sf::FieldType::CountIndividual, u"The number of different matching texts."},
    {sf::FieldType::StringOutput,
     u"Text built from every match by the replace string, one after the other."},
    {sf::FieldType::FirstMatchStringOutput,
     u"Text built from the first match by the replace "
     u"string."},
    {sf::FieldType::RandomString,
     u"A random string of characters that each match the expression (length and draws: "
     u"Options, Random strings)."},
    {sf::FieldType::AverageResultLength, u"The average length of the matches."},
    {sf::FieldType::FileCompare,
     u"A compare field for directory synchronisation: two files are equal when their "
     u"matches are."},
};

struct FlagDescription {
  std::uint32_t bit;
  const char16_t* meaning;
};
const FlagDescription kFlags[] = {
    {sf::flags::OemCodePage,
     u"8-bit text is read in the DOS code page (437) instead of the "
     u"system's encoding."},
    {sf::flags::DisableUnicodeProperties,
     u"\\d, \\w, \\s and [[:classes:]] match ASCII only (faster); off, they know all of "
     u"Unicode."},
    {sf::flags::EmptyMatchesPassThrough, u"Empty matches count as matches."},
    {sf::flags::EncodingCheckBufferOnly,
     u"Only the part of the file read for the encoding decision is searched."},
    {sf::flags::DisableTextFilter,
     u"The file is searched as it is, even when a filter extension would convert it."},
    {sf::flags::CompareCaseInsensitive, u"A compare field ignores case when comparing matches."},
    {sf::flags::FilenameOnly,
     u"The expression is matched against the file name, not the "
     u"content."},
};

}  // namespace

std::u16string OptionTooltip(std::string_view key) {
  for (const Description& d : kDescriptions) {
    if (key != d.key) continue;
    return std::u16string(d.meaning) + u"\nDefault: " + DefaultText(d) + u"\nKey: " + Widen(d.key);
  }
  return std::u16string();
}

std::u16string FieldTypeTooltip(int type) {
  for (const TypeDescription& t : kTypes) {
    if (static_cast<int>(t.type) != type) continue;
    return std::u16string(t.meaning) + u"\nStored as regexNtype=" + DecimalText(type) +
           (type == static_cast<int>(sf::FieldType::Boolean) ? u" (the default)" : u"");
  }
  return std::u16string();
}

std::u16string FieldFlagTooltip(std::uint32_t bit) {
  for (const FlagDescription& f : kFlags) {
    if (f.bit != bit) continue;
    return std::u16string(f.meaning) + u"\nAdds " + DecimalText(bit) +
           u" to regexNflags (the sum of the checked boxes; default 0)";
  }
  return std::u16string();
}

std::u16string FieldCountTooltip() {
  return u"How many fields the plugin offers: fields 1 to this number, marked --> in the "
         u"list. Fields beyond it keep their settings.\nDefault: " +
         DecimalText(sf::kRegexCount.defaultValue) + u" (1 to " +
         DecimalText(sf::kRegexCount.maxValue) + u")\nKey: " + Widen(sf::kRegexCount.name);
}

}  // namespace qm::utility
