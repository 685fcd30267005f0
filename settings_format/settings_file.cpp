// Reading the settings file's bytes.
#include "settings_format/settings_file.h"

#include <algorithm>

#include "settings_format/settings_format.h"

namespace qm::settings {

std::size_t RemoveNulBytes(std::string* text) {
  const std::size_t first = text->find('\0');
  if (first == std::string::npos) return 0;
  const std::size_t line = 1 + static_cast<std::size_t>(
                                   std::count(text->begin(), text->begin() + first, '\n'));
  text->erase(std::remove(text->begin() + first, text->end(), '\0'), text->end());
  return line;
}

SettingsText ReadSettingsText(const platform::FileName& name) {
  SettingsText result;
  platform::FileInfo info;
  if (!platform::QueryFileInfo(name, &info)) {
    result.problem = SettingsFileProblem::kMissing;
    return result;
  }
  result.size = info.size;
  if (!info.IsRegularFile()) {
    result.problem = SettingsFileProblem::kNotRegularFile;
    return result;
  }
  if (info.size > kMaxSettingsFileBytes) {
    result.problem = SettingsFileProblem::kTooLarge;
    return result;
  }
  platform::File file = platform::OpenFile(name, platform::OpenMode::kReadShared);
  if (!file.IsOpen()) {
    // The open also refuses what has become something else than a file.
    result.problem = SettingsFileProblem::kUnreadable;
    result.systemMessage = platform::LastErrorMessage();
    return result;
  }
  std::string bytes(static_cast<std::size_t>(info.size), '\0');
  if (!bytes.empty() && !file.ReadExact(bytes.data(), bytes.size())) {
    result.problem = SettingsFileProblem::kUnreadable;
    result.systemMessage = platform::LastErrorMessage();
    return result;
  }
  result.nulLine = RemoveNulBytes(&bytes);
  result.text = std::move(bytes);
  return result;
}

std::string DescribeProblem(const SettingsText& text) {
  switch (text.problem) {
    case SettingsFileProblem::kNone:
      return {};
    case SettingsFileProblem::kMissing:
      return "no such file";
    case SettingsFileProblem::kNotRegularFile:
      return "not a regular file";
    case SettingsFileProblem::kTooLarge:
      return "larger than the limit of " + std::to_string(kMaxSettingsFileBytes) + " bytes (" +
             std::to_string(text.size) + " bytes)";
    case SettingsFileProblem::kUnreadable:
      return "cannot be read: " + text.systemMessage;
  }
  return {};
}

}  // namespace qm::settings
