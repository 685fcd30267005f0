// `quarrymark columns`.
//
// Workers take the files in order, one row at a time (the foreground request
// of every field, then the put-off ones); this thread writes each row as
// soon as it and every row before it are complete, so the output streams in
// a stable order. Ctrl-C stops the running requests (ContentStopGetValueW),
// writes the rows finished before the first unfinished one and closes the
// output's structure.
#include "tools/quarrymark/columns.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include "tools/quarrymark/answer_format.h"
#include "tools/quarrymark/file_select.h"
#include "tools/quarrymark/options.h"
#include "tools/quarrymark/terminal.h"
#include "tools/quarrymark/text_escape.h"

namespace qm::host {

const char kColumnsHelp[] =
    "usage: quarrymark columns [OPTIONS] PATH...\n"
    "The fields of each file as a file manager's columns show them; folders give their files.\n"
    "  --fields LIST        the fields to show, by name or index (comma-separated; default all)\n"
    "  --format F           table (default), tsv, csv, json (one array) or jsonl (one object\n"
    "                       per line). json values are typed: numbers, true/false, strings,\n"
    "                       null without a value, with the answer code and its kind\n"
    "  -j, --jobs N         worker threads (default: the number of processors); rows keep the\n"
    "                       order of the files\n"
    "  --on-demand          also compute the fields the plugin answers only on demand (<___>)\n"
    "  -r, --recursive      walk into subfolders\n"
    "  -g, --glob GLOB      only files matching GLOB (over the path below the folder, or the\n"
    "                       name when GLOB has no '/'); !GLOB excludes files and folders\n"
    "  -e, --ext EXT        only files with this extension (repeatable, or a comma list)\n"
    "      --hidden         also hidden files and folders (names starting with a dot)\n"
    "      --no-ignore      do not read .gitignore and .ignore files\n"
    "  -L, --follow         follow symbolic links\n"
    "      --color WHEN     auto (default: on a terminal, unless NO_COLOR is set), always, never\n"
    "A table cut cells longer than its columns with an ellipsis on a terminal only. tsv\n"
    "escapes backslash, TAB, LF and CR as \\\\ \\t \\n \\r; csv quotes cells holding a comma,\n"
    "a quote, CR or LF. Missing paths are reported on stderr and the run goes on (exit 2).\n"
    "Ctrl-C writes the rows finished so far and exits with 130.\n";

namespace {

namespace fs = std::filesystem;

constexpr int kMaxlen = 2048;
constexpr std::size_t kWidthSampleRows = 50;  // rows that decide a table's column widths
constexpr std::size_t kTerminalCellWidth = 40;
constexpr std::size_t kTerminalFileWidth = 60;
constexpr std::size_t kWalkBatch = 64;  // files found that reach the workers at once
constexpr std::size_t kClaim = 8;       // files a worker claims at most at once
constexpr std::size_t kWakeRows = 256;  // rows done that wake the writer before its next look
constexpr std::size_t kServiceFiles = 256;  // files found between two looks at the rows and Ctrl-C

std::string Csv(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (const char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

Colour CellColour(const Value& v) {
  switch (v.code) {
    case ft_nosuchfield:
    case ft_fileerror:
    case -100: return Colour::kRed;
    case ft_delayed:
    case ft_ondemand: return Colour::kYellow;
    case ft_boolean: return v.number != 0 ? Colour::kGreen : Colour::kNone;
    default: return Colour::kNone;
  }
}

// Writes the header, the rows and the end of one output format.
class RowWriter {
 public:
  RowWriter(std::ostream& out, std::string format, std::vector<FieldInfo> fields, bool terminal,
            bool colour)
      : out_(out), format_(std::move(format)), fields_(std::move(fields)), terminal_(terminal),
        colour_(colour) {}

  void Begin() {
    if (format_ == "json") {
      out_ << "[";
    } else if (format_ == "tsv" || format_ == "csv") {
      StartLine("File");
      for (const FieldInfo& f : fields_) AppendCell(f.name);
      EndLine();
    }
    out_.flush();
  }

  void Row(const std::string& file, const std::vector<Value>& values) {
    if (format_ == "json" || format_ == "jsonl") {
      std::string line = "{\"file\": " + JsonString(file) + ", \"fields\": {";
      for (std::size_t c = 0; c < values.size(); ++c) {
        line += (c ? ", " : "") + JsonString(fields_[c].name) + ": " + JsonAnswerObject(values[c]);
      }
      line += "}}";
      if (format_ == "json") {
        out_ << (rows_ ? ",\n  " : "\n  ") << line;
      } else {
        out_ << line << '\n';
      }
    } else if (format_ == "table") {
      pending_.emplace_back(file, values);
      if (widths_.empty() && pending_.size() < kWidthSampleRows) return;
      FlushTable();
    } else {
      StartLine(file);
      for (const Value& v : values) AppendCell(CellText(v));
      EndLine();
    }
    ++rows_;
  }

  // Rows reach the output when no further row is ready (see WriteDoneRows):
  // one write for many small files instead of one each.
  void Flush() { out_.flush(); }

  // A table waits for its first rows to size its columns, but not for
  // longer than half a second: slow files then do not hold back the rows
  // that are done.
  bool TableDue() const {
    return format_ == "table" && !pending_.empty() && widths_.empty() &&
           std::chrono::steady_clock::now() - begun_ >= std::chrono::milliseconds(500);
  }
  void FlushDueTable() {
    FlushTable();
    out_.flush();
  }

  void End() {
    if (format_ == "table") FlushTable();
    if (format_ == "json") out_ << (rows_ ? "\n]\n" : "]\n");
    out_.flush();
  }

 private:
  // A TSV or CSV line is built in line_ (its storage kept between rows):
  // the first cell, the others each after a separator, then the line end.
  void StartLine(const std::string& first) {
    line_.clear();
    line_ += format_ == "csv" ? Csv(first) : EscapeTsv(first);
  }
  void AppendCell(const std::string& cell) {
    const bool csv = format_ == "csv";
    line_ += csv ? ',' : '\t';
    line_ += csv ? Csv(cell) : EscapeTsv(cell);
  }
  void EndLine() {
    line_ += '\n';
    out_ << line_;
  }

  std::size_t Cap(std::size_t column) const {
    return column == 0 ? kTerminalFileWidth : kTerminalCellWidth;
  }

  // Widths come from the header and the first rows; on a terminal no column
  // is wider than its cap and longer cells are cut with an ellipsis.
  void FlushTable() {
    if (widths_.empty()) {
      std::vector<std::string> header{"File"};
      for (const FieldInfo& f : fields_) header.push_back(EscapeControls(f.name));
      widths_.assign(header.size(), 0);
      for (std::size_t c = 0; c < header.size(); ++c) widths_[c] = DisplayWidth(header[c]);
      for (const auto& [file, values] : pending_) {
        widths_[0] = std::max(widths_[0], DisplayWidth(EscapeControls(file)));
        for (std::size_t c = 0; c < values.size(); ++c) {
          widths_[c + 1] = std::max(widths_[c + 1], DisplayWidth(EscapeControls(CellText(values[c]))));
        }
      }
      if (terminal_) {
        for (std::size_t c = 0; c < widths_.size(); ++c) widths_[c] = std::min(widths_[c], Cap(c));
      }
      std::vector<std::pair<std::string, Colour>> cells;
      for (const std::string& h : header) cells.emplace_back(h, Colour::kNone);
      WriteTableLine(cells);
      std::string rule;
      for (std::size_t c = 0; c < widths_.size(); ++c) {
        rule += std::string(widths_[c], '-') + (c + 1 < widths_.size() ? "  " : "");
      }
      out_ << rule << '\n';
    }
    for (const auto& [file, values] : pending_) {
      std::vector<std::pair<std::string, Colour>> cells{{EscapeControls(file), Colour::kNone}};
      for (const Value& v : values) cells.emplace_back(EscapeControls(CellText(v)), CellColour(v));
      WriteTableLine(cells);
    }
    pending_.clear();
  }

  void WriteTableLine(const std::vector<std::pair<std::string, Colour>>& cells) {
    std::string line;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      std::string text = cells[c].first;
      if (terminal_) text = CutToWidth(text, widths_[c]);
      const std::size_t width = DisplayWidth(text);
      line += Paint(text, cells[c].second, colour_);
      if (c + 1 < cells.size()) line += std::string(widths_[c] > width ? widths_[c] - width + 2 : 2, ' ');
    }
    out_ << line << '\n';
  }

  std::ostream& out_;
  std::string format_;
  std::vector<FieldInfo> fields_;
  bool terminal_, colour_;
  std::size_t rows_ = 0;
  std::string line_;  // the row being written (its storage kept)
  std::vector<std::size_t> widths_;
  std::vector<std::pair<std::string, std::vector<Value>>> pending_;
  std::chrono::steady_clock::time_point begun_ = std::chrono::steady_clock::now();
};

std::vector<std::string> SplitList(const std::vector<std::string>& values) {
  std::vector<std::string> items;
  for (const std::string& value : values) {
    std::stringstream list(value);
    std::string item;
    while (std::getline(list, item, ',')) {
      if (!item.empty()) items.push_back(item);
    }
  }
  return items;
}

// What `columns` was asked to show, and how.
struct ColumnsOptions {
  std::string format;
  long threads = 1;
  bool colour = false;
  bool onDemand = false;
  FileSelection selection;
  std::vector<FieldInfo> fields;
};

// The value fields the plugin offers (not the compare fields), or those
// --fields names, by name or index, in its order.
bool ChooseFields(const PluginHost& plugin, const ParsedArgs& parsed, std::ostream& err,
                  std::vector<FieldInfo>* fields) {
  std::vector<FieldInfo> offered;
  for (const FieldInfo& f : plugin.Fields()) {
    if (f.index < 10000) offered.push_back(f);
  }
  if (!parsed.Has("fields")) {
    *fields = offered;
    return true;
  }
  for (const std::string& item : SplitList(parsed.All("fields"))) {
    const auto it = std::find_if(offered.begin(), offered.end(), [&](const FieldInfo& f) {
      return f.name == item || std::to_string(f.index) == item;
    });
    if (it == offered.end()) {
      err << "columns: no field " << item << " (quarrymark fields lists them)\n";
      return false;
    }
    fields->push_back(*it);
  }
  return true;
}

// The options after the help request; false after a usage message.
bool ReadColumnsOptions(const PluginHost& plugin, const ParsedArgs& parsed, std::ostream& err,
                        ColumnsOptions* options) {
  std::string error;
  options->format = parsed.Last("format", "table");
  const std::string& format = options->format;
  if (format != "table" && format != "tsv" && format != "csv" && format != "json" && format != "jsonl") {
    err << "columns: unknown format " << format << " (table, tsv, csv, json or jsonl)\n";
    return false;
  }
  options->threads = std::max(1u, std::thread::hardware_concurrency());
  if (parsed.Has("jobs") && !ParseNumberInRange(parsed.Last("jobs"), 1, 256, &options->threads)) {
    err << "columns: -j takes a number from 1 to 256, not " << parsed.Last("jobs") << '\n';
    return false;
  }
  if (!ResolveColour(parsed.Last("color", "auto"), &options->colour)) {
    err << "columns: --color takes auto, always or never, not " << parsed.Last("color") << '\n';
    return false;
  }
  if (!ReadFileSelection("columns", parsed, &options->selection, &error)) {
    err << error << '\n';
    return false;
  }
  if (parsed.operands.empty()) {
    err << "columns: no PATH given\n(quarrymark columns --help lists the options)\n";
    return false;
  }
  options->onDemand = parsed.Has("on-demand");
  return ChooseFields(plugin, parsed, err, &options->fields);
}

// The rows of a run. This thread walks the paths and hands each file to the
// workers as it is found, so that reading starts with the first file and not
// after the whole walk; workers fill the rows one file at a time in file
// order, and this thread writes each row as soon as it and every row before
// it are done. Ctrl-C stops the walk and the requests running.
class ColumnsRun {
 public:
  ColumnsRun(const PluginHost& plugin, const ColumnsOptions& options, std::ostream& err)
      : plugin_(plugin), fields_(options.fields), selection_(options.selection),
        onDemand_(options.onDemand), err_(err),
        running_(static_cast<std::size_t>(std::max(1l, options.threads))) {
    for (std::atomic<std::ptrdiff_t>& row : running_) row.store(-1);
  }

  // Runs the walk and the workers and writes the rows. False when Ctrl-C
  // stopped the run: the rows finished after the first unfinished one are
  // then not written, so that the output holds a prefix of the files.
  bool Run(const std::vector<std::string>& paths, RowWriter& writer) {
    std::vector<std::thread> pool;
    for (std::size_t t = 0; t < running_.size(); ++t) pool.emplace_back(&ColumnsRun::Work, this, t);
    bool interrupted = !Walk(paths, writer);
    {
      std::unique_lock<std::mutex> guard(lock_);
      walked_ = true;
      work_.notify_all();
      while (!interrupted && written_ < files_.size()) {
        changed_.wait_for(guard, std::chrono::milliseconds(50));
        interrupted = !Service(guard, writer);
      }
      if (interrupted) WriteDoneRows(guard, writer);
    }
    for (std::thread& t : pool) t.join();
    progress_.Clear();
    return !interrupted;
  }

  std::size_t Written() const { return written_; }
  std::size_t Found() const { return files_.size(); }
  // A path was reported on the error stream: missing, or a folder that
  // cannot be listed.
  bool Missing() const { return missing_; }

 private:
  struct RowSlot {
    std::vector<Value> values;
    bool done = false;
  };

  // Walks the paths in order: a folder's files as the selection chooses
  // them, a file as named. False when Ctrl-C ended it.
  bool Walk(const std::vector<std::string>& paths, RowWriter& writer) {
    // Files found reach the workers in batches (one lock for many), at
    // once while a worker waits for one; with each batch this thread also
    // writes the rows that are done and sees Ctrl-C.
    std::vector<std::string> found;
    std::size_t handed = 0;
    const auto hand = [&] {
      std::unique_lock<std::mutex> guard(lock_);
      for (std::string& file : found) {
        files_.push_back(std::move(file));
        rows_.emplace_back();
      }
      handed += found.size();
      found.clear();
      if (idle_ > 0) {
        guard.unlock();  // woken workers do not wait for the lock
        work_.notify_all();
        guard.lock();
      }
      if (handed < kServiceFiles) return !stopping_.load();
      handed = 0;
      return Service(guard, writer);
    };
    const auto take = [&](std::string file) {
      found.push_back(std::move(file));
      return (found.size() < kWalkBatch && idle_.load(std::memory_order_relaxed) == 0) || hand();
    };
    std::string error;
    for (const std::string& path : paths) {
      std::error_code ec;
      const fs::path p = fs::u8path(path);
      if (fs::is_directory(p, ec)) {
        const std::string prefix = (p / "").u8string();
        if (!WalkFolder(path, selection_, [&](const std::string& r) { return take(prefix + r); }, &error)) {
          Report("columns: " + error);
        }
      } else if (fs::exists(p, ec)) {
        if (!take(path)) return false;
      } else {
        Report("columns: no such file or folder: " + path);
      }
      handed = kServiceFiles;  // the rows of each path are written as it ends
      if (!hand()) return false;
    }
    return true;
  }

  void Report(const std::string& message) {
    progress_.Clear();
    err_ << message << '\n';
    missing_ = true;
  }

  // What the writing thread does now and then (the lock held): sees
  // Ctrl-C, writes the rows that are done, a table that waited long enough
  // and the progress. False after Ctrl-C.
  bool Service(std::unique_lock<std::mutex>& guard, RowWriter& writer) {
    if (Interrupted()) {
      stopping_ = true;
      work_.notify_all();
      StopRunning();
      return false;
    }
    WriteDoneRows(guard, writer);
    if (writer.TableDue()) {
      guard.unlock();
      progress_.Clear();
      writer.FlushDueTable();
      guard.lock();
    }
    if (written_ < files_.size() || !walked_) {
      progress_.Show(std::to_string(finished_) + " of " + std::to_string(files_.size()) + " files");
    }
    return true;
  }

  // One worker, until the walk is over and no file is left, or the run
  // stops. It claims a few files at a time and hands their rows in together:
  // one lock for several files, as the walk hands them over. The row it is
  // on is published without the lock, for a stop; the stop flag is read
  // after it (both sequentially consistent), so that either the stop sees
  // the row or the worker sees the stop and does not start it.
  void Work(std::size_t worker) {
    // The files' names stay where the walk put them (a deque's elements do
    // not move as it grows): the worker keeps their addresses.
    std::vector<const std::string*> claimed;
    std::vector<std::vector<Value>> answers;
    std::size_t first = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> guard(lock_);
        if (stopping_) return;  // the answers may be cut short by the stop
        for (std::size_t k = 0; k < answers.size(); ++k) {
          rows_[first + k].values = std::move(answers[k]);
          rows_[first + k].done = true;
        }
        finished_ += answers.size();
        // The writer looks every 50 ms anyway; it is woken early when many
        // rows wait or the last one is done, not once for every row (and
        // after the lock is let go, so that it does not wake only to wait
        // for the lock).
        if (!answers.empty() &&
            ((walked_ && finished_ == files_.size()) || finished_ - written_ >= kWakeRows)) {
          guard.unlock();
          changed_.notify_one();
          guard.lock();
          if (stopping_) return;
        }
        if (nextRow_ >= files_.size() && !walked_) {
          ++idle_;
          work_.wait(guard, [&] { return stopping_ || nextRow_ < files_.size() || walked_; });
          --idle_;
        }
        if (stopping_ || nextRow_ >= files_.size()) return;
        // A share of what waits, so that the other workers are not left idle.
        const std::size_t waiting = files_.size() - nextRow_;
        const std::size_t take = std::clamp<std::size_t>(waiting / (2 * running_.size()), 1, kClaim);
        first = nextRow_;
        nextRow_ += take;
        claimed.clear();
        for (std::size_t k = first; k < first + take; ++k) claimed.push_back(&files_[k]);
      }
      answers.clear();
      for (std::size_t k = 0; k < claimed.size(); ++k) {
        running_[worker].store(static_cast<std::ptrdiff_t>(first + k));
        if (stopping_.load()) return;
        answers.push_back(AskRow(*claimed[k]));
      }
      running_[worker].store(-1);
    }
  }

