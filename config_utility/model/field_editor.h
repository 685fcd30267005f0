// The field editor and the expression test, without a window.
//
// EditorControls mirrors what the dialog shows: the texts of the expression,
// name and replace/test boxes, the checked type and flag boxes, captions,
// enabled and read-only states and the status line. The dialog copies user
// input into it before calling an operation and copies it back to the
// controls afterwards; each operation returns the EditorEffects that cannot
// be expressed as state (message boxes, focus, scrolling, refilling the
// field list).
//
// Divisions: controls and effects; FieldEditor (field list, show/store,
// checking, field defaults and reload, quick insert, the test-mode state
// machine).
//
// Test states: editing -> TestMode by ">"; TestMode -> TestRun by a
// successful "Start"; TestRun -> TestMode by "Stop" or "Next" past the last
// match; TestMode -> editing by "<", a field switch, a save or a close.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config_utility/model/expression_probe.h"
#include "config_utility/model/utility_settings.h"

namespace qm::utility {

// A selection as EM_SETSEL takes it; start -1 removes the selection.
struct TextSelection {
  int start = 0;
  int end = 0;
  bool operator==(const TextSelection& o) const { return start == o.start && end == o.end; }
};

struct EditorControls {
  std::u16string expression;          // box 1008
  TextSelection expressionSelection;
  std::u16string name;                // box 1012
  int type = 0;                       // checked type radio, -1..7 (its id minus 1015)
  std::uint32_t flags = 0;            // flag boxes 1024..1030 as bits 0..6
  bool caseSensitiveDefault = false;  // global box 1060; every check reads it
  std::u16string replace;             // box 1032: the replace string, or the test text
  TextSelection replaceSelection;

  std::u16string replaceLabel = u"Replace String";  // 1031
  std::u16string testButton = u">";                 // 1070: ">", "<" or "Prev"
  std::u16string startButton = u"Start";            // 1071: "Start" or "Stop"
  bool testButtonEnabled = true;                    // 1070
  bool startEnabled = false;                        // 1071
  bool nextEnabled = false;                         // 1072
  bool groupPrevEnabled = false;                    // 1073 "(-)"
  bool groupNextEnabled = false;                    // 1074 "(+)"
  bool fieldDefaultsEnabled = true;                 // 1083
  bool reloadFieldEnabled = true;                   // 1084
  bool optionBoxesEnabled = true;                   // 1024, 1025, 1026 and 1060
  bool expressionReadOnly = false;                  // 1008
  bool replaceReadOnly = false;                     // 1032

  ExpressionStatus status = ExpressionStatus::kOk;  // status line 1009 and its colour
  std::u16string statusText = u"Expression Status";
};

// Plain message boxes titled "QuarrymarkConfig" that an operation asks for.
enum class Notice { kNone, kIncorrectExpression, kNoMatch };
const char16_t* NoticeText(Notice notice);  // empty for kNone

struct EditorEffects {
  Notice notice = Notice::kNone;
  bool focusExpression = false;         // give 1008 the focus
  bool scrollExpressionCaret = false;   // scroll 1008's selection into view
  bool scrollReplaceSelection = false;  // scroll 1032's selection into view
  bool refillFieldList = false;         // names or the field count changed
};

// Status line colour: the system's button-text colour for OK, else RGB.
struct StatusColour {
  bool systemText = true;
  std::uint8_t red = 0, green = 0, blue = 0;
};
StatusColour ColourOfStatus(ExpressionStatus status);

struct QuickInsertPair {
  const char16_t* prefix;
  const char16_t* suffix;
};
// By button: 1005 "( ... )", 1006 ".* ... .*", 1007 "\Q...\E".
inline constexpr QuickInsertPair kQuickInsertPairs[3] = {
    {u"(", u")"}, {u".*", u".*"}, {u"\\Q", u"\\E"}};

// The field-list entry of field index (0-based): "-->" before active fields,
// then the name, or "PCRE-RegEx" and the field number when it has none.
std::u16string FieldListLabel(const SettingsBlock& block, int index);
std::vector<std::u16string> FieldListLabels(const SettingsBlock& block);

class FieldEditor {
 public:
  // Both must outlive the editor.
  FieldEditor(UtilitySettings* settings, const CodePageTables* tables);

  EditorControls controls;

  int CurrentField() const { return current_; }
  void SetCurrentField(int index) { current_ = index; }
  bool InTestMode() const { return testMode_; }
  bool InTestRun() const { return testRun_; }
  const ExpressionProbe& Probe() const { return probe_; }

  // Field-count list 1002: regexcount becomes index + 1.
  EditorEffects SelectFieldCount(int index);

  // Puts a slot (of the current block, or of the snapshot) into the editor.
  void ShowField(int index, bool fromSnapshot);
  // Puts the editor into slot index of the current block. An empty
  // expression is stored (and shown) as ".*"; a replace text of exactly
  // "$0\x20" is stored empty. True when the name changed.
  bool StoreEditor(int index);

  // Recomputes the status line. With jumpToError (a click on the status
  // line) a compile error selects the character at the error offset.
  EditorEffects CheckExpression(bool jumpToError = false);

  EditorEffects SwitchField(int index);  // selection change in the field list
  EditorEffects FieldDefaults();         // 1083
  EditorEffects ReloadField();           // 1084, from the snapshot
  EditorEffects QuickInsert(int which);  // 0..2, see kQuickInsertPairs

  // The test buttons, by what they do in the current state.
  EditorEffects TestButton();   // 1070: enter test mode, leave it, or previous match
  EditorEffects StartButton();  // 1071: start or stop a run
  EditorEffects NextButton();   // 1072
  EditorEffects PrevGroup();    // 1073
  EditorEffects NextGroup();    // 1074
  // Leaves test mode (ending a run): the test text goes into TestString and
  // the replace text saved on entering comes back. No-op outside test mode.
  void LeaveTestMode();

  // Closing the dialog: the probe is released, the field index, status and
  // test flags are reset.
  void Close();

 private:
  ProbeOptions OptionsFromControls() const;
  void StartRun(EditorEffects* effects);
  void StopRun();
  void SelectCurrentSpan(EditorEffects* effects);
  void UpdateGroupControls();

  UtilitySettings* settings_;
  const CodePageTables* tables_;
  ExpressionProbe probe_;
  int current_ = 0;
  bool testMode_ = false;
  bool testRun_ = false;
  std::u16string savedReplace_;
};

}  // namespace qm::utility
