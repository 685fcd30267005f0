// The set of files whose evaluation must stop, keyed by NameHash.
//
// Stop requests insert from the host's thread; a running evaluation tests
// its key (every 500 ms of matching, between chunks); a new request for the
// same file removes a stale mark before it reads. Every operation takes the
// abort lock for that one operation only.
#pragma once

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
  }
  void Remove(std::uint64_t key) {
    std::lock_guard<platform::Mutex> guard(lock_);
    keys_.erase(key);
  }
  bool Contains(std::uint64_t key) const {
    std::lock_guard<platform::Mutex> guard(lock_);
    return keys_.count(key) != 0;
  }
  void Clear() {
    std::lock_guard<platform::Mutex> guard(lock_);
    keys_.clear();
  }

 private:
  mutable platform::Mutex lock_;
  std::set<std::uint64_t> keys_;
};

// The plugin's 64-bit hash of a byte string (file names, match texts).
std::uint64_t NameHash(const void* bytes, std::size_t length);

}  // namespace qm::plugin
