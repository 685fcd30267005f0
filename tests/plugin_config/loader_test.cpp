// Loading the settings: defaults and ranges, fields and their fallbacks,
// display names, sorting, compare fields, filters, exclusions and the
// external expression file.
#include <filesystem>
#include <functional>
#include <tuple>

#include "config_fixture.h"
#include "plugin/config/compile.h"

namespace qm::plugin::test {
namespace {

using settings::FieldType;
using Strings = std::vector<std::string>;

// ---------------------------------------------------------------------------
// No settings, old hosts, the file itself
// ---------------------------------------------------------------------------
TEST_F(ConfigTest, WithoutSettingsFourErrorPlaceholdersAndDefaults) {
  const PluginState& s = LoadFolder();
  EXPECT_EQ(Names(), (Strings{"(!)PCRE-RegEx1", "(!)PCRE-RegEx2", "(!)PCRE-RegEx3", "(!)PCRE-RegEx4"}));
  ASSERT_EQ(s.fields.size(), 5u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(Field(i).compileError);
    EXPECT_EQ(Field(i).type, FieldType::Boolean);
    EXPECT_FALSE(Field(i).ansiProgram);
  }
  // The hidden line-break field is last and usable.
  const FieldDefinition& lineBreak = s.fields.back();
  EXPECT_FALSE(lineBreak.compileError);
  EXPECT_EQ(lineBreak.type, FieldType::Boolean);
  EXPECT_TRUE(lineBreak.configuredName.empty());
  EXPECT_TRUE(Finds(lineBreak.utf16Program, u"a\r\nb"));
  EXPECT_TRUE(Finds(lineBreak.ansiProgram, "a\rb"));
  EXPECT_FALSE(Finds(lineBreak.ansiProgram, "ab"));

  const PluginSettings& p = s.settings;
  EXPECT_EQ(p.fileMemory, 10);
  EXPECT_EQ(p.onDemandLimit, 52428800u);
  EXPECT_EQ(p.globalFileSizeLimit, 2147483648u);
  EXPECT_EQ(p.analyzeBuffer, 262144u);
  EXPECT_EQ(p.resultCache, 16384u);
  EXPECT_EQ(p.randomLength, 32);
  EXPECT_EQ(p.randomLoops, 1048576u);
  EXPECT_FALSE(p.matchAllForErrors);
  EXPECT_TRUE(p.modFieldName);
  EXPECT_TRUE(p.normalSearchForFilterFail);
  EXPECT_FALSE(p.caseSensitiveDefault);
  EXPECT_TRUE(p.fulltextHost);
  EXPECT_FALSE(p.bigEndianMachine);
  EXPECT_EQ(s.fulltextExclude, (FulltextExcludeSet{1999}));
  EXPECT_TRUE(s.filters.empty());
  EXPECT_TRUE(s.loaded);
}

TEST_F(ConfigTest, HostsBeforeInterface14GetPlaceholdersEvenWithAValidFile) {
  const std::string text = Ini({"FileMemory=20", "ModFieldName=off", "regexcount=2", "regex1=a",
                                "regex2=b", "regex1name=Named"});
  Load(text, 1, 3);
  EXPECT_EQ(Names(), (Strings{"(!)PCRE-RegEx1", "(!)PCRE-RegEx2", "(!)PCRE-RegEx3", "(!)PCRE-RegEx4"}));
  EXPECT_EQ(state_->settings.fileMemory, 10);
  EXPECT_TRUE(state_->settings.modFieldName);
  Load(text, 1, 4);
  EXPECT_EQ(Names(), (Strings{"PCRE-RegEx1", "PCRE-RegEx2"}));
  EXPECT_EQ(state_->settings.fileMemory, 20);
  EXPECT_FALSE(Field(0).compileError);
  EXPECT_FALSE(state_->settings.fulltextHost);
  EXPECT_FALSE(LoadFolder(2, 10).settings.fulltextHost);
  EXPECT_TRUE(LoadFolder(3, 0).settings.fulltextHost);
  // The Outside In libraries are not installed here: no full-text field.
  EXPECT_EQ(state_->VisibleCount(), 2);
}

TEST_F(ConfigTest, ByteOrderMarkIsOptional) {
  const std::string body = Ini({"FileMemory=33", "regexcount=1", "regex1=x", "regex1name=N\xC3\xA9"});
  Load(body);
  const std::vector<std::string> plain = Names();
  EXPECT_EQ(state_->settings.fileMemory, 33);
  Load(std::string("\xEF\xBB\xBF") + body);
  EXPECT_EQ(Names(), plain);
  EXPECT_EQ(plain, (Strings{"N\xE9"}));
  EXPECT_EQ(state_->settings.fileMemory, 33);
}

TEST_F(ConfigTest, SettingsFileOfMoreThanFiveMebibytesIsNotRead) {
  std::string text = Ini({"FileMemory=20", "regexcount=1", "regex1=x"});
  const std::size_t limit = 5242880;
  while (text.size() + 102 <= limit) text += ";" + std::string(99, 'c') + "\r\n";
  text += ";" + std::string(limit - text.size() - 3, 'c') + "\r\n";
  ASSERT_EQ(text.size(), limit);
  Load(text);
  EXPECT_EQ(state_->settings.fileMemory, 20);
  EXPECT_EQ(state_->VisibleCount(), 1);
  Load(text + ";");
  EXPECT_EQ(state_->settings.fileMemory, 10);
  EXPECT_EQ(Names().front(), "(!)PCRE-RegEx1");
}

// A NUL byte inside a value ends nothing: the byte is left out and every
// line after it is read, as the settings utility reads the file.
TEST_F(ConfigTest, NulByteIsLeftOutAndTheLinesAfterItAreRead) {
  Load(Ini({"regexcount=2", std::string("regex1=a\0b", 10), "regex1name=First", "regex1type=1",
            "regex2=c", "regex2name=Second"}));
  EXPECT_EQ(Names(), (Strings{"First", "Second"}));
  EXPECT_EQ(Field(0).type, FieldType::Count);
  EXPECT_TRUE(Finds(Field(0).utf8Program, "ab"));
  EXPECT_FALSE(Finds(Field(0).utf8Program, "a"));
}

TEST_F(ConfigTest, SampleSettingsAreUsedWhenTheMainFileIsMissingOrAFolder) {
  folder_.Write("Quarrymark.Sample.ini", Ini({"FileMemory=7"}));
  EXPECT_EQ(LoadFolder().settings.fileMemory, 7);
  std::filesystem::create_directory(folder_.path() / "Quarrymark.ini");
  EXPECT_EQ(LoadFolder().settings.fileMemory, 7);
  std::filesystem::remove(folder_.path() / "Quarrymark.ini");
  EXPECT_EQ(Load(Ini({"FileMemory=8"})).settings.fileMemory, 8);
}

TEST_F(ConfigTest, EmptySettingsFileGivesFourEmptyFields) {
  folder_.Write("Quarrymark.ini", "");
  LoadFolder();
  EXPECT_EQ(Names(), (Strings{"(!)PCRE-RegEx1", "(!)PCRE-RegEx2", "(!)PCRE-RegEx3", "(!)PCRE-RegEx4"}));
}

// ---------------------------------------------------------------------------
// Global options: each value is taken only inside its range
// ---------------------------------------------------------------------------
TEST_F(ConfigTest, GlobalOptionsKeepTheirDefaultsOutsideTheirRanges) {
  using Getter = std::function<std::uint64_t(const PluginSettings&)>;
  const Getter fileMemory = [](const PluginSettings& p) { return std::uint64_t(p.fileMemory); };
  const Getter onDemand = [](const PluginSettings& p) { return p.onDemandLimit; };
  const Getter global = [](const PluginSettings& p) { return p.globalFileSizeLimit; };
  const Getter analyze = [](const PluginSettings& p) { return std::uint64_t(p.analyzeBuffer); };
  const Getter cache = [](const PluginSettings& p) { return std::uint64_t(p.resultCache); };
  const Getter length = [](const PluginSettings& p) { return std::uint64_t(p.randomLength); };
  const Getter loops = [](const PluginSettings& p) { return std::uint64_t(p.randomLoops); };
  struct Case {
    const char* line;
    const Getter* get;
    std::uint64_t expected;
  } cases[] = {
      {"FileMemory=4", &fileMemory, 10},         {"FileMemory=501", &fileMemory, 10},
      {"FileMemory=0x14", &fileMemory, 20},      {"FileMemory=20MB", &fileMemory, 10},
      {"FileMemory=5", &fileMemory, 5},          {"FileMemory=500", &fileMemory, 500},
      {"FileMemory=", &fileMemory, 10},          {"filememory=30", &fileMemory, 30},
      {"OnDemandLimit=1", &onDemand, 1048576},   {"OnDemandLimit=0", &onDemand, 52428800},
      {"OnDemandLimit=1073741824", &onDemand, 1125899906842624ull},
      {"GlobalFileSizeLimit=4", &global, 2147483648ull},
      {"GlobalFileSizeLimit=5", &global, 5242880},
      {"GlobalFileSizeLimit=4096", &global, 4294967296ull},
      {"AnalyzeBuffer=1", &analyze, 32768},      {"AnalyzeBuffer=8", &analyze, 4194304},
      {"AnalyzeBuffer=9", &analyze, 262144},     {"AnalyzeBuffer=0", &analyze, 262144},
      {"ResultCache=0", &cache, 0},              {"ResultCache=1", &cache, 8192},
      {"ResultCache=6", &cache, 262144},         {"ResultCache=8", &cache, 262144},
      {"ResultCache=9", &cache, 16384},          {"ResultCache=-1", &cache, 16384},
      {"RandomLength=0", &length, 32},           {"RandomLength=1", &length, 1},
      {"RandomLength=100000", &length, 100000},  {"RandomLoops=1", &loops, 262144},
      {"RandomLoops=9", &loops, 67108864},       {"RandomLoops=10", &loops, 1048576},
  };
  for (const Case& c : cases) {
    const PluginState& s = Load(Ini({c.line}));
    EXPECT_EQ((*c.get)(s.settings), c.expected) << c.line;
  }
}

TEST_F(ConfigTest, BooleansAreReadByTheirFirstCharacters) {
  // Value, then the result for a key defaulting to false and one to true.
  const std::tuple<const char*, bool, bool> cases[] = {
      {"yes", true, true}, {"off", false, false}, {"on", true, true}, {"maybe", false, true}};
  for (const auto& [value, forFalse, forTrue] : cases) {
    const std::string v = value;
    const PluginSettings& p = Load(Ini({"ClearCacheOnReread=" + v, "ModFieldName=" + v,
                                        "UnicodeZerosValid=" + v, "NormalSearchForFilterFail=" + v,
                                        "CaseSensitiveDefault=" + v, "MatchAllForErrors=" + v,
                                        "OitFulltextTreatUnknownFileFormatAsText=" + v}))
                                  .settings;
    for (const bool b : {p.clearCacheOnReread, p.unicodeZerosValid, p.caseSensitiveDefault,
                         p.matchAllForErrors, p.oitFulltextTreatUnknownFileFormatAsText}) {
      EXPECT_EQ(b, forFalse) << v;
    }
    EXPECT_EQ(p.modFieldName, forTrue) << v;
    EXPECT_EQ(p.normalSearchForFilterFail, forTrue) << v;
  }
}

TEST_F(ConfigTest, FieldCountIsClampedNotRejected) {
  struct Case {
    const char* line;
    int count;
  } cases[] = {{"regexcount=0", 1}, {"regexcount=-3", 1}, {"regexcount=5000", 999},
               {"regexcount=0x3", 3}, {"regexcount=many", 4}, {"regexcount=99999999999", 999},
               {"regexcount=0xFFFFFFFF", 999}, {"regexcount=999", 999}};
  for (const Case& c : cases) {
    Load(Ini({c.line}));
    EXPECT_EQ(state_->VisibleCount(), c.count) << c.line;
    EXPECT_EQ(state_->fields.size(), static_cast<std::size_t>(c.count) + 1) << c.line;
  }
  EXPECT_EQ(Names().back(), "(!)PCRE-RegEx999");
}

// ---------------------------------------------------------------------------
// Fields
// ---------------------------------------------------------------------------
TEST_F(ConfigTest, TypesAndFlagsOutsideTheirRangesBecomeZero) {
  Load(Ini({"regexcount=8", "regex1=a", "regex1type=-1", "regex2=a", "regex2type=8", "regex3=a",
            "regex3type=9", "regex4=a", "regex4type=-2", "regex8=a", "regex8type=0xFFFFFFFF", "regex5=a", "regex5flags=127",
            "regex6=a", "regex6flags=128", "regex7=a", "regex7flags=-1"}));
  EXPECT_EQ(Field(0).type, FieldType::EncodingCheck);
  EXPECT_EQ(Field(1).type, FieldType::MatchDistanceRatio);
  EXPECT_EQ(Field(2).type, FieldType::Boolean);
  EXPECT_EQ(Field(3).type, FieldType::Boolean);
  EXPECT_EQ(Field(7).type, FieldType::Boolean);  // a large number, not -1
  const FieldDefinition& all = Field(4);
  EXPECT_TRUE(all.oemCodePage && all.emptyMatchesPassThrough && all.encodingCheckBufferOnly &&
              !all.filterEnabled && all.compareCaseInsensitive && all.filenameOnly);
  for (int i : {5, 6}) {
    EXPECT_TRUE(!Field(i).oemCodePage && !Field(i).filenameOnly && Field(i).filterEnabled) << i;
  }
}

TEST_F(ConfigTest, MultiLineValuesGetCrLfBetweenTheirLines) {
  Load("[Quarrymark]\n"
       "regexcount=1\n"
       "regex1=<<<END_OF_TEXT\nfirst\nsecond\nEND_OF_TEXT\n"
       "regex1name=<<<END_OF_TEXT\r\nName\r\ntwo\r\nEND_OF_TEXT\r\n");
  EXPECT_EQ(Field(0).configuredName, "Name\r\ntwo");
  EXPECT_FALSE(Field(0).compileError);
  EXPECT_TRUE(Finds(Field(0).utf8Program, "first\r\nsecond"));
  EXPECT_FALSE(Finds(Field(0).utf8Program, "first\nsecond"));
  EXPECT_TRUE(Finds(Field(0).utf16Program, u"first\r\nsecond"));
}

TEST_F(ConfigTest, EmptyAndBrokenExpressionsWithoutMatchAll) {
  Load(Ini({"regexcount=5", "regex1=a", "regex1name=One", "regex2name=Two", "regex2type=1",
            "regex2flags=4", "regex3=(", "regex3name=Three", "regex3type=3", "regex3flags=64",
            "regex4type=-1", "regex5=(", "regex5type=-1", "SortFields=on"}));
  // Not sorted (there are errors); every number keeps its position.
  EXPECT_EQ(Names(), (Strings{"One", "(!)Two", "(!)Three", "PCRE-RegEx4", "PCRE-RegEx5"}));
  // An empty expression: the ".*" record stays, flagged, type 0, flags kept.
  EXPECT_TRUE(Field(1).compileError);
  EXPECT_EQ(Field(1).type, FieldType::Boolean);
  EXPECT_TRUE(Field(1).emptyMatchesPassThrough);
  EXPECT_TRUE(Field(1).ansiProgram);
  // A broken one: a placeholder with nothing compiled, flags 0, name kept.
  EXPECT_TRUE(Field(2).compileError);
  EXPECT_EQ(Field(2).type, FieldType::Boolean);
  EXPECT_FALSE(Field(2).filenameOnly);
  EXPECT_FALSE(Field(2).ansiProgram || Field(2).utf8Program || Field(2).utf16Program);
  EXPECT_EQ(Field(2).configuredName, "Three");
  // Encoding-check fields are flagged but get no "(!)".
  EXPECT_TRUE(Field(3).compileError);
  EXPECT_EQ(Field(3).type, FieldType::EncodingCheck);
  EXPECT_TRUE(Field(4).compileError);
  EXPECT_EQ(Field(4).type, FieldType::EncodingCheck);
}

TEST_F(ConfigTest, EmptyAndBrokenExpressionsWithMatchAllBecomeMatchAllFields) {
  Load(Ini({"MatchAllForErrors=true", "regexcount=2", "regex1name=Empty", "regex1type=3",
            "regex1flags=64", "regex1replace=[$0]", "regex2=(", "regex2type=1", "regex2flags=4"}));
  EXPECT_EQ(Names(), (Strings{"Empty", "PCRE-RegEx2"}));
  for (int i : {0, 1}) {
    EXPECT_FALSE(Field(i).compileError) << i;
    EXPECT_TRUE(Finds(Field(i).utf8Program, "")) << i;
  }
  EXPECT_EQ(Field(0).type, FieldType::StringOutput);
  EXPECT_TRUE(Field(0).filenameOnly);
  EXPECT_EQ(Field(1).type, FieldType::Count);
  EXPECT_TRUE(Field(1).emptyMatchesPassThrough);

  // The template became the default one, not the configured "[$0]".
  PluginState reference;
  reference.ansiTables = settings::MakeCharTables(1252);
  std::string log;
  ASSERT_TRUE(CompileField(reference, u".*", 1, "", log, FieldType::StringOutput, 0, u"$0\\x20"));
  EXPECT_EQ(Field(0).templateOps, reference.fields[0].templateOps);
  EXPECT_EQ(Field(0).literalPieces, reference.fields[0].literalPieces);
}

// ---------------------------------------------------------------------------
// Display names, sorting, compare fields
// ---------------------------------------------------------------------------
TEST_F(ConfigTest, DisplayNamesReplaceSeparatorsAndUseTheAnsiCodePage) {
  Load(Ini({"regexcount=4", "regex1=a", "regex1name=a.b|c:d", "regex2=a",
            "regex2name=caf\xC3\xA9", "regex3=a", "regex3name=\xE6\x97\xA5x", "regex4=a"}));
  EXPECT_EQ(Names(), (Strings{"a_b_c_d", "caf\xE9", "?x", "PCRE-RegEx4"}));
  EXPECT_EQ(Field(0).configuredName, "a.b|c:d");

  platform::SetCodePagesForTesting(932, 437);
  Load(Ini({"regexcount=1", "regex1=a", "regex1name=\xE6\x97\xA5\xE6\x9C\xAC"}));
  EXPECT_EQ(Names(), (Strings{"\x93\xFA\x96\x7B"}));
  EXPECT_EQ(state_->settings.multibyteCodePageFlags, 1u);
}

TEST_F(ConfigTest, ModFieldNameOffNamesFieldsByPosition) {
  Load(Ini({"ModFieldName=off", "regexcount=3", "regex1=a", "regex1name=x", "regex2=(",
            "regex3=a", "regex3name=a.b|c:d", "SortFields=true"}));
  EXPECT_EQ(Names(), (Strings{"PCRE-RegEx1", "PCRE-RegEx2", "PCRE-RegEx3"}));
}

TEST_F(ConfigTest, SortFieldsOrdersByNameOnlyWithoutErrors) {
  const Strings lines = {"regexcount=4",       "regex1=a", "regex1name=charlie", "regex2=a",
                         "regex2name=alpha",   "regex3=a", "regex3name=delta",   "regex4=a",
                         "regex4name=bravo",   "regex3type=1"};
  Strings sorted = lines;
  sorted.push_back("SortFields=yes");
  Load(Ini(sorted));
  EXPECT_EQ(Names(), (Strings{"alpha", "bravo", "charlie", "delta"}));
  EXPECT_EQ(Field(3).type, FieldType::Count);  // records move whole
  Load(Ini(lines));
  EXPECT_EQ(Names(), (Strings{"charlie", "alpha", "delta", "bravo"}));
  Strings broken = sorted;
  broken.push_back("regex5name=echo");
  broken[0] = "regexcount=5";  // field 5 has no expression: an error
  Load(Ini(broken));
  EXPECT_EQ(Names(), (Strings{"charlie", "alpha", "delta", "bravo", "(!)echo"}));
}

TEST_F(ConfigTest, CompareFieldsFollowAllOthersInTheirOrder) {
  Load(Ini({"regexcount=5", "regex1=a", "regex1name=First compare", "regex1type=7", "regex2=a",
            "regex2name=A", "regex3=a", "regex3name=B", "regex3type=7", "regex4=a",
            "regex4name=C", "regex4type=1", "regex5=a", "regex5name=D", "regex5type=-1"}));
  EXPECT_EQ(Names(), (Strings{"A", "C", "D", "First compare", "B"}));
  EXPECT_EQ(state_->fields.size(), 6u);
  EXPECT_TRUE(state_->fields.back().configuredName.empty());  // the line-break field
}

// The libraries are loaded through the function the exports hand in, with
// the folder text as configured; the full-text field follows the sorted
// configured fields (before the compare fields) only when they loaded and
// the host can ask for it.
TEST_F(ConfigTest, FulltextFieldExistsExactlyWhenOutsideInLoadsForAFulltextHost) {
  folder_.Write("Quarrymark.ini",
                Ini({"regexcount=3", "regex1=a", "regex1name=Z", "regex2=a", "regex2name=Cmp",
                     "regex2type=7", "regex3=b", "regex3name=Y", "OitDllPath32=oit \xC3\xA9",
                     "OitDllPath64=oit \xC3\xA9", "SortFields=yes"}));
  std::vector<std::u16string> asked;
  bool loads = true;
  const OutsideInLoader loader = [&](const std::u16string& configured,
                                     const std::u16string& moduleFolder) {
    asked = {configured, moduleFolder};
    return loads;
  };
  const Strings withFulltext = {"Y", "Z", "Oracle Outside In fulltext search", "Cmp"};
  const Strings without = {"Y", "Z", "Cmp"};

  LoadFolder(2, 11, loader);
  EXPECT_EQ(Names(), withFulltext);
  EXPECT_EQ(Field(2).type, FieldType::OutsideInFulltext);
  EXPECT_EQ(asked, (std::vector<std::u16string>{u"oit \u00E9", state_->ModuleFolder()}));
  EXPECT_EQ(state_->CompareField(kFirstCompareIndex), &Field(3));

  asked.clear();
  LoadFolder(2, 10, loader);  // loaded for the filters, but no full-text host
  EXPECT_EQ(Names(), without);
  EXPECT_EQ(asked.size(), 2u);

  loads = false;
  LoadFolder(2, 11, loader);
  EXPECT_EQ(Names(), without);
  LoadFolder(2, 11);  // no loader: no Outside In
  EXPECT_EQ(Names(), without);
  EXPECT_EQ(state_->CompareField(kFirstCompareIndex), &Field(2));
  EXPECT_EQ(state_->CompareField(kFirstCompareIndex + 1), nullptr);
}

// ---------------------------------------------------------------------------
// Filters and full-text exclusions
// ---------------------------------------------------------------------------
TEST_F(ConfigTest, OnlyTheThreeExactFilterValuesAreTaken) {
  Load(Ini({"regexcount=1", "regex1=a"}) +
       "[Quarrymark_filters]\r\n"
       "doc=xdoc\r\n"
       "xls?=xdoc|i\r\n"
       "pdf=oit\r\n"
       "d\xC3\xB3" "c=oit\r\n"
       "rtf=<<<END_OF_TEXT\r\noit \r\nEND_OF_TEXT\r\n"
       "odt=OIT\r\n"
       "ppt=xdoc|I\r\n"
       "wpd=XDOC\r\n"
       "txt=\r\n"
       "htm=xdoc2\r\n");
  const FilterExtensionMap& f = state_->filters;
  EXPECT_EQ(f.size(), 4u);
  ASSERT_EQ(f.count(u"doc"), 1u);
  EXPECT_EQ(f.at(u"doc").kind, settings::FilterKind::Converter);
  EXPECT_EQ(f.at(u"doc").option, u"");
  ASSERT_EQ(f.count(u"xls?"), 1u);
  EXPECT_EQ(f.at(u"xls?").kind, settings::FilterKind::Converter);
  EXPECT_EQ(f.at(u"xls?").option, u"-i ");
  ASSERT_EQ(f.count(u"pdf"), 1u);
  EXPECT_EQ(f.at(u"pdf").kind, settings::FilterKind::OutsideIn);
  ASSERT_EQ(f.count(u"d\u00F3c"), 1u);
  EXPECT_EQ(f.at(u"d\u00F3c").kind, settings::FilterKind::OutsideIn);
}

TEST(FulltextExclude, NumbersAndRangesOfFourDigits) {
  struct Case {
    const char* text;
    FulltextExcludeSet expected;
  } cases[] = {
      {"1100-1102;2000;word;999;5000-4000", {1100, 1101, 1102, 1999, 2000, 5000}},
      {"", {1999}},
      {";;", {1999}},
      {"1000-", {1000, 1999}},
      {"-1000", {1999}},
      {"1000-x", {1000, 1999}},
      {"1000x", {1000, 1999}},
      {"12345", {1999}},
      {"9999-10000", {1999, 9999}},
      {"1000-1000", {1000, 1999}},
      {"2000-2001;3000", {1999, 2000, 2001, 3000}},
      {" 2000", {1999}},
  };
  for (const Case& c : cases) {
    FulltextExcludeSet set;
    ParseFulltextExcludeList(c.text, set);
    EXPECT_EQ(set, c.expected) << '"' << c.text << '"';
  }
}

TEST_F(ConfigTest, ExcludeListIsReadFromTheSettings) {
  Load(Ini({"OitFulltextExclude=1100-1102;2000;word;999;5000-4000"}));
  EXPECT_EQ(state_->fulltextExclude, (FulltextExcludeSet{1100, 1101, 1102, 1999, 2000, 5000}));
}

// ---------------------------------------------------------------------------
// The external expression file "regex1.txt"
// ---------------------------------------------------------------------------
class ExternalExpression : public ConfigTest {
 protected:
  // Field 1 from regex1.txt (when content is given), field 2 from the file.
  const FieldDefinition& LoadWith(const std::string* content, bool matchAll = false) {
    if (content != nullptr) folder_.Write("regex1.txt", *content);
    Load(Ini({"Regex1Extern=true", std::string("MatchAllForErrors=") + (matchAll ? "1" : "0"),
              "regexcount=2", "regex1=ignored", "regex1name=Ext", "regex1type=1", "regex2=b",
              "regex2name=Second"}));
    EXPECT_EQ(Names().size(), 2u);
    EXPECT_EQ(Names().back(), "Second");
    return Field(0);
  }
};

TEST_F(ExternalExpression, MissingFileIsAnEmptyExpression) {
  const FieldDefinition& f = LoadWith(nullptr);
  EXPECT_TRUE(f.compileError);
  EXPECT_EQ(f.configuredName, "Ext");
  EXPECT_EQ(Names().front(), "(!)Ext");
  EXPECT_TRUE(Finds(f.utf8Program, "anything"));
  const FieldDefinition& g = LoadWith(nullptr, true);
  EXPECT_FALSE(g.compileError);
  EXPECT_EQ(g.type, FieldType::Count);
  EXPECT_EQ(Names().front(), "Ext");
}

TEST_F(ExternalExpression, FilesAboveSixtyFourKibibytesAreIgnored) {
  // A comment fills the file, so the expression itself stays tiny.
  const std::string exact = "(?#" + std::string(65536 - 5, 'x') + ")a";
  ASSERT_EQ(exact.size(), 65536u);
  const FieldDefinition& read = LoadWith(&exact);
  EXPECT_FALSE(read.compileError);
  EXPECT_FALSE(Finds(read.utf8Program, "b"));
  EXPECT_TRUE(Finds(read.utf8Program, "a"));
  const std::string over = "(?#x" + exact.substr(3);
  ASSERT_EQ(over.size(), 65537u);
  EXPECT_TRUE(LoadWith(&over).compileError);
  const std::string empty;
  EXPECT_TRUE(LoadWith(&empty).compileError);
}

TEST_F(ExternalExpression, EncodingsAndMarksAreDecidedOverTheFile) {
  const std::u16string expression = u"^(\u00E9+)x$";
  const std::string contents[] = {
      "\xFF\xFE" + qm::test::Utf16Le(expression),
      "\xFE\xFF" + qm::test::Utf16Be(expression),
      "\xEF\xBB\xBF^(\xC3\xA9+)x$",
      "^(\xC3\xA9+)x$",
      "^(\xE9+)x$",  // not UTF-8: the ANSI code page
  };
  for (const std::string& content : contents) {
    const FieldDefinition& f = LoadWith(&content);
    ASSERT_FALSE(f.compileError) << content;
    EXPECT_EQ(f.captureCount, 1);
    EXPECT_TRUE(Finds(f.utf16Program, u"\u00E9\u00E9x")) << content;
    EXPECT_TRUE(Finds(f.utf8Program, "\xC3\xA9x")) << content;
    EXPECT_TRUE(Finds(f.ansiProgram, "\xE9\xE9x")) << content;
    EXPECT_FALSE(Finds(f.utf16Program, u"ignored"));
  }
}

TEST_F(ExternalExpression, LineBreaksAreTakenUnchanged) {
  const std::string crlf = "abc\r\n";
  const FieldDefinition& a = LoadWith(&crlf);
  EXPECT_TRUE(Finds(a.utf8Program, "abc\r\n"));
  EXPECT_FALSE(Finds(a.utf8Program, "abc"));
  const std::string lf = "abc\n";
  const FieldDefinition& b = LoadWith(&lf);
  EXPECT_TRUE(Finds(b.utf8Program, "abc\n"));
  EXPECT_FALSE(Finds(b.utf8Program, "abc\r\n"));
  const std::u16string wide = u" a \r\n";
  const std::string utf16 = "\xFF\xFE" + qm::test::Utf16Le(wide);
  const FieldDefinition& c = LoadWith(&utf16);
  EXPECT_TRUE(Finds(c.utf16Program, u"x a \r\n"));
  EXPECT_FALSE(Finds(c.utf16Program, u"a\r\n"));
}

TEST_F(ExternalExpression, BrokenExpressionReplacesTheFirstRecord) {
  const std::string broken = "(";
  const FieldDefinition& f = LoadWith(&broken);
  EXPECT_TRUE(f.compileError);
  EXPECT_FALSE(f.ansiProgram);
  EXPECT_EQ(f.type, FieldType::Boolean);
  EXPECT_EQ(Names().front(), "(!)Ext");
  EXPECT_NE(qm::test::ReadFileBytes(LogPath()).find("regex1 \"Ext\" (ANSI): \"(\""), std::string::npos);
  const FieldDefinition& g = LoadWith(&broken, true);
  EXPECT_FALSE(g.compileError);
  EXPECT_EQ(g.type, FieldType::Count);
}

// ---------------------------------------------------------------------------
// Tables made at the end of loading
// ---------------------------------------------------------------------------
TEST_F(ConfigTest, RandomCharacterTableExcludesItsRangesAndCharacters) {
  const std::vector<std::uint8_t>& t = LoadFolder().randomCharacterTable;
  ASSERT_EQ(t.size(), 65536u);
  const std::pair<unsigned, int> probes[] = {
      {0, 0},      {31, 0},     {32, 1},     {'!', 1},    {'"', 0},    {'*', 0},    {'/', 0},
      {':', 0},    {'<', 0},    {'>', 0},    {'?', 0},    {'\\', 0},   {'|', 0},    {'a', 1},
      {126, 1},    {127, 0},    {159, 0},    {160, 1},    {687, 1},    {688, 0},    {879, 0},
      {880, 1},    {2143, 1},   {2144, 0},   {2207, 0},   {2208, 1},   {6832, 0},   {6911, 0},
      {7296, 0},   {7359, 0},   {7616, 0},   {7679, 0},   {8400, 0},   {8447, 0},   {8448, 1},
      {12256, 0},  {12271, 0},  {12272, 1},  {42752, 0},  {42783, 0},  {43888, 0},  {43967, 0},
      {55295, 1},  {55296, 0},  {63743, 0},  {63744, 1},  {65055, 1},  {65056, 0},  {65071, 0},
      {65072, 1},  {65534, 1},  {65535, 0},
  };
  for (const auto& [unit, expected] : probes) EXPECT_EQ(t[unit], expected) << unit;
}

TEST_F(ConfigTest, MultiByteFlagsFollowTheCodePages) {
  EXPECT_EQ(LoadFolder().settings.multibyteCodePageFlags, 0u);
  platform::SetCodePagesForTesting(932, 932);
  EXPECT_EQ(LoadFolder().settings.multibyteCodePageFlags, 3u);
  platform::SetCodePagesForTesting(1252, 932);
  EXPECT_EQ(LoadFolder().settings.multibyteCodePageFlags, 2u);
}

}  // namespace
}  // namespace qm::plugin::test
