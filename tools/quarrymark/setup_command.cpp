// quarrymark setup; see setup_command.h.
//
// Divisions: arguments and paths; the running-host check; the user's plugin
// folder (links, settings); the doublecmd.xml registration; the two runs.
#include "tools/quarrymark/setup_command.h"

#include <ostream>

#ifdef _WIN32

namespace qm::host {

int RunSetup(const SetupPaths&, const SetupOptions&, std::ostream&, std::ostream& err) {
  err << "quarrymark setup: only for installations on Linux; on Windows the plugin folder is "
         "the one the archive was unpacked into\n";
  return 1;
}

int RunSetupCommand(const std::vector<std::string>& args, const std::string& programFolder,
                    std::ostream& out, std::ostream& err) {
  (void)args;
  (void)programFolder;
  return RunSetup(SetupPaths(), SetupOptions(), out, err);
}

}  // namespace qm::host

#else

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <pugixml.hpp>
#include <sstream>
#include <system_error>

#include "settings_format/settings_format.h"
#include "tools/quarrymark/plugin_location.h"

namespace fs = std::filesystem;

namespace qm::host {
namespace {

constexpr char kConverterName[] = "xdoc2txt";
constexpr const char* kSettingsName = settings::kSettingsFileName;
constexpr const char* kSampleName = settings::kSampleSettingsFileName;
constexpr char kConfigFileName[] = "doublecmd.xml";

// ---------------------------------------------------------------------------
// The running-host check
// ---------------------------------------------------------------------------

// True when a process of this user is named doublecmd. Double Commander
// writes its whole configuration back when it exits, so an entry made while
// it runs would be lost (or the user's other changes would be).
bool DoubleCommanderRuns() {
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc", error)) {
    const std::string pid = entry.path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    if (!std::getline(comm, name) || name != "doublecmd") continue;
    // /proc/PID is owned by the process's user.
    struct stat info {};
    if (::stat(entry.path().c_str(), &info) == 0 && info.st_uid == ::getuid()) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// The user's plugin folder
// ---------------------------------------------------------------------------

bool SameContent(const fs::path& a, const fs::path& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  return std::equal(std::istreambuf_iterator<char>(fa), std::istreambuf_iterator<char>(),
                    std::istreambuf_iterator<char>(fb), std::istreambuf_iterator<char>());
}

// Makes link -> target. An existing link is pointed at target (it is ours by
// its name and may point at an earlier installation); an existing file is a
// copy, kept when it equals the target and otherwise left to the user. Where
// the file system refuses links the target is copied.
bool PlaceLink(const fs::path& target, const fs::path& link, std::ostream& out, std::ostream& err) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(link, error);
  if (fs::is_symlink(status)) {
    if (fs::read_symlink(link, error) == target && !error) {
      out << "unchanged " << link.string() << " -> " << target.string() << '\n';
      return true;
    }
    fs::remove(link, error);
  } else if (fs::exists(status)) {
    if (SameContent(link, target)) {
      out << "unchanged " << link.string() << " (a copy of " << target.string() << ")\n";
      return true;
    }
    err << "quarrymark setup: " << link.string() << " exists and is not the installed "
        << target.filename().string() << ": left as it is\n";
    return false;
  }
  fs::create_symlink(target, link, error);
  if (!error) {
    out << "linked " << link.string() << " -> " << target.string() << '\n';
    return true;
  }
  fs::copy_file(target, link, fs::copy_options::overwrite_existing, error);
  if (error) {
    err << "quarrymark setup: cannot link or copy " << target.string() << " to " << link.string()
        << ": " << error.message() << '\n';
    return false;
  }
  out << "copied " << target.string() << " to " << link.string() << '\n';
  return true;
}

// Removes what PlaceLink made: a link, or a copy equal to the target.
bool RemoveLink(const fs::path& target, const fs::path& link, std::ostream& out,
                std::ostream& err) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(link, error);
  if (!fs::exists(status) && !fs::is_symlink(status)) return true;
  if (!fs::is_symlink(status) && !SameContent(link, target)) {
    err << "quarrymark setup: " << link.string() << " is not a link to the installed "
        << target.filename().string() << ": left as it is\n";
    return false;
  }
  if (!fs::remove(link, error) || error) {
    err << "quarrymark setup: cannot remove " << link.string() << ": " << error.message() << '\n';
    return false;
  }
  out << "removed " << link.string() << '\n';
  return true;
}

// ---------------------------------------------------------------------------
// The registration in doublecmd.xml
// ---------------------------------------------------------------------------
//
// Double Commander 1.0 keeps its content plugins as
//   <doublecmd><Plugins><WdxPlugins>
//     <WdxPlugin><Name>N</Name><Path>P</Path><DetectString>D</DetectString></WdxPlugin>
// Our entry is the one whose Path is the user's plugin file.

pugi::xml_node FindEntry(pugi::xml_node list, const std::string& pluginPath) {
  for (pugi::xml_node entry : list.children("WdxPlugin")) {
    if (pluginPath == entry.child_value("Path")) return entry;
  }
  return pugi::xml_node();
}

void SetChildText(pugi::xml_node parent, const char* name, const std::string& text) {
  pugi::xml_node child = parent.child(name);
  if (!child) child = parent.append_child(name);
  child.text().set(text.c_str());
}

// Writes the document over `file` through a temporary file in the same
// folder, after copying the current file to the backup; the file keeps its
// permissions.
bool SaveConfig(const pugi::xml_document& document, const fs::path& file, std::ostream& out,
                std::ostream& err) {
  std::error_code error;
  const fs::path backup = file.string() + kConfigBackupSuffix;
  fs::copy_file(file, backup, fs::copy_options::overwrite_existing, error);
  if (error) {
    err << "quarrymark setup: cannot write the backup " << backup.string() << ": "
        << error.message() << '\n';
    return false;
  }
  // pugixml ends empty elements with " />", Double Commander with "/>"; as
  // pugixml escapes '>' in text and attributes, " />" occurs only there, and
  // writing Double Commander's form keeps the change to the lines setup made.
  std::ostringstream formatted;
  document.save(formatted, "  ", pugi::format_default, pugi::encoding_utf8);
  std::string text = formatted.str();
  for (std::size_t at = text.find(" />"); at != std::string::npos; at = text.find(" />", at)) {
    text.erase(at, 1);
  }
  const fs::path temporary = file.string() + ".quarrymark-new";
  {
    std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
    stream << text;
    stream.close();
    if (!stream) {
      err << "quarrymark setup: cannot write " << temporary.string() << '\n';
      fs::remove(temporary, error);
      return false;
    }
  }
  fs::permissions(temporary, fs::status(file, error).permissions(), error);
  fs::rename(temporary, file, error);
  if (error) {
    err << "quarrymark setup: cannot replace " << file.string() << ": " << error.message() << '\n';
    fs::remove(temporary, error);
    return false;
  }
  out << "backup " << backup.string() << '\n';
  return true;
}

// Loads doublecmd.xml; false (with the reason) when it is missing or is not XML.
bool LoadConfig(const fs::path& file, pugi::xml_document* document, std::ostream& err) {
  std::error_code error;
  if (!fs::is_regular_file(file, error)) {
    err << "quarrymark setup: " << file.string()
        << " does not exist: start Double Commander once, close it, and run setup again\n";
    return false;
  }
  const pugi::xml_parse_result result =
      document->load_file(file.c_str(), pugi::parse_default | pugi::parse_declaration |
                                            pugi::parse_comments | pugi::parse_ws_pcdata_single);
  if (!result) {
    err << "quarrymark setup: " << file.string() << " is not readable XML (" << result.description()
        << " at byte " << result.offset << "): left as it is\n";
    return false;
  }
  if (!document->child("doublecmd")) {
    err << "quarrymark setup: " << file.string() << " is not a Double Commander configuration\n";
    return false;
  }
  return true;
}

bool Register(const SetupPaths& paths, const SetupOptions& options, const std::string& pluginPath,
              std::ostream& out, std::ostream& err) {
  const fs::path file = fs::path(paths.configFolder) / kConfigFileName;
  pugi::xml_document document;
  if (!LoadConfig(file, &document, err)) return false;
  pugi::xml_node root = document.child("doublecmd");
  pugi::xml_node plugins = root.child("Plugins");
  if (!plugins) plugins = root.append_child("Plugins");
  pugi::xml_node list = plugins.child("WdxPlugins");
  if (!list) list = plugins.prepend_child("WdxPlugins");

  pugi::xml_node entry = FindEntry(list, pluginPath);
  if (entry && std::string(kRegisteredName) == entry.child_value("Name") &&
      (!options.detectGiven || options.detectString == entry.child_value("DetectString"))) {
    out << "unchanged " << file.string() << " (registered as " << kRegisteredName << ")\n";
    return true;
  }
  for (pugi::xml_node other : list.children("WdxPlugin")) {
    if (other != entry && std::string(kRegisteredName) == other.child_value("Name")) {
      err << "note: " << file.string() << " also lists a plugin named " << kRegisteredName
          << " at " << other.child_value("Path") << "; remove it in Double Commander\n";
    }
  }
  if (!entry) entry = list.append_child("WdxPlugin");
  SetChildText(entry, "Name", kRegisteredName);
  SetChildText(entry, "Path", pluginPath);
  if (options.detectGiven || !entry.child("DetectString")) {
    SetChildText(entry, "DetectString", options.detectString);
  }
  if (!SaveConfig(document, file, out, err)) return false;
  out << "registered " << pluginPath << " in " << file.string() << '\n';
  return true;
}

bool Unregister(const SetupPaths& paths, const std::string& pluginPath, std::ostream& out,
                std::ostream& err) {
  const fs::path file = fs::path(paths.configFolder) / kConfigFileName;
  std::error_code error;
  if (!fs::exists(file, error)) return true;  // nothing registered anywhere
  pugi::xml_document document;
  if (!LoadConfig(file, &document, err)) return false;
  pugi::xml_node list = document.child("doublecmd").child("Plugins").child("WdxPlugins");
  bool removed = false;
  for (pugi::xml_node entry = FindEntry(list, pluginPath); entry; entry = FindEntry(list, pluginPath)) {
    list.remove_child(entry);
    removed = true;
  }
  if (!removed) {
    out << "unchanged " << file.string() << " (not registered)\n";
    return true;
  }
  if (!SaveConfig(document, file, out, err)) return false;
  out << "unregistered " << pluginPath << " from " << file.string() << '\n';
  return true;
}

// ---------------------------------------------------------------------------
// The two runs
// ---------------------------------------------------------------------------

int Install(const SetupPaths& paths, const SetupOptions& options, std::ostream& out,
            std::ostream& err) {
  const fs::path source(paths.sourceFolder);
  const fs::path user(paths.userFolder);
  std::error_code error;
  if (!fs::is_regular_file(source / PluginFileName(), error)) {
    err << "quarrymark setup: no installed plugin at " << (source / PluginFileName()).string() << '\n';
    return 1;
  }
  if (!fs::is_directory(user, error)) {
    fs::create_directories(user, error);
    if (error) {
      err << "quarrymark setup: cannot make " << user.string() << ": " << error.message() << '\n';
      return 1;
    }
    out << "made " << user.string() << '\n';
  }
  bool ok = PlaceLink(source / PluginFileName(), user / PluginFileName(), out, err);
  if (fs::exists(source / kConverterName, error)) {
    ok = PlaceLink(source / kConverterName, user / kConverterName, out, err) && ok;
  } else {
    err << "quarrymark setup: no converter at " << (source / kConverterName).string()
        << ": document fields will search the files as they are\n";
    ok = false;
  }
  const fs::path settings = user / kSettingsName;
  if (fs::exists(fs::symlink_status(settings, error))) {
    out << "kept " << settings.string() << '\n';
  } else {
    fs::copy_file(paths.sampleSettings, settings, error);
    if (error) {
      err << "quarrymark setup: cannot start " << settings.string() << " from "
          << paths.sampleSettings << ": " << error.message() << '\n';
      ok = false;
    } else {
      fs::permissions(settings, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add,
                      error);
      out << "started " << settings.string() << " from " << paths.sampleSettings << '\n';
    }
  }
  ok = Register(paths, options, (user / PluginFileName()).string(), out, err) && ok;
  if (ok) {
    out << "done: restart Double Commander to load the plugin; edit " << settings.string()
        << " to change the fields (read when Double Commander starts)\n";
  }
  return ok ? 0 : 1;
}

int Remove(const SetupPaths& paths, std::ostream& out, std::ostream& err) {
  const fs::path source(paths.sourceFolder);
  const fs::path user(paths.userFolder);
  bool ok = Unregister(paths, (user / PluginFileName()).string(), out, err);
  ok = RemoveLink(source / PluginFileName(), user / PluginFileName(), out, err) && ok;
  ok = RemoveLink(source / kConverterName, user / kConverterName, out, err) && ok;
  std::error_code error;
  if (fs::exists(user / kSettingsName, error)) {
    out << "kept " << (user / kSettingsName).string() << '\n';
  }
  if (fs::is_empty(user, error) && !error && fs::remove(user, error)) {
    out << "removed " << user.string() << '\n';
  }
  return ok ? 0 : 1;
}

}  // namespace

