// The utility's editor font as the "font" value of [QuarrymarkConfig] holds
// it: the thirteen numeric LOGFONT members in decimal and the face name, all
// separated by commas. Plain integers here; the dialog copies them into a
// LOGFONTW.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm::utility {

inline constexpr std::size_t kFontStyleCommas = 13;
inline constexpr std::size_t kMaxFaceNameLength = 31;  // LF_FACESIZE - 1

struct FontStyle {
  std::int32_t height = 0;
  std::int32_t width = 0;
  std::int32_t escapement = 0;
  std::int32_t orientation = 0;
  std::int32_t weight = 0;
  std::uint8_t italic = 0;
  std::uint8_t underline = 0;
  std::uint8_t strikeOut = 0;
  std::uint8_t charSet = 0;
  std::uint8_t outPrecision = 0;
  std::uint8_t clipPrecision = 0;
  std::uint8_t quality = 0;
  std::uint8_t pitchAndFamily = 0;
  std::u16string faceName;  // empty: no user font (the standard font is used)

  bool HasFace() const { return !faceName.empty(); }
  bool operator==(const FontStyle& o) const;
};

// Parses a stored value (UTF-8). Null unless it has exactly 13 commas. Each
// number is read in base 10 from the start of its part (leading blanks, a
// sign, digits; no digits gives 0); the five 32-bit members saturate, the
// eight byte members keep their low 8 bits. The face name, everything after
// the 13th comma, is kept only when it has at most 31 characters; otherwise
// the result has an empty face name, which means no user font.
std::optional<FontStyle> ParseFontStyle(std::string_view utf8);

// The stored form (UTF-8): signed decimal for the first five members,
// unsigned decimal for the byte members, then the face name.
std::string FormatFontStyle(const FontStyle& font);

}  // namespace qm::utility
