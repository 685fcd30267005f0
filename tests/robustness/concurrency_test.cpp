// The exports driven the way a file manager's threads drive them: eight
// threads asking for every kind of field over several files while others
// send stops and refreshes. Every answer must be one a single thread gets
// (or the stopped answer), and the thread sanitizer build must stay quiet.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "support/plugin_loader.h"

namespace qm::test {
namespace {

const char* const kSettings =
    "[Quarrymark]\r\nResultCache=1\r\nClearCacheOnReread=true\r\nFileMemory=5\r\nRandomLength=12\r\n"
    "regexcount=10\r\n"
    "regex1=.\r\nregex1type=-1\r\n"
    "regex2=b\r\nregex2type=0\r\n"
    "regex3=\\w+\r\nregex3type=1\r\n"
    "regex4=\\w+\r\nregex4type=2\r\n"
    "regex5=(\\w)(\\w*)\r\nregex5type=3\r\nregex5replace=$2$1\\xo0\\xNn;\r\n"
    "regex6=(?m)^(.*)$\r\nregex6type=4\r\nregex6replace=\\xL1:$1\r\n"
    "regex7=\\S+\r\nregex7type=6\r\n"
    "regex8=\\s\r\nregex8type=8\r\n"
    "regex9=[^\\x00-\\xff]|[a-z]\r\nregex9type=5\r\n"
    "regex10=\\.txt$\r\nregex10type=0\r\nregex10flags=64\r\n";
constexpr int kFields = 10;
constexpr int kRandomField = 8;

struct Key {
  int file, field;
  bool operator<(const Key& o) const { return file != o.file ? file < o.file : field < o.field; }
};

TEST(Concurrency, ManyThreadsGetTheAnswersOfOneWithStopsAndRefreshes) {
  LoadedPlugin plugin(kSettings);
  std::vector<std::string> files;
  const std::string lines = "alpha beta gamma\r\ndelta b epsilon\n";
  files.push_back(plugin.folder().Write("plain.txt", lines));
  files.push_back(plugin.folder().Write("utf16.txt", "\xFF\xFE" + Utf16Le(u"b\x00e9t\x00e0 v\x00e9ga\n")));
  files.push_back(plugin.folder().Write("utf8.txt", "\xEF\xBB\xBFk\xC3\xB6ln b\n"));
  std::string large;
  while (large.size() < 150000) large += lines;
  files.push_back(plugin.folder().Write("large.log", large));
  files.push_back(plugin.folder().PathOf("missing.txt"));

  // The answers of one thread, asked once with and once without the cache.
  std::map<Key, Answer> expected;
  for (int f = 0; f < static_cast<int>(files.size()); ++f) {
    for (int field = 0; field < kFields; ++field) {
      if (field != kRandomField) expected[{f, field}] = plugin.ValueW(files[f], field);
    }
  }

  std::atomic<bool> running{true};
  std::atomic<int> mismatches{0}, stopped{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        const int f = (t + i) % static_cast<int>(files.size());
        const int field = (i * 7 + t) % kFields;
        const Answer answer = plugin.ValueW(files[f], field);
        if (field == kRandomField) {
          if (answer.code != ft_stringw) ++mismatches;
          continue;
        }
        if (answer.code == ft_fieldempty) {
          ++stopped;  // a stop reached this request
          continue;
        }
        const Answer& want = expected[{f, field}];
        if (answer.code != want.code || answer.bytes != want.bytes) {
          ++mismatches;
          ADD_FAILURE() << "file " << f << " field " << field << ": code " << answer.code;
        }
      }
    });
  }
  std::thread stopper([&] {
    for (int i = 0; running; ++i) {
      plugin.StopW(files[i % files.size()]);
      std::this_thread::yield();
    }
  });
  std::thread refresher([&] {
    while (running) {
      plugin.StateInformation(CONTST_REFRESHPRESSED);
      std::this_thread::yield();
    }
  });
  for (auto& thread : threads) thread.join();
  running = false;
  stopper.join();
  refresher.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace qm::test
