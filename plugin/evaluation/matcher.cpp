// The match loop, shared by the 8-bit and the 16-bit routine.
//
// One template runs the loop; a small traits type per width executes the
// program and knows how to step past an unmatchable empty match. Each
// counted match goes to the answer sink of the field's type, which
// accumulates into the request's EvaluationState and ends the loop once it
// knows the answer. The line index (IndexLines) records line ends with the
// line-break field for templates that refer to line numbers.
#include "plugin/evaluation/matcher.h"

#include <pcre.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "plugin/evaluation/utf_check.h"

namespace qm::plugin {
namespace {

constexpr int kNoUtfCheck = 0x2000;  // PCRE_NO_UTF8_CHECK == PCRE_NO_UTF16_CHECK
constexpr int kNewlineBits = 0x700000;

// ---------------------------------------------------------------------------
// Executions: limits, JIT stacks, the stop callout
// ---------------------------------------------------------------------------
// An execution first runs with a small match limit; a start position that
// needs more is tried again from there with the limit doubled, up to
// kMaxMatchLimit. Between the tries the cursor sees the clock, so one slow
// start position cannot keep a stop waiting, and the ladder costs at most
// about twice the work of the last try. A start position that fails even
// at the top is given up and the search goes on after it.
constexpr unsigned long kFirstMatchLimit = 100000;
constexpr unsigned long kMaxMatchLimit = 400000;  // kFirstMatchLimit << 2

// Windows of whole lines (see ExecWindows): a window reaches to the first
// line end at least kWindowUnits on, and is searched through the whole text
// instead when that end is more than kMaxWindowUnits further; a start
// position in a window gets kWindowMatchLimit. Together they bound one
// window's execution to tens of milliseconds at worst. Literals are looked for
// kLiteralScanUnits at a time, with a stop poll between.
constexpr std::size_t kWindowUnits = 32768;
constexpr std::size_t kMaxWindowUnits = 65536;
constexpr unsigned long kWindowMatchLimit = 1000;
constexpr std::size_t kLiteralScanUnits = 1 << 20;

struct WindowSizes {
  std::atomic<std::size_t> units{kWindowUnits};
  std::atomic<std::size_t> maxUnits{kMaxWindowUnits};
  std::atomic<std::size_t> literalScanUnits{kLiteralScanUnits};
};
WindowSizes windowSizes;
std::atomic<bool> windowsEnabled{true};

// Memory the interpreter's match frames (on the heap) may take in one
// execution; the recursion limit is derived from it and PCRE's frame size.
constexpr unsigned long kRecursionMemory = 32UL * 1024 * 1024;

// JIT stack of one executing thread: grows on demand up to its maximum.
// An execution that needs more is repeated in the interpreter.
constexpr int kJitStackStart = 32 * 1024;
constexpr int kJitStackMax = 32 * 1024 * 1024;

// How often a stop is looked for: every kStopPollMs of matching at most;
// the clock is read every `period` attempts, a period that adapts to how
// long attempts take.
constexpr std::uint32_t kStopPollMs = 20;
constexpr unsigned kMaxPollPeriod = 64;

std::atomic<bool> jitEnabled{true};

unsigned long RecursionLimit() {
  static const unsigned long limit = [] {
    // PCRE reports its frame size (negated, plus one) when asked with a
    // null program.
    const int frame = -pcre_exec(nullptr, nullptr, nullptr, -999, -999, 0, nullptr, 0);
    return kRecursionMemory / static_cast<unsigned long>(frame > 64 ? frame : 64);
  }();
  return limit;
}

bool IsLimitError(int rc) {
  return rc == PCRE_ERROR_MATCHLIMIT || rc == PCRE_ERROR_RECURSIONLIMIT ||
         rc == PCRE_ERROR_JIT_STACKLIMIT;
}

// JIT stacks, shared by all requests: a cursor borrows a pair and gives it
// back, so each concurrently matching thread has its own and the memory is
// kept for the next request.
struct JitStackPair {
  pcre_jit_stack* narrow = nullptr;
  pcre16_jit_stack* wide = nullptr;
};

void FreePair(const JitStackPair& pair) {
  if (pair.narrow != nullptr) pcre_jit_stack_free(pair.narrow);
  if (pair.wide != nullptr) pcre16_jit_stack_free(pair.wide);
}

class JitStackPool {
 public:
  ~JitStackPool() {
    for (const JitStackPair& pair : free_) FreePair(pair);
  }
  JitStackPair Take() {
    std::lock_guard<platform::Mutex> guard(lock_);
    if (free_.empty()) return {};
    const JitStackPair pair = free_.back();
    free_.pop_back();
    return pair;
  }
  void Give(const JitStackPair& pair) {
    if (pair.narrow == nullptr && pair.wide == nullptr) return;
    {
      std::lock_guard<platform::Mutex> guard(lock_);
      if (free_.size() < free_.capacity()) {
        free_.push_back(pair);
        return;
      }
      try {
        free_.push_back(pair);
        return;
      } catch (const std::bad_alloc&) {
      }
    }
    FreePair(pair);
  }

