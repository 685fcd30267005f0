// The converter runner.
#include "plugin/filters/converter.h"

#include <algorithm>
#include <new>

#include "platform/platform.h"
#include "plugin/content/file_access.h"
#include "plugin/content/reader.h"
#include "plugin/filters/filter_text.h"
#include "settings_format/settings_format.h"

namespace qm::plugin {
namespace {

constexpr std::size_t kReadPiece = 4096;
constexpr std::uint32_t kPollMilliseconds = 1;
constexpr std::uint64_t kFallbackBudget = 5242880;

// Address space the converter may take on Linux. The converter streams its
// documents in well under 100 MB; a program that needs more than this is
// being fed something hostile. Sanitizer builds start sanitized converters,
// which reserve terabytes of shadow memory up front: no limit there.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QM_SANITIZED_BUILD 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(QM_SANITIZED_BUILD)
constexpr std::uint64_t kConverterAddressSpace = 0;
#else
constexpr std::uint64_t kConverterAddressSpace = std::uint64_t{1} << 30;
#endif

// The run's time limit: Expired once limitMs have passed since the start
// (never when limitMs is 0). TickCount wraps after 49 days; the difference
// stays right across the wrap for any limit the settings allow.
struct Deadline {
  std::uint32_t start = platform::TickCount();
  std::uint64_t limitMs = 0;
  bool Expired() const {
    return limitMs != 0 && static_cast<std::uint32_t>(platform::TickCount() - start) >= limitMs;
  }
};

enum class DrainEnd { kEmpty, kStopped, kTimedOut, kAnswered };

// Takes what the pipe holds now, matching the text first whenever it has
// outgrown the budget. A converter that writes faster than the text is
// matched keeps the pipe full: the deadline is tested on every piece too.
// kAnswered once the consumer knows its answer from a matched piece: the
// rest of the output cannot change it.
DrainEnd Drain(platform::ChildProcess& child, FilterText& text, std::uint64_t budget,
               const Deadline& deadline, EvaluationState& state, const TextConsumer& consumer) {
  char piece[kReadPiece];
  for (;;) {
    if (consumer.StopRequested(state)) {
      state.abortRequested = true;
      return DrainEnd::kStopped;
    }
    if (deadline.Expired()) return DrainEnd::kTimedOut;
    const std::int64_t available = child.AvailableOutput();
    if (available <= 0) return DrainEnd::kEmpty;
    const std::size_t want = available < static_cast<std::int64_t>(kReadPiece)
                                 ? static_cast<std::size_t>(available)
                                 : kReadPiece;
    const std::int64_t got = child.ReadOutput(piece, want);
    if (got <= 0) return DrainEnd::kEmpty;
    if (text.bytes.size() > budget) {
      const bool known = MatchFilterText(text, state, consumer, true);
      if (state.abortRequested) return DrainEnd::kStopped;
      if (known) return DrainEnd::kAnswered;
    }
    text.Append(piece, static_cast<std::size_t>(got));
  }
}

}  // namespace

bool ConverterArguments(const std::u16string& option, const std::u16string& fileName,
                        std::vector<std::u16string>* arguments) {
  std::u16string name = fileName;
  if (platform::kHasLongPathForm && name.size() >= kLongPathThreshold) {
    name = platform::ShortPathName(MakeLongPath(name));
    if (name.empty() || name.size() >= kLongPathThreshold) return false;
  }
  *arguments = {u"-u", u"-o=0"};
  std::u16string trimmed = option;
  while (!trimmed.empty() && trimmed.back() == u' ') trimmed.pop_back();
  if (!trimmed.empty()) arguments->push_back(trimmed);
  arguments->push_back(name);
  return true;
}

bool RunConverter(const std::u16string& program, const std::u16string& option,
                  const PluginSettings& settings, EvaluationState& state,
                  const TextConsumer& consumer) {
  if (program.empty()) return false;
  std::vector<std::u16string> arguments;
  if (!ConverterArguments(option, state.fileName, &arguments)) return false;
  if (platform::kHasLongPathForm &&
      platform::BuildCommandLine(program, arguments).size() > kMaxConverterCommandLine) {
    return false;
  }
  std::uint64_t budget = std::uint64_t{ReadBudgetMegabytes(settings)} * settings::kMegabyte;
  state.offsetDigits = OffsetDigitsFor(budget);
  // The text never holds more than the budget and one read: reserved once,
  // it is never reallocated (growth by doubling would come near twice the
  // budget). A budget that cannot be had falls back to 5 MiB pieces.
  FilterText text;
  try {
    text.bytes.reserve(static_cast<std::size_t>(budget) + 2 * kReadPiece);
  } catch (const std::bad_alloc&) {
    budget = std::min<std::uint64_t>(budget, kFallbackBudget);
    try {
      text.bytes.reserve(static_cast<std::size_t>(budget) + 2 * kReadPiece);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  platform::ChildProcess::Limits limits;
  limits.addressSpaceBytes = kConverterAddressSpace;
  platform::ChildProcess child = platform::ChildProcess::Start(
      program, arguments, platform::ChildProcess::ErrorOutput::kIntoOutput, limits);
  if (!child.IsRunning()) return false;

  Deadline deadline;
  deadline.limitMs = std::uint64_t{settings.converterTimeLimit} * 1000;
  text.validateEachPiece = state.utfCheckPending;
  text.budget = budget;
  bool exited = false;
  DrainEnd end = DrainEnd::kEmpty;
  try {
    while (!(exited = child.WaitForExit(kPollMilliseconds))) {
      end = Drain(child, text, budget, deadline, state, consumer);
      if (end != DrainEnd::kEmpty) break;
    }
    if (exited && !state.abortRequested) {
      end = Drain(child, text, budget, deadline, state, consumer);
      if (end == DrainEnd::kEmpty && !FinishFilterText(text, state, consumer)) {
        end = state.abortRequested ? DrainEnd::kStopped : DrainEnd::kAnswered;
      }
    }
  } catch (const std::bad_alloc&) {
    // Out of memory while collecting: the child is ended below and the
    // filter fails, so the request can fall back to the file itself.
    child.Terminate();
    return false;
  }
  // A stop, a settled answer or the time limit: end the converter and reap
  // it. A run past its time is a failed filter, whatever text came before;
  // a settled answer stands whatever the converter would have done next.
  if (!exited) child.Terminate();
  const int code = child.Wait();
  if (end == DrainEnd::kTimedOut) return false;
  if (end == DrainEnd::kAnswered) return true;
  return state.abortRequested || code == 0;
}

}  // namespace qm::plugin
