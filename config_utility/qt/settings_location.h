// Which settings file quarrymark-config edits.
//
//   quarrymark-config FOLDER   the settings beside the plugin in FOLDER
//   quarrymark-config PLUGIN   the settings beside that plugin file
//   quarrymark-config          the per-user plugin folder when it is set up
//                              (it holds a settings file or the plugin),
//                              else the program's own folder when that
//                              holds one, else the per-user folder
//
// In the folder, "Quarrymark.ini" is edited, or "Quarrymark.Sample.ini" when
// only that one exists, the rule the plugin reads by.
#pragma once

#include <QString>
#include <QStringList>

namespace qm::utility::qt {

// $XDG_DATA_HOME/quarrymark/, or ~/.local/share/quarrymark/ when the
// variable is unset or not an absolute path; with a trailing '/'.
QString UserPluginFolder();

// Whether the folder holds a settings file (either name) or the plugin.
bool HoldsSettingsOrPlugin(const QString& folder);

struct FolderChoice {
  QString folder;  // with a trailing '/'; empty on error
  QString error;   // why an argument cannot be used
};

// The folder from the arguments after the program name. More than one
// argument, or one naming nothing that exists, is an error.
FolderChoice ChooseFolder(const QStringList& arguments, const QString& programFolder,
                          const QString& userFolder);

struct SettingsTarget {
  enum class State {
    kReady,       // file exists and can be written
    kMissing,     // neither file exists: file is where a new one would go
    kUnwritable,  // file exists but is write-protected
  };
  State state = State::kMissing;
  QString file;
};

// The settings file of a folder (ending in '/') and whether it can be saved
// (through a link: whether the file it names can).
SettingsTarget ExamineFolder(const QString& folder);

// The sample settings to start from: "Quarrymark.Sample.ini" in the folder
// itself, in the program's folder, or where the packages install it
// (../share/quarrymark/ from the program). Empty when none is found.
QString FindSampleSettings(const QString& folder, const QString& programFolder);

}  // namespace qm::utility::qt
