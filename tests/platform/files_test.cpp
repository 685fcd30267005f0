// Files, attributes, find-first, child processes and the module path
// through the POSIX backend.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "support/test_files.h"

namespace qm::platform {
namespace {

std::u16string U16(const std::string& utf8) {
  std::u16string out;
  AppendWide(kCodePageUtf8, utf8.data(), utf8.size(), &out);
  return out;
}

class Files : public ::testing::Test {
 protected:
  test::TempFolder folder_;
  // A wide name (UTF-16) for a file in the folder; the name may hold any
  // character.
  std::u16string WideName(const std::string& name) const { return U16(folder_.PathOf(name)); }
};

TEST_F(Files, ReadSeekTruncateAndAppend) {
  const std::u16string name = WideName("d\u00E9j\u00E0 vu.bin");
  bool created = false;
  File file = OpenFile(FileName{nullptr, name.c_str()}, OpenMode::kReadWriteOpenAlways, &created);
  ASSERT_TRUE(file.IsOpen());
  EXPECT_TRUE(created);
  ASSERT_TRUE(file.WriteAll("0123456789", 10));
  ASSERT_TRUE(file.SeekRelative(-6));
  char buffer[8] = {};
  ASSERT_TRUE(file.ReadExact(buffer, 3));
  EXPECT_EQ(std::string(buffer, 3), "456");
  ASSERT_TRUE(file.SeekRelative(-1));
  ASSERT_TRUE(file.TruncateHere());  // cut after "012345"
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 0);
  EXPECT_FALSE(file.ReadExact(buffer, 1));  // at the end: a short read
  EXPECT_FALSE(file.SeekRelative(-100));    // before the start
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Read(buffer, 1), -1);

  // Opened again: it existed, and appending goes to its end.
  file = OpenFile(FileName{nullptr, name.c_str()}, OpenMode::kReadWriteOpenAlways, &created);
  ASSERT_TRUE(file.IsOpen());
  EXPECT_FALSE(created);
  ASSERT_TRUE(file.SeekToEnd());
  ASSERT_TRUE(file.WriteAll("ab", 2));
  file.Close();
  EXPECT_EQ(test::ReadFileBytes(folder_.PathOf("d\u00E9j\u00E0 vu.bin")), "012345ab");

  // A short read of more than the file holds fails; the exact size succeeds.
  File reader = OpenFile(FileName{nullptr, name.c_str()}, OpenMode::kReadShared);
  ASSERT_TRUE(reader.IsOpen());
  char all[16];
  EXPECT_FALSE(reader.ReadExact(all, 9));
  ASSERT_TRUE(reader.SeekRelative(-8));
  EXPECT_TRUE(reader.ReadExact(all, 8));
  EXPECT_EQ(std::string(all, 8), "012345ab");
}

TEST_F(Files, CreateNewRefusesAnExistingNameAndMovedOwnersCloseOnce) {
  const std::string path = folder_.Write("exists.txt", "x");
  EXPECT_FALSE(OpenFile(FileName{path.c_str(), nullptr}, OpenMode::kWriteCreateNew).IsOpen());
  const std::string fresh = folder_.PathOf("fresh.txt");
  File a = OpenFile(FileName{fresh.c_str(), nullptr}, OpenMode::kWriteCreateNew);
  ASSERT_TRUE(a.IsOpen());
  File b(std::move(a));
  EXPECT_FALSE(a.IsOpen());
  EXPECT_TRUE(b.WriteAll("new", 3));
  b = File();
  EXPECT_EQ(test::ReadFileBytes(fresh), "new");
  EXPECT_FALSE(OpenFile(FileName{}, OpenMode::kReadShared).IsOpen());
  const std::string missing = folder_.PathOf("missing.txt");
  EXPECT_FALSE(OpenFile(FileName{missing.c_str(), nullptr}, OpenMode::kReadShared).IsOpen());
}

