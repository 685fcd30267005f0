// Content comparison through ContentCompareFilesW, on real files made by the
// tests.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/plugin_loader.h"
#include "support/settings_text.h"

#ifndef _WIN32
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace qm::test {
namespace {

namespace fs = std::filesystem;

using Field = IniField;

std::string Settings(const std::vector<Field>& fields, const std::string& globals = "") {
  return SettingsText(fields, "LogErrors=false\r\n" + globals);
}

std::u16string Wide(const std::string& utf8) {
  std::u16string wide;
  platform::AppendWide(platform::kCodePageUtf8, utf8.data(), utf8.size(), &wide);
  return wide;
}

// The progress callback takes no context: the test's one lives here.
std::function<int(int)> g_onProgress;
int g_progressCalls = 0;

int QM_CALL Progress(int bytes) {
  ++g_progressCalls;
  return g_onProgress ? g_onProgress(bytes) : 0;
}

class Compare : public ::testing::Test {
 protected:
  void Load(const std::vector<Field>& fields, const std::string& globals = "") {
    plugin_ = std::make_unique<LoadedPlugin>(Settings(fields, globals));
    g_onProgress = nullptr;
    g_progressCalls = 0;
  }
  void TearDown() override { g_onProgress = nullptr; }

  int Files(const std::string& a, const std::string& b, int index = 10000) {
    return Names(Wide(a), Wide(b), index);
  }
  int Names(std::u16string a, std::u16string b, int index = 10000) {
    const auto compare =
        plugin_->Export<decltype(&ContentCompareFilesW)>("ContentCompareFilesW");
    FileDetailsStruct details{};
    return compare(Progress, index, reinterpret_cast<QmWideChar*>(a.data()),
                   reinterpret_cast<QmWideChar*>(b.data()), &details);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    return plugin_->folder().Write(name, bytes);
  }

  std::unique_ptr<LoadedPlugin> plugin_;
};

// Lines of a report with a time stamp that changes from run to run.
std::string Report(const std::string& stamp, const std::string& body) {
  return "Generated: " + stamp + "\nTotal: 3\n" + body + "Updated: " + stamp + "\n";
}

const char kSkipStamps[] = "(?m)^(?!Generated: |Updated: ).+$";

TEST_F(Compare, TimeStampOnlyDifferencesAreEqual) {
  Load({{kSkipStamps, 7}});
  const std::string a = Write("a.txt", Report("2026-01-01 10:00", "alpha\nbeta\n"));
  const std::string b = Write("b.txt", Report("2026-12-08 03:14:15", "alpha\nbeta\n"));
  const std::string c = Write("c.txt", Report("2026-12-08", "alpha\nBeta\n"));
  EXPECT_EQ(Files(a, b), 101);
  EXPECT_EQ(Files(a, c), 0);
  EXPECT_EQ(Files(a, a), 101);
}

TEST_F(Compare, UnequalMatchCountsAndNoMatchesAreNotComparable) {
  Load({{"\\d+", 7}});
  const std::string three = Write("three.txt", "1 2 3");
  const std::string four = Write("four.txt", "1 2 3 4");
  const std::string none = Write("none.txt", "no digits");
  EXPECT_EQ(Files(three, four), -3);
  EXPECT_EQ(Files(four, three), -3);
  EXPECT_EQ(Files(none, none), -3);
  EXPECT_EQ(Files(none, three), -3);
}

TEST_F(Compare, TheSameTextInDifferentEncodingsIsEqual) {
  Load({{"\\w+", 7}, {"\\w+", 7, 32}, {"(?m)^\\w+", 7}});
  const std::u16string text = u"Gr\u00FC\u00DFe aus K\u00F6ln \U0001F600 und \u00C5rhus\r\n";
  std::string utf8;
  platform::AppendNarrow(platform::kCodePageUtf8, text.data(), text.size(), &utf8);
  const std::string u8 = Write("u8.txt", utf8);
  const std::string u8bom = Write("u8bom.txt", "\xEF\xBB\xBF" + utf8);
  const std::string le = Write("le.txt", "\xFF\xFE" + Utf16Le(text));
  const std::string be = Write("be.txt", "\xFE\xFF" + Utf16Be(text));
  for (const int index : {10000, 10001, 10002}) {
    EXPECT_EQ(Files(u8, le, index), 101) << index;
    EXPECT_EQ(Files(le, u8bom, index), 101) << index;
    EXPECT_EQ(Files(be, u8, index), 101) << index;
    EXPECT_EQ(Files(le, be, index), 101) << index;
    EXPECT_EQ(Files(u8, u8bom, index), 101) << index;  // anchors see the text after the mark
  }
  // Case only matters without the flag, in the mixed comparison too.
  std::u16string upper = text;
  upper[2] = u'\u00DC';
  const std::string lowerU8 = Write("lower.txt", utf8);
  const std::string upperLe = Write("upper.txt", "\xFF\xFE" + Utf16Le(upper));
  EXPECT_EQ(Files(lowerU8, upperLe, 10000), 0);
  EXPECT_EQ(Files(lowerU8, upperLe, 10001), 101);
}

TEST_F(Compare, CaseInsensitiveFlagInEachEncoding) {
  Load({{"\\S+", 7}, {"\\S+", 7, 32}});
  struct Pair {
    std::string a, b;
  } pairs[] = {
      {"Alpha BETA", "alpha beta"},                                      // ANSI
      {"\xC3\x84pfel \xC3\xB6l", "\xC3\xA4PFEL \xC3\x96L"},              // UTF-8
      {"\xFF\xFE" + Utf16Le(u"\u00C4pfel Beta"), "\xFF\xFE" + Utf16Le(u"\u00E4PFEL beta")},
  };
  int n = 0;
  for (const Pair& p : pairs) {
    const std::string a = Write("a" + std::to_string(n), p.a);
    const std::string b = Write("b" + std::to_string(n), p.b);
    EXPECT_EQ(Files(a, b, 10000), 0) << n;
    EXPECT_EQ(Files(a, b, 10001), 101) << n;
    ++n;
  }
  // Matches of different lengths differ whatever the case.
  EXPECT_EQ(Files(Write("x", "abc"), Write("y", "ABCD"), 10001), 0);
}

TEST_F(Compare, ArgumentsFieldsAndFilesThatCannotBeCompared) {
  Load({{"a", 1}, {"a", 7}, {"(", 7}});
  const std::string file = Write("f.txt", "a a");
  EXPECT_EQ(Files(file, file, 10000), 101);
  EXPECT_EQ(Files(file, file, 9999), -3);
  EXPECT_EQ(Files(file, file, 10001), -3);  // does not compile
  EXPECT_EQ(Files(file, file, 10002), -3);  // the hidden line-break field
  EXPECT_EQ(Files(file, plugin_->folder().PathOf("missing"), 10000), -3);
  EXPECT_EQ(Files(file, plugin_->folder().path().u8string(), 10000), -3);
  EXPECT_EQ(Files(file, "", 10000), -3);
  const auto compare = plugin_->Export<decltype(&ContentCompareFilesW)>("ContentCompareFilesW");
  std::u16string name = Wide(file);
  EXPECT_EQ(compare(Progress, 10000, reinterpret_cast<QmWideChar*>(name.data()), nullptr, nullptr),
            -3);
  EXPECT_EQ(compare(nullptr, 10000, reinterpret_cast<QmWideChar*>(name.data()),
                    reinterpret_cast<QmWideChar*>(name.data()), nullptr),
            101);
  // A file above GlobalFileSizeLimit.
  Load({{"a", 7}}, "GlobalFileSizeLimit=5\r\n");
  const std::string small = Write("small", "a");
  const std::string big = Write("big", "");
  fs::resize_file(fs::u8path(big), 6u * 1048576);
  EXPECT_EQ(Files(small, big), -3);
  // Without any compare field.
  Load({{"a", 1}});
  EXPECT_EQ(Files(small, small), -3);
  // The narrow export never compares.
  const auto narrow = plugin_->Export<decltype(&ContentCompareFiles)>("ContentCompareFiles");
  std::string n = small;
  EXPECT_EQ(narrow(Progress, 10000, n.data(), n.data(), nullptr), -3);
}

TEST_F(Compare, ASecondFileThatCannotBeOpenedAnswersMinusOne) {
  Load({{"a", 7}});
  const std::string file = Write("f.txt", "a");
  const std::string other = Write("g.txt", "a");
  EXPECT_EQ(Files(file, other), 101);
#ifdef _WIN32
  // Held open without sharing: its attributes can be read, it cannot be opened.
  const std::string locked = plugin_->folder().PathOf("locked");
  const std::u16string lockedWide = Wide(locked);
  platform::FileName name;
  name.wide = lockedWide.c_str();
  platform::File holder = platform::OpenFile(name, platform::OpenMode::kWriteCreateNew);
  ASSERT_TRUE(holder.IsOpen());
  ASSERT_TRUE(holder.WriteAll("a", 1));
  EXPECT_EQ(Files(file, locked), -1);
  EXPECT_EQ(Files(locked, file), -1);
#else
  // Permissions do not stop every user, so descriptors run out instead: the
  // limit leaves room for exactly one more, which the first file takes.
  const int lowestFree = dup(0);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree) + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const int second = Files(file, other);
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  setrlimit(RLIMIT_NOFILE, &tight);
  const int first = Files(file, other);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(second, -1);
  EXPECT_EQ(first, -1);
  // The first file was closed again: a descriptor is free for the next call.
  EXPECT_EQ(dup(0), lowestFree);
  close(lowestFree);
#endif
}

TEST_F(Compare, NameModeComparesTheNameParts) {
  Load({{"[^.]+", 7, 64}, {"[^.]+", 7, 64 | 32}});
  const std::string sep(1, static_cast<char>(platform::kPathSeparator));
  const std::string a = sep + "left" + sep + "deep" + sep + "Report.2026.txt";
  const std::string b = sep + "right" + sep + "Report.2026.txt";
  const std::string c = sep + "right" + sep + "report.2026.txt";
  EXPECT_EQ(Files(a, b, 10000), 101);  // the files need not exist
  EXPECT_EQ(Files(a, c, 10000), 0);
  EXPECT_EQ(Files(a, c, 10001), 101);
  EXPECT_EQ(Files(a, sep + "x" + sep + "Report.2026", 10000), -3);  // one match fewer
  EXPECT_EQ(Files(a, sep + "x" + sep + "Report.2027.txt", 10000), 0);
  EXPECT_EQ(Files(a, sep + "x" + sep + "...", 10000), -3);  // no match on one side
  EXPECT_EQ(Files(a + sep, b, 10000), 101);  // one trailing separator is dropped
  EXPECT_EQ(Files(a, "", 10000), -1);
  EXPECT_EQ(Files(a, "noseparator", 10000), -1);
  EXPECT_EQ(Files(a, sep + sep, 10000), -1);
}

#ifndef _WIN32
int OpenDescriptors() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}
#else
int OpenDescriptors() { return 0; }
#endif

