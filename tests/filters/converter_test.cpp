// The converter runner through the exports, with the fake converter program.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "filter_fixture.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qm::test {

int OpenHandleCount() {
#ifdef _WIN32
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return static_cast<int>(count);
#else
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
#endif
}

bool NoChildProcesses() {
#ifdef _WIN32
  return true;
#else
  return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
#endif
}

namespace {

// Runs a request while another thread asks for its stop until it returns
// (a stop that arrives before the request has started is forgotten by it).
// Gives the answer and the milliseconds from the first stop to the return.
Answer StoppedRequest(LoadedPlugin& plugin, const std::string& file, int delayMs, long long* ms) {
  std::atomic<bool> done{false};
  std::atomic<bool> stopSent{false};
  std::chrono::steady_clock::time_point stopped;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    while (!done) {
      if (!stopSent) stopped = std::chrono::steady_clock::now();
      plugin.StopW(file);
      stopSent = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    }
  });
  const Answer answer = plugin.ValueW(file, 0);
  const auto returned = std::chrono::steady_clock::now();
  done = true;
  stopper.join();
  if (ms != nullptr) *ms = std::chrono::duration_cast<std::chrono::milliseconds>(returned - stopped).count();
  return answer;
}

const std::string kFilters = "doc=xdoc\r\nidoc=xdoc|i\r\n";

// Paths of the tests' folders are ASCII.
std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

TEST(Converter, OutputIsMatchedAsUtf16) {
  LoadedPlugin plugin(FilterSettings({{"\\w+", 1}, {"\\w+", 3, 0, "$0@\\xo1,"}, {"\\w+", 3, 16}},
                                     kFilters));
  InstallConverter(plugin);
  const std::string text = plugin.folder().Write("a.doc", "text\nalpha beta gamma");
  EXPECT_EQ(plugin.ValueW(text, 0).Int(), 3);
  EXPECT_EQ(plugin.ValueA(text, 0).Int(), 3);  // an ANSI request is filtered too
  EXPECT_EQ(plugin.ValueW(text, 1).Wide(), u"alpha@00,beta@12,gamma@22,");
  // "Disable text filter/converter": the file as it is.
  EXPECT_EQ(plugin.ValueW(text, 2).Wide(), u"text alpha beta gamma ");

  // A leading byte-order mark is not matched, and offsets count from the
  // unit after it: the same as output without a mark.
  const std::string bom = plugin.folder().Write("b.DOC", "bom\nalpha beta");
  const std::string plain = plugin.folder().Write("p.doc", "text\nalpha beta");
  EXPECT_EQ(plugin.ValueW(bom, 0).Int(), 2);
  EXPECT_EQ(plugin.ValueW(bom, 1).Wide(), u"alpha@00,beta@12,");
  EXPECT_EQ(plugin.ValueW(bom, 1).Wide(), plugin.ValueW(plain, 1).Wide());

  // Standard error is part of the text.
  const std::string err = plugin.folder().Write("c.doc", "stderr\none two");
  EXPECT_EQ(plugin.ValueW(err, 0).Int(), 2);

  // "xdoc|i" passes -i before the name.
  const std::string args = plugin.folder().Write("d.idoc", "args\n");
  EXPECT_EQ(plugin.ValueW(args, 1).Wide().substr(0, 20), u"u@02,o@08,0@12,i@18,");
}

TEST(Converter, EmptyOutputIsEmptyText) {
  LoadedPlugin plugin(FilterSettings({{"x", 1}, {"^", 0}, {"x", 6}}, kFilters));
  InstallConverter(plugin);
  const std::string file = plugin.folder().Write("e.doc", "empty\nxxx");
  const Answer count = plugin.ValueW(file, 0);
  EXPECT_EQ(count.code, ft_numeric_32);
  EXPECT_EQ(count.Int(), 0);
  EXPECT_EQ(plugin.ValueW(file, 1).Int(), 0);  // no matcher call at all
  EXPECT_EQ(plugin.ValueW(file, 2).code, ft_numeric_floating);
}

