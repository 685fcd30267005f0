// The plugin's 64-bit hash of a byte string.
#include "plugin/evaluation/abort_set.h"

namespace qm::plugin {

std::uint64_t NameHash(const void* bytes, std::size_t length) {
  const auto* p = static_cast<const signed char*>(bytes);
  std::uint64_t h = 0xCBF29CE484222325ull;
  for (std::size_t i = 0; i < length; ++i) {
    // Each byte is taken signed and sign-extended, as the stored keys expect.
    h ^= static_cast<std::uint64_t>(static_cast<std::int64_t>(p[i]));
    h *= 0x00000106CC0001B3ull;
    h ^= h >> 14;
    h *= 65;
    h ^= h >> 34;
    h *= 1025;
  }
  return h;
}

}  // namespace qm::plugin
