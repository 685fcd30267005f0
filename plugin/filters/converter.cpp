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

constexpr std::uint32_t kPollMilliseconds = 1;

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

// The converter's output as a byte source. Reads never block: the pipe is
// asked for what is there, and the child is polled every millisecond while
// it is empty, with a stop test and the deadline before each look (a
// converter that writes faster than the text is matched keeps the pipe
// full, so the deadline is tested on every read too). A stop or the time
// limit fails the read; the end of the output is the child's exit with the
// pipe drained.
class ConverterOutput final : public ByteSource {
 public:
  ConverterOutput(platform::ChildProcess& child, const Deadline& deadline, EvaluationState& state,
                  const TextConsumer& consumer)
      : child_(child), deadline_(deadline), state_(state), consumer_(consumer) {}

  std::int64_t Read(char* buffer, std::size_t n) override {
    for (;;) {
      if (consumer_.StopRequested(state_)) {
        state_.abortRequested = true;
        return -1;
      }
      if (deadline_.Expired()) {
        timedOut_ = true;
        return -1;
      }
      const std::int64_t available = child_.AvailableOutput();
      if (available > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n, available));
        const std::int64_t got = child_.ReadOutput(buffer, want);
        if (got > 0) return got;
      }
      if (exited_) return 0;
      exited_ = child_.WaitForExit(kPollMilliseconds);
    }
  }

  bool Exited() const { return exited_; }
  bool TimedOut() const { return timedOut_; }

 private:
  platform::ChildProcess& child_;
  const Deadline& deadline_;
  EvaluationState& state_;
  const TextConsumer& consumer_;
  bool exited_ = false;
  bool timedOut_ = false;
};

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
  const std::uint64_t budget = std::uint64_t{ReadBudgetMegabytes(settings)} * settings::kMegabyte;
  state.offsetDigits = OffsetDigitsFor(budget);

  // The output is read in chunks of the budget (or of line chunks, see
  // FilterChunkBytes) from the pipe; the buffer is had before the converter
  // starts.
  platform::ChildProcess child;
  Deadline deadline;
  deadline.limitMs = std::uint64_t{settings.converterTimeLimit} * 1000;
  ConverterOutput output(child, deadline, state, consumer);
  ChunkedReader reader = FilterReader(output, FilterChunkBytes(budget, state, consumer));
  if (!AllocateFilterReader(reader)) return false;

  platform::ChildProcess::Limits limits;
  limits.addressSpaceBytes = kConverterAddressSpace;
  child = platform::ChildProcess::Start(program, arguments,
                                        platform::ChildProcess::ErrorOutput::kIntoOutput, limits);
  if (!child.IsRunning()) return false;
  deadline.start = platform::TickCount();

  FilterTextEnd end = FilterTextEnd::kFailed;
  try {
    end = MatchFilterText(reader, state, consumer);
  } catch (const std::bad_alloc&) {
    // Out of memory while matching: the child is ended below and the filter
    // fails, so the request can fall back to the file itself.
    end = FilterTextEnd::kFailed;
  }
  // A stop, a settled answer, a failure or the time limit: end the converter
  // and reap it. A run past its time is a failed filter, whatever text came
  // before; a settled answer stands whatever the converter would have done
  // next.
  if (!output.Exited()) child.Terminate();
  const int code = child.Wait();
  if (output.TimedOut() || end == FilterTextEnd::kFailed) return false;
  if (end == FilterTextEnd::kAnswered) return true;
  return state.abortRequested || code == 0;
}

}  // namespace qm::plugin
