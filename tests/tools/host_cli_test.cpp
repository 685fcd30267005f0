// The quarrymark host as a user runs it: its output formats, its exit
// status and its messages for libraries it cannot use.
#include "host_cli_fixture.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

const char kFourFields[] =
    "regexcount=4\r\n"
    "regex1=a\r\nregex1name=Compare\r\nregex1type=7\r\n"
    "regex2=a\r\nregex2name=Has a\r\n"
    "regex3=a\r\nregex3name=Encoding\r\nregex3type=-1\r\n"
    "regex4=a\r\nregex4name=v1.2\r\nregex4type=1\r\n";

const char kFieldLines[] =
    "INDEX\tNAME\tTYPE\tUNITS\n"
    "0\tHas a\tboolean\t\n"
    "1\tEncoding\tchoice\tANSI/Binary|UTF-8|UTF-16|UTF-16 BE\n"
    "2\tv1_2\tinteger\t\n"
    "10000\tCompare\tcompare\t\n";

TEST_F(HostCli, FieldsPrintsIndexNameTypeAndUnitsThenCompareFields) {
  Settings(kFourFields);
  const Outcome run = Host("fields");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, kFieldLines);
  EXPECT_EQ(run.err, "");
  const Outcome json = Host("fields --format json");
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(Json(json.out, "[(f['index'], f['name'], f['type'], f['typeCode'], f['units']) for f in d]"),
            "[(0, 'Has a', 'boolean', 6, []), "
            "(1, 'Encoding', 'choice', 7, ['ANSI/Binary', 'UTF-8', 'UTF-16', 'UTF-16 BE']), "
            "(2, 'v1_2', 'integer', 1, []), (10000, 'Compare', 'compare', 100, [])]");
}

// --version is the program's; --interface (and the older "--version HI.LO",
// which no command name can be confused with) the plugin interface's.
TEST_F(HostCli, VersionAndInterfaceOptions) {
  Settings(kFourFields);
  const std::string oldFields =
      "INDEX\tNAME\tTYPE\tUNITS\n0\t(!)PCRE-RegEx1\tboolean\t\n1\t(!)PCRE-RegEx2\tboolean\t\n"
      "2\t(!)PCRE-RegEx3\tboolean\t\n3\t(!)PCRE-RegEx4\tboolean\t\n";
  for (const std::string option : {"--interface 1.3", "--interface=1.3", "--version 1.3"}) {
    const Outcome old = Host(option + " fields");
    EXPECT_EQ(old.status, 0) << option;
    EXPECT_EQ(old.out, oldFields) << option;
  }
  const Outcome version = Shell(Quoted(QM_HOST_PATH) + " --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "quarrymark " QM_VERSION_STRING "\n");
  for (const std::string bad : {"--version two fields", "--interface two fields", "--interface",
                                "--colour fields"}) {
    const Outcome run = Host(bad);
    EXPECT_EQ(run.status, 2) << bad;
    EXPECT_EQ(run.out, "") << bad;
  }
  EXPECT_NE(Host("--interface two fields").err.find("--interface takes HI.LO"), std::string::npos);
  EXPECT_NE(Host("--colour fields").err.find("unknown option --colour"), std::string::npos);
}

TEST_F(HostCli, DefaultPluginIsTheOneBesideTheProgram) {
  Settings(kFourFields);
  fs::create_directory(folder_.path() / "bin");
  fs::copy_file(QM_HOST_PATH, folder_.path() / "bin" / "quarrymark");
  fs::copy_file(QM_TOOLS_PLUGIN_PATH, folder_.path() / "bin" / "Quarrymark.wdx");
  folder_.Write("bin/Quarrymark.ini", "[Quarrymark]\r\nregexcount=1\r\nregex1=a\r\nregex1name=Beside\r\n");
  const std::string expected = "INDEX\tNAME\tTYPE\tUNITS\n0\tBeside\tboolean\t\n";
  const Outcome byPath = Shell(Quoted(folder_.PathOf("bin/quarrymark")) + " fields");
  EXPECT_EQ(byPath.status, 0) << byPath.err;
  EXPECT_EQ(byPath.out, expected);
  const Outcome relative = Shell("bin/quarrymark fields");
  EXPECT_EQ(relative.out, expected) << relative.err;
  // Found through PATH: argv[0] is a bare name.
  const Outcome searched = Shell("PATH=" + Quoted(folder_.PathOf("bin")) + ":\"$PATH\" quarrymark fields");
  EXPECT_EQ(searched.status, 0) << searched.err;
  EXPECT_EQ(searched.out, expected);
}

TEST_F(HostCli, MissingLibraryIsAUsageErrorWithAClearMessage) {
  const std::string missing = folder_.PathOf("no such folder/Quarrymark.wdx");
  const Outcome run = Shell(Quoted(QM_HOST_PATH) + " --plugin " + Quoted(missing) + " fields");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("cannot load the plugin " + missing), std::string::npos) << run.err;
}

