// `quarrymark text`, through the plugin's QuarrymarkGetFieldText export.
#include "tools/quarrymark/text_command.h"

#include "tools/quarrymark/options.h"
#include "tools/quarrymark/terminal.h"

namespace qm::host {

const char kTextHelp[] =
    "usage: quarrymark text [--field F] [--quiet] FILE\n"
    "Prints, as UTF-8, the text a field searches in FILE: the name part for a filename-only\n"
    "field, the converter's or Outside In's text for a file of a [Quarrymark_filters] extension\n"
    "(or the file itself when the filter fails and NormalSearchForFilterFail is on), else the\n"
    "file's text in the encoding the plugin decided (only the encoding sample for a field with\n"
    "EncodingCheckBufferOnly). How the text was obtained goes to stderr unless --quiet.\n"
    "  --field F   a value field by name or index (default 0, the first)\n"
    "Characters that are not valid in the decided encoding are shown as U+FFFD.\n"
    "Exit status: 0; 1 when the field searches nothing (the file is larger than\n"
    "GlobalFileSizeLimit); 2 usage errors, a file that cannot be read; 130 Ctrl-C.\n";

namespace {

std::string HowText(int how) {
  static const char* const kEncodings[] = {"ANSI/Binary", "UTF-8", "UTF-16", "UTF-16 BE"};
  if ((how & QM_TEXT_NAME) != 0) return "the file's name part (filename-only field)";
  if ((how & QM_TEXT_CONVERTER) != 0) return "the converter's text";
  if ((how & QM_TEXT_OUTSIDE_IN) != 0) return "the Outside In libraries' text";
  std::string text = std::string(kEncodings[how & 3]) + " text";
  if ((how & QM_TEXT_SAMPLE) != 0) text += ", the encoding sample only";
  return text;
}

}  // namespace

int RunText(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
            std::ostream& err) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs("text", args, {"--field=", "-q|--quiet"}, &parsed, &error)) {
    err << error << "\n(quarrymark text --help lists the options)\n";
    return kUsageError;
  }
  if (parsed.operands.size() != 1) {
    err << "usage: quarrymark text [--field F] [--quiet] FILE\n";
    return kUsageError;
  }
  int field = 0;
  if (parsed.Has("field")) {
    const std::string f = parsed.Last("field");
    long number = 0;
    bool found = ParseNumberInRange(f, 0, 9999, &number);
    if (found) field = static_cast<int>(number);
    for (const FieldInfo& info : plugin.Fields()) {
      if (!found && info.index < 10000 && info.name == f) {
        field = info.index;
        found = true;
      }
    }
    if (!found) {
      err << "text: no value field " << f << " (quarrymark fields lists them)\n";
      return kUsageError;
    }
  }
  const std::string& file = parsed.operands[0];
  // A lead surrogate at a piece's end waits for the next piece.
  std::u16string pending;
  InterruptGuard interrupt;
  const auto piece = [&](const char16_t* text, std::size_t length) {
    pending.append(text, length);
    std::size_t n = pending.size();
    if (n > 0 && pending[n - 1] >= 0xD800 && pending[n - 1] <= 0xDBFF) --n;
    std::string utf8;
    platform::AppendNarrow(platform::kCodePageUtf8, pending.data(), n, &utf8);
    out << utf8;
    pending.erase(0, n);
    return !Interrupted() && out.good();
  };
  bool exported = false;
  const int how = plugin.FieldText(file, field, piece, &exported);
  if (!pending.empty()) {
    std::string utf8;
    platform::AppendNarrow(platform::kCodePageUtf8, pending.data(), pending.size(), &utf8);
    out << utf8;
  }
  out.flush();
  if (!exported) {
    err << "text: this plugin has no QuarrymarkGetFieldText export\n";
    return kUsageError;
  }
  if (Interrupted()) return err << "text: interrupted\n", kInterrupted;
  switch (how) {
    case ft_nosuchfield:
      err << "text: field " << field << " searches no file text (no such field, a compare, "
          << "random or full-text field)\n";
      return kUsageError;
    case ft_fileerror: return err << "text: cannot read " << file << '\n', kUsageError;
    case ft_fieldempty: return err << "text: stopped\n", 1;
    case QM_TEXT_NOT_READ:
      err << "text: " << file << " is larger than GlobalFileSizeLimit; the field searches nothing\n";
      return 1;
    default: break;
  }
  if (!parsed.Has("quiet")) err << "text: " << HowText(how) << '\n';
  return 0;
}

}  // namespace qm::host
