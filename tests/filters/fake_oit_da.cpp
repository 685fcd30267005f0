// A stand-in for the content-access library, for the tests only: it serves a
// file's bytes, each widened to one UTF-16 unit, as the document's text, and
// records every call. It implements only the calls and result codes the
// plugin relies on. Switches, by the document's extension:
//   .unk     format 1999 (unknown) when asked with flag 1, 1100 with flag 0
//   .excl    format 1500
//   .notext  the text cannot be opened
//   .rderr   the second read fails with code 9
// and by the environment: QM_FAKE_OIT_INIT_FAIL makes DAInitEx answer 1.
// Built a second time with FAKE_OIT_MISSING, which leaves DAGetTreeRecord out.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

#include "fake_oit.h"

namespace {

struct Document {
  std::string name;   // as given, narrowed
  std::string units;  // UTF-16LE text
};
struct Text {
  FakeHandle document;
  std::size_t position = 0;
  int reads = 0;
};

struct Fake {
  std::string calls;
  std::map<FakeHandle, Document> documents;
  std::map<FakeHandle, Text> texts;
  FakeHandle next = 100;
};

Fake& State() {
  static Fake fake;
  return fake;
}

void Record(const std::string& line) { State().calls += line + "\n"; }

std::string Narrow(const char16_t* wide) {
  std::string out;
  for (; *wide != 0; ++wide) out.push_back(*wide < 0x80 ? static_cast<char>(*wide) : '?');
  return out;
}

bool EndsWith(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

std::string BaseName(const std::string& path) {
  const std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

FAKE_OIT_EXPORT const char* FakeOitCalls() { return State().calls.c_str(); }
FAKE_OIT_EXPORT int FakeOitOpenHandles() {
  return static_cast<int>(State().documents.size() + State().texts.size());
}
FAKE_OIT_EXPORT void FakeOitReset() { State().calls.clear(); }

FAKE_OIT_EXPORT std::int32_t DAInitEx(std::int32_t mode, std::int32_t options) {
  Record("DAInitEx " + std::to_string(mode) + " " + std::to_string(options));
  return std::getenv("QM_FAKE_OIT_INIT_FAIL") != nullptr ? 1 : 0;
}

FAKE_OIT_EXPORT std::int32_t DASetOption(FakeHandle handle, std::int32_t option, const void* value,
                                         std::uint32_t size) {
  std::string line = "DASetOption " + std::to_string(handle) + " " + std::to_string(option) + " " +
                     std::to_string(size);
  for (std::uint32_t i = 0; i + 4 <= size; i += 4) {
    std::uint32_t v;
    std::memcpy(&v, static_cast<const char*>(value) + i, 4);
    line += " " + std::to_string(v);
  }
  Record(line);
  return 0;
}

FAKE_OIT_EXPORT std::int32_t DAOpenDocument(FakeHandle* document, std::int32_t pathType,
                                            const void* path, std::uint32_t flags) {
  const std::string name = Narrow(static_cast<const char16_t*>(path));
  Record("DAOpenDocument " + std::to_string(pathType) + " " + BaseName(name) + " " +
         std::to_string(flags));
  std::ifstream in(name, std::ios::binary);
  if (!in) return 5;
  std::stringstream content;
  content << in.rdbuf();
  Document d;
  d.name = name;
  for (const char c : content.str()) {
    d.units.push_back(c);
    d.units.push_back(0);
  }
  const FakeHandle h = State().next++;
  State().documents[h] = d;
  *document = h;
  return 0;
}

FAKE_OIT_EXPORT std::int32_t DAGetFileIdEx(FakeHandle document, std::uint32_t* id, std::uint32_t flags) {
  Record("DAGetFileIdEx " + std::to_string(flags));
  const auto it = State().documents.find(document);
  if (it == State().documents.end()) return 6;
  const std::string& name = it->second.name;
  if (EndsWith(name, ".unk")) {
    *id = flags == 1 ? 1999 : 1100;
  } else if (EndsWith(name, ".excl")) {
    *id = 1500;
  } else {
    *id = 1200;
  }
  return 0;
}

FAKE_OIT_EXPORT std::int32_t DACloseDocument(FakeHandle document) {
  Record("DACloseDocument");
  return State().documents.erase(document) == 1 ? 0 : 6;
}

FAKE_OIT_EXPORT std::int32_t DADeInit() {
  Record("DADeInit");
  return 0;
}

// Resolved by the plugin but never called.
FAKE_OIT_EXPORT std::int32_t DACloseTreeRecord() { return 0; }
FAKE_OIT_EXPORT std::int32_t DAGetErrorString() { return 0; }
FAKE_OIT_EXPORT std::int32_t DAGetTreeCount() { return 0; }
#ifndef FAKE_OIT_MISSING
FAKE_OIT_EXPORT std::int32_t DAGetTreeRecord() { return 0; }
#endif
FAKE_OIT_EXPORT std::int32_t DAOpenTreeRecord() { return 0; }

FAKE_OIT_EXPORT std::int32_t FakeOitOpenText(FakeHandle document, FakeHandle* text) {
  Record("TAOpenText");
  const auto it = State().documents.find(document);
  if (it == State().documents.end() || EndsWith(it->second.name, ".notext")) return 3;
  const FakeHandle h = State().next++;
  State().texts[h] = Text{document};
  *text = h;
  return 0;
}

FAKE_OIT_EXPORT std::int32_t FakeOitRead(FakeHandle text, void* buffer, std::uint32_t size,
                                         std::uint32_t* count, int first) {
  const auto it = State().texts.find(text);
  if (it == State().texts.end()) return 6;
  Text& t = it->second;
  const Document& d = State().documents[t.document];
  if (first) Record("TAReadFirst " + std::to_string(size));
  if (++t.reads == 2 && EndsWith(d.name, ".rderr")) return 9;
  const std::size_t n = std::min<std::size_t>(size & ~1u, d.units.size() - t.position);
  std::memcpy(buffer, d.units.data() + t.position, n);
  t.position += n;
  *count = static_cast<std::uint32_t>(n);
  return t.position == d.units.size() ? 31 : 0;
}

FAKE_OIT_EXPORT std::int32_t FakeOitCloseText(FakeHandle text) {
  Record("TACloseText");
  return State().texts.erase(text) == 1 ? 0 : 6;
}
