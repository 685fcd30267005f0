// Helpers of the filter tests: settings with filter entries, and the fixture
// programs and libraries put beside a test's plugin copy.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/plugin_loader.h"

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
  std::string ini = "[Quarrymark]\r\n" + globals + "regexcount=" + std::to_string(fields.size()) + "\r\n";
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    ini += "regex" + n + "=" + fields[i].expression + "\r\n";
    ini += "regex" + n + "type=" + std::to_string(fields[i].type) + "\r\n";
    ini += "regex" + n + "flags=" + std::to_string(fields[i].flags) + "\r\n";
    if (!fields[i].replace.empty()) ini += "regex" + n + "replace=" + fields[i].replace + "\r\n";
  }
  return ini + "[Quarrymark_filters]\r\n" + filters;
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
