// Terminal detection, colours, cut cells, the progress line and Ctrl-C.
#include "tools/quarrymark/terminal.h"

#include <cstdlib>
#include <iostream>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace qm::host {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

bool IsTerminal(int fd) {
#ifdef _WIN32
  return _isatty(fd) != 0;
#else
  return isatty(fd) != 0;
#endif
}

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

bool StdoutIsTerminal() { return IsTerminal(1); }
bool StderrIsTerminal() { return IsTerminal(2); }

bool ResolveColour(const std::string& when, bool* colour) {
  if (when == "always") return *colour = true, true;
  if (when == "never") return *colour = false, true;
  if (when != "auto") return false;
  const char* noColour = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  *colour = StdoutIsTerminal() && (noColour == nullptr || *noColour == 0) &&
            !(term != nullptr && std::string(term) == "dumb");
  return true;
}

std::string Paint(const std::string& text, Colour colour, bool on) {
  if (!on || colour == Colour::kNone || text.empty()) return text;
  const char* code = "";
  switch (colour) {
    case Colour::kRed: code = "31"; break;
    case Colour::kGreen: code = "32"; break;
    case Colour::kYellow: code = "33"; break;
    case Colour::kBlue: code = "34"; break;
    case Colour::kMagenta: code = "35"; break;
    case Colour::kCyan: code = "36"; break;
    case Colour::kDim: code = "2"; break;
    case Colour::kNone: break;
  }
  return std::string("\x1b[") + code + "m" + text + "\x1b[0m";
}

std::size_t DisplayWidth(const std::string& utf8) {
  std::size_t n = 0;
  for (const char c : utf8) n += !IsContinuation(c);
  return n;
}

std::string CutToWidth(const std::string& utf8, std::size_t width) {
  if (DisplayWidth(utf8) <= width) return utf8;
  if (width == 0) return std::string();
  std::size_t kept = 0, at = 0;
  while (at < utf8.size()) {
    std::size_t next = at + 1;
    while (next < utf8.size() && IsContinuation(utf8[next])) ++next;
    if (kept + 1 > width - 1) break;
    ++kept;
    at = next;
  }
  return utf8.substr(0, at) + "\xE2\x80\xA6";  // U+2026
}

ProgressLine::ProgressLine() : active_(StderrIsTerminal()) {}

void ProgressLine::Show(const std::string& text) {
  if (!active_ || (drawn_ && text == shown_)) return;
  std::cerr << "\r\x1b[K" << text << std::flush;
  shown_ = text;
  drawn_ = true;
}

void ProgressLine::Clear() {
  if (!drawn_) return;
  std::cerr << "\r\x1b[K" << std::flush;
  drawn_ = false;
}

InterruptGuard::InterruptGuard() {
  g_interrupted = 0;
  previous_ = std::signal(SIGINT, OnInterrupt);
}

InterruptGuard::~InterruptGuard() {
  if (previous_ != SIG_ERR) std::signal(SIGINT, previous_);
}

bool Interrupted() { return g_interrupted != 0; }

}  // namespace qm::host
