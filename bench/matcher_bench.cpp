// The match loop alone: Count over 8 MB of English-like text for the anchor
// patterns, as the plugin runs it and in the simpler ways it could (see
// BM_Count's modes).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "plugin/config/compile.h"
#include "plugin/config/plugin_state.h"
#include "plugin/evaluation/matcher.h"
#include "plugin/evaluation/needle_search.h"

namespace qm::plugin {
namespace {

using settings::FieldType;

// Lines like bench/anchors' text: 4 to 18 common words, 3% log words (0.5%
// when rare: about one line in sixteen holds one), 1.5% e-mail addresses,
// 1.5% ISO dates.
std::string MakeText(std::uint32_t logShare) {
  static const char* const kWords[] = {"the", "of", "and", "to", "in", "is", "you", "that",
                                       "it", "he", "was", "for", "on", "are", "as", "with",
                                       "his", "they", "at", "be", "this", "have", "from", "or",
                                       "one", "had", "by", "word", "but", "not", "what", "all",
                                       "were", "we", "when", "your", "can", "said", "there",
                                       "use", "an", "each", "which", "she", "do", "how"};
  static const char* const kLog[] = {"error", "warning", "failed", "timeout", "denied",
                                     "Error", "ERROR"};
  constexpr std::uint32_t kWordCount = sizeof kWords / sizeof kWords[0];
  std::string t;
  std::uint32_t seed = 1;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  while (t.size() < 8 * 1048576) {
    const std::uint32_t words = 4 + next(15);
    for (std::uint32_t w = 0; w < words; ++w) {
      if (w != 0) t += ' ';
      const std::uint32_t r = next(1000) + 30 - logShare;
      if (r < 30) {
        t += kLog[next(7)];
      } else if (r < 45) {
        t += std::string(kWords[next(kWordCount)]) + "." + kWords[next(kWordCount)] + "@" +
             kWords[next(kWordCount)] + "-" + kWords[next(kWordCount)] + ".org";
      } else if (r < 60) {
        t += std::to_string(1990 + next(40)) + "-0" + std::to_string(1 + next(9)) + "-1" +
             std::to_string(next(10));
      } else {
        t += kWords[next(kWordCount)];
      }
    }
    t += '\n';
  }
  return t;
}

const std::string& Text(bool rare) {
  static const std::string common = MakeText(30);
  static const std::string sparse = MakeText(5);
  return rare ? sparse : common;
}

const char16_t* const kPatterns[] = {u"\\d{4}-\\d{2}-\\d{2}", u"error", u"(?i)error",
                                     u"[\\w.+-]+@[\\w-]+\\.[\\w.]+", u"(?m)^.*$",
                                     u"error|warning|failed|timeout|denied"};

// args: pattern index, mode: 0 as the plugin runs (JIT; line windows and
// literal skips where the expression allows them, else the whole text with
// the stop callout), 1 the whole text with the callout, 2 the whole text
// without the callout (a bare PCRE JIT loop), 3 the interpreter as the
// plugin runs it, 4 as the plugin runs without the library's literal
// scanner (the portable scans). rare: the text with rare log words.
void BM_Count(benchmark::State& run) {
  const auto pattern = static_cast<std::size_t>(run.range(0));
  const int mode = static_cast<int>(run.range(1));
  const bool rare = run.range(2) != 0;
  SetLiteralScannerEnabled(mode != 4);
  PluginState state;
  state.settings.caseSensitiveDefault = true;
  state.ansiTables = settings::MakeCharTables(1252);
  state.oemTables = settings::MakeCharTables(437);
  std::string log;
  SetStopCalloutEnabled(mode != 2);
  CompileField(state, u"\\R", 0, "", log, FieldType::Count, 0, u"");
  CompileField(state, kPatterns[pattern], 1, "", log, FieldType::Count, 0, u"");
  SetStopCalloutEnabled(true);
  SetJitEnabled(mode != 3);
  SetLineWindowsEnabled(mode == 0 || mode == 3 || mode == 4);
  SetLiteralScannerEnabled(true);
  const EvaluationContext context{state.settings, state.fields[0], state.abortSet};
  const std::string& text = Text(rare);
  for (auto _ : run) {
    EvaluationState s;
    MatchBytes(text.data(), text.size(), s, state.fields[1], context);
    benchmark::DoNotOptimize(s.matchCount);
  }
  SetJitEnabled(true);
  SetLineWindowsEnabled(true);
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * text.size()));
}
BENCHMARK(BM_Count)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5}, {0, 1, 2, 3}, {0}})
    ->ArgsProduct({{1, 2, 5}, {0, 4}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// The literal search alone: every start of the log words' alternation over
// the common text, 8-bit (width 0) and as UTF-16 (width 1), with the
// library's scan (scanner 1) or the portable one (scanner 0).
template <typename Char>
void FindAllLiterals(benchmark::State& run, const std::basic_string<Char>& text) {
  SetLiteralScannerEnabled(run.range(1) != 0);
  const NeedleSearch<Char> search(std::vector<Needle>{
      {"error", false}, {"warning", false}, {"failed", false}, {"timeout", false}, {"denied", false}});
  SetLiteralScannerEnabled(true);
  for (auto _ : run) {
    std::size_t found = 0;
    for (std::size_t p = search.Find(text.data(), 0, text.size(), text.size()); p < text.size();
         p = search.Find(text.data(), p + 1, text.size(), text.size())) {
      ++found;
    }
    benchmark::DoNotOptimize(found);
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * text.size() * sizeof(Char)));
}

void BM_Alternation(benchmark::State& run) {
  const std::string& text = Text(false);
  if (run.range(0) == 0) {
    FindAllLiterals(run, text);
    return;
  }
  static const std::u16string wide(text.begin(), text.end());
  FindAllLiterals(run, wide);
}
BENCHMARK(BM_Alternation)->ArgsProduct({{0, 1}, {1, 0}})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qm::plugin
