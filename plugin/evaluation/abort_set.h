// The set of files whose evaluation must stop, keyed by NameHash.
//
// Stop requests insert from the host's thread; a running evaluation tests
// its key (every 500 ms of matching, between chunks); a new request for the
// same file removes a stale mark before it reads. Every operation takes the
// abort lock for that one operation only, and none while the set is empty
// (nearly always): a test that races with an insert sees the mark at its
// next poll, a removal racing with one may leave it, as either order of
// the two would.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>

#include "platform/platform.h"

namespace qm::plugin {

class AbortSet {
 public:
  void Insert(std::uint64_t key) {
    std::lock_guard<platform::Mutex> guard(lock_);
    keys_.insert(key);
    count_.store(keys_.size(), std::memory_order_release);
  }
  void Remove(std::uint64_t key) {
    if (count_.load(std::memory_order_acquire) == 0) return;
    std::lock_guard<platform::Mutex> guard(lock_);
    keys_.erase(key);
    count_.store(keys_.size(), std::memory_order_release);
  }
  bool Contains(std::uint64_t key) const {
    if (count_.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard<platform::Mutex> guard(lock_);
    return keys_.count(key) != 0;
  }
  void Clear() {
    std::lock_guard<platform::Mutex> guard(lock_);
    keys_.clear();
    count_.store(0, std::memory_order_release);
  }

 private:
  mutable platform::Mutex lock_;
  std::set<std::uint64_t> keys_;
  std::atomic<std::size_t> count_{0};  // keys_.size(), readable without the lock
};

// The plugin's 64-bit hash of a byte string (file names, match texts).
std::uint64_t NameHash(const void* bytes, std::size_t length);

}  // namespace qm::plugin
