// Document readers of the xdoc2txt converter: each turns one document
// format into plain UTF-16 text (lines end in CR LF).
#pragma once

#include <string>

namespace qm::xdoc {

// The text of the document at path, its format told by its first bytes
// (PDF, RTF, a zip holding Office Open XML, OpenDocument or EPUB) or, for
// HTML, also by its extension. False when the format is not one of these or
// the document is damaged.
bool ExtractText(const std::string& path, std::u16string* text);

// The readers behind it, over a document's bytes.
bool PdfText(const std::string& bytes, std::u16string* text);
bool ZipDocumentText(const std::string& bytes, std::u16string* text);
bool RtfText(const std::string& bytes, std::u16string* text);
bool HtmlText(const std::string& bytes, std::u16string* text);

}  // namespace qm::xdoc