TEST_F(Compare, AStopFromTheProgressCallbackClosesBothFiles) {
  Load({{"(?m)^.+$", 7}, {"(", 7}});
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i) + "\n";
  const std::string a = Write("a.txt", text);
  const std::string b = Write("b.txt", text);
  EXPECT_EQ(Files(a, b), 101);
  const int before = OpenDescriptors();

  // The first call announces the comparison and is not examined; the next
  // one is the first in the loop.
  std::vector<int> reports;
  g_onProgress = [&](int bytes) {
    reports.push_back(bytes);
    return 1;
  };
  EXPECT_EQ(Files(a, b), -2);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], 0);
  EXPECT_EQ(reports[1], static_cast<int>(text.size()));

  // Every other way out closes them too.
  g_onProgress = nullptr;
  const std::string other = Write("other.txt", text + "extra\n");
  EXPECT_EQ(Files(a, other), -3);
  EXPECT_EQ(Files(a, Write("diff.txt", "x" + text)), 0);
  EXPECT_EQ(Files(a, b, 10001), -3);
  EXPECT_EQ(OpenDescriptors(), before);
  std::error_code ec;
  EXPECT_TRUE(fs::remove(fs::u8path(a), ec)) << ec.message();
  EXPECT_TRUE(fs::remove(fs::u8path(b), ec)) << ec.message();
}

