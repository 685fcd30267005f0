// One step back in UTF-8 text, shared by both backends' PreviousCharStart.
// Internal to the platform layer.
#pragma once

#include <cstddef>

namespace qm::platform::detail {

// The start of the character before pos (0 < pos): back over at most three
// continuation bytes, never before the text's first byte.
inline std::size_t PreviousUtf8Start(const char* text, std::size_t pos) {
  std::size_t p = pos - 1;
  for (int k = 0; k < 3 && p > 0 && (static_cast<unsigned char>(text[p]) & 0xC0) == 0x80; ++k) --p;
  return p;
}

}  // namespace qm::platform::detail