TEST(Converter, FailureRepeatsWithoutFilterOrIsAFileError) {
  const std::vector<Field> fields = {{"x", 1}};
  {
    LoadedPlugin plugin(FilterSettings(fields, kFilters));
    InstallConverter(plugin);
    const std::string file = plugin.folder().Write("f.doc", "fail\nxx");
    EXPECT_EQ(plugin.ValueW(file, 0).Int(), 2);  // the raw bytes: "fail" has no x
  }
  {
    LoadedPlugin plugin(FilterSettings(fields, kFilters, "NormalSearchForFilterFail=0\r\n"));
    InstallConverter(plugin);
    const std::string file = plugin.folder().Write("f.doc", "fail\nxx");
    EXPECT_EQ(plugin.ValueW(file, 0).code, ft_fileerror);
  }
  {
    // No converter beside the plugin: it cannot be started.
    LoadedPlugin plugin(FilterSettings(fields, kFilters));
    const std::string file = plugin.folder().Write("g.doc", "text\nx");
    EXPECT_EQ(plugin.ValueW(file, 0).Int(), 2);
  }
}

TEST(Converter, OutputBeyondTheBudgetIsMatchedInPiecesCutAtLineEnds) {
  // FileMemory 5: pieces of about 5 MiB; 300000 lines are about 8 MiB of
  // UTF-16. A line split at a cut, or a line end lost or doubled there,
  // changes these counts.
  LoadedPlugin plugin(FilterSettings({{"(?m)^line \\d+\\r?$", 1}, {"\\r\\n", 1}, {"line 300000\\r\\n$", 0}},
                                     kFilters, "FileMemory=5\r\n"));
  InstallConverter(plugin);
  const std::string file = plugin.folder().Write("long.doc", "lines 300000\n");
  EXPECT_EQ(plugin.ValueW(file, 0).Int(), 300000);
  EXPECT_EQ(plugin.ValueW(file, 1).Int(), 300000);
  EXPECT_EQ(plugin.ValueW(file, 2).Int(), 1);
}

#ifndef _WIN32
bool ProcessGone(long pid) { return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }
#endif

#ifndef _WIN32
// The converters whose process ids the fake converter recorded in pidFile,
// each expected gone.
int CountGoneConverters(const std::string& pidFile) {
  std::ifstream in(pidFile);
  long pid = 0;
  int seen = 0;
  while (in >> pid) {
    ++seen;
    EXPECT_TRUE(ProcessGone(pid)) << pid;
  }
  return seen;
}
#endif

// Sets an environment variable the fake converter reads, for one test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
#ifdef _WIN32
    // The process's own block too, which CreateProcessW hands on.
    _putenv_s(name_, value.c_str());
    SetEnvironmentVariableA(name_, value.c_str());
#else
    setenv(name_, value.c_str(), 1);
#endif
  }
  ~ScopedEnv() {
#ifdef _WIN32
    _putenv_s(name_, "");
    SetEnvironmentVariableA(name_, nullptr);
#else
    unsetenv(name_);
#endif
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
};

TEST(Converter, StopEndsAConverterThatNeverEnds) {
  TempFolder pids;
  const std::string pidFile = pids.PathOf("pids");
  const ScopedEnv env("QM_FAKE_CONVERTER_PIDS", pidFile);
  LoadedPlugin plugin(FilterSettings({{"tick", 1}}, kFilters));
  InstallConverter(plugin);
  for (const char* kind : {"slow", "hang"}) {
    const std::string file = plugin.folder().Write("s.doc", std::string(kind) + "\n");
    long long ms = 0;
    const Answer answer = StoppedRequest(plugin, file, 300, &ms);
    EXPECT_EQ(answer.code, ft_fieldempty) << kind;
    // Within the host's patience even on a loaded machine (typically a few ms).
    EXPECT_LT(ms, 2000) << kind;
    std::printf("[          ] %s stop answered after %lld ms\n", kind, ms);
    EXPECT_TRUE(NoChildProcesses());
  }
#ifndef _WIN32
  EXPECT_EQ(CountGoneConverters(pidFile), 2);
#endif
}

