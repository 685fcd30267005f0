// quarrymark settings: check, list, test and resave through the settings
// utility's model, exactly as its dialog would compute them.
#include "tools/quarrymark/settings_command.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <optional>

#include "config_utility/model/expression_probe.h"
#include "config_utility/model/field_editor.h"
#include "config_utility/model/settings_session.h"
#include "config_utility/model/text.h"
#include "config_utility/model/utility_settings.h"
#include "platform/platform.h"
#include "tools/quarrymark/settings_lint.h"
#include "tools/quarrymark/text_escape.h"

#include <sys/stat.h>

namespace qm::host {
namespace {

using namespace qm::utility;

constexpr int kFailed = 1;
constexpr int kUsageError = 2;
constexpr std::uint64_t kMaxTestFileBytes = 64ull << 20;

const char kSettingsUsage[] =
    "usage: quarrymark settings check  [--ini PATH]\n"
    "       quarrymark settings list   [--ini PATH] [--all]\n"
    "       quarrymark settings test   [--ini PATH] FIELD [--text FILE | TEXTFILE]\n"
    "       quarrymark settings resave [--ini PATH]\n";

// Narrow names from the command line: ANSI on Windows, the file system's
// bytes elsewhere (losslessly, whether or not they are UTF-8).
std::u16string PathFromArgument(const std::string& narrow) {
#ifdef _WIN32
  std::u16string wide;
  platform::AppendWide(platform::AnsiCodePage(), narrow.data(), narrow.size(), &wide);
  return wide;
#else
  return platform::FileNameBytesToWide(narrow);
#endif
}

// Control characters are shown escaped so that every item stays one line.
std::string Printable(std::u16string_view text) { return EscapeControls(ToUtf8(text)); }

std::string Utf8(std::u16string_view text) { return ToUtf8(text); }

struct Invocation {
  std::string command;
  std::optional<std::string> ini;
  std::optional<std::string> text;  // --text FILE ("-": standard input)
  bool all = false;
  std::vector<std::string> operands;
};

// False with a message naming the problem (empty: print the usage).
bool ParseArguments(const std::vector<std::string>& args, Invocation* inv, std::string* error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--ini" || a == "--text") {
      if (i + 1 >= args.size()) return *error = "quarrymark settings: " + a + " needs a value", false;
      (a == "--ini" ? inv->ini : inv->text) = args[++i];
    } else if (a.compare(0, 6, "--ini=") == 0) {
      inv->ini = a.substr(6);
    } else if (a.compare(0, 7, "--text=") == 0) {
      inv->text = a.substr(7);
    } else if (a == "--all") {
      inv->all = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return *error = "quarrymark settings: unknown option " + a, false;
    } else if (inv->command.empty()) {
      inv->command = a;
    } else {
      inv->operands.push_back(a);
    }
  }
  return !inv->command.empty();
}

// True when standard input is a pipe or a file, so that a sample given
// through it is read (never a terminal, which would wait for typing).
bool StdinIsRedirected() {
  struct stat info {};
  if (fstat(0, &info) != 0) return false;
#ifdef S_ISFIFO
  return S_ISFIFO(info.st_mode);
#else
  return (info.st_mode & _S_IFIFO) != 0;
#endif
}

bool ReadStdin(std::string* bytes) {
  char block[65536];
  std::size_t n;
  while ((n = std::fread(block, 1, sizeof block, stdin)) > 0) {
    bytes->append(block, n);
    if (bytes->size() > kMaxTestFileBytes) return false;
  }
  return std::ferror(stdin) == 0;
}

std::u16string SettingsPath(const Invocation& inv, const std::string& programDir) {
  if (inv.ini) return PathFromArgument(*inv.ini);
  std::u16string folder = PathFromArgument(programDir);
  if (!folder.empty() && folder.back() != u'/' && folder.back() != u'\\') {
    folder += platform::kPathSeparator;
  }
  return LocateSettingsFile(folder);
}

