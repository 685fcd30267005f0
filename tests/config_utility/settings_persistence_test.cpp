// Loading and saving the utility's settings file: what survives a save, which
// keys are written when, and that a failed save never damages the file.
#include <gtest/gtest.h>

#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "config_utility/model/field_editor.h"
#include "config_utility/model/filter_values.h"
#include "config_utility/model/sample_text.h"
#include "config_utility/model/utility_settings.h"
#include "utility_test_files.h"

namespace qm::utility {
namespace {

using test::Folder;
using test::IniText;
using test::ReadAll;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Loads text as Quarrymark.ini of a fresh folder.
struct Loaded {
  Folder folder;
  UtilitySettings settings;
  std::u16string path;

  explicit Loaded(const std::string& text) {
    path = folder.Write("Quarrymark.ini", text);
    EXPECT_TRUE(LoadSettings(path, &settings));
  }
  std::string SaveAndRead(bool ownSectionOnly = false) {
    EXPECT_TRUE(SaveSettings(&settings, ownSectionOnly));
    return ReadAll(path);
  }
};

TEST(SettingsPersistence, RoundTripKeepsForeignSectionsKeysAndComments) {
  Loaded l(IniText({"; written by hand", "", "[Quarrymark]", "FutureOption=7", "; about field one",
                    "regex1=abc", "regexcount=1", "", "[SomebodyElse]", "colour=blue",
                    "; trailing note", "size=3"}));
  const std::string saved = l.SaveAndRead();
  for (const char* part : {"; written by hand", "FutureOption=7", "; about field one",
                           "[SomebodyElse]", "colour=blue", "; trailing note", "size=3"}) {
    EXPECT_TRUE(Contains(saved, part)) << part;
  }
  // The dialect: byte order mark, key=value, every line ending in CR LF.
  EXPECT_EQ(saved.rfind("\xEF\xBB\xBF", 0), 0u);
  EXPECT_FALSE(Contains(saved, " = "));
  for (std::size_t i = saved.find('\n'); i != std::string::npos; i = saved.find('\n', i + 1)) {
    ASSERT_GT(i, 0u);
    EXPECT_EQ(saved[i - 1], '\r') << "lone LF at byte " << i;
  }
  // Every global key is written; the order of the foreign section is kept.
  EXPECT_TRUE(Contains(saved, "FileMemory=10\r\n"));
  EXPECT_TRUE(Contains(saved, "ConverterTimeLimit=60\r\n"));
  EXPECT_TRUE(Contains(saved, "LogErrors=true\r\n"));
  EXPECT_TRUE(Contains(saved, "OitDllPath32=\r\n"));
  EXPECT_LT(saved.find("colour=blue"), saved.find("size=3"));

  // A second load of the saved text gives the same block.
  UtilitySettings again;
  ASSERT_TRUE(LoadSettings(l.path, &again));
  EXPECT_EQ(again.current.fields, l.settings.current.fields);
}

TEST(SettingsPersistence, FileWithoutByteOrderMarkReadsTheSame) {
  const std::string body = "[Quarrymark]\r\nregex2=x+\r\nregex2name=Ex\r\nFileMemory=0x14\r\n";
  Loaded with("\xEF\xBB\xBF" + body);
  Loaded without(body);
  EXPECT_EQ(with.settings.current.fields, without.settings.current.fields);
  EXPECT_EQ(without.settings.current.fields[1].name, u"Ex");
  EXPECT_EQ(without.settings.current.fileMemory, 20);
}

TEST(SettingsPersistence, OutOfRangeValuesKeepDefaultsAndFieldCountIsClamped) {
  Loaded low(IniText({"[Quarrymark]", "FileMemory=4", "regexcount=0", "regex1type=8",
                      "regex1flags=128", "AnalyzeBuffer=20MB"}));
  EXPECT_EQ(low.settings.current.fileMemory, 10);
  EXPECT_EQ(low.settings.current.regexCount, 1);
  EXPECT_EQ(low.settings.current.fields[0].type, 0);
  EXPECT_EQ(low.settings.current.fields[0].flags, 0u);
  EXPECT_EQ(low.settings.current.analyzeBuffer, 4);
  Loaded high(IniText({"[Quarrymark]", "regexcount=5000"}));
  EXPECT_EQ(high.settings.current.regexCount, 999);
}

TEST(SettingsPersistence, FieldKeysAreWrittenOnlyUnderTheirConditions) {
  Loaded l(IniText({"[Quarrymark]", "regexcount=4", "regex900=abc", "regex7replace=",
                    "regex2type=8", "regex3flags=300"}));
  const SettingsBlock& b = l.settings.current;
  // Field 900 beyond the count is loaded, listed without the active mark.
  EXPECT_EQ(b.fields[899].expression, u"abc");
  EXPECT_EQ(FieldListLabel(b, 899), u"PCRE-RegEx900");
  EXPECT_EQ(FieldListLabel(b, 3), u"-->PCRE-RegEx4");
  // An empty stored replace stays empty; a missing one is the default.
  EXPECT_EQ(b.fields[6].replace, u"");
  EXPECT_EQ(b.fields[7].replace, u"$0\\x20");
  EXPECT_EQ(b.fields[1].type, 0);  // 8 has no button in the utility

  const std::string saved = l.SaveAndRead();
  EXPECT_TRUE(Contains(saved, "regex900=abc\r\n"));
  EXPECT_TRUE(Contains(saved, "regex7replace=\r\n"));
  EXPECT_FALSE(Contains(saved, "regex8replace"));
  EXPECT_TRUE(Contains(saved, "regex2type=0\r\n"));    // a stored non-zero value is overwritten
  EXPECT_TRUE(Contains(saved, "regex3flags=0\r\n"));
  EXPECT_FALSE(Contains(saved, "regex1type"));         // zero and nothing stored: not written
  EXPECT_FALSE(Contains(saved, "regex1name"));
  EXPECT_TRUE(Contains(saved, "regex4=.*\r\n"));       // active fields always
  EXPECT_FALSE(Contains(saved, "regex5="));            // ".*" beyond the count, nothing stored
  EXPECT_FALSE(Contains(saved, "regex899="));
}

TEST(SettingsPersistence, EditedSlotsAreWrittenAndDefaultsStayAbsent) {
  Loaded l(IniText({"[Quarrymark]", "regexcount=1", "regex3replace=old"}));
  FieldSlot& five = l.settings.current.fields[4];
  five.expression = u"[0-9]+";
  five.type = -1;
  five.flags = 64;
  five.name = u"Digits";
  l.settings.current.fields[2].replace = u"";  // back to the default over a stored value
  l.settings.current.fields[3].replace = u"$0\\x20";
  const std::string saved = l.SaveAndRead();
  EXPECT_TRUE(Contains(saved, "regex5=[0-9]+\r\n"));
  EXPECT_TRUE(Contains(saved, "regex5type=-1\r\n"));
  EXPECT_TRUE(Contains(saved, "regex5flags=64\r\n"));
  EXPECT_TRUE(Contains(saved, "regex5name=Digits\r\n"));
  EXPECT_TRUE(Contains(saved, "regex3replace=\r\n"));
  EXPECT_FALSE(Contains(saved, "regex4replace"));
}

TEST(SettingsPersistence, MultiLineAndBlankEdgedValuesSurvive) {
  Loaded l(IniText({"[Quarrymark]"}));
  l.settings.current.fields[0].name = u"two\r\nlines";
  l.settings.current.fields[0].replace = u"$0 ";
  l.settings.current.fields[0].expression = u"a\rb";  // a lone CR is stored as LF
  const std::string saved = l.SaveAndRead();
  EXPECT_TRUE(Contains(saved, "regex1name=<<<END_OF_TEXT\r\ntwo\r\nlines\r\nEND_OF_TEXT\r\n"));
  EXPECT_TRUE(Contains(saved, "regex1replace=<<<END_OF_TEXT\r\n$0 \r\nEND_OF_TEXT\r\n"));

  UtilitySettings again;
  ASSERT_TRUE(LoadSettings(l.path, &again));
  EXPECT_EQ(again.current.fields[0].name, u"two\r\nlines");
  EXPECT_EQ(again.current.fields[0].replace, u"$0 ");
  EXPECT_EQ(again.current.fields[0].expression, u"a\r\nb");
}

TEST(SettingsPersistence, FilterValuesAreReadLenientlyAndWrittenCanonically) {
  Loaded l(IniText({"[Quarrymark_filters]", "doc=XDOC", "odt=XDOC|I", "txt=xdoc|i", "pdf=oit",
                    "rtf=Oit", "bad=converter", "xls?=xdocument", "[Quarrymark]"}));
  const FilterMap& f = l.settings.current.filters;
  ASSERT_EQ(f.size(), 6u);
  EXPECT_EQ(f.at(u"doc"), (FilterEntry{2, u""}));
  EXPECT_EQ(f.at(u"odt"), (FilterEntry{2, u"|i"}));
  EXPECT_EQ(f.at(u"txt"), (FilterEntry{2, u"|i"}));
  EXPECT_EQ(f.at(u"pdf"), (FilterEntry{1, u""}));
  EXPECT_EQ(f.at(u"rtf"), (FilterEntry{1, u""}));
  EXPECT_EQ(f.at(u"xls?"), (FilterEntry{2, u""}));

  const std::string saved = l.SaveAndRead();
  EXPECT_TRUE(Contains(saved, "doc=xdoc\r\n"));
  EXPECT_TRUE(Contains(saved, "odt=xdoc|i\r\n"));
  EXPECT_TRUE(Contains(saved, "rtf=oit\r\n"));
  EXPECT_FALSE(Contains(saved, "bad="));
  // The section keeps its place before [Quarrymark].
  EXPECT_LT(saved.find("[Quarrymark_filters]"), saved.find("[Quarrymark]\r\n"));
}

TEST(SettingsPersistence, FilterClassificationEdges) {
  EXPECT_FALSE(ClassifyFilterValue(" oit"));
  EXPECT_FALSE(ClassifyFilterValue(""));
  // "|I" is judged as stored when the prefix matched as stored.
  EXPECT_EQ(ClassifyFilterValue("xdoc|I")->option, u"");
  EXPECT_EQ(ClassifyFilterValue("xdoc|ix")->option, u"");
  EXPECT_EQ(ClassifyFilterValue("oitx|i")->option, u"");
  EXPECT_EQ(FormatFilterValue(FilterEntry{1, u""}), "oit");
}

TEST(SettingsPersistence, NewFiltersCreateTheSection) {
  Loaded l(IniText({"[Quarrymark]"}));
  l.settings.current.filters[u"docx"] = FilterEntry{1, u""};
  EXPECT_TRUE(Contains(l.SaveAndRead(), "[Quarrymark_filters]\r\ndocx=oit\r\n"));
}

TEST(SettingsPersistence, OwnSectionIsWrittenOnlyWhenChanged) {
  Loaded l(IniText({"[Quarrymark]", "FileMemory=20", "[QuarrymarkConfig]", "LastField=2",
                    "CoordX=100", "CoordY=50", "HelpW=1"}));
  EXPECT_EQ(l.settings.lastField, 2);
  EXPECT_EQ(l.settings.helpW, HelpPaneState::kRegex);

  // Nothing changed: the file is not touched, whatever it holds now.
  test::Folder& folder = l.folder;
  folder.Write("Quarrymark.ini", "sentinel");
  EXPECT_TRUE(SaveSettings(&l.settings, true));
  EXPECT_EQ(ReadAll(l.path), "sentinel");

  // Moving the window: the own section is rewritten, the edited block is not.
  l.settings.coordX = 300;
  l.settings.current.fileMemory = 40;
  const std::string saved = l.SaveAndRead(true);
  EXPECT_TRUE(Contains(saved, "CoordX=300\r\n"));
  EXPECT_TRUE(Contains(saved, "FileMemory=20\r\n"));
  EXPECT_FALSE(Contains(saved, "sentinel"));
}

// A file that never held a window position: an unset position is no change.
TEST(SettingsPersistence, UnsetPositionOfAFileWithoutOneIsNoChange) {
  Loaded l(IniText({"[Quarrymark]", "FileMemory=20"}));
  l.folder.Write("Quarrymark.ini", "sentinel");
  EXPECT_TRUE(SaveSettings(&l.settings, true));
  EXPECT_EQ(ReadAll(l.path), "sentinel");
  l.settings.coordY = 0;  // a real position at the screen's top edge is one
  EXPECT_TRUE(Contains(l.SaveAndRead(true), "CoordY=0\r\n"));
}

TEST(SettingsPersistence, TestStringIsStoredOnlyWhenItDiffersFromTheSample) {
  Loaded l(IniText({"[QuarrymarkConfig]", "CoordX=0", "CoordY=0"}));
  l.settings.coordX = l.settings.coordY = 0;
  EXPECT_EQ(l.settings.testString, kSampleTestText);
  EXPECT_FALSE(Contains(l.SaveAndRead(), "TestString"));

  l.settings.testString = u"first\r\nsecond";
  EXPECT_TRUE(Contains(l.SaveAndRead(true),
                       "TestString=<<<END_OF_TEXT\r\nfirst\r\nsecond\r\nEND_OF_TEXT\r\n"));
  UtilitySettings again;
  ASSERT_TRUE(LoadSettings(l.path, &again));
  EXPECT_EQ(again.testString, u"first\r\nsecond");

  l.settings.testString = std::u16string(kSampleTestText);
  EXPECT_FALSE(Contains(l.SaveAndRead(true), "TestString"));
}

TEST(SettingsPersistence, FontKeyIsKeptOnlyForAUsableFont) {
  const char* font = "font=-13,0,0,0,400,0,0,0,0,3,2,1,49,DejaVu Sans Mono";
  Loaded kept(IniText({"[QuarrymarkConfig]", font}));
  EXPECT_EQ(kept.settings.font.faceName, u"DejaVu Sans Mono");
  EXPECT_TRUE(Contains(kept.SaveAndRead(), std::string(font) + "\r\n"));

  // Twelve commas: ignored, and the next save deletes the key.
  Loaded twelve(IniText({"[QuarrymarkConfig]", "font=-13,0,0,0,400,0,0,0,0,3,2,1,Mono"}));
  EXPECT_FALSE(twelve.settings.font.HasFace());
  EXPECT_FALSE(Contains(twelve.SaveAndRead(true), "font="));

  // A face the screen does not have: no user font.
  Folder folder;
  const std::u16string path = folder.Write("Quarrymark.ini", IniText({"[QuarrymarkConfig]", font}));
  UtilitySettings missing;
  ASSERT_TRUE(LoadSettings(path, &missing, [](const FontStyle&) { return false; }));
  EXPECT_FALSE(missing.font.HasFace());
}

TEST(SettingsPersistence, LocatorPrefersTheIniAndFallsBackToTheSample) {
  Folder folder;
  EXPECT_EQ(LocateSettingsFile(folder.Wide()), u"");
  const std::u16string sample = folder.Write("Quarrymark.Sample.ini", IniText({"[Quarrymark]"}));
  std::filesystem::create_directory(folder / "Quarrymark.ini");  // a directory does not count
  EXPECT_EQ(LocateSettingsFile(folder.Wide()), sample);

  // Only the sample exists: it is written back, no Quarrymark.ini file is made.
  UtilitySettings settings;
  ASSERT_TRUE(LoadSettings(LocateSettingsFile(folder.Wide()), &settings));
  settings.current.fileMemory = 30;
  ASSERT_TRUE(SaveSettings(&settings, false));
  EXPECT_TRUE(Contains(ReadAll(sample), "FileMemory=30\r\n"));
  EXPECT_TRUE(std::filesystem::is_directory(folder / "Quarrymark.ini"));

  std::filesystem::remove(folder / "Quarrymark.ini");
  const std::u16string ini = folder.Write("Quarrymark.ini", "");
  EXPECT_EQ(LocateSettingsFile(folder.Wide()), ini);
}

TEST(SettingsPersistence, LoadFailsForMissingAndOversizedFiles) {
  Folder folder;
  UtilitySettings settings;
  EXPECT_FALSE(LoadSettings(u"", &settings));
  EXPECT_FALSE(LoadSettings(folder.Wide() + u"absent.ini", &settings));
  EXPECT_FALSE(LoadSettings(folder.Wide(), &settings));  // a directory
  const std::u16string big = folder.Write("big.ini", std::string(5242881, ';'));
  EXPECT_FALSE(LoadSettings(big, &settings));
  EXPECT_FALSE(settings.document);
  EXPECT_FALSE(SaveSettings(&settings, false));  // nothing loaded, nothing to save
  const std::u16string limit = folder.Write("limit.ini", std::string(5242880, ';'));
  EXPECT_TRUE(LoadSettings(limit, &settings));
}

// A file that cannot be used says why, in the words the command line shows.
TEST(SettingsPersistence, UnusableFilesSayWhy) {
  Folder folder;
  UtilitySettings settings;
  EXPECT_FALSE(LoadSettings(folder.Wide(), &settings));
  EXPECT_EQ(settings.loadProblem, "not a regular file");
#ifndef _WIN32
  const std::filesystem::path fifo = folder / "fifo.ini";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(LoadSettings(fifo.u16string(), &settings));  // and it does not wait for a writer
  EXPECT_EQ(settings.loadProblem, "not a regular file");
#endif
  const std::u16string big = folder.Write("big.ini", std::string(5242881, ';'));
  EXPECT_FALSE(LoadSettings(big, &settings));
  EXPECT_EQ(settings.loadProblem, "larger than the limit of 5242880 bytes (5242881 bytes)");
  EXPECT_FALSE(LoadSettings(folder.Wide() + u"absent.ini", &settings));
  EXPECT_EQ(settings.loadProblem, "no such file");
  const std::u16string fine = folder.Write("fine.ini", IniText({"[Quarrymark]"}));
  EXPECT_TRUE(LoadSettings(fine, &settings));
  EXPECT_EQ(settings.loadProblem, "");
}

// A NUL byte is left out as the plugin leaves it out, so both read the same
// fields; the file is never written without it.
TEST(SettingsPersistence, NulByteIsReadLikeThePluginAndTheFileIsNotSaved) {
  Folder folder;
  const std::string text = IniText({"[Quarrymark]", "regexcount=2", "regex1=a\x01" "b",
                                    "regex1name=First", "regex1type=1", "regex2=c",
                                    "regex2name=Second"});
  std::string withNul = text;
  withNul[withNul.find('\x01')] = '\0';
  const std::u16string path = folder.Write("Quarrymark.ini", withNul);
  UtilitySettings settings;
  ASSERT_TRUE(LoadSettings(path, &settings));
  EXPECT_EQ(settings.current.fields[0].expression, u"ab");
  EXPECT_EQ(settings.current.fields[0].name, u"First");
  EXPECT_EQ(settings.current.fields[0].type, 1);
  EXPECT_EQ(settings.current.fields[1].name, u"Second");
  EXPECT_EQ(settings.nulLine, 3u);
  EXPECT_NE(SaveRefusal(settings).find("line 3 "), std::string::npos);
  EXPECT_FALSE(SaveSettings(&settings, false));
  EXPECT_FALSE(SaveSettings(&settings, true));
  EXPECT_EQ(ReadAll(path), withNul);
  // Without the byte the same file saves.
  const std::u16string clean = folder.Write("clean.ini", text);
  ASSERT_TRUE(LoadSettings(clean, &settings));
  EXPECT_EQ(settings.nulLine, 0u);
  EXPECT_EQ(SaveRefusal(settings), "");
  EXPECT_TRUE(SaveSettings(&settings, false));
}

// ---------------------------------------------------------------------------
// A failed save leaves the old file as it was.
// ---------------------------------------------------------------------------
TEST(SettingsPersistence, WriteFailingPartWayLeavesTheOldFileAndNoTemporary) {
  Folder folder;
  const std::u16string path = folder.Write("Quarrymark.ini", "old contents");
  const bool written = ReplaceFileContents(path, "new contents, longer than the old",
                                           [](platform::File& file, std::string_view bytes) {
                                             file.WriteAll(bytes.data(), bytes.size() / 2);
                                             return false;  // e.g. the disk ran full
                                           });
  EXPECT_FALSE(written);
  EXPECT_EQ(ReadAll(path), "old contents");
  EXPECT_EQ(folder.EntryCount(), 1u);

  EXPECT_TRUE(ReplaceFileContents(path, "new contents"));
  EXPECT_EQ(ReadAll(path), "new contents");
  EXPECT_EQ(folder.EntryCount(), 1u);
}

TEST(SettingsPersistence, SaveFailureKeepsTheFileAndALaterSaveWritesTheEdits) {
  Loaded l(IniText({"[Quarrymark]", "FileMemory=20"}));
  const std::string before = ReadAll(l.path);
  // No temporary file can be made beside the settings file.
  std::vector<std::filesystem::path> blockers;
  for (const char* suffix : {"", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12",
                             "13", "14", "15"}) {
    blockers.push_back(l.folder / (std::string("Quarrymark.ini.tmp") + suffix));
    std::filesystem::create_directory(blockers.back());
  }
  l.settings.current.fileMemory = 40;
  EXPECT_FALSE(SaveSettings(&l.settings, false));
  EXPECT_EQ(ReadAll(l.path), before);

  for (const auto& blocker : blockers) std::filesystem::remove(blocker);
  const std::string saved = l.SaveAndRead();
  EXPECT_TRUE(Contains(saved, "FileMemory=40\r\n"));
}

}  // namespace
}  // namespace qm::utility