  // Every field of one file as a file manager asks: first with the
  // delay-if-slow flag, then again for what the plugin put off.
  std::vector<Value> AskRow(const std::string& file) const {
    std::vector<Value> values(fields_.size());
    for (std::size_t c = 0; c < fields_.size(); ++c) {
      values[c] = plugin_.GetValue(file, fields_[c].index, 0, kMaxlen, CONTENT_DELAYIFSLOW, false);
    }
    for (std::size_t c = 0; c < fields_.size(); ++c) {
      const int code = values[c].code;
      if (code == ft_delayed || (code == ft_ondemand && onDemand_)) {
        values[c] = plugin_.GetValue(file, fields_[c].index, 0, kMaxlen, 0, false);
      }
    }
    return values;
  }

  // Stops the request of every worker that is on a row (the lock held,
  // stopping_ set).
  void StopRunning() {
    for (const std::atomic<std::ptrdiff_t>& row : running_) {
      const std::ptrdiff_t r = row.load();
      if (r >= 0) plugin_.Stop(files_[static_cast<std::size_t>(r)]);
    }
  }

  // Writes the rows that are done in order from the first unwritten one;
  // the lock is let go while a row is written.
  void WriteDoneRows(std::unique_lock<std::mutex>& guard, RowWriter& writer) {
    bool wrote = false;
    while (written_ < files_.size() && rows_[written_].done) {
      const std::size_t r = written_++;
      const std::string& file = files_[r];  // in place: only the walk adds names
      const std::vector<Value> values = std::move(rows_[r].values);
      rows_[r].values = {};
      guard.unlock();
      if (!wrote) progress_.Clear();
      wrote = true;
      writer.Row(file, values);
      guard.lock();
    }
    if (!wrote) return;
    guard.unlock();
    writer.Flush();
    guard.lock();
  }

