// Names and typed forms of the plugin's answers.
#include "tools/quarrymark/answer_format.h"

#include <cmath>
#include <cstdio>

#include "tools/quarrymark/text_escape.h"

namespace qm::host {

std::string FieldTypeName(int type) {
  switch (type) {
    case ft_boolean: return "boolean";
    case ft_numeric_32: return "integer";
    case ft_numeric_floating: return "float";
    case ft_multiplechoice: return "choice";
    case ft_string:
    case ft_stringw: return "string";
    case ft_fulltext:
    case ft_fulltextw: return "fulltext";
    case ft_comparecontent: return "compare";
    default: return "type " + std::to_string(type);
  }
}

std::string AnswerKindName(int code) {
  switch (code) {
    case ft_delayed: return "delayed";
    case ft_ondemand: return "on_demand";
    case ft_nosuchfield: return "no_such_field";
    case ft_fileerror: return "file_error";
    case ft_fieldempty: return "empty";
    case -100: return "overrun";
    default: return FieldTypeName(code);
  }
}

bool AnswerHasValue(int code) { return code > 0; }

std::string JsonAnswer(const Value& value) {
  switch (value.code) {
    case ft_boolean: return value.number != 0 ? "true" : "false";
    case ft_numeric_32: return std::to_string(static_cast<long long>(value.number));
    case ft_numeric_floating: {
      if (!std::isfinite(value.number)) return "null";
      char text[40];
      std::snprintf(text, sizeof text, "%.15g", value.number);
      return text;
    }
    case ft_multiplechoice:
    case ft_string:
    case ft_stringw:
    case ft_fulltext:
    case ft_fulltextw: return JsonString(value.text);
    default: return "null";
  }
}

std::string JsonAnswerObject(const Value& value) {
  return "{\"code\": " + std::to_string(value.code) + ", \"kind\": " +
         JsonString(AnswerKindName(value.code)) + ", \"value\": " + JsonAnswer(value) + "}";
}

std::string CellText(const Value& value) {
  switch (value.code) {
    case ft_nosuchfield: return "(no such field)";
    case ft_fileerror: return "(file error)";
    case ft_fieldempty: return "";
    default: return value.text;
  }
}

}  // namespace qm::host
