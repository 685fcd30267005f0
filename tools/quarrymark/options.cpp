// Command-line words of the host's commands.
#include "tools/quarrymark/options.h"

#include <cerrno>
#include <cstdlib>

namespace qm::host {
namespace {

struct OptionForm {
  std::vector<std::string> spellings;  // "-j", "--jobs"
  std::string name;                    // "jobs"
  bool takesValue = false;
};

OptionForm ReadOptionForm(const char* text) {
  OptionForm form;
  std::string all = text;
  if (!all.empty() && all.back() == '=') {
    form.takesValue = true;
    all.pop_back();
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t bar = all.find('|', start);
    form.spellings.push_back(all.substr(start, bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  const std::string& last = form.spellings.back();
  form.name = last.substr(last.find_first_not_of('-'));
  return form;
}

}  // namespace

std::string ParsedArgs::Last(const std::string& name, const std::string& fallback) const {
  const auto it = values.find(name);
  return it == values.end() || it->second.empty() ? fallback : it->second.back();
}

std::vector<std::string> ParsedArgs::All(const std::string& name) const {
  const auto it = values.find(name);
  return it == values.end() ? std::vector<std::string>() : it->second;
}

bool ParseArgs(const std::string& command, const std::vector<std::string>& args,
               std::initializer_list<const char*> formTexts, ParsedArgs* parsed,
               std::string* error) {
  std::vector<OptionForm> forms;
  for (const char* text : formTexts) forms.push_back(ReadOptionForm(text));
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      parsed->operands.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    std::string spelling = word, inlineValue;
    bool hasInline = false;
    const std::size_t equals = word.find('=');
    if (word.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      spelling = word.substr(0, equals);
      inlineValue = word.substr(equals + 1);
      hasInline = true;
    }
    const OptionForm* found = nullptr;
    for (const OptionForm& form : forms) {
      for (const std::string& s : form.spellings) {
        if (s == spelling) found = &form;
      }
    }
    if (found == nullptr) {
      *error = command + ": unknown option " + spelling;
      return false;
    }
    if (!found->takesValue) {
      if (hasInline) {
        *error = command + ": " + spelling + " takes no value";
        return false;
      }
      parsed->values[found->name].push_back("");
      continue;
    }
    if (!hasInline) {
      if (i + 1 >= args.size()) {
        *error = command + ": " + spelling + " needs a value";
        return false;
      }
      inlineValue = args[++i];
    }
    parsed->values[found->name].push_back(inlineValue);
  }
  return true;
}

bool ParseNumberInRange(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 18) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (*end != 0 || errno != 0 || v < low || v > high) return false;
  *value = static_cast<long>(v);
  return true;
}

}  // namespace qm::host
