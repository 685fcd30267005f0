// quarrymark columns and text as a user runs them: streaming in file order,
// Ctrl-C, missing paths, the file selection rules, typed JSON and CSV read
// back by parsers, and the text a field searches.
#include <algorithm>
#include <sstream>
#include <vector>

#include "host_cli_fixture.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

// The first column of TSV rows after the header.
std::vector<std::string> FirstColumn(const std::string& tsv) {
  std::vector<std::string> cells;
  std::istringstream lines(tsv);
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line)) cells.push_back(line.substr(0, line.find('\t')));
  return cells;
}

TEST_F(HostCli, ColumnsStreamRowsInFileOrderWhateverTheThreads) {
  // Small files, and a few above 1 MiB whose counts are put off ("...") and
  // finished afterwards: rows still come in the order of the files.
  Settings("regexcount=2\r\nregex1=a\r\nregex1type=1\r\nregex2=\\d+\r\nregex2type=2\r\n");
  std::string expected = "File\tPCRE-RegEx1\tPCRE-RegEx2\n";
  for (int i = 0; i < 240; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%03d.txt", i);
    const std::size_t lines = i % 7 == 0 ? 12000 + static_cast<std::size_t>(i) : 1;
    const std::size_t as = static_cast<std::size_t>(i % 13);
    std::string text;
    for (std::size_t l = 0; l < lines; ++l) text += std::string(as, 'a') + std::string(99 - as, '-') + "\n";
    folder_.Write(std::string("d/") + name, text + std::to_string(i % 5) + "\n");
    expected += "d/" + std::string(name) + "\t" + std::to_string(as * lines) + "\t1\n";
  }
  for (const std::string jobs : {"1", "3", "8"}) {
    const Outcome run = Host("columns --format tsv -j " + jobs + " d");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, expected) << "-j " << jobs;
    EXPECT_EQ(run.err, "");  // no terminal: no progress line
  }
}

// Rows are written as they are done (before the run ends); Ctrl-C stops the
// running request, keeps the output well-formed and exits with 130.
TEST_F(HostCli, ColumnsWriteRowsAtOnceAndCtrlCExits130) {
  Settings("regexcount=1\r\nregex1=\\x00\r\nregex1type=1\r\nFileMemory=5\r\n");
  folder_.Write("a.txt", "abc");
  fs::resize_file(folder_.Write("big.bin", ""), 1ull << 30);  // a count of minutes
  folder_.Write("run.sh",
                HostLine("columns --format json --on-demand -j 1 a.txt big.bin") +
                    " >out.json 2>err.txt &\n"
                    "pid=$!\n"
                    "n=0\n"
                    "until grep -q a.txt out.json 2>/dev/null; do\n"
                    "  n=$((n + 1)); [ $n -gt 400 ] && break; sleep 0.05\n"
                    "done\n"
                    "kill -0 $pid && echo running-after-first-row\n"
                    "kill -INT $pid\n"
                    "wait $pid\n"
                    "echo \"exit $?\"\n");
  const Outcome run = Shell("sh run.sh");
  EXPECT_EQ(run.out, "running-after-first-row\nexit 130\n");
  const std::string json = ReadFileBytes(folder_.PathOf("out.json"));
  EXPECT_EQ(Json(json, "[(r['file'], r['fields']['PCRE-RegEx1']['value']) for r in d]"), "[('a.txt', 0)]");
  EXPECT_EQ(ReadFileBytes(folder_.PathOf("err.txt")), "columns: interrupted; 1 of 2 files written\n");
}

TEST_F(HostCli, ColumnsReportMissingPathsAndGoOn) {
  Settings("regexcount=1\r\nregex1=a\r\nregex1type=1\r\n");
  folder_.Write("a.txt", "aa");
  folder_.Write("b.txt", "a");
  const Outcome run = Host("columns --format tsv a.txt missing.txt b.txt");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "File\tPCRE-RegEx1\na.txt\t2\nb.txt\t1\n");
  EXPECT_EQ(run.err, "columns: no such file or folder: missing.txt\n");
}

