// The format decision of xdoc2txt: a document's first bytes (or, for HTML,
// its extension) choose the reader; a zip archive is told apart by its
// mimetype entry or the parts it holds.
#include "readers.h"

#include <cctype>

#include "formats.h"
#include "xml_parts.h"

namespace qm::xdoc {
namespace {

bool ZipDocumentText(const std::string& path, TextSink& sink, const Limits& limits) {
  Zip zip(path, limits);
  if (!zip.Ok()) return false;
  std::string mimetype;
  if (zip.ReadSmall("mimetype", 256, &mimetype)) {
    while (!mimetype.empty() && std::isspace(static_cast<unsigned char>(mimetype.back()))) mimetype.pop_back();
    if (mimetype == "application/epub+zip") return EpubText(zip, sink, limits);
    if (StartsWith(mimetype, "application/vnd.oasis.opendocument.")) return OdfDocumentText(zip, sink, limits);
  }
  if (zip.Has("word/document.xml")) return DocxText(zip, sink, limits);
  if (zip.Has("xl/workbook.xml")) return XlsxText(zip, sink, limits);
  if (zip.Has("ppt/presentation.xml")) return PptxText(zip, sink, limits);
  if (zip.Has("content.xml")) return OdfDocumentText(zip, sink, limits);
  return false;
}

bool Dispatch(const std::string& path, TextSink& sink, const Limits& limits) {
  std::string head;
  {
    FileReader in(path);
    if (!in.Ok()) return false;
    head.resize(512);
    head.resize(in.Read(head.data(), head.size()));
  }
  if (StartsWith(head, "%PDF-")) return PdfText(path, sink, limits);
  if (StartsWith(head, "PK\x03\x04")) return ZipDocumentText(path, sink, limits);
  if (StartsWith(head, "{\\rtf")) {
    FileReader in(path);
    return in.Ok() && RtfText(in, sink, limits);
  }
  const std::size_t dot = path.find_last_of("./");
  const std::string extension = dot != std::string::npos && path[dot] == '.' ? Lower(path.substr(dot)) : "";
  const std::string start = Lower(head);
  if (extension == ".htm" || extension == ".html" || extension == ".xhtml" ||
      start.find("<html") != std::string::npos || start.find("<!doctype html") != std::string::npos) {
    return HtmlFileText(path, sink);
  }
  return false;
}

}  // namespace

Outcome ExtractText(const std::string& path, TextSink& sink, const Limits& limits) {
  SetUpXml(limits);
  try {
    return Dispatch(path, sink, limits) ? Outcome::kText : Outcome::kUnreadable;
  } catch (const Unreadable&) {
    return Outcome::kUnreadable;
  } catch (const PastLimits&) {
    return Outcome::kPastLimits;
  }
}

}  // namespace qm::xdoc