bool Load(const Invocation& inv, const std::string& programDir, UtilitySettings* settings) {
  const std::u16string path = SettingsPath(inv, programDir);
  if (LoadSettings(path, settings)) {
    if (settings->nulLine != 0) {
      std::cerr << "quarrymark settings: line " << settings->nulLine
                << " holds a NUL byte, left out as the plugin leaves it out\n";
    }
    return true;
  }
  if (inv.ini || !path.empty()) {
    std::cerr << "quarrymark settings: cannot load " << (inv.ini ? *inv.ini : Utf8(path)) << ": "
              << settings->loadProblem << '\n';
  } else {
    std::cerr << Utf8(kLoadFailedMessage) << '\n';
  }
  return false;
}

// A text file for the test: UTF-16 with its byte order mark, else UTF-8
// (a byte order mark skipped; invalid bytes become U+FFFD).
void DecodeTestText(const std::string& bytes, std::u16string* text);

bool ReadTestText(const std::string& name, std::u16string* text) {
  if (name == "-") {
    std::string bytes;
    if (!ReadStdin(&bytes)) return false;
    DecodeTestText(bytes, text);
    return true;
  }
  const std::u16string path = PathFromArgument(name);
  platform::FileName fileName;
  fileName.wide = path.c_str();
  platform::FileInfo info;
  if (!platform::QueryFileInfo(fileName, &info) || !info.IsRegularFile() ||
      info.size > kMaxTestFileBytes) {
    return false;
  }
  std::string bytes(static_cast<std::size_t>(info.size), '\0');
  platform::File file = platform::OpenFile(fileName, platform::OpenMode::kReadShared);
  if (!file.IsOpen() || (!bytes.empty() && !file.ReadExact(bytes.data(), bytes.size()))) {
    return false;
  }
  DecodeTestText(bytes, text);
  return true;
}

void DecodeTestText(const std::string& bytes, std::u16string* text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() >= 2 && ((byte(0) == 0xFF && byte(1) == 0xFE) ||
                            (byte(0) == 0xFE && byte(1) == 0xFF))) {
    const bool bigEndian = byte(0) == 0xFE;
    text->clear();
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const unsigned lo = bigEndian ? byte(i + 1) : byte(i);
      const unsigned hi = bigEndian ? byte(i) : byte(i + 1);
      text->push_back(static_cast<char16_t>(lo | (hi << 8)));
    }
    return;
  }
  std::string_view utf8 = bytes;
  if (utf8.substr(0, 3) == "\xEF\xBB\xBF") utf8.remove_prefix(3);
  *text = FromUtf8(utf8);
}

// ---------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------
// The status line's text with the position as the error log gives it: the
// offset PCRE reports, counted from 0 (the dialog shows it from 1).
std::string CheckText(const ExpressionCheck& check) {
  std::string text = ToUtf8(check.text);
  if (check.status == ExpressionStatus::kError) {
    const std::string shown = " at pos " + std::to_string(check.errorOffset + 1LL);
    const std::size_t at = text.find(shown);
    if (at != std::string::npos) {
      text.replace(at, shown.size(), " at position " + std::to_string(check.errorOffset));
    }
  }
  return EscapeControls(text);
}

const char* StatusName(ExpressionStatus status) {
  switch (status) {
    case ExpressionStatus::kOk: return "ok";
    case ExpressionStatus::kError: return "error";
    case ExpressionStatus::kWarning: return "warning";
  }
  return "?";
}

