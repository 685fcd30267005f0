// The settings dialog's window over SettingsSession.
#include "config_utility/win32/settings_dialog.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <vector>

#include "config_utility/help/help_texts.h"
#include "config_utility/model/text.h"
#include "config_utility/win32/resource_ids.h"

namespace qm::utility::win32 {

namespace {

constexpr char16_t kWindowTitle[] = u"QuarrymarkConfig";
constexpr char16_t kAboutTitle[] = u"QuarrymarkConfig v1.2";
constexpr char16_t kAboutText[] =
    u"Total Commander Quarrymark plug-in config utility\n\n"
    u"Using \"Perl Compatible Regular\nExpressions\" (PCRE) library 8.39\n"
    u"https://www.pcre.org/";
constexpr char16_t kNoDialogMessage[] = u"No support for Windows 9x or non-Unicode!";

constexpr int kExpressionLimit = 65534;
constexpr int kNameLimit = 1022;
constexpr int kReplaceLimit = 65534;
constexpr int kFilterLimit = 255;
constexpr UINT kNonClientMetricsSize = 500;  // the structure without iPaddedBorderWidth
constexpr int kListExtentMargin = 24;

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }

LOGFONTW ToLogFont(const FontStyle& f) {
  LOGFONTW lf{};
  lf.lfHeight = f.height;
  lf.lfWidth = f.width;
  lf.lfEscapement = f.escapement;
  lf.lfOrientation = f.orientation;
  lf.lfWeight = f.weight;
  lf.lfItalic = f.italic;
  lf.lfUnderline = f.underline;
  lf.lfStrikeOut = f.strikeOut;
  lf.lfCharSet = f.charSet;
  lf.lfOutPrecision = f.outPrecision;
  lf.lfClipPrecision = f.clipPrecision;
  lf.lfQuality = f.quality;
  lf.lfPitchAndFamily = f.pitchAndFamily;
  const std::size_t n = std::min<std::size_t>(f.faceName.size(), LF_FACESIZE - 1);
  std::copy_n(f.faceName.data(), n, reinterpret_cast<char16_t*>(lf.lfFaceName));
  return lf;
}

FontStyle FromLogFont(const LOGFONTW& lf) {
  FontStyle f;
  f.height = lf.lfHeight;
  f.width = lf.lfWidth;
  f.escapement = lf.lfEscapement;
  f.orientation = lf.lfOrientation;
  f.weight = lf.lfWeight;
  f.italic = lf.lfItalic;
  f.underline = lf.lfUnderline;
  f.strikeOut = lf.lfStrikeOut;
  f.charSet = lf.lfCharSet;
  f.outPrecision = lf.lfOutPrecision;
  f.clipPrecision = lf.lfClipPrecision;
  f.quality = lf.lfQuality;
  f.pitchAndFamily = lf.lfPitchAndFamily;
  f.faceName.assign(reinterpret_cast<const char16_t*>(lf.lfFaceName),
                    wcsnlen(lf.lfFaceName, LF_FACESIZE));
  return f;
}

int CALLBACK StopAtFirstFont(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

// Whether a font of the face and character set exists on the screen.
bool FontFaceExists(const FontStyle& font) {
  LOGFONTW lf = ToLogFont(font);
  lf.lfPitchAndFamily = 0;
  HDC dc = GetDC(nullptr);
  if (!dc) return false;
  bool found = false;
  EnumFontFamiliesExW(dc, &lf, StopAtFirstFont, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, dc);
  return found;
}

bool MessageFont(LOGFONTW* font) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = kNonClientMetricsSize;
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, kNonClientMetricsSize, &metrics, 0)) {
    return false;
  }
  *font = metrics.lfMessageFont;
  return true;
}

// Pixel width of text in the font on a screen device context, plus the
// vertical scroll bar and a margin; 0 when the text measures 0.
int ListExtent(HFONT font, const std::u16string& text) {
  HDC dc = GetDC(nullptr);
  if (!dc) return 0;
  HGDIOBJ old = SelectObject(dc, font ? font : GetStockObject(DEFAULT_GUI_FONT));
  SIZE size{};
  GetTextExtentPoint32W(dc, W(text), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return size.cx > 0 ? size.cx + GetSystemMetrics(SM_CXVSCROLL) + kListExtentMargin : 0;
}

void FillCombo(HWND combo, const std::vector<std::u16string>& items, int selected) {
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  for (const auto& item : items) SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(item)));
  SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM, LPARAM initialPath) {
  if (message == BFFM_INITIALIZED) SendMessageW(window, BFFM_SETSELECTIONW, TRUE, initialPath);
  return 0;
}

