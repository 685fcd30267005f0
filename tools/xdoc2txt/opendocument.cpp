// OpenDocument text, spreadsheets and presentations.
#include "formats.h"
#include "xml_parts.h"

namespace qm::xdoc {
namespace {

// The body's text: paragraphs and headings end lines; spaces, tabs and line
// breaks are their elements; table cells are separated by tabs (the line
// ends of a cell's last paragraphs become that tab), rows end lines.
// Annotations and note marks are not document text.
class OdfHandler : public XmlHandler {
 public:
  explicit OdfHandler(TextSink& sink) : sink_(sink) {}
  void Start(const Element& e, int depth) override {
    if (!body_.Inside()) {
      if (depth == 2 && e.Is("office", "body")) {
        body_.Enter(depth);
        sawBody = true;
      }
      return;
    }
    if (skip_.Inside()) return;
    if (e.Is("text", "s")) {
      const std::string c = e.Attribute("c", "text");
      long count = c.empty() ? 1 : std::strtol(c.c_str(), nullptr, 10);
      count = std::clamp(count, 1L, 1000L);
      sink_.Units(std::u16string(static_cast<std::size_t>(count), u' '));
    } else if (e.Is("text", "tab")) {
      sink_.Unit(u'\t');
    } else if (e.Is("text", "line-break")) {
      sink_.EndLine();
    } else if (e.Is("office", "annotation") || e.Is("text", "note-citation")) {
      skip_.Enter(depth);
    }
  }
  void End(const Element& e, int depth) override {
    if (!body_.Inside()) return;
    if (skip_.Inside()) {
      skip_.Leave(depth);
      return;
    }
    body_.Leave(depth);
    if (e.Is("table", "table-cell") || e.Is("table", "covered-table-cell")) {
      sink_.DropTrailingLineEnds();
      sink_.Unit(u'\t');
    } else if (e.Is("text", "p") || e.Is("text", "h")) {
      sink_.EndLine();
    } else if (e.Is("table", "table-row")) {
      sink_.DropTrailingTab();
      sink_.EndLine();
    }
  }
  void Text(std::string_view text) override {
    if (body_.Inside() && !skip_.Inside()) sink_.Utf8(text);
  }
  bool sawBody = false;

 private:
  TextSink& sink_;
  Region body_, skip_;
};

}  // namespace

bool OdfDocumentText(Zip& zip, TextSink& sink, const Limits& limits) {
  OdfHandler handler(sink);
  return ParseEntry(zip, "content.xml", handler, limits) && handler.sawBody;
}

}  // namespace qm::xdoc
