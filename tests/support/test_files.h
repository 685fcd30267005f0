// Temporary folders and files for tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace qm::test {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes bytes to name inside the folder; returns the full path (UTF-8).
  std::string Write(const std::string& name, const std::string& bytes) const;
  std::string PathOf(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// The bytes of a UTF-16 little-endian text.
std::string Utf16Le(const std::u16string& text);
std::string Utf16Be(const std::u16string& text);
std::string ReadFileBytes(const std::string& path);

}  // namespace qm::test
