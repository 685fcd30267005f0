// The field editor and the expression test state machine.
#include "config_utility/model/field_editor.h"

#include <algorithm>

#include "config_utility/model/sample_text.h"
#include "config_utility/model/text.h"
#include "settings_format/settings_format.h"

namespace qm::utility {
namespace {

constexpr char16_t kActiveMark[] = u"-->";
constexpr char16_t kUnnamedLabel[] = u"PCRE-RegEx";
constexpr char16_t kReplaceLabel[] = u"Replace String";
constexpr char16_t kTestLabel[] = u"Test String";

int ShownType(int type) {
  return type >= settings::kMinStoredType && type <= settings::kMaxUtilityType ? type : 0;
}

}  // namespace

const char16_t* NoticeText(Notice notice) {
  switch (notice) {
    case Notice::kIncorrectExpression: return u"Incorrect Expression!";
    case Notice::kNoMatch: return u"No match!";
    case Notice::kNone: break;
  }
  return u"";
}

StatusColour ColourOfStatus(ExpressionStatus status) {
  StatusColour c;
  if (status == ExpressionStatus::kError) {
    c.systemText = false;
    c.red = 255;
  } else if (status == ExpressionStatus::kWarning) {
    c.systemText = false;
    c.blue = 255;
  }
  return c;
}

std::u16string FieldListLabel(const SettingsBlock& block, int index) {
  const int number = index + 1;
  std::u16string label = number <= block.regexCount ? kActiveMark : u"";
  const std::u16string& name = block.fields[index].name;
  label += name.empty() ? kUnnamedLabel + DecimalText(number) : name;
  return label;
}

std::vector<std::u16string> FieldListLabels(const SettingsBlock& block) {
  std::vector<std::u16string> labels;
  labels.reserve(block.fields.size());
  for (int i = 0; i < static_cast<int>(block.fields.size()); ++i) {
    labels.push_back(FieldListLabel(block, i));
  }
  return labels;
}

FieldEditor::FieldEditor(UtilitySettings* settings, const CodePageTables* tables)
    : settings_(settings), tables_(tables), probe_(tables) {}

EditorEffects FieldEditor::SelectFieldCount(int index) {
  EditorEffects effects;
  settings_->current.regexCount =
      static_cast<std::int16_t>(std::clamp(index + 1, 1, settings::kMaxFields));
  effects.refillFieldList = true;
  return effects;
}

// ---------------------------------------------------------------------------
// Show and store
// ---------------------------------------------------------------------------
void FieldEditor::ShowField(int index, bool fromSnapshot) {
  const SettingsBlock& block = fromSnapshot ? settings_->snapshot : settings_->current;
  const FieldSlot& slot = block.fields[index];
  controls.expression = slot.expression.empty() ? std::u16string(kMatchAllText) : slot.expression;
  controls.replace = slot.replace.empty() ? std::u16string(kDefaultReplaceText) : slot.replace;
  controls.name = slot.name;
  controls.type = ShownType(slot.type);
  controls.flags = slot.flags & settings::flags::kAll;
}

bool FieldEditor::StoreEditor(int index) {
  FieldSlot& slot = settings_->current.fields[index];
  if (controls.expression.empty()) controls.expression = kMatchAllText;
  slot.expression = controls.expression;
  slot.replace = controls.replace == kDefaultReplaceText ? std::u16string() : controls.replace;
  const bool nameChanged = controls.name != slot.name;
  slot.name = controls.name;
  slot.type = ShownType(controls.type);
  slot.flags = controls.flags & settings::flags::kAll;
  return nameChanged;
}

// ---------------------------------------------------------------------------
// Checking
// ---------------------------------------------------------------------------
ProbeOptions FieldEditor::OptionsFromControls() const {
  return OptionsForField(controls.flags, controls.caseSensitiveDefault, *tables_);
}

EditorEffects FieldEditor::CheckExpression(bool jumpToError) {
  EditorEffects effects;
  const ExpressionCheck check =
      utility::CheckExpression(controls.expression, OptionsFromControls(), *tables_);
  controls.status = check.status;
  controls.statusText = check.text;
  if (jumpToError && check.status == ExpressionStatus::kError && !controls.expression.empty()) {
    const int last = static_cast<int>(controls.expression.size()) - 1;
    const int at = std::min(check.errorOffset, last);
    controls.expressionSelection = {at, at + 1};
    effects.focusExpression = true;
    effects.scrollExpressionCaret = true;
  }
  return effects;
}

// ---------------------------------------------------------------------------
// Field commands
// ---------------------------------------------------------------------------
EditorEffects FieldEditor::SwitchField(int index) {
  LeaveTestMode();
  const bool refill = StoreEditor(current_);
  current_ = index;
  ShowField(index, false);
  EditorEffects effects = CheckExpression();
  effects.refillFieldList = refill;
  return effects;
}

EditorEffects FieldEditor::FieldDefaults() {
  controls.expression = kMatchAllText;
  controls.replace = kDefaultReplaceText;
  controls.name.clear();
  controls.type = static_cast<int>(settings::FieldType::Boolean);
  controls.flags = 0;
  const bool refill = StoreEditor(current_);
  EditorEffects effects = CheckExpression();
  effects.refillFieldList = refill;
  return effects;
}

EditorEffects FieldEditor::ReloadField() {
  ShowField(current_, true);
  const bool refill = StoreEditor(current_);
  EditorEffects effects = CheckExpression();
  effects.refillFieldList = refill;
  return effects;
}

EditorEffects FieldEditor::QuickInsert(int which) {
  const QuickInsertPair& pair = kQuickInsertPairs[std::clamp(which, 0, 2)];
  const std::u16string prefix = pair.prefix;
  const std::u16string suffix = pair.suffix;
  const std::u16string& text = controls.expression;
  const int length = static_cast<int>(text.size());
  int a = std::clamp(controls.expressionSelection.start, 0, length);
  int b = std::clamp(controls.expressionSelection.end, 0, length);
  if (controls.expressionSelection.start < 0) a = b = length;  // no selection at all
  if (a > b) std::swap(a, b);

  std::u16string result;
  int caret;
  if (a == b) {
    result = prefix + text + suffix;  // the whole expression, wherever the caret was
    caret = static_cast<int>(result.size());
  } else {
    result = text.substr(0, a) + prefix + text.substr(a, b - a) + suffix + text.substr(b);
    caret = b + static_cast<int>(prefix.size() + suffix.size());
  }
  controls.expression = std::move(result);
  controls.expressionSelection = {caret, caret};
  EditorEffects effects = CheckExpression();
  effects.focusExpression = true;
  effects.scrollExpressionCaret = true;
  return effects;
}

// ---------------------------------------------------------------------------
// Expression test
// ---------------------------------------------------------------------------
EditorEffects FieldEditor::TestButton() {
  EditorEffects effects;
  if (testRun_) {  // "Prev"
    if (probe_.matchIndex > 0) --probe_.matchIndex;
    SelectCurrentSpan(&effects);
  } else if (testMode_) {  // "<"
    LeaveTestMode();
  } else {  // ">"
    savedReplace_ = controls.replace;
    testMode_ = true;
    controls.startEnabled = true;
    controls.nextEnabled = false;
    controls.groupPrevEnabled = false;
    controls.groupNextEnabled = false;
    controls.fieldDefaultsEnabled = false;
    controls.reloadFieldEnabled = false;
    controls.testButton = u"<";
    controls.replaceLabel = kTestLabel;
    controls.replace = settings_->testString.empty() ? std::u16string(kSampleTestText)
                                                     : settings_->testString;
  }
  return effects;
}

EditorEffects FieldEditor::StartButton() {
  EditorEffects effects;
  if (testRun_) {  // "Stop"
    StopRun();
    return effects;
  }
  if (!testMode_) return effects;  // the button is disabled outside test mode
  effects = CheckExpression();
  if (controls.status == ExpressionStatus::kError) {
    effects.notice = Notice::kIncorrectExpression;
    return effects;
  }
  settings_->testString = controls.replace;
  controls.groupPrevEnabled = true;
  controls.groupNextEnabled = true;
  StartRun(&effects);
  return effects;
}

void FieldEditor::StartRun(EditorEffects* effects) {
  probe_.Release();
  probe_.options = OptionsFromControls();
  probe_.Compile(controls.expression.empty() ? std::u16string_view(kMatchAllText)
                                             : std::u16string_view(controls.expression));
  controls.replaceLabel = u"Group 0 (entire pattern)";
  controls.groupPrevEnabled = false;
  if (probe_.CaptureCount() < 1) controls.groupNextEnabled = false;
  probe_.Search(settings_->testString);

  if (probe_.Matches().empty()) {
    controls.replaceSelection = {0, 0};
    effects->scrollReplaceSelection = true;
    controls.replaceLabel = kTestLabel;
    controls.groupPrevEnabled = false;
    controls.groupNextEnabled = false;
    effects->notice = Notice::kNoMatch;
    return;
  }
  SelectCurrentSpan(effects);
  testRun_ = true;
  controls.startButton = u"Stop";
  controls.testButton = u"Prev";
  controls.expressionReadOnly = true;
  controls.replaceReadOnly = true;
  controls.nextEnabled = true;
  controls.optionBoxesEnabled = false;
}

void FieldEditor::StopRun() {
  controls.startButton = u"Start";
  testRun_ = false;
  controls.testButton = u"<";
  controls.expressionReadOnly = false;
  controls.replaceReadOnly = false;
  controls.replaceLabel = kTestLabel;
  controls.testButtonEnabled = true;
  controls.nextEnabled = false;
  controls.groupPrevEnabled = false;
  controls.groupNextEnabled = false;
  controls.optionBoxesEnabled = true;
}

EditorEffects FieldEditor::NextButton() {
  EditorEffects effects;
  if (!testRun_) return effects;
  if (probe_.matchIndex + 1 >= probe_.Matches().size()) {
    controls.replaceSelection = {0, 0};
    effects.scrollReplaceSelection = true;
    StopRun();
    return effects;
  }
  ++probe_.matchIndex;
  SelectCurrentSpan(&effects);
  return effects;
}

EditorEffects FieldEditor::PrevGroup() {
  EditorEffects effects;
  if (!testRun_) return effects;
  if (probe_.groupIndex > 0) --probe_.groupIndex;
  UpdateGroupControls();
  SelectCurrentSpan(&effects);
  return effects;
}

EditorEffects FieldEditor::NextGroup() {
  EditorEffects effects;
  if (!testRun_) return effects;
  if (probe_.groupIndex < probe_.CaptureCount() && probe_.groupIndex < kMaxGroupIndex) {
    ++probe_.groupIndex;
  }
  UpdateGroupControls();
  SelectCurrentSpan(&effects);
  return effects;
}

void FieldEditor::UpdateGroupControls() {
  const int g = probe_.groupIndex;
  controls.groupPrevEnabled = g > 0;
  controls.groupNextEnabled = g < probe_.CaptureCount();
  controls.replaceLabel = u"Group " + DecimalText(g) + (g == 0 ? u" (entire pattern)" : u"");
}

void FieldEditor::SelectCurrentSpan(EditorEffects* effects) {
  const MatchRecord& match = probe_.Matches()[probe_.matchIndex];
  const int g = probe_.groupIndex;
  controls.replaceSelection = {match[2 * g], match[2 * g + 1]};
  if (match[2 * g] != match[2 * g + 1]) effects->scrollReplaceSelection = true;
}

void FieldEditor::LeaveTestMode() {
  if (!testMode_) return;
  if (testRun_) StopRun();
  settings_->testString = controls.replace;
  testMode_ = false;
  controls.startEnabled = false;
  controls.nextEnabled = false;
  controls.groupPrevEnabled = false;
  controls.groupNextEnabled = false;
  controls.fieldDefaultsEnabled = true;
  controls.reloadFieldEnabled = true;
  controls.testButton = u">";
  controls.replaceLabel = kReplaceLabel;
  controls.replace = savedReplace_;
}

void FieldEditor::Close() {
  savedReplace_.clear();
  probe_.Release();
  current_ = 0;
  controls.status = ExpressionStatus::kOk;
  testMode_ = false;
  testRun_ = false;
}

}  // namespace qm::utility
