// Content that the encoding sample takes for UTF-8 or UTF-16 but that holds
// an invalid sequence after the sample: every field type answers as when the
// sample itself holds the fault (the content read as ANSI/Binary bytes),
// through the whole-file read, the chunked read and the comparison.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/plugin_loader.h"
#include "support/settings_text.h"

namespace qm::test {
namespace {

struct FieldSpec {
  std::string expression;
  int type;
  std::string replace;
};

// The sample is 32 KiB; FileMemory 5 reads files above 5 MiB in chunks of
// at most 5 MiB.
std::string Settings(const std::vector<FieldSpec>& fields) {
  std::vector<IniField> ini;
  for (const FieldSpec& f : fields) ini.push_back({f.expression, f.type, 0, f.replace, ""});
  return SettingsText(ini,
                      "LogErrors=false\r\nAnalyzeBuffer=1\r\nFileMemory=5\r\nResultCache=0\r\n");
}

// Lines of `line`, with `fault` in place of line number faultLine, until
// the text holds at least `bytes` bytes.
std::string Lines(const std::string& head, const std::string& line, const std::string& fault,
                  std::size_t faultLine, std::size_t bytes) {
  std::string out = head;
  for (std::size_t n = 0; out.size() < bytes; ++n) out += n == faultLine ? fault : line;
  return out;
}

// Every answer of the fields as text, for comparing two files.
std::vector<std::string> Answers(LoadedPlugin& plugin, const std::string& path, int fields) {
  std::vector<std::string> answers;
  for (int field = 0; field < fields; ++field) {
    const Answer a = plugin.ValueW(path, field);
    std::string text = std::to_string(a.code) + ":";
    switch (a.code) {
      case ft_numeric_floating:
        text += std::to_string(a.Double());
        break;
      case ft_stringw: {
        const std::u16string wide = a.Wide();
        text += std::string(wide.begin(), wide.end());
        break;
      }
      case ft_multiplechoice:
        text += a.Narrow();
        break;
      default:
        text += std::to_string(a.Int());
    }
    answers.push_back(text);
  }
  return answers;
}

// The fields probe what only the ANSI form sees: "\xC3" is a byte there (the
// lead byte of "é"), a character no UTF-8 or UTF-16 text here holds; "." is
// one byte there.
const std::vector<FieldSpec> kUtf8Fields = {
    {"x", 1, ""},        {"\\xC3", 1, ""},       {"\\xC3", 0, ""},     {"\\xC3.", 2, ""},
    {"\\xC3", 4, "\\xo1"}, {"x.", 3, "$0"},     {"x.", 6, ""},       {"\\xC3", 8, ""},
    {"x", -1, ""}};

TEST(LateEncodingFault, Utf8ContentAnswersAsTheAnsiFormWholeAndChunked) {
  LoadedPlugin plugin(Settings(kUtf8Fields));
  const int fields = static_cast<int>(kUtf8Fields.size());
  struct Case {
    const char* label;
    std::string head;
    std::size_t bytes;
    std::size_t faultLine;  // far beyond the 32 KiB sample
  };
  const Case cases[] = {
      {"whole read", "", 1u << 20, 200000},
      {"whole read, byte order mark", "\xEF\xBB\xBF", 1u << 20, 200000},
      {"chunked, fault in a later chunk", "", 6u << 20, 1400000},
      {"chunked, fault in the first chunk", "", 6u << 20, 100000},
      {"whole read, a size that is not whole pages", "", (1u << 20) + 5, 200000},
      // Sizes beyond the always-whole size that are not whole pages are
      // matched from a mapping.
      {"mapped, beyond the always-whole size", "", (6u << 20) + 5, 1400000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string line = "x\xC3\xA9\n", fault = "x\xFF\xA9\n";  // same length
    // The reference holds its fault inside the 32 KiB sample, which so
    // decides on ANSI/Binary, but beyond the matches that the string answer
    // (at most 1023 characters) lists: there "x\xFF" reads differently from
    // "x\xC3" in a single-byte ANSI code page.
    const std::string late =
        plugin.folder().Write("late.txt", Lines(c.head, line, fault, c.faultLine, c.bytes));
    const std::string early =
        plugin.folder().Write("early.txt", Lines(c.head, line, fault, 4000, c.bytes));
    const std::vector<std::string> expected = Answers(plugin, early, fields);
    std::vector<std::string> got = Answers(plugin, late, fields);
    // The encoding check answers from the sample alone.
    EXPECT_EQ(expected.back(), std::to_string(ft_multiplechoice) + ":ANSI/Binary");
    EXPECT_EQ(got.back(), std::to_string(ft_multiplechoice) + ":UTF-8");
    got.back() = expected.back();
    EXPECT_EQ(got, expected);
    // The ANSI form was matched: every line's "\xC3" counts.
    EXPECT_EQ(plugin.ValueW(late, 1).Int(), plugin.ValueW(late, 0).Int() - 1);
  }
}

std::string Utf16Le(const std::u16string& text) {
  std::string out;
  for (char16_t u : text) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

TEST(LateEncodingFault, Utf16ContentAnswersAsTheAnsiFormWholeAndChunked) {
  // "\x00" only matches in the ANSI form (a NUL byte of each unit); there the
  // two marker bytes count as content.
  const std::vector<FieldSpec> specs = {
      {"x", 1, ""}, {"\\x00", 1, ""}, {"\\xFF\\xFE", 0, ""}, {"\\x00", 4, "\\xo1"},
      {"x.", 6, ""}, {"x", 8, ""},   {"x", -1, ""}};
  LoadedPlugin plugin(Settings(specs));
  const int fields = static_cast<int>(specs.size());
  const std::string line = Utf16Le(u"x\u00E9\n"), fault = Utf16Le(u"x\xD800\n");
  for (const std::size_t bytes : {std::size_t{1} << 20, std::size_t{6} << 20,
                                  (std::size_t{1} << 20) + 6, (std::size_t{6} << 20) + 6}) {
    SCOPED_TRACE(bytes);
    const std::string late = plugin.folder().Write(
        "late16.txt", Lines("\xFF\xFE", line, fault, bytes / 6 - 100, bytes));
    const std::string early =
        plugin.folder().Write("early16.txt", Lines("\xFF\xFE", line, fault, 1, bytes));
    const std::vector<std::string> expected = Answers(plugin, early, fields);
    std::vector<std::string> got = Answers(plugin, late, fields);
    EXPECT_EQ(got.back(), std::to_string(ft_multiplechoice) + ":UTF-16");
    got.back() = expected.back();
    EXPECT_EQ(got, expected);
    EXPECT_EQ(plugin.ValueW(late, 2).Int(), 1);  // the marker is content
  }
}


TEST(LateEncodingFault, LiteralCountsAnswerAsAnExpressionThatDecidesTheEncoding) {
  // A yes/no or a count of case-sensitive ASCII literals is answered without
  // the UTF-8 test (fields 0, 2, 4, 6); the same search written as a group
  // runs PCRE on the text as the encoding decision takes it (1, 3, 5, 7).
  // Texts mix valid and broken UTF-8, marks, zero bytes and every line end,
  // short ones inside the sample and long ones whose faults lie beyond it.
  const std::vector<FieldSpec> specs = {
      {"err|or|error", 1, ""}, {"(?:err|or|error)", 1, ""}, {"err|or|error", 0, ""},
      {"(?:err|or|error)", 0, ""}, {"error|or", 2, ""}, {"(?:error|or)", 2, ""},
      {"e", 1, ""}, {"(?:e)", 1, ""}};
  std::vector<IniField> ini;
  for (const FieldSpec& f : specs) ini.push_back({f.expression, f.type, 0, f.replace, ""});
  LoadedPlugin plugin(SettingsText(ini, "CaseSensitiveDefault=true\r\nAnalyzeBuffer=1\r\n"
                                        "FileMemory=5\r\nResultCache=0\r\n"));
  const char* const pieces[] = {"err", "or", "error", "e", "r", "o", " ", "\n", "\r\n", "\r",
                                "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFF",
                                "\xC3", "\xE2\x82", "", "ab"};  // 16: a zero byte
  std::mt19937 random(20261209);
  for (int round = 0; round < 160; ++round) {
    std::string text = round % 7 == 0 ? "\xEF\xBB\xBF" : "";
    const std::size_t length = round % 4 == 0 ? 40000 + random() % 40000 : random() % 600;
    // Mostly ASCII and valid UTF-8; a broken sequence at a random place in
    // every other text.
    const std::size_t brokenAt = round % 2 == 0 ? random() % (length + 1) : length + 1;
    while (text.size() < length) {
      std::size_t k = random() % 14;
      if (text.size() >= brokenAt && text.size() < brokenAt + 8) k = 13 + random() % 5;
      if (k == 16) {
        text.push_back(0);
      } else {
        text += pieces[k];
      }
    }
    // Every fifth text is UTF-16 without a mark, which the sample still
    // tells by its zero bytes.
    if (round % 5 == 1) {
      std::string ascii;
      for (const char c : text) ascii += static_cast<unsigned char>(c) < 0x80 && c != 0 ? c : ' ';
      text = Utf16Le(std::u16string(ascii.begin(), ascii.end()));
    }
    SCOPED_TRACE(testing::Message() << "round " << round << ", " << text.size() << " bytes");
    const std::string file = plugin.folder().Write("mixed.txt", text);
    for (int field = 0; field < 8; field += 2) {
      const Answer literal = plugin.ValueW(file, field);
      const Answer decided = plugin.ValueW(file, field + 1);
      EXPECT_EQ(literal.code, decided.code) << field;
      EXPECT_EQ(literal.Int(), decided.Int()) << field;
    }
  }
}

}  // namespace
}  // namespace qm::test