TEST_F(HostCli, FileSelectionSkipsHiddenAndIgnoredUnlessAsked) {
  Settings("regexcount=1\r\nregex1=a\r\n");
  for (const char* file : {"t/a.txt", "t/b.tmp", "t/keep.tmp", "t/.hidden.txt", "t/.git/config",
                           "t/node_modules/x.txt", "t/build/out.txt", "t/sub/build/in.txt",
                           "t/sub/c.log", "t/sub/d.txt", "t/deep/e/f.md"}) {
    folder_.Write(file, "a");
  }
  folder_.Write("t/.gitignore", "# generated\nnode_modules/\n*.tmp\n!keep.tmp\n/build\n");
  folder_.Write("t/sub/.ignore", "*.log\n");
  fs::create_directory_symlink(folder_.path() / "t/sub", folder_.path() / "t/link");
  fs::create_symlink(folder_.path() / "t/a.txt", folder_.path() / "t/filelink");
  fs::create_directory_symlink(folder_.path() / "t", folder_.path() / "t/deep/loop");
  const auto files = [&](const std::string& options) {
    const Outcome run = Host("columns --format tsv --fields 0 " + options + " t");
    EXPECT_EQ(run.status, 0) << options << ": " << run.err;
    std::string joined;
    for (const std::string& f : FirstColumn(run.out)) joined += f.substr(2) + " ";  // without "t/"
    return joined;
  };
  EXPECT_EQ(files("-r"), "a.txt deep/e/f.md keep.tmp sub/build/in.txt sub/d.txt ");
  EXPECT_EQ(files(""), "a.txt keep.tmp ");
  EXPECT_EQ(files("-r --hidden"),
            ".git/config .gitignore .hidden.txt a.txt deep/e/f.md keep.tmp sub/.ignore "
            "sub/build/in.txt sub/d.txt ");
  EXPECT_EQ(files("-r --no-ignore"),
            "a.txt b.tmp build/out.txt deep/e/f.md keep.tmp node_modules/x.txt sub/build/in.txt "
            "sub/c.log sub/d.txt ");
  // Links: followed on request; a link back to a folder being walked is not.
  EXPECT_EQ(files("-r -L"),
            "a.txt deep/e/f.md filelink keep.tmp link/build/in.txt link/d.txt sub/build/in.txt "
            "sub/d.txt ");
  EXPECT_EQ(files("-r -g '*.txt'"), "a.txt sub/build/in.txt sub/d.txt ");
  EXPECT_EQ(files("-r -g '!sub' -g '!*.md'"), "a.txt keep.tmp ");
  EXPECT_EQ(files("-r -g 'deep/**/*.md'"), "deep/e/f.md ");
  EXPECT_EQ(files("-r -e MD,tmp"), "deep/e/f.md keep.tmp ");
  EXPECT_EQ(files("-r --ext .txt -g '!a*'"), "sub/build/in.txt sub/d.txt ");
  // A file named on the command line is taken whatever the rules.
  const Outcome named = Host("columns --format tsv --fields 0 t/.hidden.txt t/b.tmp");
  EXPECT_EQ(FirstColumn(named.out), (std::vector<std::string>{"t/.hidden.txt", "t/b.tmp"}));
}

// Rows stream while the folders are still being walked, yet come in the
// byte order of their whole paths: a folder's files sort where "name/"
// does, so "a-b/c" < "a.txt" < "a/b" < "a0", and many of them (more than
// one batch of the walk) keep that order whatever the workers finish first.
TEST_F(HostCli, FolderRowsComeInTheByteOrderOfTheirPaths) {
  Settings("regexcount=1\r\nregex1=x\r\nregex1type=1\r\n");
  for (const char* file : {"o/a0", "o/a/b", "o/a.txt", "o/a-b/c", "o/a/a/z", "o/ab"}) folder_.Write(file, "x");
  std::vector<std::string> many;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "m/" + std::to_string(i % 7) + "/" + std::to_string(i);
    folder_.Write(name, std::string(static_cast<std::size_t>(i % 5) * 1000, 'x'));
    many.push_back(name);
  }
  std::sort(many.begin(), many.end());
  const Outcome run = Host("columns --format tsv -j 3 -r o m");
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<std::string> want{"o/a-b/c", "o/a.txt", "o/a/a/z", "o/a/b", "o/a0", "o/ab"};
  want.insert(want.end(), many.begin(), many.end());
  EXPECT_EQ(FirstColumn(run.out), want);
}

