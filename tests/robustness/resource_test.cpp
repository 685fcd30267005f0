// A long run in one process: 100,000 requests of every outcome (cache hits
// and misses, missing files, folders, FIFOs, unreadable files, stops) leave
// the open descriptors as they were and memory within the cache's bound.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "support/plugin_loader.h"

namespace qm::test {
namespace {

int OpenDescriptors() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

long ResidentKiB() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
  std::fclose(f);
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPlainAllocator = false;  // ASan's quarantine holds freed memory
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kPlainAllocator = false;
#else
constexpr bool kPlainAllocator = true;
#endif
#else
constexpr bool kPlainAllocator = true;
#endif

TEST(Resources, HundredThousandRequestsKeepDescriptorsAndMemory) {
  LoadedPlugin plugin(
      "[Quarrymark]\r\nResultCache=1\r\nFileMemory=5\r\nregexcount=5\r\n"
      "regex1=.\r\nregex1type=-1\r\nregex2=\\w+\r\nregex2type=1\r\n"
      "regex3=(\\w+)\r\nregex3type=3\r\nregex3replace=$1\\xo0;\r\n"
      "regex4=\\w+\r\nregex4type=2\r\nregex5=\\w\r\nregex5type=8\r\n");
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) {
    names.push_back(plugin.folder().Write("f" + std::to_string(i) + ".txt",
                                          "word " + std::to_string(i) + " more words\n"));
  }
  const std::string unreadable = plugin.folder().Write("secret.txt", "hidden words");
  ::chmod(unreadable.c_str(), 0);
  const std::string fifo = plugin.folder().PathOf("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  names.push_back(unreadable);
  names.push_back(fifo);
  names.push_back(plugin.folder().PathOf("missing.txt"));
  names.push_back(plugin.folder().path().u8string());

  constexpr int kTotal = 100000;
  constexpr int kWarmUp = 20000;
  int descriptorsBefore = OpenDescriptors();
  long residentAfterWarmUp = 0;
  for (int i = 0; i < kTotal; ++i) {
    const std::string& name = names[static_cast<std::size_t>(i) % names.size()];
    if (i % 997 == 0) {
      // A changed file: the next requests on it miss the cache.
      plugin.folder().Write("f" + std::to_string(i % 40) + ".txt", "changed " + std::to_string(i));
    }
    if (i % 101 == 0) plugin.StopW(name);
    plugin.ValueW(name, i % 5, i % 3 == 0 ? CONTENT_DELAYIFSLOW : 0, 512);
    if (i + 1 == kWarmUp) {
      residentAfterWarmUp = ResidentKiB();
      EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
      descriptorsBefore = OpenDescriptors();
    }
  }
  EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
  if (kPlainAllocator) {
    // The cache holds at most 8192 small answers here; 16 MiB is far above
    // what it can take, and far below what a leak of 80,000 requests makes.
    EXPECT_LT(ResidentKiB() - residentAfterWarmUp, 16 * 1024)
        << "after warm-up " << residentAfterWarmUp << " KiB";
  }
}

}  // namespace
}  // namespace qm::test
