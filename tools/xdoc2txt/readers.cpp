// The document readers of xdoc2txt.
//
// Divisions: text helpers; PDF (poppler); zip documents (libzip + pugixml):
// Office Open XML, OpenDocument, EPUB; RTF (our own reader); HTML (libxml2's
// HTML parser); the format decision.
#include "readers.h"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>
#include <utf8.h>
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <pugixml.hpp>
#include <sstream>
#include <vector>

namespace qm::xdoc {
namespace {

// ---------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------
// Appends UTF-8 text; invalid sequences become U+FFFD.
void AppendUtf8(std::u16string* out, const std::string& utf8) {
  std::string valid;
  utf8::replace_invalid(utf8.begin(), utf8.end(), std::back_inserter(valid));
  utf8::utf8to16(valid.begin(), valid.end(), std::back_inserter(*out));
}

void EndLine(std::u16string* out) { *out += u"\r\n"; }

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// ---------------------------------------------------------------------------
// Zip archives
// ---------------------------------------------------------------------------
class Zip {
 public:
  explicit Zip(const std::string& bytes) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    if (source != nullptr) {
      archive_ = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
      if (archive_ == nullptr) zip_source_free(source);
    }
    zip_error_fini(&error);
  }
  ~Zip() {
    if (archive_ != nullptr) zip_discard(archive_);
  }
  Zip(const Zip&) = delete;
  Zip& operator=(const Zip&) = delete;

  bool Ok() const { return archive_ != nullptr; }
  bool Has(const std::string& name) const {
    return archive_ != nullptr && zip_name_locate(archive_, name.c_str(), 0) >= 0;
  }
  // The entry's bytes; false when it is missing or damaged.
  bool Read(const std::string& name, std::string* out) const {
    if (archive_ == nullptr) return false;
    zip_stat_t st;
    if (zip_stat(archive_, name.c_str(), 0, &st) != 0 || (st.valid & ZIP_STAT_SIZE) == 0) return false;
    if (st.size > (std::uint64_t{1} << 31)) return false;
    zip_file_t* f = zip_fopen(archive_, name.c_str(), 0);
    if (f == nullptr) return false;
    out->assign(static_cast<std::size_t>(st.size), '\0');
    const zip_int64_t n = out->empty() ? 0 : zip_fread(f, out->data(), out->size());
    zip_fclose(f);
    return n == static_cast<zip_int64_t>(out->size());
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    const zip_int64_t n = archive_ != nullptr ? zip_get_num_entries(archive_, 0) : 0;
    for (zip_int64_t i = 0; i < n; ++i) {
      if (const char* name = zip_get_name(archive_, static_cast<zip_uint64_t>(i), 0)) names.push_back(name);
    }
    return names;
  }

