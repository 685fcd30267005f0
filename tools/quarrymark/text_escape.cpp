// Escaping for the host's outputs.
#include "tools/quarrymark/text_escape.h"

#include <cstdio>

namespace qm::host {
namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when the bytes there
// are not one (overlong forms, encoded surrogates and values beyond U+10FFFF
// included).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = at(i);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size() || at(i + 1) < low || at(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((at(i + k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

void AppendHex(std::string* out, const char* format, unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, format, value);
  *out += text;
}

}  // namespace

std::string EscapeControls(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (const char c : utf8) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7F) {
      AppendHex(&out, "\\x%02X", u);
    } else {
      out += c;
    }
  }
  return out;
}

std::string EscapeTsv(std::string_view text) {
  // Most cells hold nothing to escape: one pass, one copy.
  std::size_t first = 0;
  while (first < text.size() && static_cast<unsigned char>(text[first]) > '\r' && text[first] != '\\') {
    ++first;
  }
  if (first == text.size()) return std::string(text);
  std::string out(text.substr(0, first));
  out.reserve(text.size() + 8);
  for (const char c : text.substr(first)) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

std::string JsonString(std::string_view bytes) {
  std::string out = "\"";
  out.reserve(bytes.size() + 2);
  for (std::size_t i = 0; i < bytes.size();) {
    const char c = bytes[i];
    const auto u = static_cast<unsigned char>(c);
    const std::size_t length = Utf8SequenceLength(bytes, i);
    if (length == 0) {
      AppendHex(&out, "\\u%04x", 0xDC00u + u);
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      AppendHex(&out, "\\u%04x", u);
    } else {
      out.append(bytes.data() + i, length);
    }
    i += length;
  }
  return out + "\"";
}

}  // namespace qm::host
