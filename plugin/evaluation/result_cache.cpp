// The result cache: the keyed hash, and the store's lookup, store and clear.
//
// Answer images (by answer kind): the 4-byte value for flags, counts and
// choices (the choice index); for string and floating answers the LZ4
// block compression of the bytes the answer writer left in the host's buffer
// (double, text and terminator), empty for an empty answer.
#include "plugin/evaluation/result_cache.h"

#define XXH_INLINE_ALL
#include <xxhash.h>
#include <lz4.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>

namespace qm::plugin {

namespace {

constexpr int kImageBound = LZ4_COMPRESSBOUND(kMaxCachedBufferBytes);

// String and floating answers keep an image of the host's buffer; the
// others are one number.
bool HasCompressedImage(settings::FieldType type) {
  switch (settings::AnswerKindOf(type)) {
    case settings::AnswerKind::FullText:
    case settings::AnswerKind::Choice:
    case settings::AnswerKind::Flag:
    case settings::AnswerKind::Count: return false;
    case settings::AnswerKind::Text:
    case settings::AnswerKind::Ratio:
    case settings::AnswerKind::CompareOnly: return true;
  }
  return false;
}

// Bytes of the host's buffer that make up a string or floating answer: the
// value's units (or bytes) and the terminator; 0 for an empty answer.
std::size_t ImageLength(const AnswerDescriptor& d) {
  if (d.value == 0) return 0;
  const std::uint64_t units = d.value + 1;
  return static_cast<std::size_t>(d.wide ? units * 2 : units);
}

// Writes up to `count` bytes, never more than maxlen.
void WriteBounded(void* fieldValue, int maxlen, const void* bytes, std::size_t count) {
  if (maxlen <= 0) return;
  std::memcpy(fieldValue, bytes, std::min(count, static_cast<std::size_t>(maxlen)));
}

// The zero answer of a string or floating field: 8 zero bytes (an empty
// string, or the double 0.0).
void WriteZeroAnswer(void* fieldValue, int maxlen) {
  static const unsigned char kZeros[8] = {};
  WriteBounded(fieldValue, maxlen, kZeros, sizeof kZeros);
}

std::int32_t ReadValue(const std::string& image) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(image[i]);
  return static_cast<std::int32_t>(v);
}

std::string ValueImage(std::uint32_t v) {
  std::string image(4, '\0');
  for (int i = 0; i < 4; ++i) image[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return image;
}

// The secret that keys the hash: the system's random source where it works,
// mixed with the time and the store's address.
void MakeSecret(unsigned char* secret, std::size_t size, const void* store) {
  std::uint64_t seed[4] = {};
  try {
    std::random_device device;
    for (auto& word : seed) word = (std::uint64_t{device()} << 32) ^ device();
  } catch (...) {
    // The other ingredients still differ from run to run.
  }
  seed[0] ^= static_cast<std::uint64_t>(platform::CurrentTimeSeconds());
  seed[1] ^= platform::TickCount();
  seed[2] ^= static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(store));
  XXH3_generateSecret(secret, size, seed, sizeof seed);
}

}  // namespace

ResultCacheStore::ResultCacheStore(HashFunction hashForTesting) : hashForTesting_(hashForTesting) {
  static_assert(sizeof secret_ >= XXH3_SECRET_SIZE_MIN, "the hash key is too short");
  MakeSecret(secret_, sizeof secret_, this);
}

std::uint64_t ResultCacheStore::Hash(std::string_view key) const {
  if (hashForTesting_ != nullptr) return hashForTesting_(key);
  return XXH3_64bits_withSecret(key.data(), key.size(), secret_, sizeof secret_);
}

const ResultCacheStore::Entry* ResultCacheStore::FindLocked(std::uint64_t hash,
                                                            std::string_view key) const {
  const auto range = index_.equal_range(hash);
  for (auto it = range.first; it != range.second; ++it) {
    const Entry& entry = fifo_[static_cast<std::size_t>(it->second - firstSequence_)];
    if (entry.key == key) return &entry;
  }
  return nullptr;
}

void ResultCacheStore::EvictOldestLocked() {
  const auto range = index_.equal_range(fifo_.front().hash);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == firstSequence_) {
      index_.erase(it);
      break;
    }
  }
  fifo_.pop_front();
  ++firstSequence_;
}