TEST_F(HostCli, LibraryWithoutTheExportsIsRefused) {
  const Outcome run = Shell(Quoted(QM_HOST_PATH) + " --plugin " + Quoted(QM_NO_EXPORTS_PATH) + " fields");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("has no export ContentGetSupportedField"), std::string::npos) << run.err;
}

// Each usage error names the word at fault and exits with 2; nothing is
// taken for a path.
TEST_F(HostCli, UsageErrorsNameTheWordAndExitWithTwo) {
  Settings(kFourFields);
  const std::pair<std::string, std::string> cases[] = {
      {"", "usage: quarrymark"},
      {"frobnicate", "unknown command frobnicate"},
      {"value 0", "usage: quarrymark value"},
      {"value nosuchfield x", "no field named nosuchfield"},
      {"value --colour 0 x", "value: unknown option --colour"},
      {"columns --format xml .", "columns: unknown format xml"},
      {"columns . --colour", "columns: --colour needs a value"},
      {"columns --colour=red .", "columns: --color takes auto, always or never, not red"},
      {"columns --frob .", "columns: unknown option --frob"},
      {"columns -j 0 .", "columns: -j takes a number from 1 to 256, not 0"},
      {"columns", "columns: no PATH given"},
      {"sync --format xml a b", "sync: unknown format xml"},
      {"sync -x a b", "sync: unknown option -x"},
      {"compare --frob a b", "compare: unknown option --frob"},
      {"text", "usage: quarrymark text"},
      {"fields extra", "fields: takes no operands"},
      {"batch --x", "batch: unknown option --x"},
      {"settings check --frob", "quarrymark settings: unknown option --frob"},
  };
  for (const auto& [args, message] : cases) {
    const Outcome run = Host(args);
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_NE(run.err.find(message), std::string::npos) << args << ": " << run.err;
    EXPECT_EQ(run.out, "") << args;
  }
  // A word after "--" is an operand even when it starts with a dash.
  folder_.Write("-odd.txt", "a");
  const Outcome dashed = Host("columns --format tsv --fields 0 -- -odd.txt");
  EXPECT_EQ(dashed.status, 0) << dashed.err;
  EXPECT_EQ(dashed.out, "File\tHas a\n-odd.txt\t1\n");
}

// Every command answers --help with its own text and exit 0, without
// loading the plugin.
TEST_F(HostCli, EveryCommandHasItsHelp) {
  const Outcome global = Shell(Quoted(QM_HOST_PATH) + " --plugin /nonexistent --help");
  EXPECT_EQ(global.status, 0);
  for (const std::string command : {"fields", "value", "columns", "text", "compare", "sync",
                                    "fulltext", "batch", "settings", "setup"}) {
    EXPECT_NE(global.out.find("  " + command + " "), std::string::npos) << command;
    const Outcome help = Shell(Quoted(QM_HOST_PATH) + " --plugin /nonexistent " + command + " --help");
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind("usage: quarrymark ", 0), 0u) << command << ": " << help.out;
    EXPECT_NE(help.out.find(command), std::string::npos) << command;
  }
}

