// xdoc2txt [--utf8] [-u] [-o=0] [-i] FILE: writes the text of FILE to
// standard output as it is read, and exits with the outcome's status.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "readers.h"

namespace {

const char kUsage[] = "usage: xdoc2txt [--utf8] [-u] [-o=0] [-i] FILE\n";

const char kHelp[] =
    "usage: xdoc2txt [--utf8] [-u] [-o=0] [-i] FILE\n"
    "\n"
    "Writes the text of a document to standard output: PDF, RTF, Office Open XML\n"
    "(docx, xlsx, pptx), OpenDocument (odt, ods, odp), EPUB and HTML. The format is\n"
    "told by the file's first bytes (HTML also by its extension). Lines end in CR LF.\n"
    "\n"
    "  --utf8     UTF-8 without a byte-order mark, lines ending in LF, instead of\n"
    "             UTF-16LE starting with U+FEFF (what the Quarrymark plugin reads)\n"
    "  -u -o=0 -i accepted for compatibility; they change nothing\n"
    "  --help     this text\n"
    "\n"
    "Text is written as it is found, in bounded memory. Exit status:\n"
    "  0  the whole text was written\n"
    "  1  the document cannot be read (unknown format, damaged, encrypted, missing)\n"
    "  2  usage error\n"
    "  3  stopped at a limit against hostile documents: a zip entry that inflates\n"
    "     past 1 GiB or more than 100 times its size (beyond 16 MiB), nesting\n"
    "     deeper than 1,000,000 elements, a PDF page drawing more than 50,000\n"
    "     characters or running more than about 5,000,000 operators; the text written before is incomplete\n"
    "Nothing is ever written to standard error once the arguments are accepted.\n";

}  // namespace

int main(int argc, char** argv) {
  std::string file;
  bool utf8 = false;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options && (arg == "--help" || arg == "-h")) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (options && arg == "--") {
      options = false;
      continue;
    }
    if (options && arg == "--utf8") {
      utf8 = true;
      continue;
    }
    if (options && (arg == "-u" || arg == "-i" || arg.rfind("-o=", 0) == 0)) continue;
    if (options && arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "xdoc2txt: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
    if (!file.empty()) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    file = arg;
  }
  if (file.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // Standard error is read as part of the output by the plugin: nothing
  // may reach it once the arguments are accepted.
  if (std::freopen("/dev/null", "w", stderr) == nullptr) return 1;
  qm::xdoc::StreamSink sink(stdout, utf8 ? qm::xdoc::StreamSink::Form::kUtf8 : qm::xdoc::StreamSink::Form::kUtf16Le);
  qm::xdoc::Outcome outcome = qm::xdoc::Outcome::kUnreadable;
  try {
    outcome = qm::xdoc::ExtractText(file, sink);
  } catch (const std::bad_alloc&) {
    outcome = qm::xdoc::Outcome::kPastLimits;  // memory is a limit too (the plugin bounds it)
  } catch (...) {
    outcome = qm::xdoc::Outcome::kUnreadable;
  }
  const bool written = sink.Flush(outcome == qm::xdoc::Outcome::kText);
  if (outcome != qm::xdoc::Outcome::kText) return static_cast<int>(outcome);
  return written ? 0 : 1;
}
