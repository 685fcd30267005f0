// `quarrymark text`: the text a field searches in a file, as UTF-8, so that
// a document field can be debugged (after the converter or Outside In, after
// the encoding decision).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/quarrymark/plugin_host.h"

namespace qm::host {

extern const char kTextHelp[];

// text [--field F] [--quiet] FILE: the text on stdout, how it was obtained on
// stderr. Exit status 0; 1 when the field searches nothing in the file (too
// large); 2 for usage errors, a missing file or a plugin without the export.
int RunText(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
            std::ostream& err);

}  // namespace qm::host
