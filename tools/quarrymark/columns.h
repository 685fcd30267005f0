// `quarrymark columns`: the fields of files as a table, computed the way a
// file manager fills its columns.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/quarrymark/plugin_host.h"

namespace qm::host {

extern const char kColumnsHelp[];

// Each file is asked first with CONTENT_DELAYIFSLOW; what the plugin puts
// off ("...", and "<___>" with --on-demand) is asked again with flags 0.
// Rows are written as soon as they and all rows before them are done, in
// the order of the files, whatever the number of threads. Exit status 0;
// 2 after usage errors or when a path named did not exist (the others are
// still shown); 130 after Ctrl-C (the rows finished until then are written
// and the output stays well-formed).
int RunColumns(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
               std::ostream& err);

}  // namespace qm::host
