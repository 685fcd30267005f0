// The plugin's 64-bit hash of a byte string.
#include "plugin/evaluation/abort_set.h"

namespace qm::plugin {

namespace {

constexpr std::uint64_t kHashStart = 0xCBF29CE484222325ull;

// Each byte is taken signed and sign-extended, as the stored keys expect.
std::uint64_t HashByte(std::uint64_t h, signed char byte) {
  h ^= static_cast<std::uint64_t>(static_cast<std::int64_t>(byte));
  h *= 0x00000106CC0001B3ull;
  h ^= h >> 14;
  h *= 65;
  h ^= h >> 34;
  h *= 1025;
  return h;
}

}  // namespace

std::uint64_t NameHash(const void* bytes, std::size_t length) {
  const auto* p = static_cast<const signed char*>(bytes);
  std::uint64_t h = kHashStart;
  for (std::size_t i = 0; i < length; ++i) h = HashByte(h, p[i]);
  return h;
}

std::uint64_t NameHashOfUnits(const char16_t* units, std::size_t count) {
  std::uint64_t h = kHashStart;
  for (std::size_t i = 0; i < count; ++i) {
    h = HashByte(h, static_cast<signed char>(units[i] & 0xFF));
    h = HashByte(h, static_cast<signed char>(units[i] >> 8));
  }
  return h;
}

}  // namespace qm::plugin
