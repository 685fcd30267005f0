// quarrymark: a command-line host for the Quarrymark content plugin.
//
// Loads the plugin library (--plugin PATH, default the first found of the
// places in plugin_location.h), announces an interface version (--interface
// HI.LO, default 2.11) and then only calls the exports, as a file manager
// does. Each command is one entry of kCommands: its name, its line in the
// usage, its help, whether it needs the plugin loaded, and the function that
// runs it.
//
// Exit status: 0 success; 1 a negative answer (a request without a value,
// files that differ); 2 usage errors, errors of files and loading; 130
// after Ctrl-C.
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
#include "tools/quarrymark/answer_format.h"
#include "tools/quarrymark/columns.h"
#include "tools/quarrymark/compare_command.h"
#include "tools/quarrymark/fulltext_command.h"
#include "tools/quarrymark/options.h"
#include "tools/quarrymark/plugin_host.h"
#include "tools/quarrymark/plugin_location.h"
#include "tools/quarrymark/setup_command.h"
#include "tools/quarrymark/text_command.h"
#include "tools/quarrymark/text_escape.h"
#ifdef QM_HAVE_SETTINGS_COMMAND
#include "tools/quarrymark/settings_command.h"
#endif

#ifndef QM_VERSION_STRING
#define QM_VERSION_STRING "unknown"
#endif

