// `quarrymark fulltext FILE [--piece BYTES]`: the full-text field of a file,
// read the way a host feeds its full-text search.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/quarrymark/plugin_host.h"

namespace qm::host {

extern const char kFulltextHelp[];

// Asks for the pieces at offset 0, then at each following byte offset until
// the plugin has no more, then ends the document with offset -1. Prints the
// text as UTF-8. Exit status 0; 1 when the plugin offers no full-text field
// or a request failed; 2 on a usage error.
int RunFulltext(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
                std::ostream& err);

}  // namespace qm::host
