// The settings window of quarrymark-config: a thin Qt layer over
// SettingsSession, as the Win32 dialog is.
//
// Divisions: Prompter (the message boxes and pickers, replaceable by tests);
// SettingsWindow (building the window, opening, the handlers, the copies
// between the widgets and the model, fonts); RunProgram (the file choice and
// the window run that "Reload INI" repeats).
//
// Every handler copies the widgets it concerns into the model, calls one
// model operation and copies the model's view back; no settings logic lives
// here. Widgets carry object names (the model's control names) so that tests
// find them.
#pragma once

#include <QDialog>
#include <QFont>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

#include "config_utility/model/expression_probe.h"
#include "config_utility/model/session_front.h"
#include "config_utility/model/settings_session.h"
#include "config_utility/qt/settings_location.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QGridLayout;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSplitter;
class QTabWidget;

namespace qm::utility::qt {

// Message boxes and pickers. The program uses DialogPrompter; tests record.
class Prompter {
 public:
  virtual ~Prompter() = default;
  // A warning titled "QuarrymarkConfig".
  virtual void Warn(QWidget* parent, const QString& text) = 0;
  // A plain message (notices of the expression test, the About box).
  virtual void Inform(QWidget* parent, const QString& title, const QString& text) = 0;
  // A question with the given buttons; the index of the button taken, or -1
  // when the box was closed.
  virtual int Ask(QWidget* parent, const QString& text, const QStringList& buttons) = 0;
  // A folder, or empty when the user cancelled.
  virtual QString ChooseFolder(QWidget* parent, const QString& title, const QString& start) = 0;
  virtual std::optional<QFont> ChooseFont(QWidget* parent, const QFont& current) = 0;
};

class DialogPrompter : public Prompter {
 public:
  void Warn(QWidget* parent, const QString& text) override;
  void Inform(QWidget* parent, const QString& title, const QString& text) override;
  int Ask(QWidget* parent, const QString& text, const QStringList& buttons) override;
  QString ChooseFolder(QWidget* parent, const QString& title, const QString& start) override;
  std::optional<QFont> ChooseFont(QWidget* parent, const QFont& current) override;
};

// The editor font a "font" value describes, and the value of a font. Sizes
// are in pixels (negative heights, as stored); weights use the same 100..900
// scale.
QFont QFontOfStyle(const FontStyle& style, const QFont& fallback);
FontStyle StyleOfQFont(const QFont& font, int logicalDpi);

class SettingsWindow : public QDialog, public SessionFront {
  Q_OBJECT

 public:
  // run, tables and prompter must outlive the window.
  SettingsWindow(UtilityRun* run, const CodePageTables* tables, Prompter* prompter,
                 QWidget* parent = nullptr);
  ~SettingsWindow() override;

  // Loads the file and fills the window. False when it cannot be loaded
  // (the load message has been shown; EndCode() is 1).
  bool Open(const QString& path);
  // Loads the sample settings; OK and Apply write to savePath.
  bool OpenFromSample(const QString& samplePath, const QString& savePath);

  bool Ended() const { return ended_; }
  int EndCode() const { return endCode_; }
  SettingsSession& Session() { return *session_; }

  // Escape and the window's close button act as Cancel.
  void reject() override;

 private:
  void Build();
  QWidget* BuildFieldPage();
  QGroupBox* BuildFieldList(QWidget* page);
  QHBoxLayout* BuildExpressionRow(QWidget* page);
  QHBoxLayout* BuildNameRow(QWidget* page);
  QGroupBox* BuildTypeGroup(QWidget* page);
  QGroupBox* BuildFlagGroup(QWidget* page);
  void BuildReplaceBox(QWidget* page);
  QHBoxLayout* BuildTestLine(QWidget* page);
  QWidget* BuildOptionsPage();
  void BuildOptionWidgets(QWidget* page);
  void AddOptionGroups(QWidget* page, QGridLayout* grid);
  QGroupBox* BuildOitGroup(QWidget* page);
  QGroupBox* BuildFilterGroup(QWidget* page);
  bool FillAfterOpen();
  void WarnLoadFailed(const QString& path);
  void End(int code) override;

