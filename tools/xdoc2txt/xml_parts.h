// XML parts of a document (zip entries) read through libxml2's SAX push
// parser: the element events a format's handler receives, and the parser's
// process-wide setup.
#pragma once

#include <libxml/parser.h>

#include <string>
#include <string_view>

#include "readers.h"
#include "zip_entries.h"

namespace qm::xdoc {

inline std::string_view View(const xmlChar* s) {
  return s != nullptr ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

// An element as the SAX parser reports it.
struct Element {
  std::string_view local;
  std::string_view prefix;
  int attributeCount = 0;
  const xmlChar** attributes = nullptr;  // (local, prefix, URI, value, end) per attribute

  // The value of the attribute with this local name (and prefix, when
  // given); empty when absent.
  std::string Attribute(std::string_view name, std::string_view withPrefix = {}) const {
    for (int i = 0; i < attributeCount; ++i) {
      const xmlChar** a = attributes + 5 * i;
      if (View(a[0]) == name && (withPrefix.empty() || View(a[1]) == withPrefix)) {
        return std::string(reinterpret_cast<const char*>(a[3]), static_cast<std::size_t>(a[4] - a[3]));
      }
    }
    return std::string();
  }
  bool Is(std::string_view p, std::string_view l) const { return prefix == p && local == l; }
};

// What a format does with the events of one XML part. Depth is the
// element's nesting level (the root is 1). Handlers never throw: one that
// must stop sets stop.
class XmlHandler {
 public:
  virtual ~XmlHandler() = default;
  virtual void Start(const Element&, int) {}
  virtual void End(const Element&, int) {}
  virtual void Text(std::string_view) {}
  Outcome stop = Outcome::kText;
};

// Parses the entry with the handler; false when it is missing. Throws
// Unreadable for XML that is not well formed and PastLimits past the depth
// limit or a handler's limit.
bool ParseEntry(Zip& zip, const std::string& name, XmlHandler& handler, const Limits& limits);

// Tracks one kind of element whose content is skipped or collected: Inside
// while the current element is one, at any depth below it.
class Region {
 public:
  void Enter(int depth) {
    if (depth_ == 0) depth_ = depth;
  }
  void Leave(int depth) {
    if (depth_ == depth) depth_ = 0;
  }
  bool Inside() const { return depth_ != 0; }

 private:
  int depth_ = 0;
};

// Makes libxml2 silent, keeps it from loading any external entity (no XML
// part may name a file or address that is then read) and sets its depth
// limit past ours. Process-wide: called once before a document is read.
void SetUpXml(const Limits& limits);


}  // namespace qm::xdoc
