// The converter program: started for one file, its UTF-16 output read from a
// pipe and handed to the field's matcher.
#pragma once

#include <string>
#include <vector>

#include "plugin/evaluation/evaluation_state.h"
#include "plugin/evaluation/matcher.h"
#include "plugin/evaluation/plugin_settings.h"

namespace qm::plugin {

// Longest command line the converter is started with (Windows).
inline constexpr std::size_t kMaxConverterCommandLine = 2046;

// The converter's arguments for a file: "-u", "-o=0", the option ("-i " for
// "xdoc|i", given without its blank), then the name. On Windows a name of
// 260 units or more is replaced by its short form; false when there is none
// that fits (the converter is not started). Elsewhere names go as they are.
bool ConverterArguments(const std::u16string& option, const std::u16string& fileName,
                        std::vector<std::u16string>* arguments);

// Runs program over the file named in state.fileName and matches its output
// (standard output and standard error together) through consumer. Reads
// never block: the pipe is asked for what is there, and the child is polled
// every millisecond, with a stop test before each read. A stop terminates
// and reaps the child and sets state.abortRequested. A run longer than
// settings.converterTimeLimit seconds (0: no limit) is terminated and
// counts as failed; on Linux the child also runs under an address-space
// limit, and it never outlives the calling thread (see ChildProcess). True
// when the converter exited with 0 or the request was stopped; false when
// it could not be started, ran out of time or exited otherwise. Once the
// consumer knows its answer from a matched piece the rest of the output is
// not read: the child is ended as on a stop, but the run counts
// as succeeded (true), its answer being what the whole output gives. The
// child, its pipes and the text are released on every path.
bool RunConverter(const std::u16string& program, const std::u16string& option,
                  const PluginSettings& settings, EvaluationState& state,
                  const TextConsumer& consumer);

}  // namespace qm::plugin