namespace qm::host {
namespace {

const char kGlobalUsage[] =
    "usage: quarrymark [--plugin PATH] [--interface HI.LO] COMMAND [OPTIONS] ...\n"
    "       quarrymark --version | --help | COMMAND --help\n"
    "  --plugin PATH       the plugin library to load (default: the first found of the places below);\n"
    "                      its folder holds the settings that `settings` commands read\n"
    "  --interface HI.LO   the interface version announced to the plugin (default 2.11)\n"
    "  --version           the program's version\n";

const char kFieldsHelp[] =
    "usage: quarrymark fields [--format tsv|json]\n"
    "The fields the plugin offers: INDEX (the field's index, from 0, as value and columns take\n"
    "it; compare fields from 10000), NAME, TYPE (boolean, integer, float, choice, string,\n"
    "fulltext, compare) and UNITS (the choices of a choice field, separated by |). tsv has a\n"
    "header line and escapes backslash, TAB, LF and CR as \\\\ \\t \\n \\r.\n";

const char kValueHelp[] =
    "usage: quarrymark value [OPTIONS] FIELD FILE\n"
    "One request, as a file manager makes it; FIELD is a name or an index (quarrymark fields).\n"
    "Prints CODE<TAB>VALUE (CR, LF, TAB as \\r \\n \\t, other control characters as \\xHH),\n"
    "or with --format json {\"code\": N, \"kind\": NAME, \"value\": typed value or null}.\n"
    "  --ansi            ask through ContentGetValue (ANSI name and answer)\n"
    "  --flags N         the request's flags (1: CONTENT_DELAYIFSLOW)\n"
    "  --maxlen N        the buffer's size in bytes (default 2048, at most 64 MiB)\n"
    "  --unit N          the unit index\n"
    "  --stop-after MS   send ContentStopGetValue after MS milliseconds\n"
    "  --format F        line (default) or json\n"
    "Exit status: 0 a value (or \"...\" / \"<___>\"), 1 no value (code -3, e.g. stopped),\n"
    "2 an error answer (-1 no such field, -2 file error) or a usage error.\n";

const char kBatchHelp[] =
    "usage: quarrymark batch\n"
    "Reads commands from standard input, one per line (words split at spaces, \"quoted words\"\n"
    "may be empty or hold spaces, # starts a comment line): value [OPTIONS] FIELD FILE, fields,\n"
    "refresh, stop FILE. Each command is answered with one line in command order: the value line,\n"
    "ok, or error<TAB>MESSAGE; fields answers with its lines (as quarrymark fields) and an empty\n"
    "line. Requests run on their own thread, so stop and refresh act while a value runs.\n"
    "Exit status: 0, or 1 when a command failed.\n";

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
  long v = 0;
  if (!ParseNumberInRange(text, -2147483647L - 1, 2147483647L, &v)) return false;
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

std::string FieldLines(const PluginHost& plugin) {
  std::string lines = "INDEX\tNAME\tTYPE\tUNITS\n";
  for (const FieldInfo& field : plugin.Fields()) {
    lines += std::to_string(field.index) + '\t' + EscapeTsv(field.name) + '\t' +
             FieldTypeName(field.type) + '\t' + EscapeTsv(field.units) + '\n';
  }
  return lines;
}

int CommandFields(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
                  std::ostream& err) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs("fields", args, {"--format="}, &parsed, &error) || !parsed.operands.empty()) {
    err << (error.empty() ? "fields: takes no operands" : error) << '\n';
    return kUsageError;
  }
  const std::string format = parsed.Last("format", "tsv");
  if (format == "tsv") return out << FieldLines(plugin), 0;
  if (format != "json") {
    err << "fields: unknown format " << format << " (tsv or json)\n";
    return kUsageError;
  }
  out << "[";
  bool first = true;
  for (const FieldInfo& field : plugin.Fields()) {
    out << (first ? "\n" : ",\n") << "  {\"index\": " << field.index
        << ", \"name\": " << JsonString(field.name) << ", \"type\": " << JsonString(FieldTypeName(field.type))
        << ", \"typeCode\": " << field.type << ", \"units\": [";
    std::size_t start = 0;
    bool firstUnit = true;
    while (!field.units.empty()) {
      const std::size_t bar = field.units.find('|', start);
      out << (firstUnit ? "" : ", ") << JsonString(field.units.substr(start, bar - start));
      firstUnit = false;
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
    out << "]}";
    first = false;
  }
  out << (first ? "]\n" : "\n]\n");
  return 0;
}

struct ValueRequest {
  bool ansi = false;
  bool json = false;
  int flags = 0, maxlen = 2048, unit = 0, stopAfter = -1;
  int field = 0;
  std::string file;
};

// Reads the arguments of `value`. False with a one-line message when they
// are not usable.
bool ParseValue(const PluginHost& plugin, const std::vector<std::string>& args,
                ValueRequest* request, std::string* error) {
  ParsedArgs parsed;
  if (!ParseArgs("value", args,
                 {"--ansi", "--flags=", "--maxlen=", "--unit=", "--stop-after=", "--format="}, &parsed,
                 error)) {
    return false;
  }
  request->ansi = parsed.Has("ansi");
  const auto number = [&](const char* name, int* v, const char* what) {
    if (parsed.Has(name) && !ParseInt(parsed.Last(name), v)) {
      *error = std::string("value: --") + name + " needs " + what;
      return false;
    }
    return true;
  };
  if (!number("flags", &request->flags, "a number") || !number("maxlen", &request->maxlen, "a number") ||
      !number("unit", &request->unit, "a number") ||
      !number("stop-after", &request->stopAfter, "milliseconds")) {
    return false;
  }
  if (request->maxlen > kMaxValueBytes) {
    *error = "value: --maxlen may be at most " + std::to_string(kMaxValueBytes) + " (64 MiB)";
    return false;
  }
  const std::string format = parsed.Last("format", "line");
  if (format != "line" && format != "json") {
    *error = "value: unknown format " + format + " (line or json)";
    return false;
  }
  request->json = format == "json";
  if (parsed.operands.size() != 2) return *error = "usage: quarrymark value [options] FIELD FILE", false;
  if (!ResolveField(plugin, parsed.operands[0], &request->field)) {
    *error = "value: no field named " + parsed.operands[0];
    return false;
  }
  request->file = parsed.operands[1];
  return true;
}

// Runs one request; the answer line (without its line end).
Value RunValueRequest(const PluginHost& plugin, const ValueRequest& request) {
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
  return value;
}

std::string AnswerLine(const ValueRequest& request, const Value& value) {
  if (request.json) return JsonAnswerObject(value);
  return std::to_string(value.code) + '\t' + EscapeControls(value.text);
}

int CommandValue(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
                 std::ostream& err) {
  ValueRequest request;
  std::string error;
  if (!ParseValue(plugin, args, &request, &error)) return err << error << '\n', kUsageError;
  const Value value = RunValueRequest(plugin, request);
  out << AnswerLine(request, value) << '\n';
  switch (value.code) {
    case ft_nosuchfield: return err << "value: no such field " << request.field << '\n', kUsageError;
    case ft_fileerror: return err << "value: cannot read " << request.file << '\n', kUsageError;
    case -100: return err << "value: " << value.text << '\n', kUsageError;
    case ft_fieldempty: return 1;
    default: return 0;
  }
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
class Batch {
 public:
  Batch(const PluginHost& plugin, std::ostream& out) : plugin_(plugin), out_(out) {}

  // Reads and answers commands until the input ends; 1 when any command
  // failed, else 0.
  int Run(std::istream& in) {
    std::thread worker([this] { Work(); });
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      Dispatch(line);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
    }
    wake_.notify_one();
    worker.join();
    return failed_ ? 1 : 0;
  }

 private:
  struct Job {
    std::size_t slot;
    bool fields;
    ValueRequest request;
  };

  // One command line: requests go to the worker, the others are answered
  // at once (in their turn).
  void Dispatch(const std::string& line) {
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty() || words[0][0] == '#') return;
    const std::vector<std::string> args(words.begin() + 1, words.end());
    std::unique_lock<std::mutex> lock(mutex_);
    const std::size_t slot = firstSlot_ + answers_.size();
    answers_.emplace_back();
    if (words[0] == "value" || (words[0] == "fields" && args.empty())) {
      Job job{slot, words[0] == "fields", ValueRequest()};
      std::string error;
      lock.unlock();  // resolving a field name asks the plugin
      const bool usable = job.fields || ParseValue(plugin_, args, &job.request, &error);
      lock.lock();
      if (usable) {
        jobs_.push_back(std::move(job));
        wake_.notify_one();
      } else {
        failed_ = true;
        Answer(slot, "error\t" + EscapeControls(error) + '\n');
      }
    } else if (words[0] == "refresh" && args.empty()) {
      plugin_.Refresh();
      Answer(slot, "ok\n");
    } else if (words[0] == "stop" && args.size() == 1) {
      plugin_.Stop(args[0]);
      Answer(slot, "ok\n");
    } else {
      failed_ = true;
      Answer(slot, "error\tunknown command: " + EscapeControls(line) + '\n');
    }
  }