  // Handlers.
  void FieldCountChosen(int index);
  void FieldChosen(int row);
  void ExpressionEdited();
  void StatusClicked();
  void RecheckExpression();
  void QuickInsert(int which);
  void TestCommand(int which);
  void FieldDefaults();
  void ReloadField();
  void FilterTyped(const QString& text);
  void FilterChosen(int index);
  void FilterKindClicked(int which);
  void FilterAddOrRemove(bool add);
  void OitRadioClicked(int radio);
  void BrowseFolder();
  void ChooseUserFont();
  void HelpClicked(bool regex);
  void About();
  void Close(bool reloadIni);

  // Copies between widgets and model.
  SettingsSession& FrontSession() override { return *session_; }
  void PullEditor() override;
  void PullOptions() override;
  void PullWindowState() override;
  void PushEditor(const EditorEffects& effects, bool selections) override;
  void PushStatus();
  void RefillFieldList() override;
  void FillOptionLists() override;
  void PushFilters(bool refillList) override;
  void PushOitPaths() override;
  void ApplyHelpChange(const HelpPaneChange& change) override;
  void PushHelpButtons() override;
  void WarnSaveFailed(const std::u16string& text) override;
  void SetEditorFont(const QFont& font);

  UtilityRun* run_;
  const CodePageTables* tables_;
  Prompter* prompter_;
  std::unique_ptr<SettingsSession> session_;
  bool ended_ = false;
  int endCode_ = 0;

  // Widgets (owned by the window).
  QSplitter* splitter_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  QComboBox* fieldCount_ = nullptr;
  QListWidget* fieldList_ = nullptr;
  QPlainTextEdit* expression_ = nullptr;
  QPushButton* quick_[3] = {};
  QPushButton* status_ = nullptr;
  QPushButton* fontButton_ = nullptr;
  QPlainTextEdit* name_ = nullptr;
  QButtonGroup* types_ = nullptr;
  std::vector<QCheckBox*> flags_;  // bit 0..6
  QLabel* replaceLabel_ = nullptr;
  QPlainTextEdit* replace_ = nullptr;
  QPushButton* testToggle_ = nullptr;
  QPushButton* testStart_ = nullptr;
  QPushButton* testNext_ = nullptr;
  QPushButton* groupPrev_ = nullptr;
  QPushButton* groupNext_ = nullptr;
  QPushButton* fieldDefaults_ = nullptr;
  QPushButton* reloadField_ = nullptr;

  std::vector<QCheckBox*> optionChecks_;  // in the order of kOptionChecks
  std::vector<QComboBox*> optionCombos_;  // editable boxes, order of kOptionCombos
  std::vector<QComboBox*> optionLists_;   // plain lists, order of kOptionLists
  QCheckBox* caseSensitive_ = nullptr;
  QRadioButton* oitRadios_[3] = {};
  QLineEdit* oitPath_ = nullptr;
  QPushButton* oitBrowse_ = nullptr;
  QComboBox* filterExt_ = nullptr;
  QRadioButton* filterXdoc_ = nullptr;
  QRadioButton* filterOit_ = nullptr;
  QCheckBox* filterIFilter_ = nullptr;
  QPushButton* filterAdd_ = nullptr;
  QPushButton* filterRemove_ = nullptr;

  QPushButton* regexHelp_ = nullptr;
  QPushButton* replaceHelp_ = nullptr;
  QPlainTextEdit* helpPane_ = nullptr;
  QDialogButtonBox* buttons_ = nullptr;

  int paneWidth_ = 0;  // what the open help pane added to the window's width
  QFont fixedFont_;    // the system's fixed-width font: the editors' standard font
};

// What the program opens in a folder, given what ExamineFolder found there:
// its settings file as it is, or, for a missing or write-protected one and
// when the user agrees, the sample settings with a new file to save them as
// (in the folder, or in the per-user folder), or the user's own settings.
// quit when the user declined or nothing can be opened.
struct OpenPlan {
  QString load;
  QString saveAs;  // empty: the loaded file itself
  bool quit = false;
};
OpenPlan PlanOpening(const QString& folder, const SettingsTarget& target,
                     const QString& programFolder, const QString& userFolder, Prompter* prompter);

// The program on a folder chosen by ChooseFolder: offers the sample settings
// for a missing or unwritable file and runs the window for as long as it
// ends with "Reload INI". Returns the process exit code: 0 after OK or
// Cancel, 1 when no settings could be loaded or the user quit at the offer.
int RunProgram(const QString& folder, const QString& programFolder, Prompter* prompter);

}  // namespace qm::utility::qt
