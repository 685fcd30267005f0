// The result cache store: capacity and FIFO eviction, first answer stays,
// the validity checks, string and floating images, and buffer bounds.
#include "plugin/evaluation/result_cache.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace qm::plugin {
namespace {

using settings::FieldType;

constexpr unsigned char kCanary = 0xA5;

// A host buffer of maxlen bytes followed by canary bytes.
struct HostBuffer {
  explicit HostBuffer(int maxlen) : maxlen(maxlen), bytes(static_cast<std::size_t>(maxlen) + 16, kCanary) {}
  void* data() { return bytes.data(); }
  bool CanaryIntact() const {
    for (std::size_t i = static_cast<std::size_t>(maxlen); i < bytes.size(); ++i) {
      if (bytes[i] != kCanary) return false;
    }
    return true;
  }
  std::int32_t Int32() const {
    std::int32_t v;
    std::memcpy(&v, bytes.data(), 4);
    return v;
  }
  int maxlen;
  std::vector<unsigned char> bytes;
};

AnswerDescriptor Descriptor(FieldType type, bool wide = true, std::uint64_t value = 0) {
  AnswerDescriptor d;
  d.type = type;
  d.wide = wide;
  d.value = value;
  return d;
}

void StoreCount(ResultCacheStore& cache, const std::string& key, std::int32_t value) {
  cache.Store(key, Descriptor(FieldType::Count), &value, 4);
}

// The Count answer for the key, or -1 on a miss.
std::int32_t LookupCount(ResultCacheStore& cache, const std::string& key) {
  HostBuffer out(4);
  return cache.Lookup(key, Descriptor(FieldType::Count), out.data(), 4) ? out.Int32() : -1;
}

// The bytes of a wide string answer as the answer writer leaves them.
std::vector<unsigned char> WideAnswer(std::u16string_view text, int maxlen) {
  std::vector<unsigned char> buffer(static_cast<std::size_t>(maxlen), 0xEE);
  std::memcpy(buffer.data(), text.data(), text.size() * 2);
  buffer[text.size() * 2] = 0;
  buffer[text.size() * 2 + 1] = 0;
  return buffer;
}

TEST(ResultCacheStore, FullStoreEvictsTheOldestEntry) {
  ResultCacheStore cache;
  cache.SetCapacity(8192);
  for (int i = 0; i <= 8192; ++i) StoreCount(cache, "file" + std::to_string(i), i);
  EXPECT_EQ(cache.Size(), 8192u);
  EXPECT_EQ(LookupCount(cache, "file0"), -1);
  EXPECT_EQ(LookupCount(cache, "file1"), 1);
  EXPECT_EQ(LookupCount(cache, "file8192"), 8192);

  // A hit does not refresh: file1 is still the oldest and leaves next.
  StoreCount(cache, "another", 7);
  EXPECT_EQ(LookupCount(cache, "file1"), -1);
  EXPECT_EQ(LookupCount(cache, "file2"), 2);
}

TEST(ResultCacheStore, FirstAnswerStays) {
  ResultCacheStore cache;
  cache.SetCapacity(8192);
  StoreCount(cache, "k", 1);
  StoreCount(cache, "k", 2);
  EXPECT_EQ(LookupCount(cache, "k"), 1);
  EXPECT_EQ(cache.Size(), 1u);
}

TEST(ResultCacheStore, CapacityZeroStoresNothingAndShrinkingEvicts) {
  ResultCacheStore cache;
  StoreCount(cache, "k", 1);  // default capacity is 0
  EXPECT_EQ(cache.Size(), 0u);
  EXPECT_EQ(LookupCount(cache, "k"), -1);

  cache.SetCapacity(3);
  for (int i = 0; i < 3; ++i) StoreCount(cache, std::to_string(i), i);
  cache.SetCapacity(2);
  EXPECT_EQ(LookupCount(cache, "0"), -1);
  EXPECT_EQ(LookupCount(cache, "2"), 2);
  cache.Clear();
  EXPECT_EQ(cache.Size(), 0u);
  EXPECT_EQ(LookupCount(cache, "2"), -1);
}

TEST(ResultCacheStore, BooleanAndEncodingCheckValidity) {
  ResultCacheStore cache;
  cache.SetCapacity(16);
  const std::int32_t seven = 7, one = 1;
  cache.Store("bad", Descriptor(FieldType::Boolean), &seven, 4);
  cache.Store("good", Descriptor(FieldType::Boolean), &one, 4);
  HostBuffer out(4);
  EXPECT_FALSE(cache.Lookup("bad", Descriptor(FieldType::Boolean), out.data(), 4));
  ASSERT_TRUE(cache.Lookup("good", Descriptor(FieldType::Boolean), out.data(), 4));
  EXPECT_EQ(out.Int32(), 1);

  // EncodingCheck stores the choice index and answers with the choice text,
  // as ANSI, for wide requests too.
  const char ignored[4] = {};
  cache.Store("utf16be", Descriptor(FieldType::EncodingCheck, true, 3), ignored, 260);
  cache.Store("index4", Descriptor(FieldType::EncodingCheck, true, 4), ignored, 260);
  HostBuffer text(260);
  ASSERT_TRUE(cache.Lookup("utf16be", Descriptor(FieldType::EncodingCheck), text.data(), 260));
  EXPECT_STREQ(reinterpret_cast<const char*>(text.bytes.data()), "UTF-16 BE");
  EXPECT_FALSE(cache.Lookup("index4", Descriptor(FieldType::EncodingCheck), text.data(), 260));

  // A small buffer gets as much of the text as fits, terminated.
  HostBuffer small(4);
  ASSERT_TRUE(cache.Lookup("utf16be", Descriptor(FieldType::EncodingCheck), small.data(), 4));
  EXPECT_STREQ(reinterpret_cast<const char*>(small.bytes.data()), "UTF");
  EXPECT_TRUE(small.CanaryIntact());
}

TEST(ResultCacheStore, StringAnswersComeBackByteForByte) {
  ResultCacheStore cache;
  cache.SetCapacity(16);
  const std::u16string text = u"abc \u00E9\U0001F600";
  const auto wide = WideAnswer(text, 1024);
  cache.Store("w", Descriptor(FieldType::StringOutput, true, text.size()), wide.data(), 1024);
  const std::string ansi = "found it";
  std::vector<char> narrow(ansi.begin(), ansi.end());
  narrow.push_back('\0');
  narrow.resize(300, 'x');
  cache.Store("a", Descriptor(FieldType::FirstMatchStringOutput, false, ansi.size()), narrow.data(),
              300);

  HostBuffer out(1024);
  ASSERT_TRUE(cache.Lookup("w", Descriptor(FieldType::StringOutput), out.data(), 1024));
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(out.bytes.data())), text);
  // Nothing after the terminator is written.
  EXPECT_EQ(out.bytes[text.size() * 2 + 2], kCanary);

  HostBuffer outA(300);
  ASSERT_TRUE(cache.Lookup("a", Descriptor(FieldType::FirstMatchStringOutput, false), outA.data(), 300));
  EXPECT_STREQ(reinterpret_cast<const char*>(outA.bytes.data()), "found it");
  EXPECT_EQ(outA.bytes[ansi.size() + 1], kCanary);
}

