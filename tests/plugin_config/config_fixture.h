// Loading a settings text into a fresh plugin state, as the export does,
// with the plugin's folder pointed at a temporary folder.
#pragma once

#include <gtest/gtest.h>
#include <pcre.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "plugin/config/loader.h"
#include "support/settings_text.h"
#include "support/test_files.h"

namespace qm::plugin::test {

inline std::u16string U16(const std::string& utf8) {
  std::u16string out;
  platform::AppendWide(platform::kCodePageUtf8, utf8.data(), utf8.size(), &out);
  return out;
}

// "[Quarrymark]" followed by the lines, each ended with CR LF.
inline std::string Ini(const std::vector<std::string>& lines) {
  return "[Quarrymark]\r\n" + qm::test::IniLines(lines);
}

// True when the program finds a match in the subject.
template <typename Char>
bool Finds(const std::shared_ptr<const Program<Char>>& program,
           const std::basic_string<typename Program<Char>::Unit>& subject, int options = 0) {
  if (!program || program->code == nullptr) return false;
  int vector[30];
  return PcreApi<Char>::Exec(program->code, program->study, subject.data(),
                             static_cast<int>(subject.size()), 0, options, vector, 30) >= 0;
}

class ConfigTest : public ::testing::Test {
 protected:
  // Windows-like code pages, whatever the machine's locale says.
  void SetUp() override { platform::SetCodePagesForTesting(1252, 437); }
  void TearDown() override { platform::SetCodePagesForTesting(0, 0); }

  // Writes the settings text as "Quarrymark.ini" (nothing when empty) and
  // loads it with the interface version.
  PluginState& Load(const std::string& settingsText, std::uint32_t hi = 2, std::uint32_t low = 11) {
    if (!settingsText.empty()) folder_.Write("Quarrymark.ini", settingsText);
    return LoadFolder(hi, low);
  }
  PluginState& LoadFolder(std::uint32_t hi = 2, std::uint32_t low = 11,
                          const OutsideInLoader& loadOutsideIn = {}) {
    state_ = std::make_unique<PluginState>();
    state_->modulePath = U16(folder_.PathOf("Quarrymark.wdx"));
    LoadConfiguration(*state_, hi, low, loadOutsideIn);
    return *state_;
  }
  // Display names of the records the host sees.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (int i = 0; i < state_->VisibleCount(); ++i) names.push_back(state_->fields[i].displayName);
    return names;
  }
  const FieldDefinition& Field(int index) const { return state_->fields.at(static_cast<std::size_t>(index)); }
  std::string LogPath() const { return folder_.PathOf("Quarrymark_error.log"); }

  qm::test::TempFolder folder_;
  std::unique_ptr<PluginState> state_;
};

}  // namespace qm::plugin::test