// The option boxes a test run disables (the flags and "Case sensitive
// default" that every expression check reads).
constexpr int kOptionBoxes[] = {QM_ID_FLAG_OEM, QM_ID_FLAG_NO_UCP, QM_ID_FLAG_EMPTY_MATCHES,
                                QM_ID_CASE_SENSITIVE};

struct CheckBinding {
  int id;
  bool GlobalOptionsView::*member;
};
constexpr CheckBinding kOptionChecks[] = {
    {QM_ID_MOD_FIELD_NAMES, &GlobalOptionsView::modFieldName},
    {QM_ID_SORT_FIELDS, &GlobalOptionsView::sortFields},
    {QM_ID_REGEX1_EXTERN, &GlobalOptionsView::regex1Extern},
    {QM_ID_MATCH_ALL_ERRORS, &GlobalOptionsView::matchAllForErrors},
    {QM_ID_LOG_ERRORS, &GlobalOptionsView::logErrors},
    {QM_ID_ZEROS_VALID, &GlobalOptionsView::unicodeZerosValid},
    {QM_ID_STD_SEARCH, &GlobalOptionsView::normalSearchForFilterFail},
    {QM_ID_CLEAR_CACHE, &GlobalOptionsView::clearCacheOnReread},
    {QM_ID_OIT_UNKNOWN_AS_TEXT, &GlobalOptionsView::oitUnknownFormatsAsText},
};

struct ComboBinding {
  int id;
  EditableCombo GlobalOptionsView::*member;
};
constexpr ComboBinding kOptionCombos[] = {
    {QM_ID_FILE_MEMORY, &GlobalOptionsView::fileMemory},
    {QM_ID_ON_DEMAND, &GlobalOptionsView::onDemandLimit},
    {QM_ID_GLOBAL_LIMIT, &GlobalOptionsView::globalFileSizeLimit},
    {QM_ID_RANDOM_LENGTH, &GlobalOptionsView::randomLength},
    {QM_ID_CONVERTER_TIME, &GlobalOptionsView::converterTimeLimit},
};

struct ListBinding {
  int id;
  int GlobalOptionsView::*member;
  const std::vector<std::u16string>* items;
};
const ListBinding kOptionLists[] = {
    {QM_ID_ANALYZE_BUFFER, &GlobalOptionsView::analyzeBufferIndex, &kAnalyzeBufferItems},
    {QM_ID_RESULT_CACHE, &GlobalOptionsView::resultCacheIndex, &kResultCacheItems},
    {QM_ID_RANDOM_LOOPS, &GlobalOptionsView::randomLoopsIndex, &kRandomLoopsItems},
};

}  // namespace

// ---------------------------------------------------------------------------
// Life cycle
// ---------------------------------------------------------------------------
SettingsDialog::SettingsDialog(UtilityRun* run, const CodePageTables* tables,
                               std::u16string settingsPath)
    : run_(run), tables_(tables), settingsPath_(std::move(settingsPath)) {}

SettingsDialog::~SettingsDialog() {
  if (window_ && modeless_ && !ended_) DestroyWindow(window_);
  ReleaseResources();
}

INT_PTR SettingsDialog::RunModal(HINSTANCE instance) {
  instance_ = instance;
  modeless_ = false;
  return DialogBoxParamW(instance, MAKEINTRESOURCEW(QM_DIALOG_SETTINGS), nullptr, Procedure,
                         reinterpret_cast<LPARAM>(this));
}

HWND SettingsDialog::CreateModeless(HINSTANCE instance) {
  instance_ = instance;
  modeless_ = true;
  HWND window = CreateDialogParamW(instance, MAKEINTRESOURCEW(QM_DIALOG_SETTINGS), nullptr,
                                   Procedure, reinterpret_cast<LPARAM>(this));
  return ended_ ? nullptr : window;
}

INT_PTR CALLBACK SettingsDialog::Procedure(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
  SettingsDialog* self;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<SettingsDialog*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
    self->window_ = window;
  } else {
    self = reinterpret_cast<SettingsDialog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  }
  if (!self) return FALSE;
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    self->window_ = nullptr;
    return FALSE;
  }
  try {
    return self->Handle(message, wParam, lParam);
  } catch (...) {
    // Out of memory in a handler: the dialog is left as it is; at opening
    // it ends as a dialog without settings.
    if (message == WM_INITDIALOG) self->End(static_cast<int>(DialogEnd::kLoadFailed));
    return FALSE;
  }
}

