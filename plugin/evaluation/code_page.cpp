// Code-page conversion through the platform layer.
#include "plugin/evaluation/code_page.h"

#include "platform/platform.h"

namespace qm::plugin {

std::uint32_t CodePageFor(const PluginSettings& settings, bool ansi, bool oem) {
  if (!ansi) return platform::kCodePageUtf8;
  return oem ? settings.oemCodePage : settings.ansiCodePage;
}

void ToWide(const PluginSettings& settings, const char* bytes, std::size_t count,
            std::u16string* out, bool ansi, bool oem) {
  if (bytes == nullptr || count == 0) return;
  platform::AppendWide(CodePageFor(settings, ansi, oem), bytes, count, out);
}

void ToNarrow(const PluginSettings& settings, const char16_t* units, std::size_t count,
              std::string* out, bool ansi, bool oem) {
  if (units == nullptr || count == 0) return;
  platform::AppendNarrow(CodePageFor(settings, ansi, oem), units, count, out);
}

}  // namespace qm::plugin