  const PluginHost& plugin_;
  const std::vector<FieldInfo>& fields_;
  const FileSelection& selection_;
  const bool onDemand_;
  std::ostream& err_;
  ProgressLine progress_;
  // Grown by the walk under the lock; a deque keeps the rows in place.
  std::deque<std::string> files_;
  std::deque<RowSlot> rows_;
  std::mutex lock_;
  std::condition_variable changed_;  // rows are done: the writer looks
  std::condition_variable work_;     // files were found, the walk ended or the run stops
  std::size_t nextRow_ = 0, finished_ = 0, written_ = 0;
  std::atomic<std::size_t> idle_{0};  // workers waiting for a file (read by the walk unlocked)
  bool walked_ = false, missing_ = false;
  std::atomic<bool> stopping_{false};  // set under the lock, read also without it
  std::vector<std::atomic<std::ptrdiff_t>> running_;  // the row each worker is on, or -1
};

}  // namespace

int RunColumns(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
               std::ostream& err) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs("columns", args,
                 {"-h|--help", "-j|--jobs=", "--fields=", "--format=", "-r|--recursive", "--on-demand",
                  "-g|--glob=", "-e|--ext=", "--hidden", "--no-ignore", "-L|--follow",
                  "--colour|--color="},
                 &parsed, &error)) {
    err << error << "\n(quarrymark columns --help lists the options)\n";
    return kUsageError;
  }
  if (parsed.Has("help")) return out << kColumnsHelp, 0;
  ColumnsOptions options;
  if (!ReadColumnsOptions(plugin, parsed, err, &options)) return kUsageError;
  RowWriter writer(out, options.format, options.fields, StdoutIsTerminal(), options.colour);
  InterruptGuard interrupt;
  writer.Begin();
  ColumnsRun run(plugin, options, err);
  const bool whole = run.Run(parsed.operands, writer);
  writer.End();
  if (!whole) {
    err << "columns: interrupted; " << run.Written() << " of " << run.Found() << " files written\n";
    return kInterrupted;
  }
  return run.Missing() ? kUsageError : 0;
}

}  // namespace qm::host
