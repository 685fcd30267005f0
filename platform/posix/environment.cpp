// $NAME and ${NAME} references in a text, expanded from the environment.
#include <ctype.h>
#include <stdlib.h>

#include "platform/platform.h"

namespace qm::platform {
std::u16string ExpandEnvironment(const std::u16string& text) {
  std::string in;
  if (!WideToFileNameBytes(text, &in)) return text;
  std::string out;
  for (std::size_t i = 0; i < in.size();) {
    if (in[i] != '$') {
      out += in[i++];
      continue;
    }
    std::size_t start = i + 1, end = start;
    const bool braced = start < in.size() && in[start] == '{';
    if (braced) {
      end = in.find('}', start + 1);
      if (end == std::string::npos) {
        out += in.substr(i);
        break;
      }
      ++start;
    } else {
      while (end < in.size() && (isalnum(static_cast<unsigned char>(in[end])) || in[end] == '_')) ++end;
    }
    const std::string name = in.substr(start, end - start);
    const char* value = name.empty() ? nullptr : getenv(name.c_str());
    if (value != nullptr) {
      out += value;
    } else {
      out += in.substr(i, end - i + (braced ? 1 : 0));
    }
    i = end + (braced ? 1 : 0);
  }
  return FileNameBytesToWide(out);
}

}  // namespace qm::platform