TEST_F(HostCli, ValueBatchAndColumnsAnswerThroughTheExports) {
  Settings(kFourFields);
  const std::string file = folder_.Write("data.txt", "banana");
  const Outcome byIndex = Host("value 0 " + Quoted(file));
  EXPECT_EQ(byIndex.status, 0) << byIndex.err;
  EXPECT_EQ(byIndex.out, "6\t1\n");
  EXPECT_EQ(Host("value --ansi 'Has a' " + Quoted(file)).out, "6\t1\n");
  EXPECT_EQ(Host("value 2 " + Quoted(file)).out, "1\t3\n");
  EXPECT_EQ(Host("value 7 " + Quoted(file)).out, "-1\t\n");

  const Outcome batch = Host("batch", "fields\n# comment\nvalue 2 \"" + file + "\"\nbogus\n");
  EXPECT_EQ(batch.status, 1);
  EXPECT_EQ(batch.out, std::string(kFieldLines) + "\n1\t3\nerror\tunknown command: bogus\n");

  const Outcome tsv = Host("columns --format tsv --fields 'Has a,2' " + Quoted(file));
  EXPECT_EQ(tsv.status, 0) << tsv.err;
  EXPECT_EQ(tsv.out, "File\tHas a\tv1_2\n" + file + "\t1\t3\n");
}

const char kCompareFields[] =
    "regexcount=2\r\n"
    "regex1=(?m)^(?!Stamp: ).+$\r\nregex1name=Skip stamps\r\nregex1type=7\r\n"
    "regex2=\\d+\r\nregex2name=Numbers\r\nregex2type=7\r\n";

TEST_F(HostCli, CompareAnswersCodeAndMeaning) {
  Settings(kCompareFields);
  const std::string a = Quoted(folder_.Write("a.txt", "Stamp: 1\nx 1\n"));
  const std::string b = Quoted(folder_.Write("b.txt", "Stamp: 2\nx 1\n"));
  const std::string c = Quoted(folder_.Write("c.txt", "Stamp: 2\nx 2\n"));
  const Outcome equal = Host("compare " + a + " " + b);
  EXPECT_EQ(equal.status, 0) << equal.err;
  EXPECT_EQ(equal.out, "101\tequal\n");
  EXPECT_EQ(equal.err, "");  // no terminal, no progress
  const Outcome different = Host("compare --field 'Skip stamps' " + a + " " + c);
  EXPECT_EQ(different.status, 1);
  EXPECT_EQ(different.out, "0\tdifferent\n");
  const std::string d = Quoted(folder_.Write("d.txt", "Stamp: 1\nx 1\n"));
  EXPECT_EQ(Host("compare --field 10001 " + a + " " + d).out, "101\tequal\n");
  EXPECT_EQ(Host("compare --field 1 " + a + " " + c).out, "0\tdifferent\n");
  EXPECT_EQ(Host("compare " + a + " missing.txt").out, "-3\tnot comparable\n");
  EXPECT_EQ(Host("compare --field Nothing " + a + " " + b).status, 2);
  EXPECT_EQ(Host("compare " + a).status, 2);
}

TEST_F(HostCli, SyncPreviewOfTwoFoldersOfAThousandFiles) {
  Settings(kCompareFields);
  // Left f0000..f0999, right f0100..f1099. Of the 900 shared names, those
  // ending in 1 differ, in 2 have no match on either side (so they are
  // compared by their bytes, which are the same), in 3 differ only in their
  // stamp lines; the rest are identical.
  fs::create_directories(folder_.path() / "left");
  fs::create_directories(folder_.path() / "right");
  std::string expected;
  std::size_t equal = 0, different = 0, byBytes = 0;
  for (int i = 0; i < 1100; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%04d", i);
    const std::string body = "line " + std::to_string(i) + "\nend\n";
    const bool inLeft = i < 1000, inRight = i >= 100;
    const int kind = i % 10;
    if (inLeft) {
      const std::string text = kind == 2 ? "Stamp: only\n" : "Stamp: L\n" + body;
      folder_.Write(std::string("left/") + name, text);
    }
    if (inRight) {
      std::string text = "Stamp: R" + std::to_string(i) + "\n" + body;
      if (kind == 1) text = "Stamp: R\nline " + std::to_string(i) + "\nEND\n";
      if (kind == 2) text = "Stamp: only\n";
      if (kind == 3) text = "Stamp: " + std::string(static_cast<std::size_t>(i % 40), '9') + "\n" + body;
      folder_.Write(std::string("right/") + name, text);
    }
    std::string status = "=\t" + std::string(name) + "\tfield";
    if (!inRight) {
      status = "<\t" + std::string(name) + "\t";
    } else if (!inLeft) {
      status = ">\t" + std::string(name) + "\t";
    } else if (kind == 1) {
      status = "!=\t" + std::string(name) + "\tfield";
      ++different;
    } else if (kind == 2) {
      status = "=\t" + std::string(name) + "\tbytes";
      ++equal;
      ++byBytes;
    } else {
      ++equal;
    }
    expected += status + "\n";
  }
  expected += "#\t1100 paths: " + std::to_string(equal) + " equal (" + std::to_string(byBytes) +
              " by bytes), " + std::to_string(different) +
              " different, 100 only in left, 100 only in right, 0 undecided\n";
  const Outcome run = Host("sync --format tsv left right");
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.out, expected);
  EXPECT_EQ(run.err, "");
}

