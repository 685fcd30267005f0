// The settings dialog's window: a thin layer over SettingsSession.
//
// Divisions: SettingsDialog (the trampoline procedure, opening, commands,
// the copies between controls and the model, geometry and fonts);
// RunUtility (the program: code pages, tables, the dialog run that "Reload
// INI" repeats).
//
// Every handler copies the states of the controls it concerns into the
// model, calls one model operation and copies the model's view back; no
// settings logic lives here. The procedure catches every exception, so none
// crosses the Win32 callback.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "config_utility/model/expression_probe.h"
#include "config_utility/model/session_front.h"
#include "config_utility/model/settings_session.h"

namespace qm::utility::win32 {

class SettingsDialog : public SessionFront {
 public:
  // run and tables must outlive the dialog. settingsPath is the file to
  // load (empty: loading fails as with a missing file).
  SettingsDialog(UtilityRun* run, const CodePageTables* tables, std::u16string settingsPath);
  ~SettingsDialog();
  SettingsDialog(const SettingsDialog&) = delete;
  SettingsDialog& operator=(const SettingsDialog&) = delete;

  // Runs the dialog modally; the result is its end code (0, 1, 99), or -1
  // when the dialog could not be created.
  INT_PTR RunModal(HINSTANCE instance);
  // Creates it modeless (tests drive it with messages). The window is null
  // when creation failed; Ended() tells whether the dialog has ended (then
  // its window is destroyed and EndCode() holds the end code).
  HWND CreateModeless(HINSTANCE instance);
  bool Ended() const { return ended_; }
  int EndCode() const { return endCode_; }

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);

  bool Open();
  void End(int code) override;
  void ReleaseResources();
  // WM_COMMAND: notifications of the edit, list and combo boxes, then
  // button clicks.
  void Command(int id, int code);
  bool ControlNotified(int id, int code);
  void Clicked(int id);
  void TestClicked(int id);
  void FilterClicked(int id);
  void Close(bool reloadIni);

  // Geometry and fonts.
  void PlaceWindow(bool firstDialog);
  void SetEditorFont(HFONT font);
  void ChooseUserFont();
  void BrowseFolder();
  bool WindowMovedSincePlaced() const;

  // Copies between the controls and the model.
  SettingsSession& FrontSession() override { return *session_; }
  void PullEditor() override;
  void PullOptions() override;
  void PullWindowState() override;
  void PushEditor(const EditorEffects& effects, bool selections) override;
  void PushStatus();
  void RefillFieldList() override;
  void FillOptionLists() override;
  void PushFilters(bool refillList) override;
  void PushOitPaths() override;
  void ApplyHelpChange(const HelpPaneChange& change) override;
  void PushHelpButtons() override;
  void WarnSaveFailed(const std::u16string& text) override { Warn(text.c_str()); }

  // Control helpers.
  HWND Item(int id) const { return GetDlgItem(window_, id); }
  std::u16string Text(int id) const;
  void SetText(int id, const std::u16string& text);
  bool Checked(int id) const { return IsDlgButtonChecked(window_, id) == BST_CHECKED; }
  void Check(int id, bool on);
  void Enable(int id, bool on);
  void Warn(const char16_t* text, UINT type = MB_ICONWARNING);

  UtilityRun* run_;
  const CodePageTables* tables_;
  std::u16string settingsPath_;
  std::unique_ptr<SettingsSession> session_;

  HINSTANCE instance_ = nullptr;
  HWND window_ = nullptr;
  bool modeless_ = false;
  bool ended_ = false;
  int endCode_ = 0;

  HBRUSH statusBrush_ = nullptr;
  HFONT defaultFont_ = nullptr;
  HFONT userFont_ = nullptr;

  int paneWidth_ = 0;     // K: what the help pane adds to the window's width
  int windowWidth_ = 0;   // current width (compact, or compact + K)
  int fullHeight_ = 0;    // H0
  POINT placed_ = {0, 0};  // top-left after opening
};

// The program: records the code pages, builds the character tables and runs
// the dialog on the settings file beside the program for as long as it ends
// with "Reload INI". Returns the process exit code.
int RunUtility(HINSTANCE instance);

}  // namespace qm::utility::win32
