// quarrymark: a command-line host for the Quarrymark content plugin.
//
// Loads the plugin library (--plugin PATH, default Quarrymark.wdx beside the
// program), announces an interface version (--version HI.LO, default 2.11)
// and then only calls the exports, as a file manager does.
//
//   quarrymark fields
//   quarrymark value [--ansi] [--flags N] [--maxlen N] [--unit N] [--stop-after MS] FIELD FILE
//   quarrymark columns [-j N] [--fields LIST] [--format table|tsv|csv|json] [--recursive]
//                      [--on-demand] PATH...
//   quarrymark batch            (commands from stdin: value ..., fields, refresh, stop FILE)
//   quarrymark compare [--field F] FILE1 FILE2
//   quarrymark sync [--field F] [--recursive] [--format table|tsv|json] [-j N] DIR1 DIR2
//   quarrymark fulltext FILE [--piece BYTES]
//   quarrymark settings ...     (the settings utility's checks, headless)
//
// Exit status: 0 success, 1 a request failed, 2 usage or loading errors.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tools/quarrymark/columns.h"
#include "tools/quarrymark/compare_command.h"
#include "tools/quarrymark/fulltext_command.h"
#include "tools/quarrymark/plugin_host.h"
#include "tools/quarrymark/plugin_location.h"
#include "tools/quarrymark/setup_command.h"
#include "tools/quarrymark/text_escape.h"
#ifdef QM_HAVE_SETTINGS_COMMAND
#include "tools/quarrymark/settings_command.h"
#endif

namespace qm::host {
namespace {

constexpr int kUsageError = 2;

const char kUsage[] =
    "usage: quarrymark [--plugin PATH] [--version HI.LO] COMMAND ...\n"
    "commands:\n"
    "  fields                         list the fields the plugin offers (INDEX NAME TYPE UNITS)\n"
    "  value [--ansi] [--flags N] [--maxlen N] [--unit N] [--stop-after MS] FIELD FILE\n"
    "                                 one request; prints CODE<TAB>VALUE (--maxlen at most 64 MiB)\n"
    "  columns [-j N] [--fields LIST] [--format table|tsv|csv|json] [--recursive] [--on-demand] PATH...\n"
    "  batch                          read commands from stdin, one per line: value ..., fields,\n"
    "                                 refresh, stop FILE; stop and refresh act while a value runs\n"
    "  compare [--field F] FILE1 FILE2   compare two files by a compare field\n"
    "  sync [--field F] [--recursive] [--format table|tsv|json] [-j N] DIR1 DIR2\n"
    "                                 the synchronisation preview of two folders\n"
    "  fulltext FILE [--piece BYTES]  the full-text field's text, piece by piece\n"
    "  settings check|list|test|resave ...   the settings utility's checks\n"
    "output:\n"
    "  value lines and table cells show CR, LF, TAB as \\r \\n \\t and other control characters as\n"
    "  \\xHH. In fields and tsv output every name and value escapes backslash, TAB, LF and CR as\n"
    "  \\\\ \\t \\n \\r. JSON strings are valid for any name: bytes that are not UTF-8 appear as\n"
    "  \\udc80..\\udcff. batch answers each command with one line in command order (the value\n"
    "  line, ok, or error<TAB>MESSAGE); fields answers with its lines and then an empty line.\n";

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
    out << field.index << '\t' << EscapeTsv(field.name) << '\t' << field.type << '\t'
        << EscapeTsv(field.units) << '\n';
  }
  return 0;
}

struct ValueRequest {
  bool ansi = false;
  int flags = 0, maxlen = 2048, unit = 0, stopAfter = -1;
  int field = 0;
  std::string file;
};

// Reads the arguments of `value`. False with a one-line message when they
// are not usable.
bool ParseValue(const PluginHost& plugin, const std::vector<std::string>& args,
                ValueRequest* request, std::string* error) {
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto number = [&](int* v) { return i + 1 < args.size() && ParseInt(args[++i], v); };
    if (a == "--ansi") {
      request->ansi = true;
    } else if (a == "--flags") {
      if (!number(&request->flags)) return *error = "value: --flags needs a number", false;
    } else if (a == "--maxlen") {
      if (!number(&request->maxlen)) return *error = "value: --maxlen needs a number", false;
      if (request->maxlen > kMaxValueBytes) {
        *error = "value: --maxlen may be at most " + std::to_string(kMaxValueBytes) + " (64 MiB)";
        return false;
      }
    } else if (a == "--unit") {
      if (!number(&request->unit)) return *error = "value: --unit needs a number", false;
    } else if (a == "--stop-after") {
      if (!number(&request->stopAfter)) return *error = "value: --stop-after needs milliseconds", false;
    } else {
      rest.push_back(a);
    }
  }
  if (rest.size() != 2) return *error = "usage: quarrymark value [options] FIELD FILE", false;
  if (!ResolveField(plugin, rest[0], &request->field)) {
    return *error = "value: no field named " + rest[0], false;
  }
  request->file = rest[1];
  return true;
}

