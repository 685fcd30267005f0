// `quarrymark columns`.
#include "tools/quarrymark/columns.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include "tools/quarrymark/text_escape.h"

namespace qm::host {
namespace {

namespace fs = std::filesystem;

struct Cell {
  Value value;
  bool pending = false;  // to be computed in the background pass
};

std::string CellText(const Value& v) {
  switch (v.code) {
    case -1: return "(no such field)";
    case -2: return "(file error)";
    case -3: return "";
    default: return v.text;
  }
}

std::size_t DisplayWidth(const std::string& utf8) {
  std::size_t n = 0;
  for (const char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

std::string Csv(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (const char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

bool CollectFiles(const std::string& path, bool recursive, std::vector<std::string>* files,
                  std::ostream& err) {
  std::error_code ec;
  const fs::path p = fs::u8path(path);
  if (fs::is_directory(p, ec)) {
    std::vector<std::string> found;
    const auto add = [&](const fs::directory_entry& entry) {
      std::error_code e;
      if (entry.is_regular_file(e)) found.push_back(entry.path().u8string());
    };
    if (recursive) {
      for (auto it = fs::recursive_directory_iterator(p, fs::directory_options::skip_permission_denied, ec);
           !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        add(*it);
      }
    } else {
      for (auto it = fs::directory_iterator(p, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        add(*it);
      }
    }
    std::sort(found.begin(), found.end());
    files->insert(files->end(), found.begin(), found.end());
    return true;
  }
  if (!fs::exists(p, ec)) {
    err << "columns: no such file or folder: " << path << '\n';
    return false;
  }
  files->push_back(path);
  return true;
}

}  // namespace

int RunColumns(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
               std::ostream& err) {
  std::string fieldList, format = "table";
  bool recursive = false, onDemand = false;
  unsigned threads = std::thread::hardware_concurrency();
  if (threads == 0) threads = 1;
  bool badThreads = false;
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-j" && i + 1 < args.size()) {
      const std::string& n = args[++i];
      const bool digits = !n.empty() && n.size() <= 4 &&
                          std::all_of(n.begin(), n.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
      threads = digits ? static_cast<unsigned>(std::stoul(n)) : 0;
      badThreads = threads == 0;
    } else if (args[i] == "--fields" && i + 1 < args.size()) {
      fieldList = args[++i];
    } else if (args[i] == "--format" && i + 1 < args.size()) {
      format = args[++i];
    } else if (args[i] == "--recursive") {
      recursive = true;
    } else if (args[i] == "--on-demand") {
      onDemand = true;
    } else {
      paths.push_back(args[i]);
    }
  }
  if (paths.empty() || badThreads ||
      (format != "table" && format != "tsv" && format != "csv" && format != "json")) {
    err << "usage: quarrymark columns [-j N] [--fields LIST] [--format table|tsv|csv|json] "
           "[--recursive] [--on-demand] PATH...\n";
    return 2;
  }

  std::vector<FieldInfo> offered;
  for (const FieldInfo& f : plugin.Fields()) {
    if (f.index < 10000) offered.push_back(f);
  }
  std::vector<FieldInfo> fields;
  if (fieldList.empty()) {
    fields = offered;
  } else {
    std::stringstream list(fieldList);
    std::string item;
    while (std::getline(list, item, ',')) {
      const auto it = std::find_if(offered.begin(), offered.end(), [&](const FieldInfo& f) {
        return f.name == item || std::to_string(f.index) == item;
      });
      if (it == offered.end()) {
        err << "columns: no field " << item << '\n';
        return 2;
      }
      fields.push_back(*it);
    }
  }

  std::vector<std::string> files;
  for (const std::string& p : paths) {
    if (!CollectFiles(p, recursive, &files, err)) return 2;
  }

  const bool progress = StderrIsTerminal();
  constexpr int kMaxlen = 2048;
  std::vector<std::vector<Cell>> table(files.size(), std::vector<Cell>(fields.size()));
  // Each pass runs on `threads` worker threads, as a file manager's workers
  // do: each takes the next row; every cell has its place in the table, so
  // the output order does not depend on the threads.
  const std::size_t workers = std::max<std::size_t>(1, std::min<std::size_t>(threads, files.size()));
  std::mutex progressLock;
  auto runRows = [&](const char* pass, const std::function<void(std::size_t)>& row) {
    std::atomic<std::size_t> nextRow{0};
    std::atomic<std::size_t> rowsDone{0};
    auto worker = [&] {
      for (std::size_t r = nextRow++; r < files.size(); r = nextRow++) {
        row(r);
        const std::size_t done = ++rowsDone;
        if (progress) {
          std::lock_guard<std::mutex> guard(progressLock);
          err << "\r" << pass << ' ' << done << '/' << files.size() << std::flush;
        }
      }
    };
    std::vector<std::thread> pool;
    for (std::size_t t = 0; t < workers; ++t) pool.emplace_back(worker);
    for (std::thread& t : pool) t.join();
  };
  // Foreground pass: what is quick is answered now.
  runRows("foreground", [&](std::size_t r) {
    for (std::size_t c = 0; c < fields.size(); ++c) {
      Cell& cell = table[r][c];
      cell.value = plugin.GetValue(files[r], fields[c].index, 0, kMaxlen, CONTENT_DELAYIFSLOW, false);
      cell.pending = cell.value.code == ft_delayed || (cell.value.code == ft_ondemand && onDemand);
    }
  });
  // Background pass: the cells the plugin put off.
  runRows("background", [&](std::size_t r) {
    for (std::size_t c = 0; c < fields.size(); ++c) {
      Cell& cell = table[r][c];
      if (cell.pending) cell.value = plugin.GetValue(files[r], fields[c].index, 0, kMaxlen, 0, false);
    }
  });
  if (progress) err << "\r\x1b[K" << std::flush;

  std::vector<std::string> header{"File"};
  for (const FieldInfo& f : fields) header.push_back(f.name);
  std::vector<std::vector<std::string>> rows;
  for (std::size_t r = 0; r < files.size(); ++r) {
    std::vector<std::string> row{files[r]};
    for (const Cell& cell : table[r]) row.push_back(CellText(cell.value));
    rows.push_back(row);
  }

  if (format == "json") {
    out << "[\n";
    for (std::size_t r = 0; r < rows.size(); ++r) {
      out << "  {\"file\": " << JsonString(rows[r][0]) << ", \"fields\": {";
      for (std::size_t c = 1; c < rows[r].size(); ++c) {
        out << (c > 1 ? ", " : "") << JsonString(header[c]) << ": {\"code\": " << table[r][c - 1].value.code
            << ", \"value\": " << JsonString(rows[r][c]) << "}";
      }
      out << "}}" << (r + 1 < rows.size() ? "," : "") << '\n';
    }
    out << "]\n";
    return 0;
  }
  if (format == "tsv" || format == "csv") {
    const char sep = format == "tsv" ? '\t' : ',';
    rows.insert(rows.begin(), header);
    for (const auto& row : rows) {
      for (std::size_t c = 0; c < row.size(); ++c) {
        out << (c ? std::string(1, sep) : std::string()) << (format == "csv" ? Csv(row[c]) : EscapeTsv(row[c]));
      }
      out << '\n';
    }
    return 0;
  }
  rows.insert(rows.begin(), header);
  for (auto& row : rows) {
    for (std::string& cell : row) cell = EscapeControls(cell);  // one line per row
  }
  std::vector<std::size_t> widths(header.size(), 0);
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], DisplayWidth(row[c]));
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::string line;
    for (std::size_t c = 0; c < rows[r].size(); ++c) {
      line += rows[r][c];
      if (c + 1 < rows[r].size()) line += std::string(widths[c] - DisplayWidth(rows[r][c]) + 2, ' ');
    }
    out << line << '\n';
    if (r == 0) {
      std::string rule;
      for (std::size_t c = 0; c < widths.size(); ++c) rule += std::string(widths[c], '-') + (c + 1 < widths.size() ? "  " : "");
      out << rule << '\n';
    }
  }
  return 0;
}

}  // namespace qm::host
