// The converter's readers over documents of each format, a damaged one of
// each, hostile documents made here (zip bombs, deep nesting, heavy PDF
// pages, names leaving an EPUB), and the program's output forms and exit
// codes.
#include <gtest/gtest.h>

#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "readers.h"
#include "support/plugin_loader.h"
#include "support/test_files.h"

namespace qm::test {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// A zip archive of the entries (stored in this order).
std::string ZipBytes(const TempFolder& folder, const Entries& entries) {
  const std::string path = folder.PathOf("archive.zip");
  int error = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (z == nullptr) return std::string();
  for (const auto& [name, data] : entries) {
    zip_source_t* s = zip_source_buffer(z, data.data(), data.size(), 0);
    zip_file_add(z, name.c_str(), s, ZIP_FL_OVERWRITE);
  }
  zip_close(z);
  return ReadFileBytes(path);
}

std::u16string U16(const std::string& s) {
  std::u16string w;
  platform::AppendWide(platform::kCodePageUtf8, s.data(), s.size(), &w);
  return w;
}

// The outcome of reading bytes stored under name, and the text written.
xdoc::Outcome Extract(const std::string& name, const std::string& bytes, std::u16string* text,
                      const xdoc::Limits& limits = xdoc::Limits()) {
  TempFolder folder;
  xdoc::StringSink sink;
  const xdoc::Outcome outcome = xdoc::ExtractText(folder.Write(name, bytes), sink, limits);
  sink.Finish();
  *text = sink.text;
  return outcome;
}

std::u16string Text(const std::string& name, const std::string& bytes) {
  std::u16string text;
  EXPECT_EQ(Extract(name, bytes, &text), xdoc::Outcome::kText) << name;
  return text;
}

const std::string kReport =
    "Quarterly report\r\nThe invoice total for March is 1200 EUR.\r\n"
    "A second invoice of 300 EUR is still open.\r\nContact: office@example.org\r\n";

TEST(Xdoc2txtFormats, ExampleReportInEachFormat) {
  for (const char* name : {"report.pdf", "report.docx", "report.odt"}) {
    xdoc::StringSink sink;
    ASSERT_EQ(xdoc::ExtractText(std::string(QM_EXAMPLE_FILES) + "/" + name, sink), xdoc::Outcome::kText) << name;
    sink.Finish();
    EXPECT_EQ(sink.text, U16(kReport)) << name;
  }
}

TEST(Xdoc2txtFormats, SpreadsheetsAndPresentations) {
  TempFolder folder;
  const std::string xlsx = ZipBytes(folder, {
      {"xl/workbook.xml", "<workbook/>"},
      {"xl/sharedStrings.xml",
       "<sst xmlns='s'><si><t>name</t></si><si><r><t>to</t></r><r><t>tal</t></r></si></sst>"},
      {"xl/worksheets/sheet1.xml",
       "<worksheet xmlns='s'><sheetData><row><c t='s'><v>0</v></c><c t='s'><v>1</v></c></row>"
       "<row><c t='inlineStr'><is><t>x &amp; y</t></is></c><c><v>42.5</v></c></row></sheetData></worksheet>"},
  });
  EXPECT_EQ(Text("a.xlsx", xlsx), u"name\ttotal\r\nx & y\t42.5\r\n");

  const std::string slide = "<p:sld xmlns:p='p' xmlns:a='a'><a:p><a:r><a:t>%</a:t></a:r></a:p></p:sld>";
  const auto slideWith = [&](const std::string& t) {
    std::string s = slide;
    return s.replace(s.find('%'), 1, t);
  };
  const std::string pptx = ZipBytes(folder, {
      {"ppt/presentation.xml", "<presentation/>"},
      {"ppt/slides/slide10.xml", slideWith("ten")},
      {"ppt/slides/slide2.xml", slideWith("two")},
  });
  EXPECT_EQ(Text("a.pptx", pptx), u"two\r\nten\r\n");  // slide number order
}

TEST(Xdoc2txtFormats, OpenDocumentSpacesTabsAndTables) {
  TempFolder folder;
  const std::string ods = ZipBytes(folder, {
      {"mimetype", "application/vnd.oasis.opendocument.spreadsheet"},
      {"content.xml",
       "<office:document-content xmlns:office='o' xmlns:text='t' xmlns:table='b'><office:body>"
       "<text:h>Head</text:h><text:p>a<text:s text:c='3'/>b<text:tab/>c<text:line-break/>d</text:p>"
       "<table:table><table:table-row><table:table-cell><text:p>1</text:p></table:table-cell>"
       "<table:table-cell><text:p>2</text:p></table:table-cell></table:table-row></table:table>"
       "</office:body></office:document-content>"},
  });
  EXPECT_EQ(Text("a.ods", ods), u"Head\r\na   b\tc\r\nd\r\n1\t2\r\n");
}

TEST(Xdoc2txtFormats, EpubChaptersInSpineOrder) {
  TempFolder folder;
  const std::string epub = ZipBytes(folder, {
      {"mimetype", "application/epub+zip"},
      {"META-INF/container.xml",
       "<container><rootfiles><rootfile full-path='OEBPS/book.opf'/></rootfiles></container>"},
      {"OEBPS/book.opf",
       "<package><manifest><item id='b' href='text/two.xhtml'/><item id='a' href='text/one%20a.xhtml'/>"
       "</manifest><spine><itemref idref='a'/><itemref idref='b'/></spine></package>"},
      {"OEBPS/text/one a.xhtml", "<html><body><h1>One</h1><p>first <b>page</b></p></body></html>"},
      {"OEBPS/text/two.xhtml", "<html><head><style>p{}</style></head><body><p>second</p></body></html>"},
  });
  EXPECT_EQ(Text("a.epub", epub), u"One\r\nfirst page\r\nsecond\r\n");
}

TEST(Xdoc2txtFormats, RtfControlWordsAndDestinations) {
  const std::string rtf =
      "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}{\\*\\generator Writer;}\\f0 Caf\\'e9 \\u8364?5\\par\n"
      "a\\tab b\\line c \\{x\\}{\\b bold}\\uc0\\u8212 end}";
  EXPECT_EQ(Text("a.rtf", rtf), u"Caf\u00e9 \u20ac5\r\na\tb\r\nc {x}bold\u2014end");
}

TEST(Xdoc2txtFormats, HtmlBlocksScriptsAndEntities) {
  const std::string html =
      "<html><head><title>T</title><script>var x = 1;</script></head><body><p>one   two</p>"
      "<div>caf&eacute; &amp;<br>next</div><pre>a  b</pre></body></html>";
  EXPECT_EQ(Text("a.html", html), u"T\r\none two\r\ncaf\u00e9 &\r\nnext\r\na  b\r\n");
}

TEST(Xdoc2txtFormats, DamagedDocumentsAreRefused) {
  TempFolder folder;
  const std::string pdf = ReadFileBytes(std::string(QM_EXAMPLE_FILES) + "/report.pdf");
  const std::string docx = ReadFileBytes(std::string(QM_EXAMPLE_FILES) + "/report.docx");
  const std::string odt = ReadFileBytes(std::string(QM_EXAMPLE_FILES) + "/report.odt");
  const std::pair<const char*, std::string> damaged[] = {
      {"pdf cut short", pdf.substr(0, 60)},
      {"pdf without its end", pdf.substr(0, pdf.size() / 3)},
      {"pdf without pages", "%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n"},
      {"docx cut short", docx.substr(0, docx.size() / 2)},
      {"odt cut short", odt.substr(0, odt.size() - 30)},
      {"docx with broken xml", ZipBytes(folder, {{"word/document.xml", "<w:document><w:body>"}})},
      {"odt without content", ZipBytes(folder, {{"mimetype", "application/vnd.oasis.opendocument.text"}})},
      {"xlsx without sheets", ZipBytes(folder, {{"xl/workbook.xml", "<workbook/>"}})},
      {"epub without container", ZipBytes(folder, {{"mimetype", "application/epub+zip"}})},
      {"unknown zip", ZipBytes(folder, {{"a.txt", "a"}})},
      {"rtf cut short", "{\\rtf1 abc{\\b def"},
      {"rtf bad hex", "{\\rtf1 \\'zz}"},
  };
  for (const auto& [what, bytes] : damaged) {
    std::u16string text;
    EXPECT_EQ(Extract("damaged.bin", bytes, &text), xdoc::Outcome::kUnreadable) << what;
  }
  std::u16string text;
  EXPECT_EQ(Extract("plain.txt", "just text", &text), xdoc::Outcome::kUnreadable);
  xdoc::StringSink sink;
  EXPECT_EQ(xdoc::ExtractText(folder.PathOf("missing.pdf"), sink), xdoc::Outcome::kUnreadable);
}

// ---------------------------------------------------------------------------
// Hostile documents
// ---------------------------------------------------------------------------
std::string Repeat(const std::string& s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::string Docx(const TempFolder& folder, const std::string& body) {
  return ZipBytes(folder, {{"word/document.xml", "<w:document xmlns:w='w'><w:body>" + body + "</w:body></w:document>"}});
}

std::string Paragraph(const std::string& text) { return "<w:p><w:r><w:t>" + text + "</w:t></w:r></w:p>"; }

// The archive with the sizes an entry declares set to declared: an entry
// that inflates to more than it says.
std::string LyingSizes(std::string zip, std::uint32_t declared) {
  const auto put32 = [&](std::size_t at) {
    for (int i = 0; i < 4; ++i) zip[at + i] = static_cast<char>((declared >> (8 * i)) & 0xFF);
  };
  for (std::size_t at = zip.find("PK\x03\x04"); at != std::string::npos; at = zip.find("PK\x03\x04", at + 4)) put32(at + 22);
  for (std::size_t at = zip.find("PK\x01\x02"); at != std::string::npos; at = zip.find("PK\x01\x02", at + 4)) put32(at + 24);
  return zip;
}

TEST(Xdoc2txtHostile, ZipBombsAreRefusedBeforeTheyInflate) {
  TempFolder folder;
  xdoc::Limits limits;
  limits.ratioGraceBytes = 1 << 20;
  limits.maxEntryBytes = 3 << 20;
  std::u16string text;
  // 2.5 MiB of one repeated run: about a thousand times its deflated size.
  const std::string bomb = Docx(folder, Paragraph("start") + Repeat("<w:r><w:t>aaaa</w:t></w:r>", 100000));
  EXPECT_EQ(Extract("bomb.docx", bomb, &text, limits), xdoc::Outcome::kPastLimits);
  EXPECT_EQ(text, u"");  // refused on its declared size, before any text
  // Text that does not compress well, but more of it than an entry may hold.
  std::string noise;
  std::uint32_t x = 1;
  for (int i = 0; i < 500000; ++i) {
    x = x * 1103515245u + 12345u;
    noise += Paragraph(std::to_string(x));
  }
  EXPECT_EQ(Extract("large.docx", Docx(folder, noise), &text, limits), xdoc::Outcome::kPastLimits);
  // Under the limits the same kinds of entry are read.
  EXPECT_EQ(Extract("small.docx", Docx(folder, Repeat(Paragraph("a"), 1000)), &text, limits), xdoc::Outcome::kText);
  EXPECT_EQ(text.size(), 3000u);
  // An entry that inflates past the size it declares is cut there.
  const std::string liar = LyingSizes(Docx(folder, Repeat(Paragraph("lie"), 20000)), 4096);
  EXPECT_EQ(Extract("liar.docx", liar, &text), xdoc::Outcome::kPastLimits);
  EXPECT_LE(text.size(), 4096u);
}

TEST(Xdoc2txtHostile, DeepNestingCostsNoStackAndKeepsItsText) {
  TempFolder folder;
  const std::size_t depth = 100000;
  const std::string nested = Repeat("<w:sdt>", depth) + Paragraph("deep") + Repeat("</w:sdt>", depth);
  std::u16string text;
  EXPECT_EQ(Extract("deep.docx", Docx(folder, Paragraph("before") + nested), &text), xdoc::Outcome::kText);
  EXPECT_EQ(text, u"before\r\ndeep\r\n");
  // Past the depth limit the document stops, with the text before it.
  xdoc::Limits shallow;
  shallow.maxDepth = 1000;
  EXPECT_EQ(Extract("deep.docx", Docx(folder, Paragraph("before") + nested), &text, shallow),
            xdoc::Outcome::kPastLimits);
  EXPECT_EQ(text, u"before\r\n");
  // RTF groups past the limit are counted, not kept: their text comes out.
  const std::string rtf = "{\\rtf1 a" + Repeat("{", depth) + "deep" + Repeat("}", depth) + " end}";
  EXPECT_EQ(Extract("deep.rtf", rtf, &text, shallow), xdoc::Outcome::kText);
  EXPECT_EQ(text, u"adeep end");
  EXPECT_EQ(Extract("deep.html", "<html><body>" + Repeat("<div>", depth) + "deep" + Repeat("</div>", depth), &text),
            xdoc::Outcome::kText);
  EXPECT_NE(text.find(u"deep"), std::u16string::npos);
}

// Text runs of megabytes without a tag are cut for the HTML parser without
// a trace in the text, and without splitting a UTF-8 sequence.
TEST(Xdoc2txtHostile, LongHtmlTextRunsKeepEveryCharacter) {
  const std::string run = Repeat("w\xC3\xA9rd ", 500000);  // 3.5 MB, no '<' or '&'
  std::u16string text;
  ASSERT_EQ(Extract("long.html", "<html><head><meta charset=\"utf-8\"></head><body><p>" + run + "</p></body></html>", &text),
            xdoc::Outcome::kText);
  std::u16string expected;
  for (int i = 0; i < 500000; ++i) expected += i == 0 ? u"w\u00e9rd" : u" w\u00e9rd";
  EXPECT_TRUE(text == expected + u"\r\n") << text.size() << " units";
}

// A one-page PDF whose page draws content (Helvetica as F1).
std::string Pdf(const std::string& content) {
  const std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 5 0 R >> >> "
      "/Contents 4 0 R >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (const std::size_t o : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", o);
    pdf += line;
  }
  return pdf + "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
}

