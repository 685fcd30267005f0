// PDF through poppler's core, with an abort check per page.
#include <Error.h>
#include <GlobalParams.h>
#include <PDFDoc.h>
#include <Page.h>
#include <TextOutputDev.h>
#include <goo/GooString.h>

#include <memory>

#include "formats.h"

namespace qm::xdoc {
namespace {

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

// A page's laid-out text (UTF-8, lines ending in LF, the page in a form
// feed) into the sink, lines ending in CR LF and no form feed.
void PutPageText(const GooString& text, TextSink& sink) {
  std::string run;
  const auto flush = [&]() {
    sink.Utf8(run);
    run.clear();
  };
  const char* bytes = text.c_str();
  for (int i = 0; i < text.getLength(); ++i) {
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
}

}  // namespace

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
    PutPageText(*text, sink);
    if (!sink.Empty() && sink.Last() != u'\n') sink.EndLine();
  }
  return true;
}

}  // namespace qm::xdoc
