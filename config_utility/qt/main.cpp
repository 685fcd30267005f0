// quarrymark-config: the settings program's entry point.
#include <QApplication>

#include <cstdio>

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

int main(int argc, char** argv) {
  Application application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quarrymark-config"));
  QApplication::setDesktopFileName(QStringLiteral("quarrymark-config"));
  QStringList arguments = QApplication::arguments();
  arguments.removeFirst();
  qm::utility::qt::DialogPrompter prompter;
  try {
    return qm::utility::qt::RunProgram(arguments, &prompter);
  } catch (...) {
    std::fputs("quarrymark-config: out of memory\n", stderr);
    return 1;
  }
}
