// A private folder per test for settings files, and whole-file helpers.
#pragma once

#include <filesystem>
#include <string>

#include "support/test_files.h"

namespace qm::utility::test {

// A TempFolder with the model's UTF-16 view of its names.
class Folder : public qm::test::TempFolder {
 public:
  std::filesystem::path operator/(const std::string& name) const { return path() / name; }
  // The folder as the model takes it: UTF-16 with a trailing separator.
  std::u16string Wide() const;
  // Writes bytes and returns the file's UTF-16 path.
  std::u16string Write(const std::string& name, const std::string& bytes) const;
  // Number of entries in the folder.
  std::size_t EntryCount() const;
};

std::string ReadAll(const std::filesystem::path& path);
std::string ReadAll(const std::u16string& path);

// A settings file: UTF-8 byte order mark and the lines joined by CR LF.
std::string IniText(std::initializer_list<const char*> lines);

}  // namespace qm::utility::test
