// The settings dialog itself, created modeless in this process and driven
// with window messages as a user's clicks and typing would drive it; the
// assertions read the controls back and the settings file written.
// Headless under Wine (null display driver): nothing here needs painting.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "config_utility/help/help_texts.h"
#include "config_utility/model/sample_text.h"
#include "config_utility/win32/resource_ids.h"
#include "config_utility/win32/settings_dialog.h"

namespace qm::utility::win32 {
namespace {

namespace fs = std::filesystem;

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Section -> key -> value of an INI text (single-line values suffice for the
// files these tests write); comment lines are collected under "#".
using IniMap = std::map<std::string, std::map<std::string, std::string>>;
IniMap ParseIni(std::string text) {
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  IniMap map;
  std::string section, line;
  std::istringstream in(text);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] == ';') {
      map["#"][line] = "";
    } else if (line[0] == '[') {
      section = line.substr(1, line.find(']') - 1);
      map[section];
    } else if (const std::size_t eq = line.find('='); eq != std::string::npos) {
      map[section][line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return map;
}

// Runs action (which opens a modal message box) while a second thread waits
// for the box titled title, reads its text and presses its first button.
// Returns the text, or "<no box>" when none appeared.
std::u16string TextOfMessageBox(const wchar_t* title, const std::function<void()>& action) {
  std::u16string text = u"<no box>";
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    while (!done) {  // until the box is found, or the action ended without one
      // The settings dialog bears the same title; a message box has it as owner.
      HWND box = nullptr;
      while ((box = FindWindowExW(nullptr, box, L"#32770", title)) != nullptr) {
        if (GetWindow(box, GW_OWNER) != nullptr) break;
      }
      if (box) {
        wchar_t buffer[1024] = {};
        GetDlgItemTextW(box, 0xFFFF, buffer, 1024);  // the message text
        text = reinterpret_cast<const char16_t*>(buffer);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  action();
  done = true;
  watcher.join();
  return text;
}

// The settings most tests open: nine fields, an empty filter section.
constexpr char kSettings[] =
    "\xEF\xBB\xBF[Quarrymark]\nregexcount=9\nFileMemory=10\nResultCache=2\n"
    "regex1=TODO|FIXME\nregex1name=Has TODO\nregex1type=0\n"
    "regex2=\\R\nregex2name=Line breaks\nregex2type=1\n"
    "regex3=\\w+\nregex3name=Distinct words\nregex3type=2\n"
    "regex4=(?m)^#+\\s*(.+?)\\s*$\nregex4name=Title\nregex4type=4\nregex4replace=$1\n"
    "regex5=[\\w.+-]+@[\\w-]+(?:\\.[\\w-]+)+\nregex5name=Mail addresses\nregex5type=3\n"
    "regex5replace=$0;\n"
    "regex6=.*\nregex6name=Encoding\nregex6type=-1\n"
    "regex7=\\w+\nregex7name=Average word length\nregex7type=6\n"
    "regex8=\\.(?:txt|md)$\nregex8name=Text by name\nregex8type=0\nregex8flags=64\n"
    "regex9=(?-i)[a-z0-9]\nregex9name=Random tag\nregex9type=5\n"
    "\n[Quarrymark_filters]\n";

class DialogGui : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("qm-dialog-" + std::to_string(GetCurrentProcessId()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    ini_ = folder_ / "Quarrymark.ini";
  }
  void TearDown() override {
    dialog_.reset();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  void WriteIni(const std::string& text) {
    std::ofstream(ini_, std::ios::binary) << text;
  }
  void WriteTestIni(const std::string& extra = "") { WriteIni(kSettings + extra); }
  // The example settings that ship with the plugin.
  void WriteExampleIni(const std::string& extra = "") {
    WriteIni(ReadBytes(fs::path(QM_SOURCE_DIR) / "examples" / "Quarrymark.Sample.ini") + extra);
  }

  // Opens a dialog on the settings file (of a run shared by the test's dialogs).
  HWND Open() {
    dialog_ = std::make_unique<SettingsDialog>(&run_, &tables_, ini_.u16string());
    window_ = dialog_->CreateModeless(GetModuleHandleW(nullptr));
    return window_;
  }

  HWND Item(int id) const { return GetDlgItem(window_, id); }
  std::u16string Text(int id) const {
    wchar_t buffer[70000];
    GetDlgItemTextW(window_, id, buffer, 70000);
    return reinterpret_cast<const char16_t*>(buffer);
  }
  void Click(int id) { SendMessageW(Item(id), BM_CLICK, 0, 0); }
  // Replaces an edit box's text as typing does (with its change
  // notification; setting the text of a multi-line box raises none).
  void Type(int id, const std::u16string& text) {
    SendMessageW(Item(id), EM_SETSEL, 0, -1);
    SendMessageW(Item(id), EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(W(text)));
  }
  void SetComboText(int id, const std::u16string& text) { SetDlgItemTextW(window_, id, W(text)); }
  void TypeInCombo(int id, const std::u16string& text) {
    SetComboText(id, text);
    SendMessageW(window_, WM_COMMAND, MAKEWPARAM(id, CBN_EDITCHANGE),
                 reinterpret_cast<LPARAM>(Item(id)));
  }
  void SelectInList(int id, int index, bool combo) {
    SendMessageW(Item(id), combo ? CB_SETCURSEL : LB_SETCURSEL, index, 0);
    SendMessageW(window_, WM_COMMAND, MAKEWPARAM(id, combo ? CBN_SELCHANGE : LBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(Item(id)));
  }
  bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
  bool Checked(int id) const { return IsDlgButtonChecked(window_, id) == BST_CHECKED; }
  std::pair<int, int> Selection(int id) const {
    DWORD a = 0, b = 0;
    SendMessageW(Item(id), EM_GETSEL, reinterpret_cast<WPARAM>(&a), reinterpret_cast<LPARAM>(&b));
    return {static_cast<int>(a), static_cast<int>(b)};
  }
  std::u16string ListItem(int id, int index) const {
    wchar_t buffer[2048] = {};
    SendMessageW(Item(id), LB_GETTEXT, index, reinterpret_cast<LPARAM>(buffer));
    return reinterpret_cast<const char16_t*>(buffer);
  }
  // The status line's text colour, as its colour message sets it.
  COLORREF StatusColour() {
    HDC dc = CreateCompatibleDC(nullptr);
    SendMessageW(window_, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(Item(QM_ID_STATUS)));
    const COLORREF colour = GetTextColor(dc);
    DeleteDC(dc);
    return colour;
  }
  int WindowWidth() const {
    RECT r{};
    GetWindowRect(window_, &r);
    return r.right - r.left;
  }

  fs::path folder_, ini_;
  UtilityRun run_;
  CodePageTables tables_ = CodePageTables::For(1252, 437);
  std::unique_ptr<SettingsDialog> dialog_;
  HWND window_ = nullptr;
};

TEST_F(DialogGui, MissingSettingsFileShowsMessageAndEndsWithLoadFailed) {
  const std::u16string text =
      TextOfMessageBox(L"QuarrymarkConfig", [&] { EXPECT_EQ(Open(), nullptr); });
  EXPECT_EQ(text, kLoadFailedMessage);
  EXPECT_TRUE(dialog_->Ended());
  EXPECT_EQ(dialog_->EndCode(), 1);
}

TEST_F(DialogGui, OpensWithTheLoadedSettingsShown) {
  WriteTestIni();
  ASSERT_NE(Open(), nullptr);
  wchar_t title[64] = {};
  GetWindowTextW(window_, title, 64);
  EXPECT_STREQ(title, L"QuarrymarkConfig");
  EXPECT_EQ(Text(QM_ID_EXPRESSION), u"TODO|FIXME");
  EXPECT_EQ(Text(QM_ID_NAME), u"Has TODO");
  EXPECT_TRUE(Checked(1015));  // Boolean
  EXPECT_EQ(Text(QM_ID_STATUS), u"OK!");
  EXPECT_EQ(ListItem(QM_ID_FIELD_LIST, 0), u"-->Has TODO");
  EXPECT_EQ(ListItem(QM_ID_FIELD_LIST, 9), u"PCRE-RegEx10");
  EXPECT_EQ(SendMessageW(Item(QM_ID_FIELD_LIST), LB_GETCOUNT, 0, 0), 999);
  EXPECT_EQ(Text(QM_ID_FILE_MEMORY), u"10");
  EXPECT_EQ(Text(QM_ID_RESULT_CACHE), u"16384");
  for (const int id : {QM_ID_FILTER_ADD, QM_ID_FILTER_REMOVE, QM_ID_TEST_START, QM_ID_TEST_NEXT,
                       QM_ID_FILTER_XDOC, QM_ID_FILTER_OIT, QM_ID_GROUP_PREV, QM_ID_GROUP_NEXT,
                       QM_ID_HELP_PANE}) {
    EXPECT_FALSE(Enabled(id)) << id;
  }
  EXPECT_TRUE(Checked(QM_ID_OIT_DLL32));
}

TEST_F(DialogGui, CancelWithoutChangesLeavesTheFileUntouched) {
  WriteExampleIni();
  const std::string before = ReadBytes(ini_);
  const auto time = fs::last_write_time(ini_);
  ASSERT_NE(Open(), nullptr);
  Click(IDCANCEL);
  EXPECT_TRUE(dialog_->Ended());
  EXPECT_EQ(dialog_->EndCode(), 0);
  EXPECT_EQ(ReadBytes(ini_), before);
  EXPECT_EQ(fs::last_write_time(ini_), time);
}

TEST_F(DialogGui, OkWithoutChangesWritesTheSameText) {
  WriteExampleIni();
  ASSERT_NE(Open(), nullptr);
  Click(IDOK);  // the first save writes the file in the utility's form
  ASSERT_TRUE(dialog_->Ended());
  const std::string written = ReadBytes(ini_);
  ASSERT_NE(Open(), nullptr);
  Click(IDOK);
  ASSERT_TRUE(dialog_->Ended());
  EXPECT_EQ(ReadBytes(ini_), written);
}

TEST_F(DialogGui, OkWritesTheEditedOptionsAndFieldAndKeepsForeignText) {
  WriteTestIni("\r\n; kept comment\r\n[Foreign]\r\nkey=value\r\n");
  ASSERT_NE(Open(), nullptr);
  SelectInList(QM_ID_FIELD_LIST, 2, false);  // "Distinct words"
  EXPECT_EQ(Text(QM_ID_NAME), u"Distinct words");
  Type(QM_ID_NAME, u"Words");
  Click(1018);  // String output
  SetComboText(QM_ID_FILE_MEMORY, u"33");
  Click(QM_ID_LOG_ERRORS);  // on by default: now off
  Click(IDOK);
  ASSERT_TRUE(dialog_->Ended());

  IniMap after = ParseIni(ReadBytes(ini_));
  EXPECT_EQ(after["Quarrymark"]["regex3name"], "Words");
  EXPECT_EQ(after["Quarrymark"]["regex3type"], "3");
  EXPECT_EQ(after["Quarrymark"]["FileMemory"], "33");
  EXPECT_EQ(after["Quarrymark"]["LogErrors"], "false");
  EXPECT_EQ(after["QuarrymarkConfig"]["LastField"], "2");
  EXPECT_EQ(after["Foreign"]["key"], "value");
  EXPECT_EQ(after["#"].count("; kept comment"), 1u);
}

// One edited field: its keys change, the utility's own section is written,
// the global options are written out with the values they had, and nothing
// else of the file changes.
TEST_F(DialogGui, OkAfterEditingOneFieldChangesOnlyThatFieldsKeys) {
  WriteExampleIni("\r\n; kept comment\r\n[Foreign]\r\nkey=value\r\n");
  const IniMap before = ParseIni(ReadBytes(ini_));
  ASSERT_NE(Open(), nullptr);
  SelectInList(QM_ID_FIELD_LIST, 4, false);  // "Mail addresses"
  Type(QM_ID_EXPRESSION, u"[\\w.]+@example\\.org");
  Type(QM_ID_REPLACE, u"$0\\x20");  // the default: stored empty
  Click(IDOK);
  ASSERT_TRUE(dialog_->Ended());

  IniMap after = ParseIni(ReadBytes(ini_));
  const std::set<std::string> globalOptions = {
      "FileMemory", "OnDemandLimit", "GlobalFileSizeLimit", "AnalyzeBuffer", "ResultCache",
      "RandomLength", "RandomLoops", "Regex1Extern", "MatchAllForErrors", "ModFieldName",
      "LogErrors", "ClearCacheOnReread", "UnicodeZerosValid", "NormalSearchForFilterFail",
      "SortFields", "CaseSensitiveDefault", "OitFulltextTreatUnknownFileFormatAsText",
      "OitDllPath32", "OitDllPath64", "OitFulltextExclude", "ConverterTimeLimit"};
  std::set<std::string> changed;
  for (const auto& [section, keys] : after) {
    for (const auto& [key, value] : keys) {
      const auto old = before.find(section);
      const bool same = old != before.end() && old->second.count(key) != 0 &&
                        old->second.at(key) == value;
      if (same || section == "QuarrymarkConfig") continue;
      if (section == "Quarrymark" && before.at(section).count(key) == 0 &&
          globalOptions.count(key) != 0) {
        continue;  // written out with its effective value
      }
      changed.insert(section + "/" + key + "=" + value);
    }
  }
  for (const auto& [section, keys] : before) {
    for (const auto& [key, value] : keys) {
      if (after[section].count(key) == 0) changed.insert(section + "/" + key + " deleted");
    }
  }
  EXPECT_EQ(changed, (std::set<std::string>{"Quarrymark/regex5=[\\w.]+@example\\.org",
                                            "Quarrymark/regex5replace="}));
  EXPECT_EQ(after["Quarrymark"]["FileMemory"], "10");
  EXPECT_EQ(after["Quarrymark"]["LogErrors"], "true");
  EXPECT_EQ(after["QuarrymarkConfig"]["LastField"], "4");
}

TEST_F(DialogGui, ApplyThenReloadFieldRestoresTheAppliedField) {
  WriteTestIni();
  ASSERT_NE(Open(), nullptr);
  Type(QM_ID_NAME, u"Applied name");
  Click(QM_ID_APPLY);
  EXPECT_FALSE(dialog_->Ended());
  EXPECT_EQ(ParseIni(ReadBytes(ini_))["Quarrymark"]["regex1name"], "Applied name");
  EXPECT_EQ(ListItem(QM_ID_FIELD_LIST, 0), u"-->Applied name");
  Type(QM_ID_NAME, u"Later edit");
  Type(QM_ID_EXPRESSION, u"later");
  Click(QM_ID_RELOAD_FIELD);
  EXPECT_EQ(Text(QM_ID_NAME), u"Applied name");
  EXPECT_EQ(Text(QM_ID_EXPRESSION), u"TODO|FIXME");
  Click(QM_ID_FIELD_DEFAULTS);
  EXPECT_EQ(Text(QM_ID_EXPRESSION), u".*");
  EXPECT_EQ(Text(QM_ID_REPLACE), u"$0\\x20");
  EXPECT_EQ(Text(QM_ID_NAME), u"");
  EXPECT_TRUE(Checked(1015));
}

TEST_F(DialogGui, FieldCountMarksTheActiveFields) {
  WriteTestIni();
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(Text(QM_ID_FIELD_COUNT), u"9");
  EXPECT_EQ(ListItem(QM_ID_FIELD_LIST, 8), u"-->Random tag");
  SelectInList(QM_ID_FIELD_COUNT, 11, true);  // 12 fields
  EXPECT_EQ(ListItem(QM_ID_FIELD_LIST, 11), u"-->PCRE-RegEx12");
  EXPECT_EQ(ListItem(QM_ID_FIELD_LIST, 12), u"PCRE-RegEx13");
  SelectInList(QM_ID_FIELD_COUNT, 1, true);
  EXPECT_EQ(ListItem(QM_ID_FIELD_LIST, 1), u"-->Line breaks");
  EXPECT_EQ(ListItem(QM_ID_FIELD_LIST, 2), u"Distinct words");
  Click(IDOK);
  EXPECT_EQ(ParseIni(ReadBytes(ini_))["Quarrymark"]["regexcount"], "2");
}

TEST_F(DialogGui, StatusLineShowsEachVerdictInItsColour) {
  WriteTestIni();
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(StatusColour(), GetSysColor(COLOR_BTNTEXT));

  Type(QM_ID_EXPRESSION, u"ab(cd");
  const std::u16string error = Text(QM_ID_STATUS);
  EXPECT_NE(error.find(u"missing )"), std::u16string::npos) << std::string(error.begin(), error.end());
  EXPECT_NE(error.find(u" at pos 6"), std::u16string::npos);
  EXPECT_EQ(StatusColour(), RGB(255, 0, 0));
  // A click on the status line selects the character at the error (the
  // offset is past the end, so the last one).
  SendMessageW(window_, WM_COMMAND, MAKEWPARAM(QM_ID_STATUS, STN_CLICKED),
               reinterpret_cast<LPARAM>(Item(QM_ID_STATUS)));
  EXPECT_EQ(Selection(QM_ID_EXPRESSION), std::make_pair(4, 5));
  EXPECT_EQ(GetFocus(), Item(QM_ID_EXPRESSION));

  Type(QM_ID_EXPRESSION, u"\\x{100}");
  const std::u16string ansi = Text(QM_ID_STATUS);
  EXPECT_EQ(ansi.rfind(u"ANSI: ", 0), 0u);
  EXPECT_NE(ansi.find(u" - try prefix (*UTF) !"), std::u16string::npos);
  EXPECT_EQ(StatusColour(), RGB(255, 0, 0));

  Type(QM_ID_EXPRESSION, u"");
  EXPECT_EQ(Text(QM_ID_STATUS), u"Empty expression, will be filled with .* when saving");
  EXPECT_EQ(StatusColour(), RGB(0, 0, 255));
  Type(QM_ID_EXPRESSION, u"a\r\nb");
  EXPECT_EQ(Text(QM_ID_STATUS), u"OK, but newlines / line breaks in expression!");
  EXPECT_EQ(StatusColour(), RGB(0, 0, 255));

  // The OEM box re-checks at once: the euro sign is a character of code
  // page 1252 but becomes the default character "?" in code page 437, which
  // has nothing to repeat.
  Type(QM_ID_EXPRESSION, u"\u20AC");
  EXPECT_EQ(Text(QM_ID_STATUS), u"OK!");
  Click(QM_ID_FLAG_OEM);
  EXPECT_EQ(Text(QM_ID_STATUS).rfind(u"ANSI: ", 0), 0u);
  Click(QM_ID_FLAG_OEM);
  EXPECT_EQ(Text(QM_ID_STATUS), u"OK!");

  Type(QM_ID_EXPRESSION, u"\\p{Lu}");
  Click(QM_ID_QUICK_GROUP);
  EXPECT_EQ(Text(QM_ID_EXPRESSION), u"(\\p{Lu})");
  EXPECT_EQ(Selection(QM_ID_EXPRESSION), std::make_pair(8, 8));
}

TEST_F(DialogGui, TestRunStepsThroughMatchesAndGroups) {
  WriteTestIni();
  ASSERT_NE(Open(), nullptr);
  const std::u16string sample(kSampleTestText);
  Type(QM_ID_EXPRESSION, u"(t)(h)e");
  Type(QM_ID_REPLACE, u"my template");
  Click(QM_ID_TEST_TOGGLE);
  EXPECT_EQ(Text(QM_ID_TEST_TOGGLE), u"<");
  EXPECT_EQ(Text(QM_ID_REPLACE_LABEL), u"Test String");
  EXPECT_EQ(Text(QM_ID_REPLACE), sample);
  EXPECT_TRUE(Enabled(QM_ID_TEST_START));
  EXPECT_FALSE(Enabled(QM_ID_FIELD_DEFAULTS));

  Click(QM_ID_TEST_START);
  EXPECT_EQ(Text(QM_ID_TEST_START), u"Stop");
  EXPECT_EQ(Text(QM_ID_TEST_TOGGLE), u"Prev");
  EXPECT_EQ(Text(QM_ID_REPLACE_LABEL), u"Group 0 (entire pattern)");
  EXPECT_FALSE(Enabled(QM_ID_FLAG_OEM));
  EXPECT_FALSE(Enabled(QM_ID_GROUP_PREV));
  EXPECT_TRUE(Enabled(QM_ID_GROUP_NEXT));
  // Caseless by default: "The", "the", then "The" of the HTML title.
  const int first = 0;
  const int second = static_cast<int>(sample.find(u"the"));
  const int third = static_cast<int>(sample.find(u"The", 1));
  EXPECT_EQ(Selection(QM_ID_REPLACE), std::make_pair(first, first + 3));
  Click(QM_ID_TEST_NEXT);
  EXPECT_EQ(Selection(QM_ID_REPLACE), std::make_pair(second, second + 3));
  Click(QM_ID_GROUP_NEXT);
  EXPECT_EQ(Text(QM_ID_REPLACE_LABEL), u"Group 1");
  EXPECT_EQ(Selection(QM_ID_REPLACE), std::make_pair(second, second + 1));
  Click(QM_ID_GROUP_NEXT);
  EXPECT_EQ(Text(QM_ID_REPLACE_LABEL), u"Group 2");
  EXPECT_FALSE(Enabled(QM_ID_GROUP_NEXT));  // capture count reached
  EXPECT_EQ(Selection(QM_ID_REPLACE), std::make_pair(second + 1, second + 2));
  Click(QM_ID_TEST_NEXT);
  EXPECT_EQ(Selection(QM_ID_REPLACE), std::make_pair(third + 1, third + 2));
  Click(QM_ID_TEST_TOGGLE);  // "Prev"
  EXPECT_EQ(Selection(QM_ID_REPLACE), std::make_pair(second + 1, second + 2));
  Click(QM_ID_TEST_NEXT);
  Click(QM_ID_TEST_NEXT);  // past the last match: the run stops
  EXPECT_EQ(Text(QM_ID_TEST_START), u"Start");
  EXPECT_EQ(Text(QM_ID_TEST_TOGGLE), u"<");
  EXPECT_TRUE(Enabled(QM_ID_FLAG_OEM));
  EXPECT_FALSE(Enabled(QM_ID_TEST_NEXT));

  // Back to editing: the replace text typed before comes back.
  Click(QM_ID_TEST_TOGGLE);
  EXPECT_EQ(Text(QM_ID_REPLACE), u"my template");
  EXPECT_EQ(Text(QM_ID_REPLACE_LABEL), u"Replace String");
  EXPECT_TRUE(Enabled(QM_ID_FIELD_DEFAULTS));

  // A broken expression does not start; a match-less one says so.
  Click(QM_ID_TEST_TOGGLE);
  Type(QM_ID_EXPRESSION, u"(");
  EXPECT_EQ(TextOfMessageBox(L"QuarrymarkConfig", [&] { Click(QM_ID_TEST_START); }),
            u"Incorrect Expression!");
  Type(QM_ID_EXPRESSION, u"zzz");
  EXPECT_EQ(TextOfMessageBox(L"QuarrymarkConfig", [&] { Click(QM_ID_TEST_START); }),
            u"No match!");
  EXPECT_EQ(Text(QM_ID_TEST_START), u"Start");
}

TEST_F(DialogGui, FilterExtensionsAddAndRemove) {
  WriteTestIni();
  ASSERT_NE(Open(), nullptr);
  HWND combo = Item(QM_ID_FILTER_EXT);
  const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
  TypeInCombo(QM_ID_FILTER_EXT, u"odt");
  EXPECT_TRUE(Enabled(QM_ID_FILTER_ADD));
  EXPECT_FALSE(Enabled(QM_ID_FILTER_REMOVE));
  EXPECT_TRUE(Enabled(QM_ID_FILTER_IFILTER));
  Click(QM_ID_FILTER_IFILTER);
  EXPECT_TRUE(Checked(QM_ID_FILTER_IFILTER));
  Click(QM_ID_FILTER_ADD);
  EXPECT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), count + 1);
  EXPECT_FALSE(Enabled(QM_ID_FILTER_ADD));

  const LRESULT index = SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(L"odt"));
  ASSERT_GE(index, 0);
  SelectInList(QM_ID_FILTER_EXT, static_cast<int>(index), true);
  EXPECT_TRUE(Enabled(QM_ID_FILTER_REMOVE));
  EXPECT_TRUE(Checked(QM_ID_FILTER_XDOC));
  EXPECT_TRUE(Checked(QM_ID_FILTER_IFILTER));
  Click(QM_ID_FILTER_OIT);  // the entry becomes an Outside In one
  EXPECT_FALSE(Checked(QM_ID_FILTER_IFILTER));
  EXPECT_FALSE(Enabled(QM_ID_FILTER_IFILTER));
  Click(QM_ID_APPLY);
  EXPECT_EQ(ParseIni(ReadBytes(ini_))["Quarrymark_filters"]["odt"], "oit");

  TypeInCombo(QM_ID_FILTER_EXT, u"ODT");  // another key: case counts
  EXPECT_TRUE(Enabled(QM_ID_FILTER_ADD));
  TypeInCombo(QM_ID_FILTER_EXT, u"odt");
  Click(QM_ID_FILTER_REMOVE);
  EXPECT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), count);
  Click(IDOK);
  EXPECT_EQ(ParseIni(ReadBytes(ini_))["Quarrymark_filters"].count("odt"), 0u);
}

TEST_F(DialogGui, HelpPanesSwitchAndShowTheWholeTexts) {
  WriteTestIni();
  ASSERT_NE(Open(), nullptr);
  const int compact = WindowWidth();
  Click(QM_ID_REGEX_HELP);
  const int wide = WindowWidth();
  EXPECT_GT(wide, compact);
  EXPECT_TRUE(Enabled(QM_ID_HELP_PANE));
  EXPECT_EQ(Text(QM_ID_REGEX_HELP), u"RegEx Help<");
  const std::u16string regex = Text(QM_ID_HELP_PANE);
  EXPECT_EQ(regex, RegexHelpText());
  EXPECT_EQ(regex.rfind(u"QUOTING\r\n", 0), 0u);
  EXPECT_EQ(regex.substr(regex.rfind(u"\r\n") + 2), u"  (?Cn)     callout with data n");

  Click(QM_ID_REPLACE_HELP);
  EXPECT_EQ(WindowWidth(), wide);
  EXPECT_EQ(Text(QM_ID_REGEX_HELP), u"RegEx Help>");
  EXPECT_EQ(Text(QM_ID_REPLACE_HELP), u"Replace Help<");
  const std::u16string replace = Text(QM_ID_HELP_PANE);
  EXPECT_EQ(replace, ReplaceHelpText());
  EXPECT_EQ(replace.rfind(u"SUBGROUPS\r\n", 0), 0u);

  Click(QM_ID_REPLACE_HELP);
  EXPECT_EQ(WindowWidth(), compact);
  EXPECT_FALSE(Enabled(QM_ID_HELP_PANE));
  EXPECT_EQ(Text(QM_ID_REPLACE_HELP), u"Replace Help>");

  // The open pane is remembered: OK stores HelpW, the next run opens it.
  Click(QM_ID_REGEX_HELP);
  Click(IDOK);
  EXPECT_EQ(ParseIni(ReadBytes(ini_))["QuarrymarkConfig"]["HelpW"], "1");
  run_ = UtilityRun();
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(WindowWidth(), wide);
  EXPECT_EQ(Text(QM_ID_HELP_PANE), RegexHelpText());
}

TEST_F(DialogGui, ReloadIniDiscardsEditsAndReopensWithTheReplaceHelp) {
  WriteTestIni();
  ASSERT_NE(Open(), nullptr);
  Click(QM_ID_REGEX_HELP);
  Type(QM_ID_NAME, u"not kept");
  Click(QM_ID_RELOAD_INI);
  EXPECT_EQ(dialog_->EndCode(), 99);
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(Text(QM_ID_NAME), u"Has TODO");
  EXPECT_EQ(Text(QM_ID_REPLACE_HELP), u"Replace Help<");
  EXPECT_EQ(Text(QM_ID_HELP_PANE), ReplaceHelpText());
}

TEST_F(DialogGui, CancelAfterMovingTheWindowStoresOnlyThePosition) {
  WriteTestIni();
  ASSERT_NE(Open(), nullptr);
  Type(QM_ID_NAME, u"discarded");
  SetWindowPos(window_, nullptr, 100, 80, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  Click(IDCANCEL);
  ASSERT_TRUE(dialog_->Ended());
  IniMap after = ParseIni(ReadBytes(ini_));
  EXPECT_EQ(after["QuarrymarkConfig"]["CoordX"], "100");
  EXPECT_EQ(after["QuarrymarkConfig"]["CoordY"], "80");
  EXPECT_EQ(after["Quarrymark"]["regex1name"], "Has TODO");
  EXPECT_EQ(after["Quarrymark"].count("LogErrors"), 0u);  // the block is not written
}

TEST_F(DialogGui, OutsideInPathsShareOneEditField) {
  WriteTestIni();
  ASSERT_NE(Open(), nullptr);
  Type(QM_ID_OIT_PATH, u"C:\\oit32");
  Click(QM_ID_OIT_DLL64);
  EXPECT_EQ(Text(QM_ID_OIT_PATH), u"");
  EXPECT_TRUE(Enabled(QM_ID_OIT_BROWSE));
  Type(QM_ID_OIT_PATH, u"C:\\oit64");
  Click(QM_ID_OIT_EXCLUDE);
  EXPECT_FALSE(Enabled(QM_ID_OIT_BROWSE));
  Type(QM_ID_OIT_PATH, u"*.zip");
  Click(QM_ID_OIT_DLL32);  // the 32-bit text was kept while hidden
  EXPECT_EQ(Text(QM_ID_OIT_PATH), u"C:\\oit32");
  Click(IDOK);
  IniMap after = ParseIni(ReadBytes(ini_));
  EXPECT_EQ(after["Quarrymark"]["OitDllPath32"], "C:\\oit32");
  EXPECT_EQ(after["Quarrymark"]["OitDllPath64"], "C:\\oit64");
  EXPECT_EQ(after["Quarrymark"]["OitFulltextExclude"], "*.zip");
}

// The common font dialog, confirmed: the chosen font goes onto the three
// editor boxes and the help pane, and OK stores it.
TEST_F(DialogGui, FontChoiceAppliesTheFontAndOkStoresIt) {
  WriteTestIni();
  ASSERT_NE(Open(), nullptr);
  const LRESULT before = SendMessageW(Item(QM_ID_EXPRESSION), WM_GETFONT, 0, 0);
  TextOfMessageBox(L"Font", [&] { Click(QM_ID_FONT); });
  const LRESULT chosen = SendMessageW(Item(QM_ID_EXPRESSION), WM_GETFONT, 0, 0);
  EXPECT_NE(chosen, before);
  for (const int id : {QM_ID_NAME, QM_ID_REPLACE, QM_ID_HELP_PANE}) {
    EXPECT_EQ(SendMessageW(Item(id), WM_GETFONT, 0, 0), chosen) << id;
  }
  Click(IDOK);
  const std::string font = ParseIni(ReadBytes(ini_))["QuarrymarkConfig"]["font"];
  EXPECT_EQ(std::count(font.begin(), font.end(), ','), 13) << font;
}

TEST_F(DialogGui, AboutBoxOpensAndCloses) {
  WriteTestIni();
  ASSERT_NE(Open(), nullptr);
  const std::u16string text =
      TextOfMessageBox(L"QuarrymarkConfig v1.2", [&] { Click(QM_ID_ABOUT); });
  EXPECT_EQ(text.rfind(u"Total Commander Quarrymark plug-in config utility\n\n", 0), 0u)
      << std::string(text.begin(), text.end());
  EXPECT_NE(text.find(u"8.39"), std::u16string::npos);
  EXPECT_FALSE(dialog_->Ended());
  EXPECT_EQ(FindWindowW(L"#32770", L"QuarrymarkConfig v1.2"), nullptr);
}

// The program itself: started as a user starts it, beside its settings file.
class Program : public DialogGui {
 protected:
  // Starts a copy of the program in the test folder; 0 when it cannot start.
  HANDLE Start() {
    const fs::path exe = folder_ / "QuarrymarkConfig64.exe";
    fs::copy_file(QM_UTILITY_EXE, exe, fs::copy_options::overwrite_existing);
    std::wstring command = L"\"" + exe.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder_.c_str(), &startup, &process)) {
      return nullptr;
    }
    CloseHandle(process.hThread);
    processId_ = process.dwProcessId;
    return process.hProcess;
  }
  // A top-level dialog window of the started program with the title.
  HWND WindowOfProgram(const wchar_t* title) const {
    for (int i = 0; i < 6000; ++i) {  // a minute on a slow machine
      HWND found = nullptr;
      while ((found = FindWindowExW(nullptr, found, L"#32770", title)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(found, &owner);
        if (owner == processId_ && IsWindowVisible(found)) return found;
      }
      Sleep(10);
    }
    return nullptr;
  }
  static DWORD ExitCodeOf(HANDLE process) {
    DWORD code = 0xFFFF;
    if (WaitForSingleObject(process, 60000) != WAIT_OBJECT_0) TerminateProcess(process, 0xDEAD);
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
  }
  DWORD processId_ = 0;
};

TEST_F(Program, EndsWithOneWhenThereIsNoSettingsFile) {
  HANDLE process = Start();
  ASSERT_NE(process, nullptr);
  HWND box = WindowOfProgram(L"QuarrymarkConfig");
  EXPECT_NE(box, nullptr);
  if (box) PostMessageW(box, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(ExitCodeOf(process), 1u);
}

TEST_F(Program, OkWritesTheFileBesideTheProgramAndEndsWithZero) {
  WriteTestIni();
  HANDLE process = Start();
  ASSERT_NE(process, nullptr);
  HWND dialog = WindowOfProgram(L"QuarrymarkConfig");
  ASSERT_NE(dialog, nullptr);
  HWND name = GetDlgItem(dialog, QM_ID_NAME);
  SendMessageW(name, EM_SETSEL, 0, -1);
  SendMessageW(name, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(L"From the program"));
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
  EXPECT_EQ(ExitCodeOf(process), 0u);
  EXPECT_EQ(ParseIni(ReadBytes(ini_))["Quarrymark"]["regex1name"], "From the program");
}

}  // namespace
}  // namespace qm::utility::win32
