#include "tools/quarrymark/fulltext_command.h"

#include <cstdlib>

#include "tools/quarrymark/options.h"

namespace qm::host {

const char kFulltextHelp[] =
    "usage: quarrymark fulltext [--piece BYTES] FILE\n"
    "The text of the Outside In full-text field, read piece by piece as a file manager's full-text\n"
    "search reads it (interface 2.11 and the Outside In libraries are needed; `quarrymark text`\n"
    "shows the text of any field without them).\n"
    "  --piece BYTES   the buffer offered for each piece (default 16384, from 4)\n"
    "Exit status: 0; 1 when the plugin offers no full-text field; 2 usage errors.\n";

namespace {

constexpr int kFulltextWide = 12;  // a piece of full text as UTF-16
constexpr int kDefaultPiece = 16384;

// Writes the units as UTF-8, keeping a trailing lead surrogate back for the
// next piece (pieces are cut by bytes, not by characters).
void WriteUtf8(std::u16string* pending, std::ostream& out, bool last) {
  std::size_t n = pending->size();
  if (!last && n > 0 && pending->back() >= 0xD800 && pending->back() <= 0xDBFF) --n;
  std::string utf8;
  platform::AppendNarrow(platform::kCodePageUtf8, pending->data(), n, &utf8);
  out << utf8;
  pending->erase(0, n);
}

}  // namespace

int RunFulltext(const PluginHost& plugin, const std::vector<std::string>& args, std::ostream& out,
                std::ostream& err) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs("fulltext", args, {"--piece="}, &parsed, &error)) return err << error << '\n', kUsageError;
  int piece = kDefaultPiece;
  if (parsed.Has("piece")) {
    long v = 0;
    if (!ParseNumberInRange(parsed.Last("piece"), 4, 1L << 30, &v)) {
      return err << "fulltext: --piece needs a number of bytes from 4\n", kUsageError;
    }
    piece = static_cast<int>(v);
  }
  if (parsed.operands.size() != 1) return err << "usage: quarrymark fulltext [--piece BYTES] FILE\n", kUsageError;
  const std::string file = parsed.operands[0];

  int field = -1;
  for (const FieldInfo& f : plugin.Fields()) {
    if (f.type == ft_fulltext) field = f.index;
  }
  if (field < 0) {
    return err << "fulltext: the plugin offers no full-text field (are its libraries loaded?)\n", 1;
  }
  std::u16string text, pending;
  long long offset = 0;
  int code = kFulltextWide;
  while (offset <= 0x7FFFFFFF) {
    code = plugin.GetWideText(file, field, static_cast<int>(offset), piece, &text);
    // An empty piece ends the text too: asking again at the same offset
    // would start the document anew.
    if (code != kFulltextWide || text.empty()) break;
    pending += text;
    WriteUtf8(&pending, out, false);
    offset += static_cast<long long>(text.size()) * 2;
  }
  WriteUtf8(&pending, out, true);
  std::u16string ignored;
  plugin.GetWideText(file, field, -1, piece, &ignored);
  if (code == -100) return err << "fulltext: the plugin wrote beyond the buffer\n", 1;
  return 0;
}

}  // namespace qm::host