void ResultCacheStore::SetCapacity(std::uint32_t capacity) {
  std::lock_guard<platform::Mutex> guard(lock_);
  capacity_ = capacity;
  while (fifo_.size() > capacity_) EvictOldestLocked();
}

bool ResultCacheStore::Lookup(std::string_view key, const AnswerDescriptor& descriptor,
                              void* fieldValue, int maxlen) {
  const std::uint64_t hash = Hash(key);
  std::lock_guard<platform::Mutex> guard(lock_);
  const Entry* entry = FindLocked(hash, key);
  if (entry == nullptr) return false;
  const std::string& image = entry->image;

  if (HasCompressedImage(descriptor.type)) {
    if (image.empty()) {
      WriteZeroAnswer(fieldValue, maxlen);
      return true;
    }
    // Images come only from buffers of at most kMaxCachedBufferBytes, so this
    // bound holds every sound one.
    char answer[kMaxCachedBufferBytes];
    const int n = LZ4_decompress_safe(image.data(), answer, static_cast<int>(image.size()),
                                      kMaxCachedBufferBytes);
    if (n <= 0) {
      WriteZeroAnswer(fieldValue, maxlen);
      return true;
    }
    // An answer stored from a larger buffer than this request's does not fit:
    // compute it again for this buffer rather than hand out a cut image.
    if (n > maxlen) return false;
    std::memcpy(fieldValue, answer, static_cast<std::size_t>(n));
    return true;
  }

  if (image.size() != 4) return false;
  const std::int32_t value = ReadValue(image);
  const settings::AnswerKind kind = settings::AnswerKindOf(descriptor.type);
  if (kind == settings::AnswerKind::Choice) {
    if (value < 0 || value > 3 || maxlen <= 0) return false;
    const char* text = settings::kEncodingNames[value];
    const std::size_t length = std::strlen(text);
    const std::size_t room = static_cast<std::size_t>(maxlen);
    const std::size_t copied = std::min(length, room - 1);
    std::memcpy(fieldValue, text, copied);
    static_cast<char*>(fieldValue)[copied] = '\0';
    return true;
  }
  if (kind == settings::AnswerKind::Flag && value != 0 && value != 1) return false;
  WriteBounded(fieldValue, maxlen, image.data(), 4);
  return true;
}

void ResultCacheStore::Store(std::string_view key, const AnswerDescriptor& descriptor,
                             const void* fieldValue, int maxlen) {
  if (maxlen <= 0) return;
  // The image and the hash are made before the lock is taken. An answer that
  // is not kept is turned away before any eviction, so that it does not push
  // out one that is.
  std::string image;
  if (HasCompressedImage(descriptor.type)) {
    if (maxlen > kMaxCachedBufferBytes) return;
    const std::size_t length = std::min(ImageLength(descriptor), static_cast<std::size_t>(maxlen));
    if (length > 0) {
      char compressed[kImageBound];
      const int n = LZ4_compress_default(static_cast<const char*>(fieldValue), compressed,
                                         static_cast<int>(length), kImageBound);
      if (n > 0) image.assign(compressed, static_cast<std::size_t>(n));
    }
  } else if (settings::AnswerKindOf(descriptor.type) == settings::AnswerKind::Choice) {
    image = ValueImage(static_cast<std::uint32_t>(descriptor.value));
  } else {
    image.assign(4, '\0');
    std::memcpy(&image[0], fieldValue, std::min<std::size_t>(4, static_cast<std::size_t>(maxlen)));
  }
  const std::uint64_t hash = Hash(key);

  std::lock_guard<platform::Mutex> guard(lock_);
  if (capacity_ == 0) return;
  if (FindLocked(hash, key) != nullptr) return;  // the first answer stays
  if (fifo_.size() >= capacity_) EvictOldestLocked();
  fifo_.push_back(Entry{hash, std::string(key), std::move(image)});
  index_.emplace(hash, firstSequence_ + fifo_.size() - 1);
}

void ResultCacheStore::Clear() {
  std::lock_guard<platform::Mutex> guard(lock_);
  fifo_.clear();
  index_.clear();
  firstSequence_ = 0;
}

std::size_t ResultCacheStore::Size() const {
  std::lock_guard<platform::Mutex> guard(lock_);
  return fifo_.size();
}

}  // namespace qm::plugin
