// Document readers of the xdoc2txt converter: each turns one document
// format into plain text (lines end in CR LF), handed to a TextSink as it is
// found.
//
// Every reader streams: a document is read from its file in pieces, zip
// entries are inflated piece by piece into a SAX parser, and no reader keeps
// a document's text or tree. Nesting depth costs no stack. What a hostile
// document could make grow is bounded by the limits below; past one the
// reader stops with Outcome::kPastLimits.
#pragma once

#include <cstdint>
#include <string>

#include "text_sink.h"

namespace qm::xdoc {

enum class Outcome {
  kText = 0,        // the whole text was written
  kUnreadable = 1,  // not a known format, damaged, encrypted or missing
  kPastLimits = 3,  // stopped at a limit: a zip bomb, absurd nesting, a page too heavy
};

// Limits against hostile documents.
struct Limits {
  // A zip entry inflating to more than this is refused, and so is the sum
  // of the entries a document reads.
  std::uint64_t maxEntryBytes = std::uint64_t{1} << 30;
  std::uint64_t maxArchiveBytes = std::uint64_t{2} << 30;
  // Entries larger than the grace size must not inflate more than
  // maxRatio times their compressed size (ordinary documents stay under 30).
  std::uint64_t ratioGraceBytes = std::uint64_t{16} << 20;
  std::uint64_t maxRatio = 100;
  // Element nesting in XML parts.
  std::uint32_t maxDepth = 1000000;
  // Bytes of spreadsheet shared strings, which must be kept for lookups.
  std::uint64_t maxSharedStringBytes = std::uint64_t{32} << 20;
  // Characters drawn on one PDF page, and abort checks of its content
  // stream (one about every ten operators).
  std::uint64_t maxPageCharacters = 50000;
  std::uint64_t maxPageChecks = 500000;
};

// The text of the document at path, its format told by its first bytes
// (PDF, RTF, a zip holding Office Open XML, OpenDocument or EPUB) or, for
// HTML, also by its extension or its start. Text reaches sink before the
// outcome is known: on any outcome but kText it is incomplete. Never throws
// for a document's content (std::bad_alloc may pass).
Outcome ExtractText(const std::string& path, TextSink& sink, const Limits& limits = Limits());

}  // namespace qm::xdoc
