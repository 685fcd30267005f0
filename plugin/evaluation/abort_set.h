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
#include <string>

#include "platform/platform.h"

namespace qm::plugin {

// The plugin's 64-bit hash of a byte string (file names, match texts).
std::uint64_t NameHash(const void* bytes, std::size_t length);
// NameHash of UTF-16 units taken as little-endian byte pairs.
std::uint64_t NameHashOfUnits(const char16_t* units, std::size_t count);

// A request's abort key: the NameHash of the host's name as bytes (ANSI
// bytes, or the UTF-16 units as little-endian pairs). It is worked out on
// first use, and a request uses it only while some stop is pending, which is
// rare: most requests never hash their name. The name must outlive the key
// and its copies; a key made without a name is 0.
class RequestKey {
 public:
  RequestKey() = default;
  explicit RequestKey(std::uint64_t value) : value_(value), known_(true) {}
  RequestKey(const char* ansiName, const char16_t* wideName, std::size_t wideLength)
      : ansi_(ansiName), wide_(wideName), wideLength_(wideLength), known_(false) {}

  std::uint64_t Value() const {
    if (!known_) {
      value_ = ansi_ != nullptr ? NameHash(ansi_, std::char_traits<char>::length(ansi_))
                                : NameHashOfUnits(wide_, wideLength_);
      known_ = true;
    }
    return value_;
  }

 private:
  const char* ansi_ = nullptr;
  const char16_t* wide_ = nullptr;
  std::size_t wideLength_ = 0;
  mutable std::uint64_t value_ = 0;
  mutable bool known_ = true;
};

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
  // A request's key is worked out only when some key is in the set.
  void Remove(const RequestKey& key) {
    if (count_.load(std::memory_order_acquire) != 0) Remove(key.Value());
  }
  bool Contains(const RequestKey& key) const {
    return count_.load(std::memory_order_acquire) != 0 && Contains(key.Value());
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

}  // namespace qm::plugin
