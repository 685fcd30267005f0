#include "plugin/filters/run_filter.h"

#include "plugin/filters/converter.h"

namespace qm::plugin {

bool RunFilter(const PluginState& plugin, const FilterChoice& choice, const FieldDefinition& field,
               EvaluationState& state, const TextConsumer& consumer) {
  switch (choice.kind) {
    case settings::FilterKind::Converter:
      return RunConverter(plugin.converterCommand, choice.option, plugin.settings, field, state,
                          consumer);
    case settings::FilterKind::OutsideIn:
      return plugin.outsideIn.Loaded() && plugin.outsideIn.Extract(plugin.settings, field, state, consumer);
    default:
      return false;
  }
}

}  // namespace qm::plugin
