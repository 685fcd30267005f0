// Outside In access through the exports, with the fake libraries: loading
// and its call sequence, the filter extraction and the full-text field.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "filter_fixture.h"
#include "plugin/filters/outside_in.h"

namespace qm::test {
namespace {

using plugin::ResolveOutsideInFolder;

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A build-time folder as the plugin must be given it: under Wine the build
// tree's POSIX paths are on drive Z:.
std::string NativeFolder(const std::string& folder) {
#ifdef _WIN32
  if (!folder.empty() && folder[0] == '/') return "Z:" + folder;
#endif
  return folder;
}
const std::string kOitDir = NativeFolder(QM_FAKE_OIT_DIR);
const std::string kOitMissingDir = NativeFolder(kOitMissingDir);

#ifdef _WIN32
const std::string kDa = "sccda.dll";
#else
const std::string kDa = "libsc_da.so";
#endif

void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

TEST(OutsideInFolder, FormsOfTheSetting) {
  std::u16string folder;
  SetEnv("QM_TEST_OIT", "/opt/oit");
#ifdef _WIN32
  const std::u16string module = u"C:\\plugins\\";
  ASSERT_TRUE(ResolveOutsideInFolder(u"D:/oit/lib", module, &folder));
  EXPECT_EQ(folder, u"D:\\oit\\lib\\");
  ASSERT_TRUE(ResolveOutsideInFolder(u"\"D:\\oit\"", module, &folder));
  EXPECT_EQ(folder, u"D:\\oit\\");
  ASSERT_TRUE(ResolveOutsideInFolder(u"'\\\\srv\\oit\\'", module, &folder));
  EXPECT_EQ(folder, u"\\\\srv\\oit\\");
  ASSERT_TRUE(ResolveOutsideInFolder(u"%QM_TEST_OIT%\\x", module, &folder));
  EXPECT_EQ(folder, u"/opt/oit\\x\\");
  ASSERT_TRUE(ResolveOutsideInFolder(u"\\oit", module, &folder));  // one backslash: relative
  EXPECT_EQ(folder, u"C:\\plugins\\oit\\");
#else
  const std::u16string module = u"/plugins/";
  ASSERT_TRUE(ResolveOutsideInFolder(u"\\opt\\oit", module, &folder));  // backslashes: absolute
  EXPECT_EQ(folder, u"/opt/oit/");
  ASSERT_TRUE(ResolveOutsideInFolder(u"'/opt/oit/'", module, &folder));
  EXPECT_EQ(folder, u"/opt/oit/");
  ASSERT_TRUE(ResolveOutsideInFolder(u"\"$QM_TEST_OIT/x\"", module, &folder));
  EXPECT_EQ(folder, u"/opt/oit/x/");
#endif
  ASSERT_TRUE(ResolveOutsideInFolder(u"oit", module, &folder));
  EXPECT_EQ(folder, module + u"oit" + platform::kPathSeparator);
  ASSERT_TRUE(ResolveOutsideInFolder(u"", module, &folder));
  EXPECT_EQ(folder, module);
  ASSERT_TRUE(ResolveOutsideInFolder(u"\"", module, &folder));  // one quote is a name
  EXPECT_EQ(folder, module + u"\"" + platform::kPathSeparator);
}

// The content-access fake as loaded by the plugin (the same instance), for
// its record of calls and its count of open handles.
class FakeLibrary {
 public:
  explicit FakeLibrary(const std::string& folder)
      : library_(platform::Library::Open(U16(folder + "/" + kDa))) {}
  std::string Calls() const { return Fn<const char* (*)()>("FakeOitCalls")(); }
  int OpenHandles() const { return Fn<int (*)()>("FakeOitOpenHandles")(); }
  void Reset() const { Fn<void (*)()>("FakeOitReset")(); }