TEST(Xdoc2txtHostile, AHeavyPdfPageStopsAtItsLimits) {
  std::u16string text;
  EXPECT_EQ(Extract("a.pdf", Pdf("BT /F1 12 Tf 72 700 Td (Hello PDF) Tj ET"), &text), xdoc::Outcome::kText);
  EXPECT_EQ(text, u"Hello PDF\r\n");
  // 60,000 characters on one page, and 200,000 operators that draw none.
  const std::string heavy = Pdf("BT /F1 1 Tf " + Repeat("(xxxxxxxxxx) Tj ", 6000) + "ET");
  const std::string busy = Pdf(Repeat("1 0 0 1 0 0 cm ", 200000));
  EXPECT_EQ(Extract("heavy.pdf", heavy, &text), xdoc::Outcome::kPastLimits);
  EXPECT_EQ(Extract("busy.pdf", busy, &text), xdoc::Outcome::kText);
  xdoc::Limits more, fewer;
  more.maxPageCharacters = 100000;
  fewer.maxPageChecks = 5000;
  EXPECT_EQ(Extract("heavy.pdf", heavy, &text, more), xdoc::Outcome::kText);
  EXPECT_EQ(text.substr(0, 4), u"xxxx");
  EXPECT_EQ(Extract("busy.pdf", busy, &text, fewer), xdoc::Outcome::kPastLimits);
}

