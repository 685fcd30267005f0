// The Windows backend against the real system calls (under Wine in CI):
// command-line quoting through a real child, sharing modes, long-path and
// short names, the system's code pages and classes, module paths.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#undef DeleteFile
#undef ReplaceFile

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace qm::platform {
namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

std::u16string U16(const wchar_t* s) { return std::u16string(reinterpret_cast<const char16_t*>(s)); }

std::string Utf8(const std::u16string& s) {
  std::string out;
  AppendNarrow(kCodePageUtf8, s.data(), s.size(), &out);
  return out;
}

FileName Wide(const std::u16string& s) {
  FileName name;
  name.wide = s.c_str();
  return name;
}

// Deletes a folder tree; names may be long (the "\\?\" form is used).
void RemoveTree(const std::u16string& folder) {
  WIN32_FIND_DATAW data;
  const std::u16string pattern = folder + u"\\*";
  HANDLE find = FindFirstFileW(W(pattern), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::u16string name = U16(data.cFileName);
      if (name == u"." || name == u"..") continue;
      const std::u16string path = folder + u"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesW(W(path), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(W(path));
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(W(folder));
}

// Each test gets a fresh folder under the temporary folder, in "\\?\" form
// (so that names beyond 260 units can be made inside it).
class Win32Folder : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    ASSERT_GT(n, 0u);
    std::u16string base = U16(temp);
    if (!base.empty() && base.back() == u'\\') base.pop_back();
    static std::atomic<int> counter{0};
    plain_ = base + u"\\qm_win32_" + ToU16(std::to_string(GetCurrentProcessId())) + u"_" +
             ToU16(std::to_string(counter++));
    ASSERT_TRUE(CreateDirectoryW(W(plain_), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    long_ = u"\\\\?\\" + plain_;
  }
  void TearDown() override { RemoveTree(long_); }

  static std::u16string ToU16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

  std::u16string Path(const std::u16string& name) const { return plain_ + u"\\" + name; }

  void WriteFileText(const std::u16string& path, const std::string& text) {
    File f = OpenFile(Wide(path), OpenMode::kWriteCreateNew);
    ASSERT_TRUE(f.IsOpen());
    ASSERT_TRUE(f.WriteAll(text.data(), text.size()));
  }

  std::u16string plain_;  // the folder as an ordinary name
  std::u16string long_;   // the same folder in "\\?\" form
};

// ---------------------------------------------------------------------------
// Command line and child processes
// ---------------------------------------------------------------------------
const std::vector<std::u16string>& AwkwardArguments() {
  static const std::vector<std::u16string> arguments = {
      u"plain",
      u"with space",
      u"",
      u"quote\"inside",
      u"\"",
      u"\\\"",
      u"trailing\\",
      u"trailing space \\",
      u"C:\\Program Files\\folder\\",
      u"\\\\server\\share\\a b\\c.txt",
      u"two\\\\\"quotes\"\"",
      u"tab\there",
      u"-o=0",
      u"\u00DCn\u00EFc\u00F6d\u00E9 \u20AC \u65E5\u672C",
  };
  return arguments;
}

TEST(Win32CommandLine, EveryArgumentComesBackFromCommandLineToArgvW) {
  const std::u16string program = u"C:\\Program Files\\Quarry Mark\\xdoc2txt.exe";
  const std::u16string line = BuildCommandLine(program, AwkwardArguments());
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(W(line), &argc);
  ASSERT_NE(argv, nullptr);
  ASSERT_EQ(static_cast<std::size_t>(argc), AwkwardArguments().size() + 1) << Utf8(line);
  EXPECT_EQ(U16(argv[0]), program);
  for (std::size_t i = 0; i < AwkwardArguments().size(); ++i) {
    EXPECT_EQ(Utf8(U16(argv[i + 1])), Utf8(AwkwardArguments()[i])) << "argument " << i << " of " << Utf8(line);
  }
  LocalFree(argv);
}

std::u16string ChildProgram() {
  std::u16string self;
  std::string narrow;
  EXPECT_TRUE(QueryModulePath(nullptr, &self, &narrow));
  return self.substr(0, self.find_last_of(u'\\') + 1) + u"qm_win32_child.exe";
}

std::string ReadAll(ChildProcess* child) {
  std::string out;
  char buffer[100];  // small, so that output arrives in several reads
  for (;;) {
    const std::int64_t n = child->ReadOutput(buffer, sizeof buffer);
    if (n <= 0) {
      EXPECT_EQ(n, 0);
      break;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

TEST(Win32ChildProcess, FileNameWithSpacesQuotesAndBackslashesStaysOneArgument) {
  std::vector<std::u16string> arguments = {u"-u", u"-o=0"};
  arguments.insert(arguments.end(), AwkwardArguments().begin(), AwkwardArguments().end());
  ChildProcess child = ChildProcess::Start(ChildProgram(), arguments);
  ASSERT_TRUE(child.IsRunning());
  const std::string output = ReadAll(&child);
  EXPECT_EQ(child.Wait(), 0);
  std::string expected = "argc=" + std::to_string(arguments.size()) + "\n";
  for (const auto& a : arguments) expected += "arg=" + Utf8(a) + "\n";
  expected += "stdin=0\n";
  EXPECT_EQ(output, expected);
}

TEST(Win32ChildProcess, ProgramPathWithSpacesIsFound) {
  wchar_t temp[MAX_PATH + 1];
  ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
  const std::u16string folder = U16(temp) + u"qm child folder " + std::u16string(1, u'\u00E9');
  CreateDirectoryW(W(folder), nullptr);
  const std::u16string copy = folder + u"\\child copy.exe";
  ASSERT_TRUE(CopyFileW(W(ChildProgram()), W(copy), FALSE));
  {
    ChildProcess child = ChildProcess::Start(copy, {u"x y"});
    ASSERT_TRUE(child.IsRunning());
    EXPECT_EQ(ReadAll(&child), "argc=1\narg=x y\nstdin=0\n");
    EXPECT_EQ(child.Wait(), 0);
  }
  DeleteFileW(W(copy));
  RemoveDirectoryW(W(folder));
}

TEST(Win32ChildProcess, StandardErrorIsDiscardedAndExitCodeReported) {
  ChildProcess child = ChildProcess::Start(ChildProgram(), {u"exit:7"});
  ASSERT_TRUE(child.IsRunning());
  const std::string output = ReadAll(&child);
  EXPECT_EQ(output.find("stderr-text"), std::string::npos);
  EXPECT_EQ(output, "argc=1\narg=exit:7\nstdin=0\n");
  EXPECT_EQ(child.Wait(), 7);
  EXPECT_FALSE(child.IsRunning());
  EXPECT_EQ(child.Wait(), 7);  // released; the code is kept
}

TEST(Win32ChildProcess, TerminateEndsAWaitingChild) {
  ChildProcess child = ChildProcess::Start(ChildProgram(), {u"wait"});
  ASSERT_TRUE(child.IsRunning());
  char buffer[64];
  std::string seen;
  while (seen.find("waiting\n") == std::string::npos) {
    const std::int64_t n = child.ReadOutput(buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    seen.append(buffer, static_cast<std::size_t>(n));
  }
  child.Terminate();
  EXPECT_FALSE(child.IsRunning());
}

// Number of running processes with the child's file name.
int CountChildren() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (lstrcmpiW(entry.szExeFile, L"qm_win32_child.exe") == 0) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

TEST(Win32ChildProcess, MovedOwnerKeepsTheChildAndItsDestructorEndsIt) {
  const int before = CountChildren();
  ASSERT_GE(before, 0);
  {
    ChildProcess child = ChildProcess::Start(ChildProgram(), {u"wait"});
    ASSERT_TRUE(child.IsRunning());
    char buffer[16];
    ASSERT_GT(child.ReadOutput(buffer, sizeof buffer), 0);
    ChildProcess moved = std::move(child);
    EXPECT_FALSE(child.IsRunning());
    EXPECT_TRUE(moved.IsRunning());
    EXPECT_EQ(CountChildren(), before + 1);
  }
  EXPECT_EQ(CountChildren(), before);
}

TEST(Win32ChildProcess, MissingProgramDoesNotStart) {
  ChildProcess child = ChildProcess::Start(u"C:\\no such folder\\no such program.exe", {u"a"});
  EXPECT_FALSE(child.IsRunning());
  char buffer[4];
  EXPECT_EQ(child.ReadOutput(buffer, sizeof buffer), -1);
  EXPECT_EQ(child.Wait(), -1);
}

// The child's job: when the process that started a child dies without a
// word (killed), the child goes with it. The host here is started without a
// job of ours, so only the job its own ChildProcess made can end the child.
TEST(Win32ChildProcess, ChildEndsWithAKilledHost) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr;
  ASSERT_TRUE(CreatePipe(&outRead, &outWrite, &inheritable, 0));
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = outWrite;
  startup.hStdError = outWrite;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::u16string line = BuildCommandLine(ChildProgram(), {u"host"});
  PROCESS_INFORMATION info;
  ZeroMemory(&info, sizeof info);
  ASSERT_TRUE(CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(&line[0]), nullptr, nullptr, TRUE,
                             CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info));
  CloseHandle(outWrite);
  CloseHandle(info.hThread);
  std::string seen;
  char buffer[64];
  DWORD got = 0;
  while (seen.find("waiting\n") == std::string::npos && ReadFile(outRead, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    seen.append(buffer, got);
  }
  const std::size_t at = seen.find("pid=");
  ASSERT_NE(at, std::string::npos) << seen;
  const DWORD pid = static_cast<DWORD>(std::strtoul(seen.c_str() + at + 4, nullptr, 10));
  HANDLE grandchild = OpenProcess(SYNCHRONIZE, FALSE, pid);
  ASSERT_NE(grandchild, nullptr);
  EXPECT_EQ(WaitForSingleObject(grandchild, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // it runs
  TerminateProcess(info.hProcess, 1);
  WaitForSingleObject(info.hProcess, INFINITE);
  // Gone with its host (typically at once; a second is the bound promised).
  EXPECT_EQ(WaitForSingleObject(grandchild, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
  HANDLE rest = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (rest != nullptr) {
    TerminateProcess(rest, 1);
    CloseHandle(rest);
  }
  CloseHandle(grandchild);
  CloseHandle(info.hProcess);
  CloseHandle(outRead);
}

// A pipe end that some other part of the host made inheritable must not end
// up in the child: else that pipe would see its end only when the child goes.
TEST(Win32ChildProcess, ChildInheritsOnlyItsOwnPipeEnds) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE foreignRead = nullptr, foreignWrite = nullptr;
  ASSERT_TRUE(CreatePipe(&foreignRead, &foreignWrite, &inheritable, 0));
  ChildProcess child = ChildProcess::Start(ChildProgram(), {u"wait"});
  ASSERT_TRUE(child.IsRunning());
  char buffer[16];
  ASSERT_GT(child.ReadOutput(buffer, sizeof buffer), 0);  // the child runs
  CloseHandle(foreignWrite);
  DWORD available = 0;
  const BOOL peeked = PeekNamedPipe(foreignRead, nullptr, 0, nullptr, &available, nullptr);
  EXPECT_FALSE(peeked) << "the waiting child holds the foreign write end";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  CloseHandle(foreignRead);
  child.Terminate();
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------
TEST_F(Win32Folder, NonAsciiWideNameIsCreatedQueriedFoundAndRead) {
  const std::u16string name = Path(u"\u65E5\u672C \u00E9t\u00E9 \u20AC.txt");
  WriteFileText(name, "hello, world");
  FileInfo info;
  ASSERT_TRUE(QueryFileInfo(Wide(name), &info));
  EXPECT_EQ(info.size, 12u);
  EXPECT_FALSE(info.IsDirectory());
  EXPECT_NE(info.lastWriteHigh, 0u);
  EXPECT_TRUE(FindFirstMatches(Wide(name)));
  const std::u16string pattern = Path(u"*\u20AC.txt");
  EXPECT_TRUE(FindFirstMatches(Wide(pattern)));
  const std::u16string noMatch = Path(u"*.none");
  EXPECT_FALSE(FindFirstMatches(Wide(noMatch)));

  File f = OpenFile(Wide(name), OpenMode::kReadShared);
  ASSERT_TRUE(f.IsOpen());
  char buffer[32] = {};
  ASSERT_TRUE(f.ReadExact(buffer, 12));
  EXPECT_EQ(std::string(buffer, 12), "hello, world");
  EXPECT_EQ(f.Read(buffer, sizeof buffer), 0);  // the end reads as 0 bytes
  EXPECT_FALSE(f.ReadExact(buffer, 1));
}

TEST_F(Win32Folder, NarrowNameIsTheAnsiCodePagesBytes) {
  const std::u16string wide = Path(u"narrow.txt");
  WriteFileText(wide, "abc");
  std::string narrow;
  ASSERT_TRUE(AppendNarrow(AnsiCodePage(), wide.data(), wide.size(), &narrow));
  FileName name;
  name.narrow = narrow.c_str();
  FileInfo info;
  ASSERT_TRUE(QueryFileInfo(name, &info));
  EXPECT_EQ(info.size, 3u);
  EXPECT_TRUE(FindFirstMatches(name));
  EXPECT_TRUE(OpenFile(name, OpenMode::kReadShared).IsOpen());
}

TEST_F(Win32Folder, MissingFileAndEmptyNameFailEveryQuery) {
  const std::u16string missing = Path(u"missing.txt");
  FileInfo info;
  EXPECT_FALSE(QueryFileInfo(Wide(missing), &info));
  EXPECT_FALSE(FindFirstMatches(Wide(missing)));
  EXPECT_FALSE(OpenFile(Wide(missing), OpenMode::kReadShared).IsOpen());
  EXPECT_FALSE(QueryFileInfo(FileName(), &info));
  EXPECT_FALSE(FindFirstMatches(FileName()));
  EXPECT_FALSE(OpenFile(FileName(), OpenMode::kReadShared).IsOpen());
}

TEST_F(Win32Folder, FolderReportsTheDirectoryAttribute) {
  FileInfo info;
  ASSERT_TRUE(QueryFileInfo(Wide(plain_), &info));
  EXPECT_TRUE(info.IsDirectory());
}

TEST_F(Win32Folder, CreateNewFailsWhenTheNameExistsAndOpenAlwaysTellsCreated) {
  const std::u16string name = Path(u"settings.ini");
  bool created = false;
  {
    File f = OpenFile(Wide(name), OpenMode::kReadWriteOpenAlways, &created);
    ASSERT_TRUE(f.IsOpen());
    EXPECT_TRUE(created);
  }
  {
    File f = OpenFile(Wide(name), OpenMode::kReadWriteOpenAlways, &created);
    ASSERT_TRUE(f.IsOpen());
    EXPECT_FALSE(created);
  }
  File again = OpenFile(Wide(name), OpenMode::kWriteCreateNew, &created);
  EXPECT_FALSE(again.IsOpen());
  EXPECT_FALSE(created);
}

TEST_F(Win32Folder, SharedReadersExcludeAWriter) {
  const std::u16string name = Path(u"shared.txt");
  WriteFileText(name, "x");
  File first = OpenFile(Wide(name), OpenMode::kReadShared);
  File second = OpenFile(Wide(name), OpenMode::kReadShared);
  EXPECT_TRUE(first.IsOpen());
  EXPECT_TRUE(second.IsOpen());
  EXPECT_FALSE(OpenFile(Wide(name), OpenMode::kReadWriteOpenAlways).IsOpen());
  first.Close();
  second.Close();
  EXPECT_TRUE(OpenFile(Wide(name), OpenMode::kReadWriteOpenAlways).IsOpen());
}

TEST_F(Win32Folder, SeekTruncateAndAppend) {
  const std::u16string name = Path(u"seek.bin");
  File f = OpenFile(Wide(name), OpenMode::kReadWriteOpenAlways);
  ASSERT_TRUE(f.IsOpen());
  ASSERT_TRUE(f.WriteAll("0123456789", 10));
  ASSERT_TRUE(f.SeekRelative(-4));
  ASSERT_TRUE(f.TruncateHere());
  ASSERT_TRUE(f.SeekRelative(-6));
  char buffer[16] = {};
  EXPECT_EQ(f.Read(buffer, sizeof buffer), 6);
  EXPECT_EQ(std::string(buffer, 6), "012345");
  ASSERT_TRUE(f.SeekToEnd());
  ASSERT_TRUE(f.WriteAll("ab", 2));
  f.Close();
  FileInfo info;
  ASSERT_TRUE(QueryFileInfo(Wide(name), &info));
  EXPECT_EQ(info.size, 8u);
  EXPECT_FALSE(f.SeekRelative(1));  // closed
  EXPECT_EQ(f.Read(buffer, 1), -1);
}

TEST_F(Win32Folder, ReplaceFileOverwritesTheTargetAndDeleteRemovesIt) {
  const std::u16string target = Path(u"target.ini");
  const std::u16string source = Path(u"target.ini.new");
  WriteFileText(target, "old");
  WriteFileText(source, "new contents");
  ASSERT_TRUE(ReplaceFile(source, target));
  FileInfo info;
  ASSERT_TRUE(QueryFileInfo(Wide(target), &info));
  EXPECT_EQ(info.size, 12u);
  EXPECT_FALSE(QueryFileInfo(Wide(source), &info));
  EXPECT_TRUE(DeleteFile(target));
  EXPECT_FALSE(DeleteFile(target));
}

TEST_F(Win32Folder, LongPathFormReachesNamesBeyond260Units) {
  std::u16string folder = long_;
  for (int i = 0; i < 4; ++i) {
    folder += u"\\" + std::u16string(70, static_cast<char16_t>(u'a' + i));
    ASSERT_TRUE(CreateDirectoryW(W(folder), nullptr));
  }
  const std::u16string name = folder + u"\\file with spaces.txt";
  ASSERT_GT(name.size(), 300u);
  WriteFileText(name, "long");
  FileInfo info;
  ASSERT_TRUE(QueryFileInfo(Wide(name), &info));
  EXPECT_EQ(info.size, 4u);
  EXPECT_TRUE(FindFirstMatches(Wide(name)));
  EXPECT_TRUE(OpenFile(Wide(name), OpenMode::kReadShared).IsOpen());
  EXPECT_TRUE(DeleteFile(name));
}

TEST_F(Win32Folder, ShortPathNameNamesTheSameFile) {
  const std::u16string name = Path(u"a rather long file name.text");
  WriteFileText(name, "12345");
  const std::u16string shortName = ShortPathName(name);
  ASSERT_FALSE(shortName.empty());
  EXPECT_EQ(shortName.find(u' '), std::u16string::npos) << Utf8(shortName);
  FileInfo info;
  ASSERT_TRUE(QueryFileInfo(Wide(shortName), &info));
  EXPECT_EQ(info.size, 5u);
  // A name without a file has no short form: it comes back unchanged.
  const std::u16string missing = Path(u"not here at all.text");
  EXPECT_EQ(ShortPathName(missing), missing);
}

// ---------------------------------------------------------------------------
// Code pages, classes, collation
// ---------------------------------------------------------------------------
TEST(Win32CodePages, Windows1252ConvertsBothWaysWithItsDefaultCharacter) {
  std::u16string wide;
  ASSERT_TRUE(AppendWide(1252, "\x80 caf\xE9", 6, &wide));
  EXPECT_EQ(wide, u"\u20AC caf\u00E9");
  std::string narrow;
  ASSERT_TRUE(AppendNarrow(1252, wide.data(), wide.size(), &narrow));
  EXPECT_EQ(narrow, "\x80 caf\xE9");
  narrow.clear();
  const std::u16string cjk = u"\u65E5x";
  ASSERT_TRUE(AppendNarrow(1252, cjk.data(), cjk.size(), &narrow));
  EXPECT_EQ(narrow, std::string(1, DefaultCharacter(1252)) + "x");
  EXPECT_EQ(DefaultCharacter(1252), '?');
  // No best-fit look-alikes: a fullwidth solidus must not become a path
  // separator, a macron letter not its plain letter.
  narrow.clear();
  const std::u16string lookAlikes = u"\uFF0F\u0101";
  ASSERT_TRUE(AppendNarrow(1252, lookAlikes.data(), lookAlikes.size(), &narrow));
  EXPECT_EQ(narrow, "??");
  EXPECT_FALSE(IsMultiByteCodePage(1252));
  EXPECT_FALSE(IsMultiByteCodePage(437));
}

TEST(Win32CodePages, ShiftJisHasLeadBytesAndStepsBackOverThem) {
  EXPECT_TRUE(IsMultiByteCodePage(932));
  const char text[] = "a\x82\xA0" "b\x82\xA2";  // a, HIRAGANA A, b, HIRAGANA I
  std::u16string wide;
  ASSERT_TRUE(AppendWide(932, text, 6, &wide));
  EXPECT_EQ(wide, u"a\u3042b\u3044");
  std::string back;
  ASSERT_TRUE(AppendNarrow(932, wide.data(), wide.size(), &back));
  EXPECT_EQ(back, std::string(text, 6));
  EXPECT_EQ(PreviousCharStart(932, text, 6), 4u);
  EXPECT_EQ(PreviousCharStart(932, text, 4), 3u);
  EXPECT_EQ(PreviousCharStart(932, text, 3), 1u);
  EXPECT_EQ(PreviousCharStart(932, text, 1), 0u);
  EXPECT_EQ(PreviousCharStart(932, text, 0), 0u);
  EXPECT_EQ(PreviousCharStart(1252, text, 3), 2u);
}

TEST(Win32CodePages, Utf8InvalidBytesBecomeReplacementAndPairsSurvive) {
  std::u16string wide;
  ASSERT_TRUE(AppendWide(kCodePageUtf8, "a\xFF" "b\xF0\x9F\x98\x80", 7, &wide));
  EXPECT_EQ(wide, u"a\uFFFDb\U0001F600");
  std::string narrow;
  ASSERT_TRUE(AppendNarrow(kCodePageUtf8, wide.data() + 2, 3, &narrow));
  EXPECT_EQ(narrow, "b\xF0\x9F\x98\x80");
  const char euro[] = "\xE2\x82\xAC";
  EXPECT_EQ(PreviousCharStart(kCodePageUtf8, euro, 3), 0u);
  EXPECT_TRUE(IsMultiByteCodePage(kCodePageUtf8));
}

TEST(Win32CodePages, UnknownCodePageFailsAndEmptyInputDoesNothing) {
  std::u16string wide = u"kept";
  EXPECT_FALSE(AppendWide(12345, "abc", 3, &wide));
  EXPECT_EQ(wide, u"kept");
  std::string narrow = "kept";
  EXPECT_FALSE(AppendNarrow(12345, u"abc", 3, &narrow));
  EXPECT_EQ(narrow, "kept");
  EXPECT_TRUE(AppendWide(12345, nullptr, 0, &wide));
  EXPECT_TRUE(AppendNarrow(1252, u"", 0, &narrow));
  EXPECT_EQ(narrow, "kept");
}

TEST(Win32CodePages, TestHookSelectsOtherCodePagesAndZeroRestores) {
  const std::uint32_t ansi = AnsiCodePage();
  const std::uint32_t oem = OemCodePage();
  EXPECT_EQ(ansi, GetACP());
  EXPECT_EQ(oem, GetOEMCP());
  SetCodePagesForTesting(932, 850);
  EXPECT_EQ(AnsiCodePage(), 932u);
  EXPECT_EQ(OemCodePage(), 850u);
  SetCodePagesForTesting(0, 0);
  EXPECT_EQ(AnsiCodePage(), ansi);
  EXPECT_EQ(OemCodePage(), oem);
}

TEST(Win32Classes, AsciiClassesMatchTheCRuntime) {
  using namespace charclass;
  EXPECT_EQ(ClassifyUnit(u'A'), kAlpha | kUpper | kXdigit | kPrint | kGraph);
  EXPECT_EQ(ClassifyUnit(u'z'), kAlpha | kLower | kPrint | kGraph);
  EXPECT_EQ(ClassifyUnit(u'7'), kDigit | kXdigit | kPrint | kGraph);
  EXPECT_EQ(ClassifyUnit(u'!'), kPunct | kPrint | kGraph);
  EXPECT_EQ(ClassifyUnit(u' '), kSpace | kPrint);
  EXPECT_EQ(ClassifyUnit(u'\t') & (kSpace | kCntrl | kPrint | kGraph), kSpace | kCntrl);
  EXPECT_EQ(ClassifyUnit(u'\0') & (kCntrl | kPrint), kCntrl);
}

TEST(Win32Classes, LettersBeyondAsciiAndSurrogates) {
  using namespace charclass;
  EXPECT_TRUE(ClassifyUnit(u'\u00E9') & kAlpha);
  EXPECT_TRUE(ClassifyUnit(u'\u00E9') & kLower);
  EXPECT_TRUE(ClassifyUnit(u'\u00C4') & kUpper);
  EXPECT_FALSE(ClassifyUnit(u'\u00A0') & kGraph);
  EXPECT_EQ(ToLowerUnit(u'\u00C4'), u'\u00E4');
  EXPECT_EQ(ToUpperUnit(u'\u00E4'), u'\u00C4');
  EXPECT_EQ(ToLowerUnit(u'A'), u'a');
  EXPECT_EQ(ToUpperUnit(u'5'), u'5');
  EXPECT_EQ(ClassifyUnit(0xD800), 0u);
  EXPECT_EQ(ToLowerUnit(0xDC00), 0xDC00);
  EXPECT_EQ(ToUpperUnit(0xD83D), 0xD83D);
}

TEST(Win32Collation, CaselessComparisonIgnoresCaseAndOrdersLetters) {
  EXPECT_EQ(CompareCaseless(u"abc", u"ABC"), 0);
  EXPECT_EQ(CompareCaseless(u"\u00C4\u00D6\u00DC", u"\u00E4\u00F6\u00FC"), 0);
  EXPECT_LT(CompareCaseless(u"a", u"B"), 0);
  EXPECT_GT(CompareCaseless(u"b", u"A"), 0);
  EXPECT_LT(CompareCaseless(u"", u"a"), 0);
  EXPECT_EQ(CompareCaseless(u"", u""), 0);
  // Views need not be terminated.
  const std::u16string text = u"KeyValue";
  EXPECT_EQ(CompareCaseless(std::u16string_view(text).substr(0, 3), u"key"), 0);
}

TEST(Win32Collation, NarrowCollationIsLinguisticNotByteOrder) {
  EXPECT_LT(CollateNarrow("apple", "Banana"), 0);  // byte order would put 'B' first
  EXPECT_GT(CollateNarrow("banana", "Apple"), 0);
  EXPECT_EQ(CollateNarrow("same", "same"), 0);
}

// ---------------------------------------------------------------------------
// Lock, time, memory, environment
// ---------------------------------------------------------------------------
TEST(Win32Mutex, GuardsACounterAcrossThreads) {
  Mutex mutex;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        std::lock_guard<Mutex> lock(mutex);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

TEST(Win32Time, LocalTimeFieldsAreInRange) {
  const LocalTime t = CurrentLocalTime();
  EXPECT_GE(t.year, 2020);
  EXPECT_GE(t.month, 1);
  EXPECT_LE(t.month, 12);
  EXPECT_GE(t.day, 1);
  EXPECT_LE(t.day, 31);
  EXPECT_LE(t.hour, 23);
  EXPECT_LE(t.minute, 59);
  EXPECT_LE(t.second, 60);
  EXPECT_GT(CurrentTimeSeconds(), 1577836800);  // after 2020-01-01
}

TEST(Win32Memory, FreeMemoryIsReportedAndTheHookReplacesIt) {
  EXPECT_GT(FreePhysicalMemory(), 0u);
  SetFreePhysicalMemoryForTesting(12345);
  EXPECT_EQ(FreePhysicalMemory(), 12345u);
  SetFreePhysicalMemoryForTesting(0);
  EXPECT_NE(FreePhysicalMemory(), 12345u);
}

TEST(Win32Environment, ExpandsKnownNamesAndKeepsUnknownOnes) {
  const std::u16string value(300, u'v');  // longer than the first buffer guess
  ASSERT_TRUE(SetEnvironmentVariableW(L"QM_WIN32_TEST_VAR", W(value)));
  EXPECT_EQ(ExpandEnvironment(u"%QM_WIN32_TEST_VAR%\\x"), value + u"\\x");
  EXPECT_EQ(ExpandEnvironment(u"%QM_WIN32_NO_SUCH_VAR%\\x"), u"%QM_WIN32_NO_SUCH_VAR%\\x");
  EXPECT_EQ(ExpandEnvironment(u""), u"");
  EXPECT_EQ(ExpandEnvironment(u"no references"), u"no references");
  SetEnvironmentVariableW(L"QM_WIN32_TEST_VAR", nullptr);
}

// ---------------------------------------------------------------------------
// Module path and libraries
// ---------------------------------------------------------------------------
TEST(Win32Module, PathOfAnAddressNamesItsModule) {
  std::u16string wide;
  std::string narrow;
  ASSERT_TRUE(QueryModulePath(reinterpret_cast<const void*>(&ChildProgram), &wide, &narrow));
  EXPECT_NE(Utf8(wide).find("platform_win32_test.exe"), std::string::npos) << Utf8(wide);
  EXPECT_NE(narrow.find("platform_win32_test.exe"), std::string::npos) << narrow;

  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const void* inKernel = reinterpret_cast<const void*>(GetProcAddress(kernel, "GetTickCount"));
  ASSERT_TRUE(QueryModulePath(inKernel, &wide, nullptr));
  std::u16string lower;
  for (char16_t c : wide) lower += ToLowerUnit(c);
  EXPECT_NE(Utf8(lower).find("kernel32.dll"), std::string::npos) << Utf8(wide);
}

TEST(Win32Library, LoadsASystemLibraryAndReportsAMissingOne) {
  Library kernel = Library::Open(u"kernel32.dll");
  ASSERT_TRUE(kernel.IsOpen());
  EXPECT_NE(kernel.Symbol("GetTickCount"), nullptr);
  EXPECT_EQ(kernel.Symbol("NoSuchEntryPoint"), nullptr);
  Library moved = std::move(kernel);
  EXPECT_FALSE(kernel.IsOpen());
  EXPECT_TRUE(moved.IsOpen());
  moved.Close();
  EXPECT_FALSE(moved.IsOpen());
  EXPECT_EQ(moved.Symbol("GetTickCount"), nullptr);

  std::string reason;
  Library missing = Library::Open(u"C:\\no such folder\\qm_missing.dll", &reason);
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_FALSE(reason.empty());
}

}  // namespace
}  // namespace qm::platform
