// Value parsing, key names and the INI dialect shared by both deliverables.
#include <gtest/gtest.h>

#include <string>

#include "settings_format/ini_document.h"
#include "settings_format/settings_format.h"

namespace qm::settings {
namespace {

TEST(ParseInteger, DecimalHexadecimalAndRejectedTexts) {
  struct Case {
    const char* text;
    std::optional<long> value;
  } cases[] = {
      {"20", 20},          {"0x14", 20},        {"0X1f", 31},      {"-1", -1},
      {"+7", 7},           {"010", 10},         {"2147483647", 2147483647L},
      {"-2147483648", -2147483647L - 1},        {"20MB", std::nullopt},
      {"", std::nullopt},  {"0x", std::nullopt}, {"0X", std::nullopt}, {"-", std::nullopt},
      {"1 2", std::nullopt}, {"0x1g", std::nullopt}, {"12.5", std::nullopt},
      {"abc", std::nullopt},
      // Beyond 32 bits: the nearest end, out of every bounded range.
      {"2147483648", 2147483647L}, {"99999999999999999999", 2147483647L},
      {"0xFFFFFFFF", 2147483647L}, {"-99999999999", -2147483647L - 1},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseInteger(c.text), c.value) << '"' << c.text << '"';
}

TEST(ParseInteger, SixtyFourCharactersOrMoreAreRejected) {
  const std::string sixtyThree = std::string(62, '0') + "5";
  const std::string sixtyFour = std::string(63, '0') + "5";
  EXPECT_EQ(ParseInteger(sixtyThree), 5);
  EXPECT_EQ(ParseInteger(sixtyFour), std::nullopt);
}

TEST(ReadInteger, OutOfRangeAndMissingGiveTheDefault) {
  struct Case {
    const char* text;
    long value;
  } cases[] = {{"4", 10}, {"501", 10}, {"5", 5}, {"500", 500}, {"0x14", 20}, {"20MB", 10},
               {"", 10},  {nullptr, 10}};
  for (const Case& c : cases) {
    EXPECT_EQ(ReadInteger(c.text, kFileMemory), c.value) << (c.text ? c.text : "(missing)");
  }
  EXPECT_EQ(ReadInteger("0", kResultCache), 0);
  EXPECT_EQ(ReadInteger("9", kResultCache), 2);
  EXPECT_EQ(ReadInteger("1073741824", kOnDemandLimit), 1073741824);
  EXPECT_EQ(ReadInteger("1073741825", kGlobalFileSizeLimit), 2048);
  EXPECT_EQ(ReadInteger("0xFFFFFFFF", kFileMemory), 10);
  EXPECT_EQ(ReadInteger("-4294967297", kFileMemory), 10);
}

TEST(ParseBool, FirstCharacterAndOnOff) {
  struct Case {
    const char* text;
    std::optional<bool> value;
  } cases[] = {
      {"true", true},  {"T", true},   {"yes", true},  {"Y", true},  {"1", true},  {"on", true},
      {"ON", true},    {"oN", true},  {"false", false}, {"F", false}, {"no", false}, {"N", false},
      {"0", false},    {"off", false}, {"OFF", false}, {"maybe", std::nullopt}, {"o", std::nullopt},
      {"ox", std::nullopt}, {"", std::nullopt}, {" true", std::nullopt}, {"2", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseBool(c.text), c.value) << '"' << c.text << '"';
  EXPECT_TRUE(ReadBool("maybe", kLogErrors));
  EXPECT_FALSE(ReadBool("off", kLogErrors));
  EXPECT_TRUE(ReadBool("yes", kSortFields));
  EXPECT_FALSE(ReadBool(nullptr, kSortFields));
  EXPECT_TRUE(ReadBool(nullptr, kModFieldName));
}

TEST(DerivedValues, StepsBecomeBytesEntriesAndLoops) {
  EXPECT_EQ(AnalyzeBufferBytes(1), 32768u);
  EXPECT_EQ(AnalyzeBufferBytes(4), 262144u);
  EXPECT_EQ(AnalyzeBufferBytes(8), 4194304u);
  EXPECT_EQ(ResultCacheEntries(0), 0u);
  EXPECT_EQ(ResultCacheEntries(1), 8192u);
  EXPECT_EQ(ResultCacheEntries(2), 16384u);
  EXPECT_EQ(ResultCacheEntries(6), 262144u);
  EXPECT_EQ(ResultCacheEntries(7), 262144u);
  EXPECT_EQ(ResultCacheEntries(8), 262144u);
  EXPECT_EQ(RandomLoopCount(1), 262144u);
  EXPECT_EQ(RandomLoopCount(3), 1048576u);
  EXPECT_EQ(RandomLoopCount(9), 67108864u);
}

TEST(FieldKeys, NumberWithoutLeadingZerosAndSuffix) {
  EXPECT_EQ(FieldKey(12, ""), "regex12");
  EXPECT_EQ(FieldKey(12, kNameSuffix), "regex12name");
  EXPECT_EQ(FieldKey(1, kTypeSuffix), "regex1type");
  EXPECT_EQ(FieldKey(999, kFlagsSuffix), "regex999flags");
  EXPECT_EQ(FieldKey(3, kReplaceSuffix), "regex3replace");
}

TEST(LfToCrLf, EveryLineFeedGainsACarriageReturn) {
  EXPECT_EQ(LfToCrLf("a\nb\n"), "a\r\nb\r\n");
  EXPECT_EQ(LfToCrLf("\n\n"), "\r\n\r\n");
  EXPECT_EQ(LfToCrLf("plain"), "plain");
  EXPECT_EQ(LfToCrLf(""), "");
}

// The dialect both deliverables read: optional byte-order mark, keys without
// regard to case, multi-line values whose lines come back joined by LF.
const char* Value(const IniDocument& ini, const char* key) {
  return ini.GetValue(kMainSection, key, nullptr);
}

TEST(IniDialect, ByteOrderMarkIsOptionalAndKeysIgnoreCase) {
  const std::string body = "[Quarrymark]\r\nFileMemory=20\r\nregex1name=Name\r\n";
  for (const std::string& text : {body, std::string(kUtf8Bom) + body}) {
    IniDocument ini;
    ConfigureIniDocument(ini);
    ASSERT_EQ(ini.LoadData(text.data(), text.size()), SI_OK);
    ASSERT_NE(Value(ini, "filememory"), nullptr);
    EXPECT_STREQ(Value(ini, "filememory"), "20");
    EXPECT_STREQ(ini.GetValue("QUARRYMARK", "REGEX1NAME", nullptr), "Name");
  }
}

TEST(IniDialect, MultiLineValuesKeepBlanksAndJoinLinesWithLf) {
  const std::string text =
      "[Quarrymark]\r\n"
      "regex1replace=<<<END_OF_TEXT\r\n$0 \r\nEND_OF_TEXT\r\n"
      "regex1name=<<<END_OF_TEXT\r\nfirst\r\nsecond\r\nEND_OF_TEXT\r\n"
      "regex2=<<<END_OF_TEXT\nx\ny\nEND_OF_TEXT\n"
      "regex3=after\r\n";
  IniDocument ini;
  ConfigureIniDocument(ini);
  ASSERT_EQ(ini.LoadData(text.data(), text.size()), SI_OK);
  EXPECT_STREQ(Value(ini, "regex1replace"), "$0 ");
  EXPECT_STREQ(Value(ini, "regex1name"), "first\nsecond");
  EXPECT_EQ(LfToCrLf(Value(ini, "regex1name")), "first\r\nsecond");
  EXPECT_STREQ(Value(ini, "regex2"), "x\ny");
  EXPECT_STREQ(Value(ini, "regex3"), "after");
}

}  // namespace
}  // namespace qm::settings
