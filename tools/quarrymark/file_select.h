// Which files a command visits under the folders it is given, with the
// habits of rg and fd: hidden files and folders (names starting with a dot)
// and what .gitignore and .ignore files exclude are skipped unless asked
// for; globs and extensions narrow the choice; symbolic links are followed
// only on request. A file named on the command line is always taken.
//
// Ignore files use git's pattern rules: blank lines and '#' comments are
// skipped, '!' negates, a trailing '/' matches folders only, a pattern with
// a '/' before its end is anchored to the ignore file's folder, otherwise it
// matches a name at any depth; '*', '?', '[...]' and '**' as in git. Rules
// of deeper folders win over those of their parents, .ignore over
// .gitignore in one folder, and later lines over earlier ones. Only ignore
// files inside the folders walked are read.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/quarrymark/options.h"

namespace qm::host {

struct FileSelection {
  bool recursive = false;
  bool hidden = false;    // also hidden files and folders
  bool noIgnore = false;  // .gitignore and .ignore files are not read
  bool follow = false;    // symbolic links are followed (a link to a folder being walked is not)
  // Globs over the path below the folder given (over the name alone when
  // the glob holds no '/'). With any glob a file must match one; "!GLOB"
  // excludes matching files and folders.
  std::vector<std::string> globs;
  std::vector<std::string> extensions;  // without the dot; compared without case
};

// The selection options of a command (--recursive, --hidden, --no-ignore,
// --follow, --glob, --ext; the canonical names of -r, -L, -g and -e). False
// with a message for an empty extension.
bool ReadFileSelection(const std::string& command, const ParsedArgs& parsed,
                       FileSelection* selection, std::string* error);

// Matches a glob against a '/'-separated path: '*' and '?' never cross a
// '/', "**" as a whole segment crosses any number of them, "[a-z]", "[!x]"
// and "[^x]" are classes, '\' escapes the next character.
bool GlobMatch(std::string_view glob, std::string_view path);

// Takes one file of a walk; false ends the walk.
using FileTaker = std::function<bool(const std::string& relative)>;

// Gives `take` the files of a folder as the walk finds them, in the order
// commands show them (sorted by their bytes), as relative '/'-separated paths
// (UTF-8 where the names are). False with a message when the folder cannot
// be listed; a walk that `take` ended is not a failure.
bool WalkFolder(const std::string& folder, const FileSelection& selection, const FileTaker& take,
                std::string* error);

// The files of a folder as WalkFolder gives them, collected.
bool ListFolder(const std::string& folder, const FileSelection& selection,
                std::vector<std::string>* relative, std::string* error);

}  // namespace qm::host
