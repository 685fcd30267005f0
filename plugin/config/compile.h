// Expression compilation: each field's expression becomes three PCRE
// programs (8-bit ANSI/OEM text, UTF-8 text, UTF-16 text) while the settings
// load, so no compilation happens during a request. Failures are collected
// in the error-log text and written once at the end of loading.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/evaluation/field_definition.h"
#include "plugin/config/plugin_state.h"

namespace qm::plugin {

// Index of the full-text field and of the line-break field in error entries.
inline constexpr int kFulltextFieldIndex = 28671;
inline constexpr int kLineBreakFieldIndex = 32767;

enum class CompileVariant { kAnsi = 0, kUtf8 = 1, kUtf16 = 2 };

// Compiles one field and stores the record in state.fields: appended, or in
// place of the first record for index 0 when the table is not empty. On a
// failure one entry is appended to errorLog, nothing is stored and the
// result is false. name is the configured name (UTF-8).
bool CompileField(PluginState& state, const std::u16string& expression, int index,
                  const std::string& name, std::string& errorLog, FieldType type,
                  std::uint32_t flags, const std::u16string& replaceTemplate);

// Test hook: false compiles programs without the stop callout (process-wide;
// default true), the form a program takes when the callout cannot be added.
void SetStopCalloutEnabled(bool enabled);

// Appends one two-line entry (local time; field, variant, expression, PCRE's
// message and offset) to errorLog and releases the record's programs.
void AppendCompileError(const char* message, const std::string& expressionText, int offset,
                        CompileVariant variant, int index, FieldDefinition& record,
                        std::string& errorLog);

// Writes the collected entries to the error log beside the plugin: appended
// to a log of 1 to 1,048,576 bytes, else the log restarts with the UTF-8
// byte-order mark. Failures are silent.
void WriteErrorLog(const PluginState& state, const std::string& errorLog);

}  // namespace qm::plugin
