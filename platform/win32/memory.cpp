// Memory on Windows: the free-memory figure and whole pages from
// VirtualAlloc.
#include "platform/win32/win32_common.h"

#include "platform/test_hooks.h"

namespace qm::platform {

std::uint64_t FreePhysicalMemory() {
  if (const std::uint64_t test = detail::TestFreePhysicalMemory()) return test;
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return 0;
  return status.ullAvailPhys;
}

void* AllocatePages(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreePages(void* pages, std::size_t) {
  if (pages != nullptr) VirtualFree(pages, 0, MEM_RELEASE);
}

void DiscardPageContents(void* pages, std::size_t bytes) {
  if (pages != nullptr && bytes != 0) VirtualAlloc(pages, bytes, MEM_RESET, PAGE_READWRITE);
}

}  // namespace qm::platform
