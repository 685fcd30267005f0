// The result cache: answers already given, keyed by file identity and field.
//
// A bounded first-in-first-out store of byte images, shared by all requests
// and guarded by its own lock (the cache lock) for every lookup, store and
// clear, compression included. Keys and string/floating answers are held
// LZ4-compressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

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

// Keys up to this many bytes are stored compressed.
inline constexpr std::size_t kMaxCompressedKeyInput = 2528;
// Answers from host buffers larger than this are not stored (string and
// floating types).
inline constexpr int kMaxCachedBufferBytes = 4096;

// The key as stored: its LZ4 compression when it is at most
// kMaxCompressedKeyInput bytes and compression gives output, else the key
// itself. Called by the pipeline outside the cache lock.
std::string CompressCacheKey(const std::string& key);

class ResultCacheStore {
 public:
  // capacity 0 turns the cache off (nothing is stored).
  void SetCapacity(std::uint32_t capacity);

  // On a hit writes the answer into fieldValue (never beyond maxlen bytes)
  // and returns true.
  bool Lookup(const std::string& key, const AnswerDescriptor& descriptor, void* fieldValue,
              int maxlen);
  // Records the answer the pipeline wrote into fieldValue. The first answer
  // for a key stays; the oldest entry leaves when the store is full.
  void Store(const std::string& key, const AnswerDescriptor& descriptor, const void* fieldValue,
             int maxlen);
  void Clear();
  std::size_t Size() const;

 private:
  mutable platform::Mutex lock_;
  std::uint32_t capacity_ = 0;
  std::map<std::string, std::string> map_;  // key -> answer image
  std::deque<std::string> fifo_;            // keys in insertion order
};

}  // namespace qm::plugin
