// The converter's readers, one per document format, and what they return:
// true when the whole text was written, false when the document is not of
// the format or cannot be read (some text may have reached the sink). They
// may throw Unreadable and PastLimits (reading.h).
#pragma once

#include <string>

#include "readers.h"
#include "reading.h"
#include "text_sink.h"
#include "zip_entries.h"

namespace qm::xdoc {

// Office Open XML: Word, Excel and PowerPoint documents.
bool DocxText(Zip& zip, TextSink& sink, const Limits& limits);
bool XlsxText(Zip& zip, TextSink& sink, const Limits& limits);
bool PptxText(Zip& zip, TextSink& sink, const Limits& limits);
// OpenDocument text, spreadsheets and presentations.
bool OdfDocumentText(Zip& zip, TextSink& sink, const Limits& limits);
// HTML from a file, or from an entry of an archive (false when missing).
bool HtmlFileText(const std::string& path, TextSink& sink);
bool HtmlEntryText(Zip& zip, const std::string& entry, TextSink& sink);
// EPUB: the chapters in spine order.
bool EpubText(Zip& zip, TextSink& sink, const Limits& limits);
// RTF, read from the start of the file.
bool RtfText(FileReader& in, TextSink& sink, const Limits& limits);
// PDF: pages in order, each in its physical layout.
bool PdfText(const std::string& path, TextSink& sink, const Limits& limits);


}  // namespace qm::xdoc
