// A whole value request through the wide export's path: any bytes as the
// file's content, asked for by every field of a fixed settings file (one
// field of each type, string fields whose templates use every reference
// kind), with the result cache on.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/platform.h"
#include "plugin/host_interface/request.h"

namespace {

const char kSettings[] =
    "[Quarrymark]\r\nResultCache=1\r\nAnalyzeBuffer=4096\r\nRandomLength=6\r\nregexcount=12\r\n"
    "regex1=.\r\nregex1type=-1\r\n"
    "regex2=(?i)todo\r\nregex2type=0\r\n"
    "regex3=\\w+\r\nregex3type=1\r\n"
    "regex4=\\w+\r\nregex4type=2\r\n"
    "regex5=(\\w)(\\w*)(\\d)?\r\nregex5type=3\r\n"
    "regex5replace=$0|$1$2$3\\xo0\\xO4\\xL0-\\xl4\\xM1\\xm2\\xNn\\xNN\\xNx\\x41^\\x20$9;\r\n"
    "regex6=(?m)^(.*)$\r\nregex6type=4\r\nregex6replace=\\xL1:$1 \\xo3\r\n"
    "regex7=[^\\x00-\\xff]|[a-z]\r\nregex7type=5\r\n"
    "regex8=\\S+\r\nregex8type=6\r\n"
    "regex9=\\s\r\nregex9type=8\r\n"
    "regex10=a*\r\nregex10type=1\r\nregex10flags=4\r\n"
    "regex11=(.)\\1\r\nregex11type=3\r\nregex11flags=1\r\nregex11replace=\\xM0$1\r\n"
    "regex12=\\R\r\nregex12type=1\r\nregex12flags=2\r\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto state = qm::fuzz::LoadState(kSettings);
  const std::string path = qm::fuzz::WriteWorkFile("content.bin", data, size);
  const std::u16string wide = qm::platform::FileNameBytesToWide(path);
  std::vector<char> buffer(2048);
  for (int field = 0; field < state->VisibleCount(); ++field) {
    for (const int maxlen : {2048, 7}) {
      qm::plugin::RequestValue(*state, nullptr, wide.c_str(), field, 0, buffer.data(), maxlen, 0,
                               false);
    }
  }
  return 0;
}