 private:
  zip_t* archive_ = nullptr;
};

bool ParseXml(const std::string& bytes, pugi::xml_document* doc) {
  return doc->load_buffer(bytes.data(), bytes.size(), pugi::parse_default | pugi::parse_ws_pcdata_single);
}

// The local part of an element name ("w:t" gives "t").
const char* Local(const pugi::xml_node& node) {
  const char* name = node.name();
  const char* colon = std::strrchr(name, ':');
  return colon != nullptr ? colon + 1 : name;
}

// Entries named prefix + number + suffix, in number order.
std::vector<std::string> NumberedEntries(const Zip& zip, const std::string& prefix, const std::string& suffix) {
  std::vector<std::pair<long, std::string>> found;
  for (const std::string& name : zip.Names()) {
    if (name.size() <= prefix.size() + suffix.size() || !StartsWith(name, prefix.c_str()) ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    const std::string number = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (number.empty() || !std::all_of(number.begin(), number.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) continue;
    found.emplace_back(std::strtol(number.c_str(), nullptr, 10), name);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& f : found) names.push_back(f.second);
  return names;
}

// --- Office Open XML -------------------------------------------------------
// Word and presentation text: runs of text ("t"), tabs and breaks, and a
// line end after each paragraph ("p").
void WordprocessingText(const pugi::xml_node& node, std::u16string* out) {
  for (const pugi::xml_node& child : node.children()) {
    if (child.type() != pugi::node_element) continue;
    const std::string local = Local(child);
    if (local == "t") {
      AppendUtf8(out, child.text().get());
    } else if (local == "tab") {
      *out += u'\t';
    } else if (local == "br" || local == "cr") {
      EndLine(out);
    } else if (local == "instrText" || local == "delText") {
      // field instructions and deleted text are not document text
    } else {
      WordprocessingText(child, out);
      if (local == "p") EndLine(out);
    }
  }
}

bool DocxText(const Zip& zip, std::u16string* out) {
  std::string xml;
  pugi::xml_document doc;
  if (!zip.Read("word/document.xml", &xml) || !ParseXml(xml, &doc)) return false;
  WordprocessingText(doc, out);
  return true;
}

bool PptxText(const Zip& zip, std::u16string* out) {
  const std::vector<std::string> slides = NumberedEntries(zip, "ppt/slides/slide", ".xml");
  if (slides.empty()) return false;
  for (const std::string& name : slides) {
    std::string xml;
    pugi::xml_document doc;
    if (!zip.Read(name, &xml) || !ParseXml(xml, &doc)) return false;
    WordprocessingText(doc, out);
  }
  return true;
}

// All text of an element ("t" runs of rich text included).
std::string ConcatText(const pugi::xml_node& node) {
  std::string text;
  for (const pugi::xpath_node& n : node.select_nodes(".//*[local-name()='t']")) text += n.node().text().get();
  return text;
}

bool XlsxText(const Zip& zip, std::u16string* out) {
  std::vector<std::string> shared;
  std::string xml;
  if (zip.Read("xl/sharedStrings.xml", &xml)) {
    pugi::xml_document doc;
    if (!ParseXml(xml, &doc)) return false;
    for (const pugi::xml_node& si : doc.document_element().children()) {
      if (std::strcmp(Local(si), "si") == 0) shared.push_back(ConcatText(si));
    }
  }
  const std::vector<std::string> sheets = NumberedEntries(zip, "xl/worksheets/sheet", ".xml");
  if (sheets.empty()) return false;
  for (const std::string& name : sheets) {
    pugi::xml_document doc;
    if (!zip.Read(name, &xml) || !ParseXml(xml, &doc)) return false;
    for (const pugi::xpath_node& row : doc.select_nodes("//*[local-name()='row']")) {
      bool first = true;
      for (const pugi::xml_node& cell : row.node().children()) {
        if (std::strcmp(Local(cell), "c") != 0) continue;
        if (!first) *out += u'\t';
        first = false;
        const std::string type = cell.attribute("t").value();
        const pugi::xml_node value = cell.select_node("*[local-name()='v']").node();
        if (type == "s") {
          const unsigned long index = std::strtoul(value.text().get(), nullptr, 10);
          if (index < shared.size()) AppendUtf8(out, shared[index]);
        } else if (type == "inlineStr") {
          AppendUtf8(out, ConcatText(cell));
        } else {
          AppendUtf8(out, value.text().get());
        }
      }
      EndLine(out);
    }
  }
  return true;
}

// --- OpenDocument ----------------------------------------------------------
// Paragraphs and headings end lines; spaces, tabs and line breaks are their
// elements; table cells are separated by tabs, rows end lines.
void OdfText(const pugi::xml_node& node, std::u16string* out) {
  for (const pugi::xml_node& child : node.children()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      AppendUtf8(out, child.value());
      continue;
    }
    if (child.type() != pugi::node_element) continue;
    const std::string name = child.name();
    if (name == "text:s") {
      const int count = std::max(1, child.attribute("text:c").as_int(1));
      out->append(static_cast<std::size_t>(std::min(count, 1000)), u' ');
    } else if (name == "text:tab") {
      *out += u'\t';
    } else if (name == "text:line-break") {
      EndLine(out);
    } else if (name == "office:annotation" || name == "text:note-citation") {
      // comments and note marks are not document text
    } else if (name == "table:table-cell" || name == "table:covered-table-cell") {
      OdfText(child, out);
      // Trailing line ends of the cell's paragraphs become one tab.
      while (out->size() >= 2 && out->compare(out->size() - 2, 2, u"\r\n") == 0) out->resize(out->size() - 2);
      *out += u'\t';
    } else {
      OdfText(child, out);
      if (name == "text:p" || name == "text:h") EndLine(out);
      if (name == "table:table-row") {
        if (!out->empty() && out->back() == u'\t') out->pop_back();
        EndLine(out);
      }
    }
  }
}

bool OdfDocumentText(const Zip& zip, std::u16string* out) {
  std::string xml;
  pugi::xml_document doc;
  if (!zip.Read("content.xml", &xml) || !ParseXml(xml, &doc)) return false;
  const pugi::xml_node body = doc.document_element().child("office:body");
  if (!body) return false;
  OdfText(body, out);
  return true;
}

// --- EPUB ------------------------------------------------------------------
// The folder part of an entry name, with its slash.
std::string FolderOf(const std::string& name) {
  const std::size_t cut = name.rfind('/');
  return cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
}

// "a/b/../c" to "a/c"; percent escapes of hrefs are decoded.
std::string NormalizeEntry(const std::string& path) {
  std::string decoded;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() && std::isxdigit(static_cast<unsigned char>(path[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(path[i + 2]))) {
      decoded.push_back(static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      decoded.push_back(path[i]);
    }
  }
  std::vector<std::string> parts;
  std::stringstream in(decoded);
  std::string part;
  while (std::getline(in, part, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
  }
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : "/") + p;
  return out;
}

bool EpubText(const Zip& zip, std::u16string* out) {
  std::string xml;
  pugi::xml_document container;
  if (!zip.Read("META-INF/container.xml", &xml) || !ParseXml(xml, &container)) return false;
  const std::string opfName =
      container.select_node("//*[local-name()='rootfile']").node().attribute("full-path").value();
  pugi::xml_document opf;
  if (opfName.empty() || !zip.Read(opfName, &xml) || !ParseXml(xml, &opf)) return false;
  std::map<std::string, std::string> manifest;
  for (const pugi::xpath_node& item : opf.select_nodes("//*[local-name()='manifest']/*[local-name()='item']")) {
    manifest[item.node().attribute("id").value()] = item.node().attribute("href").value();
  }
  const pugi::xpath_node_set spine = opf.select_nodes("//*[local-name()='spine']/*[local-name()='itemref']");
  if (spine.empty()) return false;
  const std::string base = FolderOf(opfName);
  for (const pugi::xpath_node& ref : spine) {
    const auto it = manifest.find(ref.node().attribute("idref").value());
    if (it == manifest.end()) return false;
    std::string page;
    if (!zip.Read(NormalizeEntry(base + it->second), &page) || !HtmlText(page, out)) return false;
  }
  return true;
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

}  // namespace

bool RtfText(const std::string& bytes, std::u16string* out) {
  if (!StartsWith(bytes, "{\\rtf")) return false;
  std::vector<RtfGroup> groups;
  int pendingSkip = 0;  // fallback characters still to drop after \uN
  bool groupStart = false;
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  const auto emit = [&](char16_t c) {
    if (pendingSkip > 0) {
      --pendingSkip;
      return;
    }
    if (!groups.empty() && !groups.back().skip) *out += c;
  };
  while (i < n) {
    const char c = bytes[i];
    if (c == '{') {
      groups.push_back(groups.empty() ? RtfGroup() : groups.back());
      groupStart = true;
      pendingSkip = 0;
      ++i;
      continue;
    }
    if (c == '}') {
      if (groups.empty()) return false;
      groups.pop_back();
      pendingSkip = 0;
      ++i;
      if (groups.empty()) break;  // the end of the document
      continue;
    }
    if (groups.empty()) return false;
    const bool atGroupStart = groupStart;
    groupStart = false;
    if (c == '\r' || c == '\n') {
      ++i;
      continue;
    }
    if (c != '\\') {
      emit(static_cast<unsigned char>(c));
      ++i;
      continue;
    }
    // A control symbol or word.
    if (++i >= n) return false;
    const char s = bytes[i];
    if (!std::isalpha(static_cast<unsigned char>(s))) {
      ++i;
      if (s == '\'') {
        if (i + 2 > n) return false;
        const std::string hex = bytes.substr(i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(hex[0])) || !std::isxdigit(static_cast<unsigned char>(hex[1]))) return false;
        emit(Cp1252(static_cast<unsigned char>(std::stoi(hex, nullptr, 16))));
        i += 2;
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
    std::string word;
    while (i < n && std::isalpha(static_cast<unsigned char>(bytes[i]))) word += bytes[i++];
    bool hasParam = false;
    long param = 0;
    bool negative = false;
    if (i < n && bytes[i] == '-') {
      negative = true;
      ++i;
    }
    std::string digits;
    while (i < n && std::isdigit(static_cast<unsigned char>(bytes[i])) && digits.size() < 10) digits += bytes[i++];
    if (!digits.empty()) {
      hasParam = true;
      param = std::strtol(digits.c_str(), nullptr, 10) * (negative ? -1 : 1);
    }
    if (i < n && bytes[i] == ' ') ++i;  // the delimiting blank belongs to the word

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
  return groups.empty();
}

// ---------------------------------------------------------------------------
// HTML
// ---------------------------------------------------------------------------
namespace {

bool BlockElement(const char* name) {
  static const char* const kBlocks[] = {"p",  "div", "br", "li", "tr", "h1", "h2",     "h3",
                                        "h4", "h5",  "h6", "dt", "dd", "pre", "table", "blockquote",
                                        "section", "article", "header", "footer", "title"};
  for (const char* b : kBlocks) {
    if (std::strcmp(name, b) == 0) return true;
  }
  return false;
}

void HtmlNodeText(xmlNode* node, std::string* out, bool pre) {
  for (xmlNode* n = node; n != nullptr; n = n->next) {
    if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
      const char* text = reinterpret_cast<const char*>(n->content);
      if (text == nullptr) continue;
      if (pre) {
        *out += text;
        continue;
      }
      // Runs of blanks and line ends read as one blank.
      for (const char* p = text; *p != 0; ++p) {
        const bool space = *p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f';
        if (!space) {
          *out += *p;
        } else if (!out->empty() && out->back() != ' ' && out->back() != '\n') {
          *out += ' ';
        }
      }
    } else if (n->type == XML_ELEMENT_NODE) {
      const char* name = reinterpret_cast<const char*>(n->name);
      if (std::strcmp(name, "script") == 0 || std::strcmp(name, "style") == 0) continue;
      const bool block = BlockElement(name);
      if (block && !out->empty() && out->back() != '\n') *out += '\n';
      HtmlNodeText(n->children, out, pre || std::strcmp(name, "pre") == 0);
      if (block && !out->empty() && out->back() != '\n') *out += '\n';
      if (std::strcmp(name, "td") == 0 || std::strcmp(name, "th") == 0) *out += '\t';
    }
  }
}

}  // namespace

bool HtmlText(const std::string& bytes, std::u16string* out) {
  if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  htmlDocPtr doc = htmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                  HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET |
                                      HTML_PARSE_RECOVER);
  if (doc == nullptr) return false;
  std::string text;
  HtmlNodeText(xmlDocGetRootElement(doc), &text, false);
  xmlFreeDoc(doc);
  // Lines end in CR LF, without the blanks around them.
  std::string lines;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      while (!lines.empty() && lines.back() == ' ') lines.pop_back();
      lines += "\r\n";
      while (i + 1 < text.size() && text[i + 1] == ' ') ++i;
    } else {
      lines += text[i];
    }
  }
  AppendUtf8(out, lines);
  return true;
}

// ---------------------------------------------------------------------------
// PDF
// ---------------------------------------------------------------------------
namespace {
void Quiet(const std::string&, void*) {}
void QuietXml(void*, const char*, ...) {}
}  // namespace

bool PdfText(const std::string& bytes, std::u16string* out) {
  poppler::set_debug_error_function(Quiet, nullptr);
  std::vector<char> data(bytes.begin(), bytes.end());
  std::unique_ptr<poppler::document> doc(poppler::document::load_from_data(&data));
  if (!doc || doc->is_locked()) return false;
  const int pages = doc->pages();
  if (pages <= 0) return false;
  for (int p = 0; p < pages; ++p) {
    std::unique_ptr<poppler::page> page(doc->create_page(p));
    if (!page) return false;
    const poppler::ustring text = page->text();
    for (const auto unit : text) {
      const auto u = static_cast<char16_t>(unit);
      if (u == u'\f') continue;  // pages end in line ends instead
      if (u == u'\n') {
        if (out->empty() || out->back() != u'\r') *out += u'\r';
      }
      *out += u;
    }
    if (!out->empty() && out->back() != u'\n') EndLine(out);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Zip documents and the format decision
// ---------------------------------------------------------------------------
bool ZipDocumentText(const std::string& bytes, std::u16string* out) {
  const Zip zip(bytes);
  if (!zip.Ok()) return false;
  std::string mimetype;
  if (zip.Read("mimetype", &mimetype)) {
    while (!mimetype.empty() && std::isspace(static_cast<unsigned char>(mimetype.back()))) mimetype.pop_back();
    if (mimetype == "application/epub+zip") return EpubText(zip, out);
    if (StartsWith(mimetype, "application/vnd.oasis.opendocument.")) return OdfDocumentText(zip, out);
  }
  if (zip.Has("word/document.xml")) return DocxText(zip, out);
  if (zip.Has("xl/workbook.xml")) return XlsxText(zip, out);
  if (zip.Has("ppt/presentation.xml")) return PptxText(zip, out);
  if (zip.Has("content.xml")) return OdfDocumentText(zip, out);
  return false;
}

bool ExtractText(const std::string& path, std::u16string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream content;
  content << in.rdbuf();
  const std::string bytes = content.str();
  xmlSetGenericErrorFunc(nullptr, QuietXml);
  if (StartsWith(bytes, "%PDF-")) return PdfText(bytes, text);
  if (StartsWith(bytes, "PK\x03\x04")) return ZipDocumentText(bytes, text);
  if (StartsWith(bytes, "{\\rtf")) return RtfText(bytes, text);
  const std::string extension = Lower(path.substr(path.find_last_of('.') == std::string::npos ? path.size() : path.find_last_of('.')));
  if (extension == ".htm" || extension == ".html" || extension == ".xhtml") return HtmlText(bytes, text);
  std::string head = Lower(bytes.substr(0, 512));
  if (head.find("<html") != std::string::npos || head.find("<!doctype html") != std::string::npos) {
    return HtmlText(bytes, text);
  }
  return false;
}

}  // namespace qm::xdoc
