// Match evaluation: one field's expression over one piece of text.
//
// The 8-bit routine (ANSI/OEM text, or UTF-8 text when state.isUtf8) and the
// 16-bit routine (UTF-16 units in machine order) share one match loop, which
// hands every counted match to the answer sink of the field's type
// (answer_sink.h). They accumulate into the request's EvaluationState, so a file read in chunks is
// evaluated by one call per chunk on the same state: readers set
// state.startOffset before each call, end every chunk but the last before a
// line break and test for a stop between chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "plugin/evaluation/field_definition.h"
#include "plugin/evaluation/abort_set.h"
#include "plugin/evaluation/answer_sink.h"
#include "plugin/evaluation/evaluation_state.h"
#include "plugin/evaluation/plugin_settings.h"

namespace qm::plugin {

// Shared, read-only inputs of evaluation.
struct EvaluationContext {
  const PluginSettings& settings;
  const FieldDefinition& lineBreakField;  // "\R", finds line ends for line references
  const AbortSet& abortSet;
};

// Polled by a running match (MatchCursor::SetStopCheck) every few
// milliseconds of matching, also from inside one long PCRE execution.
class StopCheck {
 public:
  virtual ~StopCheck() = default;
  // True when the work must stop now.
  virtual bool StopNow() = 0;
};

// Cursor status after a StopCheck asked to stop.
inline constexpr int kMatchStopped = -9;  // PCRE_ERROR_CALLOUT

// Test hook: false runs every execution in PCRE's interpreter, as for a
// program that JIT could not compile (process-wide; default true).
void SetJitEnabled(bool enabled);

// Test hooks: false searches every program through the whole text, as for a
// program whose matches may span lines (process-wide; default true); the
// sizes of the line windows (0: the default of each).
void SetLineWindowsEnabled(bool enabled);
void SetWindowSizesForTesting(std::size_t windowUnits, std::size_t maxWindowUnits,
                              std::size_t literalScanUnits);

// The JIT stacks of one matching thread, borrowed from the plugin's pool for
// a cursor's lifetime (made on first need, kept in the pool afterwards).
// JIT stack callbacks, assigned to every JIT-compiled study once when it is
// compiled. They answer the JIT stack that the calling thread's current
// execution leased (null: PCRE's small default stack). Assigning a stack per
// execution instead would write into study data that all threads share.
pcre_jit_stack* CurrentNarrowJitStack(void* unused);
pcre16_jit_stack* CurrentWideJitStack(void* unused);

class JitStackLease {
 public:
  JitStackLease() = default;
  ~JitStackLease();
  JitStackLease(const JitStackLease&) = delete;
  JitStackLease& operator=(const JitStackLease&) = delete;
  pcre_jit_stack* Narrow();
  pcre16_jit_stack* Wide();

 private:
  void Borrow();
  pcre_jit_stack* narrow_ = nullptr;
  pcre16_jit_stack* wide_ = nullptr;
  bool borrowed_ = false;
};

// How successive matches of one program are found in one text: the
// execution options of the compiled form and the rules for stepping past an
// empty match that cannot be extended (a CR LF pair, or a whole UTF-8 or
// UTF-16 character, is stepped over as one).
struct MatchRules {
  int execOptions = 0;               // the form's exec options (newline bits, no-UTF-check)
  bool utf = false;                  // UTF-8 (8-bit form) or UTF-16 text
  bool crlfIsNewline = true;         // CR LF is one line end
  bool emptyMatchesPassThrough = false;
  bool validateFirst = false;        // the first execution validates the whole text
};

// The rules of a field's 8-bit form (UTF-8 when utf8, else ANSI/OEM) and of
// its 16-bit form.
MatchRules RulesFor8(const FieldDefinition& field, bool utf8);
MatchRules RulesFor16(const FieldDefinition& field);

// Successive matches of one compiled program over one text, with exactly the
// evaluation loop's rules: an empty match is retried as a non-empty one at
// the same place and otherwise stepped past (and skipped unless empty
// matches pass through); no empty match is reported at the end of a
// non-empty text. Char is char (8-bit form) or char16_t (16-bit form).
//
//   MatchCursor<char> cursor(program, RulesFor8(field, utf8), text, length, vector);
//   while (FindNextMatch(cursor)) use(cursor.Start(), cursor.End());
//
// vector holds kMatchVectorSize + 1 ints: PCRE's output vector (the groups
// of the current match), then the offset the next search starts from. The
// text must stay valid while the cursor is used.
template <typename Char>
class MatchCursor {
 public:
  using Program = std::conditional_t<sizeof(Char) == 1, Program8, Program16>;

  MatchCursor(const Program& program, const MatchRules& rules, const Char* text,
              std::size_t length, int* vector)
      : program_(program), rules_(rules), text_(text), length_(length), vector_(vector),
        validate_(rules.validateFirst) {}
  MatchCursor(const MatchCursor&) = delete;
  MatchCursor& operator=(const MatchCursor&) = delete;