TEST_F(HostCli, SyncFormatsSubfoldersAndExitStatus) {
  Settings(kCompareFields);
  folder_.Write("l/a.txt", "Stamp: 1\nsame\n");
  folder_.Write("r/a.txt", "Stamp: 2\nsame\n");
  fs::create_directories(folder_.path() / "l/sub");
  fs::create_directories(folder_.path() / "r/sub");
  folder_.Write("l/sub/b\tc.txt", "x\n");
  folder_.Write("r/sub/b\tc.txt", "x\n");
  const Outcome flat = Host("sync l r");
  EXPECT_EQ(flat.status, 0) << flat.err;
  EXPECT_EQ(flat.out, "=    field  a.txt\n1 paths: 1 equal, 0 different, 0 only in l, 0 only in r, "
                      "0 undecided\n");
  const Outcome deep = Host("sync --recursive --format tsv l r");
  EXPECT_EQ(deep.status, 0) << deep.err;
  EXPECT_EQ(deep.out, "=\ta.txt\tfield\n=\tsub/b\\tc.txt\tfield\n#\t2 paths: 2 equal, 0 different, "
                      "0 only in l, 0 only in r, 0 undecided\n");
  folder_.Write("r/sub/b\tc.txt", "y\n");
  folder_.Write("r/new.txt", "z\n");
  const Outcome json = Host("sync --recursive --format json --field Numbers l r");
  EXPECT_EQ(json.status, 1) << json.err;
  EXPECT_EQ(json.out,
            "{\"left\": \"l\", \"right\": \"r\", \"field\": \"Numbers\", \"fieldIndex\": 10001,\n"
            " \"rows\": [\n"
            "  {\"status\": \"!=\", \"path\": \"a.txt\", \"code\": 0, \"decidedBy\": \"field\"},\n"
            "  {\"status\": \">\", \"path\": \"new.txt\"},\n"
            "  {\"status\": \"!=\", \"path\": \"sub/b\\u0009c.txt\", \"code\": 0, \"decidedBy\": \"bytes\"}\n"
            " ],\n"
            " \"summary\": {\"paths\": 3, \"equal\": 0, \"equalByBytes\": 0, \"different\": 2, "
            "\"onlyLeft\": 0, \"onlyRight\": 1, \"undecided\": 0}}\n");
  EXPECT_EQ(Json(json.out, "[(r['status'], r.get('decidedBy')) for r in d['rows']]"),
            "[('!=', 'field'), ('>', None), ('!=', 'bytes')]");
  EXPECT_EQ(Host("sync l").status, 2);
  EXPECT_EQ(Host("sync l missing").status, 2);
  EXPECT_EQ(Host("sync --format xml l r").status, 2);
  EXPECT_EQ(Host("sync -j 0 l r").status, 2);
}

TEST_F(HostCli, BatchStopsARunningRequestAndAnswersEveryCommandInOrder) {
  // A count over 1 GiB of zero bytes takes far longer than the pause before
  // the stop, so only a stop that reaches the running request ends it.
  Settings("regexcount=1\r\nregex1=\\x00\r\nregex1type=1\r\nFileMemory=5\r\n");
  const std::string big = folder_.Write("big.bin", "");
  fs::resize_file(big, 1ull << 30);
  const std::string small = folder_.Write("small.txt", "abc");
  folder_.Write("feed.sh",
                "printf 'value 0 big.bin\\n'; sleep 1; printf 'stop big.bin\\n';"
                "printf 'value --maxlen x 0 small.txt\\nvalue nosuchfield small.txt\\nvalue\\n"
                "bogus\\nrefresh\\nvalue 0 small.txt\\n'\n");
  const Outcome run = Shell("{ sh feed.sh | " + Quoted(QM_HOST_PATH) + " --plugin " +
                            Quoted(PluginCopy()) + " batch; }");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "-3\t\nok\nerror\tvalue: --maxlen needs a number\nerror\tvalue: no field named nosuchfield\n"
            "error\tusage: quarrymark value [options] FIELD FILE\nerror\tunknown command: bogus\nok\n"
            "1\t0\n");
}

