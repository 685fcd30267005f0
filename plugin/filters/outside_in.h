// Access to the Outside In content- and text-access libraries.
#pragma once

#include <string>

namespace qm::plugin {

// The two Outside In libraries, loaded from the configured folder.
class OutsideInLibraries {
 public:
  // Loads both libraries from folder. True when both are usable.
  bool Load(const std::u16string& folder);
  bool Loaded() const { return loaded_; }
  // Releases both libraries (the text-access library first).
  void Unload();

 private:
  bool loaded_ = false;
};

}  // namespace qm::plugin
