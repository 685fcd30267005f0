// Global-option lists, the filter-extension editor, the Outside In path
// group and the help-pane toggle.
#include <gtest/gtest.h>

#include "config_utility/model/dialog_options.h"

namespace qm::utility {
namespace {

TEST(GlobalOptions, ValuesThatAreNoPresetAreAppended) {
  SettingsBlock b;
  b.fileMemory = 33;
  b.globalFileSizeLimit = 256;
  b.analyzeBuffer = 8;
  b.resultCache = 8;
  b.randomLoops = 9;
  b.regexCount = 12;
  GlobalOptionsView v = FilledOptionLists();
  ShowGlobalOptions(b, &v);
  EXPECT_EQ(v.fileMemory.items.size(), 18u);
  EXPECT_EQ(v.fileMemory.selected, 17);
  EXPECT_EQ(v.fileMemory.text, u"33");
  EXPECT_EQ(v.globalFileSizeLimit.items.back(), u"256");
  EXPECT_EQ(kAnalyzeBufferItems[v.analyzeBufferIndex], u"4M");
  EXPECT_EQ(kResultCacheItems[v.resultCacheIndex], u"1048576 *");
  EXPECT_EQ(kRandomLoopsItems[v.randomLoopsIndex], u"67108864");
  EXPECT_EQ(v.fieldCountIndex, 11);

  SettingsBlock back;
  ReadGlobalOptions(v, &back);
  EXPECT_EQ(back.fileMemory, 33);
  EXPECT_EQ(back.globalFileSizeLimit, 256);
  EXPECT_EQ(back.analyzeBuffer, 8);
  EXPECT_EQ(back.resultCache, 8);
  EXPECT_EQ(back.randomLoops, 9);
  EXPECT_EQ(back.regexCount, 12);

  b.resultCache = 0;
  ShowGlobalOptions(b, &v);
  EXPECT_EQ(kResultCacheItems[v.resultCacheIndex], u"none");
}

TEST(GlobalOptions, ConverterTimeLimitOffersNoLimitAndKeepsOtherValues) {
  GlobalOptionsView v = FilledOptionLists();
  EXPECT_EQ(v.converterTimeLimit.text, u"60");
  EXPECT_EQ(v.converterTimeLimit.items.front(), u"0");  // no limit
  SettingsBlock b;
  EXPECT_EQ(b.converterTimeLimit, 60);
  b.converterTimeLimit = 45;
  ShowGlobalOptions(b, &v);
  EXPECT_EQ(v.converterTimeLimit.text, u"45");
  v.converterTimeLimit.Select(0);
  SettingsBlock back;
  ReadGlobalOptions(v, &back);
  EXPECT_EQ(back.converterTimeLimit, 0);
}

TEST(GlobalOptions, TypedTextIsReadAsALeadingDecimalNumber) {
  EXPECT_EQ(ReadDecimalText(u"abc"), 0);
  EXPECT_EQ(ReadDecimalText(u" 42MB"), 42);
  EXPECT_EQ(ReadDecimalText(u"-7"), -7);
  EXPECT_EQ(ReadDecimalText(u"99999999999"), 2147483647);
  EXPECT_EQ(ReadDecimalText(u"-99999999999"), -2147483647 - 1);
  GlobalOptionsView v = FilledOptionLists();
  v.randomLength.text = u"x12";
  SettingsBlock b;
  ReadGlobalOptions(v, &b);
  EXPECT_EQ(b.randomLength, 0);  // saved as typed, not range-checked
}

// ---------------------------------------------------------------------------
struct Filters : ::testing::Test {
  FilterMap map{{u"doc", FilterEntry{2, u"|i"}}, {u"pdf", FilterEntry{1, u""}}};
  FilterEditor editor{&map};
  void SetUp() override { editor.Refill(); }
};

TEST_F(Filters, RefillListsKeysAndResetsTheChoice) {
  EXPECT_EQ(editor.items, (std::vector<std::u16string>{u"doc", u"pdf"}));
  EXPECT_TRUE(editor.xdocChecked);
  EXPECT_FALSE(editor.iFilterChecked);
  EXPECT_FALSE(editor.xdocEnabled || editor.oitEnabled || editor.iFilterEnabled);
}

TEST_F(Filters, ShowingEntries) {
  editor.SelectItem(1);  // pdf, Outside In
  EXPECT_EQ(editor.text, u"pdf");
  EXPECT_TRUE(editor.oitChecked);
  EXPECT_FALSE(editor.iFilterEnabled);
  EXPECT_TRUE(editor.removeEnabled);
  EXPECT_FALSE(editor.addEnabled);

  editor.SelectItem(0);  // doc, converter with iFilter
  EXPECT_TRUE(editor.xdocChecked);
  EXPECT_TRUE(editor.iFilterChecked);
  EXPECT_TRUE(editor.iFilterEnabled);

  editor.text = u"DOC";  // differs only in case: a new extension
  editor.EditChanged();
  EXPECT_TRUE(editor.addEnabled);
  EXPECT_FALSE(editor.removeEnabled);
  EXPECT_FALSE(editor.iFilterChecked);

  editor.text.clear();
  editor.EditChanged();
  EXPECT_FALSE(editor.addEnabled || editor.removeEnabled || editor.xdocEnabled);
}

TEST_F(Filters, KindClicksChangeAnExistingEntryAtOnce) {
  editor.SelectItem(0);
  editor.ClickOit();
  EXPECT_FALSE(editor.iFilterChecked);
  EXPECT_FALSE(editor.iFilterEnabled);
  EXPECT_EQ(map.at(u"doc"), (FilterEntry{1, u""}));
  editor.ClickXdoc();
  editor.ClickIFilter();
  EXPECT_EQ(map.at(u"doc"), (FilterEntry{2, u"|i"}));
  EXPECT_EQ(editor.items.size(), 2u);  // no refill
}

TEST_F(Filters, AddAndRemove) {
  editor.text = u"xls?";
  editor.EditChanged();
  editor.ClickIFilter();
  editor.Add();
  EXPECT_EQ(map.at(u"xls?"), (FilterEntry{2, u"|i"}));
  EXPECT_EQ(editor.items.size(), 3u);
  EXPECT_FALSE(editor.addEnabled || editor.removeEnabled);

  editor.text = u"absent";
  editor.Remove();  // only refills
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(editor.text, u"");

  editor.text = u"pdf";
  editor.Remove();
  EXPECT_EQ(map.count(u"pdf"), 0u);

  editor.text = u"doc";
  editor.ClickOit();
  editor.Add();  // already a key: unchanged apart from the kind click
  EXPECT_EQ(map.at(u"doc").kind, 1u);
}

// ---------------------------------------------------------------------------
TEST(OutsideInPaths, RadiosShareTheEditFieldAndKeepEditedText) {
  SettingsBlock b;
  b.oitDllPath32 = u"C:\\oit32";
  b.oitDllPath64 = u"C:\\oit64";
  OutsideInPathGroup group(&b);
  group.Reset();
  EXPECT_EQ(group.text, u"C:\\oit32");
  group.text = u"D:\\edited";
  group.Select(OutsideInPathGroup::kDllPath64);
  EXPECT_EQ(b.oitDllPath32, u"D:\\edited");
  EXPECT_EQ(group.text, u"C:\\oit64");
  EXPECT_EQ(std::u16string(group.BrowseTitle()), u"Choose x64 DLL path");
  group.Select(OutsideInPathGroup::kFulltextExclude);
  EXPECT_FALSE(group.browseEnabled);
  group.text = u"1000-1999";
  group.StoreActive();
  EXPECT_EQ(b.oitFulltextExclude, u"1000-1999");
  group.Select(OutsideInPathGroup::kDllPath32);
  EXPECT_TRUE(group.browseEnabled);
  EXPECT_EQ(std::u16string(group.BrowseTitle()), u"Choose 32-bit DLL path");
}

// ---------------------------------------------------------------------------
TEST(HelpPaneToggle, EveryTransition) {
  HelpPane pane;
  HelpPaneChange c = pane.ClickRegexHelp();  // 0 -> 1
  EXPECT_EQ(c.resize, PaneResize::kWiden);
  EXPECT_EQ(c.show, HelpText::kRegex);
  EXPECT_TRUE(c.paneEnabled);
  EXPECT_EQ(pane.regexButton, u"RegEx Help<");

  c = pane.ClickReplaceHelp();  // 1 -> 2
  EXPECT_EQ(c.resize, PaneResize::kNone);
  EXPECT_EQ(c.show, HelpText::kReplace);
  EXPECT_EQ(pane.regexButton, u"RegEx Help>");
  EXPECT_EQ(pane.replaceButton, u"Replace Help<");

  c = pane.ClickRegexHelp();  // 2 -> 1
  EXPECT_EQ(c.show, HelpText::kRegex);
  EXPECT_EQ(pane.replaceButton, u"Replace Help>");
  EXPECT_EQ(pane.state, HelpPaneState::kRegex);

  c = pane.ClickRegexHelp();  // 1 -> 0
  EXPECT_EQ(c.resize, PaneResize::kNarrow);
  EXPECT_TRUE(c.setPaneEnabled);
  EXPECT_FALSE(c.paneEnabled);
  EXPECT_EQ(c.show, HelpText::kNone);  // the text stays in place

  c = pane.ClickReplaceHelp();  // 0 -> 2
  EXPECT_EQ(c.resize, PaneResize::kWiden);
  c = pane.ClickReplaceHelp();  // 2 -> 0
  EXPECT_EQ(c.resize, PaneResize::kNarrow);
  EXPECT_EQ(pane.state, HelpPaneState::kNone);
  EXPECT_EQ(pane.replaceButton, u"Replace Help>");
}

}  // namespace
}  // namespace qm::utility
