// HTML (libxml2's HTML push parser), from a file or from an archive entry.
#include <libxml/HTMLparser.h>

#include <cstring>
#include <new>
#include <vector>

#include "formats.h"
#include "xml_parts.h"

namespace qm::xdoc {
namespace {

bool BlockElement(std::string_view name) {
  static const char* const kBlocks[] = {"p",  "div", "br", "li", "tr", "h1", "h2",     "h3",
                                        "h4", "h5",  "h6", "dt", "dd", "pre", "table", "blockquote",
                                        "section", "article", "header", "footer", "title"};
  for (const char* b : kBlocks) {
    if (name == b) return true;
  }
  return false;
}

// HTML text from the SAX events of libxml2's HTML parser: runs of blanks
// and line ends read as one blank, except in "pre"; block elements start
// and end lines; lines carry no blanks at their ends; table cells end in a
// tab; script and style are not text.
class HtmlText {
 public:
  explicit HtmlText(TextSink& sink) : sink_(sink) {}

  // Parses a document fed in pieces through Feed; Finish ends it.
  void Begin() {
    htmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    xmlSAX2InitHtmlDefaultSAXHandler(&sax);
    sax.startElement = OnStart;
    sax.endElement = OnEnd;
    sax.characters = OnText;
    sax.cdataBlock = OnText;
    sax.ignorableWhitespace = OnText;
    sax.comment = nullptr;
    sax.processingInstruction = nullptr;
    sax.warning = nullptr;
    sax.error = nullptr;
    sax.fatalError = nullptr;
    sax.serror = nullptr;
    ctxt_ = htmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, nullptr, XML_CHAR_ENCODING_NONE);
    if (ctxt_ == nullptr) throw std::bad_alloc();
    ctxt_->_private = this;  // as for XML parts
    htmlCtxtUseOptions(ctxt_, HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET | HTML_PARSE_RECOVER);
  }
  // libxml2's HTML push parser holds text back until it sees the next '<'
  // or '&': a long run of text without either would be kept whole. Such a
  // run is cut every kRunCut bytes (at an ASCII byte, so that no UTF-8
  // sequence is split) by an empty comment, which adds no text.
  void Feed(const char* p, std::size_t n) {
    std::size_t from = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const char c = p[i];
      if (c == '<') {
        inTag_ = true;
        run_ = 0;
      } else if (c == '>') {
        inTag_ = false;
        run_ = 0;
      } else if (c == '&') {
        run_ = 0;
      } else if (!inTag_ && ++run_ >= kRunCut && static_cast<unsigned char>(c) < 0x80) {
        htmlParseChunk(ctxt_, p + from, static_cast<int>(i - from), 0);
        htmlParseChunk(ctxt_, "<!---->", 7, 0);
        from = i;
        run_ = 0;
      }
    }
    htmlParseChunk(ctxt_, p + from, static_cast<int>(n - from), 0);
  }
  void Finish() {
    htmlParseChunk(ctxt_, nullptr, 0, 1);
    EndLineIfOpen();
  }
  ~HtmlText() {
    if (ctxt_ != nullptr) {
      if (ctxt_->myDoc != nullptr) xmlFreeDoc(ctxt_->myDoc);
      ctxt_->myDoc = nullptr;
      htmlFreeParserCtxt(ctxt_);
    }
  }
  HtmlText(const HtmlText&) = delete;
  HtmlText& operator=(const HtmlText&) = delete;

 private:
  void EndLineIfOpen() {
    pendingBlanks_ = 0;
    if (!atLineStart_) {
      sink_.EndLine();
      atLineStart_ = true;
    }
  }
  void Put(char16_t u) {
    if (pendingBlanks_ > 0) sink_.Units(std::u16string(pendingBlanks_, u' '));
    pendingBlanks_ = 0;
    sink_.Unit(u);
    atLineStart_ = false;
  }
  void PutText(std::string_view text) {
    std::string run;
    const auto flush = [&]() {
      if (run.empty()) return;
      if (pendingBlanks_ > 0) sink_.Units(std::u16string(pendingBlanks_, u' '));
      pendingBlanks_ = 0;
      sink_.Utf8(run);
      atLineStart_ = false;
      run.clear();
    };
    for (const char c : text) {
      const bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
      if (pre_ > 0) {
        if (c == '\n') {
          flush();
          pendingBlanks_ = 0;
          sink_.EndLine();
          atLineStart_ = true;
        } else if (c == ' ' && (atLineStart_ && run.empty())) {
          // blanks after a line end are dropped, as elsewhere
        } else if (c == ' ') {
          flush();
          ++pendingBlanks_;
        } else if (c != '\r') {
          run.push_back(c);
        }
        continue;
      }
      if (!blank) {
        run.push_back(c);
      } else {
        flush();
        if (!atLineStart_) pendingBlanks_ = 1;
      }
    }
    flush();
  }

  static void OnStart(void* user, const xmlChar* name, const xmlChar**) {
    auto* h = static_cast<HtmlText*>(static_cast<htmlParserCtxtPtr>(user)->_private);
    const std::string_view n = View(name);
    if (n == "script" || n == "style") ++h->hidden_;
    if (h->hidden_ > 0) return;
    if (n == "pre") ++h->pre_;
    if (BlockElement(n)) h->EndLineIfOpen();
  }
  static void OnEnd(void* user, const xmlChar* name) {
    auto* h = static_cast<HtmlText*>(static_cast<htmlParserCtxtPtr>(user)->_private);
    const std::string_view n = View(name);
    if (n == "script" || n == "style") {
      if (h->hidden_ > 0) --h->hidden_;
      return;
    }
    if (h->hidden_ > 0) return;
    if (n == "pre" && h->pre_ > 0) --h->pre_;
    if (BlockElement(n)) h->EndLineIfOpen();
    if (n == "td" || n == "th") h->Put(u'\t');
  }
  static void OnText(void* user, const xmlChar* text, int n) {
    auto* h = static_cast<HtmlText*>(static_cast<htmlParserCtxtPtr>(user)->_private);
    if (h->hidden_ > 0 || n <= 0) return;
    h->PutText(std::string_view(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n)));
  }

  TextSink& sink_;
  htmlParserCtxtPtr ctxt_ = nullptr;
  int hidden_ = 0;  // open script and style elements
  int pre_ = 0;     // open pre elements
  static constexpr std::size_t kRunCut = 1 << 20;
  std::size_t run_ = 0;  // input bytes since the last '<', '>' or '&'
  bool inTag_ = false;   // after a '<' and before its '>'
  std::size_t pendingBlanks_ = 0;
  bool atLineStart_ = true;
};

}  // namespace

bool HtmlFileText(const std::string& path, TextSink& sink) {
  FileReader in(path);
  if (!in.Ok()) return false;
  HtmlText html(sink);
  html.Begin();
  std::vector<char> buffer(kPiece);
  while (const std::size_t n = in.Read(buffer.data(), buffer.size())) html.Feed(buffer.data(), n);
  html.Finish();
  return true;
}

bool HtmlEntryText(Zip& zip, const std::string& entry, TextSink& sink) {
  HtmlText html(sink);
  html.Begin();
  if (!zip.Stream(entry, [&](const char* p, std::size_t n) { html.Feed(p, n); })) return false;
  html.Finish();
  return true;
}

}  // namespace qm::xdoc
