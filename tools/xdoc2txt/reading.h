// What every document reader of the converter shares: the two ways a
// reading stops (thrown in our own frames only; parser and poppler callbacks
// never throw, they record what happened and stop the parser), a file read
// in pieces, and small string tests.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace qm::xdoc {

struct Unreadable {};  // thrown: the document cannot be read
struct PastLimits {};  // thrown: a limit stopped the reading

inline bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}
inline bool EndsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

inline std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Reads a file in pieces.
class FileReader {
 public:
  explicit FileReader(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {}
  ~FileReader() {
    if (file_ != nullptr) std::fclose(file_);
  }
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  bool Ok() const { return file_ != nullptr; }
  // Up to n bytes; 0 at the end. A read error makes the file unreadable.
  std::size_t Read(char* buffer, std::size_t n) {
    const std::size_t got = std::fread(buffer, 1, n, file_);
    if (got == 0 && std::ferror(file_)) throw Unreadable();
    return got;
  }
  // Byte by byte, for the RTF reader: -1 at the end.
  int Get() {
    const int c = std::getc(file_);
    if (c == EOF && std::ferror(file_)) throw Unreadable();
    return c;
  }
  int Peek() {
    const int c = Get();
    if (c != EOF) std::ungetc(c, file_);
    return c;
  }

 private:
  std::FILE* file_;
};

constexpr std::size_t kPiece = 65536;

}  // namespace qm::xdoc
