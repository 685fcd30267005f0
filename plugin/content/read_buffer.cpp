// The pool of read buffers.
//
// Buffers are whole pages from the system, sized in steps of 2 MiB (a huge
// page), so that one buffer serves requests of similar sizes. In sanitizer
// builds the part of a buffer beyond what was reserved, and a buffer in the
// pool, are marked unaddressable, so that reads past the content are still
// caught.
#include "plugin/content/read_buffer.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "plugin/content/encoding.h"

#if defined(__SANITIZE_ADDRESS__)
#define QM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QM_ASAN 1
#endif
#endif
#ifdef QM_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace qm::plugin {
namespace {

constexpr std::size_t kStep = std::size_t{2} << 20;
// Buffers up to this size keep their pages when given back: holding them
// costs little, and offering them back would cost a system call per request.
constexpr std::size_t kKeptWithPages = std::size_t{16} << 20;

void MarkUsable(char* data, std::size_t used, std::size_t capacity) {
#ifdef QM_ASAN
  ASAN_UNPOISON_MEMORY_REGION(data, used);
  ASAN_POISON_MEMORY_REGION(data + used, capacity - used);
#else
  (void)data;
  (void)used;
  (void)capacity;
#endif
}

struct Block {
  char* data = nullptr;
  std::size_t capacity = 0;
};

void FreeBlock(const Block& block) {
  if (block.data == nullptr) return;
  MarkUsable(block.data, block.capacity, block.capacity);
  platform::FreePages(block.data, block.capacity);
}

class ReadBufferPool {
 public:
  ReadBufferPool() { kept_.reserve(kKeptReadBuffers); }
  ~ReadBufferPool() { Release(); }
  ReadBufferPool(const ReadBufferPool&) = delete;
  ReadBufferPool& operator=(const ReadBufferPool&) = delete;

  // The smallest kept block that holds bytes, else a new one. Without a
  // fitting block the largest kept one is freed first, so that growing
  // does not hold two large blocks at once.
  Block Take(std::size_t bytes) {
    Block found;
    Block dropped;
    {
      std::lock_guard<platform::Mutex> guard(lock_);
      std::size_t best = kept_.size();
      for (std::size_t i = 0; i < kept_.size(); ++i) {
        if (kept_[i].capacity >= bytes &&
            (best == kept_.size() || kept_[i].capacity < kept_[best].capacity)) {
          best = i;
        }
      }
      if (best != kept_.size()) {
        found = kept_[best];
        kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(best));
      } else if (!kept_.empty()) {
        const auto largest = std::max_element(
            kept_.begin(), kept_.end(),
            [](const Block& a, const Block& b) { return a.capacity < b.capacity; });
        dropped = *largest;
        kept_.erase(largest);
      }
    }
    FreeBlock(dropped);
    if (found.data != nullptr) return found;
    if (bytes > SIZE_MAX - kStep) return {};
    const std::size_t capacity = (bytes + kStep - 1) / kStep * kStep;
    found.data = static_cast<char*>(platform::AllocatePages(capacity));
    found.capacity = found.data != nullptr ? capacity : 0;
    return found;
  }

  void Give(const Block& block) {
    if (block.data == nullptr) return;
    if (block.capacity > kKeptWithPages) platform::DiscardPageContents(block.data, block.capacity);
    MarkUsable(block.data, 0, block.capacity);
    {
      std::lock_guard<platform::Mutex> guard(lock_);
      if (kept_.size() < kKeptReadBuffers) {
        kept_.push_back(block);  // reserved up front: no allocation
        return;
      }
    }
    FreeBlock(block);
  }

  std::size_t Count() {
    std::lock_guard<platform::Mutex> guard(lock_);
    return kept_.size();
  }

  void Release() {
    std::vector<Block> blocks;
    {
      std::lock_guard<platform::Mutex> guard(lock_);
      blocks.swap(kept_);
      kept_.reserve(kKeptReadBuffers);
    }
    for (const Block& block : blocks) FreeBlock(block);
  }

 private:
  platform::Mutex lock_;
  std::vector<Block> kept_;
};

ReadBufferPool& Pool() {
  static ReadBufferPool pool;
  return pool;
}

}  // namespace

ReadBuffer::~ReadBuffer() { GiveBack(); }

void ReadBuffer::GiveBack() {
  Pool().Give(Block{data_, capacity_});
  data_ = nullptr;
  capacity_ = 0;
}

char* ReadBuffer::Reserve(std::size_t bytes) {
  if (bytes == 0 || !ContentAllocationAllowed(bytes)) return nullptr;
  if (data_ == nullptr || capacity_ < bytes) {
    GiveBack();
    const Block block = Pool().Take(bytes);
    if (block.data == nullptr) return nullptr;
    data_ = block.data;
    capacity_ = block.capacity;
  }
  MarkUsable(data_, bytes, capacity_);
  return data_;
}

char* ReadBuffer::Extend(std::size_t bytes) {
  if (data_ == nullptr || capacity_ < bytes || !ContentAllocationAllowed(bytes)) return nullptr;
  MarkUsable(data_, bytes, capacity_);
  return data_;
}

std::size_t KeptReadBufferCount() { return Pool().Count(); }

void ReleaseKeptReadBuffers() { Pool().Release(); }

}  // namespace qm::plugin