int Check(const UtilitySettings& settings, const std::u16string& path) {
  const CodePageTables tables = CodePageTables::ForSystem();
  const SettingsBlock& block = settings.current;
  int result = 0;
  for (int n = 1; n <= block.regexCount; ++n) {
    const FieldSlot& slot = block.fields[n - 1];
    const std::u16string& shown = slot.expression.empty() ? kMatchAllText : slot.expression;
    const ExpressionCheck check = CheckExpression(
        shown, OptionsForField(slot.flags, block.caseSensitiveDefault, tables), tables);
    std::cout << settings::kFieldKeyPrefix << n << '\t' << StatusName(check.status) << '\t'
              << CheckText(check) << '\n';
    if (check.status == ExpressionStatus::kError) result = kFailed;
  }
  // The keys the plugin would silently pass over.
  std::string bytes;
  platform::FileName fileName;
  fileName.wide = path.c_str();
  platform::FileInfo info;
  if (platform::QueryFileInfo(fileName, &info) && info.IsRegularFile() &&
      info.size <= settings::kMaxSettingsFileBytes) {
    bytes.resize(static_cast<std::size_t>(info.size));
    platform::File file = platform::OpenFile(fileName, platform::OpenMode::kReadShared);
    if (!file.IsOpen() || (!bytes.empty() && !file.ReadExact(bytes.data(), bytes.size()))) bytes.clear();
  }
  const std::string shownPath = ToUtf8(path);
  for (const SettingsWarning& warning : LintSettings(bytes)) {
    std::cerr << shownPath << ':' << warning.line << ": warning: " << warning.text << '\n';
  }
  return result;
}

// The dialog's field list: the active fields (1 to regexcount), every slot
// with all.
int List(const UtilitySettings& settings, bool all) {
  const std::vector<std::u16string> labels = FieldListLabels(settings.current);
  const std::size_t shown = all ? labels.size()
                                : std::min<std::size_t>(labels.size(), static_cast<std::size_t>(
                                                                           settings.current.regexCount));
  for (std::size_t i = 0; i < shown; ++i) std::cout << Printable(labels[i]) << '\n';
  return 0;
}

int Test(UtilitySettings* settings, std::vector<std::string> operands,
         const std::optional<std::string>& textFile) {
  if (textFile) {
    if (operands.size() != 1) {
      std::cerr << kSettingsUsage;
      return kUsageError;
    }
    operands.push_back(*textFile);
  } else if (operands.size() == 1 && StdinIsRedirected()) {
    operands.push_back("-");
  }
  if (operands.empty() || operands.size() > 2) {
    std::cerr << kSettingsUsage;
    return kUsageError;
  }
  // The field as its keys number it: "3" or "regex3".
  std::string number = operands[0];
  if (number.compare(0, 5, settings::kFieldKeyPrefix) == 0) number.erase(0, 5);
  const std::int32_t field = ReadDecimalText(FromUtf8(number));
  if (field < 1 || field > settings::kMaxFields || number.empty() ||
      number.find_first_not_of("0123456789") != std::string::npos) {
    std::cerr << "quarrymark settings: FIELD must be a number from 1 to 999 (regexN of the file)\n";
    return kUsageError;
  }
  std::u16string text;
  if (operands.size() == 2 && !ReadTestText(operands[1], &text)) {
    std::cerr << "quarrymark settings: cannot read " << (operands[1] == "-" ? "standard input" : operands[1])
              << '\n';
    return kUsageError;
  }

  // The dialog's own sequence: show the field, enter test mode, put the
  // text into the test box, Start.
  const CodePageTables tables = CodePageTables::ForSystem();
  FieldEditor editor(settings, &tables);
  editor.SetCurrentField(field - 1);
  editor.ShowField(field - 1, false);
  editor.controls.caseSensitiveDefault = settings->current.caseSensitiveDefault;
  editor.TestButton();
  if (operands.size() == 2) editor.controls.replace = text;
  const EditorEffects started = editor.StartButton();
  if (started.notice == Notice::kIncorrectExpression) {
    std::cerr << Utf8(NoticeText(started.notice)) << ' ' << Printable(editor.controls.statusText)
              << '\n';
    return kFailed;
  }
  if (started.notice == Notice::kNoMatch) {
    std::cout << Utf8(NoticeText(started.notice)) << '\n';
    return kFailed;
  }
  const std::u16string& subject = settings->testString;
  for (const MatchRecord& match : editor.Probe().Matches()) {
    const int start = match[0], end = match[1];
    std::cout << start << '\t' << end << '\t'
              << Printable(std::u16string_view(subject).substr(start, end - start)) << '\n';
  }
  return 0;
}

