// Outside In library access.
//
// This build does not drive the Outside In call sequence yet, so Load answers
// "not loaded" and the plugin offers no full-text field: exactly what a
// machine without the libraries sees.
#include "plugin/filters/outside_in.h"

namespace qm::plugin {

bool OutsideInLibraries::Load(const std::u16string& /*folder*/) {
  loaded_ = false;
  return loaded_;
}

void OutsideInLibraries::Unload() { loaded_ = false; }

}  // namespace qm::plugin
