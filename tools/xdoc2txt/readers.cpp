// The document readers of xdoc2txt.
//
// Divisions: outcomes and small helpers; zip entries (libzip) with the
// zip-bomb limits; the SAX driver over zip entries (libxml2's push parser);
// Office Open XML; OpenDocument; HTML (libxml2's HTML push parser) and EPUB;
// RTF (our own reader, over a buffered file); PDF (poppler's core, with an
// abort check per page); the format decision.
//
// Reading stops by exception in our own frames only: SAX and poppler
// callbacks never throw, they record what happened and stop the parser.
#include "readers.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <zip.h>

#include <Error.h>
#include <GlobalParams.h>
#include <PDFDoc.h>
#include <Page.h>
#include <TextOutputDev.h>
#include <goo/GooString.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

namespace qm::xdoc {
namespace {

// ---------------------------------------------------------------------------
// Outcomes and helpers
// ---------------------------------------------------------------------------
struct Unreadable {};  // thrown: the document cannot be read
struct PastLimits {};  // thrown: a limit stopped the reading

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool EndsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string_view View(const xmlChar* s) {
  return s != nullptr ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

// Reads a file in pieces.
class FileReader {
 public:
  explicit FileReader(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {}
  ~FileReader() {
    if (file_ != nullptr) std::fclose(file_);
  }
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  bool Ok() const { return file_ != nullptr; }
  // Up to n bytes; 0 at the end. A read error makes the file unreadable.
  std::size_t Read(char* buffer, std::size_t n) {
    const std::size_t got = std::fread(buffer, 1, n, file_);
    if (got == 0 && std::ferror(file_)) throw Unreadable();
    return got;
  }
  // Byte by byte, for the RTF reader: -1 at the end.
  int Get() {
    const int c = std::getc(file_);
    if (c == EOF && std::ferror(file_)) throw Unreadable();
    return c;
  }
  int Peek() {
    const int c = Get();
    if (c != EOF) std::ungetc(c, file_);
    return c;
  }

 private:
  std::FILE* file_;
};

constexpr std::size_t kPiece = 65536;

// ---------------------------------------------------------------------------
// Zip entries
// ---------------------------------------------------------------------------
class Zip {
 public:
  Zip(const std::string& path, const Limits& limits) : limits_(limits) {
    int error = 0;
    archive_ = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  }
  ~Zip() {
    if (archive_ != nullptr) zip_discard(archive_);
  }
  Zip(const Zip&) = delete;
  Zip& operator=(const Zip&) = delete;

  bool Ok() const { return archive_ != nullptr; }
  bool Has(const std::string& name) const { return zip_name_locate(archive_, name.c_str(), 0) >= 0; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    const zip_int64_t n = zip_get_num_entries(archive_, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
      if (const char* name = zip_get_name(archive_, static_cast<zip_uint64_t>(i), 0)) names.push_back(name);
    }
    return names;
  }

  // Hands the entry's inflated bytes to piece, in order. False when there
  // is no such entry. An entry that declares, or turns out to have, more
  // bytes than the limits allow throws PastLimits before those bytes are
  // handed on; a damaged one throws Unreadable.
  bool Stream(const std::string& name, const std::function<void(const char*, std::size_t)>& piece) {
    zip_stat_t st;
    if (zip_stat(archive_, name.c_str(), 0, &st) != 0) return false;
    if ((st.valid & ZIP_STAT_SIZE) == 0 || (st.valid & ZIP_STAT_COMP_SIZE) == 0) throw Unreadable();
    // The declared size is checked first, so that a bomb is refused
    // without inflating it; the count below holds a lying one to it.
    const std::uint64_t allowed = std::min(limits_.maxEntryBytes, limits_.maxArchiveBytes - std::min(limits_.maxArchiveBytes, inflated_));
    if (st.size > allowed) throw PastLimits();
    if (st.size > limits_.ratioGraceBytes && st.size / limits_.maxRatio > st.comp_size) throw PastLimits();
    zip_file_t* f = zip_fopen(archive_, name.c_str(), 0);
    if (f == nullptr) throw Unreadable();
    std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> owner(f, zip_fclose);
    std::vector<char> buffer(kPiece);
    std::uint64_t total = 0;
    for (;;) {
      const zip_int64_t got = zip_fread(f, buffer.data(), buffer.size());
      if (got < 0) throw Unreadable();
      if (got == 0) break;
      total += static_cast<std::uint64_t>(got);
      inflated_ += static_cast<std::uint64_t>(got);
      if (total > st.size) throw PastLimits();
      piece(buffer.data(), static_cast<std::size_t>(got));
    }
    if (total != st.size) throw Unreadable();
    return true;
  }

  // A small entry whole (at most max bytes); false when missing or larger.
  bool ReadSmall(const std::string& name, std::size_t max, std::string* out) {
    zip_stat_t st;
    if (zip_stat(archive_, name.c_str(), 0, &st) != 0 || (st.valid & ZIP_STAT_SIZE) == 0 || st.size > max) {
      return false;
    }
    out->clear();
    return Stream(name, [&](const char* p, std::size_t n) { out->append(p, n); });
  }

 private:
  zip_t* archive_ = nullptr;
  const Limits& limits_;
  std::uint64_t inflated_ = 0;  // over all entries read
};

// Entries named prefix + number + suffix, in number order.
std::vector<std::string> NumberedEntries(const Zip& zip, const std::string& prefix, const std::string& suffix) {
  std::vector<std::pair<long, std::string>> found;
  for (const std::string& name : zip.Names()) {
    if (name.size() <= prefix.size() + suffix.size() || !StartsWith(name, prefix) || !EndsWith(name, suffix)) continue;
    const std::string number = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (number.size() > 9 ||
        !std::all_of(number.begin(), number.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
      continue;
    }
    found.emplace_back(std::strtol(number.c_str(), nullptr, 10), name);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& f : found) names.push_back(f.second);
  return names;
}

// ---------------------------------------------------------------------------
// SAX over zip entries
// ---------------------------------------------------------------------------
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

class XmlDriver {
 public:
  XmlDriver(XmlHandler& handler, const Limits& limits) : handler_(handler), limits_(limits) {}

  // Parses the entry; false when it is missing. Throws Unreadable for XML
  // that is not well formed and PastLimits past the depth limit or a
  // handler's limit.
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

bool ParseEntry(Zip& zip, const std::string& name, XmlHandler& handler, const Limits& limits) {
  XmlDriver driver(handler, limits);
  return driver.Parse(zip, name);
}

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

// ---------------------------------------------------------------------------
// Office Open XML
// ---------------------------------------------------------------------------
// Word and presentation text: runs of text ("t"), tabs and breaks, and a
// line end after each paragraph ("p"). Field instructions and deleted text
// are not document text.
class WordprocessingHandler : public XmlHandler {
 public:
  explicit WordprocessingHandler(TextSink& sink) : sink_(sink) {}
  void Start(const Element& e, int depth) override {
    if (skip_.Inside() || text_.Inside()) return;
    if (e.local == "instrText" || e.local == "delText") {
      skip_.Enter(depth);
    } else if (e.local == "t") {
      text_.Enter(depth);
    } else if (e.local == "tab") {
      sink_.Unit(u'\t');
    } else if (e.local == "br" || e.local == "cr") {
      sink_.EndLine();
    }
  }
  void End(const Element& e, int depth) override {
    const bool wasSkipped = skip_.Inside() || text_.Inside();
    skip_.Leave(depth);
    text_.Leave(depth);
    if (!wasSkipped && e.local == "p") sink_.EndLine();
  }
  void Text(std::string_view text) override {
    // Only the text directly in a run, as a run holds nothing else.
    if (text_.Inside() && !skip_.Inside()) sink_.Utf8(text);
  }

 private:
  TextSink& sink_;
  Region skip_, text_;
};

bool DocxText(Zip& zip, TextSink& sink, const Limits& limits) {
  WordprocessingHandler handler(sink);
  return ParseEntry(zip, "word/document.xml", handler, limits);
}

bool PptxText(Zip& zip, TextSink& sink, const Limits& limits) {
  const std::vector<std::string> slides = NumberedEntries(zip, "ppt/slides/slide", ".xml");
  if (slides.empty()) return false;
  for (const std::string& name : slides) {
    WordprocessingHandler handler(sink);
    if (!ParseEntry(zip, name, handler, limits)) return false;
  }
  return true;
}

// The shared strings of a workbook: all "t" text of each "si".
class SharedStringsHandler : public XmlHandler {
 public:
  SharedStringsHandler(std::vector<std::string>& strings, std::uint64_t maxBytes)
      : strings_(strings), maxBytes_(maxBytes) {}
  void Start(const Element& e, int depth) override {
    if (depth == 2 && e.local == "si") {
      strings_.emplace_back();
      inItem_ = true;
    } else if (inItem_ && e.local == "t") {
      text_.Enter(depth);
    }
  }
  void End(const Element& e, int depth) override {
    text_.Leave(depth);
    if (depth == 2 && e.local == "si") inItem_ = false;
  }
  void Text(std::string_view text) override {
    if (!inItem_ || !text_.Inside()) return;
    bytes_ += text.size();
    if (bytes_ > maxBytes_) {
      stop = Outcome::kPastLimits;
      return;
    }
    strings_.back().append(text);
  }

 private:
  std::vector<std::string>& strings_;
  std::uint64_t maxBytes_;
  std::uint64_t bytes_ = 0;
  bool inItem_ = false;
  Region text_;
};

// Worksheet rows: cells separated by tabs, a line end after each row. A
// cell shows its shared string ("s"), its inline string's text
// ("inlineStr") or its value.
class SheetHandler : public XmlHandler {
 public:
  SheetHandler(TextSink& sink, const std::vector<std::string>& shared) : sink_(sink), shared_(shared) {}
  void Start(const Element& e, int depth) override {
    if (e.local == "row") {
      firstCell_ = true;
      rowDepth_ = depth;
    } else if (e.local == "c" && rowDepth_ != 0 && depth == rowDepth_ + 1) {
      if (!firstCell_) sink_.Unit(u'\t');
      firstCell_ = false;
      const std::string type = e.Attribute("t");
      kind_ = type == "s" ? Kind::kShared : type == "inlineStr" ? Kind::kInline : Kind::kValue;
      cellDepth_ = depth;
      valueSeen_ = false;
    } else if (cellDepth_ != 0) {
      if (kind_ == Kind::kInline && e.local == "t") {
        text_.Enter(depth);
      } else if (kind_ != Kind::kInline && e.local == "v" && depth == cellDepth_ + 1 && !valueSeen_) {
        text_.Enter(depth);
        index_.clear();
      }
    }
  }
  void End(const Element& e, int depth) override {
    if (text_.Inside() && e.local == "v" && kind_ != Kind::kInline) {
      valueSeen_ = true;
      if (kind_ == Kind::kShared) {
        const unsigned long i = std::strtoul(index_.c_str(), nullptr, 10);
        if (i < shared_.size()) sink_.Utf8(shared_[i]);
      }
    }
    text_.Leave(depth);
    if (depth == cellDepth_) cellDepth_ = 0;
    if (depth == rowDepth_ && e.local == "row") {
      sink_.EndLine();
      rowDepth_ = 0;
    }
  }
  void Text(std::string_view text) override {
    if (!text_.Inside()) return;
    if (kind_ == Kind::kShared) {
      if (index_.size() < 32) index_.append(text.substr(0, 32));
    } else {
      sink_.Utf8(text);
    }
  }

 private:
  enum class Kind { kShared, kInline, kValue };
  TextSink& sink_;
  const std::vector<std::string>& shared_;
  int rowDepth_ = 0, cellDepth_ = 0;
  bool firstCell_ = true, valueSeen_ = false;
  Kind kind_ = Kind::kValue;
  std::string index_;
  Region text_;
};

bool XlsxText(Zip& zip, TextSink& sink, const Limits& limits) {
  std::vector<std::string> shared;
  SharedStringsHandler strings(shared, limits.maxSharedStringBytes);
  ParseEntry(zip, "xl/sharedStrings.xml", strings, limits);
  const std::vector<std::string> sheets = NumberedEntries(zip, "xl/worksheets/sheet", ".xml");
  if (sheets.empty()) return false;
  for (const std::string& name : sheets) {
    SheetHandler handler(sink, shared);
    if (!ParseEntry(zip, name, handler, limits)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// OpenDocument
// ---------------------------------------------------------------------------
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

bool OdfDocumentText(Zip& zip, TextSink& sink, const Limits& limits) {
  OdfHandler handler(sink);
  return ParseEntry(zip, "content.xml", handler, limits) && handler.sawBody;
}

// ---------------------------------------------------------------------------
// HTML and EPUB
// ---------------------------------------------------------------------------
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

// The folder part of an entry name, with its slash.
std::string FolderOf(const std::string& name) {
  const std::size_t cut = name.rfind('/');
  return cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
}

// The entry an href names from base (the folder of the file holding it):
// percent escapes decoded, "." and ".." resolved. Empty when the href leaves
// the archive: a ".." above its root, an absolute path, a scheme
// ("file:", "http:") or a NUL.
std::string ResolveEntry(const std::string& base, const std::string& href) {
  if (href.empty() || href[0] == '/' || href[0] == '\\') return std::string();
  const std::size_t colon = href.find(':');
  if (colon != std::string::npos && href.find('/') > colon) return std::string();
  std::string decoded;
  for (std::size_t i = 0; i < href.size(); ++i) {
    if (href[i] == '%' && i + 2 < href.size() && std::isxdigit(static_cast<unsigned char>(href[i + 1])) && std::isxdigit(static_cast<unsigned char>(href[i + 2]))) {
      decoded.push_back(static_cast<char>(std::stoi(href.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else if (href[i] == '#') {
      break;  // a fragment names a place in the entry
    } else {
      decoded.push_back(href[i]);
    }
  }
  if (decoded.find('\0') != std::string::npos || decoded.find('\\') != std::string::npos) return std::string();
  std::vector<std::string> parts;
  const std::string path = base + decoded;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (parts.empty()) return std::string();
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : "/") + p;
  return out;
}

// container.xml: the first rootfile's full-path.
class ContainerHandler : public XmlHandler {
 public:
  void Start(const Element& e, int) override {
    if (e.local == "rootfile" && package.empty()) package = e.Attribute("full-path");
  }
  std::string package;
};

// The package document: the manifest's items and the spine's order.
class PackageHandler : public XmlHandler {
 public:
  void Start(const Element& e, int) override {
    if (e.local == "item") {
      items[e.Attribute("id")] = e.Attribute("href");
    } else if (e.local == "itemref") {
      spine.push_back(e.Attribute("idref"));
    }
  }
  std::map<std::string, std::string> items;
  std::vector<std::string> spine;
};

// The chapters in spine order. A chapter whose name leaves the archive is
// never looked for, inside the archive or out: it is left out.
bool EpubText(Zip& zip, TextSink& sink, const Limits& limits) {
  ContainerHandler container;
  if (!ParseEntry(zip, "META-INF/container.xml", container, limits) || container.package.empty()) return false;
  const std::string packageName = ResolveEntry("", container.package);
  PackageHandler package;
  if (packageName.empty() || !ParseEntry(zip, packageName, package, limits) || package.spine.empty()) return false;
  const std::string base = FolderOf(packageName);
  for (const std::string& id : package.spine) {
    const auto it = package.items.find(id);
    if (it == package.items.end()) return false;
    const std::string entry = ResolveEntry(base, it->second);
    if (entry.empty()) continue;
    HtmlText html(sink);
    html.Begin();
    if (!zip.Stream(entry, [&](const char* p, std::size_t n) { html.Feed(p, n); })) return false;
    html.Finish();
  }
  return true;
}

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

// ---------------------------------------------------------------------------
// RTF
// ---------------------------------------------------------------------------
// Windows-1252 for the bytes 0x80 to 0x9F (0 where undefined); the other
// bytes are their Latin-1 characters.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char16_t Cp1252(unsigned char b) {
  if (b >= 0x80 && b < 0xA0) return kCp1252High[b - 0x80] != 0 ? kCp1252High[b - 0x80] : 0xFFFD;
  return b;
}

// Destinations whose content is not document text.
bool SkippedDestination(const std::string& word) {
  static const char* const kSkipped[] = {"fonttbl",  "colortbl", "stylesheet", "info",      "pict",
                                         "object",   "header",   "footer",     "headerl",   "headerr",
                                         "headerf",  "footerl",  "footerr",    "footerf",   "fldinst",
                                         "listtable", "listoverridetable", "rsidtbl", "generator",
                                         "themedata", "colorschememapping", "datastore", "latentstyles",
                                         "xmlnstbl", "mmathPr",  "filetbl",    "revtbl",    "bkmkstart",
                                         "bkmkend"};
  for (const char* s : kSkipped) {
    if (word == s) return true;
  }
  return false;
}

struct RtfGroup {
  bool skip = false;
  int unicodeSkip = 1;  // \ucN: fallback characters after \uN
};

int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The group stack is kept to maxDepth entries: deeper groups share the
// state of the deepest kept one (counted, so that their ends match), so
// any nesting is read in bounded memory and its text still comes out.
bool RtfText(FileReader& in, TextSink& sink, const Limits& limits) {
  std::vector<RtfGroup> groups;
  std::uint64_t unkept = 0;  // open groups past the kept ones
  int pendingSkip = 0;       // fallback characters still to drop after \uN
  bool groupStart = false;
  const auto emit = [&](char16_t c) {
    if (pendingSkip > 0) {
      --pendingSkip;
      return;
    }
    if (!groups.empty() && !groups.back().skip) sink.Unit(c);
  };
  for (int c = in.Get(); c != EOF; c = in.Get()) {
    if (c == '{') {
      if (groups.size() < limits.maxDepth) {
        groups.push_back(groups.empty() ? RtfGroup() : groups.back());
      } else {
        ++unkept;
      }
      groupStart = true;
      pendingSkip = 0;
      continue;
    }
    if (c == '}') {
      if (groups.empty()) return false;
      if (unkept > 0) {
        --unkept;
      } else {
        groups.pop_back();
      }
      pendingSkip = 0;
      if (groups.empty()) return true;  // the end of the document
      continue;
    }
    if (groups.empty()) return false;
    const bool atGroupStart = groupStart;
    groupStart = false;
    if (c == '\r' || c == '\n') continue;
    if (c != '\\') {
      emit(static_cast<unsigned char>(c));
      continue;
    }
    // A control symbol or word.
    const int s = in.Get();
    if (s == EOF) return false;
    if (!std::isalpha(s)) {
      if (s == '\'') {
        const int h = HexValue(in.Get());
        const int l = HexValue(in.Get());
        if (h < 0 || l < 0) return false;
        emit(Cp1252(static_cast<unsigned char>(h * 16 + l)));
      } else if (s == '*') {
        if (atGroupStart || !groups.empty()) groups.back().skip = true;
      } else if (s == '~') {
        emit(0x00A0);
      } else if (s == '_') {
        emit(u'-');
      } else if (s == '\\' || s == '{' || s == '}') {
        emit(static_cast<char16_t>(s));
      } else if (s == '\r' || s == '\n') {
        emit(u'\r');
        emit(u'\n');
      }
      continue;
    }
    std::string word(1, static_cast<char>(s));
    while (std::isalpha(in.Peek()) && word.size() < 64) word.push_back(static_cast<char>(in.Get()));
    while (std::isalpha(in.Peek())) in.Get();  // an absurdly long word is cut
    bool hasParam = false;
    long param = 0;
    bool negative = false;
    if (in.Peek() == '-') {
      negative = true;
      in.Get();
    }
    std::string digits;
    while (std::isdigit(in.Peek()) && digits.size() < 10) digits.push_back(static_cast<char>(in.Get()));
    if (!digits.empty()) {
      hasParam = true;
      param = std::strtol(digits.c_str(), nullptr, 10) * (negative ? -1 : 1);
    }
    if (in.Peek() == ' ') in.Get();  // the delimiting blank belongs to the word

    if (SkippedDestination(word)) {
      groups.back().skip = true;
    } else if (word == "par" || word == "line" || word == "sect" || word == "page" || word == "row") {
      emit(u'\r');
      emit(u'\n');
    } else if (word == "tab" || word == "cell") {
      emit(u'\t');
    } else if (word == "emdash") {
      emit(0x2014);
    } else if (word == "endash") {
      emit(0x2013);
    } else if (word == "lquote") {
      emit(0x2018);
    } else if (word == "rquote") {
      emit(0x2019);
    } else if (word == "ldblquote") {
      emit(0x201C);
    } else if (word == "rdblquote") {
      emit(0x201D);
    } else if (word == "bullet") {
      emit(0x2022);
    } else if (word == "uc" && hasParam) {
      groups.back().unicodeSkip = static_cast<int>(std::clamp(param, 0L, 10L));
    } else if (word == "u" && hasParam) {
      const long code = param < 0 ? param + 65536 : param;
      emit(static_cast<char16_t>(code & 0xFFFF));
      pendingSkip = groups.back().unicodeSkip;
    }
  }
  // Groups still open: the document was cut short.
  return false;
}

// ---------------------------------------------------------------------------
// PDF
// ---------------------------------------------------------------------------
void QuietPoppler(ErrorCategory, Goffset, const char*) {}

// Text output that counts the characters drawn, for the page limit. A page
// stopped at its limit is not laid out: the layout of the characters
// collected is the costly part (it grows faster than their number).
class CountingTextOutput : public TextOutputDev {
 public:
  CountingTextOutput() : TextOutputDev(nullptr, true, 0, false, false) {}
  void drawChar(GfxState* state, double x, double y, double dx, double dy, double originX, double originY,
                CharCode c, int nBytes, const Unicode* u, int uLen) override {
    ++characters;
    TextOutputDev::drawChar(state, x, y, dx, dy, originX, originY, c, nBytes, u, uLen);
  }
  void endPage() override {
    if (!stopped) TextOutputDev::endPage();
  }
  std::uint64_t characters = 0;
  bool stopped = false;
};

struct PageBudget {
  CountingTextOutput* output;
  const Limits* limits;
  std::uint64_t checks = 0;
  bool exceeded = false;
};

// Poppler asks this while it runs a page's content: true ends the page.
bool PageAbortCheck(void* data) {
  auto* b = static_cast<PageBudget*>(data);
  if (++b->checks > b->limits->maxPageChecks || b->output->characters > b->limits->maxPageCharacters) {
    b->exceeded = true;
    b->output->stopped = true;
  }
  return b->exceeded;
}

// Pages in order, each page's text in its physical layout, pages ending in
// line ends instead of form feeds. The document is read from its file as
// poppler needs it; a page that draws more characters, or runs longer,
// than the limits stops the document.
bool PdfText(const std::string& path, TextSink& sink, const Limits& limits) {
  if (!globalParams) {
    globalParams = std::make_unique<GlobalParams>();
    globalParams->setErrQuiet(true);
    globalParams->setTextEncoding("UTF-8");
    setErrorCallback(QuietPoppler);
  }
  PDFDoc doc(std::make_unique<GooString>(path));
  if (!doc.isOk()) return false;
  const int pages = doc.getNumPages();
  if (pages <= 0) return false;
  for (int p = 1; p <= pages; ++p) {
    Page* page = doc.getPage(p);
    if (page == nullptr) return false;
    CountingTextOutput output;
    if (!output.isOk()) return false;
    PageBudget budget{&output, &limits};
    doc.displayPage(&output, p, 72, 72, 0, false, true, false, PageAbortCheck, &budget);
    if (budget.exceeded) throw PastLimits();
    const PDFRectangle* box = page->getCropBox();
    const int rotate = page->getRotate();
    std::unique_ptr<GooString> text(rotate == 90 || rotate == 270 ? output.getText(box->y1, box->x1, box->y2, box->x2)
                                                                   : output.getText(box->x1, box->y1, box->x2, box->y2));
    if (!text) return false;
    std::string run;
    const auto flush = [&]() {
      sink.Utf8(run);
      run.clear();
    };
    const char* bytes = text->c_str();
    for (int i = 0; i < text->getLength(); ++i) {
      const char c = bytes[i];
      if (c == '\f') continue;  // pages end in line ends instead
      if (c == '\n') {
        flush();
        if (sink.Last() != u'\r') sink.Unit(u'\r');
        sink.Unit(u'\n');
        continue;
      }
      if (c == '\r') {
        flush();
        sink.Unit(u'\r');
        continue;
      }
      run.push_back(c);
    }
    flush();
    if (!sink.Empty() && sink.Last() != u'\n') sink.EndLine();
  }
  return true;
}

// ---------------------------------------------------------------------------
// The format decision
// ---------------------------------------------------------------------------
void QuietXml(void*, const char*, ...) {}
void QuietStructured(void*, xmlErrorPtr) {}

// No XML part may name a file or address that is then read.
xmlParserInputPtr NoExternalEntities(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

void SetUpXml(const Limits& limits) {
  xmlSetGenericErrorFunc(nullptr, QuietXml);
  xmlSetStructuredErrorFunc(nullptr, QuietStructured);
  xmlSetExternalEntityLoader(NoExternalEntities);
  // Our own depth limit stops the parse first; libxml2's would stop
  // without telling why.
  xmlParserMaxDepth = limits.maxDepth + 16;
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
