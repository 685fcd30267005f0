// The ANSI form of a string answer under a multi-byte code page: cut at the
// host's maxlen, it ends on a whole character.
#include <cstring>

#include "config_fixture.h"
#include "plugin/host_interface/content_plugin.h"
#include "plugin/host_interface/request.h"

namespace qm::plugin::test {
namespace {

// The ANSI code page is UTF-8, as on most POSIX hosts: HIRAGANA A takes
// three bytes for its one unit.
class AnsiAnswerCut : public ConfigTest {
 protected:
  void SetUp() override { platform::SetCodePagesForTesting(platform::kCodePageUtf8, 437); }
};

TEST_F(AnsiAnswerCut, MultiByteAnswerEndsOnAWholeCharacter) {
  PluginState& state = Load(Ini({"ResultCache=0", "regexcount=1", "regex1=a", "regex1type=4",
                                 "regex1replace=\xE3\x81\x82\xE3\x81\x82\xE3\x81\x82"}));
  const std::string file = folder_.Write("f.txt", "xay");
  const std::string a = "\xE3\x81\x82";
  struct Cut {
    int maxlen;
    std::string expected;
  };
  // maxlen / 2 - 1 units at most, in maxlen - 1 bytes and the terminator;
  // a character that does not fit whole is left out.
  const Cut cuts[] = {{12, a + a + a}, {10, a + a + a}, {9, a + a}, {8, a + a},
                      {7, a + a},      {6, a},          {5, a},     {4, a}};
  for (const Cut& c : cuts) {
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    const int code = RequestValue(state, file.c_str(), nullptr, 0, 0, buffer, c.maxlen, 0, false);
    EXPECT_EQ(code, ft_string) << c.maxlen;
    EXPECT_EQ(std::string(buffer), c.expected) << c.maxlen;
    EXPECT_EQ(buffer[c.maxlen], '#') << c.maxlen;  // nothing beyond maxlen
  }
}

}  // namespace
}  // namespace qm::plugin::test
