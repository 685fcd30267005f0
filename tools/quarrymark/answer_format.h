// How the host names and writes the plugin's answers: field types and answer
// codes by name, typed JSON values, and the text of a table cell.
#pragma once

#include <string>

#include "tools/quarrymark/plugin_host.h"

namespace qm::host {

// The name of a field type ContentGetSupportedField answers: "boolean",
// "integer", "float", "choice", "string", "fulltext", "compare", else
// "type N".
std::string FieldTypeName(int type);

// The kind of an answer code of ContentGetValue(W): the type names above
// for values, and "delayed", "on_demand", "no_such_field", "file_error",
// "empty" (no value) and "overrun" (the plugin wrote beyond the buffer).
std::string AnswerKindName(int code);

// True for the codes that carry no value of the field: errors, "empty",
// and the delayed and on-demand placeholders.
bool AnswerHasValue(int code);

// The answer as a JSON value: a number for integers and floats, true/false
// for Booleans, a string for choices and strings, null without a value.
std::string JsonAnswer(const Value& value);

// {"code": N, "kind": "...", "value": ...}
std::string JsonAnswerObject(const Value& value);

// A table or TSV/CSV cell: the value, "(no such field)", "(file error)",
// or empty for "empty".
std::string CellText(const Value& value);

}  // namespace qm::host
