// quarrymark setup: one user's plugin folder over an installed plugin, and
// its registration in Double Commander.
//
// An installed plugin lives in a read-only folder, while the plugin reads its
// settings (and writes its error log) beside itself. Setup therefore makes
// the user's plugin folder ($XDG_DATA_HOME/quarrymark/) holding links to the
// installed plugin and converter (copies where a link cannot be made) and the
// user's own Quarrymark.ini, started from the sample and never overwritten,
// and enters that folder's plugin in the WDX plugin list of doublecmd.xml.
// Every step is idempotent; --remove undoes exactly these steps and keeps the
// user's settings and log.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace qm::host {

// The help of `quarrymark setup` after its usage line.
inline constexpr char kSetupUsage[] =
    "Makes the user's plugin folder ($XDG_DATA_HOME/quarrymark/, by default\n"
    "~/.local/share/quarrymark/): links to the installed plugin and converter, and\n"
    "Quarrymark.ini started from the sample (an existing one is kept). Registers that\n"
    "plugin in Double Commander's doublecmd.xml after writing\n"
    "doublecmd.xml.quarrymark-backup. Refused while Double Commander runs; running it\n"
    "again changes nothing. Restart Double Commander afterwards, and after every change\n"
    "of the settings.\n"
    "  --remove           undo it: the registration and the links go, the settings stay\n"
    "  --detect-string S  the detect string registered (default empty: every file;\n"
    "                     Double Commander shows a file's Plugins tab only with one,\n"
    "                     for example 'SIZE>-1')\n"
    "  --config-dir DIR   Double Commander's configuration folder (default\n"
    "                     $XDG_CONFIG_HOME/doublecmd, that is ~/.config/doublecmd)\n"
    "Exit status: 0 done (or nothing to do), 1 a step failed, 2 usage error.\n";

// Where setup reads and writes; all folders end with '/'.
struct SetupPaths {
  std::string sourceFolder;    // holds Quarrymark.wdx and xdoc2txt (the installed folder)
  std::string sampleSettings;  // Quarrymark.Sample.ini to start the user's settings from
  std::string userFolder;      // the user's plugin folder, made when missing
  std::string configFolder;    // Double Commander's configuration folder
};

struct SetupOptions {
  bool remove = false;
  bool detectGiven = false;   // without --detect-string an existing entry keeps its own
  std::string detectString;
  // Whether Double Commander runs for this user; the default looks at /proc.
  std::function<bool()> hostRunning;
};

// The WDX list entry name setup registers (and columns refer to as Plugin(Quarrymark)).
inline constexpr char kRegisteredName[] = "Quarrymark";
inline constexpr char kConfigBackupSuffix[] = ".quarrymark-backup";

// Runs setup or its removal. One line per step on out ("made", "linked",
// "kept", "registered", ...), problems on err. Returns 0 when every step
// succeeded (or had nothing to do), 1 otherwise. Nothing is changed at all
// when Double Commander runs.
int RunSetup(const SetupPaths& paths, const SetupOptions& options, std::ostream& out,
             std::ostream& err);

// `quarrymark setup ...`: reads the arguments (the words after "setup"),
// finds the paths from the environment and the program's folder (with its
// trailing separator) and runs RunSetup. 2 for usage errors.
int RunSetupCommand(const std::vector<std::string>& args, const std::string& programFolder,
                    std::ostream& out, std::ostream& err);

}  // namespace qm::host
