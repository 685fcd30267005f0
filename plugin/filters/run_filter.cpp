#include "plugin/filters/run_filter.h"

#include "plugin/filters/converter.h"
#include "plugin/filters/outside_in.h"

namespace qm::plugin {

const OutsideInLibraries* DocumentSources::LoadedOutsideIn() const {
  return outsideIn != nullptr && outsideIn->Loaded() ? outsideIn : nullptr;
}

bool RunFilter(const DocumentSources& sources, const FilterChoice& choice, EvaluationState& state,
               const TextConsumer& consumer) {
  switch (choice.kind) {
    case settings::FilterKind::Converter:
      return RunConverter(sources.converterCommand, choice.option, sources.settings, state,
                          consumer);
    case settings::FilterKind::OutsideIn: {
      const OutsideInLibraries* outsideIn = sources.LoadedOutsideIn();
      return outsideIn != nullptr && outsideIn->Extract(sources.settings, state, consumer);
    }
    default:
      return false;
  }
}

}  // namespace qm::plugin