// Files larger than the budget: FileMemory 5 gives blocks of 2.5 MiB per
// file. The left file has fixed-length records right after a header whose
// length puts a record across byte 2621440, where a cut at the block size
// would fall; the right file has the same records with time-stamp lines of
// varying length between them, so its blocks end elsewhere and one file runs
// out of its block while the other still has a match (the search-back).
class CompareBlocks : public Compare {
 protected:
  static constexpr std::size_t kHalf = 2621440;

  static std::string Record(int i, const std::string& lineEnd = "\n") {
    char text[40];
    std::snprintf(text, sizeof text, "record %08d value %08d", i, i * 7);
    return text + lineEnd;  // 32 bytes with "\n"
  }
  static std::string Left(int records) {
    std::string header = "Generated: ";
    const std::size_t fill = (kHalf - 16 - (header.size() + 1)) % 32;
    header += std::string(fill, '0') + "\n";
    std::string text = header;
    for (int i = 0; i < records; ++i) text += Record(i);
    return text;
  }
  static std::string Right(int records, const std::string& lineEnd = "\n") {
    std::string text;
    for (int i = 0; i < records; ++i) {
      if (i % 5 == 0) text += "Updated: " + std::string(static_cast<std::size_t>(i % 97), '9') + lineEnd;
      text += Record(i, lineEnd);
    }
    return text;
  }
};

