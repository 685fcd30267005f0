// The field table: one FieldDefinition per field the plugin knows.
//
// Built once while the settings are loaded and read-only afterwards (read by
// concurrent requests without a lock). Compiled programs are shared between
// copies of a record and released with the last copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugin/evaluation/program.h"
#include "settings_format/settings_format.h"

namespace qm::plugin {

using settings::FieldType;

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
  // The answer is the same whether the text is read as UTF-8 or as ANSI: a
  // yes/no or a count of case-sensitive ASCII literals, found by the literal
  // search alone in both forms (no multi-byte sequence holds an ASCII byte).
  // Such a request skips the UTF-8 test of its content.
  bool answersAlikeAsUtf8OrAnsi = false;
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
