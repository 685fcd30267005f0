// The text a field searches in a file, for the command-line host's `text`
// command (QuarrymarkGetFieldText): the same choices as a value request
// (filename-only part, text filter with its fallback, encoding decision,
// sample-only fields, the size limit), with the text handed on instead of
// matched. Nothing is cached and no answer changes.
#pragma once

#include "plugin/config/plugin_state.h"
#include "plugin/host_interface/content_plugin.h"

namespace qm::plugin {

// See QuarrymarkGetFieldText in content_plugin.h.
int GetFieldText(PluginState& state, const char16_t* wideName, int fieldIndex,
                 QuarrymarkTextSink sink, void* context);

}  // namespace qm::plugin
