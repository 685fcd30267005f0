// xdoc2txt [-u] [-o=0] [-i] FILE: writes the text of FILE to standard output
// as UTF-16LE, starting with U+FEFF, and exits with 0; exits with 1 when the
// document cannot be read and with 2 on a usage error. -u, -o=0 and -i are
// accepted for compatibility; the output is always the same.
#include <cstdio>
#include <string>

#include "readers.h"

int main(int argc, char** argv) {
  std::string file;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-u" || arg == "-i" || arg.rfind("-o=", 0) == 0) continue;
    if (!file.empty()) {
      std::fprintf(stderr, "usage: xdoc2txt [-u] [-o=0] [-i] FILE\n");
      return 2;
    }
    file = arg;
  }
  if (file.empty()) {
    std::fprintf(stderr, "usage: xdoc2txt [-u] [-o=0] [-i] FILE\n");
    return 2;
  }
  // Standard error is read as part of the output by the plugin: nothing
  // may reach it once the arguments are accepted.
  if (std::freopen("/dev/null", "w", stderr) == nullptr) return 1;
  std::u16string text;
  try {
    if (!qm::xdoc::ExtractText(file, &text)) return 1;
  } catch (...) {
    return 1;
  }
  std::string out = "\xFF\xFE";
  out.reserve(2 + text.size() * 2);
  for (const char16_t u : text) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() && std::fflush(stdout) == 0 ? 0 : 1;
}
