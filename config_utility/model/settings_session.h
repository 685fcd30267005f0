// One settings dialog, without its window: the loaded settings and every
// editor of the dialog, with the opening, OK, Apply, Cancel and "Reload INI"
// procedures. The Win32 dialog owns one SettingsSession per dialog and only
// copies control states in and out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "config_utility/model/dialog_options.h"
#include "config_utility/model/expression_probe.h"
#include "config_utility/model/field_editor.h"
#include "config_utility/model/utility_settings.h"

namespace qm::utility {

inline constexpr char16_t kMessageTitle[] = u"QuarrymarkConfig";
inline constexpr char16_t kLoadFailedMessage[] =
    u"Could not load the INI file!\n(neither \"Quarrymark.ini\" nor \"Quarrymark.Sample.ini\")";
inline constexpr char16_t kSaveFailedMessage[] =
    u"Could not save to the INI file!\nCheck write protection and access rights!";

// The message for a failed OK or Apply: kSaveFailedMessage, or, when the
// loaded file may not be written at all, the reason naming its line.
std::u16string SaveFailedText(const UtilitySettings& settings);

// What outlives one dialog of a run ("Reload INI" opens a fresh one).
struct UtilityRun {
  int dialogsOpened = 0;
  HelpPaneState lastHelpPane = HelpPaneState::kNone;  // of the last closed dialog
  std::int32_t rememberedX = settings::kNoStoredPosition;  // where the last dialog closed
  std::int32_t rememberedY = settings::kNoStoredPosition;
  bool HasRememberedPosition() const {
    return rememberedX != settings::kNoStoredPosition || rememberedY != settings::kNoStoredPosition;
  }
};

// End codes of the dialog.
enum class DialogEnd : int { kClosed = 0, kLoadFailed = 1, kReloadIni = 99 };

class SettingsSession {
 public:
  // Both must outlive the session.
  SettingsSession(UtilityRun* run, const CodePageTables* tables);
  SettingsSession(const SettingsSession&) = delete;
  SettingsSession& operator=(const SettingsSession&) = delete;

  UtilitySettings settings;
  FieldEditor editor;
  GlobalOptionsView options;
  FilterEditor filters;
  OutsideInPathGroup oitPaths;
  HelpPane help;
  // The help pane opened by Open(): the first dialog of a run opens the
  // stored pane, a later one the replace help when the previous dialog had
  // a pane open.
  HelpPaneChange initialHelp;

  // Loads the file and fills every editor as the opening dialog does. False
  // when the file cannot be loaded (the dialog shows kLoadFailedMessage and
  // ends with kLoadFailed).
  bool Open(const std::u16string& path, const FontFaceCheck& fontExists = nullptr);
  // Opens samplePath as Open does, but OK and Apply write to savePath (a
  // file that does not exist yet, or one that cannot be written). Cancel
  // then writes nothing at all, so that no file is made without OK or Apply.
  bool OpenFromSample(const std::u16string& samplePath, const std::u16string& savePath,
                      const FontFaceCheck& fontExists = nullptr);
  // Whether OK and Apply write somewhere else than the file that was read.
  bool StartedFromSample() const { return fromSample_; }

  // The window's top-left, saved as CoordX/CoordY and remembered for the
  // next dialog of the run. Without it the loaded position is kept.
  void SetWindowPosition(std::int32_t x, std::int32_t y);

  // Apply: stores everything and writes the file; on success the snapshot
  // becomes the current block. The status is re-checked either way. False
  // when writing failed (show SaveFailedText; the dialog stays open).
  bool Apply();
  // OK: as Apply without the snapshot; on success the dialog closes
  // (Close(kClosed) has been done). False when writing failed.
  bool Ok();
  // Cancel: leaves test mode, writes only the [QuarrymarkConfig] keys when
  // they changed (a failure is ignored) and closes.
  DialogEnd Cancel();
  // Reload INI: closes without writing anything; the run opens a new dialog.
  DialogEnd ReloadIni();

  // Whether the field list must be rebuilt after the last OK/Apply.
  bool fieldListChanged = false;

 private:
  bool StoreAndWrite();
  void PutDialogState();
  void Close();

  UtilityRun* run_;
  bool fromSample_ = false;
  std::optional<std::pair<std::int32_t, std::int32_t>> windowPosition_;
};

}  // namespace qm::utility
