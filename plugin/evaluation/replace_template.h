// Replace templates: what a string field writes for each match.
//
// A template is UTF-16 text mixing literal text with references: "$" and a
// group number, "\x" and two hex digits (one unit), "\xNn"/"\xNN" (file name
// without/with folder), "\xO0".."\xO9" and "\xo0".."\xo9" (match offset, hex
// or decimal), "\xL0".."\xL9" and "\xl0".."\xl9" (line of the match start or
// end), "\xM0".."\xM9" and "\xm0".."\xm9" (result number from 0 or 1). A "^"
// before a reference makes it literal. Compiled once at load into the
// field's op list and literal pieces; expanded once per counted match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "plugin/evaluation/field_definition.h"
#include "plugin/evaluation/evaluation_state.h"
#include "plugin/evaluation/plugin_settings.h"

namespace qm::plugin {

namespace template_op {
// ~g (negative) for group g; 0..255 a single unit; the rest:
inline constexpr TemplateOp kLiteral = 0x1FFFF;
inline constexpr TemplateOp kFileName = 0x2FFFF;      // without folder
inline constexpr TemplateOp kFullFileName = 0x3FFFF;  // with folder
inline constexpr TemplateOp kHexOffsetAuto = 0x4FFFF;
inline constexpr TemplateOp kHexOffset = 0x50000;     // + d - 1, d = 1..9
inline constexpr TemplateOp kDecOffsetAuto = 0x50009;
inline constexpr TemplateOp kDecOffset = 0x5000A;     // + d - 1, d = 1..9
inline constexpr TemplateOp kLineStart = 0x5FFFF;     // + d, d = 0..9
inline constexpr TemplateOp kLineEnd = 0x60009;       // + d
inline constexpr TemplateOp kResultFrom0 = 0x6FFFF;   // + d
inline constexpr TemplateOp kResultFrom1 = 0x7FFFF;   // + d
}  // namespace template_op

// Compiles the template into field.templateOps and field.literalPieces
// (replacing what they held) and sets field.templateUsesLineNumbers when a
// line reference occurs. Never fails: anything unrecognised is literal.
void CompileReplaceTemplate(std::u16string_view text, FieldDefinition& field);

// Appends the expansion of the field's template for the current match
// (state.matchVector, state.matchCount, state.startOffset) to
// state.outputText. subject/length are the text the match was found in:
// 8-bit text (UTF-8 when state.isUtf8, else the field's ANSI or OEM code
// page from settings) or UTF-16 units.
void ExpandReplaceTemplate(const FieldDefinition& field, const char* subject, std::size_t length,
                           EvaluationState& state, const PluginSettings& settings);
void ExpandReplaceTemplate(const FieldDefinition& field, const char16_t* subject,
                           std::size_t length, EvaluationState& state);

}  // namespace qm::plugin
