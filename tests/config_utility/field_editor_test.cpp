// The field editor: list labels, show/store rules, quick insert, and the
// expression test's state machine as the dialog sees it.
#include <gtest/gtest.h>

#include "config_utility/model/field_editor.h"
#include "config_utility/model/sample_text.h"

namespace qm::utility {
namespace {

struct Editor : ::testing::Test {
  CodePageTables tables = CodePageTables::For(1252, 437);
  UtilitySettings settings;
  FieldEditor editor{&settings, &tables};

  void SetUp() override {
    settings.current.fields[0].expression = u"(qu)(i)ck";
    settings.current.fields[0].name = u"Quick";
    settings.current.fields[0].replace = u"[$1]";
    settings.snapshot = settings.current;
    editor.ShowField(0, false);
    editor.CheckExpression();
  }
  EditorControls& c() { return editor.controls; }
};

TEST(FieldList, LabelsMarkActiveFieldsAndNameTheNameless) {
  SettingsBlock block;
  block.regexCount = 3;
  block.fields[1].name = u"Words";
  const auto labels = FieldListLabels(block);
  ASSERT_EQ(labels.size(), 999u);
  EXPECT_EQ(labels[0], u"-->PCRE-RegEx1");
  EXPECT_EQ(labels[1], u"-->Words");
  EXPECT_EQ(labels[2], u"-->PCRE-RegEx3");
  EXPECT_EQ(labels[3], u"PCRE-RegEx4");
  EXPECT_EQ(labels[998], u"PCRE-RegEx999");
}

TEST_F(Editor, StoreRulesForEmptyExpressionAndDefaultReplace) {
  c().expression.clear();
  c().replace = u"$0\\x20";
  EXPECT_FALSE(editor.StoreEditor(0));
  EXPECT_EQ(settings.current.fields[0].expression, u".*");
  EXPECT_EQ(c().expression, u".*");
  EXPECT_EQ(settings.current.fields[0].replace, u"");
  editor.ShowField(0, false);
  EXPECT_EQ(c().replace, u"$0\\x20");

  c().name = u"Renamed";
  EXPECT_TRUE(editor.StoreEditor(0));
}

TEST_F(Editor, FieldDefaultsAndReloadField) {
  c().flags = 64;
  c().type = 3;
  EXPECT_TRUE(editor.FieldDefaults().refillFieldList);  // the name was cleared
  const FieldSlot& slot = settings.current.fields[0];
  EXPECT_EQ(slot.expression, u".*");
  EXPECT_EQ(slot.replace, u"");
  EXPECT_EQ(slot.name, u"");
  EXPECT_EQ(slot.type, 0);
  EXPECT_EQ(slot.flags, 0u);
  EXPECT_EQ(c().statusText, u"OK!");

  editor.ReloadField();
  EXPECT_EQ(settings.current.fields[0], settings.snapshot.fields[0]);
  EXPECT_EQ(c().expression, u"(qu)(i)ck");
}

TEST_F(Editor, SwitchingFieldsStoresTheEditedOne) {
  c().expression = u"";
  editor.SwitchField(2);
  EXPECT_EQ(editor.CurrentField(), 2);
  EXPECT_EQ(settings.current.fields[0].expression, u".*");
  EXPECT_EQ(c().expression, u".*");
}

TEST_F(Editor, QuickInsertWrapsTheWholeExpressionOrTheSelection) {
  c().expression = u"abc";
  c().expressionSelection = {1, 1};  // a caret only
  const EditorEffects wrapped = editor.QuickInsert(0);
  EXPECT_EQ(c().expression, u"(abc)");
  EXPECT_EQ(c().expressionSelection, (TextSelection{5, 5}));
  EXPECT_TRUE(wrapped.focusExpression);

  c().expression = u"abcd";
  c().expressionSelection = {1, 3};
  editor.QuickInsert(2);
  EXPECT_EQ(c().expression, u"a\\Qbc\\Ed");
  EXPECT_EQ(c().expressionSelection, (TextSelection{7, 7}));

  c().expressionSelection = {3, 1};  // selected backwards
  editor.QuickInsert(1);
  EXPECT_EQ(c().expression, u"a.*\\Q.*bc\\Ed");
}

TEST_F(Editor, ClickOnTheStatusLineSelectsTheErrorPosition) {
  c().expression = u"(abc";
  const EditorEffects effects = editor.CheckExpression(true);
  EXPECT_EQ(c().status, ExpressionStatus::kError);
  EXPECT_EQ(c().expressionSelection, (TextSelection{3, 4}));  // the last character
  EXPECT_TRUE(effects.focusExpression);
  EXPECT_EQ(ColourOfStatus(c().status).red, 255);
  EXPECT_TRUE(ColourOfStatus(ExpressionStatus::kOk).systemText);
  EXPECT_EQ(ColourOfStatus(ExpressionStatus::kWarning).blue, 255);
}

TEST_F(Editor, EnteringAndLeavingTestModeSwapsTheReplaceBox) {
  editor.TestButton();
  EXPECT_TRUE(editor.InTestMode());
  EXPECT_EQ(c().testButton, u"<");
  EXPECT_EQ(c().replaceLabel, u"Test String");
  EXPECT_EQ(c().replace, kSampleTestText);
  EXPECT_TRUE(c().startEnabled);
  EXPECT_FALSE(c().nextEnabled);
  EXPECT_FALSE(c().fieldDefaultsEnabled);
  EXPECT_FALSE(c().reloadFieldEnabled);

  c().replace = u"my text";
  editor.TestButton();  // "<"
  EXPECT_FALSE(editor.InTestMode());
  EXPECT_EQ(c().replace, u"[$1]");
  EXPECT_EQ(c().replaceLabel, u"Replace String");
  EXPECT_EQ(c().testButton, u">");
  EXPECT_EQ(settings.testString, u"my text");
  EXPECT_TRUE(c().fieldDefaultsEnabled);
  EXPECT_FALSE(c().startEnabled);
}

TEST_F(Editor, StartWithABrokenExpressionAsksForACorrection) {
  editor.TestButton();
  c().expression = u"(";
  EXPECT_EQ(editor.StartButton().notice, Notice::kIncorrectExpression);
  EXPECT_FALSE(editor.InTestRun());
  EXPECT_EQ(std::u16string(NoticeText(Notice::kIncorrectExpression)), u"Incorrect Expression!");
}

TEST_F(Editor, StartWithoutMatchReportsNoMatch) {
  editor.TestButton();
  c().replace = u"nothing here";
  const EditorEffects effects = editor.StartButton();
  EXPECT_EQ(effects.notice, Notice::kNoMatch);
  EXPECT_FALSE(editor.InTestRun());
  EXPECT_TRUE(editor.InTestMode());
  EXPECT_EQ(c().replaceLabel, u"Test String");
  EXPECT_FALSE(c().groupNextEnabled);

  c().expression = u"";  // shown as ".*", and the empty text has no match
  c().replace = u"";
  EXPECT_EQ(editor.StartButton().notice, Notice::kNoMatch);
  EXPECT_EQ(std::u16string(NoticeText(Notice::kNoMatch)), u"No match!");
}

TEST_F(Editor, RunStepsThroughMatchesAndGroups) {
  editor.TestButton();
  c().replace = u"quick QUICK";
  editor.StartButton();
  ASSERT_TRUE(editor.InTestRun());
  EXPECT_EQ(c().startButton, u"Stop");
  EXPECT_EQ(c().testButton, u"Prev");
  EXPECT_TRUE(c().expressionReadOnly);
  EXPECT_TRUE(c().replaceReadOnly);
  EXPECT_FALSE(c().optionBoxesEnabled);
  EXPECT_EQ(c().replaceLabel, u"Group 0 (entire pattern)");
  EXPECT_EQ(c().replaceSelection, (TextSelection{0, 5}));
  EXPECT_FALSE(c().groupPrevEnabled);
  EXPECT_TRUE(c().groupNextEnabled);
  EXPECT_EQ(settings.testString, u"quick QUICK");

  editor.NextGroup();
  EXPECT_EQ(c().replaceLabel, u"Group 1");
  EXPECT_EQ(c().replaceSelection, (TextSelection{0, 2}));
  editor.NextGroup();
  editor.NextGroup();  // stops at the capture count
  EXPECT_EQ(editor.Probe().groupIndex, 2);
  EXPECT_FALSE(c().groupNextEnabled);
  EXPECT_TRUE(c().groupPrevEnabled);

  editor.NextButton();  // the group stays
  EXPECT_EQ(c().replaceSelection, (TextSelection{8, 9}));
  EXPECT_EQ(c().replaceLabel, u"Group 2");
  editor.TestButton();  // "Prev"
  editor.TestButton();  // already at the first match
  EXPECT_EQ(editor.Probe().matchIndex, 0u);
  EXPECT_EQ(c().replaceSelection, (TextSelection{2, 3}));

  editor.PrevGroup();
  editor.PrevGroup();
  editor.PrevGroup();
  EXPECT_EQ(editor.Probe().groupIndex, 0);
  EXPECT_FALSE(c().groupPrevEnabled);
  EXPECT_EQ(c().replaceLabel, u"Group 0 (entire pattern)");

  editor.NextButton();
  editor.NextButton();  // past the last match: the run stops
  EXPECT_FALSE(editor.InTestRun());
  EXPECT_TRUE(editor.InTestMode());
  EXPECT_EQ(c().replaceSelection, (TextSelection{0, 0}));
  EXPECT_EQ(c().startButton, u"Start");
  EXPECT_EQ(c().testButton, u"<");
  EXPECT_FALSE(c().replaceReadOnly);
  EXPECT_TRUE(c().optionBoxesEnabled);
  EXPECT_FALSE(c().nextEnabled);
}

TEST_F(Editor, GroupCountWithoutCapturesDisablesGroupStepping) {
  c().expression = u"qu";
  editor.TestButton();
  c().replace = u"quick";
  editor.StartButton();
  ASSERT_TRUE(editor.InTestRun());
  EXPECT_FALSE(c().groupNextEnabled);
  editor.NextGroup();
  EXPECT_EQ(editor.Probe().groupIndex, 0);
}

TEST_F(Editor, SwitchingFieldsDuringARunEndsItAndRestoresTheReplaceText) {
  editor.TestButton();
  c().replace = u"quick";
  editor.StartButton();
  ASSERT_TRUE(editor.InTestRun());
  editor.SwitchField(1);
  EXPECT_FALSE(editor.InTestMode());
  EXPECT_FALSE(editor.InTestRun());
  EXPECT_EQ(settings.current.fields[0].replace, u"[$1]");
  EXPECT_TRUE(c().optionBoxesEnabled);
  EXPECT_TRUE(c().fieldDefaultsEnabled);
  EXPECT_TRUE(c().reloadFieldEnabled);
  EXPECT_FALSE(c().expressionReadOnly);
  EXPECT_EQ(c().replace, u"$0\\x20");  // field 2's
  EXPECT_EQ(settings.testString, u"quick");
}

TEST_F(Editor, PassThroughFlagListsEmptyMatches) {
  c().expression = u".*";
  c().flags = settings::flags::EmptyMatchesPassThrough;
  editor.TestButton();
  editor.StartButton();  // over the sample text
  EXPECT_EQ(editor.Probe().Matches().size(), 10u);
}

}  // namespace
}  // namespace qm::utility
