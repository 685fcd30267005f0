// The match loop alone: Count over 8 MB of English-like text for the anchor
// patterns, with JIT and the stop callout (what the plugin runs), JIT
// without the callout (its throughput cost), and the interpreter.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "plugin/config/compile.h"
#include "plugin/config/plugin_state.h"
#include "plugin/evaluation/matcher.h"

namespace qm::plugin {
namespace {

using settings::FieldType;

const std::string& Text() {
  static const std::string text = [] {
    static const char* const kWords[] = {"the", "of", "and", "error", "in", "is", "warning", "that",
                                         "for", "on", "timeout", "with", "as", "denied", "be", "at",
                                         "failed", "have", "this", "from", "or", "had", "word"};
    std::string t;
    std::uint32_t seed = 1;
    int words = 0;
    while (t.size() < 8 * 1048576) {
      seed = seed * 1103515245u + 12345u;
      const std::uint32_t r = (seed >> 16) % 100;
      if (r < 2) {
        t += "2024-0" + std::to_string(1 + r) + "-1" + std::to_string(r);
      } else if (r < 4) {
        t += "a.b@ex-ample.org";
      } else {
        t += kWords[(seed >> 8) % (sizeof kWords / sizeof kWords[0])];
      }
      t += ++words % 12 == 0 ? '\n' : ' ';
    }
    return t;
  }();
  return text;
}

const char16_t* const kPatterns[] = {u"\\d{4}-\\d{2}-\\d{2}", u"error", u"(?i)error",
                                     u"[\\w.+-]+@[\\w-]+\\.[\\w.]+", u"(?m)^.*$",
                                     u"error|warning|failed|timeout|denied"};

// args: pattern index, mode (0 JIT + callout, 1 JIT only, 2 interpreter)
void BM_Count(benchmark::State& run) {
  const auto pattern = static_cast<std::size_t>(run.range(0));
  const int mode = static_cast<int>(run.range(1));
  PluginState state;
  state.settings.caseSensitiveDefault = true;
  state.ansiTables = settings::MakeCharTables(1252);
  state.oemTables = settings::MakeCharTables(437);
  std::string log;
  SetStopCalloutEnabled(mode != 1);
  CompileField(state, u"\\R", 0, "", log, FieldType::Count, 0, u"");
  CompileField(state, kPatterns[pattern], 1, "", log, FieldType::Count, 0, u"");
  SetStopCalloutEnabled(true);
  SetJitEnabled(mode != 2);
  const EvaluationContext context{state.settings, state.fields[0], state.abortSet};
  const std::string& text = Text();
  for (auto _ : run) {
    EvaluationState s;
    MatchBytes(text.data(), text.size(), s, state.fields[1], context);
    benchmark::DoNotOptimize(s.matchCount);
  }
  SetJitEnabled(true);
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * text.size()));
}
BENCHMARK(BM_Count)->ArgsProduct({{0, 1, 2, 3, 4, 5}, {0, 1, 2}})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qm::plugin
