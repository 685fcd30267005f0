// quarrymark settings: check, list, test and resave through the settings
// utility's model, exactly as its dialog would compute them.
#include "tools/quarrymark/settings_command.h"

#include <cstdio>
#include <iostream>
#include <optional>

#include "config_utility/model/expression_probe.h"
#include "config_utility/model/field_editor.h"
#include "config_utility/model/settings_session.h"
#include "config_utility/model/text.h"
#include "config_utility/model/utility_settings.h"
#include "platform/platform.h"
#include "tools/quarrymark/text_escape.h"

namespace qm::host {
namespace {

using namespace qm::utility;

constexpr int kFailed = 1;
constexpr int kUsageError = 2;
constexpr std::uint64_t kMaxTestFileBytes = 64ull << 20;

const char kSettingsUsage[] =
    "usage: quarrymark settings check  [--ini PATH]\n"
    "       quarrymark settings list   [--ini PATH]\n"
    "       quarrymark settings test   [--ini PATH] FIELD [TEXTFILE]\n"
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
  std::vector<std::string> operands;
};

bool ParseArguments(const std::vector<std::string>& args, Invocation* inv) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--ini") {
      if (i + 1 >= args.size()) return false;
      inv->ini = args[++i];
    } else if (inv->command.empty()) {
      inv->command = args[i];
    } else {
      inv->operands.push_back(args[i]);
    }
  }
  return !inv->command.empty();
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
bool ReadTestText(const std::string& name, std::u16string* text) {
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
    return true;
  }
  std::string_view utf8 = bytes;
  if (utf8.substr(0, 3) == "\xEF\xBB\xBF") utf8.remove_prefix(3);
  *text = FromUtf8(utf8);
  return true;
}

// ---------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------
int Check(const UtilitySettings& settings) {
  const CodePageTables tables = CodePageTables::ForSystem();
  const SettingsBlock& block = settings.current;
  int result = 0;
  for (int n = 1; n <= block.regexCount; ++n) {
    const FieldSlot& slot = block.fields[n - 1];
    const std::u16string& shown = slot.expression.empty() ? kMatchAllText : slot.expression;
    const ExpressionCheck check = CheckExpression(
        shown, OptionsForField(slot.flags, block.caseSensitiveDefault, tables), tables);
    std::cout << n << '\t' << static_cast<int>(check.status) << '\t' << Printable(check.text)
              << '\n';
    if (check.status == ExpressionStatus::kError) result = kFailed;
  }
  return result;
}

int List(const UtilitySettings& settings) {
  for (const std::u16string& label : FieldListLabels(settings.current)) {
    std::cout << Printable(label) << '\n';
  }
  return 0;
}

int Test(UtilitySettings* settings, const std::vector<std::string>& operands) {
  if (operands.empty() || operands.size() > 2) {
    std::cerr << kSettingsUsage;
    return kUsageError;
  }
  const std::int32_t field = ReadDecimalText(FromUtf8(operands[0]));
  if (field < 1 || field > settings::kMaxFields ||
      operands[0].find_first_not_of("0123456789") != std::string::npos) {
    std::cerr << "quarrymark settings: FIELD must be a number from 1 to 999\n";
    return kUsageError;
  }
  std::u16string text;
  if (operands.size() == 2 && !ReadTestText(operands[1], &text)) {
    std::cerr << "quarrymark settings: cannot read " << operands[1] << '\n';
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

int RunSettingsCommand(const std::vector<std::string>& args, const std::string& programDir) {
  Invocation inv;
  if (!ParseArguments(args, &inv)) {
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
  if (inv.command == "check") return Check(settings);
  if (inv.command == "list") return List(settings);
  return Test(&settings, inv.operands);
}

}  // namespace qm::host