int RunSetup(const SetupPaths& paths, const SetupOptions& options, std::ostream& out,
             std::ostream& err) {
  const bool running = options.hostRunning ? options.hostRunning() : DoubleCommanderRuns();
  if (running) {
    err << "quarrymark setup: Double Commander is running; close it first (it rewrites "
        << kConfigFileName << " when it exits)\n";
    return 1;
  }
  return options.remove ? Remove(paths, out, err) : Install(paths, options, out, err);
}

int RunSetupCommand(const std::vector<std::string>& args, const std::string& programFolder,
                    std::ostream& out, std::ostream& err) {
  SetupOptions options;
  std::string configFolder;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--remove") {
      options.remove = true;
    } else if (args[i] == "--detect-string" && i + 1 < args.size()) {
      options.detectGiven = true;
      options.detectString = args[++i];
    } else if (args[i] == "--config-dir" && i + 1 < args.size()) {
      configFolder = args[++i];
    } else {
      err << "usage: quarrymark setup [--remove] [--detect-string S] [--config-dir DIR]\n";
      return 2;
    }
  }
  SetupPaths paths;
  // The plugin to link to: beside the program (a build or an unpacked
  // folder), else the installed one.
  const std::string installed = InstalledPluginFolder(programFolder);
  std::error_code error;
  paths.sourceFolder =
      fs::is_regular_file(programFolder + PluginFileName(), error) || installed.empty()
          ? programFolder
          : installed;
  paths.sampleSettings = paths.sourceFolder + kSampleName;
  paths.userFolder = UserPluginFolder();
  if (paths.userFolder.empty()) {
    err << "quarrymark setup: neither XDG_DATA_HOME nor HOME is set\n";
    return 2;
  }
  if (configFolder.empty()) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config != nullptr && config[0] == '/') {
      configFolder = std::string(config) + "/doublecmd";
    } else if (home != nullptr && home[0] != 0) {
      configFolder = std::string(home) + "/.config/doublecmd";
    }
  }
  paths.configFolder = configFolder;
  return RunSetup(paths, options, out, err);
}

}  // namespace qm::host

#endif
