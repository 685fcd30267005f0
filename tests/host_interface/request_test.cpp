// Value requests through the exports, on real files made by the tests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/plugin_loader.h"
#include "support/settings_text.h"

#ifndef _WIN32
#include <dirent.h>
#include <pthread.h>
#endif

namespace qm::test {
namespace {

// A settings file: global lines, then one field per entry.
using FieldRow = IniField;

std::string Settings(const std::vector<FieldRow>& fields, const std::string& globals = "") {
  return SettingsText(fields, globals);
}

// A file of size bytes whose content does not matter (sparse where the
// file system allows).
std::string SizedFile(const TempFolder& folder, const std::string& name, std::uintmax_t size) {
  const std::string path = folder.Write(name, "");
  std::filesystem::resize_file(std::filesystem::u8path(path), size);
  return path;
}

TEST(RequestIndex, OutOfRangeAndCompareFieldsAreNoSuchField) {
  LoadedPlugin plugin(Settings({{"a", 0}, {"b", 7}, {"c", 1}}));
  const std::string file = plugin.folder().Write("f.txt", "abc");
  EXPECT_EQ(plugin.ValueW(file, -1).code, ft_nosuchfield);
  EXPECT_EQ(plugin.ValueW(file, 0).code, ft_boolean);
  EXPECT_EQ(plugin.ValueW(file, 1).code, ft_numeric_32);  // C, before the compare field
  EXPECT_EQ(plugin.ValueW(file, 2).code, ft_nosuchfield);  // B, the compare field
  EXPECT_EQ(plugin.ValueW(file, 3).code, ft_nosuchfield);  // the line-break field
}

TEST(RequestErrors, MissingFilesAndFoldersAreFileErrors) {
  LoadedPlugin plugin(Settings({{"a", 1}}));
  EXPECT_EQ(plugin.ValueW(plugin.folder().PathOf("missing.txt"), 0).code, ft_fileerror);
  EXPECT_EQ(plugin.ValueW(plugin.folder().path().u8string(), 0).code, ft_fileerror);
  EXPECT_EQ(plugin.ValueA(plugin.folder().PathOf("missing.txt"), 0).code, ft_fileerror);
}

TEST(RequestErrors, BrokenFieldsAnswerZero) {
  // A field that does not compile is kept as a Boolean placeholder (an
  // Encoding check one for negative types) answering 0.
  LoadedPlugin plugin(Settings({{"(", 0}, {"(", 1}, {"(", 3}, {"(", 6}, {"(", -1}},
                               "LogErrors=false\r\n"));
  const std::string file = plugin.folder().Write("f.txt", "(((");
  for (int field = 0; field < 4; ++field) {
    const Answer answer = plugin.ValueW(file, field);
    EXPECT_EQ(answer.code, ft_boolean) << field;
    EXPECT_EQ(answer.Int(), 0) << field;
  }
  // With MatchAllForErrors the same fields match everything and keep their types.
  LoadedPlugin lenient(Settings({{"(", 1}, {"(", 3}}, "LogErrors=false\r\nMatchAllForErrors=true\r\n"));
  const std::string other = lenient.folder().Write("f.txt", "abc");
  EXPECT_EQ(lenient.ValueW(other, 0).code, ft_numeric_32);
  EXPECT_EQ(lenient.ValueW(other, 1).Wide(), u"abc ");
}

TEST(RequestTypes, CountsAndBooleans) {
  LoadedPlugin plugin(Settings({{"b", 0}, {"a", 1}, {"\\w+", 2}, {"z", 0}}));
  const std::string file = plugin.folder().Write("f.txt", "a b a\r\nba");
  EXPECT_EQ(plugin.ValueW(file, 0).Int(), 1);
  EXPECT_EQ(plugin.ValueW(file, 1).Int(), 3);
  EXPECT_EQ(plugin.ValueW(file, 2).Int(), 3);  // a, b, ba
  EXPECT_EQ(plugin.ValueW(file, 3).Int(), 0);
}

TEST(RequestTypes, EmptyMatchesFollowTheirFlag) {
  LoadedPlugin plugin(Settings({{"a*", 1, 0}, {"a*", 1, 4}, {"x?", 1, 0}, {"x?", 1, 4}}));
  const std::string file = plugin.folder().Write("f.txt", "baaa");
  EXPECT_EQ(plugin.ValueW(file, 0).Int(), 1);
  EXPECT_EQ(plugin.ValueW(file, 1).Int(), 3);
  const std::string empty = plugin.folder().Write("empty.txt", "");
  EXPECT_EQ(plugin.ValueW(empty, 2).Int(), 0);
  EXPECT_EQ(plugin.ValueW(empty, 3).Int(), 1);
}

TEST(RequestTypes, EmptyMatchesNeverStopInsideASurrogatePair) {
  // Empty matches at 0, 1, after the pair and at the end: the same four in
  // UTF-16 and in UTF-8.
  LoadedPlugin plugin(Settings({{"x*", 1, 4}}, "ResultCache=0\r\n"));
  const std::u16string text = u"a\U0001F600b";
  const std::string le = plugin.folder().Write("le.txt", "\xFF\xFE" + Utf16Le(text));
  const std::string bare = plugin.folder().Write("bare.txt", Utf16Le(text));
  const std::string utf8 = plugin.folder().Write("u8.txt", "a\xF0\x9F\x98\x80" "b");
  EXPECT_EQ(plugin.ValueW(le, 0).Int(), 4);
  EXPECT_EQ(plugin.ValueW(bare, 0).Int(), 4);
  EXPECT_EQ(plugin.ValueW(utf8, 0).Int(), 4);
}

TEST(RequestTypes, EmptyMatchBeforeCrLfAdvancesPastBoth) {
  // With a CR LF newline convention an empty match may not stop between CR and LF.
  LoadedPlugin plugin(Settings({{"(?m)$", 1, 4}, {"(*LF)(?m)$", 1, 4}}));
  const std::string file = plugin.folder().Write("f.txt", "ab\r\ncd");
  EXPECT_EQ(plugin.ValueW(file, 0).Int(), 2);  // before CR LF, at the end
  EXPECT_EQ(plugin.ValueW(file, 1).Int(), 2);  // before LF, at the end
}

TEST(RequestTypes, FloatingAnswersCarryTheirText) {
  LoadedPlugin plugin(Settings({{"\\w+", 6}, {"x", 8}, {"q", 6}}));
  const std::string file = plugin.folder().Write("f.txt", "ab abcd");
  const Answer average = plugin.ValueW(file, 0);
  EXPECT_EQ(average.code, ft_numeric_floating);
  EXPECT_DOUBLE_EQ(average.Double(), 3.0);
  EXPECT_EQ(average.Wide(8), u"3.000");
  EXPECT_EQ(plugin.ValueA(file, 0).Narrow(8), "3.000");

  // Matches at 10, 20 and 40 of 100 bytes: (30 / 2) / (100 / 2) = 0.3.
  std::string text(100, '.');
  text[10] = text[20] = text[40] = 'x';
  const std::string spread = plugin.folder().Write("spread.txt", text);
  const Answer ratio = plugin.ValueW(spread, 1);
  EXPECT_NEAR(ratio.Double(), 0.3, 1e-12);
  EXPECT_EQ(ratio.Wide(8), u"0.300");

  const Answer none = plugin.ValueW(file, 2);
  EXPECT_EQ(none.Double(), 0.0);
  EXPECT_EQ(none.Wide(8), u"0.000");

  // A first match at offset 0 is a match like any other: 0, 10 and 30 of
  // 100 bytes give (30 / 2) / (100 / 2).
  std::string atStart(100, '.');
  atStart[0] = atStart[10] = atStart[30] = 'x';
  EXPECT_NEAR(plugin.ValueW(plugin.folder().Write("start.txt", atStart), 1).Double(), 0.3, 1e-12);

  // UTF-16 lengths and gaps are in bytes: "ab" and "abcd" average 6 bytes;
  // matches at units 10, 20 and 40 of 100 (after the mark) give the same
  // spread as the bytes above.
  const std::string wide = plugin.folder().Write("w.txt", "\xFF\xFE" + Utf16Le(u"ab abcd"));
  EXPECT_DOUBLE_EQ(plugin.ValueW(wide, 0).Double(), 6.0);
  std::u16string units(99, u'.');
  units[9] = units[19] = units[39] = u'x';
  const std::string spread16 = plugin.folder().Write("s16.txt", "\xFF\xFE" + Utf16Le(units));
  EXPECT_NEAR(plugin.ValueW(spread16, 1).Double(), 0.3, 1e-12);
}

TEST(RequestTypes, StringAnswersInBothForms) {
  LoadedPlugin plugin(Settings({{"\\d+", 3}, {"\\d+", 4}}));
  const std::string file = plugin.folder().Write("f.txt", "x 12 y 345 z 6");
  EXPECT_EQ(plugin.ValueW(file, 0).Wide(), u"12 345 6 ");
  EXPECT_EQ(plugin.ValueW(file, 1).Wide(), u"12 ");
  const Answer ansi = plugin.ValueA(file, 0);
  EXPECT_EQ(ansi.code, ft_string);
  EXPECT_EQ(ansi.Narrow(), "12 345 6 ");
}

TEST(RequestTypes, StringAnswersStayInsideMaxlen) {
  LoadedPlugin plugin(Settings({{".", 3, 0, "$0"}}, "ResultCache=0\r\n"));
  const std::string file = plugin.folder().Write("f.txt", test::Utf16Le(u"\xFEFF" u"abc\xD83D\xDE00xyz"));
  // maxlen 10: at most 4 units; the fourth would be a lone high surrogate.
  EXPECT_EQ(plugin.ValueW(file, 0, 0, 10).Wide(), u"abc");
  EXPECT_EQ(plugin.ValueW(file, 0, 0, 12).Wide(), u"abc\xD83D\xDE00");
  for (int maxlen : {0, 1, 2, 3, 5}) {
    plugin.ValueW(file, 0, 0, maxlen);  // the guard bytes catch any overrun
    plugin.ValueA(file, 0, 0, maxlen);
  }
}

TEST(RequestTypes, EveryTypeStaysInsideTinyBuffers) {
  LoadedPlugin plugin(Settings({{".", -1}, {".", 0}, {".", 1}, {".", 2}, {".", 3}, {".", 4},
                                {"[a-c]", 5}, {".", 6}, {".", 8}}));
  const std::string file = plugin.folder().Write("f.txt", "abcdef");
  for (int field = 0; field < 9; ++field) {
    for (int maxlen : {0, 1, 3, 5, 9}) {
      plugin.ValueW(file, field, 0, maxlen);
      plugin.ValueA(file, field, 0, maxlen);
    }
  }
}

TEST(RequestEncoding, EachEncodingIsAnswered) {
  LoadedPlugin plugin(Settings({{".", -1}}));
  const auto answer = [&](const std::string& name, const std::string& bytes) {
    const Answer a = plugin.ValueW(plugin.folder().Write(name, bytes), 0);
    EXPECT_EQ(a.code, ft_multiplechoice);
    return a.Narrow();
  };
  EXPECT_EQ(answer("empty", ""), "ANSI/Binary");
  EXPECT_EQ(answer("ascii", "plain text"), "ANSI/Binary");
  EXPECT_EQ(answer("utf8", "caf\xC3\xA9"), "UTF-8");
  EXPECT_EQ(answer("utf8bom", "\xEF\xBB\xBFplain"), "UTF-8");
  EXPECT_EQ(answer("bomonly-le", "\xFF\xFE"), "UTF-16");
  EXPECT_EQ(answer("bomonly-be", "\xFE\xFF"), "UTF-16 BE");
  EXPECT_EQ(answer("be", "\xFE\xFF" + Utf16Be(u"Gr\u00FC\u00DFe")), "UTF-16 BE");
  EXPECT_EQ(answer("le-nobom", std::string("h\0i\0", 4)), "UTF-16");
  EXPECT_EQ(answer("lone-surrogate", "\xFF\xFE" + Utf16Le(u"a\xDC00")), "ANSI/Binary");
  // The ANSI request gets the same narrow text.
  EXPECT_EQ(plugin.ValueA(plugin.folder().PathOf("be"), 0).Narrow(), "UTF-16 BE");
}

TEST(RequestEncoding, Utf16ContentIsMatchedAsText) {
  LoadedPlugin plugin(Settings({{"gr\u00FC\u00DFe", 1}, {"^", 3, 4, "[\\xL0]"}}));
  const std::string le = plugin.folder().Write("le", "\xFF\xFE" + Utf16Le(u"Gr\u00FC\u00DFe gr\u00FC\u00DFe"));
  const std::string be = plugin.folder().Write("be", "\xFE\xFF" + Utf16Be(u"Gr\u00FC\u00DFe"));
  EXPECT_EQ(plugin.ValueW(le, 0).Int(), 2);
  EXPECT_EQ(plugin.ValueW(be, 0).Int(), 1);
}

TEST(RequestForeground, SlowFieldsWaitOrWaitForDemand) {
  const std::vector<FieldRow> fields{{"x", 1}, {"x", 0}, {"x", 1, 8}};
  LoadedPlugin normal(Settings(fields, "OnDemandLimit=50\r\n"));
  LoadedPlugin low(Settings(fields, "OnDemandLimit=2\r\n"));
  const std::string three = SizedFile(normal.folder(), "three", 3 * 1048576);
  const std::string four = SizedFile(normal.folder(), "four", 4 * 1048576);
  const std::string small = SizedFile(normal.folder(), "small", 900 * 1024);

  const Answer delayed = normal.ValueW(three, 0, CONTENT_DELAYIFSLOW);
  EXPECT_EQ(delayed.code, ft_delayed);
  EXPECT_EQ(delayed.Wide(), u"...");
  EXPECT_EQ(normal.ValueA(three, 0, CONTENT_DELAYIFSLOW).Narrow(), "...");
  const Answer demand = low.ValueW(three, 0, CONTENT_DELAYIFSLOW);
  EXPECT_EQ(demand.code, ft_ondemand);
  EXPECT_EQ(demand.Wide(), u"<___>");
  EXPECT_EQ(normal.ValueW(small, 0, CONTENT_DELAYIFSLOW).code, ft_numeric_32);
  // Booleans up to 5 MiB are computed at once below the on-demand limit.
  EXPECT_EQ(normal.ValueW(four, 1, CONTENT_DELAYIFSLOW).code, ft_boolean);
  EXPECT_EQ(low.ValueW(four, 1, CONTENT_DELAYIFSLOW).code, ft_ondemand);
  // Up to exactly 1 MiB a positive type is answered at once.
  const std::string mebibyte = SizedFile(normal.folder(), "mebibyte", 1048576);
  const std::string above = SizedFile(normal.folder(), "above", 1048577);
  EXPECT_EQ(normal.ValueW(mebibyte, 0, CONTENT_DELAYIFSLOW).code, ft_numeric_32);
  EXPECT_EQ(normal.ValueW(above, 0, CONTENT_DELAYIFSLOW).code, ft_delayed);
  // Sample-only fields never wait; without the flag everything is computed.
  EXPECT_EQ(low.ValueW(three, 2, CONTENT_DELAYIFSLOW).code, ft_numeric_32);
  EXPECT_EQ(low.ValueW(three, 0, 0).code, ft_numeric_32);
}

TEST(RequestLimits, SampleOnlyFieldsIgnoreTheGlobalLimit) {
  LoadedPlugin plugin(Settings({{"x", 1, 8}, {"x", 1, 0}, {"x", -1, 0}},
                               "GlobalFileSizeLimit=5\r\nAnalyzeBuffer=1\r\n"));
  const std::string path = plugin.folder().Write("big", std::string(100, 'x'));
  std::filesystem::resize_file(std::filesystem::u8path(path), 6 * 1048576);
  EXPECT_EQ(plugin.ValueW(path, 0).Int(), 100);  // from the first 32 KiB only
  const Answer gated = plugin.ValueW(path, 1);
  EXPECT_EQ(gated.code, ft_numeric_32);
  EXPECT_EQ(gated.Int(), 0);
  EXPECT_EQ(plugin.ValueW(path, 2).Narrow(), "ANSI/Binary");
}

// Every answer kind has its zero for a file over the global limit, in the
// kind's own code; a field whose expression failed stands as a Boolean "no".
TEST(RequestLimits, EachAnswerKindAnswersItsZero) {
  const std::vector<FieldRow> fields = {{"x", 0}, {"x", 1}, {"x", 2}, {"x", 3, 0, "$0"},
                                         {"x", 4, 0, "$0"}, {"x", 6}, {"x", 8}, {"(", 3}};
  LoadedPlugin plugin(Settings(fields, "GlobalFileSizeLimit=5\r\nAnalyzeBuffer=1\r\n"));
  const std::string path = plugin.folder().Write("big", std::string(100, 'x'));
  std::filesystem::resize_file(std::filesystem::u8path(path), 6 * 1048576);
  const struct {
    int field;
    int code;
  } expected[] = {{0, ft_boolean}, {1, ft_numeric_32},       {2, ft_numeric_32},
                  {3, ft_stringw}, {4, ft_stringw},          {5, ft_numeric_floating},
                  {6, ft_numeric_floating},                  {7, ft_boolean}};
  for (const auto& e : expected) {
    const Answer a = plugin.ValueW(path, e.field);
    EXPECT_EQ(a.code, e.code) << "field " << e.field;
    if (e.code == ft_numeric_floating) {
      EXPECT_EQ(a.Double(), 0.0) << "field " << e.field;
    } else {
      EXPECT_EQ(a.Int(), 0) << "field " << e.field;
    }
  }
}

TEST(RequestFilenameOnly, TheNamePartIsSearched) {
  LoadedPlugin plugin(Settings({{"^dir$", 0, 64}, {"\\.txt$", 1, 64}, {".+", 3, 64, "$0"}}));
  const std::string sep(1, static_cast<char>(platform::kPathSeparator));
  const std::string base = plugin.folder().path().u8string() + sep;
  EXPECT_EQ(plugin.ValueW(base + "dir" + sep, 0).Int(), 1);
  EXPECT_EQ(plugin.ValueW(base + "missing.txt", 1).Int(), 1);  // no file needed
  EXPECT_EQ(plugin.ValueA(base + "name.txt", 2).Narrow(), "name.txt");
  EXPECT_EQ(plugin.ValueW("nofolder.txt", 1).code, ft_fileerror);
  EXPECT_EQ(plugin.ValueW(sep, 1).code, ft_fileerror);
}

TEST(RequestRandom, DelayedInTheForegroundAndMadeOfAcceptedCharacters) {
  LoadedPlugin plugin(Settings({{"[a-c]", 5}, {"\\x{1}", 5}}, "RandomLength=40\r\nRandomLoops=1\r\n"));
  const std::string file = plugin.folder().PathOf("not-even-there");
  EXPECT_EQ(plugin.ValueW(file, 0, CONTENT_DELAYIFSLOW).code, ft_delayed);
  const std::u16string text = plugin.ValueW(file, 0).Wide();
  ASSERT_EQ(text.size(), 40u);
  for (const char16_t c : text) EXPECT_TRUE(c == u'a' || c == u'b' || c == u'c' || c == u'A' || c == u'B' || c == u'C');
  EXPECT_EQ(plugin.ValueW(file, 0, 0, 22).Wide().size(), 10u);  // maxlen / 2 - 1
  EXPECT_EQ(plugin.ValueW(file, 1).Wide(), u"");
}

TEST(RequestChunks, ChunkedAndWholeReadsAgree) {
  // 12 MiB of numbered lines: read whole with FileMemory 500, in 5 MiB
  // chunks with FileMemory 5.
  const std::vector<FieldRow> fields{{"(?m)^\\d+ line$", 1}, {"\\d+", 2}, {"line", 6}};
  LoadedPlugin whole(Settings(fields, "FileMemory=500\r\n"));
  LoadedPlugin chunked(Settings(fields, "FileMemory=5\r\n"));
  std::string text;
  for (int i = 0; text.size() < 12u * 1048576; ++i) text += std::to_string(i) + " line\r\n";
  const std::string path = whole.folder().Write("lines.txt", text);
  for (int field = 0; field < 3; ++field) {
    const Answer a = whole.ValueW(path, field);
    const Answer b = chunked.ValueW(path, field);
    EXPECT_EQ(a.code, b.code) << field;
    EXPECT_EQ(a.bytes, b.bytes) << field;
  }
}

TEST(RequestAbort, AStopEndsTheRequestAndTheNextRunsNormally) {
  // Heavy backtracking over long lines keeps the request busy for far
  // longer than the stop takes to arrive.
  LoadedPlugin plugin(Settings({{"(?:a+)+b|a", 1}, {".", -1}}, "FileMemory=5\r\n"));
  std::string line(16, 'a');
  line += "\n";
  std::string text;
  while (text.size() < 12u * 1048576) text += line;
  const std::string path = plugin.folder().Write("slow.txt", text);
  std::atomic<bool> started{false};
  std::thread stopper([&] {
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    plugin.StopW(path);
  });
  started = true;
  const Answer aborted = plugin.ValueW(path, 0);
  stopper.join();
  EXPECT_EQ(aborted.code, ft_fieldempty);
  EXPECT_EQ(plugin.ValueW(path, 1).Narrow(), "ANSI/Binary");
}

TEST(RequestAbort, AStaleStopMarkIsForgotten) {
  LoadedPlugin plugin(Settings({{"a", 1}}));
  const std::string path = plugin.folder().Write("f.txt", "aaa");
  plugin.StopW(path);
  EXPECT_EQ(plugin.ValueW(path, 0).Int(), 3);
}

#ifndef _WIN32
// Runs fn on a thread with a small stack, as some hosts give their workers.
void OnSmallStack(const std::function<void()>& fn) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 512 * 1024);
  pthread_t thread;
  auto* task = new std::function<void()>(fn);
  ASSERT_EQ(pthread_create(&thread, &attr, [](void* p) -> void* {
              auto* f = static_cast<std::function<void()>*>(p);
              (*f)();
              delete f;
              return nullptr;
            }, task), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST(RequestRecursion, DeepPatternsEndWithoutOverflowingASmallStack) {
  LoadedPlugin plugin(Settings({{"(a|b)*c", 0}, {"(a|b)*", 1}}));
  const std::string path = plugin.folder().Write("deep.txt", std::string(1000000, 'a'));
  const std::string shallow = plugin.folder().Write("shallow.txt", "ababc");
  Answer deep, deepCount, ok;
  OnSmallStack([&] {
    deep = plugin.ValueW(path, 0);
    deepCount = plugin.ValueW(path, 1);
    ok = plugin.ValueW(shallow, 0);
  });
  EXPECT_EQ(deep.code, ft_boolean);
  EXPECT_EQ(deep.Int(), 0);
  EXPECT_EQ(deepCount.code, ft_numeric_32);
  EXPECT_EQ(ok.Int(), 1);
}

int OpenDescriptors() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

TEST(RequestResources, NoDescriptorOutlivesARequest) {
  LoadedPlugin plugin(Settings({{"a", 1}, {"a", 0, 8}, {".", -1}, {"(", 1}, {"x", 3}},
                               "FileMemory=5\r\nLogErrors=false\r\n"));
  const std::string small = plugin.folder().Write("small", "aaa");
  const std::string big = SizedFile(plugin.folder(), "big", 11 * 1048576);
  const std::string missing = plugin.folder().PathOf("missing");
  plugin.ValueW(small, 0);  // first use may create lasting state (tables, locales)
  const int before = OpenDescriptors();
  for (int round = 0; round < 50; ++round) {
    for (int field = 0; field < 5; ++field) {
      plugin.ValueW(small, field);
      plugin.ValueW(big, field);
      plugin.ValueW(missing, field);
      plugin.ValueA(small, field, CONTENT_DELAYIFSLOW);
      plugin.ValueW(big, field, CONTENT_DELAYIFSLOW);
    }
  }
  EXPECT_EQ(OpenDescriptors(), before);
}
#endif

}  // namespace
}  // namespace qm::test
