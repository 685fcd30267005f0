// The field table as the host sees it through the exports, and the
// library's life cycle: attach, load, detach.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/plugin_loader.h"

namespace qm::test {
namespace {

std::string Ini(const std::vector<std::string>& lines) {
  std::string text = "[Quarrymark]\r\n";
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

struct Offered {
  int index;
  std::string name;
  int type;
  std::string units;
  bool operator==(const Offered& o) const {
    return index == o.index && name == o.name && type == o.type && units == o.units;
  }
};

std::ostream& operator<<(std::ostream& out, const Offered& o) {
  return out << o.index << ' ' << o.name << ' ' << o.type << " [" << o.units << ']';
}

// The enumeration a host makes: from 0, then from 10000, each until
// ft_nomorefields.
std::vector<Offered> Enumerate(LoadedPlugin& plugin) {
  std::vector<Offered> fields;
  for (const int base : {0, 10000}) {
    for (int index = base;; ++index) {
      Offered o{index, "", 0, ""};
      o.type = plugin.SupportedField(index, &o.name, &o.units);
      if (o.type == ft_nomorefields) break;
      fields.push_back(o);
    }
  }
  return fields;
}

TEST(Exports, EveryTypeIsOfferedWithItsAnswerType) {
  LoadedPlugin plugin(Ini({"regexcount=9", "regex1=a", "regex1type=-1", "regex1name=Enc",
                           "regex2=a", "regex2name=Bool", "regex3=a", "regex3type=1", "regex3name=Cnt",
                           "regex4=a", "regex4type=2", "regex4name=Ind", "regex5=a", "regex5type=3",
                           "regex5name=Str", "regex6=a", "regex6type=4", "regex6name=First",
                           "regex7=a", "regex7type=5", "regex7name=Rnd", "regex8=a", "regex8type=6",
                           "regex8name=Avg", "regex9=a", "regex9type=8", "regex9name=Ratio"}));
  const std::string units = "ANSI/Binary|UTF-8|UTF-16|UTF-16 BE";
  const std::vector<Offered> expected = {
      {0, "Enc", ft_multiplechoice, units}, {1, "Bool", ft_boolean, ""},
      {2, "Cnt", ft_numeric_32, ""},        {3, "Ind", ft_numeric_32, ""},
      {4, "Str", ft_string, ""},            {5, "First", ft_string, ""},
      {6, "Rnd", ft_string, ""},            {7, "Avg", ft_numeric_floating, ""},
      {8, "Ratio", ft_numeric_floating, ""},
  };
  EXPECT_EQ(Enumerate(plugin), expected);
  // The hidden line-break field is never offered; nor are compare fields here.
  EXPECT_EQ(plugin.SupportedField(9, nullptr, nullptr), ft_nomorefields);
  EXPECT_EQ(plugin.SupportedField(10000, nullptr, nullptr), ft_nomorefields);
  EXPECT_EQ(plugin.SupportedField(2147483647, nullptr, nullptr), ft_nomorefields);
}

TEST(Exports, CompareFieldsAreOfferedOnlyFromIndex10000) {
  LoadedPlugin plugin(Ini({"regexcount=3", "regex1=a", "regex1name=A", "regex2=a", "regex2name=B",
                           "regex2type=7", "regex3=a", "regex3name=C", "regex3type=1"}));
  const std::vector<Offered> expected = {
      {0, "A", ft_boolean, ""}, {1, "C", ft_numeric_32, ""}, {10000, "B", ft_comparecontent, ""}};
  EXPECT_EQ(Enumerate(plugin), expected);
  EXPECT_EQ(plugin.SupportedField(2, nullptr, nullptr), ft_nomorefields);
  EXPECT_EQ(plugin.SupportedField(10001, nullptr, nullptr), ft_nomorefields);
  EXPECT_EQ(plugin.SupportedField(-1, nullptr, nullptr), ft_nomorefields);
}

TEST(Exports, NamesAndUnitsAreCutToTheBuffer) {
  LoadedPlugin plugin(Ini({"regexcount=2", "regex1=a", "regex1name=Counter", "regex2=a",
                           "regex2type=-1"}));
  std::string name, units;
  EXPECT_EQ(plugin.SupportedField(0, &name, &units, 5), ft_boolean);
  EXPECT_EQ(name, "Coun");
  EXPECT_EQ(plugin.SupportedField(1, &name, &units, 10), ft_multiplechoice);
  EXPECT_EQ(name, "PCRE-RegE");
  EXPECT_EQ(units, "ANSI/Bin");
  EXPECT_EQ(plugin.SupportedField(0, &name, &units, 1), ft_boolean);
  EXPECT_EQ(name, "");
  // Nothing at all is written for maxlen 0 or below (the guard bytes stay).
  auto get = plugin.Export<decltype(&ContentGetSupportedField)>("ContentGetSupportedField");
  for (const int maxlen : {0, -1}) {
    char n[8] = "*******", u[8] = "*******";
    EXPECT_EQ(get(0, n, u, maxlen), ft_boolean);
    EXPECT_STREQ(n, "*******");
    EXPECT_STREQ(u, "*******");
  }
  auto detect = plugin.Export<decltype(&ContentGetDetectString)>("ContentGetDetectString");
  char d[4] = "***";
  EXPECT_EQ(detect(d, 0), 0);
  EXPECT_STREQ(d, "***");
  EXPECT_EQ(detect(d, 4), 0);
  EXPECT_STREQ(d, "");
}

TEST(Exports, UnloadWithoutSettingsAndRepeatedSettingsAreHarmless) {
  {
    LoadedPlugin never(Ini({"regexcount=1", "regex1=a"}), 2, 11, false);
    EXPECT_EQ(never.SupportedField(0, nullptr, nullptr), ft_nomorefields);
    EXPECT_EQ(never.ValueW(never.folder().PathOf("Quarrymark.ini"), 0).code, ft_nosuchfield);
    never.StopW("x");
    never.StateInformation(2);
  }  // detached here without a load
  LoadedPlugin twice(Ini({"regexcount=1", "regex1=a", "regex1name=Once"}));
  twice.SetDefaultParams(2, 11);
  twice.SetDefaultParams(1, 3);
  const std::vector<Offered> expected = {{0, "Once", ft_boolean, ""}};
  EXPECT_EQ(Enumerate(twice), expected);
  auto compare = twice.Export<decltype(&ContentCompareFiles)>("ContentCompareFiles");
  char a[] = "a", b[] = "b";
  EXPECT_EQ(compare(nullptr, 10000, a, b, nullptr), -3);
}

}  // namespace
}  // namespace qm::test
