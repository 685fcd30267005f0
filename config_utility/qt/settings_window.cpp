// The settings window over SettingsSession.
#include "config_utility/qt/settings_window.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontDialog>
#include <QFontInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>

#include "config_utility/help/help_texts.h"
#include "config_utility/model/option_help.h"
#include "config_utility/model/text.h"
#include "config_utility/qt/editor_text.h"
#include "config_utility/qt/settings_location.h"
#include "settings_format/settings_format.h"

namespace qm::utility::qt {

namespace {

namespace sf = settings;

constexpr char kAboutTitle[] = "About quarrymark-config";
constexpr char kAboutText[] =
    "quarrymark-config, the settings program of the Quarrymark content plugin\n\n"
    "Expressions are checked with the \"Perl Compatible Regular Expressions\" (PCRE) "
    "library 8.39, https://www.pcre.org/";
constexpr int kFilterLimit = 255;
constexpr int kHelpPaneColumns = 80;  // the help texts' widest lines

QString Q(const std::u16string& text) { return ToQString(text); }
QString Q(const char16_t* text) { return ToQString(std::u16string(text)); }

struct CheckBinding {
  bool GlobalOptionsView::*member;
  const char* caption;
  const char* key;
};
const CheckBinding kOptionChecks[] = {
    {&GlobalOptionsView::modFieldName, "&Mod field names", sf::kModFieldName.name},
    {&GlobalOptionsView::sortFields, "&Sort field names", sf::kSortFields.name},
    {&GlobalOptionsView::regex1Extern, "Regex&1 external file", sf::kRegex1Extern.name},
    {&GlobalOptionsView::matchAllForErrors, "Match-all for e&rrors", sf::kMatchAllForErrors.name},
    {&GlobalOptionsView::logErrors, "&Log errors", sf::kLogErrors.name},
    {&GlobalOptionsView::unicodeZerosValid, "UTF-16 &zeros valid", sf::kUnicodeZerosValid.name},
    {&GlobalOptionsView::normalSearchForFilterFail, "Std. searc&h for filter fail",
     sf::kNormalSearchForFilterFail.name},
    {&GlobalOptionsView::clearCacheOnReread, "Clear on r&efresh", sf::kClearCacheOnReread.name},
    {&GlobalOptionsView::oitUnknownFormatsAsText, "Fulltext search: unknown formats as &text",
     sf::kOitFulltextTreatUnknownFileFormatAsText.name},
};
enum CheckIndex { kClearCacheCheck = 7, kOitUnknownCheck = 8 };

struct ComboBinding {
  EditableCombo GlobalOptionsView::*member;
  const char* name;
  const char* key;
};
const ComboBinding kOptionCombos[] = {
    {&GlobalOptionsView::fileMemory, "fileMemory", sf::kFileMemory.name},
    {&GlobalOptionsView::onDemandLimit, "onDemandLimit", sf::kOnDemandLimit.name},
    {&GlobalOptionsView::globalFileSizeLimit, "globalFileSizeLimit", sf::kGlobalFileSizeLimit.name},
    {&GlobalOptionsView::randomLength, "randomLength", sf::kRandomLength.name},
    {&GlobalOptionsView::converterTimeLimit, "converterTimeLimit", sf::kConverterTimeLimit.name},
};

struct ListBinding {
  int GlobalOptionsView::*member;
  const std::vector<std::u16string>* items;
  const char* name;
  const char* key;
};
const ListBinding kOptionLists[] = {
    {&GlobalOptionsView::analyzeBufferIndex, &kAnalyzeBufferItems, "analyzeBuffer",
     sf::kAnalyzeBuffer.name},
    {&GlobalOptionsView::resultCacheIndex, &kResultCacheItems, "resultCache",
     sf::kResultCache.name},
    {&GlobalOptionsView::randomLoopsIndex, &kRandomLoopsItems, "randomLoops",
     sf::kRandomLoops.name},
};

// Type buttons in the Windows dialog's order, row by row.
const int kTypeOrder[] = {-1, 0, 1, 2, 3, 4, 5, 6, 7};

const char* const kTestButtonNames[] = {"testToggle", "testStart", "testNext", "groupPrev",
                                        "groupNext"};

// A caption of the model with a keyboard mnemonic where it has one.
QString WithMnemonic(const std::u16string& caption) {
  static const std::pair<const char16_t*, const char*> kMnemonics[] = {
      {u"Start", "&Start"},
      {u"Stop", "&Stop"},
      {u"Replace String", "&Replace String"},
      {u"Test String", "Test St&ring"},
      {u"RegEx Help>", "Re&gEx Help >"},
      {u"RegEx Help<", "Re&gEx Help <"},
      {u"Replace Help>", "Re&place Help >"},
      {u"Replace Help<", "Re&place Help <"}};
  for (const auto& m : kMnemonics) {
    if (caption == m.first) return QString::fromLatin1(m.second);
  }
  QString text = Q(caption);
  text.replace(QLatin1Char('&'), QStringLiteral("&&"));
  return text;
}

void SetBoxText(QPlainTextEdit* box, const std::u16string& text) {
  if (BoxText(box) != text) box->setPlainText(ToDisplay(text));
}

void SetSelection(QPlainTextEdit* box, const std::u16string& text, TextSelection selection) {
  QTextCursor cursor = box->textCursor();
  if (selection.start < 0) {
    cursor.clearSelection();
  } else {
    const int length = static_cast<int>(box->document()->characterCount()) - 1;
    const int anchor = std::clamp(DisplayOffset(text, selection.start), 0, length);
    const int position = std::clamp(DisplayOffset(text, selection.end), 0, length);
    cursor.setPosition(anchor);
    cursor.setPosition(position, QTextCursor::KeepAnchor);
  }
  box->setTextCursor(cursor);
}

TextSelection SelectionOf(const QPlainTextEdit* box, const std::u16string& text) {
  const QTextCursor cursor = box->textCursor();
  return {ModelOffset(text, cursor.selectionStart()), ModelOffset(text, cursor.selectionEnd())};
}

QPushButton* Button(const QString& caption, const char* name, QWidget* parent) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(QLatin1String(name));
  button->setAutoDefault(false);
  return button;
}

QPlainTextEdit* TextBox(const char* name, QWidget* parent) {
  auto* box = new QPlainTextEdit(parent);
  box->setObjectName(QLatin1String(name));
  box->setTabChangesFocus(true);
  return box;
}

}  // namespace

// ---------------------------------------------------------------------------
// Prompter
// ---------------------------------------------------------------------------
void DialogPrompter::Warn(QWidget* parent, const QString& text) {
  QMessageBox::warning(parent, Q(kMessageTitle), text);
}

void DialogPrompter::Inform(QWidget* parent, const QString& title, const QString& text) {
  QMessageBox::information(parent, title, text);
}

