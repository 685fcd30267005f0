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
#include "plugin/evaluation/evaluation_state.h"
#include "plugin/evaluation/plugin_settings.h"

namespace qm::plugin {

// The sample buffer: min(size, AnalyzeBuffer) bytes plus a terminating zero.
struct EncodingSample {
  std::unique_ptr<char[]> bytes;
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

// Every content buffer (the sample, whole-file buffers, chunks) comes from
// here: nullptr when the memory cannot be had, never an exception.
std::unique_ptr<char[]> AllocateContentBuffer(std::size_t bytes);

// False when a content buffer of this size must fail (the test hook below);
// buffers that do not come from AllocateContentBuffer ask this first.
bool ContentAllocationAllowed(std::size_t bytes);

// Test hook: content buffers of more than maxBytes fail as if memory had run
// out (0 removes the limit). Lets tests reach the small-buffer fallbacks
// deterministically.
void SetContentAllocationLimitForTesting(std::size_t maxBytes);

}  // namespace qm::plugin
