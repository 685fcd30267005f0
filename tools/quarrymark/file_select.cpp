// Choosing files under a folder: hidden names, ignore files, globs,
// extensions, symbolic links.
//
// No library from Debian does this for a C++ program on both targets: libgit2
// answers ignore questions only inside a git repository and knows nothing of
// .ignore files, and the C library's fnmatch has no "**" and no Windows
// build. The matcher below follows git's documented pattern rules.
#include "tools/quarrymark/file_select.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/platform.h"
#include "tools/quarrymark/terminal.h"

namespace qm::host {
namespace {

namespace fs = std::filesystem;

// One character class at glob[at] ('[' there); sets *end past its ']'.
// False when the class is not closed (the '[' is then an ordinary character).
bool MatchClass(std::string_view glob, std::size_t at, unsigned char c, bool* matched,
                std::size_t* end) {
  std::size_t i = at + 1;
  bool negated = false;
  if (i < glob.size() && (glob[i] == '!' || glob[i] == '^')) {
    negated = true;
    ++i;
  }
  bool hit = false;
  bool first = true;
  for (; i < glob.size(); ++i) {
    if (glob[i] == ']' && !first) {
      *matched = hit != negated;
      *end = i + 1;
      return true;
    }
    first = false;
    unsigned char low = static_cast<unsigned char>(glob[i]);
    if (low == '\\' && i + 1 < glob.size()) low = static_cast<unsigned char>(glob[++i]);
    unsigned char high = low;
    if (i + 2 < glob.size() && glob[i + 1] == '-' && glob[i + 2] != ']') {
      high = static_cast<unsigned char>(glob[i + 2]);
      i += 2;
    }
    if (c >= low && c <= high) hit = true;
  }
  return false;
}

bool Match(std::string_view g, std::size_t gi, std::string_view p, std::size_t pi) {
  while (gi < g.size()) {
    const char c = g[gi];
    if (c == '*') {
      const bool doubleStar = gi + 1 < g.size() && g[gi + 1] == '*';
      if (doubleStar) {
        const bool segmentStart = gi == 0 || g[gi - 1] == '/';
        const std::size_t after = gi + 2;
        const bool segmentEnd = after == g.size() || g[after] == '/';
        if (segmentStart && segmentEnd) {
          if (after == g.size()) return true;  // "x/**": everything below
          // "**/": zero or more whole segments.
          for (std::size_t k = pi;; ++k) {
            if ((k == pi || p[k - 1] == '/') && Match(g, after + 1, p, k)) return true;
            if (k >= p.size()) return false;
          }
        }
      }
      // '*' (or a "**" inside a segment): any run without '/'.
      std::size_t next = gi + 1;
      while (next < g.size() && g[next] == '*') ++next;
      for (std::size_t k = pi;; ++k) {
        if (Match(g, next, p, k)) return true;
        if (k >= p.size() || p[k] == '/') return false;
      }
    }
    if (pi >= p.size()) return false;
    if (c == '?') {
      if (p[pi] == '/') return false;
      ++gi;
      ++pi;
      continue;
    }
    if (c == '[') {
      bool matched = false;
      std::size_t end = 0;
      if (p[pi] != '/' && MatchClass(g, gi, static_cast<unsigned char>(p[pi]), &matched, &end)) {
        if (!matched) return false;
        gi = end;
        ++pi;
        continue;
      }
    }
    char literal = c;
    if (c == '\\' && gi + 1 < g.size()) literal = g[++gi];
    if (p[pi] != literal) return false;
    ++gi;
    ++pi;
  }
  return pi == p.size();
}

struct IgnoreRule {
  std::string pattern;
  bool negated = false;
  bool folderOnly = false;
  bool anchored = false;  // matched against the path below the ignore file's folder
};

struct IgnoreFile {
  std::string base;  // the folder's path below the root, "" or ending in '/'
  std::vector<IgnoreRule> rules;
};

void ReadIgnoreFile(const fs::path& file, IgnoreFile* into) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Trailing spaces end nothing unless escaped.
    while (!line.empty() && line.back() == ' ' && !(line.size() >= 2 && line[line.size() - 2] == '\\')) {
      line.pop_back();
    }
    if (line.empty() || line[0] == '#') continue;
    IgnoreRule rule;
    if (line[0] == '!') {
      rule.negated = true;
      line.erase(0, 1);
    } else if (line[0] == '\\' && line.size() > 1 && (line[1] == '#' || line[1] == '!')) {
      line.erase(0, 1);
    }
    if (!line.empty() && line.back() == '/') {
      rule.folderOnly = true;
      line.pop_back();
    }
    if (line.empty()) continue;
    rule.anchored = line.find('/') != std::string::npos;
    if (line[0] == '/') line.erase(0, 1);
    rule.pattern = line;
    into->rules.push_back(std::move(rule));
  }
}

