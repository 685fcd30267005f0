// The dialog's procedures over the model.
#include "config_utility/model/settings_session.h"

#include "config_utility/model/text.h"

namespace qm::utility {

SettingsSession::SettingsSession(UtilityRun* run, const CodePageTables* tables)
    : editor(&settings, tables),
      options(FilledOptionLists()),
      filters(&settings.current.filters),
      oitPaths(&settings.current),
      run_(run) {}

std::u16string SaveFailedText(const UtilitySettings& settings) {
  const std::string refusal = SaveRefusal(settings);
  if (refusal.empty()) return kSaveFailedMessage;
  return u"Could not save to the INI file!\n" + FromUtf8(refusal);
}

bool SettingsSession::Open(const std::u16string& path, const FontFaceCheck& fontExists) {
  if (!LoadSettings(path, &settings, fontExists)) return false;

  editor.SetCurrentField(settings.lastField);
  editor.ShowField(settings.lastField, false);
  ShowGlobalOptions(settings.current, &options);
  editor.controls.caseSensitiveDefault = settings.current.caseSensitiveDefault;
  filters.Refill();
  oitPaths.Reset();

  HelpPaneState open = settings.helpW;
  if (run_->dialogsOpened > 0) {
    open = run_->lastHelpPane != HelpPaneState::kNone ? HelpPaneState::kReplace
                                                      : HelpPaneState::kNone;
  }
  help = HelpPane();
  if (open == HelpPaneState::kRegex) initialHelp = help.ClickRegexHelp();
  if (open == HelpPaneState::kReplace) initialHelp = help.ClickReplaceHelp();

  editor.CheckExpression();
  ++run_->dialogsOpened;
  return true;
}

bool SettingsSession::OpenFromSample(const std::u16string& samplePath,
                                     const std::u16string& savePath,
                                     const FontFaceCheck& fontExists) {
  if (savePath.empty() || !Open(samplePath, fontExists)) return false;
  settings.path = savePath;
  fromSample_ = true;
  return true;
}

void SettingsSession::SetWindowPosition(std::int32_t x, std::int32_t y) {
  windowPosition_ = std::make_pair(x, y);
}

void SettingsSession::PutDialogState() {
  settings.lastField = editor.CurrentField();
  if (windowPosition_) {
    settings.coordX = windowPosition_->first;
    settings.coordY = windowPosition_->second;
  }
  settings.helpW = help.state;
}

bool SettingsSession::StoreAndWrite() {
  editor.LeaveTestMode();
  fieldListChanged = editor.StoreEditor(editor.CurrentField());
  ReadGlobalOptions(options, &settings.current);
  settings.current.caseSensitiveDefault = editor.controls.caseSensitiveDefault;
  oitPaths.StoreActive();
  PutDialogState();
  return SaveSettings(&settings, false);
}

bool SettingsSession::Apply() {
  const bool written = StoreAndWrite();
  if (written) {
    settings.snapshot = settings.current;
    fromSample_ = false;  // the new file exists now: later Cancels keep their own state
  }
  editor.CheckExpression();
  return written;
}

bool SettingsSession::Ok() {
  if (!StoreAndWrite()) return false;
  Close();
  return true;
}

DialogEnd SettingsSession::Cancel() {
  editor.LeaveTestMode();
  PutDialogState();
  if (!fromSample_) SaveSettings(&settings, true);  // the outcome is not reported
  Close();
  return DialogEnd::kClosed;
}

DialogEnd SettingsSession::ReloadIni() {
  Close();
  return DialogEnd::kReloadIni;
}

void SettingsSession::Close() {
  editor.LeaveTestMode();
  editor.Close();
  run_->lastHelpPane = help.state;
  if (windowPosition_) {
    run_->rememberedX = windowPosition_->first;
    run_->rememberedY = windowPosition_->second;
  }
}

}  // namespace qm::utility
