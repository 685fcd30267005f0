// `quarrymark compare` and `quarrymark sync`: content comparison through a
// compare field, for two files or for two whole folders (the preview a file
// manager shows before it synchronises directories).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/quarrymark/plugin_host.h"

namespace qm::host {

extern const char kCompareHelp[];
extern const char kSyncHelp[];

// compare [--field F] FILE1 FILE2: prints CODE<TAB>MEANING. Exit status 0
// when the files are equal by the field, 1 otherwise, 2 on usage errors.
int RunCompare(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
               std::ostream& err);

// sync [OPTIONS] DIR1 DIR2: one row per relative path in either folder,
// then a summary. A pair the field cannot compare ("not comparable") is
// compared by its bytes, as a file manager does, unless --no-bytes. Exit
// status 0 when every pair present in both folders is equal (either way), 1
// when one differs or stays undecided, 2 on usage errors, 130 after Ctrl-C.
int RunSync(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
            std::ostream& err);

}  // namespace qm::host
