// Reading a file's content within the memory budget and handing it to a
// TextConsumer in one of three shapes: the encoding sample alone, the whole
// file in one buffer, or chunks cut at line ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "plugin/content/encoding.h"
#include "plugin/evaluation/evaluation_state.h"
#include "plugin/evaluation/matcher.h"
#include "plugin/evaluation/plugin_settings.h"

namespace qm::plugin {

// Files up to this size are always read whole.
inline constexpr std::uint64_t kAlwaysWholeBytes = 5242880;

// Chunk size for a field whose matches stay inside lines (the program of
// the content's form is searched in line windows, MatchesStayInLines): such
// a field answers the same whether the content is read whole or in chunks,
// so larger files are read in chunks of at most this many megabytes
// whatever the budget.
inline constexpr std::uint32_t kLineChunkMegabytes = 10;

// Where a full chunk is cut, in units (bytes, or UTF-16 units).
struct ChunkCut {
  std::size_t end = 0;      // units up to and including the line end; 0: no cut
  std::size_t lineEnd = 0;  // units of the line end before `end` (0: cut inside a line)
};

// Where a full chunk of n units (bytes, or machine-order UTF-16 units when
// utf16) is cut: after its last line feed (a carriage return before it
// belongs to the line end), else after its last carriage return. Without
// either, UTF text (utf8 or utf16) is cut after its last whole character so
// that no character is split between two chunks; other text is not cut.
ChunkCut FindChunkCut(const char* buffer, std::size_t n, bool utf16, bool utf8);

// Evaluates count bytes of the sample from startUnits on (bytes, or UTF-16
// units). UTF-16 samples are swapped in place to machine order; sampleOnly
// (a field that reads only the sample) drops a UTF-8 sequence or a lead
// surrogate cut by the sample's end. The consumer is called exactly once
// (with empty text for an empty file).
void EvaluateSample(char* sample, std::size_t count, std::uint32_t startUnits,
                    EvaluationState& state, bool sampleOnly, const TextConsumer& consumer);

// Reads the whole file into one buffer (the sample reused as its start) and
// evaluates it once (a file MatchMappedFile takes is matched there
// instead). Falls back to 5 MiB chunks when a buffer above 5 MiB cannot be
// allocated. Closes the file. False on a failed or short read or a
// failed allocation.
//
// With state.utfCheckPending (only the sample was validated) the readers
// validate the rest of the text themselves and hand it on with the flag
// cleared. Text that turns out not to be valid UTF-8 or UTF-16 is matched
// as the encoding decision would have matched it had the sample held the
// fault: as ANSI/Binary bytes from the file's first byte (a byte order mark
// is then content), with the state's encoding flags cleared.
bool ReadWholeFile(platform::File& file, std::int64_t size, const EncodingSample& sample,
                   std::uint32_t startUnits, EvaluationState& state,
                   const TextConsumer& consumer);

// Files from this size on are matched where the system maps them, when it
// can, instead of being copied into a buffer.
inline constexpr std::uint64_t kMapMinimumBytes = 1048576;

enum class MappedRead { kDone, kFailed, kNotMapped };

// Matches the whole file in one evaluation from a read-only mapping, with
// ReadWholeFile's handling of the sample, of utfCheckPending and of text
// that is not UTF after all. Text still to be validated for a field whose
// matches stay inside lines goes in pieces cut at line ends instead, each
// validated just before it is matched (one pass over memory instead of
// two), with the chunked reader's context; an invalid piece voids what the
// pieces before it accumulated and the whole is matched as ANSI/Binary,
// as a whole read does. kNotMapped (nothing evaluated, the file still
// open) when the file is below kMapMinimumBytes, when its UTF-16 content
// would need swapping or is of odd length, or when it cannot be mapped:
// the caller reads it instead. Otherwise the file is closed; kFailed when
// the file could not be read wholly while it was mapped (it shrank or the
// device failed), in which case what was accumulated is void.
MappedRead MatchMappedFile(platform::File& file, std::int64_t size, std::uint32_t startUnits,
                           EvaluationState& state, const TextConsumer& consumer);

// Units of the content before a chunked piece that go with it as context.
inline constexpr std::size_t kChunkContextUnits = 1024;

// Reads in chunks of chunkMegabytes, each cut after its last line end (the
// rest is re-read through a relative seek), stopping early once the
// consumer reports the answer known and when a stop is requested (state.abortRequested).
// The line end at a cut ends the piece before it, and each piece after the
// first comes with up to 1024 units of the content before it as context
// (state.contextUnits, state.textContinues), so that patterns whose matches
// do not span a line end answer as over a whole read. A chunk without any
// line end is handed on whole, except that UTF text is cut after its last
// whole character. With state.utfCheckPending each piece is validated
// before it is handed on (and, once the answer is known, the rest of the
// file is still read and validated); at the first invalid piece everything
// accumulated so far is dropped and the file is read again from its start
// as ANSI/Binary. A chunk above 5 MiB that cannot be allocated is retried at
// 5 MiB. Closes the file. False on a failed read or seek or a final
// allocation failure; an early stop or a stop request is a success.
bool ReadInChunks(platform::File& file, std::int64_t size, const EncodingSample& sample,
                  std::uint32_t startUnits, std::uint32_t chunkMegabytes,
                  EvaluationState& state, const TextConsumer& consumer);

}  // namespace qm::plugin
