// Command-line words of the host's commands: options, their values and the
// operands, with the conventions rg and fd have taught (long options with
// "--name VALUE" or "--name=VALUE", "--" ending the options, an unknown
// option named in the message instead of being taken for a path).
#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace qm::host {

// Exit status of every command for a usage error (and, as rg does, for
// errors such as missing paths that did not stop the run).
inline constexpr int kUsageError = 2;
// Exit status after Ctrl-C (128 + SIGINT, as shells report it).
inline constexpr int kInterrupted = 130;

struct ParsedArgs {
  std::map<std::string, std::vector<std::string>> values;  // by canonical name ("" for flags)
  std::vector<std::string> operands;

  bool Has(const std::string& name) const { return values.count(name) != 0; }
  // The last value given for the option, else fallback.
  std::string Last(const std::string& name, const std::string& fallback = "") const;
  // Every value given for the option, in order (for repeatable options).
  std::vector<std::string> All(const std::string& name) const;
};

// Parses the words after a command name. Each form names one option:
// "--long" (a flag), "--long=" (takes a value), with short aliases before
// it separated by '|' ("-j|--jobs="); the canonical name is the long one
// without its dashes ("jobs"). A word "-" alone is an operand. False with a
// one-line message naming the command and the offending word.
bool ParseArgs(const std::string& command, const std::vector<std::string>& args,
               std::initializer_list<const char*> forms, ParsedArgs* parsed, std::string* error);

// A whole decimal number within [low, high]; false otherwise.
bool ParseNumberInRange(const std::string& text, long low, long high, long* value);

}  // namespace qm::host
