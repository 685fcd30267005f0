// The child program of the process tests. It writes, as UTF-8 lines on its
// standard output:
//   "argc=N", then "arg=<argument>" for each argument after the program,
//   then "stdin=<bytes read from standard input>".
// It writes "stderr-text" to its standard error. Arguments change what it
// does: "exit:N" makes it exit with N; "wait" makes it wait until it is ended.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>

namespace {

void WriteOut(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string Utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return 90;
  int exitCode = 0;
  bool wait = false;
  WriteOut("argc=" + std::to_string(argc - 1) + "\n");
  for (int i = 1; i < argc; ++i) {
    const std::string arg = Utf8(argv[i]);
    WriteOut("arg=" + arg + "\n");
    if (arg.rfind("exit:", 0) == 0) exitCode = std::atoi(arg.c_str() + 5);
    if (arg == "wait") wait = true;
  }
  LocalFree(argv);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), "stderr-text\n", 12, &written, nullptr);
  if (wait) {
    WriteOut("waiting\n");
    for (;;) Sleep(1000);
  }
  std::size_t total = 0;
  char buffer[512];
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0) total += got;
  WriteOut("stdin=" + std::to_string(total) + "\n");
  return exitCode;
}
