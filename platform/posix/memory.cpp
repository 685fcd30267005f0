// Memory on POSIX: the free-memory figure (MemAvailable) and whole pages
// from mmap.
#include <sys/mman.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/test_hooks.h"

namespace qm::platform {
std::uint64_t FreePhysicalMemory() {
  if (const std::uint64_t test = detail::TestFreePhysicalMemory()) return test;
  FILE* f = std::fopen("/proc/meminfo", "re");
  if (f == nullptr) return 0;
  char line[256];
  std::uint64_t kib = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    unsigned long long value = 0;
    if (std::sscanf(line, "MemAvailable: %llu kB", &value) == 1) {
      kib = value;
      break;
    }
  }
  std::fclose(f);
  return kib * 1024;
}

namespace {
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
}  // namespace

void* AllocatePages(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  void* pages = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  // Where huge pages are only given on request; a failure changes nothing.
  // Not for a block of one huge page or less: its first touch would clear
  // the whole huge page, where a small file's read touches a few pages.
  if (bytes > kHugePageBytes) ::madvise(pages, bytes, MADV_HUGEPAGE);
#endif
  return pages;
}

void FreePages(void* pages, std::size_t bytes) {
  if (pages != nullptr) ::munmap(pages, bytes);
}

void DiscardPageContents(void* pages, std::size_t bytes) {
  if (pages == nullptr || bytes == 0) return;
#ifdef MADV_FREE
  if (::madvise(pages, bytes, MADV_FREE) == 0) return;
#endif
  // Systems without lazy freeing keep the pages: dropping them at once would
  // cost the faults that keeping them is meant to save.
}

}  // namespace qm::platform
