// quarrymark-config's window driven like a user: opening the example
// settings, the persistence rules of OK, Apply and Cancel, the live verdict,
// the expression test, the filter editor, the help panes, "Reload INI", and
// which file the program edits.
#include "config_utility/qt/settings_window.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "config_utility/qt/editor_text.h"
#include "config_utility/qt/settings_location.h"

namespace qm::utility::qt {
namespace {

// Records what the window would show in message boxes.
class RecordingPrompter : public Prompter {
 public:
  QStringList warnings;
  QStringList notices;
  void Warn(QWidget*, const QString& text) override { warnings << text; }
  void Inform(QWidget*, const QString&, const QString& text) override { notices << text; }
  QStringList questions;
  QList<QStringList> offered;
  int answer = -1;
  int Ask(QWidget*, const QString& text, const QStringList& buttons) override {
    questions << text;
    offered << buttons;
    return answer;
  }
  QString ChooseFolder(QWidget*, const QString&, const QString&) override { return QString(); }
  std::optional<QFont> chosenFont;
  std::optional<QFont> ChooseFont(QWidget*, const QFont&) override { return chosenFont; }
};

QByteArray ReadBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  QCOMPARE(file.write(bytes), bytes.size());
}

// What a rewrite would change besides the bytes: the inode (a replacement),
// the modification time to the nanosecond, the link count.
struct Stamp {
  ino_t inode = 0;
  timespec modified{};
  nlink_t links = 0;
  bool operator==(const Stamp& o) const {
    return inode == o.inode && modified.tv_sec == o.modified.tv_sec &&
           modified.tv_nsec == o.modified.tv_nsec && links == o.links;
  }
};
Stamp StampOf(const QString& path) {
  struct stat st {};
  Stamp s;
  if (stat(QFile::encodeName(path).constData(), &st) == 0) {
    s.inode = st.st_ino;
    s.modified = st.st_mtim;
    s.links = st.st_nlink;
  }
  return s;
}

const QString kExample = QStringLiteral(QM_SOURCE_DIR "/examples/Quarrymark.Sample.ini");

// The lines of a settings file outside [QuarrymarkConfig] that do not
// belong to field number n (blank lines aside: a new section brings one).
QStringList LinesBesides(const QByteArray& bytes, int n) {
  QStringList kept;
  bool ownSection = false;
  const QString prefix = QStringLiteral("regex%1").arg(n);
  for (const QString& line : QString::fromUtf8(bytes).split(QStringLiteral("\r\n"))) {
    if (line.startsWith(QLatin1Char('['))) ownSection = line == QLatin1String("[QuarrymarkConfig]");
    if (ownSection || line.isEmpty()) continue;
    if (line.startsWith(prefix)) {
      const QChar next = line.size() > prefix.size() ? line[prefix.size()] : QChar();
      if (!next.isDigit()) continue;
    }
    kept << line;
  }
  return kept;
}

}  // namespace

class SettingsWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString path_;
  CodePageTables tables_ = CodePageTables::For(1252, 437);
  std::unique_ptr<UtilityRun> run_;
  RecordingPrompter prompter_;

  // A window on path_ (shown, so that layouts and focus work as for a user).
  std::unique_ptr<SettingsWindow> Open() {
    auto window = std::make_unique<SettingsWindow>(run_.get(), &tables_, &prompter_);
    if (!window->Open(path_)) return nullptr;
    window->resize(1000, 720);
    window->show();
    return window;
  }
  template <typename T>
  static T* Find(SettingsWindow* w, const char* name) {
    T* found = w->findChild<T*>(QLatin1String(name));
    if (!found) qFatal("no widget %s", name);
    return found;
  }
  static void Click(SettingsWindow* w, const char* name) {
    Find<QAbstractButton>(w, name)->click();  // as a user's click, wherever the caption ends
  }
  static void TypeExpression(SettingsWindow* w, const QString& text) {
    auto* box = Find<QPlainTextEdit>(w, "expression");
    box->setFocus();
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Delete);
    QTest::keyClicks(box, text);
  }
  static void Press(SettingsWindow* w, QDialogButtonBox::StandardButton which) {
    Find<QDialogButtonBox>(w, "buttons")->button(which)->click();
  }
  static QString Shown(SettingsWindow* w, const char* name) {
    return Find<QAbstractButton>(w, name)->text().remove(QLatin1Char('&'));
  }
  void UseExample() {
    QVERIFY(QFile::remove(path_) || !QFile::exists(path_));
    QVERIFY(QFile::copy(kExample, path_));
    QFile(path_).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
  }

 private slots:
  void init() {
    run_ = std::make_unique<UtilityRun>();
    prompter_ = RecordingPrompter();
    QVERIFY(dir_.isValid());
    path_ = dir_.filePath(QStringLiteral("Quarrymark.ini"));
    UseExample();
  }
  void cleanup() {
    for (const QString& name : QDir(dir_.path()).entryList(QDir::Files | QDir::System)) {
      QFile::remove(dir_.filePath(name));
    }
  }

  void opensTheExampleSettings() {
    auto w = Open();
    QVERIFY(w);
    auto* list = Find<QListWidget>(w.get(), "fieldList");
    QCOMPARE(list->count(), 999);
    QCOMPARE(list->currentRow(), 0);
    QCOMPARE(list->item(0)->text(), QStringLiteral("-->Has TODO"));
    QCOMPARE(list->item(10)->text(), QStringLiteral("-->Content without time stamps"));
    QCOMPARE(list->item(11)->text(), QStringLiteral("PCRE-RegEx12"));
    QCOMPARE(Find<QComboBox>(w.get(), "fieldCount")->currentText(), QStringLiteral("11"));
    QCOMPARE(Find<QPlainTextEdit>(w.get(), "expression")->toPlainText(),
             QStringLiteral("TODO|FIXME"));
    QCOMPARE(Find<QPlainTextEdit>(w.get(), "name")->toPlainText(), QStringLiteral("Has TODO"));
    QVERIFY(Find<QRadioButton>(w.get(), "type0")->isChecked());
    QCOMPARE(Shown(w.get(), "status"), QStringLiteral("OK!"));
    QCOMPARE(Find<QComboBox>(w.get(), "fileMemory")->currentText(), QStringLiteral("10"));
    QCOMPARE(Find<QComboBox>(w.get(), "resultCache")->currentText(), QStringLiteral("16384"));
    QVERIFY(Find<QCheckBox>(w.get(), "ModFieldName")->isChecked());
    QVERIFY(Find<QComboBox>(w.get(), "filterExt")->findText(QStringLiteral("pdf")) >= 0);
    QVERIFY(w->windowTitle().contains(path_));

    // The field list follows the selection; a field's type and flags show.
    list->setCurrentRow(7);
    QCOMPARE(Find<QPlainTextEdit>(w.get(), "expression")->toPlainText(),
             QStringLiteral("\\.(?:txt|md)$"));
    QVERIFY(Find<QCheckBox>(w.get(), "flag64")->isChecked());
    list->setCurrentRow(5);
    QVERIFY(Find<QRadioButton>(w.get(), "type-1")->isChecked());
    // Tooltips tell the stored numbers.
    QVERIFY(
        Find<QRadioButton>(w.get(), "type2")->toolTip().contains(QStringLiteral("regexNtype=2")));
    QVERIFY(Find<QCheckBox>(w.get(), "flag16")->toolTip().contains(QStringLiteral("Adds 16")));
    QVERIFY(Find<QComboBox>(w.get(), "fileMemory")
                ->toolTip()
                .contains(QStringLiteral("Default: 10 MB")));
    // The keyboard: Tab from the expression to its verdict, then the font
    // and the name; Alt+X reaches the expression through its label.
    auto* expression = Find<QPlainTextEdit>(w.get(), "expression");
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    expression->setFocus();
    QTest::keyClick(expression, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), Find<QPushButton>(w.get(), "status"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), Find<QPlainTextEdit>(w.get(), "name"));
    bool labelled = false;
    for (QLabel* label : w->findChildren<QLabel*>()) {
      labelled = labelled ||
                 (label->buddy() == expression && label->text().contains(QStringLiteral("&x")));
    }
    QVERIFY(labelled);
    QVERIFY(prompter_.warnings.isEmpty());
  }

  // Each page's mnemonics (with the buttons below the pages) are distinct,
  // so Alt and a letter always reaches one control.
  void mnemonicsAreDistinctOnEachPage() {
    auto w = Open();
    QVERIFY(w);
    auto* tabs = Find<QTabWidget>(w.get(), "tabs");
    for (int page = 0; page < tabs->count(); ++page) {
      tabs->setCurrentIndex(page);
      QStringList captions;
      for (int t = 0; t < tabs->count(); ++t) captions << tabs->tabText(t);
      for (QAbstractButton* b : w->findChildren<QAbstractButton*>()) {
        if (b->isVisibleTo(w.get())) captions << b->text();
      }
      for (QLabel* l : w->findChildren<QLabel*>()) {
        if (l->isVisibleTo(w.get()) && l->buddy()) captions << l->text();
      }
      QMap<QChar, QString> seen;
      for (const QString& caption : captions) {
        const int at = caption.indexOf(QRegularExpression(QStringLiteral("&[^&]")));
        if (at < 0) continue;
        const QChar key = caption[at + 1].toLower();
        QVERIFY2(!seen.contains(key),
                 qPrintable(caption + QStringLiteral(" / ") + seen.value(key)));
        seen.insert(key, caption);
      }
      QVERIFY(seen.size() > 10);
    }
  }

  // Rule: Cancel changes nothing on disk, not even the time, when nothing
  // the program keeps has changed (looking at fields and pages is no change).
  void cancelWithoutChangesLeavesTheFileAsItWas() {
    const QByteArray before = ReadBytes(path_);
    const Stamp stamp = StampOf(path_);
    QTest::qSleep(20);  // a rewrite would show in the time
    auto w = Open();
    QVERIFY(w);
    Find<QTabWidget>(w.get(), "tabs")->setCurrentIndex(1);
    Find<QTabWidget>(w.get(), "tabs")->setCurrentIndex(0);
    Find<QListWidget>(w.get(), "fieldList")->setCurrentRow(2);
    Find<QListWidget>(w.get(), "fieldList")->setCurrentRow(0);
    w->move(w->pos() + QPoint(40, 30));
    Click(w.get(), "regexHelp");
    Click(w.get(), "regexHelp");
    Press(w.get(), QDialogButtonBox::Cancel);
    QVERIFY(w->Ended());
    QCOMPARE(w->EndCode(), 0);
    QCOMPARE(ReadBytes(path_), before);
    QVERIFY(StampOf(path_) == stamp);
  }

  // Rule: Cancel discards edits of fields and options; only the program's
  // own state (here the current field) is written.
  void cancelKeepsOnlyTheProgramsOwnState() {
    auto w = Open();
    QVERIFY(w);
    TypeExpression(w.get(), QStringLiteral("discarded"));
    Find<QListWidget>(w.get(), "fieldList")->setCurrentRow(3);
    w->reject();  // Escape, or the window's close button
    QVERIFY(w->Ended());
    const QByteArray after = ReadBytes(path_);
    QVERIFY(after.contains("regex1=TODO|FIXME\r\n"));
    QVERIFY(!after.contains("discarded"));
    QVERIFY(after.contains("[QuarrymarkConfig]\r\nLastField=3\r\n"));
  }

  // Rule: OK after editing one field changes only that field's keys and the
  // program's own section; foreign keys, sections and comments stay.
  void okAfterEditingOneFieldChangesOnlyThatField() {
    QByteArray original = ReadBytes(path_);
    original.replace("[Quarrymark_filters]",
                     "; kept: a comment\r\nSomeoneElsesKey=42\r\n\r\n[Quarrymark_filters]");
    original.append("\r\n[Other program]\r\n; its comment\r\nvalue=1\r\n");
    WriteBytes(path_, original);
    {  // The first OK writes every global option; that is the baseline.
      auto w = Open();
      QVERIFY(w);
      Press(w.get(), QDialogButtonBox::Ok);
      QVERIFY(w->Ended());
    }
    const QByteArray baseline = ReadBytes(path_);
    for (const char* kept : {"; kept: a comment\r\nSomeoneElsesKey=42\r\n", "[Other program]\r\n",
                             "; its comment\r\nvalue=1\r\n"}) {
      QVERIFY2(baseline.contains(kept), kept);
    }

    auto w = Open();
    QVERIFY(w);
    Find<QListWidget>(w.get(), "fieldList")->setCurrentRow(2);
    TypeExpression(w.get(), QStringLiteral("\\b\\w{3,}\\b"));
    Click(w.get(), "type3");
    Press(w.get(), QDialogButtonBox::Ok);
    QVERIFY(w->Ended());
    QCOMPARE(w->EndCode(), 0);
    const QByteArray after = ReadBytes(path_);
    QVERIFY(after.contains("regex3=\\b\\w{3,}\\b\r\n"));
    QVERIFY(after.contains("regex3type=3\r\n"));
    QVERIFY(after.contains("LastField=2\r\n"));
    QCOMPARE(LinesBesides(after, 3), LinesBesides(baseline, 3));
  }

  // Rule: Apply writes at once and the window stays; a field name typed over
  // two lines is stored as a multi-line value.
  void applyWritesAndKeepsTheWindowOpen() {
    auto w = Open();
    QVERIFY(w);
    auto* name = Find<QPlainTextEdit>(w.get(), "name");
    name->setFocus();
    name->selectAll();
    QTest::keyClicks(name, QStringLiteral("First"));
    QTest::keyClick(name, Qt::Key_Return);
    QTest::keyClicks(name, QStringLiteral("second\u00A0line"));  // a no-break space stays one
    Press(w.get(), QDialogButtonBox::Apply);
    QVERIFY(!w->Ended());
    QVERIFY(ReadBytes(path_).contains(
        "regex1name=<<<END_OF_TEXT\r\nFirst\r\nsecond\xC2\xA0line\r\nEND_OF_TEXT\r\n"));
    QCOMPARE(Find<QListWidget>(w.get(), "fieldList")->item(0)->text(),
             QStringLiteral("-->First second\u00A0line"));
  }

  // Rule: a symbolic link stays a link (its target gets the settings), and a
  // hard-linked file keeps its links.
  void linkedSettingsFilesStayLinked() {
    const QString real = dir_.filePath(QStringLiteral("real.ini"));
    QVERIFY(QFile::rename(path_, real));
    QVERIFY(QFile::link(QStringLiteral("real.ini"), path_));
    {
      auto w = Open();
      QVERIFY(w);
      TypeExpression(w.get(), QStringLiteral("through the link"));
      Press(w.get(), QDialogButtonBox::Ok);
    }
    QVERIFY(QFileInfo(path_).isSymLink());
    QVERIFY(ReadBytes(real).contains("regex1=through the link\r\n"));

    QVERIFY(QFile::remove(path_));
    const QString other = dir_.filePath(QStringLiteral("other-name.ini"));
    QCOMPARE(::link(QFile::encodeName(real).constData(), QFile::encodeName(path_).constData()), 0);
    QCOMPARE(::link(QFile::encodeName(real).constData(), QFile::encodeName(other).constData()), 0);
    {
      auto w = Open();
      QVERIFY(w);
      TypeExpression(w.get(), QStringLiteral("through the hard link"));
      Press(w.get(), QDialogButtonBox::Ok);
    }
    QCOMPARE(StampOf(path_).links, nlink_t{3});
    QCOMPARE(StampOf(path_).inode, StampOf(other).inode);
    QVERIFY(ReadBytes(other).contains("regex1=through the hard link\r\n"));
  }

  void badExpressionShowsErrorAndPositionGoodOneOk() {
    auto w = Open();
    QVERIFY(w);
    auto* status = Find<QPushButton>(w.get(), "status");
    const QColor normal = status->palette().color(QPalette::ButtonText);
    TypeExpression(w.get(), QStringLiteral("ab(c|d"));
    QCOMPARE(Shown(w.get(), "status"), QStringLiteral("missing ) at pos 7"));
    QCOMPARE(status->palette().color(QPalette::ButtonText), QColor(255, 0, 0));
    // A click on the verdict selects where PCRE stopped (here the end).
    auto* expression = Find<QPlainTextEdit>(w.get(), "expression");
    expression->moveCursor(QTextCursor::Start);
    QTest::mouseClick(status, Qt::LeftButton);
    QCOMPARE(expression->textCursor().selectedText(), QStringLiteral("d"));

    TypeExpression(w.get(), QStringLiteral("ab(c|d)"));
    QCOMPARE(Shown(w.get(), "status"), QStringLiteral("OK!"));
    QCOMPARE(status->palette().color(QPalette::ButtonText), normal);
    TypeExpression(w.get(), QString());
    QVERIFY(Shown(w.get(), "status").startsWith(QStringLiteral("Empty expression")));
    QCOMPARE(status->palette().color(QPalette::ButtonText), QColor(0, 0, 255));
  }

  // The test steps through matches and groups over the sample text, whose
  // lines end in CR LF: the selection must land on the same characters.
  void testRunStepsThroughMatchesAndGroups() {
    auto w = Open();
    QVERIFY(w);
    TypeExpression(w.get(), QStringLiteral("(c)(.)"));
    auto* text = Find<QPlainTextEdit>(w.get(), "replace");
    auto* label = Find<QLabel>(w.get(), "replaceLabel");
    Click(w.get(), "testToggle");
    QCOMPARE(label->text().remove(QLatin1Char('&')), QStringLiteral("Test String"));
    QVERIFY(text->toPlainText().startsWith(QStringLiteral("The quick brown fox")));
    Click(w.get(), "testStart");
    QCOMPARE(Shown(w.get(), "testStart"), QStringLiteral("Stop"));
    QCOMPARE(text->textCursor().selectedText(), QStringLiteral("ck"));
    QVERIFY(text->isReadOnly());
    Click(w.get(), "groupNext");
    QCOMPARE(label->text(), QStringLiteral("Group 1"));
    QCOMPARE(text->textCursor().selectedText(), QStringLiteral("c"));
    Click(w.get(), "groupNext");
    QCOMPARE(text->textCursor().selectedText(), QStringLiteral("k"));
    QVERIFY(!Find<QPushButton>(w.get(), "groupNext")->isEnabled());
    Click(w.get(), "testNext");  // the next match, on the second line
    QCOMPARE(text->textCursor().selectedText(), QStringLiteral("\u00B2"));
    Click(w.get(), "groupPrev");
    QCOMPARE(text->textCursor().selectedText(), QStringLiteral("c"));
    Click(w.get(), "groupPrev");
    QCOMPARE(text->textCursor().selectedText(), QStringLiteral("c\u00B2"));
    // Past the last match the run ends.
    for (int i = 0; i < 20 && Shown(w.get(), "testStart") == QLatin1String("Stop"); ++i) {
      Click(w.get(), "testNext");
    }
    QCOMPARE(Shown(w.get(), "testStart"), QStringLiteral("Start"));
    QVERIFY(!text->isReadOnly());
    // Leaving the test brings the replace string back.
    Click(w.get(), "testToggle");
    QCOMPARE(text->toPlainText(), QStringLiteral("$0\\x20"));
    QVERIFY(prompter_.notices.isEmpty());

    TypeExpression(w.get(), QStringLiteral("nothing like this"));
    Click(w.get(), "testToggle");
    Click(w.get(), "testStart");
    QCOMPARE(prompter_.notices.size(), 1);  // "no match"
  }

  void filterExtensionsAreAddedAndRemoved() {
    auto w = Open();
    QVERIFY(w);
    Find<QTabWidget>(w.get(), "tabs")->setCurrentIndex(1);
    auto* ext = Find<QComboBox>(w.get(), "filterExt");
    auto* add = Find<QPushButton>(w.get(), "filterAdd");
    auto* remove = Find<QPushButton>(w.get(), "filterRemove");
    QVERIFY(!add->isEnabled());
    ext->lineEdit()->setFocus();
    QTest::keyClicks(ext->lineEdit(), QStringLiteral("md2"));
    QVERIFY(add->isEnabled());
    QVERIFY(!remove->isEnabled());
    Click(w.get(), "filterOit");
    QTest::mouseClick(add, Qt::LeftButton);
    QVERIFY(ext->findText(QStringLiteral("md2")) >= 0);
    QVERIFY(ext->currentText().isEmpty());

    // Choosing an entry shows its kind; "-" removes it.
    ext->setCurrentIndex(ext->findText(QStringLiteral("rtf")));
    emit ext->activated(ext->currentIndex());
    QVERIFY(remove->isEnabled());
    QVERIFY(Find<QRadioButton>(w.get(), "filterXdoc")->isChecked());
    QTest::mouseClick(remove, Qt::LeftButton);
    QCOMPARE(ext->findText(QStringLiteral("rtf")), -1);

    Press(w.get(), QDialogButtonBox::Ok);
    const QByteArray after = ReadBytes(path_);
    QVERIFY(after.contains("md2=oit\r\n"));
    QVERIFY(!after.contains("rtf="));
    QVERIFY(after.contains("pdf=xdoc\r\n"));
  }

  void helpPanesSwitch() {
    auto w = Open();
    QVERIFY(w);
    auto* pane = Find<QPlainTextEdit>(w.get(), "helpPane");
    QVERIFY(pane->isHidden());
    const int narrow = w->width();
    Click(w.get(), "regexHelp");
    QVERIFY(!pane->isHidden());
    QVERIFY(w->width() > narrow);
    QVERIFY(pane->toPlainText().startsWith(QStringLiteral("QUOTING\n")));
    QVERIFY(pane->toPlainText().endsWith(QStringLiteral("(?Cn)      callout with data n")) ||
            pane->toPlainText().contains(QStringLiteral("(?Cn)")));
    QCOMPARE(Shown(w.get(), "regexHelp"), QStringLiteral("RegEx Help <"));
    Click(w.get(), "replaceHelp");
    QVERIFY(pane->toPlainText().startsWith(QStringLiteral("SUBGROUPS")));
    QVERIFY(!pane->toPlainText().contains(QStringLiteral("QUOTING")));
    QCOMPARE(Shown(w.get(), "regexHelp"), QStringLiteral("RegEx Help >"));
    QCOMPARE(Shown(w.get(), "replaceHelp"), QStringLiteral("Replace Help <"));
    Click(w.get(), "replaceHelp");
    QVERIFY(pane->isHidden());
    QCOMPARE(w->width(), narrow);
    // The open pane is remembered in the program's own section.
    Click(w.get(), "replaceHelp");
    Press(w.get(), QDialogButtonBox::Cancel);
    QVERIFY(ReadBytes(path_).contains("HelpW=2\r\n"));
  }

  // The chosen editor font is the program's own state: kept by Cancel, and
  // used again when the window opens.
  void chosenFontIsKeptAndUsedAgain() {
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setPixelSize(15);
    font.setBold(true);
    prompter_.chosenFont = font;
    {
      auto w = Open();
      QVERIFY(w);
      Click(w.get(), "font");
      QCOMPARE(Find<QPlainTextEdit>(w.get(), "expression")->font().family(), font.family());
      Press(w.get(), QDialogButtonBox::Cancel);
    }
    QVERIFY(ReadBytes(path_).contains("font=-15,0,0,0,700,0,0,0,0,0,0,0,49,DejaVu Sans Mono\r\n"));
    auto w = Open();
    QVERIFY(w);
    const QFont shown = Find<QPlainTextEdit>(w.get(), "replace")->font();
    QCOMPARE(shown.family(), font.family());
    QCOMPARE(shown.pixelSize(), 15);
    QCOMPARE(shown.weight(), QFont::Bold);
  }

  void reloadIniDiscardsEdits() {
    const QByteArray before = ReadBytes(path_);
    auto w = Open();
    QVERIFY(w);
    TypeExpression(w.get(), QStringLiteral("edited"));
    Find<QTabWidget>(w.get(), "tabs")->setCurrentIndex(1);
    Find<QCheckBox>(w.get(), "SortFields")->click();
    Click(w.get(), "reloadIni");
    QVERIFY(w->Ended());
    QCOMPARE(w->EndCode(), 99);
    QCOMPARE(ReadBytes(path_), before);
    auto again = Open();
    QVERIFY(again);
    QCOMPARE(Find<QPlainTextEdit>(again.get(), "expression")->toPlainText(),
             QStringLiteral("TODO|FIXME"));
    QVERIFY(!Find<QCheckBox>(again.get(), "SortFields")->isChecked());
  }

  // The options page reaches the file: typed and chosen values, checks, the
  // Outside In path of each radio.
  void optionsPageIsSaved() {
    auto w = Open();
    QVERIFY(w);
    Find<QTabWidget>(w.get(), "tabs")->setCurrentIndex(1);
    Find<QComboBox>(w.get(), "fileMemory")->setEditText(QStringLiteral("25"));
    Find<QComboBox>(w.get(), "resultCache")->setCurrentIndex(0);
    Find<QComboBox>(w.get(), "analyzeBuffer")->setCurrentIndex(7);
    Find<QCheckBox>(w.get(), "LogErrors")->click();
    Find<QCheckBox>(w.get(), "ClearCacheOnReread")->click();
    Find<QComboBox>(w.get(), "converterTimeLimit")->setEditText(QStringLiteral("0"));
    auto* path = Find<QLineEdit>(w.get(), "oitPath");
    path->setText(QStringLiteral("/opt/oit/32"));
    Click(w.get(), "OitFulltextExclude");
    QVERIFY(path->text().isEmpty());
    QVERIFY(!Find<QPushButton>(w.get(), "oitBrowse")->isEnabled());
    path->setText(QStringLiteral("1000-1099;2000"));
    Click(w.get(), "OitDllPath32");
    QCOMPARE(path->text(), QStringLiteral("/opt/oit/32"));
    Press(w.get(), QDialogButtonBox::Ok);
    const QByteArray after = ReadBytes(path_);
    for (const char* line :
         {"FileMemory=25\r\n", "ResultCache=0\r\n", "AnalyzeBuffer=8\r\n", "LogErrors=false\r\n",
          "ClearCacheOnReread=true\r\n", "ConverterTimeLimit=0\r\n", "OitDllPath32=/opt/oit/32\r\n",
          "OitFulltextExclude=1000-1099;2000\r\n"}) {
      QVERIFY2(after.contains(line), line);
    }
  }

  // The quick-insert buttons wrap the selection.
  void quickInsertWrapsTheSelection() {
    auto w = Open();
    QVERIFY(w);
    auto* expression = Find<QPlainTextEdit>(w.get(), "expression");
    QTextCursor cursor = expression->textCursor();
    cursor.setPosition(5);
    cursor.setPosition(10, QTextCursor::KeepAnchor);  // "FIXME"
    expression->setTextCursor(cursor);
    Click(w.get(), "quickQuote");
    QCOMPARE(expression->toPlainText(), QStringLiteral("TODO|\\QFIXME\\E"));
    QCOMPARE(Shown(w.get(), "status"), QStringLiteral("OK!"));
  }

  void fieldDefaultsAndReloadField() {
    auto w = Open();
    QVERIFY(w);
    Find<QListWidget>(w.get(), "fieldList")->setCurrentRow(4);
    Click(w.get(), "fieldDefaults");
    QCOMPARE(Find<QPlainTextEdit>(w.get(), "expression")->toPlainText(), QStringLiteral(".*"));
    QVERIFY(Find<QRadioButton>(w.get(), "type0")->isChecked());
    Click(w.get(), "reloadField");
    QCOMPARE(Find<QPlainTextEdit>(w.get(), "name")->toPlainText(),
             QStringLiteral("Mail addresses"));
    QVERIFY(Find<QRadioButton>(w.get(), "type3")->isChecked());
  }

  // A failed save keeps the window and the edits and says so.
  void failedSaveKeepsTheWindowOpen() {
    const QByteArray before = ReadBytes(path_);
    // Every temporary name beside the file is taken, so nothing can be written.
    for (int k = 0; k < 16; ++k) {
      QDir().mkdir(path_ + QStringLiteral(".tmp") + (k > 0 ? QString::number(k) : QString()));
    }
    auto w = Open();
    QVERIFY(w);
    TypeExpression(w.get(), QStringLiteral("kept in the window"));
    Press(w.get(), QDialogButtonBox::Ok);
    QVERIFY(!w->Ended());
    QCOMPARE(prompter_.warnings.size(), 1);
    QVERIFY(prompter_.warnings.front().startsWith(QStringLiteral("Could not save")));
    QCOMPARE(ReadBytes(path_), before);
    QCOMPARE(Find<QPlainTextEdit>(w.get(), "expression")->toPlainText(),
             QStringLiteral("kept in the window"));
    for (int k = 0; k < 16; ++k) {
      QDir().rmdir(path_ + QStringLiteral(".tmp") + (k > 0 ? QString::number(k) : QString()));
    }
    // A write-protected file is seen before the window opens (not as root,
    // who may write anything).
    QFile(path_).setPermissions(QFile::ReadOwner);
    if (::access(QFile::encodeName(path_).constData(), W_OK) != 0) {
      QCOMPARE(ExamineFolder(dir_.path() + QLatin1Char('/')).state,
               SettingsTarget::State::kUnwritable);
    }
  }

  // A first start: the sample is read, nothing is made by Cancel, OK makes
  // the file (and its folder).
  void startingFromTheSampleWritesOnlyOnOk() {
    const QString folder = dir_.filePath(QStringLiteral("new/quarrymark/"));
    const SettingsTarget target = ExamineFolder(folder);
    QCOMPARE(target.state, SettingsTarget::State::kMissing);
    QCOMPARE(target.file, folder + QStringLiteral("Quarrymark.ini"));
    for (bool ok : {false, true}) {
      SettingsWindow w(run_.get(), &tables_, &prompter_);
      QVERIFY(w.OpenFromSample(kExample, target.file));
      w.show();
      Find<QListWidget>(&w, "fieldList")->setCurrentRow(2);
      Press(&w, ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel);
      QCOMPARE(QFile::exists(target.file), ok);
    }
    QVERIFY(ReadBytes(target.file).contains("regex1=TODO|FIXME\r\n"));
    QCOMPARE(ExamineFolder(folder).state, SettingsTarget::State::kReady);
    QDir(dir_.filePath(QStringLiteral("new"))).removeRecursively();
  }

  // A folder without settings: a clear message and the offer of the sample,
  // to be saved in that folder; declining quits.
  void missingSettingsOfferTheSample() {
    const QString empty = dir_.filePath(QStringLiteral("empty/"));
    const QString program = dir_.filePath(QStringLiteral("program/"));
    QDir().mkpath(empty);
    QDir().mkpath(program);
    QVERIFY(QFile::copy(kExample, program + QStringLiteral("Quarrymark.Sample.ini")));
    prompter_.answer = 0;
    OpenPlan plan = PlanOpening(empty, ExamineFolder(empty), program, empty, &prompter_);
    QCOMPARE(prompter_.questions.size(), 1);
    QVERIFY(prompter_.questions[0].contains(QStringLiteral("There are no settings in")));
    QVERIFY(prompter_.questions[0].contains(
        QStringLiteral("Nothing is written until you press OK or Apply")));
    QCOMPARE(prompter_.offered[0].front(), QStringLiteral("Start from the sample"));
    QVERIFY(!plan.quit);
    QCOMPARE(plan.load, program + QStringLiteral("Quarrymark.Sample.ini"));
    QCOMPARE(plan.saveAs, empty + QStringLiteral("Quarrymark.ini"));
    prompter_.answer = 1;
    QVERIFY(PlanOpening(empty, ExamineFolder(empty), program, empty, &prompter_).quit);
    // Without any sample: the message alone.
    QVERIFY(QFile::remove(program + QStringLiteral("Quarrymark.Sample.ini")));
    QVERIFY(PlanOpening(empty, ExamineFolder(empty), program, empty, &prompter_).quit);
    QCOMPARE(prompter_.warnings.size(), 1);
    // A folder with settings opens them without a question.
    plan = PlanOpening(dir_.path() + QLatin1Char('/'),
                       ExamineFolder(dir_.path() + QLatin1Char('/')), program, empty, &prompter_);
    QCOMPARE(plan.load, path_);
    QVERIFY(plan.saveAs.isEmpty());
    QCOMPARE(prompter_.questions.size(), 2);
    QDir(empty).removeRecursively();
    QDir(program).removeRecursively();
  }

  // A write-protected file: the message, and the per-user folder offered:
  // the file as a sample saved there, or the user's own settings there once
  // they exist; or the file read-only.
  void writeProtectedSettingsOfferThePerUserFolder() {
    const QString folder = dir_.path() + QLatin1Char('/');
    const QString user = dir_.filePath(QStringLiteral("user/"));
    const SettingsTarget protectedFile{SettingsTarget::State::kUnwritable, path_};
    prompter_.answer = 0;
    OpenPlan plan = PlanOpening(folder, protectedFile, QString(), user, &prompter_);
    QVERIFY(prompter_.questions[0].contains(QStringLiteral("is write-protected")));
    QCOMPARE(prompter_.offered[0],
             QStringList({QStringLiteral("Start from the sample"), QStringLiteral("Open read-only"),
                          QStringLiteral("Quit")}));
    QCOMPARE(plan.load, path_);
    QCOMPARE(plan.saveAs, user + QStringLiteral("Quarrymark.ini"));

    QDir().mkpath(user);
    WriteBytes(user + QStringLiteral("Quarrymark.ini"), "[Quarrymark]\r\n");
    plan = PlanOpening(folder, protectedFile, QString(), user, &prompter_);
    QCOMPARE(prompter_.offered[1].front(), QStringLiteral("Edit my settings"));
    QCOMPARE(plan.load, user + QStringLiteral("Quarrymark.ini"));
    QVERIFY(plan.saveAs.isEmpty());

    prompter_.answer = 1;
    plan = PlanOpening(folder, protectedFile, QString(), user, &prompter_);
    QCOMPARE(plan.load, path_);
    QVERIFY(plan.saveAs.isEmpty() && !plan.quit);
    prompter_.answer = -1;  // the box closed
    QVERIFY(PlanOpening(folder, protectedFile, QString(), user, &prompter_).quit);

    // The per-user folder itself write-protected: nothing else to offer.
    prompter_.answer = 0;
    plan = PlanOpening(
        user, {SettingsTarget::State::kUnwritable, user + QStringLiteral("Quarrymark.ini")},
        QString(), user, &prompter_);
    QCOMPARE(prompter_.offered.back().front(), QStringLiteral("Open read-only"));
    QVERIFY(!plan.quit && plan.saveAs.isEmpty());
    QDir(user).removeRecursively();
  }

  void theFileChoiceFollowsTheArgumentsAndThePerUserFolder() {
    const QString program = dir_.filePath(QStringLiteral("bin/"));
    const QString user = dir_.filePath(QStringLiteral("data/quarrymark/"));
    QDir().mkpath(program);
    QDir().mkpath(user);
    // Nothing set up anywhere: the per-user folder (where a start from the
    // sample saves).
    QCOMPARE(ChooseFolder({}, program, user).folder, user);
    // The program's folder when it holds the plugin.
    WriteBytes(program + QStringLiteral("Quarrymark.wdx"), "plugin");
    QCOMPARE(ChooseFolder({}, program, user).folder, program);
    // The per-user folder first once it is set up.
    WriteBytes(user + QStringLiteral("Quarrymark.ini"), "[Quarrymark]\r\n");
    QCOMPARE(ChooseFolder({}, program, user).folder, user);
    // An argument: a folder, or the plugin file in one.
    QCOMPARE(ChooseFolder({program}, program, user).folder, program);
    QCOMPARE(ChooseFolder({program + QStringLiteral("Quarrymark.wdx")}, program, user).folder,
             program);
    QVERIFY(
        !ChooseFolder({dir_.filePath(QStringLiteral("missing"))}, program, user).error.isEmpty());
    QVERIFY(!ChooseFolder({program, user}, program, user).error.isEmpty());

    qputenv("XDG_DATA_HOME", dir_.filePath(QStringLiteral("data")).toLocal8Bit());
    QCOMPARE(UserPluginFolder(), user);
    qputenv("XDG_DATA_HOME", "relative/is/ignored");
    QCOMPARE(UserPluginFolder(), QDir::homePath() + QStringLiteral("/.local/share/quarrymark/"));
    qunsetenv("XDG_DATA_HOME");
    QDir(dir_.filePath(QStringLiteral("bin"))).removeRecursively();
    QDir(dir_.filePath(QStringLiteral("data"))).removeRecursively();
  }

  // Positions in CR LF texts and in the boxes' one-character line ends.
  void offsetsMapBetweenModelAndBoxTexts() {
    const std::u16string text = u"ab\r\ncd\ref\r\n";
    QCOMPARE(ToDisplay(text), QStringLiteral("ab\ncd\nef\n"));
    QCOMPARE(FromDisplay(ToDisplay(text)), std::u16string(u"ab\r\ncd\r\nef\r\n"));
    const int model[] = {0, 2, 3, 4, 6, 7, 11};
    const int shown[] = {0, 2, 2, 3, 5, 6, 9};
    for (int i = 0; i < 7; ++i) QCOMPARE(DisplayOffset(text, model[i]), shown[i]);
    const std::u16string stored = FromDisplay(ToDisplay(text));
    for (int q = 0; q <= ToDisplay(text).size(); ++q) {
      QCOMPARE(DisplayOffset(stored, ModelOffset(stored, q)), q);
    }
  }
};

}  // namespace qm::utility::qt

QTEST_MAIN(qm::utility::qt::SettingsWindowTest)
#include "settings_window_test.moc"
