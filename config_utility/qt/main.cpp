// quarrymark-config: the settings program's entry point.
#include <QApplication>
#include <QIcon>

#include <cstdio>

#include "config_utility/model/utility_settings.h"
#include "config_utility/qt/editor_text.h"
#include "config_utility/qt/settings_location.h"
#include "config_utility/qt/settings_window.h"

namespace {

// No exception may leave an event handler through Qt: one that reaches the
// event loop (memory ran out in a handler) is reported and the event is
// dropped; the window stays as it was, as the Windows dialog does.
class Application : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (...) {
      std::fputs("quarrymark-config: an operation failed (out of memory?)\n", stderr);
      return false;
    }
  }
};

}  // namespace

constexpr char kUsage[] =
    "Usage: quarrymark-config [FOLDER | PLUGIN]\n"
    "Edits the Quarrymark settings (Quarrymark.ini) beside the plugin in FOLDER, or\n"
    "beside the plugin file PLUGIN. Without an argument: the per-user plugin folder\n"
    "($XDG_DATA_HOME/quarrymark/, by default ~/.local/share/quarrymark/) when it is\n"
    "set up, else the program's own folder when it holds settings or the plugin.\n";

int main(int argc, char** argv) {
  namespace qt = qm::utility::qt;
  // The arguments are read before the window system is: --help and a wrong
  // argument need no display.
  QStringList arguments;
  for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::u16string programFolder = qm::utility::ProgramFolder();
  if (!programFolder.empty() && programFolder.back() != u'/') programFolder += u'/';
  const QString program = qt::ToQString(programFolder);
  const qt::FolderChoice choice = qt::ChooseFolder(arguments, program, qt::UserPluginFolder());
  if (!choice.error.isEmpty()) {
    std::fprintf(stderr, "quarrymark-config: %s\n%s", choice.error.toLocal8Bit().constData(),
                 kUsage);
    return 2;
  }

  Application application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quarrymark-config"));
  QApplication::setDesktopFileName(QStringLiteral("quarrymark-config"));
  // The icon the package installs into the theme.
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("quarrymark")));
  qt::DialogPrompter prompter;
  try {
    return qt::RunProgram(choice.folder, program, &prompter);
  } catch (...) {
    std::fputs("quarrymark-config: out of memory\n", stderr);
    return 1;
  }
}