// Runs one request; the answer line is "CODE<TAB>VALUE" (without its line
// end). *failed tells that the plugin broke the buffer contract.
std::string RunValue(const PluginHost& plugin, const ValueRequest& request, bool* failed) {
  std::thread stopper;
  std::atomic<bool> done{false};
  if (request.stopAfter >= 0) {
    stopper = std::thread([&] {
      const auto until =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(request.stopAfter);
      while (!done && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      plugin.Stop(request.file);
    });
  }
  const Value value = plugin.GetValue(request.file, request.field, request.unit, request.maxlen,
                                      request.flags, request.ansi);
  done = true;
  if (stopper.joinable()) stopper.join();
  *failed = value.code == -100;
  return std::to_string(value.code) + '\t' + EscapeControls(value.text);
}

int CommandValue(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
                 std::ostream& err) {
  ValueRequest request;
  std::string error;
  if (!ParseValue(plugin, args, &request, &error)) return err << error << '\n', kUsageError;
  bool failed = false;
  out << RunValue(plugin, request, &failed) << '\n';
  return failed ? 1 : 0;
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

// `batch`: commands are read on this thread while requests run one after
// another on a worker thread, so that `stop FILE` and `refresh` reach the
// plugin while a request is running, as a file manager's threads do. Every
// command is answered in the order the commands came, with exactly one
// line: the value line, "ok", or "error<TAB>MESSAGE"; `fields` alone
// answers with its field lines and then an empty line.
int CommandBatch(const PluginHost& plugin, std::istream& in, std::ostream& out) {
  struct Job {
    std::size_t slot;
    bool fields;
    ValueRequest request;
  };
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Job> jobs;
  std::deque<std::optional<std::string>> answers;  // by command, from firstSlot on
  std::size_t firstSlot = 0;
  bool ended = false;
  bool failed = false;

  // Called with the lock held.
  const auto newSlot = [&] { return firstSlot + answers.size(); };
  const auto answer = [&](std::size_t slot, std::string text) {
    answers[slot - firstSlot] = std::move(text);
    while (!answers.empty() && answers.front().has_value()) {
      out << *answers.front();
      answers.pop_front();
      ++firstSlot;
    }
    out.flush();
  };

  std::thread worker([&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return ended || !jobs.empty(); });
      if (jobs.empty()) return;
      const Job job = std::move(jobs.front());
      jobs.pop_front();
      lock.unlock();
      std::string text;
      bool jobFailed = false;
      if (job.fields) {
        std::ostringstream lines;
        CommandFields(plugin, lines);
        text = lines.str() + '\n';
      } else {
        text = RunValue(plugin, job.request, &jobFailed) + '\n';
      }
      lock.lock();
      failed = failed || jobFailed;
      answer(job.slot, std::move(text));
    }
  });

  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty() || words[0][0] == '#') continue;
    const std::vector<std::string> args(words.begin() + 1, words.end());
    std::unique_lock<std::mutex> lock(mutex);
    const std::size_t slot = newSlot();
    answers.emplace_back();
    if (words[0] == "value" || (words[0] == "fields" && args.empty())) {
      Job job{slot, words[0] == "fields", ValueRequest()};
      std::string error;
      lock.unlock();  // resolving a field name asks the plugin
      const bool usable = job.fields || ParseValue(plugin, args, &job.request, &error);
      lock.lock();
      if (usable) {
        jobs.push_back(std::move(job));
        wake.notify_one();
      } else {
        failed = true;
        answer(slot, "error\t" + EscapeControls(error) + '\n');
      }
    } else if (words[0] == "refresh" && args.empty()) {
      plugin.Refresh();
      answer(slot, "ok\n");
    } else if (words[0] == "stop" && args.size() == 1) {
      plugin.Stop(args[0]);
      answer(slot, "ok\n");
    } else {
      failed = true;
      answer(slot, "error\tunknown command: " + EscapeControls(line) + '\n');
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
  }
  wake.notify_one();
  worker.join();
  return failed ? 1 : 0;
}

}  // namespace
}  // namespace qm::host

int main(int argc, char** argv) {
  using namespace qm::host;
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    const std::string folder = ProgramFolder(argc > 0 ? argv[0] : nullptr);
    const std::vector<PluginPlace> places = PluginPlaces(folder);
    bool pluginFound = true;
    std::string pluginPath;
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
        std::cout << kUsage << kSetupUsage << "plugin, without --plugin the first of:\n"
                  << DescribePluginPlaces(places);
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
    if (pluginPath.empty()) pluginPath = LocatePlugin(places, &pluginFound);
    const std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
#ifdef QM_HAVE_SETTINGS_COMMAND
    if (command == "settings") return RunSettingsCommand(rest, PluginFolder(pluginPath));
#endif
    if (command == "setup") return RunSetupCommand(rest, folder, std::cout, std::cerr);
    if (command != "fields" && command != "value" && command != "columns" && command != "batch" &&
        command != "compare" && command != "sync" && command != "fulltext") {
      std::cerr << "quarrymark: unknown command " << command << "\n" << kUsage;
      return kUsageError;
    }
    PluginHost plugin;
    std::string error;
    if (!plugin.Load(pluginPath, versionHi, versionLow, &error)) {
      std::cerr << "quarrymark: " << error << '\n';
      if (!pluginFound) std::cerr << "no plugin found; looked at:\n" << DescribePluginPlaces(places);
      return kUsageError;
    }
    if (command == "fields") return CommandFields(plugin, std::cout);
    if (command == "value") return CommandValue(plugin, rest, std::cout, std::cerr);
    if (command == "columns") return RunColumns(plugin, rest, std::cout, std::cerr);
    if (command == "compare") return RunCompare(plugin, rest, std::cout, std::cerr);
    if (command == "sync") return RunSync(plugin, rest, std::cout, std::cerr);
    if (command == "fulltext") return RunFulltext(plugin, rest, std::cout, std::cerr);
    return CommandBatch(plugin, std::cin, std::cout);
  } catch (const std::exception& e) {
    std::cerr << "quarrymark: " << e.what() << '\n';
    return kUsageError;
  }
}
