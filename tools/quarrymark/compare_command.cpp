// `quarrymark compare` and `quarrymark sync`.
//
// Both call ContentCompareFilesW exactly as a file manager does. The
// plugin's progress callback takes no context, so the comparison running on
// a thread finds its progress record through a thread-local pointer. Ctrl-C
// is answered at the next progress call with a stop (the plugin then answers
// -2 and closes its files); a sync that was interrupted starts no further
// comparisons.
#include "tools/quarrymark/compare_command.h"

#include <algorithm>
#include <cstring>
#include <atomic>
#include <fstream>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "tools/quarrymark/file_select.h"
#include "tools/quarrymark/options.h"
#include "tools/quarrymark/terminal.h"
#include "tools/quarrymark/text_escape.h"

namespace qm::host {
namespace {

namespace fs = std::filesystem;

constexpr int kFirstCompareIndex = 10000;
constexpr std::uint64_t kProgressBarBytes = 32ull << 20;  // files smaller than this need no bar
constexpr int kBarWidth = 30;

// ---------------------------------------------------------------------------
// Progress
// ---------------------------------------------------------------------------
// The byte progress of one comparison, drawn as a bar on stderr.
struct ByteProgress {
  std::ostream* err = nullptr;  // null: nothing is drawn
  std::uint64_t total = 0;      // bytes of the larger file (the plugin counts that one)
  std::int64_t done = 0;
  bool drawn = false;

  void Add(int bytes) {
    done += bytes;
    if (err == nullptr || total == 0) return;
    const std::int64_t clamped = std::max<std::int64_t>(0, std::min<std::int64_t>(done, total));
    const int percent = static_cast<int>(clamped * 100 / static_cast<std::int64_t>(total));
    const int filled = percent * kBarWidth / 100;
    *err << "\rcomparing [" << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(kBarWidth - filled), ' ') << "] " << percent
         << "%" << std::flush;
    drawn = true;
  }
  void Clear() {
    if (drawn) *err << "\r\x1b[K" << std::flush;
  }
};

thread_local ByteProgress* t_progress = nullptr;

int QM_CALL OnProgress(int bytes) {
  if (t_progress != nullptr) t_progress->Add(bytes);
  return Interrupted() ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Shared pieces
// ---------------------------------------------------------------------------
const char* Meaning(int code) {
  switch (code) {
    case contentcompare_equal:
    case contentcompare_equal_matches: return "equal";
    case contentcompare_notequal: return "different";
    case contentcompare_cannot_open: return "cannot open";
    case contentcompare_stopped: return "stopped";
    case contentcompare_unsupported: return "not comparable";
    default: return "unknown";
  }
}

bool ParseNumber(const std::string& text, long* value) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != 0) return false;
  *value = v;
  return true;
}

// The compare index of F: a number from 10000 is the index itself, a smaller
// number k the k-th compare field (10000 + k); otherwise the name of a
// compare field the plugin offers.
bool ResolveCompareField(const PluginHost& plugin, const std::string& text, int* index) {
  long number = 0;
  if (ParseNumber(text, &number)) {
    if (number < 0 || number > 0x7FFFFFFF - kFirstCompareIndex) return false;
    *index = static_cast<int>(number >= kFirstCompareIndex ? number : number + kFirstCompareIndex);
    return true;
  }
  for (const FieldInfo& field : plugin.Fields()) {
    if (field.index >= kFirstCompareIndex && field.name == text) {
      *index = field.index;
      return true;
    }
  }
  return false;
}

std::uint64_t SizeOf(const std::string& utf8Path) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(fs::u8path(utf8Path), ec);
  return ec ? 0 : static_cast<std::uint64_t>(size);
}

// ---------------------------------------------------------------------------
// Byte comparison
// ---------------------------------------------------------------------------

