// Text filters: which filter a file goes through, and how a filter's UTF-16
// output reaches the field's matcher.
//
// A filter (the converter program or the Outside In libraries) is a byte
// source of UTF-16 text, read by the chunked reader as a file is.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/content/chunked_reader.h"
#include "plugin/evaluation/evaluation_state.h"
#include "plugin/evaluation/matcher.h"
#include "plugin/evaluation/plugin_settings.h"

namespace qm::plugin {

// The first entry of the map (in its key order) whose pattern matches the
// end of name: a dot and the pattern, where "?" matches any unit and any
// other unit matches itself and its lower- and upper-case forms. Patterns
// that are empty or not shorter than the name never match. Null when none
// does.
const FilterChoice* FindFilterForName(const FilterExtensionMap& filters, const std::u16string& name);

// How reading a filter's output ended.
enum class FilterTextEnd {
  kDone,      // the whole output was handed on
  kAnswered,  // the consumer knew its answer from a piece: the rest was not read
  kStopped,   // a stop was requested (state.abortRequested)
  kFailed,    // the source failed
};

// A chunked reader over a filter's output (UTF-16 units in machine order),
// in chunks of budget bytes, context included. Allocate it before starting
// the filter: AllocateFilterReader tries 5 MiB chunks when the budget's
// cannot be had.
ChunkedReader FilterReader(ByteSource& source, std::uint64_t budget);
bool AllocateFilterReader(ChunkedReader& reader);

// The chunk size for a filter's output: the budget, but no more than
// kLineChunkMegabytes when pieces cut at line ends answer as the whole text
// (the consumer's PiecesAnswerAsWhole), so that an answer known from the
// first lines ends the filter early whatever the budget, as for a file.
std::uint64_t FilterChunkBytes(std::uint64_t budget, const EvaluationState& state,
                               const TextConsumer& consumer);

// Hands a filter's output to the consumer in the reader's pieces, exactly
// as a file of the same text is read in chunks of the budget (cut after a
// line end, with the same context before each piece), so that converted
// text answers as that file does and memory stays within the budget however
// long the text is. A leading U+FEFF of the whole output is skipped: match
// positions (state.startOffset) count from the unit after it, while the
// content size still counts it. An odd trailing byte is not content. Empty
// output is not handed on. With state.utfCheckPending every piece is handed
// on with it set. At the end state.contentSize becomes the output's length
// in bytes. Between pieces it stops for a stop request and once the
// consumer knows its answer.
FilterTextEnd MatchFilterText(ChunkedReader& reader, EvaluationState& state,
                              const TextConsumer& consumer);

}  // namespace qm::plugin
