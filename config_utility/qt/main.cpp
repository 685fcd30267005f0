// quarrymark-config: the settings program's entry point.
#include <QApplication>

#include "config_utility/qt/settings_window.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quarrymark-config"));
  QApplication::setDesktopFileName(QStringLiteral("quarrymark-config"));
  QStringList arguments = QApplication::arguments();
  arguments.removeFirst();
  qm::utility::qt::DialogPrompter prompter;
  return qm::utility::qt::RunProgram(arguments, &prompter);
}
