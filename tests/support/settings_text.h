// Settings files for tests, built in one way: CR LF line ends, the plugin's
// section, the field count and each field's keys.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qm::test {

// One configured field; the flags, the replace template and the name are
// written only when set.
struct IniField {
  IniField(std::string e, int t, int f = 0, std::string r = "", std::string n = "")
      : expression(std::move(e)), type(t), flags(f), replace(std::move(r)), name(std::move(n)) {}
  std::string expression;
  int type;
  int flags;
  std::string replace;
  std::string name;
};

// The lines, each ended with CR LF.
std::string IniLines(const std::vector<std::string>& lines);

// "[Quarrymark]", the global lines (given with their CR LF), "regexcount"
// and the fields' keys in order.
std::string SettingsText(const std::vector<IniField>& fields, const std::string& globals = "");

}  // namespace qm::test
