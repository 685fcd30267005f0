// The compile-error log: entry format, byte-order mark, append or restart at
// the size limit, and LogErrors.
#include <regex>

#include "config_fixture.h"

namespace qm::plugin::test {
namespace {

const std::string kBom = "\xEF\xBB\xBF";
// The first line of an entry: day-month-year hour:minute:second.
const std::string kTime = R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d\r\n)";

bool FullMatch(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

class ErrorLog : public ConfigTest {
 protected:
  // Loads settings with one broken, unnamed third field.
  void LoadBroken(const std::string& extra = "LogErrors=true") {
    Load(Ini({extra, "regexcount=3", "regex1=a", "regex2=b", "regex3=("}));
  }
  std::string Log() const { return qm::test::ReadFileBytes(LogPath()); }
};

TEST_F(ErrorLog, UnnamedAnsiFailureStartsANewLogWithTheMark) {
  LoadBroken();
  EXPECT_TRUE(FullMatch(Log(), kBom + kTime + R"(regex3 \(ANSI\): "\(" [^\r\n]+ at position 1\r\n)"))
      << Log();
}

TEST_F(ErrorLog, NamedFieldsQuoteTheirNameAndOtherVariantsShowTheUtf8Form) {
  // "\C" inside a lookbehind is refused only in UTF-8 mode.
  Load(Ini({"regexcount=2", "regex1=(?<=\\C)\xC3\xA9", "regex1name=Caf\xC3\xA9 \"x\"", "regex2=(",
            "regex2name=Two"}));
  const std::string log = Log();
  EXPECT_TRUE(FullMatch(log, kBom + kTime +
                                 "regex1 \"Caf\xC3\xA9 \"x\"\" \\(UTF-8\\): \"\\(\\?<=\\\\C\\)\xC3\xA9\" "
                                 "[^\\r\\n]+ at position \\d+\\r\\n" +
                                 kTime + "regex2 \"Two\" \\(ANSI\\): \"\\(\" [^\\r\\n]+ at position 1\\r\\n"))
      << log;
}

TEST_F(ErrorLog, AnsiFailureShowsTheAnsiForm) {
  Load(Ini({"regexcount=1", "regex1=\xC3\xA9(", "regex1flags=1"}));  // OEM field: é is 0x82
  EXPECT_NE(Log().find("regex1 (ANSI): \"\x82(\""), std::string::npos) << Log();
}

TEST_F(ErrorLog, AppendsUpToOneMebibyteAndRestartsAbove) {
  const std::string exact(1048576, 'x');
  folder_.Write("Quarrymark_error.log", exact);
  LoadBroken();
  std::string log = Log();
  ASSERT_GT(log.size(), exact.size());
  EXPECT_EQ(log.substr(0, exact.size()), exact);
  EXPECT_TRUE(FullMatch(log.substr(exact.size()), kTime + "regex3 .*\\r\\n")) << log.substr(exact.size());

  folder_.Write("Quarrymark_error.log", exact + "y");
  LoadBroken();
  log = Log();
  EXPECT_TRUE(FullMatch(log, kBom + kTime + "regex3 .*\\r\\n")) << log.substr(0, 200);
}

TEST_F(ErrorLog, ExistingEmptyLogGetsTheMarkAndSmallLogsGrow) {
  folder_.Write("Quarrymark_error.log", "");
  LoadBroken();
  const std::string first = Log();
  EXPECT_EQ(first.substr(0, 3), kBom);
  LoadBroken();
  const std::string second = Log();
  EXPECT_EQ(second.substr(0, first.size()), first);
  EXPECT_EQ(second.size(), 2 * first.size() - 3);
}

TEST_F(ErrorLog, LogErrorsOffLeavesTheLogUntouched) {
  LoadBroken("LogErrors=off");
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
  folder_.Write("Quarrymark_error.log", "old");
  LoadBroken("LogErrors=0");
  EXPECT_EQ(Log(), "old");
  LoadBroken("LogErrors=maybe");  // unusable: the default, on
  EXPECT_NE(Log().find("regex3"), std::string::npos);
}

TEST_F(ErrorLog, EmptyExpressionsAndCleanLoadsWriteNothing) {
  Load(Ini({"regexcount=2", "regex1=a"}));  // field 2 is empty: flagged, not logged
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
  EXPECT_TRUE(Field(1).compileError);
}

}  // namespace
}  // namespace qm::plugin::test
