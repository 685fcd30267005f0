#include "tools/quarrymark/fulltext_command.h"

#include <cstdlib>

namespace qm::host {
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
  std::string file;
  int piece = kDefaultPiece;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--piece" && i + 1 < args.size()) {
      char* end = nullptr;
      const long v = std::strtol(args[++i].c_str(), &end, 10);
      if (end == args[i].c_str() || *end != 0 || v < 4 || v > (1L << 30)) {
        return err << "fulltext: --piece needs a number of bytes from 4\n", 2;
      }
      piece = static_cast<int>(v);
    } else if (file.empty()) {
      file = args[i];
    } else {
      return err << "usage: quarrymark fulltext FILE [--piece BYTES]\n", 2;
    }
  }
  if (file.empty()) return err << "usage: quarrymark fulltext FILE [--piece BYTES]\n", 2;

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
