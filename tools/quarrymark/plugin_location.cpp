// The plugin lookup of the command-line host; see plugin_location.h.
#include "tools/quarrymark/plugin_location.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace qm::host {

const char* PluginFileName() {
#ifdef _WIN64
  return "Quarrymark.wdx64";
#else
  return "Quarrymark.wdx";
#endif
}

std::string UserPluginFolder() {
#ifdef _WIN32
  return std::string();
#else
  // The XDG rule: a relative XDG_DATA_HOME is invalid and is ignored.
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/quarrymark/";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != 0) return std::string(home) + "/.local/share/quarrymark/";
  return std::string();
#endif
}

std::string InstalledPluginFolder(const std::string& programFolder) {
#if defined(_WIN32) || !defined(QM_INSTALL_PLUGIN_DIR)
  (void)programFolder;
  return std::string();
#else
  if (programFolder.empty()) return std::string();
  const std::filesystem::path folder =
      (std::filesystem::path(programFolder) / ".." / QM_INSTALL_PLUGIN_DIR).lexically_normal();
  std::string text = folder.string();
  if (text.empty() || text.back() != '/') text += '/';
  return text;
#endif
}

std::vector<PluginPlace> PluginPlaces(const std::string& programFolder) {
  std::vector<PluginPlace> places;
  places.push_back({programFolder + PluginFileName(), "beside the program"});
  const std::string user = UserPluginFolder();
  if (!user.empty()) places.push_back({user + PluginFileName(), "user's plugin folder"});
  const std::string installed = InstalledPluginFolder(programFolder);
  if (!installed.empty()) places.push_back({installed + PluginFileName(), "installed"});
  return places;
}

std::string LocatePlugin(const std::vector<PluginPlace>& places, bool* found) {
  for (const PluginPlace& place : places) {
    std::error_code error;
    if (std::filesystem::is_regular_file(place.path, error)) {
      *found = true;
      return place.path;
    }
  }
  *found = false;
  return places.empty() ? std::string(PluginFileName()) : places.front().path;
}

std::string DescribePluginPlaces(const std::vector<PluginPlace>& places) {
  std::string text;
  for (const PluginPlace& place : places) text += std::string("  ") + place.what + ": " + place.path + '\n';
  return text;
}

std::string PluginFolder(const std::string& pluginPath) {
  const std::size_t cut = pluginPath.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : pluginPath.substr(0, cut + 1);
}

}  // namespace qm::host
