// The result cache on its own: a hit for a numeric answer and for a string
// answer (the key's hash included, as the pipeline does it per request), and
// a store into a full cache (one eviction each).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "plugin/content/file_access.h"
#include "plugin/evaluation/result_cache.h"

namespace qm::plugin {
namespace {

using settings::FieldType;

constexpr std::uint32_t kEntries = 16384;  // the default capacity

// A key as the pipeline builds it for a wide request: the name's UTF-16
// bytes, the field index and the file part (attributes, time, size).
std::string RawKey(int fileNumber, int field) {
  const std::u16string name =
      u"/home/user/projects/quarrymark/examples/corpus/file" +
      std::u16string(std::to_string(fileNumber).begin(), std::to_string(fileNumber).end()) +
      u".txt";
  std::string key(reinterpret_cast<const char*>(name.data()), name.size() * 2);
  AppendLe32(&key, static_cast<std::uint32_t>(field));
  AppendLe32(&key, 0x20);
  AppendLe32(&key, 0x5A3C1E00u + static_cast<std::uint32_t>(fileNumber));
  AppendLe32(&key, 0x01D9A1B2u);
  AppendLe32(&key, 0);
  AppendLe32(&key, 4096u + static_cast<std::uint32_t>(fileNumber));
  return key;
}

AnswerDescriptor Descriptor(FieldType type, std::uint64_t value = 0) {
  AnswerDescriptor d;
  d.wide = true;
  d.type = type;
  d.value = value;
  return d;
}

// A full cache: a Count answer (field 0) and a string answer (field 1) for
// half the capacity each.
void Fill(ResultCacheStore& cache) {
  cache.SetCapacity(kEntries);
  const std::u16string text = u"Offset 0x00000AF6(002806): needle in the haystack ";
  std::vector<char16_t> answer(text.begin(), text.end());
  answer.push_back(0);
  for (int i = 0; i < static_cast<int>(kEntries / 2); ++i) {
    const std::int32_t count = i;
    cache.Store(RawKey(i, 0), Descriptor(FieldType::Count), &count, 4);
    cache.Store(RawKey(i, 1), Descriptor(FieldType::StringOutput, text.size()),
                answer.data(), 2048);
  }
}

void BM_CacheHitCount(benchmark::State& state) {
  ResultCacheStore cache;
  Fill(cache);
  std::vector<std::string> keys;
  for (int i = 0; i < 1024; ++i) keys.push_back(RawKey(i * 7, 0));
  std::int32_t value = 0;
  std::size_t n = 0;
  for (auto _ : state) {
    const std::string& key = keys[n++ & 1023];
    benchmark::DoNotOptimize(cache.Lookup(key, Descriptor(FieldType::Count), &value, 4));
  }
}
BENCHMARK(BM_CacheHitCount);

void BM_CacheHitString(benchmark::State& state) {
  ResultCacheStore cache;
  Fill(cache);
  std::vector<std::string> keys;
  for (int i = 0; i < 1024; ++i) keys.push_back(RawKey(i * 7, 1));
  std::vector<char> buffer(2048);
  std::size_t n = 0;
  for (auto _ : state) {
    const std::string& key = keys[n++ & 1023];
    benchmark::DoNotOptimize(
        cache.Lookup(key, Descriptor(FieldType::StringOutput), buffer.data(), 2048));
  }
}
BENCHMARK(BM_CacheHitString);

void BM_CacheStoreEvicting(benchmark::State& state) {
  ResultCacheStore cache;
  Fill(cache);
  const std::u16string text = u"a short answer";
  std::vector<char16_t> answer(text.begin(), text.end());
  answer.push_back(0);
  int next = 100000;
  for (auto _ : state) {
    const std::string key = RawKey(next++, 1);
    cache.Store(key, Descriptor(FieldType::StringOutput, text.size()), answer.data(), 2048);
  }
}
BENCHMARK(BM_CacheStoreEvicting);

}  // namespace
}  // namespace qm::plugin
