#include "utility_test_files.h"

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

namespace qm::utility::test {

namespace fs = std::filesystem;

Folder::Folder() {
  static std::atomic<unsigned> counter{0};
  std::random_device seed;
  for (;;) {
    path_ = fs::temp_directory_path() /
            ("qm-utility-" + std::to_string(seed()) + "-" + std::to_string(counter++));
    if (fs::create_directory(path_)) break;
  }
}

Folder::~Folder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::u16string Folder::Wide() const {
  return path_.u16string() + static_cast<char16_t>(fs::path::preferred_separator);
}

std::u16string Folder::Write(const std::string& name, const std::string& bytes) const {
  std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return (path_ / name).u16string();
}

std::size_t Folder::EntryCount() const {
  std::size_t n = 0;
  for (const auto& entry : fs::directory_iterator(path_)) {
    (void)entry;
    ++n;
  }
  return n;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ReadAll(const std::u16string& path) { return ReadAll(fs::path(path)); }

std::string IniText(std::initializer_list<const char*> lines) {
  std::string text = "\xEF\xBB\xBF";
  for (const char* line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

}  // namespace qm::utility::test