TEST(Xdoc2txtHostile, EpubNamesNeverLeaveTheArchive) {
  TempFolder folder;
  const std::string secret = folder.Write("secret.xhtml", "<html><body><p>SECRET</p></body></html>");
  std::string climb;
  for (std::size_t slashes = std::count(secret.begin(), secret.end(), '/'); slashes > 0; --slashes) climb += "../";
  const std::string epub = ZipBytes(folder, {
      {"mimetype", "application/epub+zip"},
      {"META-INF/container.xml", "<container><rootfiles><rootfile full-path='OEBPS/book.opf'/></rootfiles></container>"},
      {"OEBPS/book.opf",
       "<package><manifest><item id='a' href='one.xhtml'/><item id='b' href='../../inside.xhtml'/>"
       "<item id='c' href='" + climb + secret.substr(1) + "'/><item id='d' href='" + secret + "'/>"
       "<item id='e' href='file://" + secret + "'/><item id='f' href='..%2F..%2Finside.xhtml'/></manifest>"
       "<spine><itemref idref='a'/><itemref idref='b'/><itemref idref='c'/><itemref idref='d'/>"
       "<itemref idref='e'/><itemref idref='f'/></spine></package>"},
      {"OEBPS/one.xhtml", "<html><body><p>one</p></body></html>"},
      // What "../../inside.xhtml" would name if a climb above the root were
      // clamped to it.
      {"inside.xhtml", "<html><body><p>CLAMPED</p></body></html>"},
  });
  std::u16string text;
  EXPECT_EQ(Extract("a.epub", epub, &text), xdoc::Outcome::kText);
  EXPECT_EQ(text, u"one\r\n");
}