INT_PTR SettingsDialog::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      Open();
      return TRUE;
    case WM_COMMAND:
      if (session_ && !pushing_) Command(LOWORD(wParam), HIWORD(wParam));
      return FALSE;
    case WM_CTLCOLORSTATIC:
      if (session_ && reinterpret_cast<HWND>(lParam) == Item(QM_ID_STATUS)) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        const StatusColour colour = ColourOfStatus(session_->editor.controls.status);
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        SetTextColor(dc, colour.systemText ? GetSysColor(COLOR_BTNTEXT)
                                           : RGB(colour.red, colour.green, colour.blue));
        return reinterpret_cast<INT_PTR>(statusBrush_);
      }
      return FALSE;
    case WM_MOVE:
      SendMessageW(window_, WM_SETFOCUS, 0, 0);
      return FALSE;
    default:
      return FALSE;
  }
}

bool SettingsDialog::Open() {
  const bool firstDialog = run_->dialogsOpened == 0;
  session_ = std::make_unique<SettingsSession>(run_, tables_);
  if (!session_->Open(settingsPath_, FontFaceExists)) {
    Warn(kLoadFailedMessage);
    session_.reset();
    End(static_cast<int>(DialogEnd::kLoadFailed));
    return false;
  }
  pushing_ = true;

  SetWindowTextW(window_, W(kWindowTitle));
  SendMessageW(window_, WM_SETICON, ICON_BIG,
               reinterpret_cast<LPARAM>(LoadIconW(instance_, MAKEINTRESOURCEW(QM_ICON_MAIN))));
  statusBrush_ = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));

  LOGFONTW messageFont;
  if (MessageFont(&messageFont)) defaultFont_ = CreateFontIndirectW(&messageFont);
  FontStyle& font = session_->settings.font;
  if (font.HasFace()) {
    const LOGFONTW lf = ToLogFont(font);
    userFont_ = CreateFontIndirectW(&lf);
    if (!userFont_) font = FontStyle();
  }
  SetEditorFont(userFont_ ? userFont_ : defaultFont_);

  SendDlgItemMessageW(window_, QM_ID_EXPRESSION, EM_LIMITTEXT, kExpressionLimit, 0);
  SendDlgItemMessageW(window_, QM_ID_NAME, EM_LIMITTEXT, kNameLimit, 0);
  SendDlgItemMessageW(window_, QM_ID_REPLACE, EM_LIMITTEXT, kReplaceLimit, 0);
  SendDlgItemMessageW(window_, QM_ID_FILTER_EXT, CB_LIMITTEXT, kFilterLimit, 0);

  PlaceWindow(firstDialog);

  FillCombo(Item(QM_ID_FIELD_COUNT), FieldCountItems(), -1);
  RefillFieldList();
  SendDlgItemMessageW(window_, QM_ID_FIELD_LIST, LB_SETCURSEL, session_->editor.CurrentField(), 0);
  PushOpenedSession();
  pushing_ = false;
  return true;
}

// Ends the dialog with its end code. The session has done its own closing.
void SettingsDialog::End(int code) {
  ReleaseResources();
  endCode_ = code;
  ended_ = true;
  if (!window_) return;
  if (modeless_) {
    DestroyWindow(window_);
  } else {
    EndDialog(window_, code);
  }
}

void SettingsDialog::ReleaseResources() {
  if (window_) SetEditorFont(nullptr);
  if (statusBrush_) DeleteObject(statusBrush_);
  if (defaultFont_) DeleteObject(defaultFont_);
  if (userFont_) DeleteObject(userFont_);
  statusBrush_ = nullptr;
  defaultFont_ = userFont_ = nullptr;
  session_.reset();
}