  // The worker: runs the jobs in order until the input has ended and no
  // job is left.
  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return ended_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      const Job job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      std::string text;
      bool jobFailed = false;
      if (job.fields) {
        text = FieldLines(plugin_) + '\n';
      } else {
        const Value value = RunValueRequest(plugin_, job.request);
        jobFailed = value.code == -100;
        text = AnswerLine(job.request, value) + '\n';
      }
      lock.lock();
      failed_ = failed_ || jobFailed;
      Answer(job.slot, std::move(text));
    }
  }

  // Keeps a command's answer and writes every answer that is now due, in
  // command order. The lock is held.
  void Answer(std::size_t slot, std::string text) {
    answers_[slot - firstSlot_] = std::move(text);
    while (!answers_.empty() && answers_.front().has_value()) {
      out_ << *answers_.front();
      answers_.pop_front();
      ++firstSlot_;
    }
    out_.flush();
  }

  const PluginHost& plugin_;
  std::ostream& out_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::deque<std::optional<std::string>> answers_;  // by command, from firstSlot_ on
  std::size_t firstSlot_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

// ---------------------------------------------------------------------------
// Commands and dispatch
// ---------------------------------------------------------------------------
using CommandFunction = int (*)(const PluginHost&, const std::vector<std::string>&, std::ostream&,
                                std::ostream&);