class Walker {
 public:
  Walker(std::string root, const FileSelection& selection, const FileTaker& take)
      : root_(std::move(root)), selection_(selection), take_(take) {
    for (const std::string& glob : selection.globs) {
      if (!glob.empty() && glob[0] == '!') {
        excludes_.push_back(glob.substr(1));
      } else {
        includes_.push_back(glob);
      }
    }
  }

  bool Walk(std::string* error) {
    std::error_code ec;
    if (selection_.follow) ancestors_.push_back(fs::canonical(fs::u8path(root_), ec).u8string());
    return Folder(root_, "", error) != Outcome::kFailed;
  }

 private:
  enum class Outcome { kDone, kStopped, kFailed };

  // A listed entry that the walk visits, with the key that orders it: the
  // name, and a '/' after a folder's, so that visiting a folder's entries in
  // key order, each folder's files where its key falls, gives the files in
  // the byte order of their whole relative paths ("a.txt" before "a/b").
  struct Visit {
    std::string key;
    bool folder = false;
  };

  static std::string_view NameOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
  }

  static bool GlobHits(const std::string& glob, std::string_view path) {
    return GlobMatch(glob, glob.find('/') == std::string::npos ? NameOf(path) : path);
  }

  static std::string Joined(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    const char last = folder.back();
    return folder + (last == '/' || last == '\\' ? "" : "/") + name;
  }

  bool Ignored(const std::string& relative, bool folder) const {
    bool ignored = false;
    for (const IgnoreFile& file : ignores_) {
      if (relative.compare(0, file.base.size(), file.base) != 0) continue;
      const std::string_view below = std::string_view(relative).substr(file.base.size());
      for (const IgnoreRule& rule : file.rules) {
        if (rule.folderOnly && !folder) continue;
        if (GlobMatch(rule.pattern, rule.anchored ? below : NameOf(below))) ignored = !rule.negated;
      }
    }
    return ignored;
  }

  bool Excluded(const std::string& relative) const {
    return std::any_of(excludes_.begin(), excludes_.end(),
                       [&](const std::string& g) { return GlobHits(g, relative); });
  }

  bool Wanted(const std::string& relative) const {
    if (!includes_.empty() &&
        std::none_of(includes_.begin(), includes_.end(),
                     [&](const std::string& g) { return GlobHits(g, relative); })) {
      return false;
    }
    if (selection_.extensions.empty()) return true;
    const std::string_view name = NameOf(relative);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return false;
    std::string ext(name.substr(dot + 1));
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::any_of(selection_.extensions.begin(), selection_.extensions.end(),
                       [&](const std::string& e) { return e == ext; });
  }

  // The kind the walk gives an entry: a link counts only when links are
  // followed, as what it leads to.
  platform::FolderEntry::Kind KindOf(const std::string& folder, const platform::FolderEntry& entry) const {
    using Kind = platform::FolderEntry::Kind;
    if (entry.kind != Kind::kLink) return entry.kind;
    return selection_.follow ? platform::KindWithLinksFollowed(Joined(folder, entry.name)) : Kind::kOther;
  }

  // The ignore files of one folder, .ignore after .gitignore so that its
  // rules win.
  void ReadIgnoreFiles(const std::string& folder, const std::string& base,
                       const std::vector<platform::FolderEntry>& entries) {
    IgnoreFile file;
    file.base = base;
    for (const char* name : {".gitignore", ".ignore"}) {
      const auto it = std::find_if(entries.begin(), entries.end(),
                                   [&](const platform::FolderEntry& e) { return e.name == name; });
      if (it == entries.end()) continue;
      const std::string path = Joined(folder, it->name);
      if (it->kind == platform::FolderEntry::Kind::kFile ||
          (it->kind == platform::FolderEntry::Kind::kLink &&
           platform::KindWithLinksFollowed(path) == platform::FolderEntry::Kind::kFile)) {
        ReadIgnoreFile(fs::u8path(path), &file);
      }
    }
    if (!file.rules.empty()) ignores_.push_back(std::move(file));
  }

  Outcome Folder(const std::string& folder, const std::string& base, std::string* error) {
    using Kind = platform::FolderEntry::Kind;
    if (Interrupted()) return Outcome::kStopped;  // Ctrl-C under a command's guard
    std::vector<platform::FolderEntry> entries;
    std::string listError;
    if (!platform::ListFolderEntries(folder, &entries, &listError)) {
      if (base.empty()) {
        *error = "cannot list " + root_ + ": " + listError;
        return Outcome::kFailed;
      }
      return Outcome::kDone;  // an unreadable subfolder is skipped, as a walk into it would be
    }
    const std::size_t ignoresBefore = ignores_.size();
    if (!selection_.noIgnore) ReadIgnoreFiles(folder, base, entries);
    std::vector<Visit> visits;
    visits.reserve(entries.size());
    for (const platform::FolderEntry& entry : entries) {
      if (!selection_.hidden && !entry.name.empty() && entry.name[0] == '.') continue;
      const Kind kind = KindOf(folder, entry);
      if (kind == Kind::kFolder && selection_.recursive) {
        visits.push_back(Visit{entry.name + '/', true});
      } else if (kind == Kind::kFile) {
        visits.push_back(Visit{entry.name, false});
      }
    }
    std::sort(visits.begin(), visits.end(), [](const Visit& a, const Visit& b) { return a.key < b.key; });
    Outcome outcome = Outcome::kDone;
    for (const Visit& visit : visits) {
      if (visit.folder) {
        const std::string name = visit.key.substr(0, visit.key.size() - 1);
        const std::string relative = base + name;
        if (Excluded(relative) || Ignored(relative, true)) continue;
        const std::string path = Joined(folder, name);
        if (selection_.follow) {
          // A link back to a folder being walked would never end.
          std::error_code c;
          const std::string canonical = fs::canonical(fs::u8path(path), c).u8string();
          if (c || std::find(ancestors_.begin(), ancestors_.end(), canonical) != ancestors_.end()) continue;
          ancestors_.push_back(canonical);
          outcome = Folder(path, relative + "/", error);
          ancestors_.pop_back();
        } else {
          outcome = Folder(path, relative + "/", error);
        }
        if (outcome == Outcome::kStopped) break;
      } else {
        const std::string relative = base + visit.key;
        if (Excluded(relative) || Ignored(relative, false) || !Wanted(relative)) continue;
        if (!take_(relative)) {
          outcome = Outcome::kStopped;
          break;
        }
      }
    }
    ignores_.resize(ignoresBefore);
    return outcome == Outcome::kStopped ? outcome : Outcome::kDone;
  }

  std::string root_;
  const FileSelection& selection_;
  const FileTaker& take_;
  std::vector<std::string> includes_, excludes_;
  std::vector<IgnoreFile> ignores_;
  std::vector<std::string> ancestors_;  // canonical folders being walked (with follow)
};

}  // namespace

bool GlobMatch(std::string_view glob, std::string_view path) { return Match(glob, 0, path, 0); }

bool ReadFileSelection(const std::string& command, const ParsedArgs& parsed,
                       FileSelection* selection, std::string* error) {
  selection->recursive = parsed.Has("recursive");
  selection->hidden = parsed.Has("hidden");
  selection->noIgnore = parsed.Has("no-ignore");
  selection->follow = parsed.Has("follow");
  selection->globs = parsed.All("glob");
  for (const std::string& value : parsed.All("ext")) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t comma = value.find(',', start);
      std::string ext = value.substr(start, comma - start);
      if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
      for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (ext.empty()) return *error = command + ": --ext needs an extension", false;
      selection->extensions.push_back(ext);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  return true;
}

bool WalkFolder(const std::string& folder, const FileSelection& selection, const FileTaker& take,
                std::string* error) {
  Walker walker(folder, selection, take);
  return walker.Walk(error);
}

bool ListFolder(const std::string& folder, const FileSelection& selection,
                std::vector<std::string>* relative, std::string* error) {
  return WalkFolder(
      folder, selection,
      [relative](const std::string& file) {
        relative->push_back(file);
        return true;
      },
      error);
}

}  // namespace qm::host
