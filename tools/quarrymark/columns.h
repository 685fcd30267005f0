// `quarrymark columns`: the fields of files as a table, computed the way a
// file manager fills its columns.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/quarrymark/plugin_host.h"

namespace qm::host {

// A foreground pass with CONTENT_DELAYIFSLOW; delayed fields finished on a
// background thread with flags 0; on-demand fields computed only when asked.
int RunColumns(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
               std::ostream& err);

}  // namespace qm::host
