// The converter runner.
#include "plugin/filters/converter.h"

#include <algorithm>
#include <new>

#include "platform/platform.h"
#include "plugin/content/file_access.h"
#include "plugin/filters/filter_text.h"
#include "settings_format/settings_format.h"

namespace qm::plugin {
namespace {

constexpr std::size_t kReadPiece = 4096;
constexpr std::uint32_t kPollMilliseconds = 1;
constexpr std::uint64_t kFallbackBudget = 5242880;

// Takes what the pipe holds now, matching the text first whenever it has
// outgrown the budget. False when the request was stopped.
bool Drain(platform::ChildProcess& child, FilterText& text, std::uint64_t budget,
           EvaluationState& state, const TextConsumer& consumer) {
  char piece[kReadPiece];
  for (;;) {
    if (consumer.StopRequested(state)) {
      state.abortRequested = true;
      return false;
    }
    const std::int64_t available = child.AvailableOutput();
    if (available <= 0) return true;
    const std::size_t want = available < static_cast<std::int64_t>(kReadPiece)
                                 ? static_cast<std::size_t>(available)
                                 : kReadPiece;
    const std::int64_t got = child.ReadOutput(piece, want);
    if (got <= 0) return true;
    if (text.bytes.size() > budget) {
      MatchFilterText(text, state, consumer, true);
      if (state.abortRequested) return false;
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

  platform::ChildProcess child =
      platform::ChildProcess::Start(program, arguments, platform::ChildProcess::ErrorOutput::kIntoOutput);
  if (!child.IsRunning()) return false;

  text.validateEachPiece = state.utfCheckPending;
  bool exited = false;
  try {
    while (!(exited = child.WaitForExit(kPollMilliseconds))) {
      if (!Drain(child, text, budget, state, consumer)) break;
    }
    if (exited && !state.abortRequested && Drain(child, text, budget, state, consumer) &&
        !text.bytes.empty()) {
      MatchFilterText(text, state, consumer, false);
    }
  } catch (const std::bad_alloc&) {
    // Out of memory while collecting: the child is ended below and the
    // filter fails, so the request can fall back to the file itself.
    child.Terminate();
    return false;
  }
  if (!exited) child.Terminate();  // a stop: end the converter and reap it
  const int code = child.Wait();
  return state.abortRequested || code == 0;
}

}  // namespace qm::plugin
