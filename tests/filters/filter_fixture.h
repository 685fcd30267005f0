// Helpers of the filter tests: settings with filter entries, and the fixture
// programs and libraries put beside a test's plugin copy.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/plugin_loader.h"
#include "support/settings_text.h"

namespace qm::test {

struct Field {
  Field(std::string e, int t, int f = 0, std::string r = "")
      : expression(std::move(e)), type(t), flags(f), replace(std::move(r)) {}
  std::string expression;
  int type;
  int flags;
  std::string replace;  // empty: the default
};

// [Quarrymark] with the fields and globals, then [Quarrymark_filters].
inline std::string FilterSettings(const std::vector<Field>& fields, const std::string& filters,
                                  const std::string& globals = "") {
  std::vector<IniField> ini;
  for (const Field& f : fields) ini.push_back({f.expression, f.type, f.flags, f.replace, ""});
  return SettingsText(ini, globals) + "[Quarrymark_filters]\r\n" + filters;
}

// Copies the fake converter beside the plugin under the converter's name.
inline void InstallConverter(const LoadedPlugin& plugin) {
#ifdef _WIN32
  const char* name = "xdoc2txt.exe";
#else
  const char* name = "xdoc2txt";
#endif
  std::filesystem::copy_file(std::filesystem::u8path(QM_FAKE_CONVERTER), plugin.folder().path() / name);
}

// Number of open descriptors (POSIX) or handles (Windows) of this process.
int OpenHandleCount();
// True when this process has no child process, running or unreaped (POSIX);
// always true elsewhere.
bool NoChildProcesses();

}  // namespace qm::test