int RunBatchCommand(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
                    std::ostream& err) {
  if (!args.empty()) {
    err << "batch: " << (args[0][0] == '-' ? "unknown option " : "takes no operands: ") << args[0] << '\n';
    return kUsageError;
  }
  return Batch(plugin, out).Run(std::cin);
}

const std::string kSetupHelpText =
    std::string("usage: quarrymark setup [--remove] [--detect-string S] [--config-dir DIR]\n") +
    kSetupUsage;
const char* const kSetupHelp = kSetupHelpText.c_str();

struct Command {
  const char* name;
  const char* summary;  // its line in the usage
  const char* help;
  CommandFunction run;  // null: runs without the plugin (settings, setup)
};

const Command kCommands[] = {
    {"fields", "the fields the plugin offers", kFieldsHelp, CommandFields},
    {"value", "one value request: quarrymark value FIELD FILE", kValueHelp, CommandValue},
    {"columns", "the fields of files as a table, TSV, CSV or JSON", kColumnsHelp, RunColumns},
    {"text", "the text a field searches in a file, as UTF-8", kTextHelp, RunText},
    {"compare", "compare two files by a compare field", kCompareHelp, RunCompare},
    {"sync", "the synchronisation preview of two folders", kSyncHelp, RunSync},
    {"fulltext", "the Outside In full-text field's text", kFulltextHelp, RunFulltext},
    {"batch", "requests read from standard input", kBatchHelp, RunBatchCommand},
#ifdef QM_HAVE_SETTINGS_COMMAND
    {"settings", "check, list, test or resave the settings file", kSettingsHelp, nullptr},
#endif
    {"setup", "set up the user's plugin folder and register it in Double Commander", kSetupHelp,
     nullptr},
};

std::string Usage() {
  std::string usage = kGlobalUsage;
  usage += "commands:\n";
  for (const Command& c : kCommands) {
    std::string name = c.name;
    name.resize(10, ' ');
    usage += "  " + name + c.summary + '\n';
  }
  usage += "Exit status: 0 success, 1 a negative answer (no value, files differ), 2 usage and file\n"
           "errors, 130 Ctrl-C.\n";
  return usage;
}

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--") return false;
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

bool ParseInterface(const std::string& text, std::uint32_t* hi, std::uint32_t* lo) {
  const std::size_t dot = text.find('.');
  long h = 0, l = 0;
  if (dot == std::string::npos || !ParseNumberInRange(text.substr(0, dot), 0, 65535, &h) ||
      !ParseNumberInRange(text.substr(dot + 1), 0, 65535, &l)) {
    return false;
  }
  *hi = static_cast<std::uint32_t>(h);
  *lo = static_cast<std::uint32_t>(l);
  return true;
}

// What comes before the command name.
struct GlobalOptions {
  std::string pluginPath;  // --plugin, else empty
  std::uint32_t versionHi = 2, versionLow = 11;
  std::size_t commandAt = 0;  // the index of the command name in the arguments
};

