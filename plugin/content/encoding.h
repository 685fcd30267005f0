// Encoding detection: UTF-16 (either byte order), UTF-8 or neither
// ("ANSI/Binary"), decided from the first AnalyzeBuffer bytes of a file.
//
// Separate from reading and from matching: the decision only sets the
// state's isUtf8 / isUtf16 / bigEndian / validUtf8Length and reports the
// byte-order-mark length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"
#include "plugin/content/read_buffer.h"
#include "plugin/evaluation/evaluation_state.h"
#include "plugin/evaluation/plugin_settings.h"

namespace qm::plugin {

// The sample's memory, borrowed from the read-buffer pool: every request
// reads a sample, and memory that earlier requests already faulted in costs
// no allocation and no page faults.
class SampleBytes {
 public:
  // Room for bytes, or null when it cannot be had (the earlier content is
  // not kept).
  char* Allocate(std::size_t bytes) { return data_ = lease_.Reserve(bytes); }
  // Room for bytes with the content kept, when the borrowed buffer is large
  // enough already (a whole read then continues the sample in place); null
  // otherwise.
  char* Extend(std::size_t bytes) { return data_ != nullptr ? lease_.Extend(bytes) : nullptr; }
  char* get() const { return data_; }
  void reset() {
    lease_.Release();
    data_ = nullptr;
  }

 private:
  ReadBuffer lease_;
  char* data_ = nullptr;
};

// The sample buffer: min(size, AnalyzeBuffer) bytes plus a terminating zero.
struct EncodingSample {
  SampleBytes bytes;
  std::size_t length = 0;  // bytes read (without the terminator)
};

// Reads the sample from the open file (positioned at its start) and decides
// the encoding. *bomLength receives 3 (UTF-8 mark), 2 (UTF-16 mark) or 0.
// False when the size is negative, the sample cannot be allocated, the read
// is short or fails, or memory runs out during validation. The sample
// belongs to the caller also after a failure. An empty file gives an empty
// sample that still holds its terminator, so content pointers are never
// null. When the file continues beyond the sample, a lead surrogate as the
// sample's last unit is taken as cut from its trail (left out of the UTF-16
// test) just as a UTF-8 sequence cut by the sample's end is.
bool ReadEncodingSample(std::int64_t size, std::uint32_t* bomLength, platform::File& file,
                        EvaluationState& state, EncodingSample* sample,
                        const PluginSettings& settings);

// 0: not UTF-16; 1: UTF-16 little-endian; 2: UTF-16 big-endian (the
// byte-order-mark-less test over an even number of bytes).
int CountUtf16Patterns(const unsigned char* bytes, std::size_t length, bool unicodeZerosValid);

// Validates count bytes as UTF-16 (swapped to machine order when swap) and
// records the verdict in state.isUtf16 / state.bigEndian. Unless
// skipFfffTest, a unit 0xFFFF makes valid text invalid. False only when
// memory ran out (the state is then unchanged).
bool ValidateUtf16(const unsigned char* bytes, std::size_t count, EvaluationState& state,
                   bool swap, bool littleEndian, bool skipFfffTest);

// True when this machine stores the high byte of a 16-bit unit first.
bool MachineIsBigEndian();

// True when the state's UTF-16 content is in the other byte order than the
// machine's and must be swapped before matching.
bool ContentNeedsSwap(const EvaluationState& state);

// Swaps the two bytes of each of the units 16-bit units at bytes, in place.
void SwapUnitsInPlace(char* bytes, std::size_t units);

// False when a content buffer (the sample, whole-file buffers, chunks) of
// this size must fail (the test hook below); every such buffer asks this
// first.
bool ContentAllocationAllowed(std::size_t bytes);

// Test hook: content buffers of more than maxBytes fail as if memory had run
// out (0 removes the limit). Lets tests reach the small-buffer fallbacks
// deterministically.
void SetContentAllocationLimitForTesting(std::size_t maxBytes);

}  // namespace qm::plugin
