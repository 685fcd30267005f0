#include "plugin/filters/run_filter.h"

#include "plugin/filters/converter.h"

namespace qm::plugin {

bool RunFilter(const PluginState& plugin, const FilterChoice& choice, EvaluationState& state,
               const TextConsumer& consumer) {
  switch (choice.kind) {
    case settings::FilterKind::Converter:
      return RunConverter(plugin.converterCommand, choice.option, plugin.settings, state, consumer);
    case settings::FilterKind::OutsideIn:
      return plugin.outsideIn.Loaded() && plugin.outsideIn.Extract(plugin.settings, state, consumer);
    default:
      return false;
  }
}

}  // namespace qm::plugin
