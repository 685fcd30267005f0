// The field table offered to the host, and the value request routine that
// turns one ContentGetValue(W) call into an answer: first the answer writers
// (one switch over the answer kinds each), then the request's steps.
#include "plugin/host_interface/request.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "plugin/content/encoding.h"
#include "plugin/content/file_access.h"
#include "plugin/content/reader.h"
#include "plugin/evaluation/answer_sink.h"
#include "plugin/evaluation/code_page.h"
#include "plugin/evaluation/matcher.h"
#include "plugin/evaluation/random_string.h"
#include "plugin/filters/filter_text.h"
#include "plugin/filters/outside_in.h"
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

// The answer code a cached or computed value of this type is given with.
int CodeForType(FieldType type, bool wide) {
  switch (AnswerKindOf(type)) {
    case AnswerKind::FullText: return ft_fulltext;
    case AnswerKind::Choice: return ft_multiplechoice;
    case AnswerKind::Flag: return ft_boolean;
    case AnswerKind::Count: return ft_numeric_32;
    case AnswerKind::Text: return wide ? ft_stringw : ft_string;
    case AnswerKind::Ratio: return ft_numeric_floating;
    case AnswerKind::CompareOnly: return ft_comparecontent;
  }
  return ft_nosuchfield;
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
// abort key, the name, and what the field's sink accumulates into.
void PrepareState(EvaluationState& state, const FieldDefinition& field, const char* ansiName,
                  const char16_t* wideName, std::size_t wideLength, std::u16string name,
                  int maxlen) {
  state.countLines = field.templateUsesLineNumbers;
  state.utf8Irrelevant = field.answersAlikeAsUtf8OrAnsi;
  state.requestKey = RequestKey(ansiName, wideName, wideLength);
  state.fileName = std::move(name);
  AnswerSinkFor(field.type).Prepare(state, maxlen);
}

}  // namespace

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
  AnswerTarget Target() const { return AnswerTarget{fieldValue, maxlen, Wide()}; }
  // The answer the state holds, stored in the cache when a key is given.
  int Answer(EvaluationState& state, const std::string* cacheKey) const {
    const bool written = AnswerSinkFor(field.type).Write(state, Target(), st.settings, &st.cache,
                                                         cacheKey);
    return written ? CodeForType(field.type, Wide()) : ft_fieldempty;
  }
  // The field's zero answer, or empty for a type without one.
  int Zero() const {
    return AnswerSinkFor(field.type).WriteZero(Target()) ? CodeForType(field.type, Wide())
                                                         : ft_fieldempty;
  }
  int Show(const char* placeholder, int code) const {
    return Placeholder(placeholder, code, Wide(), fieldValue, maxlen);
  }
  void Prepare(EvaluationState& state, std::u16string name) const {
    PrepareState(state, field, ansiName, wideName, wideLength, std::move(name), maxlen);
  }
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
  if (r.st.outsideIn == nullptr) return ft_fieldempty;
  return r.st.outsideIn->ServeFulltext(r.fieldValue, r.maxlen, std::u16string(access.Wide()),
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

}  // namespace

// ---------------------------------------------------------------------------
// Steps shared with QuarrymarkGetFieldText
// ---------------------------------------------------------------------------
AccessName::AccessName(const char* ansiName, const char16_t* wideName, std::size_t wideLength) {
  if (wideName == nullptr) {
    name.narrow = ansiName;
  } else if (platform::kHasLongPathForm && wideLength >= kLongPathThreshold) {
    longPath_ = LongPathForm(std::u16string(wideName, wideLength));
    name.wide = wide_ = longPath_.c_str();
  } else {
    name.wide = wide_ = wideName;
#ifndef _WIN32
    // A name no file can have stays wide: every call then fails on it.
    if (platform::WideToFileNameBytes(std::u16string_view(wideName, wideLength), &bytes_)) {
      name.narrow = bytes_.c_str();
      name.wide = nullptr;
    }
#endif
  }
}

bool QueryRegularFile(const platform::FileName& name, platform::FileInfo* info) {
  return platform::QueryFileInfo(name, info) && info->IsRegularFile();
}

