// A fresh copy of the built plugin, loaded from its own temporary folder.
//
// The plugin reads its settings from its own folder, so each test gets a
// private copy of the library beside the test's settings file; loading the
// copy gives a fresh instance (its own field table, cache and abort set) and
// unloading it runs the detach work.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "plugin/host_interface/content_plugin.h"
#include "support/test_files.h"

namespace qm::test {

struct Answer {
  int code = 0;
  std::vector<unsigned char> bytes;  // the host buffer after the call
  std::int32_t Int() const;
  double Double() const;
  std::string Narrow(std::size_t at = 0) const;  // the ANSI text at byte at
  std::u16string Wide(std::size_t at = 0) const;
};

class LoadedPlugin {
 public:
  // Copies the plugin beside settingsText (written as "Quarrymark.ini" when
  // not empty) and loads it; version is what ContentSetDefaultParams
  // announces. Test failures are raised as gtest failures.
  explicit LoadedPlugin(const std::string& settingsText, std::uint32_t versionHi = 2,
                        std::uint32_t versionLow = 11, bool callSetDefaultParams = true);
  ~LoadedPlugin();

  const TempFolder& folder() const { return folder_; }
  void SetDefaultParams(std::uint32_t versionHi, std::uint32_t versionLow);
  void Unload();

  int SupportedField(int index, std::string* name, std::string* units, int maxlen = 256);
  // The ContentGetValueW answer for a UTF-8 path.
  Answer ValueW(const std::string& path, int field, int flags = 0, int maxlen = 2048, int unit = 0);
  Answer ValueW16(const std::u16string& path, int field, int flags = 0, int maxlen = 2048);
  Answer ValueA(const std::string& path, int field, int flags = 0, int maxlen = 2048, int unit = 0);
  void StopW(const std::string& path);
  void StateInformation(int state);

  template <typename F>
  F Export(const char* name) const {
    return reinterpret_cast<F>(library_.Symbol(name));
  }

 private:
  TempFolder folder_;
  platform::Library library_;
};

// The built plugin's path (the test targets define it).
std::string BuiltPluginPath();

}  // namespace qm::test
