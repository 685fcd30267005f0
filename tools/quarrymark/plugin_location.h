// Which plugin file the command-line host (and the settings program) load
// when they are not given one.
//
// In order: the plugin beside the program (a build tree, a Windows folder,
// an unpacked archive), the user's plugin folder made by `quarrymark setup`
// ($XDG_DATA_HOME/quarrymark/, by default ~/.local/share/quarrymark/), and
// the installed one (lib/<multiarch>/quarrymark/ of the prefix the program
// is installed in, found relative to the program). On Windows only the first
// place is looked at.
#pragma once

#include <string>
#include <vector>

namespace qm::host {

// File name of the plugin the host loads (Quarrymark.wdx64 in 64-bit Windows builds).
const char* PluginFileName();

// The user's plugin folder with a trailing '/', or "" when neither
// XDG_DATA_HOME (absolute) nor HOME is set. Never made here.
std::string UserPluginFolder();

// The installed plugin folder for a program in programFolder (with its
// trailing separator): programFolder/../<install plugin dir>/, normalised.
// "" on Windows.
std::string InstalledPluginFolder(const std::string& programFolder);

struct PluginPlace {
  std::string path;  // the plugin file
  const char* what;  // "beside the program", "user's plugin folder", "installed"
};

// The places looked at, in order, for a program in programFolder.
std::vector<PluginPlace> PluginPlaces(const std::string& programFolder);

// The first place holding a regular file; when none does, the first place
// (so that the load error names a real candidate). *found tells which case.
std::string LocatePlugin(const std::vector<PluginPlace>& places, bool* found);

// One line per place, "  WHAT: PATH", for --help and error messages.
std::string DescribePluginPlaces(const std::vector<PluginPlace>& places);

// The folder of a plugin path with its trailing separator ("" when the path
// has no folder part): the folder whose settings belong to that plugin.
std::string PluginFolder(const std::string& pluginPath);

}  // namespace qm::host