// ---------------------------------------------------------------------------
// Geometry and fonts
// ---------------------------------------------------------------------------
void SettingsDialog::PlaceWindow(bool firstDialog) {
  RECT window{}, name{};
  GetWindowRect(window_, &window);
  GetWindowRect(Item(QM_ID_NAME), &name);
  const int w0 = window.right - window.left;
  fullHeight_ = window.bottom - window.top;
  paneWidth_ = (window.left + w0) - name.right - 8;
  windowWidth_ = w0 - paneWidth_;

  const UtilitySettings& s = session_->settings;
  int x = window.left + paneWidth_ / 2, y = window.top;
  if (firstDialog && s.coordX != settings::kNoStoredPosition &&
      s.coordY != settings::kNoStoredPosition) {
    x = s.coordX;
    y = s.coordY;
  }
  SetWindowPos(window_, nullptr, x, y, windowWidth_, fullHeight_, SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(window_, SW_SHOW);
  if (run_->HasRememberedPosition()) {
    SetWindowPos(window_, nullptr, run_->rememberedX, run_->rememberedY, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  EnableWindow(Item(QM_ID_HELP_PANE), FALSE);
  GetWindowRect(window_, &window);
  placed_ = {window.left, window.top};
}

bool SettingsDialog::WindowMovedSincePlaced() const {
  RECT r{};
  GetWindowRect(window_, &r);
  return r.left != placed_.x || r.top != placed_.y;
}

void SettingsDialog::SetEditorFont(HFONT font) {
  for (const int id : {QM_ID_EXPRESSION, QM_ID_NAME, QM_ID_REPLACE, QM_ID_HELP_PANE}) {
    SendDlgItemMessageW(window_, id, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
}

void SettingsDialog::ChooseUserFont() {
  FontStyle& font = session_->settings.font;
  bool filledHere = false;
  if (!userFont_) {
    LOGFONTW messageFont;
    if (MessageFont(&messageFont)) font = FromLogFont(messageFont);
    filledHere = true;
  }
  LOGFONTW lf = ToLogFont(font);
  CHOOSEFONTW choose{};
  choose.lStructSize = sizeof(choose);
  choose.hwndOwner = window_;
  choose.lpLogFont = &lf;
  choose.Flags = CF_SCREENFONTS | CF_INITTOLOGFONTSTRUCT | CF_FORCEFONTEXIST;
  if (!ChooseFontW(&choose)) {
    if (filledHere) font = FontStyle();
    return;
  }
  font = FromLogFont(lf);
  HFONT created = CreateFontIndirectW(&lf);
  if (!created) {
    font = FontStyle();
    Warn(kFontFailedMessage);
    return;
  }
  SetEditorFont(created);
  if (userFont_) DeleteObject(userFont_);
  userFont_ = created;
}

void SettingsDialog::BrowseFolder() {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (com == S_OK) {
    std::vector<wchar_t> displayName(2048);
    BROWSEINFOW info{};
    info.hwndOwner = window_;
    info.pszDisplayName = displayName.data();
    info.lpszTitle = W(session_->oitPaths.BrowseTitle());
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_EDITBOX;
    info.lpfn = BrowseCallback;
    info.lParam = reinterpret_cast<LPARAM>(W(session_->settings.path));
    if (PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info)) {
      std::vector<wchar_t> path(std::max<std::size_t>(MAX_PATH, 2048));
      if (SHGetPathFromIDListW(chosen, path.data())) {
        SetDlgItemTextW(window_, QM_ID_OIT_PATH, path.data());
      }
      CoTaskMemFree(chosen);
    }
  }
  CoUninitialize();
}

// ---------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------
void SettingsDialog::Command(int id, int code) {
  if (id >= QM_ID_TYPE_FIRST && id <= QM_ID_FLAG_LAST && id != QM_ID_FLAG_OEM &&
      id != QM_ID_FLAG_NO_UCP) {
    return;  // read when the field is stored
  }
  if (ControlNotified(id, code)) return;
  if (code == BN_CLICKED) Clicked(id);
}

// The field count and list, the expression and its status, the filter
// extension box. False for any other control.
bool SettingsDialog::ControlNotified(int id, int code) {
  SettingsSession& s = *session_;
  FieldEditor& editor = s.editor;
  switch (id) {
    case QM_ID_FIELD_COUNT:
      if (code == CBN_SELCHANGE) {
        editor.SelectFieldCount(static_cast<int>(SendDlgItemMessageW(window_, id, CB_GETCURSEL, 0, 0)));
        RefillFieldList();
      }
      return true;
    case QM_ID_FIELD_LIST:
      if (code == LBN_SELCHANGE) {
        const int selected = static_cast<int>(SendDlgItemMessageW(window_, id, LB_GETCURSEL, 0, 0));
        if (selected < 0) return true;
        PullEditor();
        const EditorEffects effects = editor.SwitchField(selected);
        PushEditor(effects, false);
      }
      return true;
    case QM_ID_EXPRESSION:
      if (code == EN_CHANGE) {
        PullEditor();
        editor.CheckExpression();
        PushStatus();
      }
      return true;
    case QM_ID_STATUS:
      if (code == STN_CLICKED) {
        PullEditor();
        PushEditor(editor.CheckExpression(true), true);
      }
      return true;
    case QM_ID_FILTER_EXT:
      if (code == CBN_EDITCHANGE) {
        s.filters.text = Text(id);
        s.filters.EditChanged();
        PushFilters(false);
      } else if (code == CBN_SELCHANGE) {
        s.filters.SelectItem(static_cast<int>(SendDlgItemMessageW(window_, id, CB_GETCURSEL, 0, 0)));
        PushFilters(false);
      }
      return true;
    default:
      return false;
  }
}

// A button.
void SettingsDialog::Clicked(int id) {
  SettingsSession& s = *session_;
  FieldEditor& editor = s.editor;
  switch (id) {
    case QM_ID_REGEX_HELP: ApplyHelpChange(s.help.ClickRegexHelp()); PushHelpButtons(); return;
    case QM_ID_REPLACE_HELP: ApplyHelpChange(s.help.ClickReplaceHelp()); PushHelpButtons(); return;
    case IDOK: SaveSession(false); return;
    case QM_ID_APPLY: SaveSession(true); return;
    case IDCANCEL: Close(false); return;
    case QM_ID_RELOAD_INI: Close(true); return;
    case QM_ID_QUICK_GROUP:
    case QM_ID_QUICK_ANY:
    case QM_ID_QUICK_QUOTE:
      PullEditor();
      PushEditor(editor.QuickInsert(id - QM_ID_QUICK_GROUP), true);
      return;
    case QM_ID_FONT: ChooseUserFont(); return;
    case QM_ID_FLAG_OEM:
    case QM_ID_FLAG_NO_UCP:
    case QM_ID_CASE_SENSITIVE:
      PullEditor();
      editor.CheckExpression();
      PushStatus();
      return;
    case QM_ID_OIT_DLL32:
    case QM_ID_OIT_DLL64:
    case QM_ID_OIT_EXCLUDE:
      s.oitPaths.text = Text(QM_ID_OIT_PATH);
      s.oitPaths.Select(id - QM_ID_OIT_DLL32);
      PushOitPaths();
      return;
    case QM_ID_OIT_BROWSE: BrowseFolder(); return;
    case QM_ID_TEST_TOGGLE:
    case QM_ID_TEST_START:
    case QM_ID_TEST_NEXT:
    case QM_ID_GROUP_PREV:
    case QM_ID_GROUP_NEXT: TestClicked(id); return;
    case QM_ID_FILTER_XDOC:
    case QM_ID_FILTER_OIT:
    case QM_ID_FILTER_IFILTER:
    case QM_ID_FILTER_ADD:
    case QM_ID_FILTER_REMOVE: FilterClicked(id); return;
    case QM_ID_ABOUT: Warn(kAboutText, MB_ICONINFORMATION); return;
    case QM_ID_FIELD_DEFAULTS:
      PullEditor();
      PushEditor(editor.FieldDefaults(), false);
      return;
    case QM_ID_RELOAD_FIELD:
      PullEditor();
      PushEditor(editor.ReloadField(), false);
      return;
    default:
      return;
  }
}

// The expression test's buttons; a notice of the test is shown in a box.
void SettingsDialog::TestClicked(int id) {
  FieldEditor& editor = session_->editor;
  PullEditor();
  EditorEffects effects;
  if (id == QM_ID_TEST_TOGGLE) effects = editor.TestButton();
  if (id == QM_ID_TEST_START) effects = editor.StartButton();
  if (id == QM_ID_TEST_NEXT) effects = editor.NextButton();
  if (id == QM_ID_GROUP_PREV) effects = editor.PrevGroup();
  if (id == QM_ID_GROUP_NEXT) effects = editor.NextGroup();
  PushEditor(effects, true);
  if (effects.notice != Notice::kNone) {
    MessageBoxW(window_, W(NoticeText(effects.notice)), W(kMessageTitle), MB_OK);
  }
}

// The filter kind buttons, and adding or removing the extension typed.
void SettingsDialog::FilterClicked(int id) {
  FilterEditor& filters = session_->filters;
  filters.text = Text(QM_ID_FILTER_EXT);
  if (id == QM_ID_FILTER_ADD || id == QM_ID_FILTER_REMOVE) {
    if (filters.text.empty()) return;
    if (id == QM_ID_FILTER_ADD) filters.Add(); else filters.Remove();
    PushFilters(true);
    SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(QM_ID_FILTER_EXT)), TRUE);
    return;
  }
  if (id == QM_ID_FILTER_XDOC) filters.ClickXdoc();
  if (id == QM_ID_FILTER_OIT) filters.ClickOit();
  if (id == QM_ID_FILTER_IFILTER) filters.ClickIFilter();
  PushFilters(false);
}

// OK and Apply take, besides the editor and the options, the Outside In
// path being edited and the window's position.
void SettingsDialog::PullWindowState() {
  SettingsSession& s = *session_;
  s.oitPaths.text = Text(QM_ID_OIT_PATH);
  RECT r{};
  GetWindowRect(window_, &r);
  s.SetWindowPosition(r.left, r.top);
}

// Cancel and Reload INI. Cancel saves the window position only when the user
// moved the window, so that a Cancel without any change leaves the file as
// it was.
void SettingsDialog::Close(bool reloadIni) {
  SettingsSession& s = *session_;
  PullEditor();
  RECT r{};
  GetWindowRect(window_, &r);
  if (reloadIni || WindowMovedSincePlaced()) s.SetWindowPosition(r.left, r.top);
  const DialogEnd end = reloadIni ? s.ReloadIni() : s.Cancel();
  End(static_cast<int>(end));
}

// ---------------------------------------------------------------------------
// Copies between controls and model
// ---------------------------------------------------------------------------
void SettingsDialog::PullEditor() {
  EditorControls& c = session_->editor.controls;
  c.expression = Text(QM_ID_EXPRESSION);
  DWORD a = 0, b = 0;
  SendDlgItemMessageW(window_, QM_ID_EXPRESSION, EM_GETSEL, reinterpret_cast<WPARAM>(&a),
                      reinterpret_cast<LPARAM>(&b));
  c.expressionSelection = {static_cast<int>(a), static_cast<int>(b)};
  c.name = Text(QM_ID_NAME);
  c.type = 0;
  for (int id = QM_ID_TYPE_FIRST; id <= QM_ID_TYPE_LAST; ++id) {
    if (Checked(id)) c.type = id - (QM_ID_TYPE_FIRST + 1);
  }
  c.flags = 0;
  for (int id = QM_ID_FLAG_FIRST; id <= QM_ID_FLAG_LAST; ++id) {
    if (Checked(id)) c.flags |= 1u << (id - QM_ID_FLAG_FIRST);
  }
  c.caseSensitiveDefault = Checked(QM_ID_CASE_SENSITIVE);
  c.replace = Text(QM_ID_REPLACE);
  SendDlgItemMessageW(window_, QM_ID_REPLACE, EM_GETSEL, reinterpret_cast<WPARAM>(&a),
                      reinterpret_cast<LPARAM>(&b));
  c.replaceSelection = {static_cast<int>(a), static_cast<int>(b)};
}

void SettingsDialog::PushEditor(const EditorEffects& effects, bool selections) {
  const bool wasPushing = pushing_;
  pushing_ = true;
  const EditorControls& c = session_->editor.controls;
  SetText(QM_ID_EXPRESSION, c.expression);
  SetText(QM_ID_NAME, c.name);
  SetText(QM_ID_REPLACE, c.replace);
  CheckRadioButton(window_, QM_ID_TYPE_FIRST, QM_ID_TYPE_LAST, QM_ID_TYPE_FIRST + 1 + c.type);
  for (int id = QM_ID_FLAG_FIRST; id <= QM_ID_FLAG_LAST; ++id) {
    Check(id, (c.flags >> (id - QM_ID_FLAG_FIRST)) & 1u);
  }
  Check(QM_ID_CASE_SENSITIVE, c.caseSensitiveDefault);
  SetText(QM_ID_REPLACE_LABEL, c.replaceLabel);
  SetText(QM_ID_TEST_TOGGLE, c.testButton);
  SetText(QM_ID_TEST_START, c.startButton);
  Enable(QM_ID_TEST_TOGGLE, c.testButtonEnabled);
  Enable(QM_ID_TEST_START, c.startEnabled);
  Enable(QM_ID_TEST_NEXT, c.nextEnabled);
  Enable(QM_ID_GROUP_PREV, c.groupPrevEnabled);
  Enable(QM_ID_GROUP_NEXT, c.groupNextEnabled);
  Enable(QM_ID_FIELD_DEFAULTS, c.fieldDefaultsEnabled);
  Enable(QM_ID_RELOAD_FIELD, c.reloadFieldEnabled);
  for (const int id : kOptionBoxes) Enable(id, c.optionBoxesEnabled);
  SendDlgItemMessageW(window_, QM_ID_EXPRESSION, EM_SETREADONLY, c.expressionReadOnly, 0);
  SendDlgItemMessageW(window_, QM_ID_REPLACE, EM_SETREADONLY, c.replaceReadOnly, 0);
  PushStatus();
  // Focus first: the dialog manager selects the whole text of an edit box
  // that receives the focus.
  if (effects.focusExpression) {
    SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(QM_ID_EXPRESSION)), TRUE);
  }
  if (selections) {
    SendDlgItemMessageW(window_, QM_ID_EXPRESSION, EM_SETSEL, c.expressionSelection.start,
                        c.expressionSelection.end);
    SendDlgItemMessageW(window_, QM_ID_REPLACE, EM_SETSEL, c.replaceSelection.start,
                        c.replaceSelection.end);
  }
  if (effects.scrollExpressionCaret) SendDlgItemMessageW(window_, QM_ID_EXPRESSION, EM_SCROLLCARET, 0, 0);
  if (effects.scrollReplaceSelection) SendDlgItemMessageW(window_, QM_ID_REPLACE, EM_SCROLLCARET, 0, 0);
  if (effects.refillFieldList) RefillFieldList();
  pushing_ = wasPushing;
}

