// Value requests through the exports of a loaded plugin copy: on a small
// file, computed every time (cache off) and answered from the cache, beside
// the attribute query that every request makes (the floor of a cache hit);
// on a large file, read whole (FileMemory 500) and in 10 MB chunks
// (FileMemory 10).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "plugin/host_interface/content_plugin.h"

namespace {

namespace fs = std::filesystem;

// A copy of the built plugin in its own folder with a settings file, and a
// 2 KiB text file beside it. Removed with the folder when it goes.
class PluginCopy {
 public:
  // largeMegabytes > 0 also writes large.txt of that size.
  explicit PluginCopy(const std::string& globals, int largeMegabytes = 0) {
    folder_ = fs::temp_directory_path() / ("quarrymark-bench-" + std::to_string(std::random_device()()));
    fs::create_directories(folder_);
    const fs::path source = fs::u8path(QM_PLUGIN_PATH);
    const fs::path copy = folder_ / source.filename();
    fs::copy_file(source, copy);
    Write("Quarrymark.ini",
          "[Quarrymark]\r\n" + globals +
              "regexcount=2\r\n"
              "regex1=\\bw\\w+\r\nregex1type=1\r\n"
              "regex2=(\\w+)@(\\w+)\r\nregex2type=3\r\nregex2replace=$2:$1\\xo0 \r\n");
    std::string text;
    for (int line = 0; text.size() < 2048; ++line) {
      text += "line " + std::to_string(line) + ": words with water, user" + std::to_string(line) +
              "@example and wind\r\n";
    }
    text.resize(2048);
    file_ = Utf16((folder_ / "small.txt").u8string());
    Write("small.txt", text);
    if (largeMegabytes > 0) {
      std::ofstream out(folder_ / "large.txt", std::ios::binary);
      std::string line;
      for (long long written = 0, n = 0; written < largeMegabytes * 1048576LL; ++n) {
        line = "2026-12-08 entry " + std::to_string(n) +
               ": the water is warm, no error here, and the wind is west\n";
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
        written += static_cast<long long>(line.size());
      }
      large_ = Utf16((folder_ / "large.txt").u8string());
    }
    std::u16string path = Utf16(copy.u8string());
    library_ = qm::platform::Library::Open(path);
    if (!library_.IsOpen()) std::abort();
    ContentDefaultParamStruct params{};
    params.size = sizeof params;
    params.PluginInterfaceVersionHi = 2;
    params.PluginInterfaceVersionLow = 11;
    reinterpret_cast<decltype(&ContentSetDefaultParams)>(
        library_.Symbol("ContentSetDefaultParams"))(&params);
    getValueW_ = reinterpret_cast<decltype(&ContentGetValueW)>(library_.Symbol("ContentGetValueW"));
  }
  ~PluginCopy() {
    library_.Close();
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  int Value(int field, std::vector<unsigned char>& buffer, bool large = false) {
    std::u16string& name = large ? large_ : file_;
    return getValueW_(reinterpret_cast<QmWideChar*>(name.data()), field, 0, buffer.data(),
                      static_cast<int>(buffer.size()), 0);
  }
  const std::u16string& SmallFile() const { return file_; }

 private:
  static std::u16string Utf16(const std::string& utf8) {
    std::u16string wide;
    qm::platform::AppendWide(qm::platform::kCodePageUtf8, utf8.data(), utf8.size(), &wide);
    return wide;
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream out(folder_ / name, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  fs::path folder_;
  std::u16string file_;
  std::u16string large_;
  qm::platform::Library library_;
  decltype(&ContentGetValueW) getValueW_ = nullptr;
};

void RunRequests(benchmark::State& state, const std::string& globals, int field) {
  PluginCopy plugin(globals);
  std::vector<unsigned char> buffer(2048);
  if (plugin.Value(field, buffer) <= 0) state.SkipWithError("the request failed");
  for (auto _ : state) benchmark::DoNotOptimize(plugin.Value(field, buffer));
}

void BM_RequestSmallFileCountComputed(benchmark::State& state) {
  RunRequests(state, "ResultCache=0\r\n", 0);
}
BENCHMARK(BM_RequestSmallFileCountComputed);

void BM_RequestSmallFileStringComputed(benchmark::State& state) {
  RunRequests(state, "ResultCache=0\r\n", 1);
}
BENCHMARK(BM_RequestSmallFileStringComputed);

void BM_RequestSmallFileCountCached(benchmark::State& state) {
  RunRequests(state, "ResultCache=2\r\n", 0);
}
BENCHMARK(BM_RequestSmallFileCountCached);

void BM_RequestSmallFileStringCached(benchmark::State& state) {
  RunRequests(state, "ResultCache=2\r\n", 1);
}
BENCHMARK(BM_RequestSmallFileStringCached);

// The attribute query of the small file alone, as each request makes it.
void BM_AttributeQueryOfTheSmallFile(benchmark::State& state) {
  PluginCopy plugin("ResultCache=2\r\n");
  const qm::platform::FileName name{nullptr, plugin.SmallFile().c_str()};
  qm::platform::FileInfo info;
  for (auto _ : state) benchmark::DoNotOptimize(qm::platform::QueryFileInfo(name, &info));
}
BENCHMARK(BM_AttributeQueryOfTheSmallFile);

// A Count over a 64 MiB file, read whole or in 10 MB chunks, repeated as a
// host asks for one file after another.
constexpr int kLargeMegabytes = 64;

void RunLarge(benchmark::State& state, const std::string& memory) {
  PluginCopy plugin("ResultCache=0\r\nFileMemory=" + memory + "\r\n", kLargeMegabytes);
  std::vector<unsigned char> buffer(2048);
  if (plugin.Value(0, buffer, true) <= 0) state.SkipWithError("the request failed");
  for (auto _ : state) benchmark::DoNotOptimize(plugin.Value(0, buffer, true));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kLargeMegabytes * 1048576);
}

void BM_RequestLargeFileWhole(benchmark::State& state) { RunLarge(state, "500"); }
BENCHMARK(BM_RequestLargeFileWhole)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RequestLargeFileChunks10MB(benchmark::State& state) { RunLarge(state, "10"); }
BENCHMARK(BM_RequestLargeFileChunks10MB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
