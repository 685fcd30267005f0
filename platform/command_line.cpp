// Windows command-line quoting, shared by both backends so that it is tested
// on every machine.
#include "platform/platform.h"

namespace qm::platform {
namespace {

// Appends one argument so that the Microsoft C runtime's parser (and
// CommandLineToArgvW) gives it back unchanged: blanks and quotes need the
// argument quoted; backslashes are doubled only where they precede a quote
// (also the closing one).
void AppendQuoted(const std::u16string& argument, std::u16string* line) {
  if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string::npos) {
    *line += argument;
    return;
  }
  *line += u'"';
  std::size_t backslashes = 0;
  for (const char16_t c : argument) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      line->append(backslashes * 2 + 1, u'\\');
    } else {
      line->append(backslashes, u'\\');
    }
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, u'\\');
  *line += u'"';
}

}  // namespace

std::u16string BuildCommandLine(const std::u16string& program,
                                const std::vector<std::u16string>& arguments) {
  // The program name is parsed by other rules (no escapes): quoting it
  // whole is right for every name Windows allows (names hold no quotes).
  std::u16string line = u"\"" + program + u"\"";
  for (const auto& argument : arguments) {
    line += u' ';
    AppendQuoted(argument, &line);
  }
  return line;
}

}  // namespace qm::platform
