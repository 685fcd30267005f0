// quarrymark settings: the settings utility's model, run headless.
//
//   quarrymark settings check  [--ini PATH]   N<TAB>STATUS<TAB>TEXT for each active field
//   quarrymark settings list   [--ini PATH]   the field list's labels, one per line
//   quarrymark settings test   [--ini PATH] FIELD [TEXTFILE]
//                                             START<TAB>END<TAB>TEXT for each match
//   quarrymark settings resave [--ini PATH]   load and write back as "Apply" does
//
// Without --ini the file is the utility's: Quarrymark.ini beside the
// program, else Quarrymark.Sample.ini.
#pragma once

#include <string>
#include <vector>

namespace qm::host {

extern const char kSettingsHelp[];

// args are the words after "settings"; programDir is the program's folder
// (narrow, with or without a trailing separator). Writes results to stdout
// and errors to stderr. Returns 0 on success; 1 when a field's expression
// does not compile (check), or the test finds no match or cannot run; 2 for
// usage errors and files that cannot be loaded, read or written.
int RunSettingsCommand(const std::vector<std::string>& args, const std::string& programDir);

}  // namespace qm::host
