// Tooltips of the settings: every option, type and flag the programs show has
// one, and the defaults in them are the ones the settings format uses.
#include "config_utility/model/option_help.h"

#include <gtest/gtest.h>

#include "config_utility/model/text.h"
#include "settings_format/settings_format.h"

namespace qm::utility {
namespace {

namespace sf = settings;

bool Contains(const std::u16string& text, const std::u16string& part) {
  return text.find(part) != std::u16string::npos;
}

TEST(OptionHelp, EveryGlobalOptionHasItsDefaultAndKey) {
  const char* keys[] = {sf::kFileMemory.name,
                        sf::kAnalyzeBuffer.name,
                        sf::kOnDemandLimit.name,
                        sf::kGlobalFileSizeLimit.name,
                        sf::kResultCache.name,
                        sf::kClearCacheOnReread.name,
                        sf::kRandomLength.name,
                        sf::kRandomLoops.name,
                        sf::kModFieldName.name,
                        sf::kSortFields.name,
                        sf::kRegex1Extern.name,
                        sf::kMatchAllForErrors.name,
                        sf::kLogErrors.name,
                        sf::kUnicodeZerosValid.name,
                        sf::kNormalSearchForFilterFail.name,
                        sf::kCaseSensitiveDefault.name,
                        sf::kOitFulltextTreatUnknownFileFormatAsText.name,
                        sf::kOitDllPath32,
                        sf::kOitDllPath64,
                        sf::kOitFulltextExclude};
  for (const char* key : keys) {
    const std::u16string tip = OptionTooltip(key);
    EXPECT_TRUE(Contains(tip, u"\nDefault: ")) << key;
    EXPECT_TRUE(Contains(tip, u"\nKey: " + Widen(key))) << key;
  }
  EXPECT_TRUE(OptionTooltip("NoSuchKey").empty());
}

TEST(OptionHelp, DefaultsAreShownWithTheirUnitsAndListItems) {
  EXPECT_TRUE(Contains(OptionTooltip(sf::kFileMemory.name), u"Default: 10 MB"));
  EXPECT_TRUE(Contains(OptionTooltip(sf::kGlobalFileSizeLimit.name), u"Default: 2048 MB"));
  // Step values show the list item and the stored number.
  EXPECT_TRUE(Contains(OptionTooltip(sf::kAnalyzeBuffer.name), u"Default: 256k (stored as 4)"));
  EXPECT_TRUE(
      Contains(OptionTooltip(sf::kResultCache.name), u"Default: 16384 entries (stored as 2)"));
  EXPECT_TRUE(
      Contains(OptionTooltip(sf::kRandomLoops.name), u"Default: 1048576 attempts (stored as 3)"));
  EXPECT_TRUE(Contains(OptionTooltip(sf::kConverterTimeLimit.name), u"Default: 60 seconds"));
  EXPECT_TRUE(Contains(OptionTooltip(sf::kLogErrors.name), u"Default: on"));
  EXPECT_TRUE(Contains(OptionTooltip(sf::kSortFields.name), u"Default: off"));
  EXPECT_TRUE(Contains(FieldCountTooltip(), u"Default: 4 (1 to 999)"));
}

TEST(OptionHelp, TypesAndFlagsTellTheirStoredNumbers) {
  for (int type = sf::kMinStoredType; type <= sf::kMaxUtilityType; ++type) {
    EXPECT_TRUE(Contains(FieldTypeTooltip(type), u"regexNtype=" + DecimalText(type))) << type;
  }
  EXPECT_TRUE(FieldTypeTooltip(8).empty());  // no button for it
  for (std::uint32_t bit = 1; bit <= 64; bit <<= 1) {
    EXPECT_TRUE(Contains(FieldFlagTooltip(bit), u"Adds " + DecimalText(bit) + u" to regexNflags"))
        << bit;
  }
  EXPECT_TRUE(FieldFlagTooltip(3).empty());
}

}  // namespace
}  // namespace qm::utility