void SettingsDialog::PushStatus() {
  SetText(QM_ID_STATUS, session_->editor.controls.statusText);
  InvalidateRect(Item(QM_ID_STATUS), nullptr, TRUE);
}

void SettingsDialog::RefillFieldList() {
  const bool wasPushing = pushing_;
  pushing_ = true;
  HWND list = Item(QM_ID_FIELD_LIST);
  const LRESULT selected = SendMessageW(list, LB_GETCURSEL, 0, 0);
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  SendMessageW(list, LB_RESETCONTENT, 0, 0);
  const std::vector<std::u16string> labels = FieldListLabels(session_->settings.current);
  std::size_t longest = 0;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(labels[i])));
    if (labels[i].size() > labels[longest].size()) longest = i;
  }
  SendMessageW(list, LB_SETHORIZONTALEXTENT,
               labels.empty() ? 0 : ListExtent(defaultFont_, labels[longest]), 0);
  SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(selected), 0);
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list, nullptr, TRUE);
  SendDlgItemMessageW(window_, QM_ID_FIELD_COUNT, CB_SETCURSEL,
                      static_cast<WPARAM>(session_->settings.current.regexCount - 1), 0);
  pushing_ = wasPushing;
}

void SettingsDialog::FillOptionLists() {
  const GlobalOptionsView& v = session_->options;
  for (const auto& b : kOptionChecks) Check(b.id, v.*b.member);
  for (const auto& b : kOptionCombos) {
    const EditableCombo& combo = v.*b.member;
    FillCombo(Item(b.id), combo.items, combo.selected);
  }
  for (const auto& b : kOptionLists) FillCombo(Item(b.id), *b.items, v.*b.member);
  SendDlgItemMessageW(window_, QM_ID_RESULT_CACHE, CB_SETDROPPEDWIDTH,
                      ListExtent(defaultFont_, kWidestResultCacheItem), 0);
}

