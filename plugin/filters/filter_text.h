// Text filters: which filter a file goes through, and how a filter's UTF-16
// output reaches the field's matcher.
//
// A filter (the converter program or the Outside In libraries) appends its
// output to a FilterText. Once the text outgrows the read budget it is handed
// to the matcher in pieces exactly as a file of the same text is read in
// chunks of the budget (cut after a line end, with the same context before
// each piece), so that converted text answers as that file does and memory
// stays near the budget however long the text is; the final call hands on
// the rest and records the converted length.
#pragma once

#include <cstdint>
#include <string>

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

// Filter output as UTF-16 units in machine order (an odd trailing byte waits
// for its partner), with what has been handed to the matcher so far.
struct FilterText {
  std::string bytes;            // output not yet handed on
  std::uint64_t consumed = 0;   // units removed from the front (byte-order mark included)
  bool validateEachPiece = false;  // the request's utfCheckPending, kept for every piece
  bool started = false;         // the first unit (a possible byte-order mark) was looked at
  std::uint64_t markUnits = 0;  // 1 when the output began with a skipped byte-order mark
  std::uint64_t budget = UINT64_MAX;  // bytes of one chunk, context included
  std::size_t contextUnits = 0;  // units at the front already handed on, kept as context

  void Append(const void* data, std::size_t n) { bytes.append(static_cast<const char*>(data), n); }
};

// Hands filter text to the consumer. A leading U+FEFF of the whole output is
// skipped: match positions count from the unit after it, while the content
// size still counts it. Partial (for text that has outgrown text.budget):
// the chunk is the first text.budget bytes, context included, cut as the
// file reader cuts its chunks (after the last line end, else whole less a
// trailing lead surrogate); the piece goes on with state.textContinues set
// and up to 1024 units before it kept as the next piece's context. Final:
// everything after the context goes, and state.contentSize becomes the
// converted length in bytes. Each piece after the first comes with its
// context (state.contextUnits). The consumer is not called for empty text.
// state.startOffset is set before each call. True once the consumer knows
// its answer.
bool MatchFilterText(FilterText& text, EvaluationState& state, const TextConsumer& consumer,
                     bool partial);

// At the end of the output: hands on pieces as long as the text outgrows
// the budget, then the rest. False when a stop or the consumer's known
// answer ended it before the rest.
bool FinishFilterText(FilterText& text, EvaluationState& state, const TextConsumer& consumer);

}  // namespace qm::plugin