TEST(Converter, ASettledAnswerEndsAConverterThatNeverEnds) {
  // The flood never ends; its first piece (FileMemory 5) holds matches.
  // Each field has its answer from that piece: the request answers it and
  // the converter is ended. Were the rest read, the time limit would end
  // the run as a failure, a file error with these settings.
  TempFolder pids;
  const std::string pidFile = pids.PathOf("pids");
  const ScopedEnv env("QM_FAKE_CONVERTER_PIDS", pidFile);
  LoadedPlugin plugin(FilterSettings({{"flood", 0}, {"flood", 4}, {"flood", 3, 0, "$0,"}},
                                     kFilters,
                                     "FileMemory=5\r\nConverterTimeLimit=30\r\n"
                                     "NormalSearchForFilterFail=0\r\nResultCache=0\r\n"));
  InstallConverter(plugin);
  const std::string file = plugin.folder().Write("f.doc", "flood\n");
  const Answer boolean = plugin.ValueW(file, 0);
  EXPECT_EQ(boolean.code, ft_boolean);
  EXPECT_EQ(boolean.Int(), 1);
  EXPECT_TRUE(NoChildProcesses());
  const Answer first = plugin.ValueW(file, 1);
  EXPECT_EQ(first.code, ft_stringw);
  EXPECT_EQ(first.Wide(), u"flood ");
  // 20 units fit the host's buffer of 42 bytes: the output is full.
  const Answer output = plugin.ValueW(file, 2, 0, 42);
  EXPECT_EQ(output.code, ft_stringw);
  EXPECT_EQ(output.Wide(), u"flood,flood,flood,fl");
  EXPECT_TRUE(NoChildProcesses());
#ifndef _WIN32
  EXPECT_EQ(CountGoneConverters(pidFile), 3);
#endif
}

TEST(Converter, ALargeBudgetDoesNotWaitForTheBudgetsWorthOfOutput) {
  // With FileMemory 500 a field whose matches stay inside lines still reads
  // the output in line chunks: its answer comes from the first piece, and
  // the flood is ended after a few MiB instead of 500.
  TempFolder marks;
  const std::string written = marks.PathOf("written");
  const ScopedEnv env("QM_FAKE_CONVERTER_WRITTEN", written);
  LoadedPlugin plugin(FilterSettings({{"flood", 0}}, kFilters,
                                     "FileMemory=500\r\nConverterTimeLimit=60\r\n"
                                     "NormalSearchForFilterFail=0\r\nResultCache=0\r\n"));
  InstallConverter(plugin);
  const std::string file = plugin.folder().Write("f.doc", "flood\n");
  const Answer boolean = plugin.ValueW(file, 0);
  EXPECT_EQ(boolean.code, ft_boolean);
  EXPECT_EQ(boolean.Int(), 1);
  EXPECT_TRUE(NoChildProcesses());
  long mebibytes = 0;
  std::ifstream(written) >> mebibytes;
  EXPECT_LT(mebibytes, 100);
}