void SettingsDialog::PullOptions() {
  GlobalOptionsView& v = session_->options;
  for (const auto& b : kOptionChecks) v.*b.member = Checked(b.id);
  for (const auto& b : kOptionCombos) {
    EditableCombo& combo = v.*b.member;
    combo.text = Text(b.id);
    combo.selected = static_cast<int>(SendDlgItemMessageW(window_, b.id, CB_GETCURSEL, 0, 0));
  }
  for (const auto& b : kOptionLists) {
    v.*b.member = static_cast<int>(SendDlgItemMessageW(window_, b.id, CB_GETCURSEL, 0, 0));
  }
  v.fieldCountIndex =
      static_cast<int>(SendDlgItemMessageW(window_, QM_ID_FIELD_COUNT, CB_GETCURSEL, 0, 0));
}

void SettingsDialog::PushFilters(bool refillList) {
  const bool wasPushing = pushing_;
  pushing_ = true;
  const FilterEditor& f = session_->filters;
  if (refillList) FillCombo(Item(QM_ID_FILTER_EXT), f.items, -1);
  if (Text(QM_ID_FILTER_EXT) != f.text) SetText(QM_ID_FILTER_EXT, f.text);
  Check(QM_ID_FILTER_XDOC, f.xdocChecked);
  Check(QM_ID_FILTER_OIT, f.oitChecked);
  Check(QM_ID_FILTER_IFILTER, f.iFilterChecked);
  Enable(QM_ID_FILTER_ADD, f.addEnabled);
  Enable(QM_ID_FILTER_REMOVE, f.removeEnabled);
  Enable(QM_ID_FILTER_IFILTER, f.iFilterEnabled);
  Enable(QM_ID_FILTER_XDOC, f.xdocEnabled);
  Enable(QM_ID_FILTER_OIT, f.oitEnabled);
  pushing_ = wasPushing;
}

