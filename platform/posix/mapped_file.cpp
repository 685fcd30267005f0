// Mapped files on POSIX: mmap, and a SIGBUS guard for views whose file
// shrinks or fails underneath them.
//
// Reading a mapped page that lies past the file's current end (another
// process truncated it) or that the device cannot deliver raises SIGBUS,
// which would end the host. Each live view is recorded in a fixed table;
// the plugin's handler turns a fault inside a recorded view into a private
// zero page at that address, marks the view faulted and lets the reading
// instruction run again. A fault anywhere else goes to the handler that was
// installed before (the default one ends the process as it always did).
// The handler is installed with the first view and removed when the
// library is unloaded, if it is still the installed one.
#include "platform/mapped_file.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace qm::platform {
namespace {

// Views mapped at the same time, across all threads; a request finding the
// table full reads its file instead.
constexpr int kSlots = 64;

struct Slot {
  std::atomic<bool> taken{false};
  std::atomic<std::uintptr_t> begin{0};  // 0: no view recorded
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> faulted{false};
};

Slot slots[kSlots];
struct sigaction previousAction;
std::atomic<bool> guardInstalled{false};
long pageSize = 0;

void OnBusError(int sig, siginfo_t* info, void* context) {
  const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& slot : slots) {
    const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    if (begin == 0 || at < begin || at >= slot.end.load(std::memory_order_acquire)) continue;
    // mmap is a plain system call here, safe in a handler.
    const std::uintptr_t page = at & ~static_cast<std::uintptr_t>(pageSize - 1);
    void* zero = mmap(reinterpret_cast<void*>(page), static_cast<std::size_t>(pageSize), PROT_READ,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zero != MAP_FAILED) {
      slot.faulted.store(true, std::memory_order_release);
      return;
    }
    break;
  }
  if ((previousAction.sa_flags & SA_SIGINFO) != 0) {
    if (previousAction.sa_sigaction != nullptr) previousAction.sa_sigaction(sig, info, context);
    return;
  }
  if (previousAction.sa_handler == SIG_DFL || previousAction.sa_handler == SIG_IGN) {
    // The faulting access runs again and meets the default action.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(sig, &fallback, nullptr);
    return;
  }
  previousAction.sa_handler(sig);
}

// Restores the host's handler when the library goes away, so that no
// signal is ever sent to code that is no longer mapped.
struct GuardRemoval {
  ~GuardRemoval() {
    if (!guardInstalled.load()) return;
    struct sigaction current {};
    if (sigaction(SIGBUS, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == OnBusError) {
      sigaction(SIGBUS, &previousAction, nullptr);
    }
  }
};
GuardRemoval guardRemoval;

bool InstallGuard() {
  static const bool installed = [] {
    pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) return false;
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGBUS, &action, &previousAction) != 0) return false;
    guardInstalled.store(true);
    return true;
  }();
  return installed;
}

int TakeSlot(std::uintptr_t begin, std::uintptr_t end) {
  for (int i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (!slots[i].taken.compare_exchange_strong(expected, true)) continue;
    slots[i].faulted.store(false);
    slots[i].end.store(end, std::memory_order_release);
    slots[i].begin.store(begin, std::memory_order_release);
    return i;
  }
  return -1;
}

void ReleaseSlot(int i) {
  slots[i].begin.store(0, std::memory_order_release);
  slots[i].end.store(0, std::memory_order_release);
  slots[i].taken.store(false);
}

}  // namespace

bool MappedFile::Map(const File& file, std::uint64_t size) {
  Unmap();
  if (!file.IsOpen() || size == 0 || !InstallGuard()) return false;
  const auto page = static_cast<std::uint64_t>(pageSize);
  const std::uint64_t tail = size % page;
  // Two zero bytes must follow the content inside the last page.
  if (tail == 0 || page - tail < 2) return false;
  const std::uint64_t mapped = size + (page - tail);
  if (mapped > static_cast<std::uint64_t>(PTRDIFF_MAX)) return false;
  void* view = mmap(nullptr, static_cast<std::size_t>(mapped), PROT_READ, MAP_PRIVATE,
                    static_cast<int>(file.Native()), 0);
  if (view == MAP_FAILED) return false;
  const auto begin = reinterpret_cast<std::uintptr_t>(view);
  const int slot = TakeSlot(begin, begin + static_cast<std::uintptr_t>(mapped));
  if (slot < 0) {
    munmap(view, static_cast<std::size_t>(mapped));
    return false;
  }
  // The content is read once from start to end.
  madvise(view, static_cast<std::size_t>(mapped), MADV_SEQUENTIAL);
  data_ = static_cast<char*>(view);
  size_ = static_cast<std::size_t>(size);
  mapped_ = static_cast<std::size_t>(mapped);
  slot_ = slot;
  return true;
}

void MappedFile::Unmap() {
  if (data_ == nullptr) return;
  // Out of the table first: the address range may be reused at once.
  ReleaseSlot(slot_);
  munmap(data_, mapped_);
  data_ = nullptr;
  size_ = mapped_ = 0;
  slot_ = -1;
}

bool MappedFile::Faulted() const {
  return slot_ >= 0 && slots[slot_].faulted.load(std::memory_order_acquire);
}

}  // namespace qm::platform
