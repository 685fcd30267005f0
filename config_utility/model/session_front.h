// What both fronts of the utility (the Win32 dialog and the Qt window) do
// around a SettingsSession in the same steps: filling every control after
// the session opened, and OK/Apply. A front supplies the copies between its
// controls and the model and the few calls that differ (its warning, its
// end); the order of the steps is kept here once.
#pragma once

#include <string>

#include "config_utility/model/settings_session.h"

namespace qm::utility {

inline constexpr char16_t kFontFailedMessage[] = u"Font change failed!";

class SessionFront {
 public:
  virtual ~SessionFront() = default;

 protected:
  // Fills the option lists, the field editor, the filters, the Outside In
  // paths and the help pane from the opened session (the caller sets
  // pushing_ around it with its own steps).
  void PushOpenedSession();
  // OK (apply false) and Apply: the controls go into the model, which
  // writes the file. A failure warns and keeps the dialog open; OK then
  // ends it, Apply shows what the model made of the controls.
  void SaveSession(bool apply);

  virtual SettingsSession& FrontSession() = 0;
  virtual void PullEditor() = 0;
  virtual void PullOptions() = 0;
  // What the front keeps besides the editor and the options: the Outside
  // In path being edited, the window's position, the folder to write in.
  virtual void PullWindowState() = 0;
  virtual void PushEditor(const EditorEffects& effects, bool selections) = 0;
  virtual void RefillFieldList() = 0;
  virtual void FillOptionLists() = 0;
  virtual void PushFilters(bool refillList) = 0;
  virtual void PushOitPaths() = 0;
  virtual void ApplyHelpChange(const HelpPaneChange& change) = 0;
  virtual void PushHelpButtons() = 0;
  virtual void WarnSaveFailed(const std::u16string& text) = 0;
  virtual void End(int code) = 0;

  bool pushing_ = false;  // control changes made by the front itself are not user input
};

}  // namespace qm::utility