void SettingsDialog::PushOitPaths() {
  const OutsideInPathGroup& g = session_->oitPaths;
  CheckRadioButton(window_, QM_ID_OIT_DLL32, QM_ID_OIT_EXCLUDE, QM_ID_OIT_DLL32 + g.active);
  SetText(QM_ID_OIT_PATH, g.text);
  Enable(QM_ID_OIT_BROWSE, g.browseEnabled);
}

void SettingsDialog::ApplyHelpChange(const HelpPaneChange& change) {
  if (change.resize != PaneResize::kNone) {
    windowWidth_ += change.resize == PaneResize::kWiden ? paneWidth_ : -paneWidth_;
    SetWindowPos(window_, nullptr, 0, 0, windowWidth_, fullHeight_,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(window_, SW_SHOW);
  }
  if (change.setPaneEnabled) Enable(QM_ID_HELP_PANE, change.paneEnabled);
  if (change.show == HelpText::kRegex) SetText(QM_ID_HELP_PANE, RegexHelpText());
  if (change.show == HelpText::kReplace) SetText(QM_ID_HELP_PANE, ReplaceHelpText());
}

void SettingsDialog::PushHelpButtons() {
  SetText(QM_ID_REGEX_HELP, session_->help.regexButton);
  SetText(QM_ID_REPLACE_HELP, session_->help.replaceButton);
}

// ---------------------------------------------------------------------------
// Control helpers
// ---------------------------------------------------------------------------
std::u16string SettingsDialog::Text(int id) const {
  HWND item = Item(id);
  const int length = GetWindowTextLengthW(item);
  std::u16string text(static_cast<std::size_t>(std::max(length, 0)) + 1, u'\0');
  const int got = GetWindowTextW(item, reinterpret_cast<wchar_t*>(text.data()),
                                 static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(std::clamp(got, 0, length)));
  return text;
}

// Sets a control's text only when it differs, so that an unchanged edit
// box keeps its caret and raises no change notification.
void SettingsDialog::SetText(int id, const std::u16string& text) {
  if (Text(id) != text) SetDlgItemTextW(window_, id, W(text));
}

void SettingsDialog::Check(int id, bool on) {
  CheckDlgButton(window_, id, on ? BST_CHECKED : BST_UNCHECKED);
}

void SettingsDialog::Enable(int id, bool on) {
  HWND item = Item(id);
  if ((IsWindowEnabled(item) != FALSE) != on) EnableWindow(item, on);
}

// A message box owned by the dialog: a warning titled "QuarrymarkConfig",
// or the About box's information.
void SettingsDialog::Warn(const char16_t* text, UINT type) {
  const char16_t* title = type == MB_ICONINFORMATION ? kAboutTitle : kMessageTitle;
  MessageBoxW(window_, W(text), W(title), type);
}

// ---------------------------------------------------------------------------
// The program
// ---------------------------------------------------------------------------
int RunUtility(HINSTANCE instance) {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  const CodePageTables tables = CodePageTables::ForSystem();
  UtilityRun run;
  INT_PTR result;
  do {
    SettingsDialog dialog(&run, &tables, LocateSettingsFile(ProgramFolder()));
    result = dialog.RunModal(instance);
  } while (result == static_cast<INT_PTR>(DialogEnd::kReloadIni));
  if (result < 0) {
    MessageBoxW(nullptr, W(kNoDialogMessage), W(kMessageTitle), MB_ICONWARNING);
    return 2;
  }
  return static_cast<int>(result);
}

}  // namespace qm::utility::win32