TEST_F(CompareBlocks, SeveralBlocksAndTheSearchBack) {
  Load({{kSkipStamps, 7}}, "FileMemory=5\r\nAnalyzeBuffer=1\r\n");
  constexpr int kRecords = 180000;  // about 5.5 MiB on the left: three blocks
  const std::string leftText = Left(kRecords);
  ASSERT_GT(leftText.size(), 2 * kHalf);
  // A record straddles the naive cut.
  const std::size_t before = leftText.rfind('\n', kHalf - 1);
  ASSERT_EQ(leftText.compare(before + 1, 7, "record "), 0);
  ASSERT_GT(leftText.find('\n', kHalf), kHalf + 1);

  const std::string left = Write("left.txt", leftText);
  EXPECT_EQ(Files(left, Write("right.txt", Right(kRecords))), 101);
  EXPECT_EQ(Files(Write("crlf.txt", Right(kRecords, "\r\n")), left), 101);

  std::string changed = Right(kRecords);
  const std::size_t at = changed.find(Record(170000));  // in the third block
  ASSERT_NE(at, std::string::npos);
  changed[at + 7] = 'X';
  EXPECT_EQ(Files(left, Write("changed.txt", changed)), 0);
  EXPECT_EQ(Files(left, Write("longer.txt", Right(kRecords + 1))), -3);
  EXPECT_EQ(Files(Write("shorter.txt", Right(kRecords - 1)), left), -3);
}

TEST_F(CompareBlocks, MixedEncodingsAcrossBlocks) {
  Load({{kSkipStamps, 7}}, "FileMemory=5\r\nAnalyzeBuffer=1\r\n");
  constexpr int kRecords = 120000;
  const std::string right = Right(kRecords);
  std::u16string wide;
  platform::AppendWide(platform::kCodePageUtf8, right.data(), right.size(), &wide);
  const std::string left = Write("left.txt", "\xEF\xBB\xBF" + Left(kRecords) + "\xC3\xA4\n");
  const std::string utf16 = Write("right16.txt", "\xFF\xFE" + Utf16Le(wide + u"\u00E4\n"));
  EXPECT_EQ(Files(left, utf16), 101);
  EXPECT_EQ(Files(utf16, left), 101);
}

TEST_F(CompareBlocks, InvalidUtf8BeyondTheSampleIsComparedAsTheAnsiForm) {
  // The sample says UTF-8; the text goes bad in the first or in a later
  // block. Such a file compares as the same text whose sample holds a fault
  // (in a skipped line, so that the matches are the same): as ANSI/Binary
  // bytes, whichever side it is on and whether or not the other side starts
  // over with it. The first line, "\xC3\xA4", is one character as UTF-8
  // and two as ANSI: a pair compared before the fault is found differs
  // (the second field's first match, and the first field's in a
  // single-byte ANSI code page), yet the answer is the ANSI form's.
  Load({{kSkipStamps, 7}, {"(?m)^.", 7}}, "FileMemory=5\r\nAnalyzeBuffer=1\r\n");
  const std::string text = "\xC3\xA4\n" + Right(180000);
  ASSERT_EQ(text.compare(3, 10, "Updated: \n"), 0);
  std::string early = text, late = text;
  early[100000] = '\xFF';
  late[text.size() - 1000] = '\xC3';
  for (const std::string& bad : {early, late}) {
    std::string decided = bad;
    decided.insert(12, "\xFF");  // "Updated: \xFF": ANSI by its sample
    const std::string a = Write("bad.txt", bad);
    const std::string b = Write("decided.txt", decided);
    for (const int index : {10000, 10001}) {
      SCOPED_TRACE(index);
      EXPECT_EQ(Files(a, b, index), 101);
      EXPECT_EQ(Files(b, a, index), 101);
      EXPECT_EQ(Files(a, a, index), 101);
    }
  }
  const std::string good = Write("good.txt", text);
  EXPECT_EQ(Files(good, good), 101);
  EXPECT_EQ(Files(good, good, 10001), 101);
}

}  // namespace
}  // namespace qm::test
