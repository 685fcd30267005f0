// Answer sinks: what each field type makes of the matches of its expression.
//
// The match loop finds matches; the sink of the field's type takes each
// counted one, says when no further match can change the answer (readers
// and filters stop on that, through TextConsumer's return value), writes the
// answer into the host's buffer and the result cache, and knows the type's
// zero answer. AnswerSinkFor is the one place that maps a field type to its
// behaviour: its switch has no default, so a new type does not build with
// -Wswitch until it is given a sink. The value kinds (how a flag, a count, a
// text or a ratio is written and cached) follow settings::AnswerKindOf.
//
// Sinks hold no data of their own: what a request accumulates stays in its
// EvaluationState (matchCount, distinctMatches, outputText, sum,
// previousMatchStart), where replace templates read the result number, the
// chunked reader's restart takes its snapshot and the random generator
// writes its text. One sink per type serves every request at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "plugin/evaluation/evaluation_state.h"
#include "plugin/evaluation/field_definition.h"
#include "plugin/evaluation/plugin_settings.h"
#include "plugin/evaluation/result_cache.h"
#include "settings_format/settings_format.h"

namespace qm::plugin {

// One counted match as the match loop found it: the subject it lies in
// (bytes, or UTF-16 units in machine order; exactly one is set), the
// subject's length in units and the match's units [start, end). The groups
// are in state.matchVector; state.startOffset is the subject's first unit
// within the whole content.
struct CountedMatch {
  const char* bytes = nullptr;
  const char16_t* units = nullptr;
  std::size_t length = 0;
  std::size_t start = 0;
  std::size_t end = 0;

  std::size_t UnitSize() const { return units != nullptr ? 2 : 1; }
};

// The host's buffer for one answer: at most maxlen bytes are written, none
// when fieldValue is null or maxlen <= 0. wide: the request came through
// ContentGetValueW (text answers are UTF-16).
struct AnswerTarget {
  void* fieldValue = nullptr;
  int maxlen = 0;
  bool wide = false;
};

class AnswerSink {
 public:
  virtual ~AnswerSink() = default;

  // Sets up what this type accumulates into in a fresh request's state
  // (the distinct set, the output limit for a buffer of maxlen bytes).
  virtual void Prepare(EvaluationState& state, int maxlen) const;
  // Takes one counted match of the field's expression.
  virtual void Take(const CountedMatch& match, EvaluationState& state,
                    const FieldDefinition& field, const PluginSettings& settings) const = 0;
  // True once no further match can change the answer: reading may stop.
  virtual bool Known(const EvaluationState& state) const = 0;

  // Writes the answer the state holds into the host's buffer and, with a
  // cache and a key, stores it there. False when the type has no answer of
  // this kind to write (the full-text and compare fields answer through
  // their own routines; the caller answers "empty").
  bool Write(EvaluationState& state, const AnswerTarget& target, const PluginSettings& settings,
             ResultCacheStore* cache, const std::string* cacheKey) const;
  // Writes the type's zero answer (a 32-bit 0 for flags, counts and texts,
  // 0.0 for ratios). False when the type has none (it answers "empty").
  bool WriteZero(const AnswerTarget& target) const;

  explicit AnswerSink(settings::FieldType type) : type_(type) {}
  settings::FieldType Type() const { return type_; }

 private:
  settings::FieldType type_;
};

// The sink of a field type. The object lives as long as the process.
const AnswerSink& AnswerSinkFor(settings::FieldType type);

// The encoding decision in the state as the index of its name in
// settings::kEncodingNames (the encoding field's answer).
std::uint32_t EncodingChoice(const EvaluationState& state);

// Bounded copies into a host buffer: text and its terminator cut to fit
// maxlen bytes (UTF-16: maxlen / 2 - 1 units). Nothing for a null buffer
// or maxlen below one terminator.
void CopyNarrow(char* buffer, int maxlen, const char* text);
void CopyWide(void* buffer, int maxlen, const char16_t* text, std::size_t length);

}  // namespace qm::plugin