TEST(Xdoc2txtHostile, EntitiesNeitherReadFilesNorExplode) {
  TempFolder folder;
  const std::string secret = folder.Write("secret.txt", "SECRET");
  const std::string external = ZipBytes(folder, {{"word/document.xml",
      "<!DOCTYPE w:document [<!ENTITY e SYSTEM 'file://" + secret + "'>]>"
      "<w:document xmlns:w='w'><w:body>" + Paragraph("a&e;b") + "</w:body></w:document>"}});
  std::u16string text;
  Extract("external.docx", external, &text);
  EXPECT_EQ(text.find(u"SECRET"), std::u16string::npos);
  std::string laughs = "<!DOCTYPE w:document [<!ENTITY l0 'lol'>";
  for (int i = 1; i < 10; ++i) {
    laughs += "<!ENTITY l" + std::to_string(i) + " '" + Repeat("&l" + std::to_string(i - 1) + ";", 10) + "'>";
  }
  laughs += "]><w:document xmlns:w='w'><w:body>" + Paragraph("&l9;") + "</w:body></w:document>";
  Extract("laughs.docx", ZipBytes(folder, {{"word/document.xml", laughs}}), &text);
  EXPECT_LT(text.size(), 1000000u);  // never the 3,000,000,000 characters
}

// Runs the converter program; gives its exit code and output.
int RunConverter(const std::vector<std::u16string>& arguments, std::string* output) {
  platform::ChildProcess child = platform::ChildProcess::Start(
      U16(QM_XDOC2TXT), arguments, platform::ChildProcess::ErrorOutput::kIntoOutput);
  if (!child.IsRunning()) return -100;
  char buffer[4096];
  std::int64_t n;
  while ((n = child.ReadOutput(buffer, sizeof buffer)) > 0) output->append(buffer, static_cast<std::size_t>(n));
  return child.Wait();
}

