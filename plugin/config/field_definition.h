// The field table: one FieldDefinition per field the plugin knows.
//
// Built once while the settings are loaded and read-only afterwards (read by
// concurrent requests without a lock). Compiled programs are shared between
// copies of a record and released with the last copy.
#pragma once

#include <pcre.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugin/evaluation/line_plan.h"
#include "plugin/evaluation/needle_search.h"
#include "settings_format/settings_format.h"

namespace qm::plugin {

using settings::FieldType;

// Pattern offset PCRE reports for the stop point of an instrumented program
// (the item after a callout placed at the start of the pattern); -1 when the
// program carries none. See evaluation/matcher.cpp.
inline constexpr int kNoStopPoint = -1;

// A compiled 8-bit program and its study result (either may be absent).
// stopPoint: see kNoStopPoint. jit: the study holds machine code.
struct Program8 {
  pcre* code = nullptr;
  pcre_extra* study = nullptr;
  int stopPoint = kNoStopPoint;
  bool jit = false;
  // When every match stays inside one line (plan.windowed), the program
  // also runs over bounded windows of whole lines in its form without the
  // stop callout (windowCode; null when code itself carries no callout).
  LinePlan plan;
  NeedleSearch<char> needles{std::vector<Needle>()};
  pcre* windowCode = nullptr;
  pcre_extra* windowStudy = nullptr;
  bool windowJit = false;
  // For a pattern holding \z, \Z or \G (see PieceForm in
  // evaluation/matcher.cpp): the same program with the escapes of the kinds
  // in (index + 1) written as an assertion that never holds; kind 1 is \z
  // and \Z, kind 2 is \G. Null where the pattern holds no such escape or
  // the form could not be built.
  std::unique_ptr<Program8> pieceForms[3];
  Program8() = default;
  Program8(const Program8&) = delete;
  Program8& operator=(const Program8&) = delete;
  ~Program8() {
    if (study != nullptr) pcre_free_study(study);
    if (code != nullptr) pcre_free(code);
    if (windowStudy != nullptr) pcre_free_study(windowStudy);
    if (windowCode != nullptr) pcre_free(windowCode);
  }
};

// A compiled 16-bit program and its study result.
struct Program16 {
  pcre16* code = nullptr;
  pcre16_extra* study = nullptr;
  int stopPoint = kNoStopPoint;
  bool jit = false;
  // When every match stays inside one line (plan.windowed), the program
  // also runs over bounded windows of whole lines in its form without the
  // stop callout (windowCode; null when code itself carries no callout).
  LinePlan plan;
  NeedleSearch<char16_t> needles{std::vector<Needle>()};
  pcre16* windowCode = nullptr;
  pcre16_extra* windowStudy = nullptr;
  bool windowJit = false;
  // For a pattern holding \z, \Z or \G (see PieceForm in
  // evaluation/matcher.cpp): the same program with the escapes of the kinds
  // in (index + 1) written as an assertion that never holds; kind 1 is \z
  // and \Z, kind 2 is \G. Null where the pattern holds no such escape or
  // the form could not be built.
  std::unique_ptr<Program16> pieceForms[3];
  Program16() = default;
  Program16(const Program16&) = delete;
  Program16& operator=(const Program16&) = delete;
  ~Program16() {
    if (study != nullptr) pcre16_free_study(study);
    if (code != nullptr) pcre16_free(code);
    if (windowStudy != nullptr) pcre16_free_study(windowStudy);
    if (windowCode != nullptr) pcre16_free(windowCode);
  }
};

// Op codes of a compiled replace template (see evaluation/replace_template.h).
using TemplateOp = std::int32_t;

struct FieldDefinition {
  std::string configuredName;  // UTF-8, as read from the settings (may be empty)
  std::string displayName;     // ANSI, offered to the host

  // Compiled replace template (string types only).
  std::vector<std::u16string> literalPieces;
  std::vector<TemplateOp> templateOps;

  // The three compilations: 8-bit ANSI/OEM text, UTF-8 text, UTF-16 text.
  std::shared_ptr<const Program8> ansiProgram;
  std::shared_ptr<const Program8> utf8Program;
  std::shared_ptr<const Program16> utf16Program;
  std::uint32_t ansiExecOptions = 0;   // newline bits of the compiled program
  std::uint32_t utf8ExecOptions = 0;   // newline bits | PCRE_NO_UTF8_CHECK
  std::uint32_t utf16ExecOptions = 0;  // newline bits | PCRE_NO_UTF16_CHECK

  int captureCount = 0;        // highest capture group number
  bool crlfIsNewline = true;   // newline convention CRLF, ANY or ANYCRLF
  bool compileError = false;   // the expression or the field failed to compile

  // From the stored flag bits (DisableUnicodeProperties acts on compilation only).
  bool oemCodePage = false;
  bool emptyMatchesPassThrough = false;
  bool encodingCheckBufferOnly = false;
  bool filterEnabled = true;  // DisableTextFilter clear
  bool compareCaseInsensitive = false;
  bool filenameOnly = false;

  bool templateUsesLineNumbers = false;
  FieldType type = FieldType::Boolean;

  bool IsStringType() const { return settings::IsStringType(type); }
};

// A fresh record from a name, the stored flag bits and a type.
FieldDefinition MakeFieldDefinition(const std::string& configuredName, std::uint32_t flags,
                                    FieldType type);

// The ordered table: configured fields (sorted by display name when asked),
// the full-text field, the compare fields, and last the hidden line-break
// field.
using FieldTable = std::vector<FieldDefinition>;

// Number of trailing records the host is never offered (the line-break field).
inline constexpr int kInternalFieldCount = 1;

}  // namespace qm::plugin
