// Office Open XML: Word and PowerPoint text runs, Excel rows over the
// shared strings.
#include "formats.h"
#include "xml_parts.h"

#include <vector>

namespace qm::xdoc {
namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace qm::xdoc
