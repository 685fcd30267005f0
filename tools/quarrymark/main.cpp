// quarrymark: a command-line host for the Quarrymark content plugin.
//
// Loads the plugin library (--plugin PATH, default Quarrymark.wdx beside the
// program), announces an interface version (--version HI.LO, default 2.11)
// and then only calls the exports, as a file manager does.
//
//   quarrymark fields
//   quarrymark value [--ansi] [--flags N] [--maxlen N] [--unit N] [--stop-after MS] FIELD FILE
//   quarrymark columns [--fields LIST] [--format table|tsv|csv|json] [--recursive]
//                      [--on-demand] PATH...
//   quarrymark batch            (commands from stdin: value ..., fields, refresh, stop FILE)
//   quarrymark compare [--field F] FILE1 FILE2
//   quarrymark sync [--field F] [--recursive] [--format table|tsv|json] [-j N] DIR1 DIR2
//   quarrymark settings ...     (the settings utility's checks, headless)
//
// Exit status: 0 success, 1 a request failed, 2 usage or loading errors.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tools/quarrymark/columns.h"
#include "tools/quarrymark/compare_command.h"
#include "tools/quarrymark/plugin_host.h"
#ifdef QM_HAVE_SETTINGS_COMMAND
#include "tools/quarrymark/settings_command.h"
#endif

namespace qm::host {
namespace {

constexpr int kUsageError = 2;

const char kUsage[] =
    "usage: quarrymark [--plugin PATH] [--version HI.LO] COMMAND ...\n"
    "commands:\n"
    "  fields                         list the fields the plugin offers\n"
    "  value [--ansi] [--flags N] [--maxlen N] [--unit N] [--stop-after MS] FIELD FILE\n"
    "  columns [--fields LIST] [--format table|tsv|csv|json] [--recursive] [--on-demand] PATH...\n"
    "  batch                          read commands from stdin, one per line\n"
    "  compare [--field F] FILE1 FILE2   compare two files by a compare field\n"
    "  sync [--field F] [--recursive] [--format table|tsv|json] [-j N] DIR1 DIR2\n"
    "                                 the synchronisation preview of two folders\n"
    "  settings check|list|test|resave ...   the settings utility's checks\n";

std::string ProgramFolder(const char* argv0) {
  std::u16string wide;
  std::string narrow;
  if (platform::QueryModulePath(reinterpret_cast<const void*>(&ProgramFolder), &wide, &narrow)) {
    // The folder goes back into ArgumentToWide, so it is kept in that form.
    std::string path;
#ifdef _WIN32
    const std::uint32_t codePage = platform::AnsiCodePage();
#else
    const std::uint32_t codePage = platform::kCodePageUtf8;
#endif
    if (!wide.empty()) {
      platform::AppendNarrow(codePage, wide.data(), wide.size(), &path);
    } else {
      path = narrow;
    }
    const std::size_t cut = path.find_last_of("\\/");
    if (cut != std::string::npos) return path.substr(0, cut + 1);
  }
  const std::string self = argv0 != nullptr ? argv0 : "";
  const std::size_t cut = self.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : self.substr(0, cut + 1);
}

bool ParseInt(const std::string& text, int* value) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != 0) return false;
  *value = static_cast<int>(v);
  return true;
}

// A field given by index or by name.
bool ResolveField(const PluginHost& plugin, const std::string& text, int* index) {
  if (ParseInt(text, index)) return true;
  for (const FieldInfo& field : plugin.Fields()) {
    if (field.name == text) {
      *index = field.index;
      return true;
    }
  }
  return false;
}

int CommandFields(const PluginHost& plugin, std::ostream& out) {
  for (const FieldInfo& field : plugin.Fields()) {
    out << field.index << '\t' << field.name << '\t' << field.type << '\t' << field.units << '\n';
  }
  return 0;
}

