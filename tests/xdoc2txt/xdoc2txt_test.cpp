// The converter's readers over documents of each format, a damaged one of
// each, and the program's output form and exit codes.
#include <gtest/gtest.h>

#include <zip.h>

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

std::u16string Text(bool (*reader)(const std::string&, std::u16string*), const std::string& bytes) {
  std::u16string text;
  EXPECT_TRUE(reader(bytes, &text));
  return text;
}

const std::string kReport =
    "Quarterly report\r\nThe invoice total for March is 1200 EUR.\r\n"
    "A second invoice of 300 EUR is still open.\r\nContact: office@example.org\r\n";

TEST(Xdoc2txtFormats, ExampleReportInEachFormat) {
  for (const char* name : {"report.pdf", "report.docx", "report.odt"}) {
    std::u16string text;
    ASSERT_TRUE(xdoc::ExtractText(std::string(QM_EXAMPLE_FILES) + "/" + name, &text)) << name;
    EXPECT_EQ(text, U16(kReport)) << name;
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
  EXPECT_EQ(Text(xdoc::ZipDocumentText, xlsx), u"name\ttotal\r\nx & y\t42.5\r\n");

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
  EXPECT_EQ(Text(xdoc::ZipDocumentText, pptx), u"two\r\nten\r\n");  // slide number order
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
  EXPECT_EQ(Text(xdoc::ZipDocumentText, ods), u"Head\r\na   b\tc\r\nd\r\n1\t2\r\n");
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
  EXPECT_EQ(Text(xdoc::ZipDocumentText, epub), u"One\r\nfirst page\r\nsecond\r\n");
}

TEST(Xdoc2txtFormats, RtfControlWordsAndDestinations) {
  const std::string rtf =
      "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}{\\*\\generator Writer;}\\f0 Caf\\'e9 \\u8364?5\\par\n"
      "a\\tab b\\line c \\{x\\}{\\b bold}\\uc0\\u8212 end}";
  EXPECT_EQ(Text(xdoc::RtfText, rtf), u"Caf\u00e9 \u20ac5\r\na\tb\r\nc {x}bold\u2014end");
}

TEST(Xdoc2txtFormats, HtmlBlocksScriptsAndEntities) {
  const std::string html =
      "<html><head><title>T</title><script>var x = 1;</script></head><body><p>one   two</p>"
      "<div>caf&eacute; &amp;<br>next</div><pre>a  b</pre></body></html>";
  EXPECT_EQ(Text(xdoc::HtmlText, html), u"T\r\none two\r\ncaf\u00e9 &\r\nnext\r\na  b\r\n");
}

TEST(Xdoc2txtFormats, DamagedDocumentsAreRefused) {
  TempFolder folder;
  const std::string pdf = ReadFileBytes(std::string(QM_EXAMPLE_FILES) + "/report.pdf");
  const std::string docx = ReadFileBytes(std::string(QM_EXAMPLE_FILES) + "/report.docx");
  const std::string odt = ReadFileBytes(std::string(QM_EXAMPLE_FILES) + "/report.odt");
  const std::pair<const char*, std::string> damaged[] = {
      {"pdf cut short", pdf.substr(0, 60)},
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
    const std::string path = folder.Write("damaged.bin", bytes);
    std::u16string text;
    EXPECT_FALSE(xdoc::ExtractText(path, &text)) << what;
  }
  std::u16string text;
  EXPECT_FALSE(xdoc::ExtractText(folder.Write("plain.txt", "just text"), &text));
  EXPECT_FALSE(xdoc::ExtractText(folder.PathOf("missing.pdf"), &text));
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
