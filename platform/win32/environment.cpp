// %NAME% references in a text, expanded by the system.
#include "platform/win32/win32_common.h"

namespace qm::platform {

using namespace win32;

// ExpandEnvironmentStringsW, looked up by name. Its answer counts the
// terminating zero; a result that grew between the two calls is asked for
// once more.
std::u16string ExpandEnvironment(const std::u16string& text) {
  using ExpandFunction = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
  static const ExpandFunction expand = Kernel32Entry<ExpandFunction>("ExpandEnvironmentStringsW");
  if (expand == nullptr || text.empty()) return text;
  std::u16string buffer(text.size() + 64, u'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD n = expand(W(text), reinterpret_cast<wchar_t*>(&buffer[0]),
                           static_cast<DWORD>(buffer.size()));
    if (n == 0) return text;
    if (n <= buffer.size()) {
      buffer.resize(n - 1);
      return buffer;
    }
    buffer.assign(n, u'\0');
  }
  return text;
}

}  // namespace qm::platform