TEST_F(HostCli, OutputsKeepTheirShapeWhateverTheNames) {
  Settings("regexcount=2\r\nregex1=a\r\nregex1type=1\r\nregex1name=tab\there\r\n"
           "regex2=(.+)\r\nregex2type=4\r\nregex2replace=$1\r\nregex2name=x\\y\r\n");
  const Outcome fields = Host("fields");
  EXPECT_EQ(fields.out, "INDEX\tNAME\tTYPE\tUNITS\n0\ttab\\there\tinteger\t\n1\tx\\\\y\tstring\t\n");
  // TSV: a name with a line end, a tab and a backslash stays one cell.
  const std::string odd = folder_.Write("a\tb\nc\\d.txt", "a\tz");
  const Outcome tsv = Host("columns --format tsv " + Quoted(odd));
  EXPECT_EQ(tsv.out, "File\ttab\\there\tx\\\\y\n" + folder_.PathOf("a\\tb\\nc\\\\d.txt") +
                         "\t1\ta\\tz\n");
  // JSON: bytes that are not UTF-8 still give a valid string.
  std::filesystem::remove(odd);
  const std::string bad = folder_.Write("n\xFF\\\".txt", "q");
  const Outcome json = Host("columns --format json --fields 0 " + Quoted(bad));
  EXPECT_NE(json.out.find("n\\udcff\\\\\\\".txt\", \"fields\": {\"tab\\u0009here\": {\"code\": 1, "
                          "\"kind\": \"integer\", \"value\": 0}}"),
            std::string::npos) << json.out;
}

TEST_F(HostCli, ValueShowsOnlyWhatThePluginWroteAndCapsMaxlen) {
  Settings("regexcount=1\r\nregex1=(.+)\r\nregex1type=4\r\nregex1replace=$1\r\n");
  const std::string file = folder_.Write("f.txt", "hello");
  EXPECT_EQ(Host("value --maxlen 1 0 " + Quoted(file)).out, "11\t\n");
  EXPECT_EQ(Host("value --maxlen 1 --ansi 0 " + Quoted(file)).out, "8\t\n");
  const Outcome huge = Host("value --maxlen 2000000000 0 " + Quoted(file));
  EXPECT_EQ(huge.status, 2);
  EXPECT_NE(huge.err.find("at most 67108864"), std::string::npos) << huge.err;
}

// value exits 0 with a value, 1 without one (-3), 2 on an error answer;
// its JSON form is typed.
TEST_F(HostCli, ValueExitStatusFollowsTheAnswer) {
  Settings("regexcount=3\r\nregex1=a\r\nregex1type=1\r\nregex2=\\x00\r\nregex2type=1\r\n"
           "regex3=a\r\nregex3name=Has a\r\nFileMemory=5\r\n");
  folder_.Write("a.txt", "banana");
  fs::resize_file(folder_.Write("big.bin", ""), 1ull << 30);
  const Outcome value = Host("value 0 a.txt");
  EXPECT_EQ(value.status, 0);
  EXPECT_EQ(value.out, "1\t3\n");
  const Outcome missing = Host("value 0 missing.txt");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.out, "-2\t\n");
  EXPECT_EQ(missing.err, "value: cannot read missing.txt\n");
  const Outcome noField = Host("value 9 a.txt");
  EXPECT_EQ(noField.status, 2);
  EXPECT_EQ(noField.out, "-1\t\n");
  const Outcome stopped = Host("value --stop-after 100 1 big.bin");
  EXPECT_EQ(stopped.status, 1);
  EXPECT_EQ(stopped.out, "-3\t\n");
  EXPECT_EQ(Json(Host("value --format json 0 a.txt").out, "(d['code'], d['kind'], d['value'])"),
            "(1, 'integer', 3)");
  EXPECT_EQ(Json(Host("value --format json 'Has a' a.txt").out, "(d['code'], d['kind'], d['value'])"),
            "(6, 'boolean', True)");
  EXPECT_EQ(Json(Host("value --format json 0 missing.txt").out, "(d['code'], d['kind'], d['value'])"),
            "(-2, 'file_error', None)");
  EXPECT_EQ(Json(Host("value --format json --flags 1 1 big.bin").out, "(d['kind'], d['value'])"),
            "('on_demand', None)");
}

