// The test hooks of platform.h: figures that replace the system's, the same
// on every backend.
#include "platform/test_hooks.h"

#include <atomic>

#include "platform/platform.h"

namespace qm::platform {
namespace {

std::atomic<std::uint32_t> g_testAnsi{0};
std::atomic<std::uint32_t> g_testOem{0};
std::atomic<std::uint64_t> g_testFreeMemory{0};

}  // namespace

void SetCodePagesForTesting(std::uint32_t ansi, std::uint32_t oem) {
  g_testAnsi = ansi;
  g_testOem = oem;
}

void SetFreePhysicalMemoryForTesting(std::uint64_t bytes) { g_testFreeMemory = bytes; }

namespace detail {

std::uint32_t TestAnsiCodePage() { return g_testAnsi.load(); }
std::uint32_t TestOemCodePage() { return g_testOem.load(); }
std::uint64_t TestFreePhysicalMemory() { return g_testFreeMemory.load(); }

}  // namespace detail
}  // namespace qm::platform
