// What the host does differently on a terminal: colours (never when piped,
// with NO_COLOR set or TERM=dumb), cells cut with an ellipsis, progress on
// standard error; and Ctrl-C, which long commands answer by stopping the
// plugin's work and exiting with 130.
#pragma once

#include <csignal>
#include <cstddef>
#include <string>

namespace qm::host {

// True when standard output / standard error is a terminal.
bool StdoutIsTerminal();
bool StderrIsTerminal();

// Whether table output is coloured: "auto" (a terminal, NO_COLOR unset or
// empty, TERM not "dumb"), "always" or "never". False with an unknown word.
bool ResolveColour(const std::string& when, bool* colour);

enum class Colour { kNone, kRed, kGreen, kYellow, kBlue, kMagenta, kCyan, kDim };

// text wrapped in the colour's escape sequences, or text itself when off.
std::string Paint(const std::string& text, Colour colour, bool on);

// Display columns of UTF-8 text (one per character; escapes of the host's
// own colours are not in the text this is asked about).
std::size_t DisplayWidth(const std::string& utf8);

// text cut to at most width display columns, ending with "…" when cut; whole
// characters only.
std::string CutToWidth(const std::string& utf8, std::size_t width);

// The progress line on standard error: redrawn in place, cleared by
// Clear(). Does nothing when standard error is not a terminal.
class ProgressLine {
 public:
  ProgressLine();
  void Show(const std::string& text);
  void Clear();
  bool Active() const { return active_; }

 private:
  bool active_;
  bool drawn_ = false;
  std::string shown_;
};

// Ctrl-C sets a flag while a guard lives; the previous handler returns with
// the guard's end. Interrupted() reads the flag from any thread.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  void (*previous_)(int);
};
bool Interrupted();

}  // namespace qm::host
