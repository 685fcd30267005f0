#include "support/test_files.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

namespace qm::test {

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  std::random_device seed;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto candidate = base / ("quarrymark-test-" + std::to_string(seed()) + "-" +
                                   std::to_string(counter++));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempFolder::PathOf(const std::string& name) const {
  return (path_ / std::filesystem::u8path(name)).u8string();
}

std::string TempFolder::Write(const std::string& name, const std::string& bytes) const {
  const auto full = path_ / std::filesystem::u8path(name);
  std::filesystem::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return full.u8string();
}

std::string Utf16Le(const std::u16string& text) {
  std::string bytes;
  for (const char16_t u : text) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return bytes;
}

std::string Utf16Be(const std::u16string& text) {
  std::string bytes;
  for (const char16_t u : text) {
    bytes.push_back(static_cast<char>(u >> 8));
    bytes.push_back(static_cast<char>(u & 0xFF));
  }
  return bytes;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace qm::test