int Resave(const Invocation& inv, const std::string& programDir) {
  const std::u16string path = SettingsPath(inv, programDir);
  const CodePageTables tables = CodePageTables::ForSystem();
  UtilityRun run;
  SettingsSession session(&run, &tables);
  if (!session.Open(path)) {
    if (inv.ini || !path.empty()) {
      std::cerr << "quarrymark settings: cannot load " << (inv.ini ? *inv.ini : Utf8(path))
                << ": " << session.settings.loadProblem << '\n';
    } else {
      std::cerr << Utf8(kLoadFailedMessage) << '\n';
    }
    return kUsageError;
  }
  if (!session.Apply()) {
    std::cerr << Utf8(SaveFailedText(session.settings)) << '\n';
    return kUsageError;
  }
  std::cout << "saved " << Utf8(session.settings.path) << '\n';
  return 0;
}

}  // namespace

const char kSettingsHelp[] =
    "usage: quarrymark [--plugin PATH] settings COMMAND [--ini PATH] ...\n"
    "The settings utility's checks, without its window. The file is --ini PATH, else the\n"
    "Quarrymark.ini (or Quarrymark.Sample.ini) beside the plugin: the one --plugin names, or\n"
    "the one beside the program. Fields are numbered as their keys are: regex1, regex2, ...\n"
    "  check              regexN<TAB>ok|warning|error<TAB>the status line (positions counted from\n"
    "                     0, as in Quarrymark_error.log) for each active field; then warnings on\n"
    "                     stderr: unknown keys, values that are not numbers, keys given twice,\n"
    "                     fields without a name, keys beyond regexcount. Exit 1 when an\n"
    "                     expression does not compile\n"
    "  list [--all]       the field list's labels: the active fields, or all 999 slots\n"
    "  test FIELD [--text FILE | TEXTFILE]\n"
    "                     START<TAB>END<TAB>TEXT for each match of field FIELD (N or regexN) in\n"
    "                     the text (UTF-8, or UTF-16 with its byte order mark): the file, standard\n"
    "                     input (--text -, or a pipe), else the utility's stored test text.\n"
    "                     Exit 1 without a match\n"
    "  resave             load and write back as the utility's Apply does\n";

int RunSettingsCommand(const std::vector<std::string>& args, const std::string& programDir) {
  Invocation inv;
  std::string error;
  if (!ParseArguments(args, &inv, &error)) {
    if (!error.empty()) std::cerr << error << '\n';
    std::cerr << kSettingsUsage;
    return kUsageError;
  }
  if (inv.command == "resave") {
    if (!inv.operands.empty()) {
      std::cerr << kSettingsUsage;
      return kUsageError;
    }
    return Resave(inv, programDir);
  }
  if (inv.command != "check" && inv.command != "list" && inv.command != "test") {
    std::cerr << "quarrymark settings: unknown command " << inv.command << '\n' << kSettingsUsage;
    return kUsageError;
  }
  if (inv.command != "test" && !inv.operands.empty()) {
    std::cerr << kSettingsUsage;
    return kUsageError;
  }
  UtilitySettings settings;
  if (!Load(inv, programDir, &settings)) return kUsageError;
  if ((inv.all && inv.command != "list") || (inv.text && inv.command != "test")) {
    std::cerr << kSettingsUsage;
    return kUsageError;
  }
  if (inv.command == "check") return Check(settings, SettingsPath(inv, programDir));
  if (inv.command == "list") return List(settings, inv.all);
  return Test(&settings, inv.operands, inv.text);
}

}  // namespace qm::host