// What a file manager does with a pair its plugin cannot compare: compare
// the bytes. Equal, different, cannot open, or stopped by Ctrl-C.
int CompareBytes(const std::string& file1, const std::string& file2) {
  std::error_code ec1, ec2;
  const std::uintmax_t size1 = fs::file_size(fs::u8path(file1), ec1);
  const std::uintmax_t size2 = fs::file_size(fs::u8path(file2), ec2);
  std::ifstream in1(fs::u8path(file1), std::ios::binary), in2(fs::u8path(file2), std::ios::binary);
  if (ec1 || ec2 || !in1 || !in2) return contentcompare_cannot_open;
  if (size1 != size2) return contentcompare_notequal;
  std::vector<char> block1(1 << 16), block2(1 << 16);
  for (;;) {
    if (Interrupted()) return contentcompare_stopped;
    in1.read(block1.data(), static_cast<std::streamsize>(block1.size()));
    in2.read(block2.data(), static_cast<std::streamsize>(block2.size()));
    const std::streamsize n1 = in1.gcount(), n2 = in2.gcount();
    if (n1 != n2 || in1.bad() || in2.bad()) return contentcompare_cannot_open;
    if (std::memcmp(block1.data(), block2.data(), static_cast<std::size_t>(n1)) != 0) {
      return contentcompare_notequal;
    }
    if (n1 == 0 || in1.eof()) return contentcompare_equal;
  }
}

std::string Join(const std::string& folder, const std::string& relative) {
  return (fs::u8path(folder) / fs::u8path(relative)).u8string();
}

struct Row {
  std::string path;
  char side = 'b';       // 'l' only in DIR1, 'r' only in DIR2, 'b' in both
  int code = 0;          // the comparison's answer for 'b'
  bool byBytes = false;  // decided by comparing the bytes
  bool compared = false;
};

bool IsEqual(int code) { return code == contentcompare_equal_matches || code == contentcompare_equal; }

std::string StatusOf(const Row& row) {
  if (row.side == 'l') return "<";
  if (row.side == 'r') return ">";
  if (IsEqual(row.code)) return "=";
  if (row.code == contentcompare_notequal) return "!=";
  return "?" + std::to_string(row.code);
}

Colour StatusColour(const Row& row) {
  if (row.side == 'l' || row.side == 'r') return Colour::kCyan;
  if (IsEqual(row.code)) return Colour::kGreen;
  if (row.code == contentcompare_notequal) return Colour::kRed;
  return Colour::kMagenta;
}

std::string DecidedBy(const Row& row) {
  if (row.side != 'b') return "";
  return row.byBytes ? "bytes" : "field";
}

std::string FieldName(const PluginHost& plugin, int index) {
  for (const FieldInfo& field : plugin.Fields()) {
    if (field.index == index) return field.name;
  }
  return "";
}

// ---------------------------------------------------------------------------
// sync steps
// ---------------------------------------------------------------------------
struct SyncOptions {
  int index = kFirstCompareIndex;
  std::string format;
  long jobs = 2;
  bool colour = false;
  bool bytesFallback = true;
  FileSelection selection;
  std::vector<std::string> folders;
};

// The options after the help request; false after a usage message.
bool ReadSyncOptions(const PluginHost& plugin, const ParsedArgs& parsed, std::ostream& err,
                     SyncOptions* options) {
  std::string error;
  if (parsed.Has("field") && !ResolveCompareField(plugin, parsed.Last("field"), &options->index)) {
    err << "sync: no compare field " << parsed.Last("field") << '\n';
    return false;
  }
  options->format = parsed.Last("format", "table");
  const std::string& format = options->format;
  if (format != "table" && format != "tsv" && format != "json") {
    err << "sync: unknown format " << format << " (table, tsv or json)\n";
    return false;
  }
  if (parsed.Has("jobs") && !ParseNumberInRange(parsed.Last("jobs"), 1, 64, &options->jobs)) {
    err << "sync: -j takes a number from 1 to 64, not " << parsed.Last("jobs") << '\n';
    return false;
  }
  if (!ResolveColour(parsed.Last("color", "auto"), &options->colour)) {
    err << "sync: --color takes auto, always or never, not " << parsed.Last("color") << '\n';
    return false;
  }
  if (!ReadFileSelection("sync", parsed, &options->selection, &error)) {
    err << error << '\n';
    return false;
  }
  options->selection.hidden = options->selection.noIgnore = true;
  options->bytesFallback = !parsed.Has("no-bytes");
  options->folders = parsed.operands;
  if (options->folders.size() != 2) {
    err << "usage: quarrymark sync [OPTIONS] DIR1 DIR2\n(quarrymark sync --help lists the options)\n";
    return false;
  }
  return true;
}