TEST(Converter, AnswersSettledEarlyAreThoseOfTheWholeText) {
  // 300000 lines are about 8 MiB of UTF-16: two pieces with FileMemory 5.
  // Each field is asked once through the converter and once of the file as
  // it is (flag 16), whose text is the same but for the first line: the
  // answers must agree whether they settle in the first piece, in the last
  // one or never (Count reads everything).
  std::string lines = "text\n";
  for (int k = 1; k <= 300000; ++k) lines += "line " + std::to_string(k) + "\r\n";
  for (const char* expression : {"line \\d*7\\b", "line 29999\\d\\b", "line 0", "(?m)^line \\d+\\r$"}) {
    std::vector<Field> fields;
    for (const int flags : {0, 16}) {
      fields.push_back({expression, 0, flags});
      fields.push_back({expression, 4, flags});
      fields.push_back({expression, 3, flags, "$0,"});
      fields.push_back({expression, 1, flags});
    }
    LoadedPlugin plugin(FilterSettings(fields, kFilters, "FileMemory=5\r\nResultCache=0\r\n"));
    InstallConverter(plugin);
    const std::string file = plugin.folder().Write("l.doc", lines);
    for (int field = 0; field < 4; ++field) {
      for (const int maxlen : {64, 2048}) {
        const Answer converted = plugin.ValueW(file, field, 0, maxlen);
        const Answer plain = plugin.ValueW(file, field + 4, 0, maxlen);
        EXPECT_EQ(converted.code, plain.code) << expression << " " << field;
        EXPECT_EQ(converted.bytes, plain.bytes) << expression << " " << field << " " << maxlen;
      }
    }
    if (std::string(expression).find("(?m)") == 0) {
      EXPECT_EQ(plugin.ValueW(file, 3).Int(), 300000);
    }
  }
  EXPECT_TRUE(NoChildProcesses());
}

