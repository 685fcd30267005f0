// The dialog's procedures over the model: opening, Apply, OK, Cancel and
// "Reload INI".
#include <gtest/gtest.h>

#include <filesystem>

#include "config_utility/model/sample_text.h"
#include "config_utility/model/settings_session.h"
#include "utility_test_files.h"

namespace qm::utility {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Session : ::testing::Test {
  test::Folder folder;
  std::u16string path;
  CodePageTables tables = CodePageTables::For(1252, 437);
  UtilityRun run;

  void Write(std::initializer_list<const char*> lines) {
    path = folder.Write("Quarrymark.ini", test::IniText(lines));
  }
};

TEST_F(Session, OpeningShowsTheStoredFieldAndOptions) {
  Write({"[Quarrymark]", "regexcount=3", "regex2=(a", "regex2name=Broken", "FileMemory=33",
         "CaseSensitiveDefault=true", "OitDllPath32=/opt/oit", "[QuarrymarkConfig]",
         "LastField=1", "HelpW=1"});
  SettingsSession s(&run, &tables);
  ASSERT_TRUE(s.Open(path));
  EXPECT_EQ(s.editor.CurrentField(), 1);
  EXPECT_EQ(s.editor.controls.name, u"Broken");
  EXPECT_EQ(s.editor.controls.status, ExpressionStatus::kError);
  EXPECT_TRUE(s.editor.controls.caseSensitiveDefault);
  EXPECT_EQ(s.options.fileMemory.text, u"33");
  EXPECT_EQ(s.options.fieldCountIndex, 2);
  EXPECT_EQ(s.oitPaths.text, u"/opt/oit");
  EXPECT_EQ(s.initialHelp.show, HelpText::kRegex);
  EXPECT_EQ(s.help.state, HelpPaneState::kRegex);
  EXPECT_EQ(run.dialogsOpened, 1);
}

TEST_F(Session, OpeningFailsWithoutAFile) {
  SettingsSession s(&run, &tables);
  EXPECT_FALSE(s.Open(folder.Wide() + u"Quarrymark.ini"));
  EXPECT_EQ(run.dialogsOpened, 0);
}

TEST_F(Session, ApplyWritesAndTakesANewSnapshot) {
  Write({"[Quarrymark]", "regex1=old"});
  SettingsSession s(&run, &tables);
  ASSERT_TRUE(s.Open(path));
  s.editor.controls.expression = u"new";
  s.options.fileMemory.text = u"25";
  s.SetWindowPosition(40, 60);
  ASSERT_TRUE(s.Apply());
  EXPECT_EQ(s.settings.snapshot.fields[0].expression, u"new");
  const std::string saved = test::ReadAll(path);
  EXPECT_TRUE(Contains(saved, "regex1=new\r\n"));
  EXPECT_TRUE(Contains(saved, "FileMemory=25\r\n"));
  EXPECT_TRUE(Contains(saved, "CoordX=40\r\n"));
  EXPECT_TRUE(Contains(saved, "CoordY=60\r\n"));
}

TEST_F(Session, FailedApplyKeepsTheSnapshotAndTheFile) {
  Write({"[Quarrymark]", "regex1=old"});
  SettingsSession s(&run, &tables);
  ASSERT_TRUE(s.Open(path));
  const std::string before = test::ReadAll(path);
  // Every temporary name is taken, so nothing can be written.
  for (int k = 0; k < 16; ++k) {
    std::filesystem::create_directory(
        folder / ("Quarrymark.ini.tmp" + (k > 0 ? std::to_string(k) : std::string())));
  }
  s.editor.controls.expression = u"new";
  EXPECT_FALSE(s.Apply());
  EXPECT_EQ(s.settings.snapshot.fields[0].expression, u"old");
  EXPECT_EQ(s.settings.current.fields[0].expression, u"new");
  EXPECT_EQ(test::ReadAll(path), before);
  EXPECT_FALSE(s.Ok());  // OK fails the same way and leaves the dialog open
  EXPECT_EQ(s.editor.controls.expression, u"new");
}

TEST_F(Session, OkInTestModeSavesTheReplaceTextTypedBeforeTheTest) {
  Write({"[Quarrymark]"});
  SettingsSession s(&run, &tables);
  ASSERT_TRUE(s.Open(path));
  s.editor.controls.replace = u"<$0>";
  s.editor.TestButton();
  s.editor.controls.replace = u"a test text";
  ASSERT_TRUE(s.Ok());
  const std::string saved = test::ReadAll(path);
  EXPECT_TRUE(Contains(saved, "regex1replace=<$0>\r\n"));
  EXPECT_TRUE(Contains(saved, "TestString=a test text\r\n"));
  EXPECT_FALSE(s.editor.InTestMode());
}

TEST_F(Session, CancelWritesOnlyTheChangedOwnSection) {
  Write({"[Quarrymark]", "regex1=old", "[QuarrymarkConfig]", "LastField=0", "CoordX=10",
         "CoordY=20", "HelpW=0"});
  {
    SettingsSession s(&run, &tables);
    ASSERT_TRUE(s.Open(path));
    s.editor.controls.expression = u"discarded";
    folder.Write("Quarrymark.ini", "untouched");
    s.SetWindowPosition(10, 20);  // not moved
    EXPECT_EQ(s.Cancel(), DialogEnd::kClosed);
    EXPECT_EQ(test::ReadAll(path), "untouched");
  }
  Write({"[Quarrymark]", "regex1=old", "[QuarrymarkConfig]", "CoordX=10", "CoordY=20"});
  SettingsSession s(&run, &tables);
  ASSERT_TRUE(s.Open(path));
  s.editor.controls.expression = u"discarded";
  s.editor.SwitchField(4);  // stored into the block, but Cancel does not write it
  s.SetWindowPosition(11, 20);
  s.Cancel();
  const std::string saved = test::ReadAll(path);
  EXPECT_TRUE(Contains(saved, "CoordX=11\r\n"));
  EXPECT_TRUE(Contains(saved, "LastField=4\r\n"));
  EXPECT_TRUE(Contains(saved, "regex1=old\r\n"));
  EXPECT_EQ(run.rememberedX, 11);
}

TEST_F(Session, ReloadWritesNothingAndTheNextDialogOpensTheReplaceHelp) {
  Write({"[Quarrymark]", "[QuarrymarkConfig]", "HelpW=1"});
  {
    SettingsSession s(&run, &tables);
    ASSERT_TRUE(s.Open(path));
    s.SetWindowPosition(1, 2);
    folder.Write("Quarrymark.ini", test::IniText({"[Quarrymark]", "regex1=reloaded"}));
    EXPECT_EQ(s.ReloadIni(), DialogEnd::kReloadIni);
  }
  EXPECT_EQ(run.lastHelpPane, HelpPaneState::kRegex);
  EXPECT_TRUE(run.HasRememberedPosition());
  SettingsSession next(&run, &tables);
  ASSERT_TRUE(next.Open(path));
  EXPECT_EQ(next.settings.current.fields[0].expression, u"reloaded");
  EXPECT_EQ(next.help.state, HelpPaneState::kReplace);
}

// Starting from the sample: the sample is read and never written; only OK or
// Apply makes the new file, and a Cancel before that makes nothing.
TEST_F(Session, StartingFromTheSampleWritesOnlyTheNewFileAndOnlyOnApply) {
  const std::u16string sample =
      folder.Write("Quarrymark.Sample.ini", test::IniText({"[Quarrymark]", "regex1=sample"}));
  const std::string sampleBytes = test::ReadAll(sample);
  const std::u16string target = folder.Wide() + u"Quarrymark.ini";
  {
    SettingsSession s(&run, &tables);
    ASSERT_TRUE(s.OpenFromSample(sample, target));
    EXPECT_TRUE(s.StartedFromSample());
    EXPECT_EQ(s.editor.controls.expression, u"sample");
    s.editor.SwitchField(3);
    s.SetWindowPosition(5, 6);  // own state changed: Cancel would write it to a loaded file
    s.Cancel();
  }
  EXPECT_FALSE(std::filesystem::exists(folder / "Quarrymark.ini"));
  EXPECT_EQ(test::ReadAll(sample), sampleBytes);

  SettingsSession s(&run, &tables);
  ASSERT_TRUE(s.OpenFromSample(sample, target));
  s.editor.controls.expression = u"mine";
  ASSERT_TRUE(s.Apply());
  EXPECT_FALSE(s.StartedFromSample());
  EXPECT_TRUE(Contains(test::ReadAll(target), "regex1=mine\r\n"));
  EXPECT_EQ(test::ReadAll(sample), sampleBytes);
}

}  // namespace
}  // namespace qm::utility
