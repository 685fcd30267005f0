// The shared random generator under concurrent draws.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "plugin/evaluation/random_string.h"

namespace qm::plugin {
namespace {

TEST(RandomGenerator, ConcurrentDrawsShareOutTheOneSequence) {
  // Four threads drawing at once must together take exactly the values one
  // thread draws in sequence: none repeated, none skipped, none torn.
  constexpr int kThreads = 4;
  constexpr int kDraws = 50000;
  RandomGenerator reference;
  reference.Seed(1234);
  std::vector<std::uint32_t> expected(kThreads * kDraws);
  for (auto& v : expected) v = reference.Next();

  RandomGenerator shared;
  shared.Seed(1234);
  std::vector<std::vector<std::uint32_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      drawn[t].reserve(kDraws);
      for (int i = 0; i < kDraws; ++i) drawn[t].push_back(shared.Next());
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::uint32_t> all;
  for (const auto& d : drawn) all.insert(all.end(), d.begin(), d.end());
  std::sort(all.begin(), all.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_TRUE(all == expected);
}

}  // namespace
}  // namespace qm::plugin
