// Global options, filter extensions, Outside In paths and the help pane.
#include "config_utility/model/dialog_options.h"

#include <algorithm>
#include <climits>

#include "config_utility/model/text.h"
#include "settings_format/settings_format.h"

namespace qm::utility {

// ---------------------------------------------------------------------------
// Global options
// ---------------------------------------------------------------------------
const std::vector<int> kFileMemoryItems = {5,  10, 15, 20, 25,  30,  40,  50, 60,
                                           70, 80, 90, 100, 200, 300, 400, 500};
const std::vector<int> kOnDemandLimitItems = {5,   10,  20,  30,  40,  50,  60,  70,  80,  90,
                                              100, 200, 300, 400, 500, 600, 700, 800, 900, 1000};
const std::vector<int> kGlobalFileSizeLimitItems = {5,   10,   40,   70,   100,  512,
                                                    768, 1024, 1280, 1536, 1792, 2048};
const std::vector<int> kRandomLengthItems = {1,  2,  3,  4,  5,  6,  7,  8,  16,
                                             24, 32, 48, 64, 80, 96, 112, 128};
const std::vector<int> kConverterTimeLimitItems = {0, 5, 10, 20, 30, 60, 120, 300, 600};
const std::vector<std::u16string> kAnalyzeBufferItems = {u"32k",  u"64k", u"128k", u"256k",
                                                         u"512k", u"1M",  u"2M",   u"4M"};
const std::vector<std::u16string> kResultCacheItems = {
    u"none",   u"8192",   u"16384",    u"32768",   u"65536",
    u"131072", u"262144", u"524288 *", kWidestResultCacheItem};
const std::vector<std::u16string> kRandomLoopsItems = {
    u"262144",  u"524288",   u"1048576",  u"2097152", u"4194304",
    u"8388608", u"16777216", u"33554432", u"67108864"};

namespace {

EditableCombo ComboOf(const std::vector<int>& values, int selected) {
  EditableCombo combo;
  for (const int v : values) combo.items.push_back(DecimalText(v));
  combo.Select(selected);
  return combo;
}

void ShowValue(std::int32_t value, EditableCombo* combo) {
  const std::u16string text = DecimalText(value);
  const auto found = std::find(combo->items.begin(), combo->items.end(), text);
  if (found != combo->items.end()) {
    combo->Select(static_cast<int>(found - combo->items.begin()));
  } else {
    combo->items.push_back(text);
    combo->Select(static_cast<int>(combo->items.size()) - 1);
  }
}

}  // namespace

void EditableCombo::Select(int index) {
  selected = index;
  text = index >= 0 && index < static_cast<int>(items.size()) ? items[index] : std::u16string();
}

GlobalOptionsView FilledOptionLists() {
  GlobalOptionsView view;
  view.fileMemory = ComboOf(kFileMemoryItems, 1);                    // "10"
  view.analyzeBufferIndex = 3;                                       // "256k"
  view.onDemandLimit = ComboOf(kOnDemandLimitItems, 5);              // "50"
  view.globalFileSizeLimit = ComboOf(kGlobalFileSizeLimitItems, 11);  // "2048"
  view.resultCacheIndex = 2;                                         // "16384"
  view.randomLength = ComboOf(kRandomLengthItems, 10);               // "32"
  view.converterTimeLimit = ComboOf(kConverterTimeLimitItems, 5);    // "60"
  view.randomLoopsIndex = 2;                                         // "1048576"
  view.fieldCountIndex = -1;
  return view;
}

std::vector<std::u16string> FieldCountItems() {
  std::vector<std::u16string> items;
  items.reserve(settings::kMaxFields);
  for (int n = 1; n <= settings::kMaxFields; ++n) items.push_back(DecimalText(n));
  return items;
}

namespace {

// Which setting each control of the options shows: one table read both ways.
struct CheckLink {
  bool GlobalOptionsView::*control;
  bool SettingsBlock::*setting;
};
constexpr CheckLink kCheckLinks[] = {
    {&GlobalOptionsView::modFieldName, &SettingsBlock::modFieldName},
    {&GlobalOptionsView::sortFields, &SettingsBlock::sortFields},
    {&GlobalOptionsView::regex1Extern, &SettingsBlock::regex1Extern},
    {&GlobalOptionsView::matchAllForErrors, &SettingsBlock::matchAllForErrors},
    {&GlobalOptionsView::logErrors, &SettingsBlock::logErrors},
    {&GlobalOptionsView::unicodeZerosValid, &SettingsBlock::unicodeZerosValid},
    {&GlobalOptionsView::normalSearchForFilterFail, &SettingsBlock::normalSearchForFilterFail},
    {&GlobalOptionsView::clearCacheOnReread, &SettingsBlock::clearCacheOnReread},
    {&GlobalOptionsView::oitUnknownFormatsAsText, &SettingsBlock::oitFulltextTreatUnknownFileFormatAsText},
};

// An editable box shows the value itself.
struct ComboLink {
  EditableCombo GlobalOptionsView::*control;
  std::int32_t SettingsBlock::*setting;
};
constexpr ComboLink kComboLinks[] = {
    {&GlobalOptionsView::fileMemory, &SettingsBlock::fileMemory},
    {&GlobalOptionsView::onDemandLimit, &SettingsBlock::onDemandLimit},
    {&GlobalOptionsView::globalFileSizeLimit, &SettingsBlock::globalFileSizeLimit},
    {&GlobalOptionsView::randomLength, &SettingsBlock::randomLength},
    {&GlobalOptionsView::converterTimeLimit, &SettingsBlock::converterTimeLimit},
};

// A plain list selects the item value - first: its first item stands for
// the setting's value first.
struct ListLink {
  int GlobalOptionsView::*control;
  std::int32_t SettingsBlock::*setting;
  int first;
};
constexpr ListLink kListLinks[] = {
    {&GlobalOptionsView::analyzeBufferIndex, &SettingsBlock::analyzeBuffer, 1},
    {&GlobalOptionsView::resultCacheIndex, &SettingsBlock::resultCache, 0},
    {&GlobalOptionsView::randomLoopsIndex, &SettingsBlock::randomLoops, 1},
};

}  // namespace

void ShowGlobalOptions(const SettingsBlock& b, GlobalOptionsView* v) {
  for (const CheckLink& link : kCheckLinks) v->*link.control = b.*link.setting;
  for (const ComboLink& link : kComboLinks) ShowValue(b.*link.setting, &(v->*link.control));
  for (const ListLink& link : kListLinks) v->*link.control = b.*link.setting - link.first;
  v->fieldCountIndex = b.regexCount - 1;
}

void ReadGlobalOptions(const GlobalOptionsView& v, SettingsBlock* b) {
  for (const CheckLink& link : kCheckLinks) b->*link.setting = v.*link.control;
  for (const ComboLink& link : kComboLinks) b->*link.setting = ReadDecimalText((v.*link.control).text);
  for (const ListLink& link : kListLinks) b->*link.setting = v.*link.control + link.first;
  b->regexCount = static_cast<std::int16_t>(std::clamp(v.fieldCountIndex + 1, 1, settings::kMaxFields));
}

std::int32_t ReadDecimalText(const std::u16string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  long long value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = std::min(value * 10 + (text[i] - u'0'), static_cast<long long>(INT_MAX) + 1);
  }
  if (negative) value = -value;
  return static_cast<std::int32_t>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// ---------------------------------------------------------------------------
// FilterEditor
// ---------------------------------------------------------------------------
namespace {
constexpr std::uint32_t kOutsideIn = static_cast<std::uint32_t>(settings::FilterKind::OutsideIn);
constexpr std::uint32_t kConverter = static_cast<std::uint32_t>(settings::FilterKind::Converter);
}  // namespace

void FilterEditor::Refill() {
  items.clear();
  for (const auto& entry : *filters_) items.push_back(entry.first);
  text.clear();  // emptying the combo box also empties its edit field
  xdocChecked = true;
  oitChecked = false;
  iFilterChecked = false;
  iFilterEnabled = false;
  xdocEnabled = false;
  oitEnabled = false;
}

void FilterEditor::SelectItem(int index) {
  if (index < 0 || index >= static_cast<int>(items.size())) return;
  text = items[index];
  EditChanged();
}

void FilterEditor::EditChanged() {
  if (text.empty()) {
    addEnabled = removeEnabled = iFilterEnabled = xdocEnabled = oitEnabled = false;
    xdocChecked = true;
    oitChecked = false;
    iFilterChecked = false;
    return;
  }
  xdocEnabled = oitEnabled = true;
  const auto found = filters_->find(text);
  if (found == filters_->end()) {
    addEnabled = true;
    removeEnabled = false;
    xdocChecked = true;
    oitChecked = false;
    iFilterChecked = false;
    iFilterEnabled = true;
    return;
  }
  addEnabled = false;
  removeEnabled = true;
  oitChecked = found->second.kind == kOutsideIn;
  xdocChecked = !oitChecked;
  iFilterChecked = !found->second.option.empty();
  iFilterEnabled = found->second.kind != kOutsideIn;
}

FilterEntry FilterEditor::Choice() const {
  FilterEntry entry;
  if (xdocChecked) {
    entry.kind = kConverter;
    if (iFilterChecked) entry.option = Widen(settings::kFilterOptionSuffix);
  } else {
    entry.kind = kOutsideIn;
  }
  return entry;
}

void FilterEditor::ClickXdoc() {
  xdocChecked = true;
  oitChecked = false;
  ApplyKindClick();
}

void FilterEditor::ClickOit() {
  oitChecked = true;
  xdocChecked = false;
  ApplyKindClick();
}

void FilterEditor::ClickIFilter() {
  iFilterChecked = !iFilterChecked;
  ApplyKindClick();
}

void FilterEditor::ApplyKindClick() {
  if (!xdocChecked) iFilterChecked = false;
  iFilterEnabled = xdocChecked;
  const auto found = filters_->find(text);
  if (found != filters_->end()) found->second = Choice();
}

void FilterEditor::Add() {
  if (text.empty()) return;
  if (filters_->find(text) == filters_->end()) (*filters_)[text] = Choice();
  addEnabled = removeEnabled = false;
  Refill();
}

void FilterEditor::Remove() {
  if (text.empty()) return;
  filters_->erase(text);
  addEnabled = removeEnabled = false;
  Refill();
}

// ---------------------------------------------------------------------------
// OutsideInPathGroup
// ---------------------------------------------------------------------------
std::u16string* OutsideInPathGroup::StringOf(int radio) {
  switch (radio) {
    case kDllPath64: return &block_->oitDllPath64;
    case kFulltextExclude: return &block_->oitFulltextExclude;
    default: return &block_->oitDllPath32;
  }
}

void OutsideInPathGroup::Reset() {
  active = kDllPath32;
  text = block_->oitDllPath32;
  browseEnabled = true;
}

void OutsideInPathGroup::Select(int radio) {
  *StringOf(active) = text;
  text = *StringOf(radio);
  active = radio;
  browseEnabled = radio != kFulltextExclude;
}

void OutsideInPathGroup::StoreActive() { *StringOf(active) = text; }

const char16_t* OutsideInPathGroup::BrowseTitle() const {
  return active == kDllPath32 ? u"Choose 32-bit DLL path" : u"Choose x64 DLL path";
}

// ---------------------------------------------------------------------------
// HelpPane
// ---------------------------------------------------------------------------
namespace {
constexpr char16_t kRegexOpen[] = u"RegEx Help<", kRegexClosed[] = u"RegEx Help>";
constexpr char16_t kReplaceOpen[] = u"Replace Help<", kReplaceClosed[] = u"Replace Help>";

HelpPaneChange Widened(HelpText text) {
  HelpPaneChange c;
  c.resize = PaneResize::kWiden;
  c.show = text;
  c.setPaneEnabled = true;
  c.paneEnabled = true;
  return c;
}

HelpPaneChange Narrowed() {
  HelpPaneChange c;
  c.resize = PaneResize::kNarrow;
  c.setPaneEnabled = true;
  c.paneEnabled = false;  // the text stays in place
  return c;
}
}  // namespace

HelpPaneChange HelpPane::ClickRegexHelp() {
  HelpPaneChange c;
  switch (state) {
    case HelpPaneState::kNone:
      c = Widened(HelpText::kRegex);
      regexButton = kRegexOpen;
      state = HelpPaneState::kRegex;
      break;
    case HelpPaneState::kRegex:
      c = Narrowed();
      regexButton = kRegexClosed;
      state = HelpPaneState::kNone;
      break;
    case HelpPaneState::kReplace:
      c.show = HelpText::kRegex;
      regexButton = kRegexOpen;
      replaceButton = kReplaceClosed;
      state = HelpPaneState::kRegex;
      break;
  }
  return c;
}

HelpPaneChange HelpPane::ClickReplaceHelp() {
  HelpPaneChange c;
  switch (state) {
    case HelpPaneState::kNone:
      c = Widened(HelpText::kReplace);
      replaceButton = kReplaceOpen;
      state = HelpPaneState::kReplace;
      break;
    case HelpPaneState::kRegex:
      c.show = HelpText::kReplace;
      replaceButton = kReplaceOpen;
      regexButton = kRegexClosed;
      state = HelpPaneState::kReplace;
      break;
    case HelpPaneState::kReplace:
      c = Narrowed();
      replaceButton = kReplaceClosed;
      state = HelpPaneState::kNone;
      break;
  }
  return c;
}

}  // namespace qm::utility