// Every relative path of either folder, in order; false after a message
// when one is not a folder or cannot be listed.
bool ListBothFolders(const SyncOptions& options, std::ostream& err, std::vector<Row>* rows) {
  std::vector<std::string> left, right;
  std::string error;
  for (int side = 0; side < 2; ++side) {
    const std::string& folder = options.folders[side];
    std::error_code ec;
    if (!fs::is_directory(fs::u8path(folder), ec)) {
      err << "sync: not a folder: " << folder << '\n';
      return false;
    }
    if (!ListFolder(folder, options.selection, side == 0 ? &left : &right, &error)) {
      err << "sync: " << error << '\n';
      return false;
    }
  }
  rows->reserve(left.size() + right.size());
  std::size_t l = 0, r = 0;
  while (l < left.size() || r < right.size()) {
    Row row;
    if (r == right.size() || (l < left.size() && left[l] < right[r])) {
      row.path = left[l++];
      row.side = 'l';
    } else if (l == left.size() || right[r] < left[l]) {
      row.path = right[r++];
      row.side = 'r';
    } else {
      row.path = left[l++];
      ++r;
    }
    rows->push_back(std::move(row));
  }
  return true;
}

// Compares the pairs (rows present in both folders) on the jobs threads.
// False after a message when Ctrl-C stopped them; a pair never started is
// then left stopped.
bool ComparePairs(const PluginHost& plugin, const SyncOptions& options, std::vector<Row>& rows,
                  std::ostream& err) {
  std::vector<std::size_t> pairs;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].side == 'b') pairs.push_back(i);
  }
  ProgressLine progress;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> finished{0};
  std::mutex progressLock;
  bool interrupted;
  {
    InterruptGuard interrupt;
    const auto work = [&] {
      for (;;) {
        const std::size_t k = next++;
        if (k >= pairs.size() || Interrupted()) return;
        Row& row = rows[pairs[k]];
        const std::string file1 = Join(options.folders[0], row.path);
        const std::string file2 = Join(options.folders[1], row.path);
        row.code = plugin.Compare(file1, file2, options.index, OnProgress);
        if (row.code == contentcompare_unsupported && options.bytesFallback) {
          row.code = CompareBytes(file1, file2);
          row.byBytes = true;
        }
        row.compared = true;
        const std::size_t done = ++finished;
        std::lock_guard<std::mutex> guard(progressLock);
        progress.Show("compared " + std::to_string(done) + " of " + std::to_string(pairs.size()) +
                      " pairs");
      }
    };
    std::vector<std::thread> threads;
    const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(options.jobs), pairs.size());
    for (std::size_t t = 1; t < count; ++t) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
    interrupted = Interrupted();
  }
  progress.Clear();
  if (interrupted) {
    err << "sync: interrupted; " << finished.load() << " of " << pairs.size() << " pairs compared\n";
    return false;
  }
  for (const std::size_t i : pairs) {
    if (!rows[i].compared) rows[i].code = contentcompare_stopped;  // never started
  }
  return true;
}

struct SyncCounts {
  std::size_t equal = 0, byBytes = 0, different = 0, onlyLeft = 0, onlyRight = 0, undecided = 0;
};

