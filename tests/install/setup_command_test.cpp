// quarrymark setup against fake installed folders and doublecmd.xml files,
// and the order of the plugin lookup.
#include "tools/quarrymark/setup_command.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/test_files.h"
#include "tools/quarrymark/plugin_location.h"

namespace qm::host {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;

const char kConfig[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<doublecmd DCVersion=\"1.0.10\" ConfigVersion=\"13\">\n"
    "  <Plugins>\n"
    "    <WdxPlugins>\n"
    "      <WdxPlugin>\n"
    "        <Name>deb_wdx</Name>\n"
    "        <Path>%commander_path%/plugins/wdx/deb_wdx/deb_wdx.wdx</Path>\n"
    "        <DetectString>EXT=\"DEB\"</DetectString>\n"
    "      </WdxPlugin>\n"
    "    </WdxPlugins>\n"
    "    <WlxPlugins/>\n"
    "  </Plugins>\n"
    "</doublecmd>\n";

struct SetupRun {
  test::TempFolder temp;
  SetupPaths paths;
  std::string out, err;

  SetupRun() {
    fs::create_directories(temp.path() / "installed");
    fs::create_directories(temp.path() / "config");
    temp.Write("installed/Quarrymark.wdx", "plugin");
    temp.Write("installed/xdoc2txt", "converter");
    temp.Write("installed/Quarrymark.Sample.ini", "[Quarrymark]\nregexcount=1\n");
    paths.sourceFolder = temp.PathOf("installed") + "/";
    paths.sampleSettings = paths.sourceFolder + "Quarrymark.Sample.ini";
    paths.userFolder = temp.PathOf("data/quarrymark") + "/";
    paths.configFolder = temp.PathOf("config") + "/";
  }
  std::string Config() const { return paths.configFolder + "doublecmd.xml"; }
  std::string User(const char* name) const { return paths.userFolder + name; }

  int Run(SetupOptions options = SetupOptions()) {
    if (!options.hostRunning) options.hostRunning = [] { return false; };
    std::ostringstream o, e;
    const int code = RunSetup(paths, options, o, e);
    out = o.str();
    err = e.str();
    return code;
  }
  int Remove() {
    SetupOptions options;
    options.remove = true;
    return Run(options);
  }
  int RunDetect(const std::string& detect) {
    SetupOptions options;
    options.detectGiven = true;
    options.detectString = detect;
    return Run(options);
  }
};

std::size_t Count(const std::string& text, const std::string& piece) {
  std::size_t n = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

TEST(SetupCommand, MakesFolderLinksSettingsAndEntryOnceAndRemoveUndoesIt) {
  SetupRun s;
  s.temp.Write("config/doublecmd.xml", kConfig);
  ASSERT_EQ(s.Run(), 0) << s.err;
  EXPECT_EQ(fs::read_symlink(s.User("Quarrymark.wdx")), fs::path(s.paths.sourceFolder + "Quarrymark.wdx"));
  EXPECT_EQ(fs::read_symlink(s.User("xdoc2txt")), fs::path(s.paths.sourceFolder + "xdoc2txt"));
  EXPECT_EQ(ReadFileBytes(s.User("Quarrymark.ini")), "[Quarrymark]\nregexcount=1\n");
  EXPECT_EQ(ReadFileBytes(s.Config() + kConfigBackupSuffix), kConfig);
  const std::string registered = ReadFileBytes(s.Config());
  EXPECT_NE(registered.find("<Name>Quarrymark</Name>\n        <Path>" + s.User("Quarrymark.wdx") +
                            "</Path>\n        <DetectString></DetectString>"),
            std::string::npos)
      << registered;
  EXPECT_NE(registered.find("<DetectString>EXT=\"DEB\"</DetectString>"), std::string::npos);
  // Only the entry is new: the rest keeps Double Commander's own writing.
  std::string withoutEntry = registered;
  withoutEntry.erase(withoutEntry.find("      <WdxPlugin>\n        <Name>Quarrymark"),
                     withoutEntry.find("    </WdxPlugins>") -
                         withoutEntry.find("      <WdxPlugin>\n        <Name>Quarrymark"));
  EXPECT_EQ(withoutEntry, kConfig);

  // Again: nothing changes, not even the backup.
  fs::remove(s.Config() + kConfigBackupSuffix);
  ASSERT_EQ(s.Run(), 0) << s.err;
  EXPECT_EQ(ReadFileBytes(s.Config()), registered);
  EXPECT_FALSE(fs::exists(s.Config() + kConfigBackupSuffix));
  EXPECT_EQ(s.out.find("backup"), std::string::npos) << s.out;

  // The settings are the user's by now; --remove keeps them and the other plugins.
  s.temp.Write("data/quarrymark/Quarrymark.ini", "mine");
  ASSERT_EQ(s.Remove(), 0) << s.err;
  EXPECT_FALSE(fs::exists(fs::symlink_status(s.User("Quarrymark.wdx"))));
  EXPECT_FALSE(fs::exists(fs::symlink_status(s.User("xdoc2txt"))));
  EXPECT_EQ(ReadFileBytes(s.User("Quarrymark.ini")), "mine");
  const std::string removed = ReadFileBytes(s.Config());
  EXPECT_EQ(removed.find("Quarrymark"), std::string::npos) << removed;
  EXPECT_EQ(Count(removed, "<WdxPlugin>"), 1u);
  EXPECT_EQ(ReadFileBytes(s.Config() + kConfigBackupSuffix), registered);
  ASSERT_EQ(s.Remove(), 0) << s.err;  // nothing left to undo
  EXPECT_EQ(ReadFileBytes(s.Config()), removed);

  // Setup after removal keeps the user's settings.
  ASSERT_EQ(s.Run(), 0) << s.err;
  EXPECT_EQ(ReadFileBytes(s.User("Quarrymark.ini")), "mine");
  EXPECT_EQ(Count(ReadFileBytes(s.Config()), "<Name>Quarrymark</Name>"), 1u);
}

TEST(SetupCommand, DetectStringIsSetWhenGivenAndOtherwiseKept) {
  SetupRun s;
  s.temp.Write("config/doublecmd.xml", kConfig);
  ASSERT_EQ(s.RunDetect("SIZE>-1"), 0) << s.err;
  EXPECT_NE(ReadFileBytes(s.Config()).find("<DetectString>SIZE&gt;-1</DetectString>"), std::string::npos);
  ASSERT_EQ(s.Run(), 0) << s.err;  // the user's (or Tweak's) detect string stays
  EXPECT_NE(ReadFileBytes(s.Config()).find("<DetectString>SIZE&gt;-1</DetectString>"), std::string::npos);
  ASSERT_EQ(s.RunDetect(""), 0) << s.err;
  EXPECT_NE(ReadFileBytes(s.Config()).find("<DetectString></DetectString>"), std::string::npos);
  EXPECT_EQ(Count(ReadFileBytes(s.Config()), "<WdxPlugin>"), 2u);
}

TEST(SetupCommand, RefusedWhileDoubleCommanderRunsWithoutChangingAnything) {
  SetupRun s;
  s.temp.Write("config/doublecmd.xml", kConfig);
  SetupOptions options;
  options.hostRunning = [] { return true; };
  EXPECT_EQ(s.Run(options), 1);
  EXPECT_NE(s.err.find("Double Commander is running"), std::string::npos);
  EXPECT_FALSE(fs::exists(s.paths.userFolder));
  EXPECT_EQ(ReadFileBytes(s.Config()), kConfig);
  options.remove = true;
  EXPECT_EQ(s.Run(options), 1);
}

TEST(SetupCommand, ConfigurationsItCannotUseAreLeftAsTheyAre) {
  SetupRun s;
  // No doublecmd.xml yet: the folder is made, the user is told what to do.
  EXPECT_EQ(s.Run(), 1);
  EXPECT_NE(s.err.find("start Double Commander once"), std::string::npos) << s.err;
  EXPECT_TRUE(fs::is_symlink(s.User("Quarrymark.wdx")));
  EXPECT_FALSE(fs::exists(s.Config()));

  // Not XML: untouched, no backup.
  s.temp.Write("config/doublecmd.xml", "<doublecmd><Plugins>");
  EXPECT_EQ(s.Run(), 1);
  EXPECT_EQ(ReadFileBytes(s.Config()), "<doublecmd><Plugins>");
  EXPECT_FALSE(fs::exists(s.Config() + kConfigBackupSuffix));

  // A configuration without a plugin list gets one.
  s.temp.Write("config/doublecmd.xml", "<?xml version=\"1.0\"?>\n<doublecmd/>\n");
  ASSERT_EQ(s.Run(), 0) << s.err;
  EXPECT_NE(ReadFileBytes(s.Config()).find("<Plugins>\n    <WdxPlugins>\n      <WdxPlugin>"),
            std::string::npos)
      << ReadFileBytes(s.Config());
}

TEST(SetupCommand, AFileOfTheUsersInPlaceOfALinkIsNeverReplacedOrRemoved) {
  SetupRun s;
  s.temp.Write("config/doublecmd.xml", kConfig);
  fs::create_directories(s.paths.userFolder);
  s.temp.Write("data/quarrymark/Quarrymark.wdx", "a plugin the user built");
  EXPECT_EQ(s.Run(), 1);
  EXPECT_EQ(ReadFileBytes(s.User("Quarrymark.wdx")), "a plugin the user built");
  EXPECT_TRUE(fs::is_symlink(s.User("xdoc2txt")));
  EXPECT_EQ(s.Remove(), 1);
  EXPECT_EQ(ReadFileBytes(s.User("Quarrymark.wdx")), "a plugin the user built");
  EXPECT_FALSE(fs::exists(fs::symlink_status(s.User("xdoc2txt"))));

  // A copy equal to the installed plugin counts as set up (file systems without links).
  s.temp.Write("data/quarrymark/Quarrymark.wdx", "plugin");
  EXPECT_EQ(s.Run(), 0) << s.err;
  EXPECT_FALSE(fs::is_symlink(s.User("Quarrymark.wdx")));
  EXPECT_EQ(s.Remove(), 0) << s.err;
  EXPECT_FALSE(fs::exists(s.User("Quarrymark.wdx")));
}

TEST(PluginLocation, BesideTheProgramThenTheUsersFolderThenTheInstalledOne) {
  test::TempFolder temp;
  const std::string data = temp.PathOf("data");
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  const std::string bin = temp.PathOf("prefix/bin") + "/";
  const std::vector<PluginPlace> places = PluginPlaces(bin);
  ASSERT_EQ(places.size(), 3u);
  EXPECT_EQ(places[0].path, bin + "Quarrymark.wdx");
  EXPECT_EQ(places[1].path, data + "/quarrymark/Quarrymark.wdx");
  const std::string installed = InstalledPluginFolder(bin);
  EXPECT_EQ(installed.rfind(temp.PathOf("prefix/lib/"), 0), 0u) << installed;
  EXPECT_EQ(places[2].path, installed + "Quarrymark.wdx");

  bool found = true;
  EXPECT_EQ(LocatePlugin(places, &found), places[0].path);  // none exists: the first is named
  EXPECT_FALSE(found);
  fs::create_directories(installed);
  temp.Write(fs::relative(places[2].path, temp.path()).string(), "x");
  EXPECT_EQ(LocatePlugin(places, &found), places[2].path);
  EXPECT_TRUE(found);
  fs::create_directories(data + "/quarrymark");
  temp.Write("data/quarrymark/Quarrymark.wdx", "x");
  EXPECT_EQ(LocatePlugin(places, &found), places[1].path);
  fs::create_directories(bin);
  temp.Write("prefix/bin/Quarrymark.wdx", "x");
  EXPECT_EQ(LocatePlugin(places, &found), places[0].path);
  EXPECT_NE(DescribePluginPlaces(places).find("  user's plugin folder: " + places[1].path + "\n"),
            std::string::npos);

  ::setenv("XDG_DATA_HOME", "relative", 1);  // not absolute: ignored
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(UserPluginFolder(), "/home/someone/.local/share/quarrymark/");
}

}  // namespace
}  // namespace qm::host