int DialogPrompter::Ask(QWidget* parent, const QString& text, const QStringList& buttons) {
  QMessageBox box(QMessageBox::Warning, Q(kMessageTitle), text, QMessageBox::NoButton, parent);
  std::vector<QAbstractButton*> added;
  for (int i = 0; i < buttons.size(); ++i) {
    const auto role = i == 0                    ? QMessageBox::AcceptRole
                      : i + 1 == buttons.size() ? QMessageBox::RejectRole
                                                : QMessageBox::ActionRole;
    added.push_back(box.addButton(buttons[i], role));
  }
  box.exec();
  const auto found = std::find(added.begin(), added.end(), box.clickedButton());
  return found == added.end() ? -1 : static_cast<int>(found - added.begin());
}

QString DialogPrompter::ChooseFolder(QWidget* parent, const QString& title, const QString& start) {
  return QFileDialog::getExistingDirectory(parent, title, start);
}

std::optional<QFont> DialogPrompter::ChooseFont(QWidget* parent, const QFont& current) {
  bool ok = false;
  const QFont font = QFontDialog::getFont(&ok, current, parent);
  if (!ok) return std::nullopt;
  return font;
}

// ---------------------------------------------------------------------------
// Fonts
// ---------------------------------------------------------------------------
QFont QFontOfStyle(const FontStyle& style, const QFont& fallback) {
  if (!style.HasFace()) return fallback;
  QFont font(Q(style.faceName));
  if (style.height != 0) font.setPixelSize(std::abs(style.height));
  if (style.weight > 0)
    font.setWeight(static_cast<QFont::Weight>(std::clamp(style.weight, 100, 900)));
  font.setItalic(style.italic != 0);
  font.setUnderline(style.underline != 0);
  font.setStrikeOut(style.strikeOut != 0);
  return font;
}

FontStyle StyleOfQFont(const QFont& font, int logicalDpi) {
  FontStyle style;
  const int pixels = font.pixelSize() > 0
                         ? font.pixelSize()
                         : static_cast<int>(font.pointSizeF() * logicalDpi / 72.0 + 0.5);
  style.height = -pixels;
  style.weight = font.weight();
  style.italic = font.italic() ? 1 : 0;
  style.underline = font.underline() ? 1 : 0;
  style.strikeOut = font.strikeOut() ? 1 : 0;
  style.pitchAndFamily = QFontInfo(font).fixedPitch() ? 49 : 0;  // fixed pitch, modern family
  style.faceName = FromQString(font.family());
  if (style.faceName.size() > kMaxFaceNameLength) style.faceName.clear();
  return style;
}

// ---------------------------------------------------------------------------
// Building the window
// ---------------------------------------------------------------------------
SettingsWindow::SettingsWindow(UtilityRun* run, const CodePageTables* tables, Prompter* prompter,
                               QWidget* parent)
    : QDialog(parent), run_(run), tables_(tables), prompter_(prompter) {
  fixedFont_ = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  Build();
}

SettingsWindow::~SettingsWindow() = default;