bool MayFilter(const PluginState& st, const FieldDefinition& field, bool withoutFilter) {
  return RunsExpression(field.type) && field.filterEnabled && !withoutFilter && !st.filters.empty();
}

bool ReadsWholeContent(const FieldDefinition& field, const FilterChoice* filter) {
  return !field.encodingCheckBufferOnly || filter != nullptr;
}

bool BeyondSizeLimit(const PluginSettings& settings, const FieldDefinition& field,
                     std::int64_t size, bool wholeContent) {
  return size < 0 || (static_cast<std::uint64_t>(size) > settings.globalFileSizeLimit &&
                      RunsExpression(field.type) && wholeContent);
}

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

bool ReadContent(OpenedFile& opened, std::int64_t size, EvaluationState& state, bool sampleOnly,
                 LargeRead large, const TextConsumer& consumer, const PluginSettings& settings) {
  platform::File& file = opened.file;
  EncodingSample& sample = opened.sample;
  const std::uint32_t startUnits = opened.startUnits;
  const auto usize = static_cast<std::uint64_t>(size);
  if (usize <= settings.analyzeBuffer || sampleOnly) {
    file.Close();
    EvaluateSample(sample.bytes.get(), sample.length, startUnits, state, sampleOnly, consumer);
    return true;
  }
  if (usize <= kAlwaysWholeBytes) {
    return ReadWholeFile(file, size, sample, startUnits, state, consumer);
  }
  const std::uint32_t budget = ReadBudgetMegabytes(settings);
  if (large != LargeRead::kByBudget) {
    // Chunks answer exactly as a whole read does here, in less memory; a
    // mapped file takes no buffer at all and is matched whole.
    if (large == LargeRead::kMappedOrLineChunks) {
      const MappedRead mapped = MatchMappedFile(file, size, startUnits, state, consumer);
      if (mapped != MappedRead::kNotMapped) return mapped == MappedRead::kDone;
    }
    const std::uint32_t chunk = std::min(budget, kLineChunkMegabytes);
    return ReadInChunks(file, size, sample, startUnits, chunk, state, consumer);
  }
  if (usize < static_cast<std::uint64_t>(budget) * settings::kMegabyte) {
    return ReadWholeFile(file, size, sample, startUnits, state, consumer);
  }
  return ReadInChunks(file, size, sample, startUnits, budget, state, consumer);
}

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
  const AccessName access(ansiName, wideName, wideLength);
  const bool nameOnly = field.filenameOnly && runs;
  platform::FileInfo info;
  if (field.type != FieldType::RandomString && !nameOnly && !QueryRegularFile(access.name, &info)) {
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
  const bool mayFilter = MayFilter(st, field, withoutFilter);
  if (mayFilter) name = r.Name();
  const FilterChoice* filter = mayFilter ? FindFilterForName(st.filters, name) : nullptr;
  const auto size = static_cast<std::int64_t>(info.size);

  if (field.type == FieldType::OutsideInFulltext) return AnswerFulltext(r, access, size, unitIndex);

  const bool wholeContent = ReadsWholeContent(field, filter);
  if (BeyondSizeLimit(settings, field, size, wholeContent)) return r.Zero();
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

  if (field.type == FieldType::EncodingCheck) {  // the decision is the answer
    opened.file.Close();
    return r.Answer(state, cacheKey);
  }

  const EvaluationContext context{settings, *st.LineBreakField(), st.abortSet};
  const FieldEvaluator evaluator(field, context);
  if (filter == nullptr) {
    const LargeRead large =
        MatchesStayInLines(field, state) ? LargeRead::kMappedOrLineChunks : LargeRead::kByBudget;
    const bool ok =
        ReadContent(opened, size, state, field.encodingCheckBufferOnly, large, evaluator, settings);
    opened.sample.bytes.reset();
    if (!ok) return ft_fileerror;
    state.contentSize = static_cast<std::uint64_t>(size);
  } else if (!RunFilter(SourcesOf(st), *filter, state, evaluator)) {
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
