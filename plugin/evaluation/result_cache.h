// The result cache: answers already given, keyed by file identity and field.
//
// A bounded first-in-first-out store of byte images, shared by all requests
// and guarded by its own lock (the cache lock) for every lookup, store and
// clear. Entries are found through a keyed 64-bit hash of the key and
// confirmed by comparing the whole key, so a hit is always exact; each key is
// held once, as it is. String and floating answers are held LZ4-compressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/platform.h"
#include "settings_format/settings_format.h"

namespace qm::plugin {

// What the pipeline knows about an answer it asks for or stores.
struct AnswerDescriptor {
  bool wide = false;  // the request came through ContentGetValueW
  settings::FieldType type = settings::FieldType::Boolean;
  // EncodingCheck: the choice index; string answers: length in units (wide)
  // or bytes (ANSI); floating answers: 4 + text units (wide) or 8 + text
  // bytes (ANSI). Unused for lookups.
  std::uint64_t value = 0;
};

// Answers from host buffers larger than this are not stored (string and
// floating types).
inline constexpr int kMaxCachedBufferBytes = 4096;

class ResultCacheStore {
 public:
  using HashFunction = std::uint64_t (*)(std::string_view key);

  // The hash is keyed with a secret made per store, so that no set of names
  // can be chosen to fall into one bucket. Tests may pass their own hash (a
  // constant one makes every key collide).
  explicit ResultCacheStore(HashFunction hashForTesting = nullptr);
  ResultCacheStore(const ResultCacheStore&) = delete;
  ResultCacheStore& operator=(const ResultCacheStore&) = delete;

  // capacity 0 turns the cache off (nothing is stored). Shrinking drops the
  // oldest entries.
  void SetCapacity(std::uint32_t capacity);

  // On a hit writes the answer into fieldValue (never beyond maxlen bytes)
  // and returns true.
  bool Lookup(std::string_view key, const AnswerDescriptor& descriptor, void* fieldValue,
              int maxlen);
  // Records the answer the pipeline wrote into fieldValue. The first answer
  // for a key stays; the oldest entry leaves when the store is full.
  void Store(std::string_view key, const AnswerDescriptor& descriptor, const void* fieldValue,
             int maxlen);
  void Clear();
  std::size_t Size() const;

 private:
  struct Entry {
    std::uint64_t hash = 0;
    std::string key;
    std::string image;
  };

  std::uint64_t Hash(std::string_view key) const;
  // The entry stored under the key, or null. Called with the lock held.
  const Entry* FindLocked(std::uint64_t hash, std::string_view key) const;
  // Removes the oldest entry. Called with the lock held, fifo_ not empty.
  void EvictOldestLocked();

  HashFunction hashForTesting_ = nullptr;
  unsigned char secret_[192];  // the hash key

  mutable platform::Mutex lock_;
  std::uint32_t capacity_ = 0;
  // Entries in insertion order; the entry with sequence number s is
  // fifo_[s - firstSequence_].
  std::deque<Entry> fifo_;
  std::uint64_t firstSequence_ = 0;
  std::unordered_multimap<std::uint64_t, std::uint64_t> index_;  // hash -> sequence
};

}  // namespace qm::plugin
