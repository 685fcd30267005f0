// Reading a file's content within the memory budget and handing it to a
// TextConsumer in one of three shapes: the encoding sample alone, the whole
// file in one buffer, or chunks cut at line ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "plugin/content/chunked_reader.h"
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
bool ReadWholeFile(platform::File& file, std::int64_t size, EncodingSample& sample,
                   std::uint32_t startUnits, EvaluationState& state,
                   const TextConsumer& consumer);

// Files from this size on are matched where the system maps them, when it
// can, instead of being copied into a buffer. Smaller files are read whole:
// a copy costs less than the page faults of a mapping where faults are
// dear (on a virtual machine, 14 files of 1-5 MiB took 23 ms read against
// 34 ms mapped), and a file of a few megabytes is one read either way.
inline constexpr std::uint64_t kMapMinimumBytes = kAlwaysWholeBytes + 1;

enum class MappedRead { kDone, kFailed, kNotMapped };

// Matches the whole file in one evaluation from a read-only mapping, with
// ReadWholeFile's handling of the sample, of utfCheckPending and of text
// that is not UTF after all. Text still to be validated for a field whose
// matches stay inside lines goes in pieces cut at line ends instead, each
// validated just before it is matched (one pass over memory instead of
// two), with the chunked reader's context; an invalid piece voids what the
// pieces before it accumulated and the whole is matched as ANSI/Binary,
// as a whole read does. kNotMapped (nothing evaluated, the file still
// open) when the file is below kMapMinimumBytes, when the content is UTF-16
// (read instead: see reader.cpp), or when it cannot be mapped:
// the caller reads it instead. Otherwise the file is closed; kFailed when
// the file could not be read wholly while it was mapped (it shrank or the
// device failed), in which case what was accumulated is void.
MappedRead MatchMappedFile(platform::File& file, std::int64_t size, std::uint32_t startUnits,
                           EvaluationState& state, const TextConsumer& consumer);

// Reads through the chunked reader in chunks of chunkMegabytes, stopping
// early once the consumer reports its answer known and when a stop is
// requested (state.abortRequested). The line end at a cut ends the piece
// before it, and each piece after the first comes with up to
// kChunkContextUnits units of the content before it as context
// (state.contextUnits, state.textContinues), so that patterns whose matches
// do not span a line end answer as over a whole read. A chunk without any
// line end is handed on whole, except that UTF text is cut after its last
// whole character. With state.utfCheckPending each piece is validated
// before it is handed on (and, once the answer is known, the rest of the
// file is still read and validated); at the first invalid piece everything
// accumulated so far is dropped and the file is read again from its start
// as ANSI/Binary. A chunk above 5 MiB that cannot be allocated is tried at
// 5 MiB. Closes the file. False on a failed read or seek or a failed
// allocation; an early stop or a stop request is a success.
bool ReadInChunks(platform::File& file, std::int64_t size, const EncodingSample& sample,
                  std::uint32_t startUnits, std::uint32_t chunkMegabytes,
                  EvaluationState& state, const TextConsumer& consumer);

// Hands a piece of the chunked reader to the consumer with its place in the
// content: state.startOffset is its position less offsetBase, the units
// before it in its chunk are its context (none for the first piece), and
// state.textContinues tells that more follows. Both are cleared after the
// call. The consumer's answer: true once it knows its answer.
bool DeliverPiece(const ChunkPiece& piece, bool utf16, std::uint64_t offsetBase,
                  EvaluationState& state, const TextConsumer& consumer);

// Test hook: chunked reads use chunks of this many bytes instead of their
// megabytes (0 restores them), so that cuts and context can be reached with
// small files.
void SetChunkBytesForTesting(std::size_t bytes);

}  // namespace qm::plugin
