// The filter dispatcher: a request with an active filter gets its text from
// here instead of from the file readers.
#pragma once

#include "plugin/config/plugin_state.h"
#include "plugin/evaluation/matcher.h"

namespace qm::plugin {

// Runs the chosen filter over state.fileName and matches its text through
// consumer: the converter for kind 2, the Outside In extraction for kind 1
// when the libraries are loaded. True when the filter produced its text (or
// the consumer knew its answer early) or the request was stopped (the
// caller then finds state.abortRequested); false when the filter failed.
bool RunFilter(const PluginState& plugin, const FilterChoice& choice, EvaluationState& state,
               const TextConsumer& consumer);

}  // namespace qm::plugin