  std::size_t Start() const { return static_cast<std::size_t>(vector_[0]); }
  std::size_t End() const { return static_cast<std::size_t>(vector_[1]); }
  // The PCRE result of the last execution: the number of groups set plus
  // one after a match, PCRE_ERROR_NOMATCH at the end, or an execution error.
  int Status() const { return status_; }
  const int* Vector() const { return vector_; }
  // The next search starts at offset (a unit of the text), also after the
  // cursor reached its end. Searching again from Start() finds the current
  // match again.
  void SearchFrom(std::size_t offset) {
    offset_ = offset;
    finished_ = false;
  }
  // Polled while matching (may be null: no stop). A stop ends the cursor
  // with Status() kMatchStopped.
  void SetStopCheck(StopCheck* check) { stopCheck_ = check; }
  // Searching begins at this offset (the units before it are context).
  void StartAt(std::size_t offset) { offset_ = offset; }
  // The first execution runs this form of the program instead (same groups
  // and stop point); null: none.
  void FirstExecutionWith(const Program* form) { firstProgram_ = form; }
  // Where the next search starts; after the end, where the last one began.
  std::size_t Offset() const { return offset_; }

  template <typename C>
  friend bool FindNextMatch(MatchCursor<C>& cursor);

 private:
  int Exec(std::size_t start, int options, long anchor, unsigned long limit, bool jit);
  int ExecSliced(std::size_t start, int options, long anchor);
  int ExecWindows(std::size_t start, int options);
  int FindLiteral(std::size_t start);
  int ExecWindow(std::size_t begin, std::size_t end, int options, bool jit);
  void NoteLongLine(std::size_t p);
  std::size_t StepPastEmpty(std::size_t p) const;
  std::size_t StepOne(std::size_t p) const;
  std::size_t NextLineStart(std::size_t p) const;
  bool PollStop();

  const Program& program_;
  const Program* firstProgram_ = nullptr;
  MatchRules rules_;
  const Char* text_;
  std::size_t length_;
  int* vector_;
  std::size_t offset_ = 0;
  int status_ = 0;
  bool validate_;
  bool finished_ = false;
  StopCheck* stopCheck_ = nullptr;
  JitStackLease jitStacks_;
  std::size_t windowStart_ = 0;  // the last window of whole lines (see ExecWindows)
  std::size_t windowEnd_ = 0;
  // The last line found too long for a window: [longStart_, longEnd_) from
  // its first unit to past its line end (or the end of the text).
  std::size_t longStart_ = 0;
  std::size_t longEnd_ = 0;
  // Set by the stop callout of an instrumented program (see matcher.cpp).
  long anchor_ = -1;          // only attempts here may go on (-1: any)
  long lastStart_ = -1;       // start position of the latest attempt
  unsigned countdown_ = 1;    // attempts until the next clock reading
  unsigned period_ = 1;       // attempts between clock readings
  std::uint32_t lastPoll_ = 0;     // last stop check
  std::uint32_t lastReading_ = 0;  // last clock reading
  bool polled_ = false;
  bool stopped_ = false;

  template <typename Block>
  friend int StopCallout(Block* block);
};

// Advances to the next match: true with the match in cursor.Start()/End()
// and its groups in the vector; false at the end of the text or when an
// execution fails (cursor.Status() tells which). After false, every further
// call is false.
template <typename Char>
bool FindNextMatch(MatchCursor<Char>& cursor);

extern template class MatchCursor<char>;
extern template class MatchCursor<char16_t>;
extern template bool FindNextMatch(MatchCursor<char>&);
extern template bool FindNextMatch(MatchCursor<char16_t>&);

// Match one piece of text into state through the answer sink of the
// field's type (see the file comment).
void MatchBytes(const char* text, std::size_t length, EvaluationState& state,
                const FieldDefinition& field, const EvaluationContext& context);
void MatchUnits(const char16_t* text, std::size_t length, EvaluationState& state,
                const FieldDefinition& field, const EvaluationContext& context);

// True when the field's program for the state's text form never lets a
// match run over a line end (it is searched in line windows): the field
// answers the same whether its content is read whole or in chunks.
bool MatchesStayInLines(const FieldDefinition& field, const EvaluationState& state);

// What the readers and text filters hand content to. Bytes and Units
// return true once the answer is known: no further text can change it, so
// the feeder stops reading (it may still read on to validate text, see
// ReadInChunks). The real one runs a field's matcher; tests record what
// they are given.
class TextConsumer {
 public:
  virtual ~TextConsumer() = default;
  virtual bool Bytes(const char* text, std::size_t length, EvaluationState& state) const = 0;
  virtual bool Units(const char16_t* text, std::size_t length, EvaluationState& state) const = 0;
  // True when a stop was requested for the request (the AbortSet holds its key).
  virtual bool StopRequested(const EvaluationState& state) const = 0;
  // True when the content may be handed on in pieces cut at line ends and
  // still answer as one whole text (MatchesStayInLines).
  virtual bool PiecesAnswerAsWhole(const EvaluationState&) const { return false; }
};

class FieldEvaluator final : public TextConsumer {
 public:
  FieldEvaluator(const FieldDefinition& field, const EvaluationContext& context)
      : field_(field), context_(context), sink_(AnswerSinkFor(field.type)) {}
  bool Bytes(const char* text, std::size_t length, EvaluationState& state) const override {
    MatchBytes(text, length, state, field_, context_);
    return sink_.Known(state);
  }
  bool Units(const char16_t* text, std::size_t length, EvaluationState& state) const override {
    MatchUnits(text, length, state, field_, context_);
    return sink_.Known(state);
  }
  bool PiecesAnswerAsWhole(const EvaluationState& state) const override {
    return MatchesStayInLines(field_, state);
  }
  bool StopRequested(const EvaluationState& state) const override {
    return context_.abortSet.Contains(state.requestKey);
  }

 private:
  const FieldDefinition& field_;
  const EvaluationContext& context_;
  const AnswerSink& sink_;
};

}  // namespace qm::plugin