SyncCounts CountStates(const std::vector<Row>& rows) {
  SyncCounts n;
  for (const Row& row : rows) {
    if (row.side == 'l') {
      ++n.onlyLeft;
    } else if (row.side == 'r') {
      ++n.onlyRight;
    } else if (IsEqual(row.code)) {
      ++n.equal;
      n.byBytes += row.byBytes;
    } else if (row.code == contentcompare_notequal) {
      ++n.different;
    } else {
      ++n.undecided;
    }
  }
  return n;
}

void WriteSyncJson(const PluginHost& plugin, const SyncOptions& options, const std::vector<Row>& rows,
                   const SyncCounts& n, std::ostream& out) {
  out << "{\"left\": " << JsonString(options.folders[0]) << ", \"right\": " << JsonString(options.folders[1])
      << ", \"field\": " << JsonString(FieldName(plugin, options.index)) << ", \"fieldIndex\": " << options.index
      << ",\n \"rows\": [\n";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const std::string status = StatusOf(row);
    out << "  {\"status\": " << JsonString(status[0] == '?' ? "?" : status)
        << ", \"path\": " << JsonString(row.path);
    if (row.side == 'b') {
      out << ", \"code\": " << row.code << ", \"decidedBy\": " << JsonString(DecidedBy(row));
    }
    out << "}" << (i + 1 < rows.size() ? "," : "") << '\n';
  }
  out << " ],\n \"summary\": {\"paths\": " << rows.size() << ", \"equal\": " << n.equal
      << ", \"equalByBytes\": " << n.byBytes << ", \"different\": " << n.different
      << ", \"onlyLeft\": " << n.onlyLeft << ", \"onlyRight\": " << n.onlyRight
      << ", \"undecided\": " << n.undecided << "}}\n";
}

// The table and TSV forms: a line per path, then the summary line.
void WriteSyncLines(const SyncOptions& options, const std::vector<Row>& rows, const SyncCounts& n,
                    std::ostream& out) {
  const std::vector<std::string>& folders = options.folders;
  const std::string summary =
      std::to_string(rows.size()) + " paths: " + std::to_string(n.equal) + " equal" +
      (n.byBytes ? " (" + std::to_string(n.byBytes) + " by bytes)" : std::string()) + ", " +
      std::to_string(n.different) + " different, " + std::to_string(n.onlyLeft) + " only in " +
      folders[0] + ", " + std::to_string(n.onlyRight) + " only in " + folders[1] + ", " +
      std::to_string(n.undecided) + " undecided";
  if (options.format == "tsv") {
    for (const Row& row : rows) {
      out << StatusOf(row) << '\t' << EscapeTsv(row.path) << '\t' << DecidedBy(row) << '\n';
    }
    out << "#\t" << summary << '\n';
    return;
  }
  for (const Row& row : rows) {
    const std::string status = StatusOf(row), by = DecidedBy(row);
    out << Paint(status, StatusColour(row), options.colour)
        << std::string(status.size() < 4 ? 5 - status.size() : 1, ' ') << by
        << std::string(7 - by.size(), ' ') << EscapeControls(row.path) << '\n';
  }
  out << summary << '\n';
}

}  // namespace

const char kCompareHelp[] =
    "usage: quarrymark compare [--field F] FILE1 FILE2\n"
    "Compares two files by a compare field, as a file manager's synchronisation does, and prints\n"
    "the plugin's answer: 101 equal | 0 different | -1 cannot open | -2 stopped | -3 not comparable.\n"
    "  --field F   a compare field by name, by its index (10000 on), or k for the k-th (from 0);\n"
    "              default the first\n"
    "Exit status: 0 equal, 1 otherwise, 2 usage errors, 130 Ctrl-C.\n";