void SettingsWindow::Build() {
  setObjectName(QStringLiteral("settingsWindow"));
  setWindowTitle(Q(kMessageTitle));
  setSizeGripEnabled(true);

  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(QStringLiteral("tabs"));
  tabs_->addTab(BuildFieldPage(), QStringLiteral("&Fields"));
  tabs_->addTab(BuildOptionsPage(), QStringLiteral("Optio&ns"));

  auto* about = Button(QStringLiteral("A&bout"), "about", this);
  auto* reloadIni = Button(QStringLiteral("Reload &INI"), "reloadIni", this);
  reloadIni->setToolTip(QStringLiteral("Reads the settings file again; edits not saved are lost"));
  regexHelp_ = Button(QString(), "regexHelp", this);
  replaceHelp_ = Button(QString(), "replaceHelp", this);
  regexHelp_->setToolTip(QStringLiteral("The expression syntax (PCRE 8.39) beside the editor"));
  replaceHelp_->setToolTip(QStringLiteral("The replace string language beside the editor"));
  buttons_ = new QDialogButtonBox(
      QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
  buttons_->setObjectName(QStringLiteral("buttons"));
  buttons_->button(QDialogButtonBox::Ok)
      ->setToolTip(QStringLiteral("Writes the settings file and closes"));
  buttons_->button(QDialogButtonBox::Apply)->setToolTip(QStringLiteral("Writes the settings file"));
  buttons_->button(QDialogButtonBox::Cancel)
      ->setToolTip(QStringLiteral("Closes without writing the settings"));

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(about);
  bottom->addWidget(reloadIni);
  bottom->addStretch(1);
  bottom->addWidget(regexHelp_);
  bottom->addWidget(replaceHelp_);
  bottom->addSpacing(12);
  bottom->addWidget(buttons_);

  auto* main = new QWidget(this);
  auto* mainLayout = new QVBoxLayout(main);
  mainLayout->setContentsMargins(0, 0, 0, 0);
  mainLayout->addWidget(tabs_, 1);
  mainLayout->addLayout(bottom);

  helpPane_ = new QPlainTextEdit(this);
  helpPane_->setObjectName(QStringLiteral("helpPane"));
  helpPane_->setReadOnly(true);
  helpPane_->setLineWrapMode(QPlainTextEdit::NoWrap);
  helpPane_->hide();

  splitter_ = new QSplitter(Qt::Horizontal, this);
  splitter_->addWidget(main);
  splitter_->addWidget(helpPane_);
  splitter_->setStretchFactor(0, 1);  // a wider window widens the editor, not the help
  splitter_->setStretchFactor(1, 0);
  splitter_->setChildrenCollapsible(false);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(splitter_);

  connect(about, &QPushButton::clicked, this, [this] { About(); });
  connect(reloadIni, &QPushButton::clicked, this, [this] { Close(true); });
  connect(regexHelp_, &QPushButton::clicked, this, [this] { HelpClicked(true); });
  connect(replaceHelp_, &QPushButton::clicked, this, [this] { HelpClicked(false); });
  connect(buttons_->button(QDialogButtonBox::Ok), &QPushButton::clicked, this,
          [this] { SaveSession(false); });
  connect(buttons_->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
          [this] { SaveSession(true); });
  connect(buttons_->button(QDialogButtonBox::Cancel), &QPushButton::clicked, this,
          [this] { Close(false); });
}

// The field list and its count of active fields.
QGroupBox* SettingsWindow::BuildFieldList(QWidget* page) {
  auto* fieldsGroup = new QGroupBox(QStringLiteral("Fields"), page);
  fieldCount_ = new QComboBox(fieldsGroup);
  fieldCount_->setObjectName(QStringLiteral("fieldCount"));
  fieldCount_->setToolTip(Q(FieldCountTooltip()));
  for (const auto& item : FieldCountItems()) fieldCount_->addItem(Q(item));
  auto* countLabel = new QLabel(QStringLiteral("Acti&ve fields:"), fieldsGroup);
  countLabel->setBuddy(fieldCount_);
  fieldList_ = new QListWidget(fieldsGroup);
  fieldList_->setObjectName(QStringLiteral("fieldList"));
  fieldList_->setToolTip(QStringLiteral("All 999 field slots; --> marks the active ones"));
  auto* countRow = new QHBoxLayout;
  countRow->addWidget(countLabel);
  countRow->addWidget(fieldCount_, 1);
  auto* fieldsLayout = new QVBoxLayout(fieldsGroup);
  fieldsLayout->addLayout(countRow);
  fieldsLayout->addWidget(fieldList_, 1);
  return fieldsGroup;
}

// The expression box with its caption and quick-insert buttons above it,
// and the compile status.
QHBoxLayout* SettingsWindow::BuildExpressionRow(QWidget* page) {
  expression_ = TextBox("expression", page);
  auto* expressionLabel = new QLabel(QStringLiteral("Regular e&xpression"), page);
  expressionLabel->setBuddy(expression_);
  const char* quickNames[] = {"quickGroup", "quickAny", "quickQuote"};
  const char* quickCaptions[] = {"( ... )", ".* ... .*", "\\Q...\\E"};
  const char* quickTips[] = {"Puts ( ) around the selection: a group",
                             "Puts .* before and after the selection",
                             "Puts \\Q \\E around the selection: taken literally"};
  auto* expressionRow = new QHBoxLayout;
  expressionRow->addWidget(expressionLabel);
  expressionRow->addStretch(1);
  for (int i = 0; i < 3; ++i) {
    quick_[i] = Button(
        QString::fromLatin1(quickCaptions[i]).replace(QLatin1Char('&'), QStringLiteral("&&")),
        quickNames[i], page);
    quick_[i]->setToolTip(QLatin1String(quickTips[i]));
    expressionRow->addWidget(quick_[i]);
    connect(quick_[i], &QPushButton::clicked, this, [this, i] { QuickInsert(i); });
  }
  status_ = Button(QString(), "status", page);
  status_->setToolTip(
      QStringLiteral("How the expression compiles for ANSI, UTF-8 and UTF-16 text. For an "
                     "error, a click selects the character at the error's position."));
  return expressionRow;
}

// The name box's caption row, with the font button.
QHBoxLayout* SettingsWindow::BuildNameRow(QWidget* page) {
  name_ = TextBox("name", page);
  name_->setLineWrapMode(QPlainTextEdit::NoWrap);
  name_->setToolTip(QStringLiteral("The column name in the file manager (regexNname)"));
  auto* nameLabel = new QLabel(QStringLiteral("Field na&me"), page);
  nameLabel->setBuddy(name_);
  fontButton_ = Button(QStringLiteral("AaBbYyZz"), "font", page);
  fontButton_->setToolTip(QStringLiteral("The font of the expression, name, test and help texts"));
  auto* nameRow = new QHBoxLayout;
  nameRow->addWidget(nameLabel);
  nameRow->addStretch(1);
  nameRow->addWidget(fontButton_);
  return nameRow;
}

// The field types as radio buttons in three columns.
QGroupBox* SettingsWindow::BuildTypeGroup(QWidget* page) {
  auto* typeGroup = new QGroupBox(QStringLiteral("Field &type"), page);
  types_ = new QButtonGroup(this);
  auto* typeGrid = new QGridLayout(typeGroup);
  for (int i = 0; i < 9; ++i) {
    const int type = kTypeOrder[i];
    auto* radio = new QRadioButton(
        QLatin1String(sf::FieldTypeCaption(static_cast<sf::FieldType>(type))), typeGroup);
    radio->setObjectName(QStringLiteral("type%1").arg(type));
    radio->setToolTip(Q(FieldTypeTooltip(type)));
    types_->addButton(radio, type + 1);  // ids from 0: -1 would ask for an automatic one
    typeGrid->addWidget(radio, i / 3, i % 3);
  }
  return typeGroup;
}

// The field flags as check boxes in columns of four.
QGroupBox* SettingsWindow::BuildFlagGroup(QWidget* page) {
  auto* flagGroup = new QGroupBox(QStringLiteral("Fi&eld flags / options"), page);
  auto* flagGrid = new QGridLayout(flagGroup);
  for (int bit = 0; bit < 7; ++bit) {
    auto* box = new QCheckBox(QLatin1String(sf::FieldFlagCaption(1u << bit)), flagGroup);
    box->setObjectName(QStringLiteral("flag%1").arg(1u << bit));
    box->setToolTip(Q(FieldFlagTooltip(1u << bit)));
    flags_.push_back(box);
    flagGrid->addWidget(box, bit % 4, bit / 4);
  }
  // The 8-bit form and the Unicode properties decide how the expression
  // compiles: the status follows them at once.
  for (const int bit : {0, 1}) {
    connect(flags_[bit], &QCheckBox::clicked, this, [this] { RecheckExpression(); });
  }
  return flagGroup;
}

// The replace string (or test text) box and its caption.
void SettingsWindow::BuildReplaceBox(QWidget* page) {
  replace_ = TextBox("replace", page);
  replace_->setLineWrapMode(QPlainTextEdit::NoWrap);
  replaceLabel_ = new QLabel(page);
  replaceLabel_->setObjectName(QStringLiteral("replaceLabel"));
  replaceLabel_->setBuddy(replace_);
  replace_->setToolTip(QStringLiteral(
      "The replace string of string fields (regexNreplace; default $0\\x20), or the text the "
      "expression test runs over"));
}

// The expression test's buttons, then the field's defaults and reload.
QHBoxLayout* SettingsWindow::BuildTestLine(QWidget* page) {
  auto* testGroup = new QGroupBox(QStringLiteral("Expression test"), page);
  auto* testRow = new QHBoxLayout(testGroup);
  QPushButton** testButtons[] = {&testToggle_, &testStart_, &testNext_, &groupPrev_, &groupNext_};
  const char* testTips[] = {
      "Enters the test (the box below then holds the test text) and leaves it; during a run: "
      "the previous match",
      "Runs the expression over the test text, or stops the run", "The next match",
      "The previous group of the match", "The next group of the match"};
  for (int i = 0; i < 5; ++i) {
    *testButtons[i] = Button(QString(), kTestButtonNames[i], testGroup);
    (*testButtons[i])->setToolTip(QLatin1String(testTips[i]));
    testRow->addWidget(*testButtons[i]);
    connect(*testButtons[i], &QPushButton::clicked, this, [this, i] { TestCommand(i); });
  }
  groupPrev_->setText(QStringLiteral("(-)"));
  groupNext_->setText(QStringLiteral("(+)"));
  fieldDefaults_ = Button(QStringLiteral("Field &defaults"), "fieldDefaults", page);
  fieldDefaults_->setToolTip(
      QStringLiteral("Expression .*, replace $0\\x20, no name, Boolean, no flags"));
  reloadField_ = Button(QStringLiteral("Reload fie&ld"), "reloadField", page);
  reloadField_->setToolTip(QStringLiteral("The field as last read or applied"));
  auto* testLine = new QHBoxLayout;
  testLine->addWidget(testGroup);
  testLine->addStretch(1);
  testLine->addWidget(fieldDefaults_);
  testLine->addWidget(reloadField_);
  return testLine;
}

QWidget* SettingsWindow::BuildFieldPage() {
  auto* page = new QWidget;
  QGroupBox* fieldsGroup = BuildFieldList(page);
  QHBoxLayout* expressionRow = BuildExpressionRow(page);
  QHBoxLayout* nameRow = BuildNameRow(page);
  QGroupBox* typeGroup = BuildTypeGroup(page);
  QGroupBox* flagGroup = BuildFlagGroup(page);
  BuildReplaceBox(page);
  QHBoxLayout* testLine = BuildTestLine(page);

  auto* editor = new QVBoxLayout;
  editor->addLayout(expressionRow);
  editor->addWidget(expression_, 2);
  editor->addWidget(status_);
  editor->addLayout(nameRow);
  editor->addWidget(name_, 0);
  editor->addWidget(typeGroup);
  editor->addWidget(flagGroup);
  editor->addWidget(replaceLabel_);
  editor->addWidget(replace_, 3);
  editor->addLayout(testLine);

  auto* layout = new QHBoxLayout(page);
  layout->addWidget(fieldsGroup, 1);
  layout->addLayout(editor, 3);

  // A name box of about two lines.
  name_->setFixedHeight(
      name_->fontMetrics().lineSpacing() * 2 +
      2 * (name_->frameWidth() + static_cast<int>(name_->document()->documentMargin())) + 4);
  expression_->setMinimumHeight(expression_->fontMetrics().lineSpacing() * 3);

  // Tab follows the page from top left to bottom right.
  std::vector<QWidget*> order = {fieldCount_, fieldList_, quick_[0],   quick_[1], quick_[2],
                                 expression_, status_,    fontButton_, name_};
  for (QAbstractButton* type : types_->buttons()) order.push_back(type);
  for (QCheckBox* box : flags_) order.push_back(box);
  order.insert(order.end(), {replace_, testToggle_, testStart_, testNext_, groupPrev_, groupNext_,
                             fieldDefaults_, reloadField_});
  for (std::size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);

  connect(fieldCount_, qOverload<int>(&QComboBox::activated), this,
          [this](int index) { FieldCountChosen(index); });
  connect(fieldList_, &QListWidget::currentRowChanged, this, [this](int row) { FieldChosen(row); });
  connect(expression_, &QPlainTextEdit::textChanged, this, [this] { ExpressionEdited(); });
  connect(status_, &QPushButton::clicked, this, [this] { StatusClicked(); });
  connect(fontButton_, &QPushButton::clicked, this, [this] { ChooseUserFont(); });
  connect(fieldDefaults_, &QPushButton::clicked, this, [this] { FieldDefaults(); });
  connect(reloadField_, &QPushButton::clicked, this, [this] { ReloadField(); });
  return page;
}

// The option widgets that the groups below arrange, in the orders of the
// model's option tables.
void SettingsWindow::BuildOptionWidgets(QWidget* page) {
  for (const auto& b : kOptionChecks) {
    auto* box = new QCheckBox(QLatin1String(b.caption), page);
    box->setObjectName(QLatin1String(b.key));
    box->setToolTip(Q(OptionTooltip(b.key)));
    optionChecks_.push_back(box);
  }
  for (const auto& b : kOptionCombos) {
    auto* combo = new QComboBox(page);
    combo->setObjectName(QLatin1String(b.name));
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setCompleter(nullptr);  // what is typed is what is stored ("6" must not become "60")
    combo->setToolTip(Q(OptionTooltip(b.key)));
    optionCombos_.push_back(combo);
  }
  for (const auto& b : kOptionLists) {
    auto* combo = new QComboBox(page);
    combo->setObjectName(QLatin1String(b.name));
    for (const auto& item : *b.items) combo->addItem(Q(item));
    combo->setToolTip(Q(OptionTooltip(b.key)));
    optionLists_.push_back(combo);
  }
  caseSensitive_ = new QCheckBox(QStringLiteral("Case sensiti&ve default"), page);
  caseSensitive_->setObjectName(QStringLiteral("caseSensitive"));
  caseSensitive_->setToolTip(Q(OptionTooltip(sf::kCaseSensitiveDefault.name)));
  connect(caseSensitive_, &QCheckBox::clicked, this, [this] { RecheckExpression(); });
}

// The groups of plain options: memory, size limits, the result cache,
// random strings and the global options.
void SettingsWindow::AddOptionGroups(QWidget* page, QGridLayout* grid) {
  auto row = [](QFormLayout* form, const QString& label, QWidget* field, const QString& unit) {
    auto* line = new QHBoxLayout;
    line->addWidget(field, 1);
    if (!unit.isEmpty()) line->addWidget(new QLabel(unit));
    auto* caption = new QLabel(label);
    caption->setBuddy(field);
    caption->setToolTip(field->toolTip());
    form->addRow(caption, line);
  };

  auto* memory = new QGroupBox(QStringLiteral("Memory"), page);
  auto* memoryForm = new QFormLayout(memory);
  row(memoryForm, QStringLiteral("Read memor&y"), optionCombos_[0], QStringLiteral("MB"));
  row(memoryForm, QStringLiteral("Encoding chec&k"), optionLists_[0], QString());

  auto* limits = new QGroupBox(QStringLiteral("File size limits"), page);
  auto* limitsForm = new QFormLayout(limits);
  row(limitsForm, QStringLiteral("On &demand"), optionCombos_[1], QStringLiteral("MB"));
  row(limitsForm, QStringLiteral("Global"), optionCombos_[2], QStringLiteral("MB"));

  auto* cache = new QGroupBox(QStringLiteral("Result cache"), page);
  auto* cacheForm = new QFormLayout(cache);
  row(cacheForm, QStringLiteral("Entries"), optionLists_[1], QString());
  cacheForm->addRow(optionChecks_[kClearCacheCheck]);

  auto* random = new QGroupBox(QStringLiteral("Random strings"), page);
  auto* randomForm = new QFormLayout(random);
  row(randomForm, QStringLiteral("Length"), optionCombos_[3], QStringLiteral("characters"));
  row(randomForm, QStringLiteral("Loops"), optionLists_[2], QString());

  auto* global = new QGroupBox(QStringLiteral("Global options"), page);
  auto* globalGrid = new QGridLayout(global);
  for (int i = 0; i < 7; ++i) globalGrid->addWidget(optionChecks_[i], i % 4, i / 4);
  globalGrid->addWidget(caseSensitive_, 3, 1);
  grid->addWidget(memory, 0, 0);
  grid->addWidget(limits, 0, 1);
  grid->addWidget(cache, 1, 0);
  grid->addWidget(random, 1, 1);
  grid->addWidget(global, 2, 0, 1, 2);
}

// The Outside In paths: one edit box for the setting its radio button
// chooses.
QGroupBox* SettingsWindow::BuildOitGroup(QWidget* page) {
  auto* oit = new QGroupBox(QStringLiteral("Oracle Outside In Content Access filter"), page);
  const char* oitCaptions[] = {"&32-bit library path", "&64-bit library path",
                               "Fulltext search excl&ude"};
  const char* oitKeys[] = {sf::kOitDllPath32, sf::kOitDllPath64, sf::kOitFulltextExclude};
  auto* oitRadios = new QButtonGroup(this);
  auto* oitGrid = new QGridLayout(oit);
  for (int i = 0; i < 3; ++i) {
    oitRadios_[i] = new QRadioButton(QLatin1String(oitCaptions[i]), oit);
    oitRadios_[i]->setObjectName(QLatin1String(oitKeys[i]));
    oitRadios_[i]->setToolTip(Q(OptionTooltip(oitKeys[i])));
    oitRadios->addButton(oitRadios_[i], i);
    oitGrid->addWidget(oitRadios_[i], i, 0);
    connect(oitRadios_[i], &QRadioButton::clicked, this, [this, i] { OitRadioClicked(i); });
  }
  oitPath_ = new QLineEdit(oit);
  oitPath_->setObjectName(QStringLiteral("oitPath"));
  oitPath_->setToolTip(QStringLiteral("The value of the chosen setting"));
  oitBrowse_ = Button(QStringLiteral("Bro&wse..."), "oitBrowse", oit);
  auto* pathRow = new QHBoxLayout;
  pathRow->addWidget(oitPath_, 1);
  pathRow->addWidget(oitBrowse_);
  oitGrid->addLayout(pathRow, 0, 1);
  oitGrid->addWidget(optionChecks_[kOitUnknownCheck], 1, 1);
  oitGrid->setColumnStretch(1, 1);
  connect(oitBrowse_, &QPushButton::clicked, this, [this] { BrowseFolder(); });
  return oit;
}

// The filter extensions ([Quarrymark_filters]) and the converter's time
// limit.
QGroupBox* SettingsWindow::BuildFilterGroup(QWidget* page) {
  auto* filters = new QGroupBox(QStringLiteral("Filter extensions"), page);
  filterExt_ = new QComboBox(filters);
  filterExt_->setObjectName(QStringLiteral("filterExt"));
  filterExt_->setEditable(true);
  filterExt_->setInsertPolicy(QComboBox::NoInsert);
  filterExt_->setCompleter(nullptr);  // the typed text is the extension the buttons act on
  filterExt_->lineEdit()->setMaxLength(kFilterLimit);
  filterExt_->setToolTip(QStringLiteral(
      "An extension without the dot (? stands for any one character): its files are turned "
      "into text before they are searched. Stored in [Quarrymark_filters]."));
  auto* extLabel = new QLabel(QStringLiteral("Filter e&xtension"), filters);
  extLabel->setBuddy(filterExt_);
  filterXdoc_ = new QRadioButton(QStringLiteral("xdoc2txt converter"), filters);
  filterXdoc_->setObjectName(QStringLiteral("filterXdoc"));
  filterXdoc_->setToolTip(
      QStringLiteral("The converter program xdoc2txt beside the plugin (stored as xdoc)"));
  filterOit_ = new QRadioButton(QStringLiteral("Oracle Outside In Content Access"), filters);
  filterOit_->setObjectName(QStringLiteral("filterOit"));
  filterOit_->setToolTip(QStringLiteral("The Outside In libraries (stored as oit)"));
  filterIFilter_ = new QCheckBox(QStringLiteral("iFilter"), filters);
  filterIFilter_->setObjectName(QStringLiteral("filterIFilter"));
  filterIFilter_->setToolTip(QStringLiteral("The converter's -i option (stored as xdoc|i)"));
  filterAdd_ = Button(QStringLiteral("+"), "filterAdd", filters);
  filterAdd_->setToolTip(QStringLiteral("Adds the extension"));
  filterRemove_ = Button(QStringLiteral("-"), "filterRemove", filters);
  filterRemove_->setToolTip(QStringLiteral("Removes the extension"));
  auto* filterGrid = new QGridLayout(filters);
  filterGrid->addWidget(extLabel, 0, 0);
  filterGrid->addWidget(filterExt_, 0, 1, 1, 2);
  filterGrid->addWidget(filterXdoc_, 1, 1);
  filterGrid->addWidget(filterIFilter_, 1, 2);
  filterGrid->addWidget(filterOit_, 2, 1, 1, 2);
  auto* filterButtons = new QHBoxLayout;
  filterButtons->addWidget(filterAdd_);
  filterButtons->addWidget(filterRemove_);
  filterButtons->addStretch(1);
  filterGrid->addLayout(filterButtons, 3, 1, 1, 2);
  filterGrid->setColumnStretch(1, 1);
  // The converter's own option.
  auto* timeLabel = new QLabel(QStringLiteral("Converter time limit"), filters);
  timeLabel->setBuddy(optionCombos_[4]);
  timeLabel->setToolTip(optionCombos_[4]->toolTip());
  auto* timeRow = new QHBoxLayout;
  timeRow->addWidget(optionCombos_[4], 1);
  timeRow->addWidget(new QLabel(QStringLiteral("seconds (0: none)"), filters));
  filterGrid->addWidget(timeLabel, 4, 0);
  filterGrid->addLayout(timeRow, 4, 1, 1, 2);

  connect(filterExt_->lineEdit(), &QLineEdit::textEdited, this,
          [this](const QString& text) { FilterTyped(text); });
  connect(filterExt_, qOverload<int>(&QComboBox::activated), this,
          [this](int index) { FilterChosen(index); });
  connect(filterXdoc_, &QRadioButton::clicked, this, [this] { FilterKindClicked(0); });
  connect(filterOit_, &QRadioButton::clicked, this, [this] { FilterKindClicked(1); });
  connect(filterIFilter_, &QCheckBox::clicked, this, [this] { FilterKindClicked(2); });
  connect(filterAdd_, &QPushButton::clicked, this, [this] { FilterAddOrRemove(true); });
  connect(filterRemove_, &QPushButton::clicked, this, [this] { FilterAddOrRemove(false); });
  return filters;
}

// A dialog page of option groups; the widgets are made in the order Tab
// visits them.
QWidget* SettingsWindow::BuildOptionsPage() {
  auto* page = new QWidget;
  BuildOptionWidgets(page);
  auto* grid = new QGridLayout(page);
  AddOptionGroups(page, grid);
  grid->addWidget(BuildOitGroup(page), 3, 0, 1, 2);
  grid->addWidget(BuildFilterGroup(page), 4, 0, 1, 2);
  grid->setRowStretch(5, 1);
  return page;
}

// ---------------------------------------------------------------------------
// Opening and ending
// ---------------------------------------------------------------------------
bool SettingsWindow::Open(const QString& path) {
  session_ = std::make_unique<SettingsSession>(run_, tables_);
  const auto fontExists = [](const FontStyle& f) { return QFontDatabase::hasFamily(Q(f.faceName)); };
  if (!session_->Open(FromQString(path), fontExists)) {
    WarnLoadFailed(path);
    session_.reset();
    End(static_cast<int>(DialogEnd::kLoadFailed));
    return false;
  }
  return FillAfterOpen();
}

bool SettingsWindow::OpenFromSample(const QString& samplePath, const QString& savePath) {
  session_ = std::make_unique<SettingsSession>(run_, tables_);
  const auto fontExists = [](const FontStyle& f) { return QFontDatabase::hasFamily(Q(f.faceName)); };
  if (!session_->OpenFromSample(FromQString(samplePath), FromQString(savePath), fontExists)) {
    WarnLoadFailed(samplePath);
    session_.reset();
    End(static_cast<int>(DialogEnd::kLoadFailed));
    return false;
  }
  return FillAfterOpen();
}

// The load message, with the file and why it could not be read.
void SettingsWindow::WarnLoadFailed(const QString& path) {
  QString text = Q(kLoadFailedMessage);
  const std::string& problem = session_->settings.loadProblem;
  text += QStringLiteral("\n\n") + QDir::toNativeSeparators(path);
  if (!problem.empty()) text += QStringLiteral(": ") + QString::fromStdString(problem);
  prompter_->Warn(this, text);
}

bool SettingsWindow::FillAfterOpen() {
  pushing_ = true;
  setWindowTitle(Q(kMessageTitle) + QStringLiteral(" \u2014 ") + Q(session_->settings.path));
  FontStyle& font = session_->settings.font;
  SetEditorFont(QFontOfStyle(font, fixedFont_));
  expression_->document()->setMaximumBlockCount(0);
  RefillFieldList();
  fieldList_->setCurrentRow(session_->editor.CurrentField());
  PushOpenedSession();
  pushing_ = false;
  return true;
}

void SettingsWindow::End(int code) {
  endCode_ = code;
  ended_ = true;
  done(code);
}

void SettingsWindow::reject() {
  if (session_ && !ended_) {
    Close(false);
  } else {
    QDialog::reject();
  }
}

// ---------------------------------------------------------------------------
// Handlers
// ---------------------------------------------------------------------------
void SettingsWindow::FieldCountChosen(int index) {
  if (pushing_ || !session_) return;
  session_->editor.SelectFieldCount(index);
  RefillFieldList();
}

void SettingsWindow::FieldChosen(int row) {
  if (pushing_ || !session_ || row < 0) return;
  PullEditor();
  const EditorEffects effects = session_->editor.SwitchField(row);
  PushEditor(effects, false);
}

void SettingsWindow::ExpressionEdited() {
  if (pushing_ || !session_) return;
  PullEditor();
  session_->editor.CheckExpression();
  PushStatus();
}

void SettingsWindow::StatusClicked() {
  if (!session_) return;
  PullEditor();
  PushEditor(session_->editor.CheckExpression(true), true);
}

void SettingsWindow::RecheckExpression() {
  if (!session_) return;
  PullEditor();
  session_->editor.CheckExpression();
  PushStatus();
}

void SettingsWindow::QuickInsert(int which) {
  PullEditor();
  PushEditor(session_->editor.QuickInsert(which), true);
}

void SettingsWindow::TestCommand(int which) {
  PullEditor();
  FieldEditor& editor = session_->editor;
  EditorEffects effects;
  switch (which) {
    case 0:
      effects = editor.TestButton();
      break;
    case 1:
      effects = editor.StartButton();
      break;
    case 2:
      effects = editor.NextButton();
      break;
    case 3:
      effects = editor.PrevGroup();
      break;
    default:
      effects = editor.NextGroup();
      break;
  }
  PushEditor(effects, true);
  if (effects.notice != Notice::kNone) {
    prompter_->Inform(this, Q(kMessageTitle), Q(NoticeText(effects.notice)));
  }
}

void SettingsWindow::FieldDefaults() {
  PullEditor();
  PushEditor(session_->editor.FieldDefaults(), false);
}

void SettingsWindow::ReloadField() {
  PullEditor();
  PushEditor(session_->editor.ReloadField(), false);
}

void SettingsWindow::FilterTyped(const QString& text) {
  if (pushing_) return;
  session_->filters.text = FromQString(text);
  session_->filters.EditChanged();
  PushFilters(false);
}

void SettingsWindow::FilterChosen(int index) {
  if (pushing_) return;
  session_->filters.SelectItem(index);
  PushFilters(false);
}

void SettingsWindow::FilterKindClicked(int which) {
  FilterEditor& f = session_->filters;
  f.text = FromQString(filterExt_->currentText());
  if (which == 0) f.ClickXdoc();
  if (which == 1) f.ClickOit();
  if (which == 2) f.ClickIFilter();
  PushFilters(false);
}

void SettingsWindow::FilterAddOrRemove(bool add) {
  FilterEditor& f = session_->filters;
  f.text = FromQString(filterExt_->currentText());
  if (f.text.empty()) return;
  if (add) {
    f.Add();
  } else {
    f.Remove();
  }
  PushFilters(true);
  filterExt_->setFocus();
}

void SettingsWindow::OitRadioClicked(int radio) {
  session_->oitPaths.text = FromQString(oitPath_->text());
  session_->oitPaths.Select(radio);
  PushOitPaths();
}

void SettingsWindow::BrowseFolder() {
  const QString folder =
      prompter_->ChooseFolder(this, Q(session_->oitPaths.BrowseTitle()), oitPath_->text());
  if (!folder.isEmpty()) oitPath_->setText(QDir::toNativeSeparators(folder));
}

// The chosen font is the user's editor font until the next save decides
// about the "font" value (OK, Apply and Cancel all keep it).
void SettingsWindow::ChooseUserFont() {
  const QFont current = QFontOfStyle(session_->settings.font, fixedFont_);
  const std::optional<QFont> chosen = prompter_->ChooseFont(this, current);
  if (!chosen) return;
  const FontStyle style = StyleOfQFont(*chosen, logicalDpiY());
  if (!style.HasFace()) {
    prompter_->Warn(this, Q(kFontFailedMessage));
    return;
  }
  session_->settings.font = style;
  SetEditorFont(QFontOfStyle(style, fixedFont_));
}

void SettingsWindow::HelpClicked(bool regex) {
  HelpPane& help = session_->help;
  ApplyHelpChange(regex ? help.ClickRegexHelp() : help.ClickReplaceHelp());
  PushHelpButtons();
}

void SettingsWindow::About() {
  prompter_->Inform(this, QLatin1String(kAboutTitle), QLatin1String(kAboutText));
}

// OK and Apply: the widgets go into the model, which writes the file. A new
// file's folder (the per-user folder of a first start) is made first.
// OK and Apply take, besides the editor and the options, the Outside In
// path being edited; the settings file's folder is made when missing.
void SettingsWindow::PullWindowState() {
  SettingsSession& s = *session_;
  s.oitPaths.text = FromQString(oitPath_->text());
  QDir().mkpath(QFileInfo(Q(s.settings.path)).absolutePath());
}

void SettingsWindow::WarnSaveFailed(const std::u16string& text) { prompter_->Warn(this, Q(text)); }

// Cancel and Reload INI. The window's position is left to the window
// manager and never stored, so a Cancel without any change leaves the file
// as it was.
void SettingsWindow::Close(bool reloadIni) {
  PullEditor();
  const DialogEnd end = reloadIni ? session_->ReloadIni() : session_->Cancel();
  End(static_cast<int>(end));
}

// ---------------------------------------------------------------------------
// Copies between widgets and model
// ---------------------------------------------------------------------------
void SettingsWindow::PullEditor() {
  EditorControls& c = session_->editor.controls;
  c.expression = BoxText(expression_);
  c.expressionSelection = SelectionOf(expression_, c.expression);
  c.name = BoxText(name_);
  c.type = types_->checkedId() >= 0 ? types_->checkedId() - 1 : 0;
  c.flags = 0;
  for (std::size_t bit = 0; bit < flags_.size(); ++bit) {
    if (flags_[bit]->isChecked()) c.flags |= 1u << bit;
  }
  c.caseSensitiveDefault = caseSensitive_->isChecked();
  c.replace = BoxText(replace_);
  c.replaceSelection = SelectionOf(replace_, c.replace);
}

void SettingsWindow::PushEditor(const EditorEffects& effects, bool selections) {
  const bool wasPushing = pushing_;
  pushing_ = true;
  const EditorControls& c = session_->editor.controls;
  SetBoxText(expression_, c.expression);
  SetBoxText(name_, c.name);
  SetBoxText(replace_, c.replace);
  if (QAbstractButton* type = types_->button(c.type + 1)) type->setChecked(true);
  for (std::size_t bit = 0; bit < flags_.size(); ++bit) {
    flags_[bit]->setChecked((c.flags >> bit) & 1u);
  }
  caseSensitive_->setChecked(c.caseSensitiveDefault);
  replaceLabel_->setText(WithMnemonic(c.replaceLabel));
  testToggle_->setText(WithMnemonic(c.testButton));
  testStart_->setText(WithMnemonic(c.startButton));
  testNext_->setText(WithMnemonic(u"Next"));
  testToggle_->setEnabled(c.testButtonEnabled);
  testStart_->setEnabled(c.startEnabled);
  testNext_->setEnabled(c.nextEnabled);
  groupPrev_->setEnabled(c.groupPrevEnabled);
  groupNext_->setEnabled(c.groupNextEnabled);
  fieldDefaults_->setEnabled(c.fieldDefaultsEnabled);
  reloadField_->setEnabled(c.reloadFieldEnabled);
  for (QWidget* box : {static_cast<QWidget*>(flags_[0]), static_cast<QWidget*>(flags_[1]),
                       static_cast<QWidget*>(flags_[2]), static_cast<QWidget*>(caseSensitive_)}) {
    box->setEnabled(c.optionBoxesEnabled);
  }
  expression_->setReadOnly(c.expressionReadOnly);
  replace_->setReadOnly(c.replaceReadOnly);
  PushStatus();
  if (effects.focusExpression) {
    tabs_->setCurrentIndex(0);
    expression_->setFocus();
  }
  if (selections) {
    SetSelection(expression_, c.expression, c.expressionSelection);
    SetSelection(replace_, c.replace, c.replaceSelection);
  }
  if (effects.scrollExpressionCaret) expression_->ensureCursorVisible();
  if (effects.scrollReplaceSelection) replace_->ensureCursorVisible();
  if (effects.refillFieldList) RefillFieldList();
  pushing_ = wasPushing;
}

void SettingsWindow::PushStatus() {
  const EditorControls& c = session_->editor.controls;
  QString text = Q(c.statusText);
  text.replace(QLatin1Char('&'), QStringLiteral("&&"));
  status_->setText(text);
  const StatusColour colour = ColourOfStatus(c.status);
  QPalette palette = status_->palette();
  const QColor shown = colour.systemText
                           ? QApplication::palette(status_).color(QPalette::ButtonText)
                           : QColor(colour.red, colour.green, colour.blue);
  palette.setColor(QPalette::ButtonText, shown);
  palette.setColor(QPalette::WindowText, shown);
  status_->setPalette(palette);
}

void SettingsWindow::RefillFieldList() {
  const bool wasPushing = pushing_;
  pushing_ = true;
  const int selected = fieldList_->currentRow();
  const std::vector<std::u16string> labels = FieldListLabels(session_->settings.current);
  QStringList shown;
  shown.reserve(static_cast<qsizetype>(labels.size()));
  for (const auto& label : labels)
    shown << ToDisplay(label).replace(QLatin1Char('\n'), QLatin1Char(' '));
  fieldList_->clear();
  fieldList_->addItems(shown);
  fieldList_->setCurrentRow(selected);
  fieldCount_->setCurrentIndex(session_->settings.current.regexCount - 1);
  pushing_ = wasPushing;
}

void SettingsWindow::FillOptionLists() {
  const GlobalOptionsView& v = session_->options;
  for (std::size_t i = 0; i < optionChecks_.size(); ++i) {
    optionChecks_[i]->setChecked(v.*kOptionChecks[i].member);
  }
  for (std::size_t i = 0; i < optionCombos_.size(); ++i) {
    const EditableCombo& combo = v.*kOptionCombos[i].member;
    optionCombos_[i]->clear();
    for (const auto& item : combo.items) optionCombos_[i]->addItem(Q(item));
    optionCombos_[i]->setCurrentIndex(combo.selected);
    optionCombos_[i]->setEditText(Q(combo.text));
  }
  for (std::size_t i = 0; i < optionLists_.size(); ++i) {
    optionLists_[i]->setCurrentIndex(v.*kOptionLists[i].member);
  }
}

void SettingsWindow::PullOptions() {
  GlobalOptionsView& v = session_->options;
  for (std::size_t i = 0; i < optionChecks_.size(); ++i) {
    v.*kOptionChecks[i].member = optionChecks_[i]->isChecked();
  }
  for (std::size_t i = 0; i < optionCombos_.size(); ++i) {
    EditableCombo& combo = v.*kOptionCombos[i].member;
    combo.text = FromQString(optionCombos_[i]->currentText());
    combo.selected = optionCombos_[i]->currentIndex();
  }
  for (std::size_t i = 0; i < optionLists_.size(); ++i) {
    v.*kOptionLists[i].member = optionLists_[i]->currentIndex();
  }
  v.fieldCountIndex = fieldCount_->currentIndex();
}

void SettingsWindow::PushFilters(bool refillList) {
  const bool wasPushing = pushing_;
  pushing_ = true;
  const FilterEditor& f = session_->filters;
  if (refillList) {
    filterExt_->clear();
    for (const auto& item : f.items) filterExt_->addItem(Q(item));
    filterExt_->setCurrentIndex(-1);
  }
  if (filterExt_->currentText() != Q(f.text)) filterExt_->setEditText(Q(f.text));
  filterXdoc_->setChecked(f.xdocChecked);
  filterOit_->setChecked(f.oitChecked);
  filterIFilter_->setChecked(f.iFilterChecked);
  filterAdd_->setEnabled(f.addEnabled);
  filterRemove_->setEnabled(f.removeEnabled);
  filterIFilter_->setEnabled(f.iFilterEnabled);
  filterXdoc_->setEnabled(f.xdocEnabled);
  filterOit_->setEnabled(f.oitEnabled);
  pushing_ = wasPushing;
}

void SettingsWindow::PushOitPaths() {
  const OutsideInPathGroup& g = session_->oitPaths;
  oitRadios_[std::clamp(g.active, 0, 2)]->setChecked(true);
  oitPath_->setText(Q(g.text));
  oitBrowse_->setEnabled(g.browseEnabled);
}

// The pane opens beside the editor and the window grows by its width, as
// the Windows dialog widens; closing it gives the width back.
void SettingsWindow::ApplyHelpChange(const HelpPaneChange& change) {
  if (change.resize == PaneResize::kWiden && helpPane_->isHidden()) {
    const QFontMetrics metrics(helpPane_->font());
    paneWidth_ = metrics.horizontalAdvance(QString(kHelpPaneColumns, QLatin1Char('M'))) +
                 helpPane_->verticalScrollBar()->sizeHint().width() + 2 * helpPane_->frameWidth() +
                 splitter_->handleWidth();
    helpPane_->show();
    const int mainWidth = splitter_->widget(0)->width();
    resize(width() + paneWidth_, height());
    layout()->activate();  // the splitter takes its new width now, before the split is set
    splitter_->setSizes({std::max(mainWidth, 1), paneWidth_});
  } else if (change.resize == PaneResize::kNarrow && !helpPane_->isHidden()) {
    helpPane_->hide();
    resize(std::max(width() - paneWidth_, minimumSizeHint().width()), height());
  }
  if (change.setPaneEnabled) helpPane_->setEnabled(change.paneEnabled);
  if (change.show == HelpText::kRegex) helpPane_->setPlainText(ToDisplay(RegexHelpText()));
  if (change.show == HelpText::kReplace) helpPane_->setPlainText(ToDisplay(ReplaceHelpText()));
}

void SettingsWindow::PushHelpButtons() {
  regexHelp_->setText(WithMnemonic(session_->help.regexButton));
  replaceHelp_->setText(WithMnemonic(session_->help.replaceButton));
}

void SettingsWindow::SetEditorFont(const QFont& font) {
  for (QWidget* box : {static_cast<QWidget*>(expression_), static_cast<QWidget*>(name_),
                       static_cast<QWidget*>(replace_), static_cast<QWidget*>(helpPane_)}) {
    box->setFont(font);
  }
}

// ---------------------------------------------------------------------------
// The program
// ---------------------------------------------------------------------------

OpenPlan PlanOpening(const QString& folder, const SettingsTarget& target,
                     const QString& programFolder, const QString& userFolder, Prompter* prompter) {
  OpenPlan plan;
  if (target.state == SettingsTarget::State::kReady) {
    plan.load = target.file;
    return plan;
  }
  const QString note = QStringLiteral("\n\nNothing is written until you press OK or Apply.");
  if (target.state == SettingsTarget::State::kMissing) {
    const QString sample = FindSampleSettings(folder, programFolder);
    if (sample.isEmpty()) {
      prompter->Warn(nullptr, QStringLiteral("There are no settings in %1\n(neither "
                                             "\"Quarrymark.ini\" nor \"Quarrymark.Sample.ini\"), "
                                             "and no sample settings to start from.")
                                  .arg(QDir::toNativeSeparators(folder)));
      plan.quit = true;
      return plan;
    }
    const int answer = prompter->Ask(
        nullptr,
        QStringLiteral("There are no settings in %1\n(neither \"Quarrymark.ini\" nor "
                       "\"Quarrymark.Sample.ini\").\n\nStart from the sample settings? They "
                       "are saved as %2.")
                .arg(QDir::toNativeSeparators(folder), QDir::toNativeSeparators(target.file)) +
            note,
        {QStringLiteral("Start from the sample"), QStringLiteral("Quit")});
    if (answer != 0) {
      plan.quit = true;
      return plan;
    }
    plan.load = sample;
    plan.saveAs = target.file;
    return plan;
  }
  // The file exists but cannot be written: offer the per-user folder.
  const QString userFile = userFolder + QLatin1String(sf::kSettingsFileName);
  const bool elsewhere =
      QFileInfo(userFolder).canonicalFilePath() != QFileInfo(folder).canonicalFilePath() ||
      QFileInfo(userFolder).canonicalFilePath().isEmpty();
  QString text = QStringLiteral(
                     "The settings file %1 is write-protected, so OK and Apply "
                     "would fail. "
                     "Your own settings belong in your plugin folder (made by "
                     "\"quarrymark setup\").")
                     .arg(QDir::toNativeSeparators(target.file));
  enum class Action { kUserFile, kReadOnly, kQuit };
  QStringList buttons;
  std::vector<Action> actions;
  bool userFileExists = false;
  if (elsewhere) {
    userFileExists = QFileInfo(userFile).isFile();
    text += userFileExists
                ? QStringLiteral("\n\nEdit your own settings in %1 instead?")
                      .arg(QDir::toNativeSeparators(userFile))
                : QStringLiteral("\n\nStart from these settings as a sample, saved as %1?")
                          .arg(QDir::toNativeSeparators(userFile)) +
                      note;
    buttons << (userFileExists ? QStringLiteral("Edit my settings")
                               : QStringLiteral("Start from the sample"));
    actions.push_back(Action::kUserFile);
  }
  buttons << QStringLiteral("Open read-only") << QStringLiteral("Quit");
  actions.push_back(Action::kReadOnly);
  actions.push_back(Action::kQuit);
  const int answer = prompter->Ask(nullptr, text, buttons);
  const Action action = answer >= 0 && answer < static_cast<int>(actions.size())
                            ? actions[static_cast<std::size_t>(answer)]
                            : Action::kQuit;
  if (action == Action::kUserFile) {
    plan.load = userFileExists ? userFile : target.file;
    if (!userFileExists) plan.saveAs = userFile;
  } else if (action == Action::kReadOnly) {
    plan.load = target.file;
  } else {
    plan.quit = true;
  }
  return plan;
}

int RunProgram(const QString& folder, const QString& programFolder, Prompter* prompter) {
  const CodePageTables tables = CodePageTables::ForSystem();
  UtilityRun run;
  int code;
  do {
    const OpenPlan plan =
        PlanOpening(folder, ExamineFolder(folder), programFolder, UserPluginFolder(), prompter);
    if (plan.quit) return static_cast<int>(DialogEnd::kLoadFailed);
    SettingsWindow window(&run, &tables, prompter);
    const bool opened = plan.saveAs.isEmpty() ? window.Open(plan.load)
                                              : window.OpenFromSample(plan.load, plan.saveAs);
    if (!opened) return window.EndCode();
    QSize size = window.sizeHint().expandedTo(QSize(1000, 720));
    if (const QScreen* screen = window.screen()) {
      size = size.boundedTo(screen->availableGeometry().size() * 9 / 10);
    }
    window.resize(size);
    window.exec();
    code = window.EndCode();
  } while (code == static_cast<int>(DialogEnd::kReloadIni));
  return code;
}

}  // namespace qm::utility::qt
