// quarrymark settings: the headless commands over a copy of the example
// settings.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/quarrymark/settings_command.h"
#include "utility_test_files.h"

namespace qm::host {
namespace {

struct Result {
  int status = 0;
  std::string out;
  std::string err;
};

Result RunCommand(const std::vector<std::string>& args, const std::string& programDir = "") {
  std::ostringstream out, err;
  std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
  std::streambuf* oldErr = std::cerr.rdbuf(err.rdbuf());
  Result r;
  r.status = RunSettingsCommand(args, programDir);
  std::cout.rdbuf(oldOut);
  std::cerr.rdbuf(oldErr);
  r.out = out.str();
  r.err = err.str();
  return r;
}

struct SettingsCommand : ::testing::Test {
  utility::test::Folder folder;
  std::string ini;

  void SetUp() override {
    const auto example = std::filesystem::path(QM_SOURCE_DIR) / "examples" / "Quarrymark.Sample.ini";
    std::filesystem::copy_file(example, folder / "Quarrymark.Sample.ini");
    ini = (folder / "Quarrymark.Sample.ini").string();
  }
};

TEST_F(SettingsCommand, CheckSaysOkForEveryExampleField) {
  const Result r = RunCommand({"check"}, folder.path().string());  // found beside the "program"
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  int n = 0;
  while (std::getline(lines, line)) {
    ++n;
    EXPECT_EQ(line, "regex" + std::to_string(n) + "\tok\tOK!");
  }
  EXPECT_GT(n, 0);
  EXPECT_EQ(r.err, "");  // the shipped example draws no warning
}

// Everything the plugin passes over in silence, each on the line it is on.
TEST_F(SettingsCommand, CheckWarnsAboutKeysThePluginPassesOver) {
  folder.Write("typos.ini", utility::test::IniText(
                                {"[Quarrymark]", "regexcount=3", "regex1=a", "regex1name=First",
                                 "regex1type=Count", "regx2name=Second", "regex2=b", "FileMemory=10",
                                 "filememory=20", "regex3name=<<<END_OF_TEXT", "Third", "regex9=x",
                                 "END_OF_TEXT", "regex3=c", "regex4=d", "SortFields=maybe",
                                 "regex1flags=0x10", "[Quarrymark_filters]", "pdf=xdoc"}));
  const std::string path = (folder / "typos.ini").string();
  const Result r = RunCommand({"check", "--ini", path});
  EXPECT_EQ(r.status, 0);  // warnings do not fail the check
  EXPECT_EQ(r.out, "regex1\tok\tOK!\nregex2\tok\tOK!\nregex3\tok\tOK!\n");
  const std::string at = path + ":";
  EXPECT_EQ(r.err,
            at + "5: warning: value of regex1type is not a number (\"Count\"); its default is used\n" +
            at + "6: warning: unknown key regx2name; the plugin ignores it\n" +
            at + "7: warning: field 2 has no name (regex2name); it is offered as PCRE-RegEx2\n" +
            at + "9: warning: key filememory is given again (first on line 8); only one of them is "
                 "read\n" +
            at + "15: warning: key regex4 belongs to field 4, beyond regexcount=3; the plugin does not "
                 "read it\n" +
            at + "16: warning: value of SortFields is not 0/1, yes/no, true/false or on/off "
                 "(\"maybe\"); its default is used\n");
}

TEST_F(SettingsCommand, CheckReportsBrokenExpressionsWithTheDialogsTexts) {
  folder.Write("broken.ini", utility::test::IniText({"[Quarrymark]", "regexcount=3", "regex1=(abc",
                                                     "regex2=\\x{100}", "regex3="}));
  const Result r = RunCommand({"check", "--ini", (folder / "broken.ini").string()});
  EXPECT_EQ(r.status, 1);
  std::istringstream lines(r.out);
  std::string first, second, third;
  std::getline(lines, first);
  std::getline(lines, second);
  std::getline(lines, third);
  // Positions as Quarrymark_error.log counts them, from 0.
  EXPECT_EQ(first, "regex1\terror\tmissing ) at position 4");
  EXPECT_EQ(second.rfind("regex2\terror\tANSI: ", 0), 0u);
  EXPECT_EQ(third, "regex3\tok\tOK!");  // an empty stored expression is ".*"
}

TEST_F(SettingsCommand, ListAndTest) {
  const Result list = RunCommand({"list", "--ini", ini});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out.rfind("-->", 0), 0u);
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 11);  // regexcount=11
  const Result all = RunCommand({"list", "--all", "--ini", ini});
  EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 999);

  folder.Write("text.txt", "one two\r\nthree");
  folder.Write("field.ini", utility::test::IniText({"[Quarrymark]", "regex1=\\w+"}));
  const Result test =
      RunCommand({"test", "--ini", (folder / "field.ini").string(), "1", (folder / "text.txt").string()});
  EXPECT_EQ(test.status, 0) << test.err;
  EXPECT_EQ(test.out, "0\t3\tone\n4\t7\ttwo\n9\t14\tthree\n");
  const Result byKey = RunCommand(
      {"test", "--ini", (folder / "field.ini").string(), "regex1", "--text", (folder / "text.txt").string()});
  EXPECT_EQ(byKey.out, test.out) << byKey.err;

  folder.Write("lines.ini", utility::test::IniText({"[Quarrymark]", "regex1=(?s).+"}));
  const Result sample = RunCommand({"test", "--ini", (folder / "lines.ini").string(), "1"});
  EXPECT_EQ(sample.out.rfind("0\t214\tThe quick brown fox jumps over the lazy dog!\\r\\n", 0), 0u);

  const Result none = RunCommand({"test", "--ini", ini, "1", (folder / "text.txt").string()});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "No match!\n");
}

