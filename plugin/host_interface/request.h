// The plugin's answers to the host: the field table and the value request.
#pragma once

#include <cstdint>

#include "plugin/config/plugin_state.h"

namespace qm::plugin {

// ContentGetSupportedField: the name, units and answer type of one field.
// Indices from kFirstCompareIndex name the compare fields. Out-of-range indices answer
// ft_nomorefields. Names and units are cut to maxlen - 1 bytes.
int GetSupportedField(const PluginState& state, int fieldIndex, char* fieldName, char* units,
                      int maxlen);

// One value request (ContentGetValue with ansiName, ContentGetValueW with
// wideName; exactly one is set). Returns the host answer code; writes at most
// maxlen bytes into fieldValue. withoutFilter is set only when the request is
// repeated without its text filter (after the filter failed).
int RequestValue(PluginState& state, const char* ansiName, const char16_t* wideName,
                 int fieldIndex, int unitIndex, void* fieldValue, int maxlen, int flags,
                 bool withoutFilter);

}  // namespace qm::plugin
