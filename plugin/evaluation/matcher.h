// Match evaluation: one field's expression over one piece of text.
//
// The 8-bit routine (ANSI/OEM text, or UTF-8 text when state.isUtf8) and the
// 16-bit routine (UTF-16 units in machine order) share one match loop. They
// accumulate into the request's EvaluationState, so a file read in chunks is
// evaluated by one call per chunk on the same state: readers set
// state.startOffset before each call, end every chunk but the last before a
// line break and test for a stop between chunks.
#pragma once

#include <cstddef>

#include "plugin/config/field_definition.h"
#include "plugin/config/plugin_settings.h"
#include "plugin/evaluation/abort_set.h"
#include "plugin/evaluation/evaluation_state.h"

namespace qm::plugin {

// Shared, read-only inputs of evaluation.
struct EvaluationContext {
  const PluginSettings& settings;
  const FieldDefinition& lineBreakField;  // "\R", finds line ends for line references
  const AbortSet& abortSet;
};

// Deepest recursion one PCRE execution may use. Debian's PCRE recurses on the
// C stack; the bound keeps a match within a small host-thread stack (the
// execution then fails like any other, which ends the loop).
inline constexpr unsigned long kMatchRecursionLimit = 2500;

void MatchBytes(const char* text, std::size_t length, EvaluationState& state,
                const FieldDefinition& field, const EvaluationContext& context);
void MatchUnits(const char16_t* text, std::size_t length, EvaluationState& state,
                const FieldDefinition& field, const EvaluationContext& context);

// What the readers hand content to. The real one runs a field's matcher;
// tests record what they are given.
class TextConsumer {
 public:
  virtual ~TextConsumer() = default;
  virtual void Bytes(const char* text, std::size_t length, EvaluationState& state) const = 0;
  virtual void Units(const char16_t* text, std::size_t length, EvaluationState& state) const = 0;
  // True when a stop was requested for the request (the AbortSet holds its key).
  virtual bool StopRequested(const EvaluationState& state) const = 0;
};

class FieldEvaluator final : public TextConsumer {
 public:
  FieldEvaluator(const FieldDefinition& field, const EvaluationContext& context)
      : field_(field), context_(context) {}
  void Bytes(const char* text, std::size_t length, EvaluationState& state) const override {
    MatchBytes(text, length, state, field_, context_);
  }
  void Units(const char16_t* text, std::size_t length, EvaluationState& state) const override {
    MatchUnits(text, length, state, field_, context_);
  }
  bool StopRequested(const EvaluationState& state) const override {
    return context_.abortSet.Contains(state.requestKey);
  }

 private:
  const FieldDefinition& field_;
  const EvaluationContext& context_;
};

}  // namespace qm::plugin