TEST_F(SettingsCommand, ResaveWritesTheSameSettingsBack) {
  const Result r = RunCommand({"resave", "--ini", ini});
  EXPECT_EQ(r.status, 0) << r.err;
  const Result check = RunCommand({"check", "--ini", ini});
  EXPECT_EQ(check.status, 0);
  const std::string saved = utility::test::ReadAll(folder / "Quarrymark.Sample.ini");
  EXPECT_NE(saved.find("regex4=(?m)^#+\\s*(.+?)\\s*$\r\n"), std::string::npos);
  EXPECT_NE(saved.find("FileMemory=10\r\n"), std::string::npos);
}

TEST_F(SettingsCommand, UsageAndFileErrors) {
  EXPECT_EQ(RunCommand({}).status, 2);
  EXPECT_EQ(RunCommand({"frobnicate"}).status, 2);
  EXPECT_EQ(RunCommand({"check", "--ini"}).status, 2);
  EXPECT_EQ(RunCommand({"test", "--ini", ini}).status, 2);
  EXPECT_EQ(RunCommand({"test", "--ini", ini, "1000"}).status, 2);
  EXPECT_EQ(RunCommand({"test", "--ini", ini, "1", (folder / "absent.txt").string()}).status, 2);
  const Result unknown = RunCommand({"check", "--colour", "--ini", ini});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err.rfind("quarrymark settings: unknown option --colour\n", 0), 0u) << unknown.err;
  EXPECT_EQ(RunCommand({"check", "--all", "--ini", ini}).status, 2);
  const Result missing = RunCommand({"check"}, (folder / "empty").string());
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err,
            "Could not load the INI file!\n(neither \"Quarrymark.ini\" nor "
            "\"Quarrymark.Sample.ini\")\n");
}

// An unusable file is named with the reason; a file holding a NUL byte is
// checked as the plugin reads it and never resaved without the byte.
TEST_F(SettingsCommand, UnusableFilesAndNulBytesAreReported) {
  const Result folderCheck = RunCommand({"check", "--ini", folder.path().string()});
  EXPECT_EQ(folderCheck.status, 2);
  EXPECT_NE(folderCheck.err.find(": not a regular file"), std::string::npos) << folderCheck.err;
  const std::string big = (folder / "big.ini").string();
  std::ofstream(big, std::ios::binary) << std::string(5242881, ';');
  const Result bigCheck = RunCommand({"resave", "--ini", big});
  EXPECT_EQ(bigCheck.status, 2);
  EXPECT_NE(bigCheck.err.find("larger than the limit of 5242880 bytes"), std::string::npos);

  // Not "nul.ini": on Windows that names the NUL device.
  const std::string nul = (folder / "nul-byte.ini").string();
  std::string text = "[Quarrymark]\r\nregexcount=2\r\nregex1=(a";
  text += '\0';
  text += "\r\nregex2=b\r\n";
  std::ofstream(nul, std::ios::binary) << text;
  const Result check = RunCommand({"check", "--ini", nul});
  EXPECT_EQ(check.status, 1);  // "(a" does not compile, as in the plugin
  EXPECT_EQ(check.out.substr(0, 13), "regex1\terror\t");
  EXPECT_NE(check.out.find("\nregex2\tok\t"), std::string::npos) << check.out;
  EXPECT_NE(check.err.find("line 3 holds a NUL byte"), std::string::npos) << check.err;
  const Result resave = RunCommand({"resave", "--ini", nul});
  EXPECT_EQ(resave.status, 2);
  EXPECT_NE(resave.err.find("line 3 holds a NUL byte"), std::string::npos) << resave.err;
  EXPECT_EQ(utility::test::ReadAll(folder / "nul-byte.ini"), text);
}

}  // namespace
}  // namespace qm::host
