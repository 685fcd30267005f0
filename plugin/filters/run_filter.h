// The filter dispatcher: a request with an active filter gets its text from
// here instead of from the file readers.
#pragma once

#include <string>

#include "plugin/config/plugin_state.h"
#include "plugin/evaluation/matcher.h"
#include "plugin/evaluation/plugin_settings.h"

namespace qm::plugin {

class OutsideInLibraries;

// What reading a document through a text filter takes from the loaded
// plugin (and nothing else of it).
struct DocumentSources {
  const PluginSettings& settings;
  const FilterExtensionMap& filters;       // file extension -> filter
  const std::u16string& converterCommand;  // the converter program beside the plugin
  const OutsideInLibraries* outsideIn;     // may be null

  // The Outside In libraries when they are loaded, else null.
  const OutsideInLibraries* LoadedOutsideIn() const;
};

inline DocumentSources SourcesOf(const PluginState& plugin) {
  return DocumentSources{plugin.settings, plugin.filters, plugin.converterCommand,
                         plugin.outsideIn.get()};
}

// Runs the chosen filter over state.fileName and matches its text through
// consumer: the converter for kind 2, the Outside In extraction for kind 1
// when the libraries are loaded. True when the filter produced its text (or
// the consumer knew its answer early) or the request was stopped (the
// caller then finds state.abortRequested); false when the filter failed.
bool RunFilter(const DocumentSources& sources, const FilterChoice& choice, EvaluationState& state,
               const TextConsumer& consumer);

}  // namespace qm::plugin
