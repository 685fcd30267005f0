// The replace-template compiler and expander: the first bytes (up to a NUL
// pair) are the template as UTF-16, the rest the text it is expanded over,
// once as UTF-8 and once as UTF-16.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/platform.h"
#include "plugin/evaluation/replace_template.h"
#include "plugin/host_interface/request.h"

namespace {

const char kSettings[] =
    "[Quarrymark]\r\nResultCache=0\r\nregexcount=2\r\n"
    "regex1=(\\w)(\\w*)|(\\d+)\r\nregex1type=3\r\n"
    "regex2=(?m)^(.)(.*)$\r\nregex2type=4\r\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto state = qm::fuzz::LoadState(kSettings);
  std::u16string text;
  std::size_t i = 0;
  for (; i + 1 < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) {
      i += 2;
      break;
    }
    text.push_back(unit);
  }
  if (i > size) i = size;
  for (auto& field : state->fields) {
    if (field.IsStringType()) qm::plugin::CompileReplaceTemplate(text, field);
  }
  std::vector<char> buffer(1024);
  std::string utf8 = "\xEF\xBB\xBF" + std::string(reinterpret_cast<const char*>(data) + i, size - i);
  std::string utf16 = "\xFF\xFE";
  for (std::size_t k = i; k < size; ++k) {
    utf16.push_back(static_cast<char>(data[k]));
    utf16.push_back(0);
  }
  for (const std::string* content : {&utf8, &utf16}) {
    const std::string path = qm::fuzz::WriteWorkFile("subject.txt", content->data(), content->size());
    const std::u16string wide = qm::platform::FileNameBytesToWide(path);
    for (int field = 0; field < 2; ++field) {
      qm::plugin::RequestValue(*state, nullptr, wide.c_str(), field, 0, buffer.data(),
                               static_cast<int>(buffer.size()), 0, false);
      qm::plugin::RequestValue(*state, path.c_str(), nullptr, field, 0, buffer.data(), 9, 0, false);
    }
  }
  return 0;
}
