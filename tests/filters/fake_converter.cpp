// A converter program for the tests. The file it is given selects what it
// does by its first line; the rest of the file is the text it prints (bytes
// widened to UTF-16 little-endian units):
//   text       the rest, exit 0          bom     U+FEFF, then the rest
//   empty      nothing, exit 0           fail    the rest, exit 1
//   stderr     the rest on standard error, exit 0
//   args       its arguments joined by "|", exit 0
//   lines N    N lines "line K" ending in CR LF, exit 0
//   big M      M MiB of 128-byte lines, then "needle", exit 0
//   slow       "tick" and CR LF every 20 ms, never ends
//   hang       nothing, never ends
//   flood      "flood" and CR LF as fast as it can, never ends; when
//              QM_FAKE_CONVERTER_WRITTEN names a file, it holds the MiB
//              written so far
//   stubborn   nothing, never ends, and ignores the signals that ask a
//              program to end (POSIX)
//   hog M      asks for M MiB of address space (touching only its ends),
//              prints "got", exit 0; prints "refused", exit 1, when refused
// A file that begins with a UTF-16 little-endian byte order mark is printed
// as it is, exit 0.
// When QM_FAKE_CONVERTER_PIDS names a file, the process id is appended to it.
// When QM_FAKE_CONVERTER_ENDS names a file, a run that ends by itself with
// its output written appends "<verb> <exit code>" to it: a test can tell a
// run that ended as the verb says from one the system failed to start or
// finish.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif
#include <new>

namespace {

void SleepMs(int ms) {
#ifdef _WIN32
  Sleep(static_cast<DWORD>(ms));
#else
  usleep(static_cast<useconds_t>(ms) * 1000);
#endif
}

std::string Widen(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    out.push_back(c);
    out.push_back(0);
  }
  return out;
}

void Put(FILE* stream, const std::string& text) {
  const std::string w = Widen(text);
  std::fwrite(w.data(), 1, w.size(), stream);
}

// Flushes the output and notes the run's end (QM_FAKE_CONVERTER_ENDS).
int Finish(const std::string& verb, int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  if (const char* ends = std::getenv("QM_FAKE_CONVERTER_ENDS")) {
    if (FILE* f = std::fopen(ends, "a")) {
      std::fprintf(f, "%s %d\n", verb.c_str(), code);
      std::fclose(f);
    }
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  const long pid = static_cast<long>(_getpid());
#else
  const long pid = static_cast<long>(getpid());
#endif
  if (const char* pids = std::getenv("QM_FAKE_CONVERTER_PIDS")) {
    if (FILE* f = std::fopen(pids, "a")) {
      std::fprintf(f, "%ld\n", pid);
      std::fclose(f);
    }
  }
  if (argc < 2) return 2;
  std::ifstream in(argv[argc - 1], std::ios::binary);
  if (!in) return 3;
  std::stringstream content;
  content << in.rdbuf();
  const std::string all = content.str();
  if (all.compare(0, 2, "\xFF\xFE") == 0) {
    std::fwrite(all.data(), 1, all.size(), stdout);
    return 0;
  }
  const std::size_t eol = all.find('\n');
  std::string command = all.substr(0, eol);
  if (!command.empty() && command.back() == '\r') command.pop_back();
  const std::string rest = eol == std::string::npos ? std::string() : all.substr(eol + 1);
  const std::string verb = command.substr(0, command.find(' '));
  const long number = command.find(' ') == std::string::npos
                          ? 0
                          : std::strtol(command.c_str() + command.find(' ') + 1, nullptr, 10);

  if (verb == "text") {
    Put(stdout, rest);
  } else if (verb == "bom") {
    std::fwrite("\xFF\xFE", 1, 2, stdout);
    Put(stdout, rest);
  } else if (verb == "empty") {
  } else if (verb == "fail") {
    Put(stdout, rest);
    return Finish(verb, 1);
  } else if (verb == "stderr") {
    Put(stderr, rest);
  } else if (verb == "args") {
    std::string joined;
    for (int i = 1; i < argc; ++i) joined += std::string(i > 1 ? "|" : "") + argv[i];
    Put(stdout, joined);
  } else if (verb == "lines") {
    for (long k = 1; k <= number; ++k) Put(stdout, "line " + std::to_string(k) + "\r\n");
  } else if (verb == "big") {
    const std::string line = Widen(std::string(62, 'x') + "\r\n");  // 128 bytes
    for (long k = 0; k < number * 8192; ++k) std::fwrite(line.data(), 1, line.size(), stdout);
    Put(stdout, "needle\r\n");
  } else if (verb == "slow") {
    for (;;) {
      Put(stdout, "tick\r\n");
      std::fflush(stdout);
      SleepMs(20);
    }
  } else if (verb == "hang") {
    for (;;) SleepMs(1000);
  } else if (verb == "flood") {
    const std::string line = Widen("flood\r\n");
    std::string block;
    for (int k = 0; k < 512; ++k) block += line;
    // QM_FAKE_CONVERTER_WRITTEN names a file that always holds how many
    // whole MiB were written so far.
    const char* written = std::getenv("QM_FAKE_CONVERTER_WRITTEN");
    std::size_t bytes = 0;
    for (;;) {
      std::fwrite(block.data(), 1, block.size(), stdout);
      const std::size_t before = bytes >> 20;
      bytes += block.size();
      if (written != nullptr && *written != 0 && (bytes >> 20) != before) {
        std::ofstream(written, std::ios::trunc) << (bytes >> 20) << '\n';
      }
    }
  } else if (verb == "stubborn") {
#ifndef _WIN32
    for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) signal(sig, SIG_IGN);
#endif
    for (;;) SleepMs(1000);
  } else if (verb == "hog") {
    const std::size_t bytes = static_cast<std::size_t>(number) << 20;
    char* memory = new (std::nothrow) char[bytes];
    if (memory == nullptr) {
      Put(stdout, "refused");
      return 1;
    }
    memory[0] = memory[bytes - 1] = 1;
    Put(stdout, memory[0] == memory[bytes - 1] ? "got" : "lost");
    delete[] memory;
  } else {
    return 4;
  }
  return Finish(verb, 0);
}