int CommandValue(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
                 std::ostream& err) {
  bool ansi = false;
  int flags = 0, maxlen = 2048, unit = 0, stopAfter = -1;
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto number = [&](int* v) {
      return i + 1 < args.size() && ParseInt(args[++i], v);
    };
    if (a == "--ansi") {
      ansi = true;
    } else if (a == "--flags") {
      if (!number(&flags)) return err << "value: --flags needs a number\n", kUsageError;
    } else if (a == "--maxlen") {
      if (!number(&maxlen)) return err << "value: --maxlen needs a number\n", kUsageError;
    } else if (a == "--unit") {
      if (!number(&unit)) return err << "value: --unit needs a number\n", kUsageError;
    } else if (a == "--stop-after") {
      if (!number(&stopAfter)) return err << "value: --stop-after needs milliseconds\n", kUsageError;
    } else {
      rest.push_back(a);
    }
  }
  if (rest.size() != 2) return err << "usage: quarrymark value [options] FIELD FILE\n", kUsageError;
  int field = 0;
  if (!ResolveField(plugin, rest[0], &field)) {
    return err << "value: no field named " << rest[0] << '\n', kUsageError;
  }
  std::thread stopper;
  std::atomic<bool> done{false};
  if (stopAfter >= 0) {
    stopper = std::thread([&] {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(stopAfter);
      while (!done && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      plugin.Stop(rest[1]);
    });
  }
  const Value value = plugin.GetValue(rest[1], field, unit, maxlen, flags, ansi);
  done = true;
  if (stopper.joinable()) stopper.join();
  out << value.code << '\t' << value.text << '\n';
  return value.code == -100 ? 1 : 0;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (const char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

int CommandBatch(const PluginHost& plugin, std::istream& in, std::ostream& out, std::ostream& err) {
  std::string line;
  int status = 0;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty() || words[0][0] == '#') continue;
    const std::vector<std::string> args(words.begin() + 1, words.end());
    if (words[0] == "value") {
      if (CommandValue(plugin, args, out, err) != 0) status = 1;
    } else if (words[0] == "fields") {
      CommandFields(plugin, out);
    } else if (words[0] == "refresh") {
      plugin.Refresh();
      out << "ok\n";
    } else if (words[0] == "stop" && args.size() == 1) {
      plugin.Stop(args[0]);
      out << "ok\n";
    } else {
      err << "batch: unknown command: " << line << '\n';
      out << "error\n";
      status = 1;
    }
    out.flush();
  }
  return status;
}

}  // namespace
}  // namespace qm::host

int main(int argc, char** argv) {
  using namespace qm::host;
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    const std::string folder = ProgramFolder(argc > 0 ? argv[0] : nullptr);
#ifdef _WIN64
    std::string pluginPath = folder + "Quarrymark.wdx64";  // the 64-bit plugin's name
#else
    std::string pluginPath = folder + "Quarrymark.wdx";
#endif
    std::uint32_t versionHi = 2, versionLow = 11;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
      if (args[i] == "--plugin" && i + 1 < args.size()) {
        pluginPath = args[++i];
      } else if (args[i] == "--version" && i + 1 < args.size()) {
        unsigned hi = 0, lo = 0;
        if (std::sscanf(args[++i].c_str(), "%u.%u", &hi, &lo) != 2) {
          std::cerr << "quarrymark: --version takes HI.LO\n";
          return kUsageError;
        }
        versionHi = hi;
        versionLow = lo;
      } else if (args[i] == "--help" || args[i] == "-h") {
        std::cout << kUsage;
        return 0;
      } else {
        break;
      }
    }
    if (i >= args.size()) {
      std::cerr << kUsage;
      return kUsageError;
    }
    const std::string command = args[i];
    const std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
#ifdef QM_HAVE_SETTINGS_COMMAND
    if (command == "settings") return RunSettingsCommand(rest, folder);
#endif
    if (command != "fields" && command != "value" && command != "columns" && command != "batch" &&
        command != "compare" && command != "sync") {
      std::cerr << "quarrymark: unknown command " << command << "\n" << kUsage;
      return kUsageError;
    }
    PluginHost plugin;
    std::string error;
    if (!plugin.Load(pluginPath, versionHi, versionLow, &error)) {
      std::cerr << "quarrymark: " << error << '\n';
      return kUsageError;
    }
    if (command == "fields") return CommandFields(plugin, std::cout);
    if (command == "value") return CommandValue(plugin, rest, std::cout, std::cerr);
    if (command == "columns") return RunColumns(plugin, rest, std::cout, std::cerr);
    if (command == "compare") return RunCompare(plugin, rest, std::cout, std::cerr);
    if (command == "sync") return RunSync(plugin, rest, std::cout, std::cerr);
    return CommandBatch(plugin, std::cin, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "quarrymark: " << e.what() << '\n';
    return kUsageError;
  }
}
