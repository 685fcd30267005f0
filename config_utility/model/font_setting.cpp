// The "font" value: parsing and formatting.
#include "config_utility/model/font_setting.h"

#include <cstdint>
#include <vector>

#include "config_utility/model/text.h"

namespace qm::utility {
namespace {

// wcstol-like reading of the start of a part: blanks, a sign, decimal
// digits; stops at the first other character. Saturates at the 32-bit range.
std::int64_t LeadingNumber(std::string_view part) {
  std::size_t i = 0;
  while (i < part.size() && (part[i] == ' ' || part[i] == '\t' || part[i] == '\r' ||
                             part[i] == '\n' || part[i] == '\v' || part[i] == '\f')) {
    ++i;
  }
  bool negative = false;
  if (i < part.size() && (part[i] == '+' || part[i] == '-')) negative = part[i++] == '-';
  std::int64_t value = 0;
  for (; i < part.size() && part[i] >= '0' && part[i] <= '9'; ++i) {
    value = value * 10 + (part[i] - '0');
    if (value > 0x80000000LL) value = 0x80000000LL;  // beyond either end of the range
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return value;
}

}  // namespace

bool FontStyle::operator==(const FontStyle& o) const {
  return height == o.height && width == o.width && escapement == o.escapement &&
         orientation == o.orientation && weight == o.weight && italic == o.italic &&
         underline == o.underline && strikeOut == o.strikeOut && charSet == o.charSet &&
         outPrecision == o.outPrecision && clipPrecision == o.clipPrecision &&
         quality == o.quality && pitchAndFamily == o.pitchAndFamily && faceName == o.faceName;
}

std::optional<FontStyle> ParseFontStyle(std::string_view utf8) {
  std::vector<std::size_t> commas;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] == ',') commas.push_back(i);
  }
  if (commas.size() != kFontStyleCommas) return std::nullopt;

  std::int64_t numbers[kFontStyleCommas];
  std::size_t start = 0;
  for (std::size_t k = 0; k < kFontStyleCommas; ++k) {
    numbers[k] = LeadingNumber(utf8.substr(start, commas[k] - start));
    start = commas[k] + 1;
  }
  FontStyle font;
  font.height = static_cast<std::int32_t>(numbers[0]);
  font.width = static_cast<std::int32_t>(numbers[1]);
  font.escapement = static_cast<std::int32_t>(numbers[2]);
  font.orientation = static_cast<std::int32_t>(numbers[3]);
  font.weight = static_cast<std::int32_t>(numbers[4]);
  std::uint8_t* bytes[] = {&font.italic,       &font.underline,     &font.strikeOut,
                           &font.charSet,      &font.outPrecision,  &font.clipPrecision,
                           &font.quality,      &font.pitchAndFamily};
  for (std::size_t k = 0; k < 8; ++k) {
    *bytes[k] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(numbers[5 + k]) & 0xFF);
  }
  std::u16string face = FromUtf8(utf8.substr(start));
  if (face.size() <= kMaxFaceNameLength) font.faceName = std::move(face);
  return font;
}

std::string FormatFontStyle(const FontStyle& font) {
  std::string out;
  for (const std::int32_t n : {font.height, font.width, font.escapement, font.orientation,
                               font.weight}) {
    out += std::to_string(n);
    out += ',';
  }
  for (const std::uint8_t b : {font.italic, font.underline, font.strikeOut, font.charSet,
                               font.outPrecision, font.clipPrecision, font.quality,
                               font.pitchAndFamily}) {
    out += std::to_string(static_cast<unsigned>(b));
    out += ',';
  }
  out += ToUtf8(font.faceName);
  return out;
}

}  // namespace qm::utility