 private:
  platform::Mutex lock_;
  std::vector<JitStackPair> free_;
};

JitStackPool& Pool() {
  static JitStackPool pool;
  return pool;
}

// The lease of the execution running on this thread (null outside one).
const platform::ThreadSlot& LeaseSlot() {
  static const platform::ThreadSlot slot;
  return slot;
}

// Makes the lease the calling thread's current one for one execution.
class CurrentLease {
 public:
  explicit CurrentLease(JitStackLease& lease) { LeaseSlot().Set(&lease); }
  ~CurrentLease() { LeaseSlot().Set(nullptr); }
  CurrentLease(const CurrentLease&) = delete;
  CurrentLease& operator=(const CurrentLease&) = delete;
};

// One execution. jit false (or a program without machine code) runs the
// interpreter; cursor (may be null) receives the stop callout.
template <typename Extra>
void PrepareExtra(Extra& extra, unsigned long matchLimit, void* cursor, bool jit) {
  extra.flags |= PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  extra.match_limit = matchLimit;
  extra.match_limit_recursion = RecursionLimit();
  if (cursor != nullptr) {
    extra.flags |= PCRE_EXTRA_CALLOUT_DATA;
    extra.callout_data = cursor;
  }
  if (!jit) extra.flags &= ~static_cast<unsigned long>(PCRE_EXTRA_EXECUTABLE_JIT);
}

// window: run the form without the stop callout (windowCode when the
// program keeps one, else code, which then carries no callout), on JIT's
// small default stack: a window's execution is short, the lease's stack
// costs two thread-slot writes per execution, and a window that needs more
// stack fails with a limit error and is searched again the ordinary way.
template <typename Char>
int ExecProgram(const Program<Char>& program, const Char* text, std::size_t length,
                std::size_t start, int options, int* vector, unsigned long matchLimit,
                void* cursor, bool jit, JitStackLease& stacks, bool window = false) {
  using Api = PcreApi<Char>;
  const bool alternate = window && program.windowCode != nullptr;
  const auto* code = alternate ? program.windowCode : program.code;
  const auto* study = alternate ? program.windowStudy : program.study;
  typename Api::Extra extra{};
  if (study != nullptr) extra = *study;
  PrepareExtra(extra, matchLimit, cursor, jit);
  if (jit && !window && program.jit) {
    const CurrentLease current(stacks);
    return Api::Exec(code, &extra, text, static_cast<int>(length), static_cast<int>(start),
                     options, vector, kMatchVectorSize);
  }
  return Api::Exec(code, &extra, text, static_cast<int>(length), static_cast<int>(start), options,
                   vector, kMatchVectorSize);
}

bool IsWellFormed(const char* text, std::size_t length) { return IsWellFormedUtf8(text, length); }
bool IsWellFormed(const char16_t* text, std::size_t length) {
  return IsWellFormedUtf16(text, length);
}

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
bool IsContinuation(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

struct Bytes8 {
  using Char = char;

  static const Program8* ProgramFor(const FieldDefinition& field, const EvaluationState& state) {
    return state.isUtf8 ? field.utf8Program.get() : field.ansiProgram.get();
  }
  static MatchRules RulesFor(const FieldDefinition& field, const EvaluationState& state) {
    MatchRules rules = RulesFor8(field, state.isUtf8);
    rules.validateFirst = state.utfCheckPending && state.isUtf8;
    if (state.textContinues) rules.execOptions |= PCRE_NOTEOL;
    return rules;
  }
};

struct Units16 {
  using Char = char16_t;

  static const Program16* ProgramFor(const FieldDefinition& field, const EvaluationState&) {
    return field.utf16Program.get();
  }
  static MatchRules RulesFor(const FieldDefinition& field, const EvaluationState& state) {
    MatchRules rules = RulesFor16(field);
    rules.validateFirst = state.utfCheckPending;
    if (state.textContinues) rules.execOptions |= PCRE_NOTEOL;
    return rules;
  }
};

// A stop is due when the request's key is in the abort set.
class AbortPoll final : public StopCheck {
 public:
  AbortPoll(const AbortSet& abortSet, const RequestKey& key) : abortSet_(abortSet), key_(key) {}
  bool StopNow() override { return abortSet_.Contains(key_); }

 private:
  const AbortSet& abortSet_;
  RequestKey key_;
};

// Most line ends one text may record before line counting is given up.
std::size_t LineEndLimit(std::size_t n) {
  if (n <= 5242880) return 1310720;
  if (n > 524288000) return 87293952;
  const auto scaled = static_cast<std::size_t>(static_cast<double>(n - 5242880) * 0.6626262626262627 + 0.5);
  return (scaled + 5242880) / 4;
}

// Records the line index of one subject for templates with line
// references: the end of every line break ("\\R") from unit `from` on, in
// state.lineEnds. A list that outgrows its limit, or that cannot be
// allocated, is dropped and line counting is switched off for the request.
template <typename Traits>
void IndexLines(const typename Traits::Char* text, std::size_t length, std::size_t from,
                EvaluationState& state, const EvaluationContext& context) {
  const FieldDefinition& lineBreak = context.lineBreakField;
  const auto* program = Traits::ProgramFor(lineBreak, state);
  const auto overflow = [&state] {
    state.lineEnds.reset();
    state.countLines = false;
  };
  try {
    state.lineEnds = std::make_unique<std::vector<std::int32_t>>();
    state.lineEnds->reserve(length <= 500 ? length : length / 40);
    if (program == nullptr || program->code == nullptr) return;
    const std::size_t limit = LineEndLimit(length);
    AbortPoll abortPoll(context.abortSet, state.requestKey);
    MatchCursor<typename Traits::Char> cursor(*program, Traits::RulesFor(lineBreak, state), text,
                                               length, state.matchVector);
    cursor.SetStopCheck(&abortPoll);
    cursor.StartAt(from);
    while (FindNextMatch(cursor)) {
      state.lineEnds->push_back(static_cast<std::int32_t>(cursor.End()));
      if (state.lineEnds->size() > limit) return overflow();
    }
    if (cursor.Status() == kMatchStopped) state.abortRequested = true;
  } catch (const std::bad_alloc&) {
    overflow();
  }
}

void SetSubject(CountedMatch& match, const char* text) { match.bytes = text; }
void SetSubject(CountedMatch& match, const char16_t* text) { match.units = text; }

// Runs over [context, context + length) of the subject that begins
// `context` units before piece (state.contextUnits); every position below is
// relative to that subject, and state.startOffset is moved to its start for
// the time of the call. Each match goes to the field's answer sink, until
// the sink knows its answer.
template <typename Traits>
void MatchLoop(const typename Traits::Char* piece, std::size_t pieceLength,
               EvaluationState& state, const FieldDefinition& field,
               const EvaluationContext& context) {
  const auto* program = Traits::ProgramFor(field, state);
  if (program == nullptr || program->code == nullptr) return;
  const AnswerSink& sink = AnswerSinkFor(field.type);
  const std::size_t before = state.contextUnits;
  const typename Traits::Char* text = piece - before;
  const std::size_t length = pieceLength + before;
  struct OffsetShift {
    EvaluationState& state;
    std::size_t by;
    OffsetShift(EvaluationState& s, std::size_t b) : state(s), by(b) { state.startOffset -= by; }
    ~OffsetShift() { state.startOffset += by; }
  } shift(state, before);

  if (state.countLines && !state.lineEnds) IndexLines<Traits>(text, length, before, state, context);
  if (state.abortRequested) return;

  // A piece of a longer content is searched as that content would be. \z
  // and \Z hold nowhere in a piece that more content follows, and \G holds
  // at a later piece's start only when the search of the piece before began
  // at its end; the program's piece forms, built for patterns holding these
  // escapes, say so (a program without them searches unchanged).
  const auto* runs = program;
  const decltype(program) first = [&]() -> decltype(program) {
    const bool endNever = state.textContinues && program->pieceForms[0] != nullptr;
    if (endNever) runs = program->pieceForms[0].get();
    if (before == 0 || state.searchReachedCut) return nullptr;
    return program->pieceForms[endNever ? 2 : 1].get();
  }();

  AbortPoll abortPoll(context.abortSet, state.requestKey);
  MatchCursor<typename Traits::Char> cursor(*runs, Traits::RulesFor(field, state), text,
                                             length, state.matchVector);
  cursor.SetStopCheck(&abortPoll);
  cursor.StartAt(before);
  cursor.FirstExecutionWith(first);
  CountedMatch match;
  SetSubject(match, text);
  match.length = length;
  while (!sink.Known(state)) {
    if (!FindNextMatch(cursor)) {
      if (cursor.Status() == kMatchStopped) state.abortRequested = true;
      break;
    }
    match.start = cursor.Start();
    match.end = cursor.End();
    sink.Take(match, state, field, context.settings);
  }

  state.searchReachedCut = cursor.Offset() == length;
  if (state.lineEnds) {
    const bool leaveOutOne =
        state.startOffset != 0 && state.lineBase == 1 && state.lineEnds->empty();
    // A piece that continues the content ends with its line end (or inside
    // a line), which the list already holds.
    const bool addOne = !state.textContinues && !leaveOutOne;
    state.lineBase += static_cast<std::uint32_t>(state.lineEnds->size()) + (addOne ? 1 : 0);
    state.lineEnds.reset();
  }
}

}  // namespace

MatchRules RulesFor8(const FieldDefinition& field, bool utf8) {
  MatchRules rules;
  rules.execOptions = static_cast<int>(utf8 ? field.utf8ExecOptions : field.ansiExecOptions);
  rules.utf = utf8;
  rules.crlfIsNewline = field.crlfIsNewline;
  rules.emptyMatchesPassThrough = field.emptyMatchesPassThrough;
  return rules;
}

MatchRules RulesFor16(const FieldDefinition& field) {
  MatchRules rules;
  rules.execOptions = static_cast<int>(field.utf16ExecOptions);
  rules.utf = true;
  rules.crlfIsNewline = field.crlfIsNewline;
  rules.emptyMatchesPassThrough = field.emptyMatchesPassThrough;
  return rules;
}

void SetJitEnabled(bool enabled) { jitEnabled.store(enabled, std::memory_order_relaxed); }

void SetLineWindowsEnabled(bool enabled) {
  windowsEnabled.store(enabled, std::memory_order_relaxed);
}

void SetWindowSizesForTesting(std::size_t windowUnits, std::size_t maxWindowUnits,
                              std::size_t literalScanUnits) {
  windowSizes.units.store(windowUnits != 0 ? windowUnits : kWindowUnits);
  windowSizes.maxUnits.store(maxWindowUnits != 0 ? maxWindowUnits : kMaxWindowUnits);
  windowSizes.literalScanUnits.store(literalScanUnits != 0 ? literalScanUnits : kLiteralScanUnits);
}

pcre_jit_stack* CurrentNarrowJitStack(void*) {
  auto* lease = static_cast<JitStackLease*>(LeaseSlot().Get());
  return lease != nullptr ? lease->Narrow() : nullptr;
}

pcre16_jit_stack* CurrentWideJitStack(void*) {
  auto* lease = static_cast<JitStackLease*>(LeaseSlot().Get());
  return lease != nullptr ? lease->Wide() : nullptr;
}

JitStackLease::~JitStackLease() {
  if (borrowed_) Pool().Give(JitStackPair{narrow_, wide_});
}

void JitStackLease::Borrow() {
  if (borrowed_) return;
  borrowed_ = true;
  const JitStackPair pair = Pool().Take();
  narrow_ = pair.narrow;
  wide_ = pair.wide;
}

pcre_jit_stack* JitStackLease::Narrow() {
  Borrow();
  if (narrow_ == nullptr) narrow_ = pcre_jit_stack_alloc(kJitStackStart, kJitStackMax);
  return narrow_;
}

pcre16_jit_stack* JitStackLease::Wide() {
  Borrow();
  if (wide_ == nullptr) wide_ = pcre16_jit_stack_alloc(kJitStackStart, kJitStackMax);
  return wide_;
}

// The callout an instrumented program makes at the start of each attempt
// (callout_data is the cursor). It notes where the attempt starts, turns an
// attempt away from the anchor (an anchored retry) into no match, and
// counts attempts towards the next clock reading. Callouts of the user's
// own pattern, and executions without a cursor, carry on unchanged.
template <typename Block>
int StopCallout(Block* block) {
  using Char = std::conditional_t<std::is_same<Block, pcre_callout_block>::value, char, char16_t>;
  auto* cursor = static_cast<MatchCursor<Char>*>(block->callout_data);
  if (cursor == nullptr || block->callout_number != 255 ||
      block->pattern_position != cursor->program_.stopPoint) {
    return 0;
  }
  if (cursor->anchor_ >= 0 && block->start_match != cursor->anchor_) return PCRE_ERROR_NOMATCH;
  cursor->lastStart_ = block->start_match;
  if (--cursor->countdown_ == 0 && cursor->PollStop()) return PCRE_ERROR_CALLOUT;
  return 0;
}

namespace {

int NarrowCallout(pcre_callout_block* block) { return StopCallout(block); }
int WideCallout(pcre16_callout_block* block) { return StopCallout(block); }

void InstallCallouts() {
  static const bool installed = [] {
    pcre_callout = NarrowCallout;
    pcre16_callout = WideCallout;
    return true;
  }();
  (void)installed;
}

}  // namespace

template <typename Char>
bool MatchCursor<Char>::PollStop() {
  countdown_ = period_;
  if (stopCheck_ == nullptr) {
    countdown_ = ~0u;
    return false;
  }
  const std::uint32_t now = platform::TickCount();
  if (!polled_) {
    polled_ = true;
    lastPoll_ = lastReading_ = now;
    return false;
  }
  // Attempts that take long get a reading each; quick ones share one.
  const std::uint32_t sinceReading = now - lastReading_;
  lastReading_ = now;
  if (sinceReading <= 1) {
    if (period_ < kMaxPollPeriod) period_ *= 2;
  } else if (sinceReading > 4) {
    period_ = 1;
  }
  countdown_ = period_;
  if (now - lastPoll_ < kStopPollMs) return false;
  lastPoll_ = now;
  if (!stopCheck_->StopNow()) return false;
  stopped_ = true;
  return true;
}

template <typename Char>
int MatchCursor<Char>::Exec(std::size_t start, int options, long anchor, unsigned long limit,
                            bool jit) {
  const bool instrumented = program_.stopPoint != kNoStopPoint;
  if (anchor >= 0 && !instrumented) options |= PCRE_ANCHORED;
  anchor_ = instrumented ? anchor : -1;
  lastStart_ = -1;
  InstallCallouts();
  return ExecProgram(firstProgram_ != nullptr ? *firstProgram_ : program_, text_, length_, start,
                     options, vector_, limit,
                     instrumented ? this : nullptr, jit, jitStacks_);
}

// One search from start (only at anchor when anchor >= 0), through the
// ladder of match limits. A limit error that remains names the start
// position given up in lastStart_.
template <typename Char>
int MatchCursor<Char>::ExecSliced(std::size_t start, int options, long anchor) {
  const bool jit = jitEnabled.load(std::memory_order_relaxed);
  unsigned long limit = kFirstMatchLimit;
  std::size_t from = start;
  for (;;) {
    int rc = Exec(from, options, anchor, limit, jit);
    if (rc == PCRE_ERROR_JIT_STACKLIMIT) rc = Exec(from, options, anchor, limit, false);
    if (stopped_) return kMatchStopped;
    if (!IsLimitError(rc)) return rc;
    // The attempts before lastStart_ found nothing; the one at lastStart_
    // ran out of its limit.
    if (lastStart_ >= static_cast<long>(from)) from = static_cast<std::size_t>(lastStart_);
    if (PollStop()) return kMatchStopped;
    if (limit >= kMaxMatchLimit || rc != PCRE_ERROR_MATCHLIMIT) {
      lastStart_ = static_cast<long>(from);
      return rc;
    }
    limit *= 2;
  }
}

// The search from start, for a program whose matches stay inside one
// line: PCRE runs over a window of whole lines at a time (the text up to
// and including a line end no match can contain), where it finds exactly
// what it finds in the whole text, and a match that begins at the window's
// end is looked for again in the next window. The windows are short and
// the match limit small, so the form without the stop callout runs and
// the cursor polls between windows. When the program has literals every
// match holds, only lines holding one are searched. A line too long for a
// window is found to its end once and then searched as one window from
// each position the search reaches, so that its cost per match does not
// grow with its length; a start position that needs more than the small
// limit is searched as the whole text is.
template <typename Char>
bool IsCut(Char c) {
  return c == Char('\n') || c == Char('\r');
}

// Records the line holding p (not a line end) as the last long line: its
// start and end are found once.
template <typename Char>
void MatchCursor<Char>::NoteLongLine(std::size_t p) {
  std::size_t begin = p;
  while (begin > 0 && !IsCut(text_[begin - 1])) --begin;
  const std::size_t cut = FindLineEnd(text_, p, length_);
  longStart_ = begin;
  longEnd_ = cut < length_ ? cut + 1 : length_;
}

template <typename Char>
int MatchCursor<Char>::ExecWindows(std::size_t start, int options) {
  const bool jit = jitEnabled.load(std::memory_order_relaxed);
  if (rules_.utf && (options & kNoUtfCheck) == 0) {
    // The whole text is validated once, as the first execution would.
    const int rc = ExecProgram(program_, text_, length_, length_, options, vector_,
                               kWindowMatchLimit, nullptr, jit, jitStacks_, true);
    if (rc < 0 && rc != PCRE_ERROR_NOMATCH && !IsLimitError(rc)) return rc;
    options |= kNoUtfCheck;
  }
  const bool literals = !program_.needles.Empty();
  const bool starts = program_.needles.FindsStarts();
  if (literals && program_.plan.wholeLiteral) return FindLiteral(start);
  const auto inLongLine = [this](std::size_t p) { return p >= longStart_ && p < longEnd_; };
  std::size_t from = start;   // where the next window or literal scan begins
  std::size_t floor = start;  // no match begins between start and here
  for (;;) {
    if (from >= length_) {
      // Only an empty match can begin at the very end.
      if (literals || from > length_) return PCRE_ERROR_NOMATCH;
      return ExecSliced(from, options, -1);
    }
    if (from >= windowStart_ && from < windowEnd_) {
      // Still inside the last window: the rest of it is a window too (a
      // literal window is one line, so no literal there means no match).
      const std::size_t end = windowEnd_;
      const std::size_t hit = literals ? program_.needles.Find(text_, from, end, length_) : from;
      if (hit == end) {
        from = floor = end;
        continue;
      }
      const int rc = ExecWindow(starts ? hit : from, end, options, jit);
      if (rc != PCRE_ERROR_NOMATCH) return rc;
      from = floor = end;
      continue;
    }
    // A stop is looked for before each new window, literal scan or search
    // in a long line (one window's executions are bounded, see the sizes
    // above).
    if (--countdown_ == 0 && PollStop()) return kMatchStopped;
    const std::size_t maxWindowUnits = windowSizes.maxUnits.load(std::memory_order_relaxed);
    std::size_t begin = from;
    std::size_t scanFrom = from + windowSizes.units.load(std::memory_order_relaxed);
    if (literals) {
      const std::size_t literalScanUnits =
          windowSizes.literalScanUnits.load(std::memory_order_relaxed);
      const std::size_t to = std::min(length_, from + literalScanUnits);
      const std::size_t hit = program_.needles.Find(text_, from, to, length_);
      if (hit == to) {
        if (to >= length_) return PCRE_ERROR_NOMATCH;
        from = to;
        continue;
      }
      // Back to the start of the hit's line (a match holding the literal
      // cannot begin before it), but not before the floor; no match begins
      // before a start the probes found.
      if (starts) {
        begin = hit;
      } else {
        if (!inLongLine(hit)) {
          begin = hit;
          while (begin > floor && !IsCut(text_[begin - 1]) && hit - begin < maxWindowUnits) --begin;
          if (begin > floor && !IsCut(text_[begin - 1])) NoteLongLine(hit);
        }
        if (inLongLine(hit)) begin = std::max(floor, longStart_);
      }
      scanFrom = hit;
    }
    // The window ends after the first line end from scanFrom on; in a long
    // line, after that line's end.
    std::size_t end = length_;
    bool longWindow = false;
    if (scanFrom < length_) {
      if (!inLongLine(scanFrom)) {
        const std::size_t scanTo = std::min(length_, scanFrom + maxWindowUnits);
        const std::size_t q = FindLineEnd(text_, scanFrom, scanTo);
        if (q < scanTo || scanTo == length_) {
          end = q < length_ ? q + 1 : length_;
        } else {
          NoteLongLine(q - 1);
        }
      }
      if (inLongLine(scanFrom)) {
        end = longEnd_;
        longWindow = true;
      }
    }
    if (!longWindow) {
      windowStart_ = begin;
      windowEnd_ = end;
    }
    const int rc = ExecWindow(begin, end, options, jit);
    if (rc != PCRE_ERROR_NOMATCH) return rc;
    from = floor = end;
  }
}

// True when the ASCII literal occurs at p of the text.
template <typename Char>
bool LiteralAt(const Char* text, std::size_t p, std::size_t length, const std::string& literal) {
  if (literal.size() > length - p) return false;
  for (std::size_t i = 0; i < literal.size(); ++i) {
    if (text[p + i] != static_cast<Char>(static_cast<unsigned char>(literal[i]))) return false;
  }
  return true;
}

// The search from start for a program that is nothing but literals (see
// LinePlan::alternatives): the needle search finds where the next match
// begins and the first alternative that occurs there is the match, as
// PCRE would find with no execution. A stop is looked for before each
// stretch of the scan. Sets group 0 as an execution would.
template <typename Char>
int MatchCursor<Char>::FindLiteral(std::size_t start) {
  const std::vector<std::string>& alternatives = program_.plan.alternatives;
  const std::size_t scanUnits = windowSizes.literalScanUnits.load(std::memory_order_relaxed);
  for (std::size_t from = start; from < length_;) {
    if (--countdown_ == 0 && PollStop()) return kMatchStopped;
    const std::size_t to = std::min(length_, from + scanUnits);
    const std::size_t hit = program_.needles.Find(text_, from, to, length_);
    if (hit < to) {
      for (const std::string& literal : alternatives) {
        if (!LiteralAt(text_, hit, length_, literal)) continue;
        vector_[0] = static_cast<int>(hit);
        vector_[1] = static_cast<int>(hit + literal.size());
        return 1;
      }
      from = hit + 1;  // not reached: the search found one of them there
      continue;
    }
    from = to;
  }
  return PCRE_ERROR_NOMATCH;
}

// One execution over the window [0, end) from begin: a match, NOMATCH when
// nothing begins before the window's end, or what the whole-text search
// from begin answers when a start position needs more than the window
// limit.
template <typename Char>
int MatchCursor<Char>::ExecWindow(std::size_t begin, std::size_t end, int options, bool jit) {
  const int rc = ExecProgram(program_, text_, end, begin, options, vector_, kWindowMatchLimit,
                             nullptr, jit, jitStacks_, true);
  if (rc >= 0) {
    return static_cast<std::size_t>(vector_[0]) < end || end == length_ ? rc : PCRE_ERROR_NOMATCH;
  }
  if (IsLimitError(rc)) return ExecSliced(begin, options, -1);
  return rc;
}

// Past an empty match at p that cannot be extended: a CR LF pair when CR LF
// is a line end, else one whole character.
template <typename Char>
std::size_t MatchCursor<Char>::StepPastEmpty(std::size_t p) const {
  if (p + 1 >= length_) return p + 1;
  if (rules_.crlfIsNewline && text_[p] == Char('\r') && text_[p + 1] == Char('\n')) return p + 2;
  return StepOne(p);
}

// Past the character at p.
template <typename Char>
std::size_t MatchCursor<Char>::StepOne(std::size_t p) const {
  if (p + 1 >= length_ || !rules_.utf) return p + 1;
  std::size_t q = p + 1;
  if (sizeof(Char) == 2) return IsContinuation(text_[q]) ? q + 1 : q;
  while (q < length_ && IsContinuation(text_[q])) ++q;
  return q;
}

// The start of the line after the one holding p (past its LF, CR or CR LF),
// or one past the end of the text when p is on the last line.
template <typename Char>
std::size_t MatchCursor<Char>::NextLineStart(std::size_t p) const {
  for (std::size_t q = p; q < length_; ++q) {
    if (text_[q] == Char('\n')) return q + 1;
    if (text_[q] == Char('\r')) return q + 1 < length_ && text_[q + 1] == Char('\n') ? q + 2 : q + 1;
  }
  return length_ + 1;
}

template <typename Char>
bool FindNextMatch(MatchCursor<Char>& c) {
  if (c.finished_) return false;
  const bool passThrough = c.rules_.emptyMatchesPassThrough;
  const int baseOptions = c.rules_.execOptions & ~kNewlineBits;  // the program's own
  const bool windowed =
      c.program_.plan.windowed && windowsEnabled.load(std::memory_order_relaxed);
  int* v = c.vector_;
  auto finish = [&c](int status) {
    c.status_ = status;
    c.finished_ = true;
    return false;
  };
  for (;;) {
    if (c.offset_ > c.length_) break;
    // Programs without the stop callout are polled between executions.
    if (c.program_.stopPoint == kNoStopPoint && !windowed && --c.countdown_ == 0 &&
        c.PollStop()) {
      return finish(kMatchStopped);
    }
    int options = baseOptions;
    if (c.validate_) {
      // The whole text is validated once: by the quick check, or else by
      // PCRE, which reports the fault.
      c.validate_ = false;
      if (!IsWellFormed(c.text_, c.length_)) options &= ~kNoUtfCheck;
    }
    int rc = windowed ? c.ExecWindows(c.offset_, options) : c.ExecSliced(c.offset_, options, -1);
    c.firstProgram_ = nullptr;
    if (rc == kMatchStopped) return finish(kMatchStopped);
    if (IsLimitError(rc)) {
      // Given up at one start position: the rest of its line is skipped, as
      // a search tool skips a line it cannot finish, and the search goes on.
      c.offset_ = c.NextLineStart(static_cast<std::size_t>(c.lastStart_));
      continue;
    }
    if (rc < 0) return finish(rc);
    std::size_t next = static_cast<std::size_t>(v[1]);
    if (v[0] == v[1]) {
      const auto p = static_cast<std::size_t>(v[0]);
      if (p == c.length_ && c.length_ > 0 && !passThrough) break;
      const int retry =
          c.ExecSliced(p, baseOptions | PCRE_NOTEMPTY_ATSTART, static_cast<long>(p));
      if (retry == kMatchStopped) return finish(kMatchStopped);
      if (retry == PCRE_ERROR_NOMATCH || IsLimitError(retry)) {
        next = c.StepPastEmpty(p);
        if (!passThrough) {
          c.offset_ = next;
          continue;
        }
        v[0] = v[1] = static_cast<int>(p);
      } else if (retry < 0) {
        return finish(retry);
      } else {
        rc = retry;
        next = static_cast<std::size_t>(v[1]);
      }
    }
    c.status_ = rc;
    c.offset_ = next;
    v[kMatchVectorSize] = static_cast<int>(next);
    return true;
  }
  return finish(PCRE_ERROR_NOMATCH);
}

template class MatchCursor<char>;
template class MatchCursor<char16_t>;
template bool FindNextMatch(MatchCursor<char>&);
template bool FindNextMatch(MatchCursor<char16_t>&);

bool MatchesStayInLines(const FieldDefinition& field, const EvaluationState& state) {
  if (state.isUtf16) return field.utf16Program != nullptr && field.utf16Program->plan.windowed;
  const auto& program = state.isUtf8 ? field.utf8Program : field.ansiProgram;
  return program != nullptr && program->plan.windowed;
}

void MatchBytes(const char* text, std::size_t length, EvaluationState& state,
                const FieldDefinition& field, const EvaluationContext& context) {
  static const char kEmpty[1] = {0};
  MatchLoop<Bytes8>(text != nullptr ? text : kEmpty, length, state, field, context);
}

void MatchUnits(const char16_t* text, std::size_t length, EvaluationState& state,
                const FieldDefinition& field, const EvaluationContext& context) {
  static const char16_t kEmpty[1] = {0};
  MatchLoop<Units16>(text != nullptr ? text : kEmpty, length, state, field, context);
}

}  // namespace qm::plugin