TEST(ResultCacheStore, EmptyStringIsCachedAsEightZeroBytes) {
  ResultCacheStore cache;
  cache.SetCapacity(16);
  const char16_t empty[4] = {};
  cache.Store("e", Descriptor(FieldType::StringOutput, true, 0), empty, 8);
  EXPECT_EQ(cache.Size(), 1u);
  HostBuffer out(64);
  ASSERT_TRUE(cache.Lookup("e", Descriptor(FieldType::StringOutput), out.data(), 64));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(out.bytes[i], 0) << i;
  EXPECT_EQ(out.bytes[8], kCanary);

  // A buffer smaller than 8 bytes gets only what fits.
  HostBuffer tiny(3);
  ASSERT_TRUE(cache.Lookup("e", Descriptor(FieldType::StringOutput), tiny.data(), 3));
  EXPECT_TRUE(tiny.CanaryIntact());
}

TEST(ResultCacheStore, FloatingAnswerKeepsItsDoubleAndText) {
  ResultCacheStore cache;
  cache.SetCapacity(16);
  const double value = 12.5;
  const std::u16string text = u"12.500";
  std::vector<unsigned char> wide(200, 0xEE);
  std::memcpy(wide.data(), &value, 8);
  std::memcpy(wide.data() + 8, text.data(), text.size() * 2);
  wide[8 + text.size() * 2] = wide[9 + text.size() * 2] = 0;
  cache.Store("f", Descriptor(FieldType::AverageResultLength, true, 4 + text.size()), wide.data(),
              200);

  std::vector<char> ansi(200, 'x');
  std::memcpy(ansi.data(), &value, 8);
  std::memcpy(ansi.data() + 8, "12.500", 7);
  cache.Store("fa", Descriptor(FieldType::MatchDistanceRatio, false, 8 + 6), ansi.data(), 200);

  HostBuffer out(200);
  ASSERT_TRUE(cache.Lookup("f", Descriptor(FieldType::AverageResultLength), out.data(), 200));
  double back = 0;
  std::memcpy(&back, out.bytes.data(), 8);
  EXPECT_EQ(back, 12.5);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(out.bytes.data() + 8)), text);
  EXPECT_EQ(out.bytes[8 + 14], kCanary);

  HostBuffer outA(200);
  ASSERT_TRUE(cache.Lookup("fa", Descriptor(FieldType::MatchDistanceRatio, false), outA.data(), 200));
  std::memcpy(&back, outA.bytes.data(), 8);
  EXPECT_EQ(back, 12.5);
  EXPECT_STREQ(reinterpret_cast<const char*>(outA.bytes.data() + 8), "12.500");
}

