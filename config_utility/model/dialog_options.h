// The settings dialog's other editors, without a window: the global-option
// controls and their item lists, the filter-extension editor, the Outside In
// path group and the help-pane toggle.
//
// Like EditorControls, each view mirrors the states of its controls; the
// dialog copies user input in, calls the operation and copies the view out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config_utility/model/settings_block.h"
#include "config_utility/model/utility_settings.h"

namespace qm::utility {

// ---------------------------------------------------------------------------
// Global options
// ---------------------------------------------------------------------------

// Values offered by the editable boxes, and the texts of the plain lists
// (the stored value is the item index, plus one where noted).
extern const std::vector<int> kFileMemoryItems;           // 1035
extern const std::vector<int> kOnDemandLimitItems;        // 1040
extern const std::vector<int> kGlobalFileSizeLimitItems;  // 1042
extern const std::vector<int> kRandomLengthItems;         // 1049
extern const std::vector<int> kConverterTimeLimitItems;   // 1090, seconds (0: no limit)
extern const std::vector<std::u16string> kAnalyzeBufferItems;  // 1037, value = index + 1
extern const std::vector<std::u16string> kResultCacheItems;    // 1044, value = index
extern const std::vector<std::u16string> kRandomLoopsItems;    // 1051, value = index + 1
inline constexpr char16_t kWidestResultCacheItem[] = u"1048576 *";  // measured for 1044's width

// An editable drop-down: its items, the selected one (-1: none) and the
// window text (the selected item's, or what the user typed).
struct EditableCombo {
  std::vector<std::u16string> items;
  int selected = -1;
  std::u16string text;

  void Select(int index);
};

struct GlobalOptionsView {
  // Check boxes. ("Case sensitive default", 1060, lives in EditorControls
  // because every expression check reads it.)
  bool modFieldName = false;               // 1053
  bool sortFields = false;                 // 1054
  bool regex1Extern = false;               // 1055
  bool matchAllForErrors = false;          // 1056
  bool logErrors = false;                  // 1057
  bool unicodeZerosValid = false;          // 1058
  bool normalSearchForFilterFail = false;  // 1059
  bool clearCacheOnReread = false;         // 1045
  bool oitUnknownFormatsAsText = false;    // 1068

  EditableCombo fileMemory;           // 1035
  EditableCombo onDemandLimit;        // 1040
  EditableCombo globalFileSizeLimit;  // 1042
  EditableCombo randomLength;         // 1049
  EditableCombo converterTimeLimit;   // 1090
  int analyzeBufferIndex = -1;        // 1037
  int resultCacheIndex = -1;          // 1044
  int randomLoopsIndex = -1;          // 1051
  int fieldCountIndex = -1;           // 1002 (items "1".."999")
};

// The lists as filled when the dialog opens, with their fill-time selections.
GlobalOptionsView FilledOptionLists();
// Items "1" to "999" of the field-count list.
std::vector<std::u16string> FieldCountItems();

// Shows a block: checks from the booleans, list selections from the values;
// an editable box selects the item equal to its value, or appends the value
// as a new last item and selects that.
void ShowGlobalOptions(const SettingsBlock& block, GlobalOptionsView* view);
// Reads the controls back: an editable box's text is read as a decimal
// integer (typed text without leading digits gives 0), not range-checked.
void ReadGlobalOptions(const GlobalOptionsView& view, SettingsBlock* block);

// Decimal reading of an edit text as the dialog does it: leading blanks, an
// optional sign, digits up to the first other character; 0 without digits.
std::int32_t ReadDecimalText(const std::u16string& text);

// ---------------------------------------------------------------------------
// Filter extensions (controls 1076-1081)
// ---------------------------------------------------------------------------
class FilterEditor {
 public:
  explicit FilterEditor(FilterMap* filters) : filters_(filters) {}

  std::vector<std::u16string> items;  // 1076's list, the map keys in order
  std::u16string text;                // 1076's edit text
  bool xdocChecked = true;            // 1077 "xdoc2txt"
  bool oitChecked = false;            // 1078 "Oracle OiT Content Access"
  bool iFilterChecked = false;        // 1079 "iFilter"
  bool addEnabled = false;            // 1080 "+"
  bool removeEnabled = false;         // 1081 "-"
  bool iFilterEnabled = false;
  bool xdocEnabled = false;
  bool oitEnabled = false;

  // Rebuilds the list from the map and resets the choice.
  void Refill();
  // The entry for the edit text (after typing) or for list item (selection
  // change, which also puts the item into the edit text).
  void EditChanged();
  void SelectItem(int index);
  // Clicks on the kind controls: the dialog's own check toggling is
  // included, then the entry of the edit text takes the new choice.
  void ClickXdoc();
  void ClickOit();
  void ClickIFilter();
  // "+" inserts the edit text with the current choice when it is new; "-"
  // erases it. Both refill the list; the dialog then focuses 1076.
  void Add();
  void Remove();

  // The entry the kind controls describe.
  FilterEntry Choice() const;

 private:
  void ApplyKindClick();
  FilterMap* filters_;
};

// ---------------------------------------------------------------------------
// Outside In paths (controls 1063-1068)
// ---------------------------------------------------------------------------
class OutsideInPathGroup {
 public:
  enum Radio { kDllPath32 = 0, kDllPath64 = 1, kFulltextExclude = 2 };

  explicit OutsideInPathGroup(SettingsBlock* block) : block_(block) {}

  int active = kDllPath32;  // the checked radio
  std::u16string text;      // 1066
  bool browseEnabled = true;  // 1067 "..\"

  // Dialog opening: the 32-bit radio, its path in the edit field.
  void Reset();
  // A radio click: the edit text goes into the previously active string,
  // the clicked radio's string comes into the edit field.
  void Select(int radio);
  // OK/Apply: the edit text goes into the active radio's string.
  void StoreActive();
  // Title of the folder picker for the checked radio.
  const char16_t* BrowseTitle() const;

 private:
  std::u16string* StringOf(int radio);
  SettingsBlock* block_;
};

// ---------------------------------------------------------------------------
// Help pane (buttons 1086, 1087; pane 1088)
// ---------------------------------------------------------------------------
enum class PaneResize { kNone, kWiden, kNarrow };  // by the pane width, height unchanged
enum class HelpText { kNone, kRegex, kReplace };   // which text to put into 1088

struct HelpPaneChange {
  PaneResize resize = PaneResize::kNone;
  HelpText show = HelpText::kNone;
  bool setPaneEnabled = false;  // when true, 1088 becomes paneEnabled
  bool paneEnabled = false;
};

class HelpPane {
 public:
  HelpPaneState state = HelpPaneState::kNone;
  std::u16string regexButton = u"RegEx Help>";      // 1086
  std::u16string replaceButton = u"Replace Help>";  // 1087

  HelpPaneChange ClickRegexHelp();
  HelpPaneChange ClickReplaceHelp();
};

}  // namespace qm::utility
