// Which settings file quarrymark-config edits.
#include "config_utility/qt/settings_location.h"

#include <QDir>
#include <QFileInfo>

#include "config_utility/model/text.h"
#include "config_utility/model/utility_settings.h"
#include "config_utility/qt/editor_text.h"
#include "settings_format/settings_format.h"

namespace qm::utility::qt {
namespace {

constexpr char kPluginFileName[] = "Quarrymark.wdx";

QString WithSlash(QString folder) {
  if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
  return folder;
}

}  // namespace

QString UserPluginFolder() {
  QString base = qEnvironmentVariable("XDG_DATA_HOME");
  if (base.isEmpty() || !QDir::isAbsolutePath(base)) {
    base = QDir::homePath() + QStringLiteral("/.local/share");
  }
  return WithSlash(base) + QStringLiteral("quarrymark/");
}

bool HoldsSettingsOrPlugin(const QString& folder) {
  for (const char* name :
       {settings::kSettingsFileName, settings::kSampleSettingsFileName, kPluginFileName}) {
    if (QFileInfo(folder + QLatin1String(name)).isFile()) return true;
  }
  return false;
}

FolderChoice ChooseFolder(const QStringList& arguments, const QString& programFolder,
                          const QString& userFolder) {
  FolderChoice choice;
  if (arguments.size() > 1) {
    choice.error =
        QStringLiteral("Give one folder or plugin file, not %1 arguments.").arg(arguments.size());
    return choice;
  }
  if (arguments.size() == 1) {
    const QFileInfo given(arguments.front());
    if (given.isDir()) {
      choice.folder = WithSlash(given.absoluteFilePath());
    } else if (given.isFile()) {
      choice.folder = WithSlash(given.absolutePath());
    } else {
      choice.error = QStringLiteral("There is no folder or file \"%1\".").arg(arguments.front());
    }
    return choice;
  }
  if (HoldsSettingsOrPlugin(userFolder)) {
    choice.folder = userFolder;
  } else if (!programFolder.isEmpty() && HoldsSettingsOrPlugin(programFolder)) {
    choice.folder = programFolder;
  } else {
    choice.folder = userFolder;
  }
  return choice;
}

SettingsTarget ExamineFolder(const QString& folder) {
  SettingsTarget target;
  const std::u16string found = LocateSettingsFile(FromQString(folder));
  if (found.empty()) {
    target.file = folder + QLatin1String(settings::kSettingsFileName);
    return target;
  }
  target.file = ToQString(found);
  // A link is saved through to the file it names. A writable file can be
  // saved even in a write-protected folder (it is then rewritten in place).
  const QFileInfo file(QFileInfo(target.file).canonicalFilePath());
  target.state =
      file.isWritable() ? SettingsTarget::State::kReady : SettingsTarget::State::kUnwritable;
  return target;
}

QString FindSampleSettings(const QString& folder, const QString& programFolder) {
  const QString name = QLatin1String(settings::kSampleSettingsFileName);
  QStringList candidates{folder + name};
  if (!programFolder.isEmpty()) {
    candidates << programFolder + name
               << QDir::cleanPath(programFolder + QStringLiteral("../share/quarrymark/") + name);
  }
  for (const QString& candidate : candidates) {
    if (QFileInfo(candidate).isFile()) return candidate;
  }
  return QString();
}

}  // namespace qm::utility::qt