TEST(ResultCacheStore, ImageThatDoesNotDecompressIsAZeroAnswer) {
  ResultCacheStore cache;
  cache.SetCapacity(16);
  // A 4-byte Count image is not an LZ4 block; read as a string answer it
  // gives the zero answer and still counts as a hit.
  StoreCount(cache, "k", 1);
  HostBuffer out(64);
  ASSERT_TRUE(cache.Lookup("k", Descriptor(FieldType::StringOutput), out.data(), 64));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(out.bytes[i], 0) << i;
  EXPECT_EQ(out.bytes[8], kCanary);
}

TEST(ResultCacheStore, LargeBuffersAreNotStoredAndDoNotEvict) {
  ResultCacheStore cache;
  cache.SetCapacity(1);
  StoreCount(cache, "kept", 5);
  const auto big = WideAnswer(u"text", 8192);
  cache.Store("big", Descriptor(FieldType::StringOutput, true, 4), big.data(), 4097);
  EXPECT_EQ(LookupCount(cache, "kept"), 5);
  HostBuffer out(8192);
  EXPECT_FALSE(cache.Lookup("big", Descriptor(FieldType::StringOutput), out.data(), 8192));

  // Count answers are stored whatever the buffer size.
  cache.SetCapacity(4);
  const std::int32_t v = 9;
  cache.Store("count", Descriptor(FieldType::Count), &v, 8192);
  EXPECT_EQ(LookupCount(cache, "count"), 9);
}

TEST(ResultCacheStore, AnswerLongerThanTheLookupBufferIsAMiss) {
  ResultCacheStore cache;
  cache.SetCapacity(16);
  const std::u16string text(100, u'z');
  const auto stored = WideAnswer(text, 4096);
  cache.Store("k", Descriptor(FieldType::StringOutput, true, text.size()), stored.data(), 4096);

  HostBuffer small(100);
  EXPECT_FALSE(cache.Lookup("k", Descriptor(FieldType::StringOutput), small.data(), 100));
  EXPECT_TRUE(small.CanaryIntact());
  EXPECT_EQ(small.bytes[0], kCanary);  // nothing written on a miss

  HostBuffer exact(202);
  EXPECT_TRUE(cache.Lookup("k", Descriptor(FieldType::StringOutput), exact.data(), 202));
  EXPECT_TRUE(exact.CanaryIntact());
}

// Not built for 32-bit Windows: its tests run under an emulated Wine whose
// threads do not start reliably (the lock is the same code in the 64-bit
// build).
#if !(defined(_WIN32) && !defined(_WIN64))
TEST(ResultCacheStore, ConcurrentStoresKeepMapAndQueueTogether) {
  ResultCacheStore cache;
  cache.SetCapacity(64);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&cache, t] {
      for (int i = 0; i < 500; ++i) {
        const std::string key = std::to_string(t) + ":" + std::to_string(i);
        StoreCount(cache, key, i);
        LookupCount(cache, key);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(cache.Size(), 64u);
}
#endif

// Every key falls on one hash value: answers must still be exact, the first
// answer must stay, and eviction must drop the right entry of the collision.
std::uint64_t OneHash(std::string_view) { return 42; }

TEST(ResultCacheStore, KeysWithEqualHashesStayApart) {
  ResultCacheStore cache(OneHash);
  cache.SetCapacity(3);
  StoreCount(cache, "a", 1);
  StoreCount(cache, "b", 2);
  StoreCount(cache, "b", 20);
  EXPECT_EQ(LookupCount(cache, "a"), 1);
  EXPECT_EQ(LookupCount(cache, "b"), 2);
  EXPECT_EQ(LookupCount(cache, "c"), -1);
  // Keys that differ only in their last byte, or in length, differ.
  StoreCount(cache, std::string("name\0\x01", 6), 3);
  EXPECT_EQ(LookupCount(cache, std::string("name\0\x02", 6)), -1);
  EXPECT_EQ(LookupCount(cache, std::string("name\0", 5)), -1);

  // Full: "a" leaves, the others of its hash stay.
  StoreCount(cache, "d", 4);
  EXPECT_EQ(LookupCount(cache, "a"), -1);
  EXPECT_EQ(LookupCount(cache, "b"), 2);
  EXPECT_EQ(LookupCount(cache, "d"), 4);
  EXPECT_EQ(cache.Size(), 3u);
  cache.SetCapacity(1);
  EXPECT_EQ(LookupCount(cache, "b"), -1);
  EXPECT_EQ(LookupCount(cache, "d"), 4);
}

// Keys as the pipeline builds them: the whole name takes part, however long.
TEST(ResultCacheStore, LongKeysAreExact) {
  ResultCacheStore cache;
  cache.SetCapacity(16);
  const std::string base(5000, 'p');
  StoreCount(cache, base + "1", 1);
  StoreCount(cache, base + "2", 2);
  EXPECT_EQ(LookupCount(cache, base + "1"), 1);
  EXPECT_EQ(LookupCount(cache, base + "2"), 2);
  EXPECT_EQ(LookupCount(cache, base), -1);
}

}  // namespace
}  // namespace qm::plugin
