// Windows command lines: every argument must come back unchanged from the
// Microsoft C runtime's parser, whatever it holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace qm::platform {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// The Microsoft rules for argv: the program name runs to the next quote when
// it starts with one (no escapes), else to the first blank. In the
// arguments, 2n backslashes before a quote give n backslashes and the quote
// toggles quoting; 2n+1 give n backslashes and a literal quote; backslashes
// elsewhere are literal; blanks outside quotes separate; "" inside quotes
// gives a literal quote.
std::vector<std::u16string> ParseCommandLine(const std::u16string& line) {
  std::vector<std::u16string> argv;
  std::size_t i = 0;
  std::u16string program;
  if (i < line.size() && line[i] == u'"') {
    ++i;
    while (i < line.size() && line[i] != u'"') program += line[i++];
    if (i < line.size()) ++i;
  } else {
    while (i < line.size() && !IsBlank(line[i])) program += line[i++];
  }
  argv.push_back(program);
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    std::u16string argument;
    bool quoted = false;
    while (i < line.size() && (quoted || !IsBlank(line[i]))) {
      std::size_t backslashes = 0;
      while (i < line.size() && line[i] == u'\\') {
        ++backslashes;
        ++i;
      }
      if (i < line.size() && line[i] == u'"') {
        argument.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          argument += u'"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
          argument += u'"';
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        argument.append(backslashes, u'\\');
        if (i < line.size() && (quoted || !IsBlank(line[i]))) argument += line[i++];
      }
    }
    argv.push_back(argument);
  }
  return argv;
}

TEST(CommandLine, ParserFollowsTheRuntimeRules) {
  const std::vector<std::u16string> expected = {u"C:\\a b\\p.exe", u"a b", u"c\"d", u"e\\\\", u"x\\y"};
  EXPECT_EQ(ParseCommandLine(u"\"C:\\a b\\p.exe\" \"a b\" c\\\"d \"e\\\\\\\\\" x\\y"), expected);
}

TEST(CommandLine, EveryArgumentComesBackUnchanged) {
  const std::vector<std::u16string> arguments = {
      u"plain",
      u"",
      u"with space",
      u"tab\there",
      u"line\nfeed",
      u"quote\"inside",
      u"\"",
      u"\"\"",
      u"trailing\\",
      u"trailing space\\",
      u"two at end\\\\",
      u"\\\\server\\share\\a b.doc",
      u"a\\\\\"b",
      u"\\\"",
      u"-i ",
      u" leading",
      u"\u65E5\u672C \u8A9E",
      u"C:\\Program Files\\x\\",
  };
  const std::u16string program = u"C:\\Program Files\\tool dir\\xdoc2txt.exe";
  const std::u16string line = BuildCommandLine(program, arguments);
  const std::vector<std::u16string> parsed = ParseCommandLine(line);
  ASSERT_EQ(parsed.size(), arguments.size() + 1);
  EXPECT_EQ(parsed[0], program);
  for (std::size_t k = 0; k < arguments.size(); ++k) EXPECT_EQ(parsed[k + 1], arguments[k]) << k;
  // Each argument also survives on its own (no help from its neighbours).
  for (const std::u16string& a : arguments) {
    const std::vector<std::u16string> one = ParseCommandLine(BuildCommandLine(u"p", {a}));
    ASSERT_EQ(one.size(), 2u);
    EXPECT_EQ(one[1], a);
  }
}

TEST(CommandLine, SimpleArgumentsStayUnquoted) {
  EXPECT_EQ(BuildCommandLine(u"C:\\x.exe", {u"-i", u"C:\\dir\\file.doc"}),
            u"\"C:\\x.exe\" -i C:\\dir\\file.doc");
  EXPECT_EQ(BuildCommandLine(u"x", {}), u"\"x\"");
}

}  // namespace
}  // namespace qm::platform
