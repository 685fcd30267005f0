// The set of distinct match hashes of a CountIndividual field.
//
// Open addressing over one flat array: millions of distinct matches cost one
// probe sequence each, without a node allocation per entry. Hash values are
// spread over the table by Fibonacci hashing (the high bits of a product).
#pragma once

#include <cstdint>
#include <vector>

namespace qm::plugin {

class DistinctSet {
 public:
  // Adds the hash; true when it was not present.
  bool Insert(std::uint64_t hash) {
    if (hash == kEmpty) {
      if (hasEmptyValue_) return false;
      hasEmptyValue_ = true;
      ++size_;
      return true;
    }
    if ((size_ + 1) * 4 > slots_.size() * 3) Grow();
    std::size_t i = Slot(hash);
    while (slots_[i] != kEmpty) {
      if (slots_[i] == hash) return false;
      i = (i + 1) & (slots_.size() - 1);
    }
    slots_[i] = hash;
    ++size_;
    return true;
  }
  std::size_t size() const { return size_; }

 private:
  static constexpr std::uint64_t kEmpty = 0;  // stands for itself via hasEmptyValue_

  std::size_t Slot(std::uint64_t hash) const {
    return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void Grow() {
    std::vector<std::uint64_t> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, kEmpty);
    shift_ = 64;
    for (std::size_t n = slots_.size(); n > 1; n >>= 1) --shift_;
    for (const std::uint64_t h : old) {
      if (h == kEmpty) continue;
      std::size_t i = Slot(h);
      while (slots_[i] != kEmpty) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = h;
    }
  }

  std::vector<std::uint64_t> slots_;
  std::size_t size_ = 0;
  int shift_ = 64;  // 64 - log2(table size)
  bool hasEmptyValue_ = false;
};

}  // namespace qm::plugin
