// The read buffer pool: buffers come back to later requests, the pool keeps
// only a few, and a reused buffer hands each file exactly its own text.
#include "plugin/content/read_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "content_fixture.h"

namespace qm::plugin::testing {
namespace {

constexpr std::size_t kMiB = 1048576;

TEST(ReadBufferPool, BuffersAreReusedGrownAndKeptWithinBounds) {
  ReleaseKeptReadBuffers();
  char* first;
  {
    ReadBuffer a;
    first = a.Reserve(3 * kMiB);
    ASSERT_NE(first, nullptr);
    std::memset(first, 'x', 3 * kMiB);
    // A smaller reserve keeps the same buffer.
    EXPECT_EQ(a.Reserve(kMiB), first);
  }
  EXPECT_EQ(KeptReadBufferCount(), 1u);
  {
    // The next request, smaller, gets the kept buffer.
    ReadBuffer b;
    EXPECT_EQ(b.Reserve(2 * kMiB), first);
    EXPECT_EQ(KeptReadBufferCount(), 0u);
    // Growing gives a buffer that holds the new size, writable throughout.
    char* grown = b.Reserve(9 * kMiB);
    ASSERT_NE(grown, nullptr);
    std::memset(grown, 'y', 9 * kMiB);
  }
  // Many requests at once: each has its own buffer, and only a few are kept.
  {
    std::vector<std::unique_ptr<ReadBuffer>> leases;
    std::vector<char*> seen;
    for (std::size_t i = 0; i < kKeptReadBuffers + 2; ++i) {
      leases.push_back(std::make_unique<ReadBuffer>());
      seen.push_back(leases.back()->Reserve(kMiB));
      ASSERT_NE(seen.back(), nullptr);
      for (std::size_t j = 0; j + 1 < seen.size(); ++j) EXPECT_NE(seen[j], seen.back());
    }
  }
  EXPECT_EQ(KeptReadBufferCount(), kKeptReadBuffers);
  ReleaseKeptReadBuffers();
  EXPECT_EQ(KeptReadBufferCount(), 0u);
}

TEST(ReadBufferPool, TheAllocationLimitForTestsApplies) {
  SetContentAllocationLimitForTesting(kMiB);
  ReadBuffer buffer;
  EXPECT_NE(buffer.Reserve(kMiB), nullptr);
  EXPECT_EQ(buffer.Reserve(kMiB + 1), nullptr);
  SetContentAllocationLimitForTesting(0);
  EXPECT_EQ(buffer.Reserve(0), nullptr);
}

// Checks that each text handed on ends in its terminator.
class TerminatedConsumer final : public TextConsumer {
 public:
  mutable std::string text;
  mutable bool terminated = false;
  bool Bytes(const char* bytes, std::size_t length, EvaluationState&) const override {
    text.assign(bytes, length);
    terminated = bytes[length] == 0;
    return false;
  }
  bool Units(const char16_t*, std::size_t, EvaluationState&) const override { return false; }
  bool StopRequested(const EvaluationState&) const override { return false; }
};

class ReusedBufferTest : public ContentTest {};

// A buffer that held a longer file is reused for a shorter one: the shorter
// file's text is handed on alone and terminated, not followed by what the
// buffer held before.
TEST_F(ReusedBufferTest, AShorterFileAfterALongerOneIsItsOwnText) {
  settings.analyzeBuffer = 4096;
  const std::string longer(3 * kMiB, 'L');
  const std::string shorter = std::string(kMiB, 's') + "end";
  for (const std::string* bytes : {&longer, &shorter}) {
    TerminatedConsumer consumer;
    platform::File file = Open(Write(*bytes));
    EvaluationState state;
    EncodingSample sample;
    std::uint32_t bom = 0;
    const auto size = static_cast<std::int64_t>(bytes->size());
    ASSERT_TRUE(ReadEncodingSample(size, &bom, file, state, &sample, settings));
    ASSERT_TRUE(ReadWholeFile(file, size, sample, 0, state, consumer));
    EXPECT_TRUE(consumer.text == *bytes);
    EXPECT_TRUE(consumer.terminated);
  }
}

}  // namespace
}  // namespace qm::plugin::testing
