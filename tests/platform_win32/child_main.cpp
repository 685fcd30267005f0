// The child program of the process tests. It writes, as UTF-8 lines on its
// standard output:
//   "argc=N", then "arg=<argument>" for each argument after the program,
//   then "stdin=<bytes read from standard input>".
// It writes "stderr-text" to its standard error. Arguments change what it
// does: "exit:N" makes it exit with N; "wait" makes it wait until it is ended
// (after a line "pid=<its process id>"); "host" makes it start itself with
// "wait" through ChildProcess, pass on that child's output, and wait until
// it is ended, as a file manager holding the plugin would.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"

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
  bool host = false;
  WriteOut("argc=" + std::to_string(argc - 1) + "\n");
  for (int i = 1; i < argc; ++i) {
    const std::string arg = Utf8(argv[i]);
    WriteOut("arg=" + arg + "\n");
    if (arg.rfind("exit:", 0) == 0) exitCode = std::atoi(arg.c_str() + 5);
    if (arg == "wait") wait = true;
    if (arg == "host") host = true;
  }
  LocalFree(argv);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), "stderr-text\n", 12, &written, nullptr);
  if (wait) {
    WriteOut("pid=" + std::to_string(GetCurrentProcessId()) + "\n");
    WriteOut("waiting\n");
    for (;;) Sleep(1000);
  }
  if (host) {
    wchar_t self[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return 91;
    qm::platform::ChildProcess child = qm::platform::ChildProcess::Start(
        std::u16string(reinterpret_cast<const char16_t*>(self), n), {u"wait"});
    if (!child.IsRunning()) return 92;
    std::string relayed;
    char buffer[64];
    while (relayed.find("waiting\n") == std::string::npos) {
      const std::int64_t got = child.ReadOutput(buffer, sizeof buffer);
      if (got <= 0) return 93;
      relayed.append(buffer, static_cast<std::size_t>(got));
    }
    WriteOut(relayed);
    for (;;) Sleep(1000);
  }
  std::size_t total = 0;
  char buffer[512];
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0) total += got;
  WriteOut("stdin=" + std::to_string(total) + "\n");
  return exitCode;
}
