// Text conversions of the settings utility.
#include "config_utility/model/text.h"

#include "platform/platform.h"
#include "settings_format/settings_format.h"

namespace qm::utility {

std::u16string FromUtf8(std::string_view utf8) {
  std::u16string out;
  platform::AppendWide(platform::kCodePageUtf8, utf8.data(), utf8.size(), &out);
  return out;
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  platform::AppendNarrow(platform::kCodePageUtf8, text.data(), text.size(), &out);
  return out;
}

std::u16string FromStored(std::string_view utf8) { return FromUtf8(settings::LfToCrLf(utf8)); }

std::string ToStored(std::u16string_view text) {
  std::string utf8 = ToUtf8(text);
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] != '\r') {
      out += utf8[i];
    } else if (i + 1 < utf8.size() && utf8[i + 1] == '\n') {
      // CR LF: the LF that follows is kept.
    } else {
      out += '\n';
    }
  }
  return out;
}

std::u16string Widen(std::string_view ascii) {
  std::u16string out;
  out.reserve(ascii.size());
  for (const char c : ascii) out += static_cast<char16_t>(static_cast<unsigned char>(c));
  return out;
}

std::u16string DecimalText(long long value) { return Widen(std::to_string(value)); }

}  // namespace qm::utility