const char kSyncHelp[] =
    "usage: quarrymark sync [OPTIONS] DIR1 DIR2\n"
    "The synchronisation preview of two folders: one row per path in either folder with its state\n"
    "(= equal, != different, < only in DIR1, > only in DIR2, ?CODE undecided) and, for pairs, how it\n"
    "was decided: \"field\" by the compare field, \"bytes\" by comparing the bytes where the field\n"
    "answers \"not comparable\" (as file managers do). Then a summary.\n"
    "  --field F          the compare field (name, index from 10000, or k for the k-th from 0)\n"
    "  --format F         table (default), tsv (STATE<TAB>PATH<TAB>BY, summary after #) or json\n"
    "  -j, --jobs N       comparisons at once (1 to 64, default 2)\n"
    "  --no-bytes         leave \"not comparable\" pairs undecided instead of comparing bytes\n"
    "  -r, --recursive    also the subfolders\n"
    "  -g, --glob GLOB    only paths matching GLOB; !GLOB excludes (see columns --help)\n"
    "  -e, --ext EXT      only files with this extension\n"
    "  -L, --follow       follow symbolic links\n"
    "      --color WHEN   auto, always or never\n"
    "Hidden files are compared and ignore files are not read: a file manager compares them all.\n"
    "Exit status: 0 when every pair present in both folders is equal (by the field or by bytes),\n"
    "1 when a pair differs or stays undecided, 2 usage errors or a folder that cannot be listed,\n"
    "130 Ctrl-C (the comparisons running are stopped; nothing is printed).\n";

// ---------------------------------------------------------------------------
// compare
// ---------------------------------------------------------------------------
int RunCompare(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
               std::ostream& err) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs("compare", args, {"-h|--help", "--field="}, &parsed, &error)) {
    err << error << "\n(quarrymark compare --help lists the options)\n";
    return kUsageError;
  }
  if (parsed.Has("help")) return out << kCompareHelp, 0;
  int index = kFirstCompareIndex;
  if (parsed.Has("field") && !ResolveCompareField(plugin, parsed.Last("field"), &index)) {
    err << "compare: no compare field " << parsed.Last("field") << '\n';
    return kUsageError;
  }
  const std::vector<std::string>& files = parsed.operands;
  if (files.size() != 2) {
    err << "usage: quarrymark compare [--field F] FILE1 FILE2\n";
    return kUsageError;
  }
  ByteProgress progress;
  const std::uint64_t total = std::max(SizeOf(files[0]), SizeOf(files[1]));
  if (StderrIsTerminal() && total >= kProgressBarBytes) progress.err = &err;
  progress.total = total;
  int code;
  bool interrupted;
  {
    InterruptGuard interrupt;
    t_progress = &progress;
    code = plugin.Compare(files[0], files[1], index, OnProgress);
    t_progress = nullptr;
    interrupted = Interrupted();
  }
  progress.Clear();
  if (interrupted) return err << "compare: interrupted\n", kInterrupted;
  out << code << '\t' << Meaning(code) << '\n';
  return code == contentcompare_equal_matches ? 0 : 1;
}

// ---------------------------------------------------------------------------
// sync
// ---------------------------------------------------------------------------
int RunSync(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
            std::ostream& err) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs("sync", args,
                 {"-h|--help", "--field=", "--format=", "-j|--jobs=", "--no-bytes", "-r|--recursive",
                  "-g|--glob=", "-e|--ext=", "-L|--follow", "--colour|--color="},
                 &parsed, &error)) {
    err << error << "\n(quarrymark sync --help lists the options)\n";
    return kUsageError;
  }
  if (parsed.Has("help")) return out << kSyncHelp, 0;
  SyncOptions options;
  if (!ReadSyncOptions(plugin, parsed, err, &options)) return kUsageError;
  std::vector<Row> rows;
  if (!ListBothFolders(options, err, &rows)) return kUsageError;
  if (!ComparePairs(plugin, options, rows, err)) return kInterrupted;
  const SyncCounts counts = CountStates(rows);
  if (options.format == "json") {
    WriteSyncJson(plugin, options, rows, counts, out);
  } else {
    WriteSyncLines(options, rows, counts, out);
  }
  return counts.different == 0 && counts.undecided == 0 ? 0 : 1;
}

}  // namespace qm::host
