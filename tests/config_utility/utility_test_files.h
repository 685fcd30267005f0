// A private folder per test for settings files, and whole-file helpers.
#pragma once

#include <filesystem>
#include <string>

namespace qm::utility::test {

class Folder {
 public:
  Folder();
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  // The folder as the model takes it: UTF-16 with a trailing separator.
  std::u16string Wide() const;
  // Writes bytes and returns the file's UTF-16 path.
  std::u16string Write(const std::string& name, const std::string& bytes) const;
  // Number of entries in the folder.
  std::size_t EntryCount() const;

 private:
  std::filesystem::path path_;
};

std::string ReadAll(const std::filesystem::path& path);
std::string ReadAll(const std::u16string& path);

// A settings file: UTF-8 byte order mark and the lines joined by CR LF.
std::string IniText(std::initializer_list<const char*> lines);

}  // namespace qm::utility::test