// Every kind of answer, read back by Python's json module: numbers are
// numbers, Booleans true/false, no value is null, and each carries its kind.
TEST_F(HostCli, ColumnsJsonIsTypedForAJsonParser) {
  Settings("regexcount=5\r\n"
           "regex1=a\r\nregex1name=Count\r\nregex1type=1\r\n"
           "regex2=a\r\nregex2name=Has a\r\n"
           "regex3=\\w+\r\nregex3name=Average\r\nregex3type=6\r\n"
           "regex4=(\\w+)\r\nregex4name=First\r\nregex4type=4\r\nregex4replace=$1\r\n"
           "regex5=.\r\nregex5name=Encoding\r\nregex5type=-1\r\n");
  folder_.Write("a.txt", "banana split");
  const std::string fifo = folder_.PathOf("pipe");
  ASSERT_EQ(std::system(("mkfifo " + Quoted(fifo)).c_str()), 0);
  const Outcome run = Host("columns --format json a.txt pipe");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Json(run.out, "[(r['file'], sorted((k, v['code'], v['kind'], v['value']) "
                          "for k, v in r['fields'].items())) for r in d]"),
            "[('a.txt', [('Average', 3, 'float', 5.5), ('Count', 1, 'integer', 3), "
            "('Encoding', 7, 'choice', 'ANSI/Binary'), ('First', 11, 'string', 'banana'), "
            "('Has a', 6, 'boolean', True)]), "
            "('pipe', [('Average', -2, 'file_error', None), ('Count', -2, 'file_error', None), "
            "('Encoding', -2, 'file_error', None), ('First', -2, 'file_error', None), "
            "('Has a', -2, 'file_error', None)])]");
  // One object per line: each line is a document of its own.
  const Outcome lines = Host("columns --format jsonl --fields Count a.txt a.txt");
  EXPECT_EQ(lines.out, "{\"file\": \"a.txt\", \"fields\": {\"Count\": {\"code\": 1, \"kind\": \"integer\", "
                       "\"value\": 3}}}\n"
                       "{\"file\": \"a.txt\", \"fields\": {\"Count\": {\"code\": 1, \"kind\": \"integer\", "
                       "\"value\": 3}}}\n");
  // No rows is still a document.
  fs::create_directory(folder_.path() / "empty");
  EXPECT_EQ(Json(Host("columns --format json empty").out, "d"), "[]");
}

// Names and values holding CR or LF are quoted whole, so that a CSV reader
// gets them back intact.
TEST_F(HostCli, CsvQuotesNamesAndValuesHoldingLineEnds) {
  Settings("regexcount=2\r\n"
           "regex1name=<<<END_OF_TEXT\r\ntwo\r\nlines\r\nEND_OF_TEXT\r\nregex1=x\r\nregex1type=1\r\n"
           "regex2name=Text\r\nregex2=(?s).+\r\nregex2type=4\r\nregex2replace=$0\r\n");
  folder_.Write("cr.txt", "x\ry");
  folder_.Write("lf.txt", "x\ny,\"z\"");
  const Outcome run = Host("columns --format csv cr.txt lf.txt");
  EXPECT_EQ(run.status, 0) << run.err;
  folder_.Write("out.csv", run.out);
  folder_.Write("read.py",
                "import csv\n"
                "print(repr(list(csv.reader(open('out.csv', newline='')))))\n");
  EXPECT_EQ(Shell("python3 read.py").out,
            "[['File', 'two\\r\\nlines', 'Text'], ['cr.txt', '1', 'x\\ry'], "
            "['lf.txt', '1', 'x\\ny,\"z\"']]\n");
}

