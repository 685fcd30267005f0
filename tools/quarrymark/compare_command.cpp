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
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "tools/quarrymark/text_escape.h"

namespace qm::host {
namespace {

namespace fs = std::filesystem;

constexpr int kUsageError = 2;
constexpr int kFirstCompareIndex = 10000;
constexpr std::uint64_t kProgressBarBytes = 32ull << 20;  // files smaller than this need no bar
constexpr int kBarWidth = 30;

// ---------------------------------------------------------------------------
// Ctrl-C and progress
// ---------------------------------------------------------------------------
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

// Ctrl-C sets the flag while the object lives; the previous handler returns
// afterwards.
class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupted = 0;
    previous_ = std::signal(SIGINT, OnInterrupt);
  }
  ~InterruptGuard() {
    if (previous_ != SIG_ERR) std::signal(SIGINT, previous_);
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  void (*previous_)(int) = SIG_ERR;
};

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
  return g_interrupted != 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Shared pieces
// ---------------------------------------------------------------------------
const char* Meaning(int code) {
  switch (code) {
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
// Folders
// ---------------------------------------------------------------------------

// The relative paths (UTF-8, '/' separated) of the regular files in a folder,
// sorted; with recursive also those of its subfolders.
bool ListFiles(const std::string& folder, bool recursive, std::vector<std::string>* files,
               std::ostream& err) {
  std::error_code ec;
  const fs::path root = fs::u8path(folder);
  if (!fs::is_directory(root, ec)) {
    err << "sync: not a folder: " << folder << '\n';
    return false;
  }
  const auto add = [&](const fs::directory_entry& entry) {
    std::error_code e;
    if (!entry.is_regular_file(e)) return;
    files->push_back(entry.path().lexically_relative(root).generic_u8string());
  };
  if (recursive) {
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      add(*it);
    }
  } else {
    for (auto it = fs::directory_iterator(root, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      add(*it);
    }
  }
  if (ec) {
    err << "sync: cannot list " << folder << ": " << ec.message() << '\n';
    return false;
  }
  std::sort(files->begin(), files->end());
  return true;
}

std::string Join(const std::string& folder, const std::string& relative) {
  return (fs::u8path(folder) / fs::u8path(relative)).u8string();
}

struct Row {
  std::string path;
  char side = 'b';  // 'l' only in DIR1, 'r' only in DIR2, 'b' in both
  int code = 0;     // the comparison's answer for 'b'
  bool compared = false;
};

std::string StatusOf(const Row& row) {
  if (row.side == 'l') return "<";
  if (row.side == 'r') return ">";
  if (row.code == contentcompare_equal_matches) return "=";
  if (row.code == contentcompare_notequal) return "!=";
  return "?" + std::to_string(row.code);
}

}  // namespace

// ---------------------------------------------------------------------------
// compare
// ---------------------------------------------------------------------------
int RunCompare(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
               std::ostream& err) {
  int index = kFirstCompareIndex;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--field" && i + 1 < args.size()) {
      if (!ResolveCompareField(plugin, args[++i], &index)) {
        err << "compare: no compare field " << args[i] << '\n';
        return kUsageError;
      }
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.size() != 2) {
    err << "usage: quarrymark compare [--field F] FILE1 FILE2\n";
    return kUsageError;
  }
  ByteProgress progress;
  const std::uint64_t total = std::max(SizeOf(files[0]), SizeOf(files[1]));
  if (StderrIsTerminal() && total >= kProgressBarBytes) progress.err = &err;
  progress.total = total;
  int code;
  {
    InterruptGuard interrupt;
    t_progress = &progress;
    code = plugin.Compare(files[0], files[1], index, OnProgress);
    t_progress = nullptr;
  }
  progress.Clear();
  out << code << '\t' << Meaning(code) << '\n';
  return code == contentcompare_equal_matches ? 0 : 1;
}

// ---------------------------------------------------------------------------
// sync
// ---------------------------------------------------------------------------
int RunSync(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
            std::ostream& err) {
  int index = kFirstCompareIndex;
  bool recursive = false;
  std::string format = "table";
  long jobs = 2;
  std::vector<std::string> folders;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--field" && i + 1 < args.size()) {
      if (!ResolveCompareField(plugin, args[++i], &index)) {
        err << "sync: no compare field " << args[i] << '\n';
        return kUsageError;
      }
    } else if (a == "--recursive") {
      recursive = true;
    } else if (a == "--format" && i + 1 < args.size()) {
      format = args[++i];
    } else if (a == "-j" && i + 1 < args.size()) {
      if (!ParseNumber(args[++i], &jobs) || jobs < 1 || jobs > 64) {
        err << "sync: -j takes a number from 1 to 64\n";
        return kUsageError;
      }
    } else {
      folders.push_back(a);
    }
  }
  if (folders.size() != 2 || (format != "table" && format != "tsv" && format != "json")) {
    err << "usage: quarrymark sync [--field F] [--recursive] [--format table|tsv|json] [-j N] "
           "DIR1 DIR2\n";
    return kUsageError;
  }
  std::vector<std::string> left, right;
  if (!ListFiles(folders[0], recursive, &left, err) || !ListFiles(folders[1], recursive, &right, err)) {
    return kUsageError;
  }

  // Every relative path of either folder, in order.
  std::vector<Row> rows;
  rows.reserve(left.size() + right.size());
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
    rows.push_back(std::move(row));
  }
  std::vector<std::size_t> pairs;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].side == 'b') pairs.push_back(i);
  }

  // The pairs, on jobs threads.
  const bool showProgress = StderrIsTerminal() && !pairs.empty();
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> finished{0};
  std::mutex progressLock;
  {
    InterruptGuard interrupt;
    const auto work = [&] {
      for (;;) {
        const std::size_t k = next++;
        if (k >= pairs.size() || g_interrupted != 0) return;
        Row& row = rows[pairs[k]];
        row.code = plugin.Compare(Join(folders[0], row.path), Join(folders[1], row.path), index,
                                  OnProgress);
        row.compared = true;
        const std::size_t done = ++finished;
        if (showProgress) {
          std::lock_guard<std::mutex> guard(progressLock);
          err << "\rsync " << done << '/' << pairs.size() << std::flush;
        }
      }
    };
    std::vector<std::thread> threads;
    const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(jobs), pairs.size());
    for (std::size_t t = 1; t < count; ++t) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
  }
  if (showProgress) err << "\r\x1b[K" << std::flush;
  for (const std::size_t i : pairs) {
    if (!rows[i].compared) rows[i].code = contentcompare_stopped;  // never started
  }

  std::size_t equal = 0, different = 0, onlyLeft = 0, onlyRight = 0, other = 0;
  for (const Row& row : rows) {
    if (row.side == 'l') {
      ++onlyLeft;
    } else if (row.side == 'r') {
      ++onlyRight;
    } else if (row.code == contentcompare_equal_matches) {
      ++equal;
    } else if (row.code == contentcompare_notequal) {
      ++different;
    } else {
      ++other;
    }
  }
  const std::string summary = std::to_string(rows.size()) + " paths: " + std::to_string(equal) +
                              " equal, " + std::to_string(different) + " different, " +
                              std::to_string(onlyLeft) + " only in DIR1, " +
                              std::to_string(onlyRight) + " only in DIR2, " +
                              std::to_string(other) + " not comparable";

  if (format == "json") {
    out << "{\"left\": " << JsonString(folders[0]) << ", \"right\": " << JsonString(folders[1])
        << ", \"field\": " << index << ",\n \"rows\": [\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const Row& row = rows[i];
      const std::string status = StatusOf(row);
      out << "  {\"status\": " << JsonString(status[0] == '?' ? "?" : status)
          << ", \"path\": " << JsonString(row.path);
      if (row.side == 'b') out << ", \"code\": " << row.code;
      out << "}" << (i + 1 < rows.size() ? "," : "") << '\n';
    }
    out << " ],\n \"summary\": {\"paths\": " << rows.size() << ", \"equal\": " << equal
        << ", \"different\": " << different << ", \"onlyLeft\": " << onlyLeft
        << ", \"onlyRight\": " << onlyRight << ", \"notComparable\": " << other << "}}\n";
  } else if (format == "tsv") {
    for (const Row& row : rows) out << StatusOf(row) << '\t' << EscapeTsv(row.path) << '\n';
    out << "#\t" << summary << '\n';
  } else {
    for (const Row& row : rows) {
      const std::string status = StatusOf(row);
      out << status << std::string(status.size() < 4 ? 5 - status.size() : 1, ' ')
          << EscapeControls(row.path) << '\n';
    }
    out << summary << '\n';
  }
  return different == 0 && other == 0 ? 0 : 1;
}

}  // namespace qm::host
