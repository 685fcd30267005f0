#include "utility_test_files.h"

#include <fstream>
#include <sstream>
#include <vector>

#include "support/settings_text.h"

namespace qm::utility::test {

namespace fs = std::filesystem;

std::u16string Folder::Wide() const {
  return path().u16string() + static_cast<char16_t>(fs::path::preferred_separator);
}

std::u16string Folder::Write(const std::string& name, const std::string& bytes) const {
  std::ofstream out(path() / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return (path() / name).u16string();
}

std::size_t Folder::EntryCount() const {
  std::size_t n = 0;
  for (const auto& entry : fs::directory_iterator(path())) {
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
  return "\xEF\xBB\xBF" + qm::test::IniLines(std::vector<std::string>(lines.begin(), lines.end()));
}

}  // namespace qm::utility::test
