// Names, existence, sizes with the cache-key part, the read budget and the
// conversion helpers' choice of code page.
#include <gtest/gtest.h>

#include <filesystem>

#include "plugin/content/file_access.h"
#include "plugin/evaluation/code_page.h"
#include "support/test_files.h"

namespace qm::plugin {
namespace {

TEST(LongPath, UncAndDriveNamesGetTheirExtendedForms) {
  EXPECT_EQ(LongPathForm(u"\\\\server\\share\\a.txt"), u"\\\\?\\UNC\\server\\share\\a.txt");
  EXPECT_EQ(LongPathForm(u"C:\\dir\\a.txt"), u"\\\\?\\C:\\dir\\a.txt");
  EXPECT_EQ(LongPathForm(u"\\single"), u"\\\\?\\\\single");
  const std::u16string short259 = u"C:\\" + std::u16string(256, u'a');
  const std::u16string long260 = short259 + u"b";
  EXPECT_EQ(MakeLongPath(short259), short259);
  // Only Windows has the extended form; elsewhere names are used as given.
  EXPECT_EQ(MakeLongPath(long260), platform::kHasLongPathForm ? LongPathForm(long260) : long260);
}

TEST(FileAccess, ExistenceSizeAndTheCacheKeyPart) {
  qm::test::TempFolder folder;
  const std::string file = folder.Write("seven.txt", "1234567");
  const std::string dir = folder.path().u8string();
  const std::string missing = folder.PathOf("missing");
  EXPECT_TRUE(FileExists(platform::FileName{file.c_str(), nullptr}));
  EXPECT_FALSE(FileExists(platform::FileName{dir.c_str(), nullptr}));
  EXPECT_TRUE(FileExists(platform::FileName{dir.c_str(), nullptr}, true));  // find-first sees folders
  EXPECT_FALSE(FileExists(platform::FileName{missing.c_str(), nullptr}));
  EXPECT_FALSE(FileExists(platform::FileName{missing.c_str(), nullptr}, true));

  std::string key = "k";
  EXPECT_EQ(QueryFileSize(platform::FileName{file.c_str(), nullptr}, &key), 7);
  platform::FileInfo info;
  ASSERT_TRUE(platform::QueryFileInfo(platform::FileName{file.c_str(), nullptr}, &info));
  std::string expected = "k";
  for (const std::uint32_t word : {info.attributes, info.lastWriteLow, info.lastWriteHigh, 0u, 7u}) {
    AppendLe32(&expected, word);
  }
  EXPECT_EQ(key, expected);
  key.clear();
  EXPECT_EQ(QueryFileSize(platform::FileName{missing.c_str(), nullptr}, &key), -1);
  EXPECT_TRUE(key.empty());
  EXPECT_EQ(QueryFileSize(platform::FileName{dir.c_str(), nullptr}), 0);
}

TEST(FileAccess, ReadBudgetIsTheSmallerOfSettingAndHalfTheFreeMemory) {
  struct Case {
    std::int32_t fileMemory;
    std::uint64_t freeBytes;
    std::uint32_t budget;
  } cases[] = {
      {10, 1ull << 40, 10},          {500, 1ull << 40, 500},     {1000, 1ull << 40, 500},
      {1, 1ull << 40, 5},            {100, 20ull << 20, 10},     {100, 5242879, 5},
      {3, 1, 5},
  };
  for (const Case& c : cases) {
    PluginSettings settings;
    settings.fileMemory = c.fileMemory;
    platform::SetFreePhysicalMemoryForTesting(c.freeBytes);
    EXPECT_EQ(ReadBudgetMegabytes(settings), c.budget) << c.fileMemory << ' ' << c.freeBytes;
  }
  platform::SetFreePhysicalMemoryForTesting(0);
}

TEST(FileAccess, ConversionsPickUtf8AnsiOrOem) {
  PluginSettings settings;
  settings.ansiCodePage = 1252;
  settings.oemCodePage = 437;
  std::u16string wide = u">";
  ToWide(settings, "\xC3\xA9", 2, &wide, false, true);  // UTF-8 whatever the OEM flag
  ToWide(settings, "\xE9", 1, &wide, true, false);
  ToWide(settings, "\x82", 1, &wide, true, true);
  ToWide(settings, nullptr, 5, &wide, true, false);
  EXPECT_EQ(wide, u">\u00E9\u00E9\u00E9");
  std::string narrow;
  ToNarrow(settings, u"\u00E9", 1, &narrow, false, false);
  ToNarrow(settings, u"\u00E9", 1, &narrow, true, false);
  ToNarrow(settings, u"\u00E9", 1, &narrow, true, true);
  ToNarrow(settings, u"\u65E5", 1, &narrow, true, false);
  ToNarrow(settings, u"x", 0, &narrow, true, false);
  EXPECT_EQ(narrow, "\xC3\xA9\xE9\x82?");
}

}  // namespace
}  // namespace qm::plugin
