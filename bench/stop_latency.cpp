// Stop latency: how long after a stop a running Count gives up, for the
// expressions that run longest inside one execution, with JIT and with the
// interpreter. Prints the median and the largest of several runs (ms).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "plugin/config/compile.h"
#include "plugin/config/plugin_state.h"
#include "plugin/evaluation/matcher.h"

namespace qm::plugin {
namespace {

using settings::FieldType;
using Clock = std::chrono::steady_clock;

struct Case {
  const char16_t* pattern;
  const char* label;
  std::string text;
};

double StopOnce(const FieldDefinition& field, const FieldDefinition& lineBreak, PluginState& state,
                const std::string& text, bool wide) {
  state.abortSet.Clear();
  const std::u16string units(text.begin(), text.end());
  EvaluationState s;
  s.isUtf8 = !wide;
  s.isUtf16 = wide;
  s.requestKey = 77;
  const EvaluationContext context{state.settings, lineBreak, state.abortSet};
  Clock::time_point stopped;
  std::thread worker([&] {
    if (wide) {
      MatchUnits(units.data(), units.size(), s, field, context);
    } else {
      MatchBytes(text.data(), text.size(), s, field, context);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  stopped = Clock::now();
  state.abortSet.Insert(77);
  worker.join();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - stopped).count();
  return s.abortRequested ? ms : -1.0;  // -1: finished before the stop
}

int Main() {
  PluginState state;
  state.settings.caseSensitiveDefault = true;
  state.ansiTables = settings::MakeCharTables(1252);
  state.oemTables = settings::MakeCharTables(437);
  std::string log;
  CompileField(state, u"\\R", 0, "", log, FieldType::Count, 0, u"");
  const Case cases[] = {
      {u"(\\w+)\\s*=\\s*(\\w+)", "key=value, 1 MB line of letters", std::string(1000000, 'k')},
      {u"x*x*x*y", "x*x*x*y, 1,500 x", std::string(1500, 'x')},
      {u"x*x*x*y", "x*x*x*y, 100 lines of 1,500 x", [] {
         std::string lines;
         for (int i = 0; i < 100; ++i) lines += std::string(1500, 'x') + " y\n";
         return lines;
       }()},
      // Long lines with many matches: a search in long-line windows.
      {u"b", "b, 32 MB line of b", std::string(32000000, 'b')},
      // Literals answered by the needle search, one match after another.
      {u"ab|b|c", "ab|b|c, 32 MB line of ab(c)", [] {
         std::string line;
         while (line.size() < 32000000) line += "ab(c);";
         return line;
       }()},
      {u"\\w+", "\\w+, 32 MB line of short words", [] {
         std::string line;
         while (line.size() < 32000000) line += "ab(c);d=e.f+1;";
         return line;
       }()},
  };
  std::printf("%-36s %-6s %-12s %10s %10s\n", "case", "form", "engine", "median ms", "max ms");
  for (const Case& c : cases) {
    CompileField(state, c.pattern, 1, "", log, FieldType::Count, 0, u"");
    const FieldDefinition& field = state.fields.back();
    for (const bool wide : {false, true}) {
      for (const bool jit : {true, false}) {
        SetJitEnabled(jit);
        std::vector<double> runs;
        for (int i = 0; i < 5; ++i) runs.push_back(StopOnce(field, state.fields[0], state, c.text, wide));
        std::sort(runs.begin(), runs.end());
        std::printf("%-36s %-6s %-12s %10.1f %10.1f\n", c.label, wide ? "UTF-16" : "UTF-8",
                    jit ? "JIT" : "interpreter", runs[runs.size() / 2], runs.back());
      }
    }
    state.fields.pop_back();
  }
  SetJitEnabled(true);
  return 0;
}

}  // namespace
}  // namespace qm::plugin

int main() { return qm::plugin::Main(); }