// A pair the compare field cannot decide ("not comparable") is compared by
// its bytes, as a file manager does, and marked so in every format. The
// exit status then says whether every pair is equal either way.
TEST_F(HostCli, SyncDecidesNotComparablePairsByTheirBytes) {
  Settings("regexcount=1\r\nregex1=\\d+\r\nregex1name=Numbers\r\nregex1type=7\r\n");
  folder_.Write("l/empty", "");
  folder_.Write("r/empty", "");
  folder_.Write("l/words", "no digits\n");
  folder_.Write("r/words", "no digits\n");
  const Outcome equal = Host("sync --format tsv l r");
  EXPECT_EQ(equal.status, 0) << equal.err;
  EXPECT_EQ(equal.out, "=\tempty\tbytes\n=\twords\tbytes\n"
                       "#\t2 paths: 2 equal (2 by bytes), 0 different, 0 only in l, 0 only in r, "
                       "0 undecided\n");
  EXPECT_EQ(Host("sync l r").out, "=    bytes  empty\n=    bytes  words\n"
                                  "2 paths: 2 equal (2 by bytes), 0 different, 0 only in l, 0 only "
                                  "in r, 0 undecided\n");
  // Without the byte comparison such pairs stay undecided, and a preview
  // with an undecided pair is not "all equal" (exit 1), though none differs.
  const Outcome undecided = Host("sync --no-bytes --format tsv l r");
  EXPECT_EQ(undecided.status, 1);
  EXPECT_EQ(undecided.out, "?-3\tempty\tfield\n?-3\twords\tfield\n"
                           "#\t2 paths: 0 equal, 0 different, 0 only in l, 0 only in r, 2 undecided\n");
  folder_.Write("r/words", "no digits!\n");
  const Outcome different = Host("sync --format json l r");
  EXPECT_EQ(different.status, 1);
  EXPECT_EQ(Json(different.out, "([(r['path'], r['status'], r['code'], r['decidedBy']) for r in d['rows']], "
                                "d['summary'])"),
            "([('empty', '=', 1, 'bytes'), ('words', '!=', 0, 'bytes')], {'paths': 2, 'equal': 1, "
            "'equalByBytes': 1, 'different': 1, 'onlyLeft': 0, 'onlyRight': 0, 'undecided': 0})");
}

// The compare field is named by its index from 10000 (10000 the first) or
// by its place k from 0.
TEST_F(HostCli, CompareFieldIndexTenThousandIsTheFirst) {
  Settings(kCompareFields);  // 10000 "Skip stamps", 10001 "Numbers"
  folder_.Write("a.txt", "Stamp: 1\nx 1\n");
  folder_.Write("b.txt", "Stamp: 2\nx 1\n");  // equal without stamps, different by numbers
  for (const std::string field : {"10000", "0", "'Skip stamps'"}) {
    EXPECT_EQ(Host("compare --field " + field + " a.txt b.txt").out, "101\tequal\n") << field;
  }
  for (const std::string field : {"10001", "1", "Numbers"}) {
    EXPECT_EQ(Host("compare --field " + field + " a.txt b.txt").out, "0\tdifferent\n") << field;
  }
  EXPECT_NE(Host("sync --format json --field 10000 . .").out.find("\"field\": \"Skip stamps\""),
            std::string::npos);
}

// "" is a word of its own: an empty file name, not a missing operand.
TEST_F(HostCli, BatchTakesAnEmptyQuotedWordAsAWord) {
  Settings(kFourFields);
  const Outcome run = Host("batch", "value 0 \"\"\nstop \"\"\n\"\"\nvalue \"\" x\nvalue 0 \"a b\"\n");
  EXPECT_EQ(run.out, "-2\t\nok\nerror\tunknown command: \"\"\nerror\tvalue: no field named \n-2\t\n");
}

}  // namespace
}  // namespace qm::test
