// The steps both fronts take around the session.
#include "config_utility/model/session_front.h"

namespace qm::utility {

void SessionFront::PushOpenedSession() {
  FillOptionLists();
  PushEditor(EditorEffects(), false);
  PushFilters(true);
  PushOitPaths();
  ApplyHelpChange(FrontSession().initialHelp);
  PushHelpButtons();
}

void SessionFront::SaveSession(bool apply) {
  SettingsSession& s = FrontSession();
  PullEditor();
  PullOptions();
  PullWindowState();
  const bool written = apply ? s.Apply() : s.Ok();
  if (!written) {
    pushing_ = true;
    PushEditor(EditorEffects(), false);
    pushing_ = false;
    WarnSaveFailed(SaveFailedText(s.settings));
    return;
  }
  if (!apply) {
    End(static_cast<int>(DialogEnd::kClosed));
    return;
  }
  pushing_ = true;
  if (s.fieldListChanged) RefillFieldList();
  PushEditor(EditorEffects(), false);
  pushing_ = false;
}

}  // namespace qm::utility