// Reads the options before the command name. False when the run ends here
// (--version, --help, or a usage error) with *exitCode.
bool ReadGlobalOptions(const std::vector<std::string>& args, const std::vector<PluginPlace>& places,
                       GlobalOptions* options, int* exitCode) {
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto valueOf = [&](const char* option, std::string* value) {
      const std::string prefix = std::string(option) + "=";
      if (a.compare(0, prefix.size(), prefix) == 0) return *value = a.substr(prefix.size()), true;
      if (a != option) return false;
      if (i + 1 >= args.size()) {
        std::cerr << "quarrymark: " << option << " needs a value\n";
        std::exit(kUsageError);
      }
      *value = args[++i];
      return true;
    };
    std::string value;
    if (valueOf("--plugin", &value)) {
      options->pluginPath = value;
    } else if (valueOf("--interface", &value)) {
      if (!ParseInterface(value, &options->versionHi, &options->versionLow)) {
        std::cerr << "quarrymark: --interface takes HI.LO (for example 2.11), not " << value << '\n';
        return *exitCode = kUsageError, false;
      }
    } else if (a == "--version" || a == "-V") {
      // "--version HI.LO" is the older spelling of --interface: a command
      // name never looks like a version, so the two cannot be confused.
      if (i + 1 < args.size() && ParseInterface(args[i + 1], &options->versionHi, &options->versionLow)) {
        ++i;
        continue;
      }
      if (i + 1 < args.size()) {
        std::cerr << "quarrymark: --version takes no value (the interface version is --interface "
                     "HI.LO), not "
                  << args[i + 1] << '\n';
        return *exitCode = kUsageError, false;
      }
      std::cout << "quarrymark " << QM_VERSION_STRING << '\n';
      return *exitCode = 0, false;
    } else if (a == "--help" || a == "-h") {
      std::cout << Usage() << "The plugin, without --plugin the first of:\n" << DescribePluginPlaces(places);
      return *exitCode = 0, false;
    } else if (a.size() > 1 && a[0] == '-') {
      std::cerr << "quarrymark: unknown option " << a << "\n(quarrymark --help lists the options)\n";
      return *exitCode = kUsageError, false;
    } else {
      break;
    }
  }
  if (i >= args.size()) {
    std::cerr << Usage();
    return *exitCode = kUsageError, false;
  }
  options->commandAt = i;
  return true;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

// Loads the plugin and runs a command that needs it.
int RunWithPlugin(const Command& command, const std::vector<std::string>& rest, const GlobalOptions& options,
                  const std::string& pluginPath, bool pluginFound, const std::vector<PluginPlace>& places) {
  PluginHost plugin;
  std::string error;
  if (!plugin.Load(pluginPath, options.versionHi, options.versionLow, &error)) {
    std::cerr << "quarrymark: " << error << '\n';
    if (!pluginFound) std::cerr << "no plugin found; looked at:\n" << DescribePluginPlaces(places);
    return kUsageError;
  }
  return command.run(plugin, rest, std::cout, std::cerr);
}

int Main(const std::vector<std::string>& args, const char* argv0) {
  const std::string folder = ProgramFolder(argv0);
  const std::vector<PluginPlace> places = PluginPlaces(folder);
  GlobalOptions options;
  int exitCode = 0;
  if (!ReadGlobalOptions(args, places, &options, &exitCode)) return exitCode;
  const std::string name = args[options.commandAt];
  const std::vector<std::string> rest(args.begin() + static_cast<long>(options.commandAt) + 1, args.end());
  const Command* command = FindCommand(name);
  if (command == nullptr) {
    std::cerr << "quarrymark: unknown command " << name << "\n" << Usage();
    return kUsageError;
  }
  if (WantsHelp(rest)) {
    std::cout << command->help;
    return 0;
  }
  if (name == "setup") return RunSetupCommand(rest, folder, std::cout, std::cerr);
  // --plugin, else the first of the places holding one.
  bool pluginFound = true;
  const std::string pluginPath =
      options.pluginPath.empty() ? LocatePlugin(places, &pluginFound) : options.pluginPath;
#ifdef QM_HAVE_SETTINGS_COMMAND
  // The settings beside the plugin that would be loaded.
  if (name == "settings") return RunSettingsCommand(rest, PluginFolder(pluginPath));
#endif
  return RunWithPlugin(*command, rest, options, pluginPath, pluginFound, places);
}

}  // namespace
}  // namespace qm::host

int main(int argc, char** argv) {
  try {
    return qm::host::Main(std::vector<std::string>(argv + 1, argv + argc), argc > 0 ? argv[0] : nullptr);
  } catch (const std::exception& e) {
    std::cerr << "quarrymark: " << e.what() << '\n';
    return qm::host::kUsageError;
  }
}