TEST(Xdoc2txtProgram, OutputFormAndExitCodes) {
  std::string out;
  ASSERT_EQ(RunConverter({u"-u", u"-o=0", u"-i", U16(std::string(QM_EXAMPLE_FILES) + "/report.odt")}, &out), 0);
  EXPECT_EQ(out, "\xFF\xFE" + Utf16Le(U16(kReport)));
  TempFolder folder;
  out.clear();
  EXPECT_EQ(RunConverter({u"-u", u"-o=0", U16(folder.Write("bad.pdf", "%PDF-1.4 nothing"))}, &out), 1);
  EXPECT_EQ(out, "");  // nothing on standard error either: it would be read as text
  EXPECT_EQ(RunConverter({}, &out), 2);
  out.clear();
  EXPECT_EQ(RunConverter({u"--bogus", u"x.pdf"}, &out), 2);
  out.clear();
  EXPECT_EQ(RunConverter({u"--help"}, &out), 0);
  EXPECT_NE(out.find("--utf8"), std::string::npos);
  EXPECT_NE(out.find("3  stopped at a limit"), std::string::npos);
  out.clear();
  ASSERT_EQ(RunConverter({u"--utf8", U16(std::string(QM_EXAMPLE_FILES) + "/report.odt")}, &out), 0);
  std::string unix = kReport;
  for (std::size_t at; (at = unix.find("\r\n")) != std::string::npos;) unix.erase(at, 1);
  EXPECT_EQ(out, unix);
}

TEST(Xdoc2txtProgram, HostileDocumentsEndWithTheirStatus) {
  TempFolder folder;
  // 32 MiB of blanks in 32 KiB: refused on its declared size and ratio.
  const std::string bomb = ZipBytes(folder, {{"word/document.xml",
      "<w:document xmlns:w='w'><w:body>" + std::string(32u << 20, ' ') + "</w:body></w:document>"}});
  std::string out;
  EXPECT_EQ(RunConverter({U16(folder.Write("bomb.docx", bomb))}, &out), 3);
  // The nesting that overflowed the stack of a recursive reader.
  const std::string deep = Docx(folder, Repeat("<w:sdt>", 100000) + Paragraph("deep") + Repeat("</w:sdt>", 100000));
  out.clear();
  EXPECT_EQ(RunConverter({U16(folder.Write("deep.docx", deep))}, &out), 0);
  EXPECT_EQ(out, "\xFF\xFE" + Utf16Le(u"deep\r\n"));
}

TEST(Xdoc2txtProgram, ThePluginSearchesTheReportsThroughIt) {
  LoadedPlugin plugin("[Quarrymark]\r\nregexcount=2\r\nregex1=(?i)\\binvoice\\b\r\nregex1type=1\r\n"
                      "regex2=\\d+ EUR\r\nregex2type=3\r\nregex2replace=$0;\r\n"
                      "[Quarrymark_filters]\r\npdf=xdoc\r\ndocx=xdoc\r\nodt=xdoc|i\r\n");
  std::filesystem::copy_file(std::filesystem::u8path(QM_XDOC2TXT), plugin.folder().path() / "xdoc2txt");
  for (const char* name : {"report.pdf", "report.docx", "report.odt"}) {
    const std::string path = std::string(QM_EXAMPLE_FILES) + "/" + name;
    EXPECT_EQ(plugin.ValueW(path, 0).Int(), 2) << name;
    EXPECT_EQ(plugin.ValueW(path, 1).Wide(), u"1200 EUR;300 EUR;") << name;
  }
}

}  // namespace
}  // namespace qm::test
