// quarrymark-config-screenshots: pictures of the settings window for the
// README, taken with QWidget::grab() (no display needed: run it with
// QT_QPA_PLATFORM=offscreen).
//
//   quarrymark-config-screenshots SETTINGS OUTPUT-FOLDER
//
// Works on a copy of SETTINGS in a temporary folder and writes
// utility-linux-main.png (the field page), -options.png (the options page),
// -help.png (the expression help beside the editor) and -error.png (an
// expression that does not compile, its position selected).
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

#include "config_utility/qt/settings_window.h"

namespace {

using qm::utility::qt::Prompter;

// No boxes while taking pictures.
class SilentPrompter : public Prompter {
 public:
  void Warn(QWidget*, const QString& text) override {
    std::fprintf(stderr, "warning: %s\n", text.toLocal8Bit().constData());
  }
  void Inform(QWidget*, const QString&, const QString&) override {}
  int Ask(QWidget*, const QString&, const QStringList&) override { return -1; }
  QString ChooseFolder(QWidget*, const QString&, const QString&) override { return QString(); }
  std::optional<QFont> ChooseFont(QWidget*, const QFont&) override { return std::nullopt; }
};

bool Shoot(QWidget* window, const QString& path) {
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  // A palette of at most 256 colours and the strongest compression keep the
  // pictures small; the user interface has few colours.
  const QImage image = window->grab().toImage().convertToFormat(
      QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
  const bool saved = image.save(path, "PNG", 0);
  std::printf("%s: %s\n", path.toLocal8Bit().constData(), saved ? "written" : "FAILED");
  return saved;
}

template <typename T>
T* Find(QWidget* window, const char* name) {
  return window->findChild<T*>(QLatin1String(name));
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: quarrymark-config-screenshots SETTINGS OUTPUT-FOLDER\n");
    return 2;
  }
  QTemporaryDir folder;
  const QString settings = folder.filePath(QStringLiteral("Quarrymark.ini"));
  if (!folder.isValid() || !QFile::copy(QString::fromLocal8Bit(argv[1]), settings)) {
    std::fprintf(stderr, "cannot copy %s\n", argv[1]);
    return 1;
  }
  const QString out = QString::fromLocal8Bit(argv[2]) + QLatin1Char('/');
  QDir().mkpath(out);

  const qm::utility::CodePageTables tables = qm::utility::CodePageTables::ForSystem();
  qm::utility::UtilityRun run;
  SilentPrompter prompter;
  qm::utility::qt::SettingsWindow window(&run, &tables, &prompter);
  if (!window.Open(settings)) return 1;
  window.resize(1100, 760);
  window.show();
  bool ok = Shoot(&window, out + QStringLiteral("utility-linux-main.png"));

  auto* tabs = Find<QTabWidget>(&window, "tabs");
  tabs->setCurrentIndex(1);
  ok = Shoot(&window, out + QStringLiteral("utility-linux-options.png")) && ok;
  tabs->setCurrentIndex(0);

  Find<QPushButton>(&window, "regexHelp")->click();
  ok = Shoot(&window, out + QStringLiteral("utility-linux-help.png")) && ok;
  Find<QPushButton>(&window, "regexHelp")->click();

  // A dated heading whose second group is not closed; a click on the status
  // line selects where PCRE stopped.
  auto* expression = Find<QPlainTextEdit>(&window, "expression");
  expression->setPlainText(QStringLiteral("(?m)^(?<year>\\d{4})-(\\d\\d.*$"));
  Find<QPushButton>(&window, "status")->click();
  ok = Shoot(&window, out + QStringLiteral("utility-linux-error.png")) && ok;
  return ok ? 0 : 1;
}
