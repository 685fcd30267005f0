// Requests on what is not an ordinary file, and on names that are not
// ordinary text: none may block, read without end, or be unreachable.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "support/plugin_loader.h"

namespace qm::test {
namespace {

// One field of each kind that reads content, then a filename-only Count.
const char* const kSettings =
    "[Quarrymark]\r\nregexcount=5\r\n"
    "regex1=.\r\nregex1type=-1\r\n"
    "regex2=a\r\nregex2type=1\r\n"
    "regex3=(.+)\r\nregex3type=4\r\nregex3replace=$1\r\n"
    "regex4=x\r\nregex4type=0\r\n"
    "regex5=\\\\\r\nregex5type=1\r\nregex5flags=64\r\n";

// Runs call on its own thread and fails when it has not returned within a
// generous time. A call stuck in opening the FIFO at fifo is then released
// (a reader-writer open of it), so that a failing test still ends.
void ExpectReturns(const std::function<void()>& call, const std::string& fifo = "") {
  std::packaged_task<void()> task(call);
  std::future<void> done = task.get_future();
  std::thread worker(std::move(task));
  const bool returned = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  if (!returned && !fifo.empty()) {
    const int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  }
  worker.join();
  EXPECT_TRUE(returned) << "the request blocked";
}

TEST(SpecialFiles, FifoSocketAndDevicesAreFileErrorsAtOnce) {
  LoadedPlugin plugin(kSettings);
  const std::string fifo = plugin.folder().PathOf("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string socketPath = plugin.folder().PathOf("sock");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  for (const std::string& name : {fifo, socketPath, std::string("/dev/zero"), std::string("/dev/null")}) {
    for (int field = 0; field < 4; ++field) {
      for (int flags : {0, 1}) {
        ExpectReturns([&] {
          EXPECT_EQ(plugin.ValueW(name, field, flags).code, ft_fileerror) << name << " " << field;
          EXPECT_EQ(plugin.ValueA(name, field, flags).code, ft_fileerror) << name << " " << field;
        }, fifo);
      }
    }
  }
  ::close(sock);
}

TEST(SpecialFiles, PseudoFilesAreReadOnlyUpToTheirSize) {
  // /proc files report size 0 but deliver data: they are read as empty.
  LoadedPlugin plugin(kSettings);
  ExpectReturns([&] {
    const Answer count = plugin.ValueW("/proc/self/status", 1);
    EXPECT_EQ(count.code, ft_numeric_32);
    EXPECT_EQ(count.Int(), 0);
    EXPECT_EQ(plugin.ValueW("/proc/self/status", 3).Int(), 0);
  });
}

TEST(SpecialFiles, SettingsFileThatIsAFifoIsNotWaitedFor) {
  // The plugin falls back to the sample file beside it, as for a missing file.
  const std::string sample = "[Quarrymark]\r\nregexcount=1\r\nregex1=a\r\nregex1type=1\r\nregex1name=Sample\r\n";
  std::unique_ptr<LoadedPlugin> plugin;
  ExpectReturns([&] {
    plugin = std::make_unique<LoadedPlugin>("", 2, 11, false);
    plugin->folder().Write("Quarrymark.Sample.ini", sample);
    ASSERT_EQ(::mkfifo(plugin->folder().PathOf("Quarrymark.ini").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(plugin->folder().PathOf("regex1.txt").c_str(), 0600), 0);
    plugin->SetDefaultParams(2, 11);
  });
  if (!plugin) return;
  std::string name, units;
  EXPECT_EQ(plugin->SupportedField(0, &name, &units), ft_numeric_32);
  EXPECT_EQ(name, "Sample");
}

TEST(FileNames, BackslashIsAnOrdinaryCharacterOfAName) {
  LoadedPlugin plugin(kSettings);
  const std::string file = plugin.folder().Write("a\\b\\c.txt", "a");
  EXPECT_EQ(plugin.ValueW(file, 4).Int(), 2);
  EXPECT_EQ(plugin.ValueA(file, 4).Int(), 2);
  EXPECT_EQ(plugin.ValueW(file, 1).Int(), 1);
}

TEST(FileNames, NamesThatAreNotUtf8ReachTheFileThroughBothExports) {
  // Undecodable bytes travel as U+DC80..U+DCFF (one per byte) in UTF-16.
  LoadedPlugin plugin(kSettings);
  const std::string file = plugin.folder().Write("caf\xE9-\xFF\xC3.txt", "aaa");
  const std::u16string folder = plugin.folder().path().u16string();
  const std::u16string wide = folder + u"/caf\xDCE9-\xDCFF\xDCC3.txt";
  EXPECT_EQ(plugin.ValueA(file, 1).Int(), 3);
  const Answer viaWide = plugin.ValueW16(wide, 1);
  EXPECT_EQ(viaWide.code, ft_numeric_32);
  EXPECT_EQ(viaWide.Int(), 3);
  // Valid UTF-8 and an escape that would decode to valid UTF-8 stay apart:
  // U+DCC3 U+DCA9 names the bytes C3 A9, which is also the name "é".
  plugin.folder().Write("\xC3\xA9.txt", "a");
  EXPECT_EQ(plugin.ValueW16(folder + u"/\xDCC3\xDCA9.txt", 1).Int(), 1);
  EXPECT_EQ(plugin.ValueW16(folder + u"/\x00E9.txt", 1).Int(), 1);
  // A lone surrogate outside the escape range names no file.
  EXPECT_EQ(plugin.ValueW16(folder + u"/\xD800.txt", 1).code, ft_fileerror);
  // A string field gives the name part back in the same form.
  LoadedPlugin names(
      "[Quarrymark]\r\nregexcount=1\r\nregex1=.+\r\nregex1type=4\r\nregex1flags=64\r\nregex1replace=$0\r\n");
  names.folder().Write("x\xFFy", "");
  EXPECT_EQ(names.ValueW16(names.folder().path().u16string() + u"/x\xDCFFy", 0).Wide(), u"x\xDCFFy");
}

}  // namespace
}  // namespace qm::test
