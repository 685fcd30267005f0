// The field table offered to the host, and the value request routine that
// turns one ContentGetValue(W) call into an answer: first the answer writers
// (one switch over the answer kinds each), then the request's steps.
#include "plugin/host_interface/request.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "plugin/content/encoding.h"
#include "plugin/content/file_access.h"
#include "plugin/content/reader.h"
#include "plugin/evaluation/code_page.h"
#include "plugin/evaluation/matcher.h"
#include "plugin/evaluation/random_string.h"
#include "plugin/filters/filter_text.h"
#include "plugin/filters/run_filter.h"
#include "plugin/host_interface/content_plugin.h"

namespace qm::plugin {
namespace {

using settings::AnswerKind;
using settings::AnswerKindOf;
using settings::FieldType;
using settings::RunsExpression;

constexpr std::int64_t kForegroundBytes = 1048576;  // fields but Boolean wait above it
constexpr std::int64_t kForegroundBooleanBytes = 5242880;

// Copies n bytes, fewer when maxlen is smaller.
void WriteBytes(void* buffer, int maxlen, const void* source, std::size_t n) {
  if (buffer == nullptr || maxlen <= 0) return;
  std::memcpy(buffer, source, std::min(n, static_cast<std::size_t>(maxlen)));
}

void WriteUint32(void* buffer, int maxlen, std::uint32_t value) {
  WriteBytes(buffer, maxlen, &value, sizeof value);
}

// The answer code of a type for string answers.
int StringCode(bool wide) { return wide ? ft_stringw : ft_string; }

// The answer code a cached or computed value of this type is given with.
int CodeForType(FieldType type, bool wide) {
  switch (AnswerKindOf(type)) {
    case AnswerKind::FullText: return ft_fulltext;
    case AnswerKind::Choice: return ft_multiplechoice;
    case AnswerKind::Flag: return ft_boolean;
    case AnswerKind::Count: return ft_numeric_32;
    case AnswerKind::Text: return StringCode(wide);
    case AnswerKind::Ratio: return ft_numeric_floating;
    case AnswerKind::CompareOnly: return ft_comparecontent;
  }
  return ft_nosuchfield;
}

// A zero value of the field's type: a 32-bit 0 (no, zero, an empty string),
// or 0.0. Fields that only read (the encoding and full-text fields) have no
// zero value and answer empty.
int ZeroAnswer(FieldType type, bool wide, void* fieldValue, int maxlen) {
  switch (AnswerKindOf(type)) {
    case AnswerKind::FullText:
    case AnswerKind::Choice:
    case AnswerKind::CompareOnly: return ft_fieldempty;
    case AnswerKind::Ratio: {
      const double zero = 0.0;
      WriteBytes(fieldValue, maxlen, &zero, sizeof zero);
      return ft_numeric_floating;
    }
    case AnswerKind::Flag:
    case AnswerKind::Count:
    case AnswerKind::Text: WriteUint32(fieldValue, maxlen, 0); return CodeForType(type, wide);
  }
  return ft_fieldempty;
}

// "..." or "<___>" in the request's text form.
int Placeholder(const char* text, int code, bool wide, void* fieldValue, int maxlen) {
  if (wide) {
    std::u16string w;
    for (const char* p = text; *p != 0; ++p) w += static_cast<char16_t>(*p);
    CopyWide(fieldValue, maxlen, w.data(), w.size());
  } else {
    CopyNarrow(static_cast<char*>(fieldValue), maxlen, text);
  }
  return code;
}

// The ANSI form of a string answer, cut to fit maxlen - 1 bytes without
// splitting a character.
std::string NarrowAnswer(const PluginState& state, const std::u16string& text, int maxlen) {
  std::string narrow;
  ToNarrow(state.settings, text.data(), text.size(), &narrow, true, false);
  const std::size_t room = maxlen > 0 ? static_cast<std::size_t>(maxlen - 1) : 0;
  if (narrow.size() > room) {
    std::size_t cut = room;
    const std::uint32_t cp = state.settings.ansiCodePage;
    if (platform::IsMultiByteCodePage(cp) && cut > 0) {
      // Keep the last character only when it fits whole.
      const std::size_t start = platform::PreviousCharStart(cp, narrow.data(), cut + 1);
      if (start < cut) cut = start;
    }
    narrow.resize(cut);
  }
  return narrow;
}

// A string answer: the output text cut to the limit (never after a lone
// lead surrogate), in the request's text form. Returns the units written.
std::size_t WriteTextAnswer(const PluginState& st, EvaluationState& state, bool wide,
                            void* fieldValue, int maxlen) {
  std::u16string& text = state.outputText;
  if (text.size() > state.outputLimit) text.resize(state.outputLimit);
  if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
  if (wide) {
    CopyWide(fieldValue, maxlen, text.data(), text.size());
    return text.size();
  }
  const std::string narrow = NarrowAnswer(st, text, maxlen);
  CopyNarrow(static_cast<char*>(fieldValue), maxlen, narrow.c_str());
  return narrow.size();
}

// The field's floating value: the mean match length, or for the distance
// ratio the mean gap between matches over the mean size per gap.
double RatioValue(FieldType type, const EvaluationState& state) {
  if (type == FieldType::MatchDistanceRatio) {
    const double gaps = state.matchCount < 2 ? 1.0 : static_cast<double>(state.matchCount - 1);
    const double size = state.contentSize == 0 ? 1.0 : static_cast<double>(state.contentSize);
    return (static_cast<double>(state.sum) / gaps) / (size / gaps);
  }
  const double count = state.matchCount == 0 ? 1.0 : static_cast<double>(state.matchCount);
  return static_cast<double>(state.sum) / count;
}

// A floating answer: the 8-byte value, then from byte 8 its text with three
// decimals when the buffer has room. Returns the cache image's length value.
std::size_t WriteRatioAnswer(double value, bool wide, void* fieldValue, int maxlen) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", value);
  WriteBytes(fieldValue, maxlen, &value, sizeof value);
  if (maxlen <= 8) return 0;
  const std::size_t length = std::strlen(text);
  char* after = static_cast<char*>(fieldValue) + 8;
  if (wide) {
    const std::u16string w(text, text + length);
    CopyWide(after, maxlen - 8, w.data(), w.size());
    return 4 + length;
  }
  CopyNarrow(after, maxlen - 8, text);
  return 8 + length;
}

// The answer writer: puts the state's result into the host's buffer in the
// form the type asks for and stores it in the cache when a key is given.
int WriteAnswer(PluginState& st, const FieldDefinition& field, EvaluationState& state, bool wide,
                void* fieldValue, int maxlen, const std::string* cacheKey) {
  AnswerDescriptor descriptor;
  descriptor.wide = wide;
  descriptor.type = field.type;
  switch (AnswerKindOf(field.type)) {
    case AnswerKind::FullText:
    case AnswerKind::Choice:
    case AnswerKind::CompareOnly: return ft_fieldempty;  // answered by their own routines
    case AnswerKind::Flag:
    case AnswerKind::Count: WriteUint32(fieldValue, maxlen, state.matchCount); break;
    case AnswerKind::Text:
      descriptor.value = WriteTextAnswer(st, state, wide, fieldValue, maxlen);
      break;
    case AnswerKind::Ratio:
      descriptor.value = WriteRatioAnswer(RatioValue(field.type, state), wide, fieldValue, maxlen);
      break;
  }
  if (cacheKey != nullptr) st.cache.Store(*cacheKey, descriptor, fieldValue, maxlen);
  return CodeForType(field.type, wide);
}

// Appends the request's name as bytes, for the hash and the cache key: ANSI
// bytes, or the UTF-16 units as little-endian pairs.
void AppendNameBytes(std::string* out, const char* ansiName, const char16_t* wideName,
                     std::size_t wideLength) {
  if (ansiName != nullptr) {
    out->append(ansiName);
    return;
  }
  const std::size_t at = out->size();
  out->resize(at + wideLength * 2);
  char* bytes = &(*out)[at];
  for (std::size_t i = 0; i < wideLength; ++i) {
    bytes[2 * i] = static_cast<char>(wideName[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(wideName[i] >> 8);
  }
}

// The request's name as UTF-16: the host's units, or the ANSI name converted
// with the ANSI code page.
std::u16string RequestName(const PluginSettings& settings, const char* ansiName,
                           const char16_t* wideName, std::size_t wideLength) {
  if (wideName != nullptr) return std::u16string(wideName, wideLength);
  std::u16string name;
  ToWide(settings, ansiName, std::strlen(ansiName), &name, true, false);
  return name;
}

// The request's state as every evaluation starts it: line counting, the
// distinct set, the abort key, the output limit and the name.
void PrepareState(EvaluationState& state, const FieldDefinition& field, const char* ansiName,
                  const char16_t* wideName, std::size_t wideLength, std::u16string name,
                  int maxlen) {
  state.countLines = field.templateUsesLineNumbers;
  if (field.type == FieldType::CountIndividual) {
    state.distinctMatches = std::make_unique<DistinctSet>();
  }
  std::string nameBytes;
  AppendNameBytes(&nameBytes, ansiName, wideName, wideLength);
  state.requestKey = NameHash(nameBytes.data(), nameBytes.size());
  if (field.IsStringType()) {
    state.outputLimit = maxlen >= 4 ? static_cast<std::uint32_t>(maxlen / 2 - 1) : 0;
  }
  state.fileName = std::move(name);
  state.outputText.reserve(std::min<std::size_t>(2u * state.outputLimit, 1u << 16));
}

}  // namespace

void CopyNarrow(char* buffer, int maxlen, const char* text) {
  if (buffer == nullptr || maxlen <= 0) return;
  const std::size_t n = std::min(std::strlen(text), static_cast<std::size_t>(maxlen - 1));
  std::memcpy(buffer, text, n);
  buffer[n] = 0;
}

void CopyWide(void* buffer, int maxlen, const char16_t* text, std::size_t length) {
  if (buffer == nullptr || maxlen < 2) return;
  const std::size_t n = std::min(length, static_cast<std::size_t>(maxlen / 2 - 1));
  auto* out = static_cast<unsigned char*>(buffer);
  std::memcpy(out, text, n * 2);
  out[n * 2] = 0;
  out[n * 2 + 1] = 0;
}

int GetSupportedField(const PluginState& state, int fieldIndex, char* fieldName, char* units,
                      int maxlen) {
  const bool compareIndex = IsCompareIndex(fieldIndex);
  const long long record = compareIndex ? state.CompareRecord(fieldIndex) : fieldIndex;
  if (record < 0 || record >= state.VisibleCount()) return ft_nomorefields;
  const FieldDefinition& field = state.fields[static_cast<std::size_t>(record)];
  const bool compareOnly = AnswerKindOf(field.type) == AnswerKind::CompareOnly;
  if (!compareIndex && compareOnly) return ft_nomorefields;
  CopyNarrow(fieldName, maxlen, field.displayName.c_str());
  CopyNarrow(units, maxlen, "");
  switch (AnswerKindOf(field.type)) {
    case AnswerKind::FullText: return ft_fulltext;
    case AnswerKind::Choice:
      // The choices are cut one character shorter than names are (maxlen 10
      // gives "ANSI/Bin"), as hosts have always been given them.
      CopyNarrow(units, maxlen >= 2 ? maxlen - 1 : maxlen, settings::kEncodingUnits);
      return ft_multiplechoice;
    case AnswerKind::Text: return ft_string;  // ContentGetValueW answers ft_stringw
    case AnswerKind::Flag:
    case AnswerKind::Count:
    case AnswerKind::Ratio:
    case AnswerKind::CompareOnly: return CodeForType(field.type, false);
  }
  return ft_nomorefields;
}

namespace {

// One value request: the host's arguments, read by every step.
struct Request {
  PluginState& st;
  const FieldDefinition& field;
  const char* ansiName;       // exactly one of the two names is set
  const char16_t* wideName;
  std::size_t wideLength;     // units of wideName
  void* fieldValue;
  int maxlen;

  bool Wide() const { return wideName != nullptr; }
  std::u16string Name() const { return RequestName(st.settings, ansiName, wideName, wideLength); }
  int Answer(EvaluationState& state, const std::string* cacheKey) const {
    return WriteAnswer(st, field, state, Wide(), fieldValue, maxlen, cacheKey);
  }
  int Zero() const { return ZeroAnswer(field.type, Wide(), fieldValue, maxlen); }
  int Show(const char* placeholder, int code) const {
    return Placeholder(placeholder, code, Wide(), fieldValue, maxlen);
  }
  void Prepare(EvaluationState& state, std::u16string name) const {
    PrepareState(state, field, ansiName, wideName, wideLength, std::move(name), maxlen);
  }
};

// The name file calls use: the host's name, or for a long wide name its
// long-path form (kept alive here).
struct AccessName {
  explicit AccessName(const Request& r) {
    if (!r.Wide()) {
      name.narrow = r.ansiName;
    } else if (platform::kHasLongPathForm && r.wideLength >= kLongPathThreshold) {
      longPath = LongPathForm(std::u16string(r.wideName, r.wideLength));
      name.wide = longPath.c_str();
    } else {
      name.wide = r.wideName;
    }
  }
  AccessName(const AccessName&) = delete;
  AccessName& operator=(const AccessName&) = delete;

  std::u16string longPath;
  platform::FileName name;
};

// Random strings come from the generator, never from the file, and are never
// cached; a request that may be slow gets "..." and is asked again.
int AnswerRandomString(const Request& r, int flags) {
  if (flags == CONTENT_DELAYIFSLOW) return r.Show("...", ft_delayed);
  EvaluationState state;
  r.Prepare(state, r.Name());
  r.st.abortSet.Remove(state.requestKey);
  std::u16string text;
  GenerateRandomString(text, state, r.field, r.st.settings, r.st.randomCharacterTable, r.st.random,
                       r.st.abortSet);
  state.outputText = std::move(text);
  return r.Answer(state, nullptr);
}

// Filename-only fields: the expression runs over the name part, uncached.
int AnswerFromNamePart(const Request& r) {
  EvaluationState state;
  r.Prepare(state, r.Name());
  state.offsetDigits = OffsetDigitsFor(255);
  const EvaluationContext context{r.st.settings, *r.st.LineBreakField(), r.st.abortSet};
  if (r.Wide()) {
    std::u16string part;
    if (!NamePart(std::u16string(r.wideName, r.wideLength), &part)) return ft_fileerror;
    state.isUtf16 = true;
    state.contentSize = part.size() * 2;
    MatchUnits(part.data(), part.size(), state, r.field, context);
  } else {
    std::string part;
    if (!NamePart(std::string(r.ansiName), &part)) return ft_fileerror;
    state.contentSize = part.size();
    MatchBytes(part.data(), part.size(), state, r.field, context);
  }
  return r.Answer(state, nullptr);
}

// The full-text field is served piece by piece by Outside In, to wide
// requests for files within the size limit.
int AnswerFulltext(const Request& r, const AccessName& access, std::int64_t size, int unitIndex) {
  const PluginSettings& settings = r.st.settings;
  if (!r.Wide() || size < 0 || static_cast<std::uint64_t>(size) > settings.globalFileSizeLimit) {
    return ft_fieldempty;
  }
  return r.st.outsideIn.ServeFulltext(r.fieldValue, r.maxlen, std::u16string(access.name.wide),
                                      unitIndex, settings, r.st.fulltextExclude);
}

// The cache key: the host's name bytes, the field index, and the file part
// (attributes, last-write time, size).
std::string CacheKey(const Request& r, int fieldIndex, const platform::FileInfo& info) {
  std::string key;
  key.reserve((r.Wide() ? r.wideLength * 2 : std::strlen(r.ansiName)) + 24);
  AppendNameBytes(&key, r.ansiName, r.wideName, r.wideLength);
  AppendLe32(&key, static_cast<std::uint32_t>(fieldIndex));
  AppendFileKey(&key, info);
  return key;
}

bool LookupCache(const Request& r, const std::string& key) {
  AnswerDescriptor descriptor;
  descriptor.wide = r.Wide();
  descriptor.type = r.field.type;
  return r.st.cache.Lookup(key, descriptor, r.fieldValue, r.maxlen);
}

// The foreground rule: while the host asks for quick answers, slow fields
// wait for its background pass ("...") and very large files for an explicit
// request ("<___>"). Nothing when the answer is computed now.
std::optional<int> DeferredAnswer(const Request& r, std::int64_t size, bool wholeContent) {
  if (!wholeContent) return std::nullopt;
  const bool big = size > kForegroundBytes;
  const bool over = static_cast<std::uint64_t>(size) > r.st.settings.onDemandLimit;
  if (r.field.type == FieldType::Boolean && size <= kForegroundBooleanBytes) {
    if (big && over) return r.Show("<___>", ft_ondemand);
    return std::nullopt;
  }
  if (!big) return std::nullopt;
  return over ? r.Show("<___>", ft_ondemand) : r.Show("...", ft_delayed);
}

// The encoding field's answer, from the sample's decision.
int AnswerEncoding(const Request& r, const EvaluationState& state, const std::string* cacheKey) {
  std::uint32_t choice = 0;
  if (state.isUtf8) {
    choice = 1;
  } else if (state.isUtf16) {
    choice = state.bigEndian ? 3 : 2;
  }
  CopyNarrow(static_cast<char*>(r.fieldValue), r.maxlen, settings::kEncodingNames[choice]);
  if (cacheKey != nullptr) {
    AnswerDescriptor descriptor;
    descriptor.wide = r.Wide();
    descriptor.type = r.field.type;
    descriptor.value = choice;
    r.st.cache.Store(*cacheKey, descriptor, r.fieldValue, r.maxlen);
  }
  return ft_multiplechoice;
}

// The file opened for reading, its encoding sample and where its content
// starts (in units, after a byte-order mark).
struct OpenedFile {
  platform::File file;
  EncodingSample sample;
  std::uint32_t startUnits = 0;
};

// Opens the file and decides its encoding, or for filtered text (never
// opened here) takes UTF-16; then sets what the matcher must validate
// itself. The open trusts the kind found by the attribute query and never
// waits on what may have replaced the file since. False when the file
// cannot be opened or sampled.
bool OpenContent(const platform::FileName& name, std::int64_t size, bool filtered,
                 bool wholeContent, const PluginSettings& settings, EvaluationState& state,
                 OpenedFile* opened) {
  std::uint32_t bomLength = 0;
  if (filtered) {
    state.isUtf16 = true;
  } else {
    opened->file = platform::OpenFile(name, platform::OpenMode::kReadContent);
    if (!opened->file.IsOpen()) return false;
    if (!ReadEncodingSample(size, &bomLength, opened->file, state, &opened->sample, settings)) {
      return false;
    }
  }
  const bool beyondBuffer = static_cast<std::uint64_t>(size) > settings.analyzeBuffer || filtered;
  state.offsetDigits = OffsetDigitsFor(static_cast<std::uint64_t>(size));
  if ((state.isUtf8 || state.isUtf16) && beyondBuffer && wholeContent) state.utfCheckPending = true;
  opened->startUnits = state.isUtf16 && bomLength == 2 ? 1 : bomLength;
  return true;
}

// Reads the file's content after its sample and matches it: the sample alone
// when it is all there is (or all the field reads), a whole read up to the
// always-whole size or the budget, chunks beyond. False on a read error.
bool ReadAndMatch(OpenedFile& opened, std::int64_t size, EvaluationState& state,
                  const FieldDefinition& field, const FieldEvaluator& evaluator,
                  const PluginSettings& settings) {
  platform::File& file = opened.file;
  const EncodingSample& sample = opened.sample;
  const std::uint32_t startUnits = opened.startUnits;
  const auto usize = static_cast<std::uint64_t>(size);
  if (usize <= settings.analyzeBuffer || field.encodingCheckBufferOnly) {
    file.Close();
    EvaluateSample(sample.bytes.get(), sample.length, startUnits, state, field, evaluator);
    return true;
  }
  if (usize <= kAlwaysWholeBytes) {
    return ReadWholeFile(file, size, sample, startUnits, state, field, evaluator);
  }
  const std::uint32_t budget = ReadBudgetMegabytes(settings);
  if (MatchesStayInLines(field, state)) {
    // Chunks answer exactly as a whole read does here, in less memory; a
    // mapped file takes no buffer at all and is matched whole.
    const MappedRead mapped = MatchMappedFile(file, size, startUnits, state, evaluator);
    if (mapped != MappedRead::kNotMapped) return mapped == MappedRead::kDone;
    const std::uint32_t chunk = std::min(budget, kLineChunkMegabytes);
    return ReadInChunks(file, size, sample, startUnits, chunk, state, field, evaluator);
  }
  if (usize < static_cast<std::uint64_t>(budget) * settings::kMegabyte) {
    return ReadWholeFile(file, size, sample, startUnits, state, field, evaluator);
  }
  return ReadInChunks(file, size, sample, startUnits, budget, state, field, evaluator);
}

}  // namespace

// The request runs in a fixed order: the answers that need no file content
// (no usable program, random strings, names), the cache key, the full-text
// field, the size gate, the cache, the foreground rule, opening and the
// encoding decision, then reading (directly or through a text filter) and
// the answer writer. Every path closes the file and frees its buffers (RAII)
// before the answer is returned.
int RequestValue(PluginState& st, const char* ansiName, const char16_t* wideName, int fieldIndex,
                 int unitIndex, void* fieldValue, int maxlen, int flags, bool withoutFilter) {
  if (fieldIndex < 0 || fieldIndex >= st.VisibleCount()) return ft_nosuchfield;
  const FieldDefinition& field = st.fields[static_cast<std::size_t>(fieldIndex)];
  if (AnswerKindOf(field.type) == AnswerKind::CompareOnly) return ft_nosuchfield;
  const bool wide = wideName != nullptr;
  const std::size_t wideLength = wide ? std::char_traits<char16_t>::length(wideName) : 0;
  const Request r{st, field, ansiName, wideName, wideLength, fieldValue, maxlen};
  const PluginSettings& settings = st.settings;
  const bool runs = RunsExpression(field.type);
  if (!settings.matchAllForErrors && field.compileError && runs) return r.Zero();

  // The attribute query is the request's only one: it also gives the size
  // and the file part of the cache key. A cache hit makes no copy of the name.
  const AccessName access(r);
  const bool nameOnly = field.filenameOnly && runs;
  platform::FileInfo info;
  if (field.type != FieldType::RandomString && !nameOnly &&
      !(platform::QueryFileInfo(access.name, &info) && info.IsRegularFile())) {
    return ft_fileerror;
  }
  if (field.type == FieldType::RandomString) return AnswerRandomString(r, flags);
  if (nameOnly) return AnswerFromNamePart(r);

  const bool cacheOn = settings.resultCache != 0;
  const std::string key = cacheOn ? CacheKey(r, fieldIndex, info) : std::string();
  const std::string* cacheKey = cacheOn ? &key : nullptr;

  // The text filter is chosen by the name's extension, never on the repeat
  // without filters.
  std::u16string name;
  const bool mayFilter = runs && field.filterEnabled && !withoutFilter && !st.filters.empty();
  if (mayFilter) name = r.Name();
  const FilterChoice* filter = mayFilter ? FindFilterForName(st.filters, name) : nullptr;
  const auto size = static_cast<std::int64_t>(info.size);

  if (field.type == FieldType::OutsideInFulltext) return AnswerFulltext(r, access, size, unitIndex);

  const bool wholeContent = !field.encodingCheckBufferOnly || filter != nullptr;
  if (size < 0 ||
      (static_cast<std::uint64_t>(size) > settings.globalFileSizeLimit && runs && wholeContent)) {
    return r.Zero();
  }
  if (cacheOn && LookupCache(r, key)) return CodeForType(field.type, wide);
  if (flags == CONTENT_DELAYIFSLOW && runs) {
    if (const std::optional<int> deferred = DeferredAnswer(r, size, wholeContent)) return *deferred;
  }

  EvaluationState state;
  if (!mayFilter) name = r.Name();
  r.Prepare(state, std::move(name));

  OpenedFile opened;
  if (!OpenContent(access.name, size, filter != nullptr, wholeContent, settings, state, &opened)) {
    return ft_fileerror;
  }
  st.abortSet.Remove(state.requestKey);  // a stale stop mark for this file is forgotten

  if (field.type == FieldType::EncodingCheck) {
    opened.file.Close();
    return AnswerEncoding(r, state, cacheKey);
  }

  const EvaluationContext context{settings, *st.LineBreakField(), st.abortSet};
  const FieldEvaluator evaluator(field, context);
  if (filter == nullptr) {
    const bool ok = ReadAndMatch(opened, size, state, field, evaluator, settings);
    opened.sample.bytes.reset();
    if (!ok) return ft_fileerror;
    state.contentSize = static_cast<std::uint64_t>(size);
  } else if (!RunFilter(st, *filter, field, state, evaluator)) {
    // A failed filter: the file is searched as it is, when the settings allow.
    if (state.abortRequested) return ft_fieldempty;
    if (!settings.normalSearchForFilterFail) return ft_fileerror;
    return RequestValue(st, ansiName, wideName, fieldIndex, unitIndex, fieldValue, maxlen, flags,
                        true);
  }
  if (state.abortRequested) return ft_fieldempty;
  return r.Answer(state, cacheKey);
}

}  // namespace qm::plugin