// A UTF-16 text (with its byte order mark, which the fake converter prints
// as it is) of lines with the given line end, just above 5 MiB so that both
// the converter (FileMemory 5) and the file read with flag 16 take it in
// 5 MiB chunks. Line lengths come from a fixed generator and include empty
// lines, lines near the context length, a pair of surrogates now and then
// and, when giant, a line longer than a whole chunk.
std::string LineText(unsigned seed, const std::u16string& lineEnd, bool giant) {
  std::u16string text = u"\uFEFF";
  unsigned x = seed;
  auto next = [&x] { return x = x * 1103515245u + 12345u, (x >> 16) & 0x7FFF; };
  if (giant) text += u"line 0 " + std::u16string(2700000, u'g') + lineEnd;
  for (int k = 1; text.size() < 2700000; ++k) {
    const unsigned kind = next() % 16;
    if (kind == 0) {
      text += lineEnd;
      continue;
    }
    text += u"line " + U16(std::to_string(k));
    if (kind == 1) text += std::u16string(1000 + next() % 60, u'x');
    if (kind == 2) text += u" \xD83D\xDE00";
    if (kind < 6) text += std::u16string(next() % 40, u'y');
    text += lineEnd;
  }
  std::string bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

TEST(Converter, ConvertedTextAnswersAsTheSameTextReadInChunks) {
  // Each field is asked once through the converter and once of the same
  // UTF-16 file as it is (flag 16): every answer type must agree, also for
  // matches at the cut between two pieces that need the line end after them
  // or the text before them.
  const char* const expressions[] = {"(?m)^line \\d+\\r$", "(?m)^line \\d+y*$", "\\w\\r?\\n\\w",
                                     "(?<=\\n)line \\d+", "(?m)^$", "y$", "\\r\\n\\r\\n|\\n\\n|\\r\\r"};
  std::vector<Field> fields;
  for (const char* expression : expressions) {
    for (const int flags : {0, 16}) {
      fields.push_back({expression, 1, flags});
      fields.push_back({expression, 0, flags});
      fields.push_back({expression, 4, flags});
      fields.push_back({expression, 3, flags, "$0,"});
    }
  }
  LoadedPlugin plugin(FilterSettings(fields, kFilters, "FileMemory=5\r\nResultCache=0\r\n"));
  InstallConverter(plugin);
  struct Text {
    const char16_t* lineEnd;
    bool giant;
  };
  const Text texts[] = {{u"\r\n", false}, {u"\n", false}, {u"\r", false}, {u"\r\n", true}};
  unsigned seed = 7;
  for (const Text& t : texts) {
    const std::string file = plugin.folder().Write("t.doc", LineText(seed++, t.lineEnd, t.giant));
    for (int e = 0; e < static_cast<int>(std::size(expressions)); ++e) {
      for (int type = 0; type < 4; ++type) {
        const int field = e * 8 + type;
        for (const int maxlen : {64, 2048}) {
          if (type == 0 && maxlen == 64) continue;  // a count fits either
          const Answer converted = plugin.ValueW(file, field, 0, maxlen);
          const Answer plain = plugin.ValueW(file, field + 4, 0, maxlen);
          EXPECT_EQ(converted.code, plain.code) << expressions[e] << " " << type << " " << seed;
          EXPECT_EQ(converted.bytes, plain.bytes) << expressions[e] << " " << type << " " << maxlen << " " << seed;
        }
      }
    }
  }
  EXPECT_TRUE(NoChildProcesses());
}

int QM_CALL CountUnits(const QmWideChar*, int length, void* context) {
  *static_cast<std::size_t*>(context) += static_cast<std::size_t>(length);
  return 0;
}

TEST(Converter, TheTextOfAFieldIsWholeWhateverItsType) {
  // The text a field searches is handed on in full, also for the types
  // whose answers may settle early: past the first piece of the converter
  // (FileMemory 5) and past the first chunk of a file.
  LoadedPlugin plugin(FilterSettings({{"line", 0}, {"line", 3}, {"line", 4}}, kFilters,
                                     "FileMemory=5\r\n"));
  InstallConverter(plugin);
  std::size_t convertedUnits = 0, plainUnits = 0;
  for (int k = 1; k <= 300000; ++k) convertedUnits += 7 + std::to_string(k).size();
  std::string plain;
  for (int k = 1; k <= 600000; ++k) plain += "line " + std::to_string(k) + "\r\n";
  plainUnits = plain.size();
  const std::string converted = plugin.folder().Write("l.doc", "lines 300000\n");
  const std::string file = plugin.folder().Write("l.txt", plain);
  const auto fieldText = plugin.Export<decltype(&QuarrymarkGetFieldText)>("QuarrymarkGetFieldText");
  for (int field = 0; field < 3; ++field) {
    for (const auto& [name, units] : {std::make_pair(converted, convertedUnits), std::make_pair(file, plainUnits)}) {
      std::u16string wide = U16(name);
      std::size_t got = 0;
      EXPECT_GE(fieldText(reinterpret_cast<QmWideChar*>(wide.data()), field, CountUnits, &got), 0);
      EXPECT_EQ(got, units) << field << " " << name;
    }
  }
  EXPECT_TRUE(NoChildProcesses());
}

// Lines of a file equal to line (0 when the file is missing).
int CountLines(const std::string& path, const std::string& line) {
  std::ifstream in(path);
  int n = 0;
  for (std::string got; std::getline(in, got);) n += got == line;
  return n;
}

TEST(Converter, NothingOutlivesFilteredRequests) {
  TempFolder log;
  const std::string endFile = log.PathOf("ends");
  const ScopedEnv env("QM_FAKE_CONVERTER_ENDS", endFile);
  LoadedPlugin plugin(FilterSettings({{"\\w+", 1}}, kFilters, "ResultCache=0\r\n"));
  InstallConverter(plugin);
  const std::string text = plugin.folder().Write("t.doc", "text\none two");
  const std::string fail = plugin.folder().Write("f.doc", "fail\none");
  const std::string empty = plugin.folder().Write("e.doc", "empty\n");
  const std::string slow = plugin.folder().Write("s.doc", "slow\n");
  plugin.ValueW(text, 0);  // first use settles lazily made handles
  // 500 requests natively; fewer under Wine, where each process start takes
  // about half a second.
#ifdef _WIN32
  const int rounds = 25, stops = 5;
#else
  const int rounds = 160, stops = 20;
#endif
  // A run that the system fails to start or to finish (seen now and then
  // under Wine, about once in a hundred starts) rightly falls back to the
  // file's own text. The converter's note of its own end tells such a run
  // from one that ended as it should: only those must give the converted
  // answer.
  int unfinished = 0;
  auto answerOf = [&](const std::string& file, const std::string& end, long long converted,
                      long long own) {
    const int before = CountLines(endFile, end);
    const long long got = plugin.ValueW(file, 0).Int();
    const bool ended = CountLines(endFile, end) > before;
    unfinished += !ended;
    EXPECT_EQ(got, ended ? converted : own) << file << (ended ? " converted" : " not converted");
    return got == (ended ? converted : own);
  };
  const int before = OpenHandleCount();
  for (int i = 0; i < rounds; ++i) {
    ASSERT_TRUE(answerOf(text, "text 0", 2, 3));
    ASSERT_TRUE(answerOf(fail, "fail 1", 2, 2));  // "fail" and "one" from the file
    ASSERT_TRUE(answerOf(empty, "empty 0", 0, 1));
  }
  EXPECT_LE(unfinished, rounds / 5);
  for (int i = 0; i < stops; ++i) {
    EXPECT_EQ(StoppedRequest(plugin, slow, 5, nullptr).code, ft_fieldempty);
  }
  EXPECT_EQ(OpenHandleCount(), before);
  EXPECT_TRUE(NoChildProcesses());
}


// ---------------------------------------------------------------------------
// Limits of a converter run
// ---------------------------------------------------------------------------
long long MillisecondsOf(LoadedPlugin& plugin, const std::string& file, Answer* answer) {
  const auto start = std::chrono::steady_clock::now();
  *answer = plugin.ValueW(file, 0);
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

TEST(ConverterLimits, TimeLimitEndsConvertersThatSleepFloodOrIgnoreSignals) {
  // The flood is matched in pieces before the limit ends it: the repeat
  // over the file itself must start from a clean state.
  for (const bool fallBack : {true, false}) {
    LoadedPlugin plugin(FilterSettings({{"\\w+", 1}}, kFilters,
                                       std::string("ConverterTimeLimit=1\r\nFileMemory=5\r\n") +
                                           (fallBack ? "" : "NormalSearchForFilterFail=0\r\n")));
    InstallConverter(plugin);
    for (const char* kind : {"hang", "flood", "stubborn"}) {
      const std::string file = plugin.folder().Write(std::string(kind) + ".doc", std::string(kind) + "\nx y\n");
      Answer answer;
      const long long ms = MillisecondsOf(plugin, file, &answer);
      if (fallBack) {
        EXPECT_EQ(answer.Int(), 3) << kind;  // the words of the file itself
      } else {
        EXPECT_EQ(answer.code, ft_fileerror) << kind;
      }
      EXPECT_GE(ms, 1000) << kind;
      EXPECT_LT(ms, 30000) << kind;  // one second and the time to end it, even on a loaded machine
      EXPECT_TRUE(NoChildProcesses()) << kind;
    }
  }
}

TEST(ConverterLimits, AConverterWithinItsTimeIsNotCut) {
  LoadedPlugin plugin(FilterSettings({{"line", 1}}, kFilters, "ConverterTimeLimit=1\r\n"));
  InstallConverter(plugin);
  EXPECT_EQ(plugin.ValueW(plugin.folder().Write("l.doc", "lines 1000\n"), 0).Int(), 1000);
  // Out of range (negative, or past a day): the default of 60 seconds.
  LoadedPlugin wrong(FilterSettings({{"line", 1}}, kFilters, "ConverterTimeLimit=-1\r\n"));
  InstallConverter(wrong);
  EXPECT_EQ(wrong.ValueW(wrong.folder().Write("l.doc", "lines 10\n"), 0).Int(), 10);
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(ConverterLimits, AddressSpaceOfTheConverterIsBounded) {
  LoadedPlugin plugin(FilterSettings({{"got", 1}}, kFilters, "NormalSearchForFilterFail=0\r\n"));
  InstallConverter(plugin);
  EXPECT_EQ(plugin.ValueW(plugin.folder().Write("small.doc", "hog 64\n"), 0).Int(), 1);
  EXPECT_EQ(plugin.ValueW(plugin.folder().Write("large.doc", "hog 4096\n"), 0).code, ft_fileerror);
}
#endif

TEST(ConverterLimits, RequestsOnThreadsThatEndKeepTheirConverters) {
  LoadedPlugin plugin(FilterSettings({{"\\w+", 1}}, kFilters, "ResultCache=0\r\n"));
  InstallConverter(plugin);
  const std::string text = plugin.folder().Write("t.doc", "text\none two three");
  // Each request runs on a thread of its own that ends after it; several
  // overlap, so threads end while other converters still run.
  for (int round = 0; round < 5; ++round) {
    std::vector<std::thread> threads;
    std::atomic<int> right{0};
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&] {
        if (plugin.ValueW(text, 0).Int() == 3) ++right;
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(right, 4);
  }
  EXPECT_TRUE(NoChildProcesses());
}

#ifndef _WIN32
// The parent-death signal is the starting thread's: a child handed to
// another thread is killed when the thread that started it ends.
TEST(ConverterLimits, ChildDiesWithTheThreadThatStartedIt) {
  TempFolder folder;
  const std::string file = folder.Write("h.doc", "hang\n");
  platform::ChildProcess child;
  std::thread starter([&] { child = platform::ChildProcess::Start(U16(QM_FAKE_CONVERTER), {U16(file)}); });
  starter.join();
  ASSERT_TRUE(child.IsRunning());
  bool ended = false;
  for (int i = 0; i < 500 && !ended; ++i) ended = child.WaitForExit(10);
  EXPECT_TRUE(ended);
  if (!ended) child.Terminate();
  EXPECT_EQ(child.Wait(), -1);  // by a signal
}

// State of a process from /proc: 0 when it is gone (or a zombie, which
// runs no more and holds no memory).
char ProcessState(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  const std::size_t paren = line.rfind(')');
  if (paren == std::string::npos || paren + 2 >= line.size()) return 0;
  const char state = line[paren + 2];
  return state == 'Z' || state == 'X' ? 0 : state;
}

#ifdef QM_HOST_PROGRAM
// A host killed with SIGKILL while its converter runs: the converter goes
// with it.
TEST(ConverterLimits, ConverterEndsWithAKilledHost) {
  TempFolder pids;
  const std::string pidFile = pids.PathOf("pids");
  const ScopedEnv env("QM_FAKE_CONVERTER_PIDS", pidFile);
  LoadedPlugin plugin(FilterSettings({{"tick", 1}}, kFilters, "ConverterTimeLimit=0\r\n"));
  InstallConverter(plugin);
  std::string pluginPath;
  for (const auto& entry : std::filesystem::directory_iterator(plugin.folder().path())) {
    if (entry.path().extension() == ".wdx") pluginPath = entry.path().u8string();
  }
  for (const char* kind : {"stubborn", "flood"}) {
    std::remove(pidFile.c_str());
    const std::string doc = plugin.folder().Write(std::string(kind) + ".doc", std::string(kind) + "\n");
    platform::ChildProcess host = platform::ChildProcess::Start(
        U16(QM_HOST_PROGRAM), {U16("--plugin"), U16(pluginPath), U16("value"), U16("0"), U16(doc)});
    ASSERT_TRUE(host.IsRunning());
    long converter = 0;
    for (int i = 0; i < 1000 && converter == 0; ++i) {
      std::ifstream in(pidFile);
      if (!(in >> converter) || ProcessState(converter) == 0) {
        converter = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    ASSERT_NE(converter, 0) << kind;
    host.Terminate();  // SIGKILL
    const auto killed = std::chrono::steady_clock::now();
    while (ProcessState(converter) != 0 && std::chrono::steady_clock::now() - killed < std::chrono::seconds(5)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - killed).count();
    EXPECT_EQ(ProcessState(converter), 0) << kind;
    std::printf("[          ] %s converter gone %lld ms after the host's SIGKILL\n", kind, static_cast<long long>(ms));
    if (ProcessState(converter) != 0) kill(static_cast<pid_t>(converter), SIGKILL);
  }
}
#endif
#endif

}  // namespace
}  // namespace qm::test
