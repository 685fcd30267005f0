// Checking and testing an expression the way the plugin compiles it.
//
// Divisions: status texts; CodePageTables (the two 8-bit character tables
// built once per run); ProbeOptions; ExpressionProbe (the three compilations,
// study, facts, and the match search over a test text); CheckExpression (the
// status line's verdict).
//
// The three compilations run in the order UTF-8, ANSI, UTF-16 with the
// plugin's options; the first failure ends the work and decides the message.
// Compiling never throws: the result is the error text and offset.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "settings_format/char_tables.h"

namespace qm::utility {

// ---------------------------------------------------------------------------
// Status
// ---------------------------------------------------------------------------
enum class ExpressionStatus : int { kOk = 0, kError = 1, kWarning = 2 };

inline constexpr char16_t kStatusOkText[] = u"OK!";
inline constexpr char16_t kStatusEmptyText[] =
    u"Empty expression, will be filled with .* when saving";
inline constexpr char16_t kStatusNewlinesText[] = u"OK, but newlines / line breaks in expression!";

// ---------------------------------------------------------------------------
// Character tables of the run
// ---------------------------------------------------------------------------
struct CodePageTables {
  std::uint32_t ansiCodePage = 0;
  std::uint32_t oemCodePage = 0;
  settings::CharTables ansi;  // null when memory ran out: PCRE's built-in tables are used
  settings::CharTables oem;

  // The system's ANSI and OEM code pages and their tables.
  static CodePageTables ForSystem();
  // Tables of explicit code pages (tests).
  static CodePageTables For(std::uint32_t ansiCodePage, std::uint32_t oemCodePage);

  // The ANSI tables for the ANSI code page, the OEM tables for any other.
  const unsigned char* TablesFor(std::uint32_t codePage) const;
};

// ---------------------------------------------------------------------------
// Probe
// ---------------------------------------------------------------------------
struct ProbeOptions {
  bool caseSensitive = false;
  bool useUnicodeProperties = true;
  bool emptyMatchesPassThrough = false;
  std::uint32_t codePage = 0;  // of the 8-bit form: the ANSI or the OEM code page
};

// The options a field's flags and the global case option give.
ProbeOptions OptionsForField(std::uint32_t fieldFlags, bool caseSensitiveDefault,
                             const CodePageTables& tables);

inline constexpr int kOffsetVectorSize = 300;  // pairs for groups 0..99 and PCRE's workspace
inline constexpr int kMaxGroupIndex = 99;

// One match: the whole offset vector of the 16-bit execution (offsets in
// UTF-16 code units; -1 for a group that took no part).
using MatchRecord = std::array<int, kOffsetVectorSize>;

class ExpressionProbe {
 public:
  // tables must outlive the probe.
  explicit ExpressionProbe(const CodePageTables* tables);
  ~ExpressionProbe();
  ExpressionProbe(const ExpressionProbe&) = delete;
  ExpressionProbe& operator=(const ExpressionProbe&) = delete;

  ProbeOptions options;

  // Compiles the expression in its three forms and studies them. Returns the
  // 0-based error offset of a failed compilation (in the failing form's code
  // units), else 0; ErrorText() tells whether it failed. Previous compiled
  // forms are released first; the match list is kept.
  int Compile(std::u16string_view expression);
  bool IsCompiled() const { return compiled_ != nullptr; }
  // Empty when every compilation and study succeeded.
  const std::u16string& ErrorText() const { return errorText_; }

  int CaptureCount() const { return captureCount_; }
  std::uint32_t NewlineBits() const { return newlineBits_; }
  // True when the newline convention counts CR LF as one newline.
  bool CrLfNewline() const { return crlfNewline_; }
  int ExecOptions() const { return execOptions_; }

  // Appends every match of the compiled UTF-16 form in text to Matches().
  // Empty matches are recorded only with emptyMatchesPassThrough, and never
  // at the end of a non-empty text without it. An execution error ends the
  // search; the matches found so far stay.
  void Search(std::u16string_view text);
  const std::vector<MatchRecord>& Matches() const { return matches_; }
  void ClearMatches() { matches_.clear(); }

  // Releases the compiled forms and the match list.
  void Release();

  // Position of a stepped-through run.
  std::size_t matchIndex = 0;
  int groupIndex = 0;

 private:
  struct Compiled;
  void ReleaseCompiled();

  const CodePageTables* tables_;
  std::unique_ptr<Compiled> compiled_;  // all three forms, or null
  std::u16string errorText_;
  int captureCount_ = 0;
  std::uint32_t newlineBits_ = 0;
  bool crlfNewline_ = false;
  int execOptions_ = 0;
  std::vector<MatchRecord> matches_;
};

// ---------------------------------------------------------------------------
// The status line's verdict
// ---------------------------------------------------------------------------
struct ExpressionCheck {
  ExpressionStatus status = ExpressionStatus::kOk;
  std::u16string text;
  int errorOffset = 0;  // of a compile error
};

// An empty expression is a warning ("Empty expression, ..."); a failing
// compilation an error with PCRE's message; an expression holding CR or LF a
// warning ("OK, but newlines ..."); else "OK!".
ExpressionCheck CheckExpression(std::u16string_view expression, const ProbeOptions& options,
                                const CodePageTables& tables);

}  // namespace qm::utility
