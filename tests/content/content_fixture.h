// Shared by the content tests: files in a private temporary folder, a
// consumer that records what a reader hands on, and one read through the
// sample, whole-file or chunked path.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "plugin/content/encoding.h"
#include "plugin/content/reader.h"

namespace qm::plugin::testing {

struct Piece {
  std::u16string text;  // bytes are widened one to one
  bool wide = false;
  std::uint64_t startOffset = 0;
  bool utfCheckPending = false;
  bool utf8 = false;  // the state's isUtf8 when handed on
};

// Records each call. onText runs after recording and plays the matcher (sets
// matchCount, outputText, abortRequested); the answer is known when sink
// (the answer sink of a field type, none: never) says so. StopRequested
// answers true once stopAfterPieces pieces were recorded. Like a matcher,
// clears utfCheckPending after the call that saw it.
class RecordingConsumer final : public TextConsumer {
 public:
  mutable std::vector<Piece> pieces;
  std::function<void(const Piece&, EvaluationState&)> onText;
  std::size_t stopAfterPieces = SIZE_MAX;
  mutable const AnswerSink* sink = nullptr;

  bool Bytes(const char* text, std::size_t length, EvaluationState& state) const override {
    EXPECT_NE(text, nullptr);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    return Record(Piece{std::u16string(bytes, bytes + length), false, state.startOffset,
                 state.utfCheckPending, state.isUtf8},
           state);
  }
  bool Units(const char16_t* text, std::size_t length, EvaluationState& state) const override {
    EXPECT_NE(text, nullptr);
    return Record(Piece{std::u16string(text, length), true, state.startOffset, state.utfCheckPending,
                 state.isUtf8},
           state);
  }
  bool StopRequested(const EvaluationState&) const override {
    return pieces.size() >= stopAfterPieces;
  }

 private:
  bool Record(const Piece& p, EvaluationState& state) const {
    pieces.push_back(p);
    state.utfCheckPending = false;
    if (onText) onText(p, state);
    return sink != nullptr && sink->Known(state);
  }
};

class ContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device entropy;
    folder_ = std::filesystem::temp_directory_path() /
              ("qm_content_" + std::to_string(entropy()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    SetContentAllocationLimitForTesting(0);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  std::string Write(const std::string& bytes) {
    const std::string path = (folder_ / ("f" + std::to_string(++files_))).string();
    std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
    return path;
  }
  static platform::File Open(const std::string& path) {
    platform::FileName name;
    name.narrow = path.c_str();
    return platform::OpenFile(name, platform::OpenMode::kReadShared);
  }

  enum class Path { kSample, kWhole, kChunks };
  struct Run {
    bool ok = false;
    bool closed = false;  // the reader closed the file
    std::uint32_t bom = 0;
    EvaluationState state;
  };

  // Reads a file the way a request does: the sample and its decision, then
  // one reading path. claimedSize replaces the real size when not negative.
  Run Read(const std::string& bytes, Path path, const RecordingConsumer& consumer,
           const FieldDefinition& field = FieldDefinition(), std::uint32_t chunkMegabytes = 1,
           std::int64_t claimedSize = -1) {
    Run run;
    platform::File file = Open(Write(bytes));
    const std::int64_t size = claimedSize >= 0 ? claimedSize : std::int64_t(bytes.size());
    EncodingSample sample;
    if (!ReadEncodingSample(size, &run.bom, file, run.state, &sample, settings)) return run;
    const std::uint32_t start = run.state.isUtf16 ? run.bom / 2 : run.bom;
    consumer.sink = &AnswerSinkFor(field.type);
    if (path == Path::kSample) {
      run.ok = true;
      EvaluateSample(sample.bytes.get(), sample.length, start, run.state,
                     field.encodingCheckBufferOnly, consumer);
    } else if (path == Path::kWhole) {
      run.ok = ReadWholeFile(file, size, sample, start, run.state, consumer);
    } else {
      run.ok = ReadInChunks(file, size, sample, start, chunkMegabytes, run.state, consumer);
    }
    run.closed = !file.IsOpen();
    return run;
  }

  PluginSettings settings;

 private:
  std::filesystem::path folder_;
  int files_ = 0;
};

}  // namespace qm::plugin::testing
