// The result cache seen through the exports: repeated requests are answered
// without reading the file, and the key, capacity, refresh and answer-form
// rules hold for a loaded plugin.
//
// A cached answer is told from a computed one by changing the file's bytes
// while keeping its size and last-write time: only a request that reads the
// file sees the new bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/plugin_loader.h"
#include "support/settings_text.h"

namespace qm::test {
namespace {

// [Quarrymark] with the global lines and one field per {expression, type,
// replace template} entry.
struct Field {
  std::string expression;
  int type;
  std::string replace;
};

std::string Settings(const std::vector<Field>& fields, const std::string& globals) {
  std::vector<IniField> ini;
  for (const Field& f : fields) ini.push_back({f.expression, f.type, 0, f.replace, ""});
  return SettingsText(ini, "LogErrors=false\r\n" + globals);
}

// Writes a file whose last-write time is a whole second, so that
// ChangeKeepingKey can give it back exactly where the system sets times only
// to the second.
std::string MakeFile(const LoadedPlugin& plugin, const std::string& name, const std::string& bytes) {
  const std::string path = plugin.folder().Write(name, bytes);
  const auto p = std::filesystem::u8path(path);
  std::filesystem::last_write_time(
      p, std::chrono::floor<std::chrono::seconds>(std::filesystem::last_write_time(p)));
  return path;
}

// Rewrites the file with bytes of the same length and gives it back its
// last-write time, so that its cache key stays the same.
void ChangeKeepingKey(const std::string& path, const std::string& bytes) {
  const auto p = std::filesystem::u8path(path);
  ASSERT_EQ(std::filesystem::file_size(p), bytes.size());
  const auto time = std::filesystem::last_write_time(p);
  platform::FileInfo before;
  ASSERT_TRUE(platform::QueryFileInfo(platform::FileName{path.c_str(), nullptr}, &before));
  {
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
  }
  std::filesystem::last_write_time(p, time);
  // Everything the key is made of must be as before.
  platform::FileInfo after;
  ASSERT_TRUE(platform::QueryFileInfo(platform::FileName{path.c_str(), nullptr}, &after));
  EXPECT_EQ(after.attributes, before.attributes);
  EXPECT_EQ(after.lastWriteLow, before.lastWriteLow);
  EXPECT_EQ(after.lastWriteHigh, before.lastWriteHigh);
  EXPECT_EQ(after.size, before.size);
}

void Touch(const std::string& path) {
  const auto p = std::filesystem::u8path(path);
  std::filesystem::last_write_time(p, std::filesystem::last_write_time(p) + std::chrono::seconds(10));
}

constexpr int kCount = 1, kString = 3, kAverage = 6, kEncoding = -1;

TEST(CacheRequest, RepeatedRequestIsAnsweredWithoutReading) {
  LoadedPlugin plugin(Settings({{"a", kCount, ""}, {"[^ ]+", kString, "$0,"}, {"x", kEncoding, ""}},
                               "ResultCache=1\r\n"));
  const std::string file = MakeFile(plugin, "f.txt", "a aa \xC3\xA9");
  EXPECT_EQ(plugin.ValueW(file, 0).Int(), 3);
  EXPECT_EQ(plugin.ValueW(file, 1).Wide(), u"a,aa,\u00E9,");
  EXPECT_EQ(plugin.ValueW(file, 2).Narrow(), "UTF-8");

  ChangeKeepingKey(file, "b bb bb");
  const Answer count = plugin.ValueW(file, 0);
  EXPECT_EQ(count.code, ft_numeric_32);
  EXPECT_EQ(count.Int(), 3);
  const Answer text = plugin.ValueW(file, 1);
  EXPECT_EQ(text.code, ft_stringw);
  EXPECT_EQ(text.Wide(), u"a,aa,\u00E9,");
  const Answer encoding = plugin.ValueW(file, 2);
  EXPECT_EQ(encoding.code, ft_multiplechoice);
  EXPECT_EQ(encoding.Narrow(), "UTF-8");

  // The ANSI name is another key: it reads the file and sees the new bytes.
  EXPECT_EQ(plugin.ValueA(file, 0).Int(), 0);
  EXPECT_EQ(plugin.ValueA(file, 2).Narrow(), "ANSI/Binary");
}

TEST(CacheRequest, TouchedFileMisses) {
  LoadedPlugin plugin(Settings({{"a", kCount, ""}}, ""));
  const std::string file = MakeFile(plugin, "f.txt", "aaaa");
  EXPECT_EQ(plugin.ValueW(file, 0).Int(), 4);
  ChangeKeepingKey(file, "aabb");
  EXPECT_EQ(plugin.ValueW(file, 0).Int(), 4);
  Touch(file);
  EXPECT_EQ(plugin.ValueW(file, 0).Int(), 2);
}

TEST(CacheRequest, ResultCacheZeroComputesEveryRequest) {
  LoadedPlugin plugin(Settings({{"a", kCount, ""}, {"a+", kString, ""}}, "ResultCache=0\r\n"));
  const std::string file = MakeFile(plugin, "f.txt", "aaaa");
  EXPECT_EQ(plugin.ValueW(file, 0).Int(), 4);
  EXPECT_EQ(plugin.ValueW(file, 1).Wide(), u"aaaa ");
  ChangeKeepingKey(file, "abab");
  EXPECT_EQ(plugin.ValueW(file, 0).Int(), 2);
  EXPECT_EQ(plugin.ValueW(file, 1).Wide(), u"a a ");
}

TEST(CacheRequest, RefreshClearsOnlyWithClearCacheOnReread) {
  for (const bool clear : {true, false}) {
    LoadedPlugin plugin(Settings({{"a", kCount, ""}},
                                 clear ? "ClearCacheOnReread=true\r\n" : "ClearCacheOnReread=false\r\n"));
    const std::string file = MakeFile(plugin, "f.txt", "aaaa");
    EXPECT_EQ(plugin.ValueW(file, 0).Int(), 4);
    ChangeKeepingKey(file, "aaab");
    plugin.StateInformation(1);  // not a refresh: nothing is cleared
    EXPECT_EQ(plugin.ValueW(file, 0).Int(), 4) << clear;
    plugin.StateInformation(CONTST_REFRESHPRESSED);
    EXPECT_EQ(plugin.ValueW(file, 0).Int(), clear ? 3 : 4) << clear;
  }
}

TEST(CacheRequest, FullCacheEvictsTheFirstAnswer) {
  // ResultCache=1 holds 8192 answers. 8193 names of one file (hard links
  // where the file system has them) give 8193 keys.
  LoadedPlugin plugin(Settings({{"a", kCount, ""}}, "ResultCache=1\r\n"));
  const std::string file = MakeFile(plugin, "n0", "aaaa");
  std::vector<std::string> names{file};
  for (int i = 1; i <= 8192; ++i) {
    const std::string name = plugin.folder().PathOf("n" + std::to_string(i));
    std::error_code ec;
    std::filesystem::create_hard_link(std::filesystem::u8path(file), std::filesystem::u8path(name), ec);
    if (ec) MakeFile(plugin, "n" + std::to_string(i), "aaaa");
    names.push_back(name);
  }
  // Hard links share the bytes and the time; with copies every name is
  // changed below.
  for (const std::string& name : names) ASSERT_EQ(plugin.ValueW(name, 0).Int(), 4) << name;
  for (const std::string& name : {names[0], names[1], names[8192]}) ChangeKeepingKey(name, "abbb");

  EXPECT_EQ(plugin.ValueW(names[1], 0).Int(), 4);     // still cached, and a hit does not refresh
  EXPECT_EQ(plugin.ValueW(names[0], 0).Int(), 1);     // evicted: computed anew
  EXPECT_EQ(plugin.ValueW(names[8192], 0).Int(), 4);  // the newest stays
  EXPECT_EQ(plugin.ValueW(names[1], 0).Int(), 1);     // storing names[0] pushed names[1] out
}

TEST(CacheRequest, FloatingAnswersComeBackWithTheirText) {
  LoadedPlugin plugin(Settings({{"\\w+", kAverage, ""}}, ""));
  const std::string file = MakeFile(plugin, "f.txt", "ab abc");
  for (int round = 0; round < 2; ++round) {
    const Answer wide = plugin.ValueW(file, 0);
    EXPECT_EQ(wide.code, ft_numeric_floating);
    EXPECT_EQ(wide.Double(), 2.5) << round;
    EXPECT_EQ(wide.Wide(8), u"2.500") << round;
    const Answer ansi = plugin.ValueA(file, 0);
    EXPECT_EQ(ansi.code, ft_numeric_floating);
    EXPECT_EQ(ansi.Double(), 2.5) << round;
    EXPECT_EQ(ansi.Narrow(8), "2.500") << round;
    if (round == 0) ChangeKeepingKey(file, "abcdef");
  }
}

TEST(CacheRequest, EmptyStringIsCached) {
  LoadedPlugin plugin(Settings({{"z+", kString, ""}}, ""));
  const std::string file = MakeFile(plugin, "f.txt", "abc");
  for (int round = 0; round < 2; ++round) {
    const Answer wide = plugin.ValueW(file, 0);
    EXPECT_EQ(wide.code, ft_stringw);
    EXPECT_EQ(wide.Wide(), u"") << round;
    const Answer ansi = plugin.ValueA(file, 0);
    EXPECT_EQ(ansi.code, ft_string);
    EXPECT_EQ(ansi.Narrow(), "") << round;
    if (round == 0) ChangeKeepingKey(file, "zzz");
  }
}

TEST(CacheRequest, AnsiStringAnswersInTheAnsiCodePage) {
  LoadedPlugin plugin(Settings({{"[^ ]+", kString, "[$0]"}}, ""));
  const std::string file = MakeFile(plugin, "f.txt", "h\xC3\xA9llo w\xC3\xB6rld");
  // The plugin is a separate copy of the library, so its ANSI code page is
  // the process locale's, as here.
  const std::u16string text = u"[h\u00E9llo][w\u00F6rld]";
  std::string expected;
  platform::AppendNarrow(platform::AnsiCodePage(), text.data(), text.size(), &expected);
  for (int round = 0; round < 2; ++round) {
    const Answer ansi = plugin.ValueA(file, 0);
    EXPECT_EQ(ansi.code, ft_string);
    EXPECT_EQ(ansi.Narrow(), expected) << round;
    if (round == 0) ChangeKeepingKey(file, std::string(13, 'x'));
  }
  EXPECT_EQ(plugin.ValueW(file, 0).Wide(), u"[xxxxxxxxxxxxx]");
}

TEST(CacheRequest, AnswersFromLargeBuffersAreNotCached) {
  LoadedPlugin plugin(Settings({{"a+", kString, ""}}, ""));
  const std::string file = MakeFile(plugin, "f.txt", "aaaa");
  EXPECT_EQ(plugin.ValueW(file, 0, 0, 8192).Wide(), u"aaaa ");
  ChangeKeepingKey(file, "aaba");
  EXPECT_EQ(plugin.ValueW(file, 0, 0, 8192).Wide(), u"aa a ");
  // The same request with a 4096-byte buffer is stored and then served.
  EXPECT_EQ(plugin.ValueW(file, 0, 0, 4096).Wide(), u"aa a ");
  ChangeKeepingKey(file, "aaaa");
  EXPECT_EQ(plugin.ValueW(file, 0, 0, 4096).Wide(), u"aa a ");
}

TEST(CacheRequest, CachedStringLongerThanASmallerBufferIsComputedForIt) {
  LoadedPlugin plugin(Settings({{"\\w+", kString, ""}}, ""));
  const std::string file = MakeFile(plugin, "f.txt", "one two three four");
  EXPECT_EQ(plugin.ValueW(file, 0, 0, 1024).Wide(), u"one two three four ");
  // maxlen 10 holds 4 units: a cached 19-unit answer must not be handed out
  // (nor an empty one); the request is computed and cut for this buffer.
  const Answer small = plugin.ValueW(file, 0, 0, 10);
  EXPECT_EQ(small.code, ft_stringw);
  EXPECT_EQ(small.Wide(), u"one ");
}

// Template references fed by a real request: the reader's offsets, the
// matcher's line index and result counter.
TEST(TemplateRequest, OffsetsLinesAndCountersOfRealMatches) {
  LoadedPlugin plugin(Settings({{"(?s)start.*?end", kString, "\\xL0-\\xl4"},
                                {"needle", kString, "Offset 0x\\xO4(\\xo3): $0"},
                                {"(\\d)", kString, "$1\\xm6--$0\\xM1|"},
                                {"abc", kString, "\\xO0 \\xo0"},
                                {"needle", kString, "\\xo1"}},
                               "ResultCache=0\r\n"));
  const std::string lines = plugin.folder().Write("lines.txt", "start\r\nb\r\nc\r\nd\r\nend");
  EXPECT_EQ(plugin.ValueW(lines, 0).Wide(), u"1-0005");

  const std::string offset = plugin.folder().Write("offset.txt", std::string(2806, '.') + "needle");
  EXPECT_EQ(plugin.ValueW(offset, 1).Wide(), u"Offset 0x00000AF6(002806): needle");

  const std::string digits = plugin.folder().Write("digits.txt", "123456789");
  const std::u16string results = plugin.ValueW(digits, 2).Wide();
  EXPECT_EQ(results.substr(0, 14), u"10000001--100|");
  EXPECT_EQ(results.substr(results.size() - 14), u"90000009--908|");

  std::string big(70000, '.');
  big.replace(0x1234, 3, "abc");
  const std::string large = plugin.folder().Write("large.txt", big);
  EXPECT_EQ(plugin.ValueW(large, 3).Wide(), u"001234 04660");

  // UTF-16 text: byte offsets, counted from the file's start (the BOM too).
  const std::string wide = plugin.folder().Write("wide.txt", "\xFF\xFE" + Utf16Le(u"abneedle"));
  EXPECT_EQ(plugin.ValueW(wide, 4).Wide(), u"06");
}

}  // namespace
}  // namespace qm::test
