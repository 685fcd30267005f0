// The field table offered to the host, and the value request routine that
// turns one ContentGetValue(W) call into an answer.
//
// The request runs in a fixed order: index check; answers that need no file
// (compile errors, random strings, file names); the cache key; the size
// gates; the cache lookup; the foreground rule (answer now, later or on
// demand); opening and the encoding decision; reading and matching; the
// answer writer. Every path closes the file and frees its buffers (RAII)
// before the answer is returned.
#include "plugin/host_interface/request.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "plugin/content/encoding.h"
#include "plugin/content/file_access.h"
#include "plugin/content/reader.h"
#include "plugin/evaluation/matcher.h"
#include "plugin/evaluation/random_string.h"
#include "plugin/filters/filter_text.h"
#include "plugin/filters/run_filter.h"
#include "plugin/host_interface/content_plugin.h"

namespace qm::plugin {
namespace {

using settings::FieldType;

constexpr std::int64_t kForegroundBytes = 1048576;  // positive types above it wait
constexpr std::int64_t kForegroundBooleanBytes = 5242880;

int TypeNumber(FieldType type) { return static_cast<int>(type); }

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
  const int t = TypeNumber(type);
  if (t < 0) return ft_multiplechoice;
  if (t == 0) return ft_boolean;
  if (t <= 2) return ft_numeric_32;
  if (t <= 5) return StringCode(wide);
  return ft_numeric_floating;
}

// A zero value of the field's type: a 32-bit 0 (an empty string), or 0.0.
int ZeroAnswer(FieldType type, bool wide, void* fieldValue, int maxlen) {
  const int t = TypeNumber(type);
  if (t >= 6) {
    const double zero = 0.0;
    WriteBytes(fieldValue, maxlen, &zero, sizeof zero);
    return ft_numeric_floating;
  }
  WriteUint32(fieldValue, maxlen, 0);
  if (t <= 0) return ft_boolean;
  if (t <= 2) return ft_numeric_32;
  return StringCode(wide);
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

// The answer writer: puts the state's result into the host's buffer in the
// form the type asks for and stores it in the cache when a key is given.
int WriteAnswer(PluginState& st, const FieldDefinition& field, EvaluationState& state, bool wide,
                void* fieldValue, int maxlen, const std::string* cacheKey) {
  AnswerDescriptor descriptor;
  descriptor.wide = wide;
  descriptor.type = field.type;
  const int t = TypeNumber(field.type);
  int code;
  if (t <= 2) {
    WriteUint32(fieldValue, maxlen, state.matchCount);
    code = t <= 0 ? ft_boolean : ft_numeric_32;
  } else if (t <= 5) {
    std::u16string& text = state.outputText;
    if (text.size() > state.outputLimit) text.resize(state.outputLimit);
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
    if (wide) {
      CopyWide(fieldValue, maxlen, text.data(), text.size());
      descriptor.value = text.size();
    } else {
      const std::string narrow = NarrowAnswer(st, text, maxlen);
      CopyNarrow(static_cast<char*>(fieldValue), maxlen, narrow.c_str());
      descriptor.value = narrow.size();
    }
    code = StringCode(wide);
  } else {
    double value;
    if (field.type == FieldType::MatchDistanceRatio) {
      const double gaps = state.matchCount < 2 ? 1.0 : static_cast<double>(state.matchCount - 1);
      const double size = state.contentSize == 0 ? 1.0 : static_cast<double>(state.contentSize);
      value = (static_cast<double>(state.sum) / gaps) / (size / gaps);
    } else {
      const double count = state.matchCount == 0 ? 1.0 : static_cast<double>(state.matchCount);
      value = static_cast<double>(state.sum) / count;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    WriteBytes(fieldValue, maxlen, &value, sizeof value);
    const std::size_t length = std::strlen(text);
    if (maxlen > 8) {
      char* after = static_cast<char*>(fieldValue) + 8;
      if (wide) {
        std::u16string w(text, text + length);
        CopyWide(after, maxlen - 8, w.data(), w.size());
        descriptor.value = 4 + length;
      } else {
        CopyNarrow(after, maxlen - 8, text);
        descriptor.value = 8 + length;
      }
    }
    code = ft_numeric_floating;
  }
  if (cacheKey != nullptr) st.cache.Store(*cacheKey, descriptor, fieldValue, maxlen);
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
  const int visible = state.VisibleCount();
  long long record = fieldIndex;
  if (fieldIndex >= 10000) {
    const auto first = std::find_if(state.fields.begin(), state.fields.end(),
                                    [](const FieldDefinition& f) { return f.type == FieldType::FileCompare; });
    if (first == state.fields.end()) return ft_nomorefields;
    record = (first - state.fields.begin()) + static_cast<long long>(fieldIndex - 10000);
  }
  if (record < 0 || record >= visible) return ft_nomorefields;
  const FieldDefinition& field = state.fields[static_cast<std::size_t>(record)];
  if (fieldIndex < 10000 && field.type == FieldType::FileCompare) return ft_nomorefields;
  CopyNarrow(fieldName, maxlen, field.displayName.c_str());
  CopyNarrow(units, maxlen, "");
  const int t = TypeNumber(field.type);
  switch (field.type) {
    case FieldType::OutsideInFulltext: return ft_fulltext;
    case FieldType::EncodingCheck:
      // The choices are cut one character shorter than names are (maxlen 10
      // gives "ANSI/Bin"), as hosts have always been given them.
      CopyNarrow(units, maxlen >= 2 ? maxlen - 1 : maxlen, settings::kEncodingUnits);
      return ft_multiplechoice;
    case FieldType::Boolean: return ft_boolean;
    case FieldType::Count:
    case FieldType::CountIndividual: return ft_numeric_32;
    case FieldType::StringOutput:
    case FieldType::FirstMatchStringOutput:
    case FieldType::RandomString: return ft_string;
    case FieldType::AverageResultLength:
    case FieldType::MatchDistanceRatio: return ft_numeric_floating;
    default: return t > 0 ? ft_comparecontent : ft_nomorefields;
  }
}

int RequestValue(PluginState& st, const char* ansiName, const char16_t* wideName, int fieldIndex,
                 int unitIndex, void* fieldValue, int maxlen, int flags, bool recursion) {
  // 1. Index check.
  if (fieldIndex < 0 || fieldIndex >= st.VisibleCount()) return ft_nosuchfield;
  const FieldDefinition& field = st.fields[static_cast<std::size_t>(fieldIndex)];
  if (field.type == FieldType::FileCompare) return ft_nosuchfield;
  const bool wide = wideName != nullptr;
  const int t = TypeNumber(field.type);
  const PluginSettings& settings = st.settings;

  // 2. Fields without a usable program.
  if (!settings.matchAllForErrors && field.compileError && t >= 0) {
    return ZeroAnswer(field.type, wide, fieldValue, maxlen);
  }

  // 3. Names: the host's name for keys and references, the long-path form
  // for file calls. A cache hit makes no copy of the name.
  const std::size_t wideLength = wide ? std::char_traits<char16_t>::length(wideName) : 0;
  std::u16string longPath;
  platform::FileName access;
  if (wide) {
    if (platform::kHasLongPathForm && wideLength >= kLongPathThreshold) {
      longPath = LongPathForm(std::u16string(wideName, wideLength));
      access.wide = longPath.c_str();
    } else {
      access.wide = wideName;
    }
  } else {
    access.narrow = ansiName;
  }

  // 4. Existence. This attribute query is the request's only one: it also
  // gives the size and the file part of the cache key.
  const bool nameOnly = field.filenameOnly && t >= 0;
  platform::FileInfo info;
  if (field.type != FieldType::RandomString && !nameOnly &&
      !(platform::QueryFileInfo(access, &info) && info.IsRegularFile())) {
    return ft_fileerror;
  }

  // 5-6. Random strings: never from the file, never cached.
  if (field.type == FieldType::RandomString) {
    if (flags == CONTENT_DELAYIFSLOW) return Placeholder("...", ft_delayed, wide, fieldValue, maxlen);
    EvaluationState state;
    PrepareState(state, field, ansiName, wideName, wideLength,
                 RequestName(settings, ansiName, wideName, wideLength), maxlen);
    st.abortSet.Remove(state.requestKey);
    std::u16string text;
    GenerateRandomString(text, state, field, settings, st.randomCharacterTable, st.random,
                         st.abortSet);
    state.outputText = std::move(text);
    return WriteAnswer(st, field, state, wide, fieldValue, maxlen, nullptr);
  }

  // 7. Filename-only fields: the expression runs over the name part.
  if (nameOnly) {
    EvaluationState state;
    PrepareState(state, field, ansiName, wideName, wideLength,
                 RequestName(settings, ansiName, wideName, wideLength), maxlen);
    state.offsetDigits = OffsetDigitsFor(255);
    const EvaluationContext context{settings, *st.LineBreakField(), st.abortSet};
    if (wide) {
      std::u16string part;
      if (!NamePart(std::u16string(wideName, wideLength), &part)) return ft_fileerror;
      state.isUtf16 = true;
      state.contentSize = part.size() * 2;
      MatchUnits(part.data(), part.size(), state, field, context);
    } else {
      std::string part;
      if (!NamePart(std::string(ansiName), &part)) return ft_fileerror;
      state.contentSize = part.size();
      MatchBytes(part.data(), part.size(), state, field, context);
    }
    return WriteAnswer(st, field, state, wide, fieldValue, maxlen, nullptr);
  }

  // 8. Cache key: the host's name bytes, the field index, and the file part
  // (attributes, last-write time, size).
  const bool cacheOn = settings.resultCache != 0;
  std::string key;
  if (cacheOn) {
    key.reserve((wide ? wideLength * 2 : std::strlen(ansiName)) + 24);
    AppendNameBytes(&key, ansiName, wideName, wideLength);
    AppendLe32(&key, static_cast<std::uint32_t>(fieldIndex));
    AppendFileKey(&key, info);
  }

  // 9. Text filter: chosen by the name's extension, never on the repeat
  // without filters.
  std::u16string name;
  const bool mayFilter = t >= 0 && field.filterEnabled && !recursion && !st.filters.empty();
  if (mayFilter) name = RequestName(settings, ansiName, wideName, wideLength);
  const FilterChoice* filter = mayFilter ? FindFilterForName(st.filters, name) : nullptr;
  const bool filterActive = filter != nullptr;

  // 10. Size.
  const auto size = static_cast<std::int64_t>(info.size);

  // 11. The full-text field is served piecewise by its own routine.
  if (field.type == FieldType::OutsideInFulltext) {
    if (!wide || size < 0 || static_cast<std::uint64_t>(size) > settings.globalFileSizeLimit) {
      return ft_fieldempty;
    }
    return st.outsideIn.ServeFulltext(fieldValue, maxlen, std::u16string(access.wide), unitIndex,
                                      settings, st.fulltextExclude);
  }

  // 12. Size gates.
  const bool wholeContent = !field.encodingCheckBufferOnly || filterActive;
  if (size < 0 ||
      (static_cast<std::uint64_t>(size) > settings.globalFileSizeLimit && t >= 0 && wholeContent)) {
    return ZeroAnswer(field.type, wide, fieldValue, maxlen);
  }

  // 13. Cache lookup.
  if (cacheOn) {
    AnswerDescriptor descriptor;
    descriptor.wide = wide;
    descriptor.type = field.type;
    if (st.cache.Lookup(key, descriptor, fieldValue, maxlen)) return CodeForType(field.type, wide);
  }
  const std::string* cacheKey = cacheOn ? &key : nullptr;

  // 14. Foreground rule: slow fields wait for the background pass, very
  // large files for an explicit request.
  if (flags == CONTENT_DELAYIFSLOW && t >= 0) {
    const bool big = size > kForegroundBytes;
    const bool over = static_cast<std::uint64_t>(size) > settings.onDemandLimit;
    const bool positiveBig = t > 0 && big;
    const bool booleanHuge = t == 0 && size > kForegroundBooleanBytes;
    if (t == 0 && !booleanHuge) {
      if (big && over && wholeContent) return Placeholder("<___>", ft_ondemand, wide, fieldValue, maxlen);
    } else if (booleanHuge || positiveBig) {
      if (wholeContent && !over) return Placeholder("...", ft_delayed, wide, fieldValue, maxlen);
      if (wholeContent && over) return Placeholder("<___>", ft_ondemand, wide, fieldValue, maxlen);
    }
  }

  // The request's state, now that it is computed.
  EvaluationState state;
  if (!mayFilter) name = RequestName(settings, ansiName, wideName, wideLength);
  PrepareState(state, field, ansiName, wideName, wideLength, std::move(name), maxlen);

  // 15. Open and decide the encoding. The open trusts the kind found by the
  // query above and never waits on what may have replaced the file since.
  platform::File file;
  EncodingSample sample;
  std::uint32_t bomLength = 0;
  const bool readsFile = t < 0 || !filterActive;
  if (readsFile) {
    file = platform::OpenFile(access, platform::OpenMode::kReadContent);
    if (!file.IsOpen()) return ft_fileerror;
    if (!ReadEncodingSample(size, &bomLength, file, state, &sample, settings)) return ft_fileerror;
  }
  const bool beyondBuffer = static_cast<std::uint64_t>(size) > settings.analyzeBuffer || filterActive;

  // 16. What the matcher must validate itself, and where content starts.
  if (filterActive && t >= 0) state.isUtf16 = true;
  state.offsetDigits = OffsetDigitsFor(static_cast<std::uint64_t>(size));
  if ((state.isUtf8 || state.isUtf16) && beyondBuffer && wholeContent) state.utfCheckPending = true;
  const std::uint32_t startUnits = state.isUtf16 && bomLength == 2 ? 1 : bomLength;

  // 17. A stale stop mark for this file is forgotten.
  st.abortSet.Remove(state.requestKey);

  // 18. The encoding answer.
  if (field.type == FieldType::EncodingCheck) {
    file.Close();
    std::uint32_t choice = 0;
    if (state.isUtf8) {
      choice = 1;
    } else if (state.isUtf16) {
      choice = state.bigEndian ? 3 : 2;
    }
    CopyNarrow(static_cast<char*>(fieldValue), maxlen, settings::kEncodingNames[choice]);
    if (cacheKey != nullptr) {
      AnswerDescriptor descriptor;
      descriptor.wide = wide;
      descriptor.type = field.type;
      descriptor.value = choice;
      st.cache.Store(*cacheKey, descriptor, fieldValue, maxlen);
    }
    return ft_multiplechoice;
  }

  // 19. Read and match.
  const EvaluationContext context{settings, *st.LineBreakField(), st.abortSet};
  const FieldEvaluator evaluator(field, context);
  if (!filterActive) {
    bool ok = true;
    const auto usize = static_cast<std::uint64_t>(size);
    if (usize <= settings.analyzeBuffer || field.encodingCheckBufferOnly) {
      file.Close();
      EvaluateSample(sample.bytes.get(), sample.length, startUnits, state, field, evaluator);
    } else if (usize <= kAlwaysWholeBytes) {
      ok = ReadWholeFile(file, size, sample, startUnits, state, field, evaluator);
    } else {
      const std::uint32_t budget = ReadBudgetMegabytes(settings);
      if (MatchesStayInLines(field, state)) {
        // Chunks answer exactly as a whole read does here, in less memory.
        ok = ReadInChunks(file, size, sample, startUnits,
                          budget < kLineChunkMegabytes ? budget : kLineChunkMegabytes, state,
                          field, evaluator);
      } else if (usize < static_cast<std::uint64_t>(budget) * settings::kMegabyte) {
        ok = ReadWholeFile(file, size, sample, startUnits, state, field, evaluator);
      } else {
        ok = ReadInChunks(file, size, sample, startUnits, budget, state, field, evaluator);
      }
    }
    sample.bytes.reset();
    if (!ok) return ft_fileerror;
  } else {
    // 20. Filtered content. A failed filter is repeated once without
    // filters (the file searched as it is) when the settings allow it.
    if (!RunFilter(st, *filter, field, state, evaluator)) {
      if (state.abortRequested) return ft_fieldempty;
      if (settings.normalSearchForFilterFail) {
        return RequestValue(st, ansiName, wideName, fieldIndex, unitIndex, fieldValue, maxlen, flags,
                            true);
      }
      return ft_fileerror;
    }
  }

  // 21. The answer.
  if (state.abortRequested) return ft_fieldempty;
  if (!filterActive) state.contentSize = static_cast<std::uint64_t>(size);
  return WriteAnswer(st, field, state, wide, fieldValue, maxlen, cacheKey);
}

}  // namespace qm::plugin
