// The per-request working record.
//
// One EvaluationState lives on the stack of each value request (and each
// side of a comparison). It is passed between the pipeline, the readers, the
// encoding decision, the filters and the matchers, and carries what the
// field type's answer sink (answer_sink.h) accumulates across the calls of
// one request (a file read in chunks is evaluated by several calls on one
// state).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugin/evaluation/abort_set.h"
#include "plugin/evaluation/distinct_set.h"

namespace qm::plugin {

inline constexpr int kMatchVectorPairs = 100;
inline constexpr int kMatchVectorSize = kMatchVectorPairs * 3;  // PCRE's ovector size

struct EvaluationState {
  std::u16string outputText;  // the text answer being built (answer kind Text)
  std::u16string fileName;    // request's name, for the template's name references
  std::unique_ptr<DistinctSet> distinctMatches;  // CountIndividual only
  std::unique_ptr<std::vector<std::int32_t>> lineEnds;  // line ends of the current text

  bool isUtf8 = false;           // text is UTF-8
  bool isUtf16 = false;          // text is UTF-16 (also filter output)
  bool bigEndian = false;        // UTF-16 text is big-endian
  bool utfCheckPending = false;  // only the sample was validated
  bool utf8Irrelevant = false;   // text without a mark is read as ANSI, untested (see
                                 // FieldDefinition::answersAlikeAsUtf8OrAnsi)
  bool countLines = false;       // the template uses line numbers
  bool abortRequested = false;

  std::uint32_t validUtf8Length = 0;  // sample length up to its last whole UTF-8 sequence
  std::uint32_t matchCount = 0;       // Boolean value or match count
  std::uint32_t outputLimit = 0;      // max UTF-16 units of a text answer
  std::uint32_t offsetDigits = 0;     // low 16: decimal digits; high 16: hex digits
  std::uint32_t lineBase = 0;         // lines of earlier chunks
  std::uint64_t startOffset = 0;      // first unit of the current text in the content
  // The current text may be a piece of a longer content: contextUnits units
  // before it are readable content (seen by lookbehind, ^ and \b, never
  // matched), and textContinues says that more content follows its end (so
  // that end is no end of a line for $).
  std::uint32_t contextUnits = 0;
  bool textContinues = false;
  // The search of the previous piece went on to its end (its last search
  // began there), so \G holds at the start of the current piece.
  bool searchReachedCut = false;
  std::int64_t previousMatchStart = -1;  // MatchDistanceRatio; -1 = none recorded
  std::uint64_t contentSize = 0;      // bytes of the whole searched content
  std::uint64_t sum = 0;              // AverageResultLength, MatchDistanceRatio
  RequestKey requestKey;              // the abort key (NameHash of the file name)

  int matchVector[kMatchVectorSize + 1] = {};  // PCRE output vector, then the next start
};

// offsetDigits for a content size: decimal digits (at least 1) in the low
// half, hexadecimal digits rounded up to even (at least 2) in the high half.
std::uint32_t OffsetDigitsFor(std::uint64_t size);

}  // namespace qm::plugin
