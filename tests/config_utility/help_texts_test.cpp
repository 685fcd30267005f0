// The help texts: the replace help's examples are what the plugin's own
// template expander produces, and both texts keep the layout the pane shows.
#include "config_utility/help/help_texts.h"

#include <gtest/gtest.h>
#include <pcre.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "config_utility/model/text.h"
#include "plugin/evaluation/replace_template.h"

namespace qm::utility {
namespace {

// The one context every example is expanded in: a match at byte 0x0AF6 of
// c:\dir1\testfile.txt that spans lines 1 to 5 and has three groups.
constexpr char kSubject[] = "alpha beta gamma\n2\n3\n4\nend";
constexpr char kPattern[] = "(?s)(\\w+) (\\w+) (\\w+).*end";
constexpr std::uint64_t kMatchOffset = 0x0AF6;
constexpr char16_t kFileName[] = u"c:\\dir1\\testfile.txt";

// The help's example file name in the form of this system: the name rules
// of POSIX systems cut at "/" only.
std::u16string LocalNames(std::u16string text) {
#ifndef _WIN32
  const std::u16string windows = kFileName;
  std::u16string posix = windows;
  std::replace(posix.begin(), posix.end(), u'\\', u'/');
  for (std::size_t p = text.find(windows); p != std::u16string::npos;
       p = text.find(windows, p + posix.size())) {
    text.replace(p, windows.size(), posix);
  }
#endif
  return text;
}

struct Example {
  std::u16string tmpl;
  std::u16string stated;  // the result as the help writes it, with placeholders
  std::u16string remark;  // the text up to the next example
};

std::vector<Example> ExamplesOf(const std::u16string& help) {
  const std::string text = ToUtf8(help);
  const std::size_t section = text.find("\r\nEXAMPLES\r\n");
  EXPECT_NE(section, std::string::npos);
  std::vector<Example> examples;
  if (section == std::string::npos) return examples;
  const std::regex entry(R"(-->(.*?)<--\s+results in -->(.*?)<--((?:(?!-->)[\s\S])*))");
  const std::string tail = text.substr(section);
  for (std::sregex_iterator it(tail.begin(), tail.end(), entry), end; it != end; ++it) {
    examples.push_back({FromUtf8((*it)[1].str()), FromUtf8((*it)[2].str()),
                        FromUtf8((*it)[3].str())});
  }
  return examples;
}

// The stated result with {GroupN} and {Byte0xHH} replaced by what they name.
std::u16string Resolve(const std::u16string& stated, const std::vector<std::u16string>& groups) {
  std::u16string out;
  for (std::size_t p = 0; p < stated.size();) {
    const std::size_t close = stated.find(u'}', p);
    if (stated.compare(p, 6, u"{Group") == 0 && close != std::u16string::npos) {
      out += groups.at(std::stoul(ToUtf8(stated.substr(p + 6, close - p - 6))));
      p = close + 1;
    } else if (stated.compare(p, 7, u"{Byte0x") == 0 && close != std::u16string::npos) {
      out += static_cast<char16_t>(std::stoul(ToUtf8(stated.substr(p + 7, close - p - 7)), nullptr, 16));
      p = close + 1;
    } else {
      out += stated[p++];
    }
  }
  return out;
}

TEST(ReplaceHelp, EveryExampleStatesWhatTheExpanderProduces) {
  const char* error = nullptr;
  int errorOffset = 0;
  pcre* code = pcre_compile(kPattern, PCRE_UTF8, &error, &errorOffset, nullptr);
  ASSERT_NE(code, nullptr);
  int captures = 0;
  pcre_fullinfo(code, nullptr, PCRE_INFO_CAPTURECOUNT, &captures);

  std::vector<std::u16string> groups;
  const std::vector<Example> examples = ExamplesOf(ReplaceHelpText());
  ASSERT_EQ(examples.size(), 9u);
  for (const Example& example : examples) {
    SCOPED_TRACE(ToUtf8(example.tmpl));
    plugin::EvaluationState state;
    state.isUtf8 = true;
    state.outputLimit = 1023;
    state.fileName = LocalNames(kFileName);
    state.startOffset = kMatchOffset;
    state.offsetDigits = plugin::OffsetDigitsFor(sizeof kSubject + kMatchOffset);
    state.matchCount = example.remark.find(u"NINTH") != std::u16string::npos ? 9 : 1;
    state.lineEnds = std::make_unique<std::vector<std::int32_t>>();
    for (std::int32_t i = 0; kSubject[i] != '\0'; ++i) {
      if (kSubject[i] == '\n') state.lineEnds->push_back(i);
    }
    ASSERT_EQ(pcre_exec(code, nullptr, kSubject, sizeof kSubject - 1, 0, 0, state.matchVector,
                        plugin::kMatchVectorSize),
              captures + 1);
    groups.clear();
    for (int g = 0; g <= captures; ++g) {
      groups.push_back(FromUtf8(std::string(kSubject + state.matchVector[2 * g],
                                            kSubject + state.matchVector[2 * g + 1])));
    }

    plugin::FieldDefinition field;
    field.type = plugin::FieldType::StringOutput;
    field.captureCount = captures;
    plugin::CompileReplaceTemplate(example.tmpl, field);
    plugin::ExpandReplaceTemplate(field, kSubject, sizeof kSubject - 1, state,
                                  plugin::PluginSettings());
    EXPECT_EQ(ToUtf8(state.outputText), ToUtf8(Resolve(LocalNames(example.stated), groups)));
  }
  pcre_free(code);
}

// Sections in order, every line ending in CR LF (no lone LF for the edit
// box to show as a box), and the texts' first and last lines.
TEST(HelpTexts, SectionsInOrderAndLineEnds) {
  struct Case {
    std::u16string text;
    std::vector<std::string> headings;
    std::string lastLine;
  };
  const Case cases[] = {
      {RegexHelpText(),
       {"QUOTING", "CHARACTERS", "CHARACTER TYPES", "GENERAL CATEGORY PROPERTIES FOR \\p and \\P",
        "PCRE SPECIAL CATEGORY PROPERTIES FOR \\p and \\P", "SCRIPT NAMES FOR \\p AND \\P",
        "CHARACTER CLASSES", "QUANTIFIERS", "ANCHORS AND SIMPLE ASSERTIONS", "MATCH POINT RESET",
        "ALTERNATION", "CAPTURING", "ATOMIC GROUPS", "COMMENT", "OPTION SETTING",
        "NEWLINE CONVENTION", "WHAT \\R MATCHES", "LOOKAHEAD AND LOOKBEHIND ASSERTIONS",
        "BACKREFERENCES", "SUBROUTINE REFERENCES (POSSIBLY RECURSIVE)", "CONDITIONAL PATTERNS",
        "BACKTRACKING CONTROL", "CALLOUTS"},
       "  (?Cn)     callout with data n"},
      {ReplaceHelpText(),
       {"SUBGROUPS", "BYTES", "SPECIAL REFERENCES", "LINE NUMBER", "RESULT COUNTER", "FILENAMES",
        "FILE OFFSET", "EXAMPLES"},
       "      for a match starting at 0x00000AF6"},
  };
  for (const Case& c : cases) {
    const std::string text = ToUtf8(c.text);
    SCOPED_TRACE(c.headings.front());
    EXPECT_EQ(text.rfind(c.headings.front() + "\r\n", 0), 0u);
    std::size_t at = 0;
    for (std::size_t h = 1; h < c.headings.size(); ++h) {
      const std::string& heading = c.headings[h];
      const std::size_t found = text.find("\n" + heading + "\r\n", at);
      EXPECT_NE(found, std::string::npos) << heading;
      if (found != std::string::npos) at = found;
    }
    const std::size_t lastBreak = text.rfind("\r\n");
    ASSERT_NE(lastBreak, std::string::npos);
    EXPECT_EQ(text.substr(lastBreak + 2), c.lastLine);
    for (std::size_t p = text.find('\n'); p != std::string::npos; p = text.find('\n', p + 1)) {
      ASSERT_TRUE(p > 0 && text[p - 1] == '\r') << "lone LF at " << p;
    }
  }
}

}  // namespace
}  // namespace qm::utility
