// The SAX driver over zip entries (libxml2's push parser) and its setup.
#include "xml_parts.h"

#include <libxml/parserInternals.h>

#include <cstring>
#include <memory>
#include <new>

#include "reading.h"

namespace qm::xdoc {
namespace {

// Feeds one entry to libxml2 and its events to a handler, counting depth.
class XmlDriver {
 public:
  XmlDriver(XmlHandler& handler, const Limits& limits) : handler_(handler), limits_(limits) {}

  // As ParseEntry (xml_parts.h).
  bool Parse(Zip& zip, const std::string& name) {
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    xmlSAXVersion(&sax, 2);
    // No tree: our own element and text events, and nothing kept of
    // comments or processing instructions. The defaults that stay keep
    // the internal subset (declared entities) in a document freed below.
    sax.startElementNs = OnStart;
    sax.endElementNs = OnEnd;
    sax.characters = OnText;
    sax.cdataBlock = OnText;
    sax.ignorableWhitespace = OnText;
    sax.comment = nullptr;
    sax.processingInstruction = nullptr;
    sax.startElement = nullptr;
    sax.endElement = nullptr;
    sax.warning = nullptr;
    sax.error = nullptr;
    sax.fatalError = nullptr;
    sax.serror = nullptr;
    // The default handlers that stay take the parser context as their
    // user data: this driver is found through its _private field.
    ctxt_ = xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, name.c_str());
    if (ctxt_ == nullptr) throw std::bad_alloc();
    ctxt_->_private = this;
    std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> owner(ctxt_, FreeContext);
    // No network, no DTD loading, no entity substitution (so no external
    // entity is ever read), and no messages: standard error is text to
    // the plugin.
    xmlCtxtUseOptions(ctxt_, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    bool stopped = false;
    const bool found = zip.Stream(name, [&](const char* p, std::size_t n) {
      if (stopped) return;
      xmlParseChunk(ctxt_, p, static_cast<int>(n), 0);
      stopped = Halted();
    });
    if (!found) return false;
    if (!stopped) xmlParseChunk(ctxt_, nullptr, 0, 1);
    if (handler_.stop == Outcome::kPastLimits || pastDepth_) throw PastLimits();
    if (handler_.stop == Outcome::kUnreadable || !ctxt_->wellFormed) throw Unreadable();
    return true;
  }

 private:
  static void FreeContext(xmlParserCtxtPtr ctxt) {
    if (ctxt->myDoc != nullptr) {
      xmlFreeDoc(ctxt->myDoc);
      ctxt->myDoc = nullptr;
    }
    xmlFreeParserCtxt(ctxt);
  }
  bool Halted() const { return ctxt_->instate == XML_PARSER_EOF || ctxt_->disableSAX != 0 || !ctxt_->wellFormed; }
  void Stop() { xmlStopParser(ctxt_); }

  static void OnStart(void* user, const xmlChar* local, const xmlChar* prefix, const xmlChar*, int, const xmlChar**,
                      int attributeCount, int, const xmlChar** attributes) {
    auto* d = static_cast<XmlDriver*>(static_cast<xmlParserCtxtPtr>(user)->_private);
    if (d->handler_.stop != Outcome::kText) return;
    if (++d->depth_ > static_cast<int>(d->limits_.maxDepth)) {
      d->pastDepth_ = true;
      d->Stop();
      return;
    }
    Element e{View(local), View(prefix), attributeCount, attributes};
    d->handler_.Start(e, d->depth_);
    if (d->handler_.stop != Outcome::kText) d->Stop();
  }
  static void OnEnd(void* user, const xmlChar* local, const xmlChar* prefix, const xmlChar*) {
    auto* d = static_cast<XmlDriver*>(static_cast<xmlParserCtxtPtr>(user)->_private);
    if (d->handler_.stop != Outcome::kText) return;
    Element e{View(local), View(prefix)};
    d->handler_.End(e, d->depth_--);
    if (d->handler_.stop != Outcome::kText) d->Stop();
  }
  static void OnText(void* user, const xmlChar* text, int n) {
    auto* d = static_cast<XmlDriver*>(static_cast<xmlParserCtxtPtr>(user)->_private);
    if (d->handler_.stop != Outcome::kText || n <= 0) return;
    d->handler_.Text(std::string_view(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n)));
    if (d->handler_.stop != Outcome::kText) d->Stop();
  }

  XmlHandler& handler_;
  const Limits& limits_;
  xmlParserCtxtPtr ctxt_ = nullptr;
  int depth_ = 0;
  bool pastDepth_ = false;
};


void QuietXml(void*, const char*, ...) {}
void QuietStructured(void*, xmlErrorPtr) {}
xmlParserInputPtr NoExternalEntities(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }


}  // namespace

bool ParseEntry(Zip& zip, const std::string& name, XmlHandler& handler, const Limits& limits) {
  XmlDriver driver(handler, limits);
  return driver.Parse(zip, name);
}

void SetUpXml(const Limits& limits) {
  xmlSetGenericErrorFunc(nullptr, QuietXml);
  xmlSetStructuredErrorFunc(nullptr, QuietStructured);
  xmlSetExternalEntityLoader(NoExternalEntities);
  // Our own depth limit stops the parse first; libxml2's would stop
  // without telling why.
  xmlParserMaxDepth = limits.maxDepth + 16;
}


}  // namespace qm::xdoc