TEST_F(Files, AttributesOfFilesAndDirectories) {
  const std::string path = folder_.Write("five.txt", "12345");
  FileInfo info;
  ASSERT_TRUE(QueryFileInfo(FileName{path.c_str(), nullptr}, &info));
  EXPECT_FALSE(info.IsDirectory());
  EXPECT_EQ(info.size, 5u);
  EXPECT_EQ(info.attributes, kAttributeNormal);

  // The last-write time is a Windows FILETIME: 100 ns units since 1601.
  struct timespec times[2] = {{1, 0}, {1, 500}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ASSERT_TRUE(QueryFileInfo(FileName{path.c_str(), nullptr}, &info));
  const std::uint64_t filetime = (std::uint64_t{info.lastWriteHigh} << 32) | info.lastWriteLow;
  EXPECT_EQ(filetime, 116444736000000000ull + 10000000ull + 5ull);

  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  ASSERT_TRUE(QueryFileInfo(FileName{path.c_str(), nullptr}, &info));
  EXPECT_EQ(info.attributes, kAttributeReadOnly);

  const std::u16string dir = U16(folder_.path().u8string());
  ASSERT_TRUE(QueryFileInfo(FileName{nullptr, dir.c_str()}, &info));
  EXPECT_TRUE(info.IsDirectory());
  EXPECT_EQ(info.size, 0u);

  const std::u16string missing = WideName("missing");
  EXPECT_FALSE(QueryFileInfo(FileName{nullptr, missing.c_str()}, &info));
  EXPECT_FALSE(QueryFileInfo(FileName{}, &info));
}

TEST_F(Files, FindFirstFindsFilesDirectoriesAndPatterns) {
  folder_.Write("a.txt", "a");
  std::filesystem::create_directory(folder_.path() / "sub");
  const std::string pattern = folder_.PathOf("*.txt");
  const std::string none = folder_.PathOf("*.doc");
  const std::string sub = folder_.PathOf("sub");
  EXPECT_TRUE(FindFirstMatches(FileName{pattern.c_str(), nullptr}));
  EXPECT_FALSE(FindFirstMatches(FileName{none.c_str(), nullptr}));
  EXPECT_TRUE(FindFirstMatches(FileName{sub.c_str(), nullptr}));
  const std::u16string wide = WideName("a.txt");
  EXPECT_TRUE(FindFirstMatches(FileName{nullptr, wide.c_str()}));
  EXPECT_FALSE(FindFirstMatches(FileName{}));
}

TEST_F(Files, ChildGetsEachArgumentWholeAndReportsItsExitCode) {
  ChildProcess child = ChildProcess::Start(u"/bin/sh", {u"-c", u"printf '[%s]' \"$@\"; exit 3", u"sh",
                                                        u"a b", u"\"q\" \\", u""});
  ASSERT_TRUE(child.IsRunning());
  std::string output;
  char buffer[64];
  for (std::int64_t n; (n = child.ReadOutput(buffer, sizeof buffer)) > 0;) {
    output.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(output, "[a b][\"q\" \\][]");
  EXPECT_EQ(child.Wait(), 3);
  EXPECT_FALSE(ChildProcess::Start(WideName("no such program"), {}).IsRunning());
}

// Runs in a forked test process whose lowest descriptors are closed, so
// that the child's pipes and /dev/null take those numbers. Exits 0 when the
// child got each stream right, else the number of the first wrong check.
[[noreturn]] void RunChildWithStandardStreamsClosed(int closedBelow, ChildProcess::ErrorOutput errors,
                                                    const std::string& expected) {
  for (int fd = 0; fd < closedBelow; ++fd) ::close(fd);
  // Reads its input (empty: "end" follows at once), writes one line on
  // each of its output and error streams.
  ChildProcess child = ChildProcess::Start(
      u"/bin/sh", {u"-c", u"read line; printf 'out:%s;' \"$line\"; printf 'err;' >&2; exit 5"}, errors);
  if (!child.IsRunning()) _exit(10);
  std::string output;
  char buffer[64];
  for (std::int64_t n; (n = child.ReadOutput(buffer, sizeof buffer)) > 0;) {
    output.append(buffer, static_cast<std::size_t>(n));
  }
  if (output != expected) _exit(11);
  if (child.Wait() != 5) _exit(12);
  _exit(0);
}

TEST(ChildStreams, AHostWithoutStandardStreamsStillConnectsTheChildsOwn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int closedBelow = 1; closedBelow <= 3; ++closedBelow) {
    EXPECT_EXIT(RunChildWithStandardStreamsClosed(closedBelow, ChildProcess::ErrorOutput::kDiscard,
                                                  "out:;"),
                ::testing::ExitedWithCode(0), "")
        << "descriptors below " << closedBelow << " closed, errors discarded";
    EXPECT_EXIT(RunChildWithStandardStreamsClosed(closedBelow, ChildProcess::ErrorOutput::kIntoOutput,
                                                  "out:;err;"),
                ::testing::ExitedWithCode(0), "")
        << "descriptors below " << closedBelow << " closed, errors into the output";
  }
}

TEST(ModulePath, AnAddressInTheProgramNamesTheProgram) {
  std::u16string wide;
  std::string narrow;
  ASSERT_TRUE(QueryModulePath(reinterpret_cast<const void*>(&U16), &wide, &narrow));
  ASSERT_FALSE(narrow.empty());
  EXPECT_EQ(narrow[0], '/');
  EXPECT_EQ(wide, U16(narrow));
  EXPECT_TRUE(std::filesystem::equivalent(narrow, "/proc/self/exe"));
}

TEST(FileNameMapping, EveryByteSequenceRoundTripsAndOnlyUtf8IsDecoded) {
  struct Case {
    std::string bytes;
    std::u16string wide;
  };
  const Case cases[] = {
      {"caf\xC3\xA9", u"caf\u00E9"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"a\xFF" "b", u"a\xDCFF" u"b"},
      {"\xC3", u"\xDCC3"},                                   // cut sequence at the end
      {"\xC0\x80", u"\xDCC0\xDC80"},                         // overlong
      {"\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},               // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},     // beyond U+10FFFF
      {"\xE2\x82" "x", u"\xDCE2\xDC82x"},                    // interrupted sequence
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileNameBytesToWide(c.bytes), c.wide) << c.bytes;
    std::string back;
    ASSERT_TRUE(WideToFileNameBytes(c.wide, &back));
    EXPECT_EQ(back, c.bytes);
  }
  // Lone surrogates outside the escape range name nothing.
  std::string bytes;
  EXPECT_FALSE(WideToFileNameBytes(u"a\xD800", &bytes));
  EXPECT_FALSE(WideToFileNameBytes(u"\xDC7F", &bytes));
}

TEST(SpecialFiles, OnlyRegularFilesOpenForReading) {
  test::TempFolder folder;
  const std::string fifo = folder.PathOf("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& name : {fifo, std::string("/dev/null"), folder.path().string()}) {
    FileName fileName;
    fileName.narrow = name.c_str();
    EXPECT_FALSE(OpenFile(fileName, OpenMode::kReadShared).IsOpen()) << name;
    FileInfo info;
    ASSERT_TRUE(QueryFileInfo(fileName, &info));
    EXPECT_FALSE(info.IsRegularFile()) << name;
  }
}

// A content open trusts the caller's query and checks nothing itself, but it
// never waits: should a FIFO have taken the file's name, reads end or fail
// at once, with and without a writer.
TEST(SpecialFiles, ContentOpensNeverWait) {
  test::TempFolder folder;
  const std::string regular = folder.Write("file", "content");
  FileName name;
  name.narrow = regular.c_str();
  File file = OpenFile(name, OpenMode::kReadContent);
  char bytes[16] = {};
  ASSERT_TRUE(file.ReadExact(bytes, 7));
  EXPECT_STREQ(bytes, "content");
  EXPECT_EQ(file.Read(bytes, sizeof bytes), 0);

  const std::string fifo = folder.PathOf("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  name.narrow = fifo.c_str();
  File noWriter = OpenFile(name, OpenMode::kReadContent);
  ASSERT_TRUE(noWriter.IsOpen());
  EXPECT_FALSE(noWriter.ReadExact(bytes, 1));
  const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  File withWriter = OpenFile(name, OpenMode::kReadContent);
  ASSERT_TRUE(withWriter.IsOpen());
  EXPECT_EQ(withWriter.Read(bytes, 1), -1);
  ::close(writer);
}

TEST(Pages, AreZeroFilledWritableAndSurviveADiscard) {
  const std::size_t size = std::size_t{4} << 20;
  auto* pages = static_cast<unsigned char*>(AllocatePages(size));
  ASSERT_NE(pages, nullptr);
  EXPECT_EQ(pages[0], 0);
  EXPECT_EQ(pages[size - 1], 0);
  pages[0] = 1;
  pages[size - 1] = 2;
  DiscardPageContents(pages, size);
  pages[size - 1] = 3;  // still writable: a discard only gives up the content
  EXPECT_EQ(pages[size - 1], 3);
  FreePages(pages, size);
}

}  // namespace
}  // namespace qm::platform