 private:
  template <typename F>
  F Fn(const char* name) const {
    F f = reinterpret_cast<F>(library_.Symbol(name));
    if (f == nullptr) throw std::runtime_error(std::string("no ") + name);
    return f;
  }
  platform::Library library_;
};

std::string OitSettings(const std::vector<Field>& fields, const std::string& folder,
                        const std::string& globals = "") {
  return FilterSettings(fields, "odt=oit\r\nunk=oit\r\nrderr=oit\r\nnotext=oit\r\n",
                        "OitDllPath32=" + folder + "\r\nOitDllPath64=" + folder + "\r\n" + globals);
}

int FieldCount(LoadedPlugin& plugin) {
  int n = 0;
  std::string name, units;
  while (plugin.SupportedField(n, &name, &units) != ft_nomorefields) ++n;
  return n;
}

// Unloading the plugin runs its detach work, which de-initialises the
// libraries: a plugin the system could not unload would keep them until the
// process ends.
TEST(OutsideInLoad, UnloadingThePluginDeInitialisesTheLibraries) {
  LoadedPlugin plugin(OitSettings({{"x", 1}}, kOitDir));
  const FakeLibrary fake(kOitDir);
  fake.Reset();
  plugin.Unload();
  EXPECT_EQ(fake.Calls(), "DADeInit\n");
}

TEST(OutsideInLoad, OptionsInOrderAndTheFulltextField) {
  LoadedPlugin plugin(OitSettings({{"x", 1}}, kOitDir));
  const FakeLibrary fake(kOitDir);
  const std::string calls = fake.Calls();
  const std::string expected =
      "DAInitEx 136 3\n"
      "DASetOption 0 1 4 347078656\n"
      "DASetOption 0 133 4 1\n"
      "DASetOption 0 338490 4 2\n"
      "DASetOption 0 338589 4 1\n"
      "DASetOption 0 273253 4 1\n"
      "DASetOption 0 112 16 128 8192 5120 7\n";
  EXPECT_EQ(calls.substr(calls.rfind("DAInitEx")), expected);
  ASSERT_EQ(FieldCount(plugin), 2);
  std::string name, units;
  EXPECT_EQ(plugin.SupportedField(1, &name, &units), ft_fulltext);
  EXPECT_EQ(name, "Oracle Outside In fulltext search");
}

TEST(OutsideInLoad, NotUsedWhenIncompleteFailingOrTheHostIsOld) {
  {
    LoadedPlugin old(OitSettings({{"x", 1}}, kOitDir), 2, 10);
    EXPECT_EQ(FieldCount(old), 1);
  }
  {
    LoadedPlugin missing(OitSettings({{"x", 1}}, kOitMissingDir));
    EXPECT_EQ(FieldCount(missing), 1);
    // Kind-1 filters then fail, and the file is read as it is.
    const std::string doc = missing.folder().Write("a.odt", "xx");
    EXPECT_EQ(missing.ValueW(doc, 0).Int(), 2);
  }
  {
    SetEnv("QM_FAKE_OIT_INIT_FAIL", "1");
    LoadedPlugin failing(OitSettings({{"x", 1}}, kOitDir));
    EXPECT_EQ(FieldCount(failing), 1);
#ifdef _WIN32
    _putenv_s("QM_FAKE_OIT_INIT_FAIL", "");
#else
    unsetenv("QM_FAKE_OIT_INIT_FAIL");
#endif
  }
  {
    // A relative folder is taken from the plugin's folder.
    LoadedPlugin relative(OitSettings({{"x", 1}}, "nowhere"));
    EXPECT_EQ(FieldCount(relative), 1);
  }
}

TEST(OutsideInFilter, TextIsMatchedAndFailuresFallBack) {
  LoadedPlugin plugin(OitSettings({{"a", 1}, {"b", 0}}, kOitDir));
  const FakeLibrary fake(kOitDir);
  const std::string doc = plugin.folder().Write("a.odt", "banana");
  EXPECT_EQ(plugin.ValueW(doc, 0).Int(), 3);
  EXPECT_NE(fake.Calls().find("DAOpenDocument 4 a.odt 0\nDAGetFileIdEx 1\nTAOpenText\nTAReadFirst 32768\n"),
            std::string::npos);
  // Unknown format, no text, a read error: the filter fails and the file is
  // read as it is ("unkaaa" read raw has three a's, also as UTF-16 text).
  const std::string big(70000, 'a');  // three reads, the second one fails
  for (const char* name : {"u.unk", "n.notext", "r.rderr"}) {
    const std::string file = plugin.folder().Write(name, big);
    EXPECT_EQ(plugin.ValueW(file, 0).Int(), 70000) << name;
  }
  EXPECT_EQ(fake.OpenHandles(), 0);

  LoadedPlugin strict(OitSettings({{"a", 1}}, kOitDir, "NormalSearchForFilterFail=0\r\n"));
  EXPECT_EQ(strict.ValueW(plugin.folder().PathOf("u.unk"), 0).code, ft_fileerror);
  EXPECT_EQ(strict.ValueW(plugin.folder().PathOf("r.rderr"), 0).code, ft_fileerror);
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(OutsideInFilter, AnAnswerFoundEarlyEndsReadingAsASuccess) {
  // 6 MiB of text with FileMemory 5: the first piece is matched before the
  // end, the Boolean has its answer, and reading stops there. Were that a
  // failure, the request would end in a file error with these settings.
  LoadedPlugin plugin(OitSettings({{"needle", 0}, {"needle", 4}}, kOitDir,
                                  "FileMemory=5\r\nNormalSearchForFilterFail=0\r\nResultCache=0\r\n"));
  const FakeLibrary fake(kOitDir);
  std::string text = "needle\r\n";
  text += std::string(3 * 1048576, 'z');
  const std::string doc = plugin.folder().Write("n.odt", text);
  fake.Reset();
  const Answer boolean = plugin.ValueW(doc, 0);
  EXPECT_EQ(boolean.code, ft_boolean);
  EXPECT_EQ(boolean.Int(), 1);
  const Answer first = plugin.ValueW(doc, 1);
  EXPECT_EQ(first.code, ft_stringw);
  EXPECT_EQ(first.Wide(), u"needle ");
  // One extraction per request: neither was repeated without the filter.
  EXPECT_EQ(Occurrences(fake.Calls(), "DAOpenDocument"), 2);
  EXPECT_EQ(Occurrences(fake.Calls(), "TAReadFirst"), 2);
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(OutsideInFulltext, PiecesOfTheHostsBufferThenEmpty) {
  LoadedPlugin plugin(OitSettings({{"x", 1}}, kOitDir));
  const FakeLibrary fake(kOitDir);
  std::string text(1250, 'q');
  text[3] = '\0';  // zero units reach the host as blanks
  const std::string doc = plugin.folder().Write("f.odt", text);
  const int field = 1;
  const Answer a = plugin.ValueW(doc, field, 0, 1000, 0);
  EXPECT_EQ(a.code, ft_fulltextw);
  EXPECT_EQ(a.Wide().size(), 499u);
  EXPECT_EQ(a.Wide().substr(0, 5), u"qqq q");
  const Answer b = plugin.ValueW(doc, field, 0, 1000, 998);
  EXPECT_EQ(b.code, ft_fulltextw);
  EXPECT_EQ(b.Wide().size(), 499u);
  const Answer c = plugin.ValueW(doc, field, 0, 1000, 1996);
  EXPECT_EQ(c.code, ft_fulltextw);
  EXPECT_EQ(c.Wide().size(), 252u);
  EXPECT_EQ(plugin.ValueW(doc, field, 0, 1000, 2500).code, ft_fieldempty);
  EXPECT_EQ(plugin.ValueW(doc, field, 0, 1000, -1).code, ft_fieldempty);
  EXPECT_EQ(fake.OpenHandles(), 0);

  // Excluded formats (1999 always), ANSI requests: empty, nothing left open.
  const std::string unknown = plugin.folder().Write("u.unk", "abc");
  EXPECT_EQ(plugin.ValueW(unknown, field, 0, 1000, 0).code, ft_fieldempty);
  EXPECT_EQ(plugin.ValueA(doc, field, 0, 1000, 0).code, ft_fieldempty);
}

TEST(OutsideInFulltext, TextBeyondTheLimitIsReadOnAsTheHostTakesIt) {
  LoadedPlugin plugin(OitSettings({{"x", 1}}, kOitDir,
                                  "FileMemory=5\r\nOitFulltextExclude=1500\r\n"));
  const FakeLibrary fake(kOitDir);
  std::string text;
  for (int i = 0; text.size() < 3 * 1048576 + 777; ++i) text += std::to_string(i) + ' ';
  const std::string doc = plugin.folder().Write("big.odt", text);
  std::u16string got;
  std::int64_t offset = 0;
  for (int guard = 0; guard < 100; ++guard) {
    const Answer a = plugin.ValueW(doc, 1, 0, 1 << 20, static_cast<int>(offset));
    if (a.code != ft_fulltextw) break;
    const std::u16string piece = a.Wide();
    got += piece;
    offset += static_cast<std::int64_t>(piece.size()) * 2;
  }
  EXPECT_EQ(got.size(), text.size());
  EXPECT_TRUE(got == U16(text));
  EXPECT_EQ(fake.OpenHandles(), 0);
  // A document left half-read is closed by the host's -1.
  EXPECT_EQ(plugin.ValueW(doc, 1, 0, 100, 0).code, ft_fulltextw);
  EXPECT_EQ(fake.OpenHandles(), 2);
  EXPECT_EQ(plugin.ValueW(doc, 1, 0, 100, -1).code, ft_fieldempty);
  EXPECT_EQ(fake.OpenHandles(), 0);
  const std::string excluded = plugin.folder().Write("x.excl", "abc");
  EXPECT_EQ(plugin.ValueW(excluded, 1, 0, 1000, 0).code, ft_fieldempty);
  EXPECT_EQ(fake.OpenHandles(), 0);
}

#ifdef QM_HOST_PROGRAM
// The host's fulltext command reads the field piece by piece as a host does.
TEST(OutsideInFulltext, HostCommandPrintsTheWholeText) {
  LoadedPlugin plugin(OitSettings({{"x", 1}}, kOitDir));
  std::string text;
  for (int i = 0; text.size() < 5000; ++i) text += "word" + std::to_string(i) + "\n";
  const std::string doc = plugin.folder().Write("h.odt", text);
  std::string plugin_path;
  for (const auto& entry : std::filesystem::directory_iterator(plugin.folder().path())) {
    if (entry.path().extension() == ".wdx") plugin_path = entry.path().u8string();
  }
  platform::ChildProcess host = platform::ChildProcess::Start(
      U16(QM_HOST_PROGRAM), {U16("--plugin"), U16(plugin_path), U16("fulltext"), U16(doc), U16("--piece"), U16("999")});
  ASSERT_TRUE(host.IsRunning());
  std::string out;
  char buffer[4096];
  std::int64_t n;
  while ((n = host.ReadOutput(buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  EXPECT_EQ(host.Wait(), 0);
  EXPECT_EQ(out, text);
}
#endif

TEST(OutsideInFilter, ComparisonsReadTheExtractedTextInBlocks) {
  // FileMemory 5: 2.5 MiB per document and block, so 6 MiB of extracted text
  // takes three blocks. The second document has extra lines that do not
  // match, so its blocks are cut elsewhere.
  LoadedPlugin plugin(OitSettings({{"(?m)^\\d+ record$", 7}}, kOitDir, "FileMemory=5\r\n"));
  const FakeLibrary fake(kOitDir);
  const auto compare = plugin.Export<decltype(&ContentCompareFilesW)>("ContentCompareFilesW");
  const auto files = [&](const std::string& a, const std::string& b) {
    std::u16string wa = U16(a), wb = U16(b);
    return compare(nullptr, 10000, reinterpret_cast<QmWideChar*>(wa.data()),
                   reinterpret_cast<QmWideChar*>(wb.data()), nullptr);
  };
  std::string left, right;
  for (int i = 0; i < 200000; ++i) {
    const std::string line = std::to_string(1000000 + i) + " record\n";
    left += line;
    if (i % 7 == 0) right += "note " + std::string(static_cast<std::size_t>(i % 50), '-') + "\n";
    right += line;
  }
  const std::string a = plugin.folder().Write("a.odt", left);
  const std::string b = plugin.folder().Write("b.odt", right);
  fake.Reset();
  EXPECT_EQ(files(a, b), 101);
  EXPECT_EQ(Occurrences(fake.Calls(), "TAReadFirst 32768\n"), 2);
  EXPECT_NE(fake.Calls().find("DAOpenDocument 4 a.odt 0\nDAGetFileIdEx 1\nTAOpenText\n"),
            std::string::npos);
  std::string changed = right;
  changed[changed.size() - 100] = 'X';
  EXPECT_EQ(files(a, plugin.folder().Write("c.odt", changed)), 0);
  // A document whose text fails ends the comparison with every handle closed.
  EXPECT_EQ(files(a, plugin.folder().Write("d.rderr", std::string(70000, 'a'))), -3);
  EXPECT_EQ(files(plugin.folder().Write("e.unk", "1 record\n"), a), -3);
  EXPECT_EQ(fake.OpenHandles(), 0);
}

}  // namespace
}  // namespace qm::test