TEST_F(HostCli, TextShowsWhatAFieldSearches) {
  Settings("regexcount=4\r\n"
           "regex1=a\r\nregex1name=Content\r\n"
           "regex2=a\r\nregex2name=Name\r\nregex2flags=64\r\n"
           "regex3=a\r\nregex3name=Sample\r\nregex3flags=8\r\n"
           "regex4=a\r\nregex4name=Raw\r\nregex4flags=16\r\n"
           "AnalyzeBuffer=1\r\n"
           "[Quarrymark_filters]\r\ndoc=xdoc\r\n");
  folder_.Write("be.txt", "\xFE\xFF" + Utf16Be(u"K\u00F6ln \U0001F600\n"));
  folder_.Write("ansi.txt", "caf\xE9\n");
  folder_.Write("long.txt", std::string(40000, 'x') + "END");
  // The converter beside the plugin prints UTF-16LE text, as xdoc2txt does.
  const std::string converter = folder_.Write("xdoc2txt", "#!/bin/sh\nprintf '\\377\\376h\\000i\\000'\n");
  fs::permissions(converter, fs::perms::owner_exec, fs::perm_options::add);
  folder_.Write("report.doc", "raw bytes");
  struct Case {
    std::string args, out, err;
  };
  const Case cases[] = {
      {"be.txt", "K\u00F6ln \U0001F600\n", "text: UTF-16 BE text\n"},
      {"--field Name sub/../be.txt", "be.txt", "text: the file's name part (filename-only field)\n"},
      {"--field 2 long.txt", std::string(32768, 'x'), "text: ANSI/Binary text, the encoding sample only\n"},
      {"report.doc", "hi", "text: the converter's text\n"},
      {"--field Raw report.doc", "raw bytes", "text: ANSI/Binary text\n"},
      {"--quiet report.doc", "hi", ""},
  };
  fs::create_directory(folder_.path() / "sub");
  for (const Case& c : cases) {
    const Outcome run = Host("text " + c.args);
    EXPECT_EQ(run.status, 0) << c.args << ": " << run.err;
    EXPECT_EQ(run.out, c.out) << c.args;
    EXPECT_EQ(run.err, c.err) << c.args;
  }
  // ANSI text in the code page of the locale: a byte that is no character
  // there is shown as U+FFFD.
  const Outcome latin = Shell("LC_ALL=C " + HostLine("text ansi.txt"));
  EXPECT_EQ(latin.out, "caf\u00E9\n") << latin.err;
  EXPECT_EQ(latin.err, "text: ANSI/Binary text\n");
  EXPECT_EQ(Shell("LC_ALL=C.UTF-8 " + HostLine("text ansi.txt")).out, "caf\uFFFD\n");

  const Outcome missing = Host("text nothing.txt");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "text: cannot read nothing.txt\n");
  EXPECT_EQ(Host("text --field Nope be.txt").status, 2);
  EXPECT_EQ(Host("text --field 9 be.txt").status, 2);
}

// A file read in chunks that turns out not to be UTF-8 after its sample is
// searched as ANSI/Binary bytes from its first byte: its text is shown once,
// that way, and never as the UTF-8 pieces read before the fault.
TEST_F(HostCli, TextOfALargeFileFoundNotToBeUtf8LateIsShownOnceAsAnsi) {
  Settings("regexcount=1\r\nregex1=a\r\nFileMemory=5\r\n");  // chunks of 5 MB
  std::string lines;
  for (int i = 0; i < 700000; ++i) lines += "line\n";  // two halves of 3.5 MB: two chunks
  folder_.Write("valid.txt", "\xC3\xA9" + lines + lines + "\xC3\xA9");
  folder_.Write("late.txt", "\xC3\xA9" + lines + lines + "\xFF");
  const Outcome valid = Shell("LC_ALL=C " + HostLine("text valid.txt"));
  EXPECT_EQ(valid.err, "text: UTF-8 text\n");
  EXPECT_TRUE(valid.out == "\xC3\xA9" + lines + lines + "\xC3\xA9") << valid.out.size();
  const Outcome late = Shell("LC_ALL=C " + HostLine("text late.txt"));
  EXPECT_EQ(late.err, "text: ANSI/Binary text\n");
  // Windows-1252 (the C locale's ANSI code page): C3 A9 is "Ã©", FF is "ÿ".
  EXPECT_TRUE(late.out == "\xC3\x83\xC2\xA9" + lines + lines + "\xC3\xBF") << late.out.size();
}

}  // namespace
}  // namespace qm::test
