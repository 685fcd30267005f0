#include "support/settings_text.h"

namespace qm::test {

std::string IniLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

std::string SettingsText(const std::vector<IniField>& fields, const std::string& globals) {
  std::string ini = "[Quarrymark]\r\n" + globals;
  ini += "regexcount=" + std::to_string(fields.size()) + "\r\n";
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const IniField& field = fields[i];
    const std::string key = "regex" + std::to_string(i + 1);
    ini += key + "=" + field.expression + "\r\n";
    ini += key + "type=" + std::to_string(field.type) + "\r\n";
    if (field.flags != 0) ini += key + "flags=" + std::to_string(field.flags) + "\r\n";
    if (!field.replace.empty()) ini += key + "replace=" + field.replace + "\r\n";
    if (!field.name.empty()) ini += key + "name=" + field.name + "\r\n";
  }
  return ini;
}

}  // namespace qm::test
