// The text a field searches, handed to the host's sink instead of the
// matcher. The steps follow RequestValue (request.cpp) without its cache,
// foreground rule and answer writer.
#include "plugin/host_interface/field_text.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "plugin/content/encoding.h"
#include "plugin/content/file_access.h"
#include "plugin/content/reader.h"
#include "plugin/evaluation/code_page.h"
#include "plugin/filters/filter_text.h"
#include "plugin/filters/run_filter.h"

namespace qm::plugin {
namespace {

constexpr std::size_t kPieceUnits = 1u << 20;  // units per call of the sink
constexpr std::uint32_t kNoOutputLimit = 0xFFFFFFFFu;

// Converts what the readers and filters give to UTF-16 and hands it on
// (nothing with a null sink).
class TextTap final : public TextConsumer {
 public:
  TextTap(const PluginSettings& settings, const FieldDefinition& field, const AbortSet& abortSet,
          QuarrymarkTextSink sink, void* context)
      : settings_(settings), field_(field), abortSet_(abortSet), sink_(sink), context_(context) {}

  void Bytes(const char* text, std::size_t length, EvaluationState& state) const override {
    if (sink_ == nullptr) return;  // a probe
    std::u16string wide;
    ToWide(settings_, text, length, &wide, !state.isUtf8, field_.oemCodePage);
    Units(wide.data(), wide.size(), state);
  }
  void Units(const char16_t* text, std::size_t length, EvaluationState& state) const override {
    if (sink_ == nullptr) return;  // a probe
    for (std::size_t at = 0; at < length && !stopped_; at += kPieceUnits) {
      const std::size_t n = std::min(kPieceUnits, length - at);
      if (sink_(reinterpret_cast<const QmWideChar*>(text + at), static_cast<int>(n), context_) != 0) {
        stopped_ = true;
      }
    }
    if (stopped_) state.abortRequested = true;
  }
  bool StopRequested(const EvaluationState& state) const override {
    return stopped_ || abortSet_.Contains(state.requestKey);
  }
  bool Stopped() const { return stopped_; }

 private:
  const PluginSettings& settings_;
  const FieldDefinition& field_;
  const AbortSet& abortSet_;
  QuarrymarkTextSink sink_;
  void* context_;
  mutable bool stopped_ = false;
};

int EncodingChoice(const EvaluationState& state) {
  if (state.isUtf8) return 1;
  if (state.isUtf16) return state.bigEndian ? 3 : 2;
  return 0;
}

}  // namespace

int GetFieldText(PluginState& st, const char16_t* wideName, int fieldIndex, QuarrymarkTextSink sink,
                 void* context) {
  if (fieldIndex < 0 || fieldIndex >= st.VisibleCount()) return ft_nosuchfield;
  const FieldDefinition& field = st.fields[static_cast<std::size_t>(fieldIndex)];
  const bool runs = settings::RunsExpression(field.type);
  if (field.type == FieldType::FileCompare || field.type == FieldType::OutsideInFulltext ||
      field.type == FieldType::RandomString) {
    return ft_nosuchfield;  // no text of a file is searched by these
  }
  const PluginSettings& settings = st.settings;
  const std::u16string name(wideName);
  const TextTap tap(settings, field, st.abortSet, sink, context);
  EvaluationState state;
  std::string nameBytes;
  for (const char16_t unit : name) {
    nameBytes += static_cast<char>(unit & 0xFF);
    nameBytes += static_cast<char>(unit >> 8);
  }
  state.requestKey = NameHash(nameBytes.data(), nameBytes.size());
  state.fileName = name;
  // The tap gathers no matches and no output: with a limit it can never
  // fill, no reader or filter takes the field's answer as settled and
  // leaves the rest of the text unread.
  state.outputLimit = kNoOutputLimit;

  if (field.filenameOnly && runs) {
    std::u16string part;
    if (!NamePart(name, &part)) return ft_fileerror;
    state.isUtf16 = true;
    tap.Units(part.data(), part.size(), state);
    return tap.Stopped() ? ft_fieldempty : 2 | QM_TEXT_NAME;
  }

  std::u16string longPath;
  platform::FileName access;
  access.wide = name.c_str();
  if (platform::kHasLongPathForm && name.size() >= kLongPathThreshold) {
    longPath = LongPathForm(name);
    access.wide = longPath.c_str();
  }
  platform::FileInfo info;
  if (!(platform::QueryFileInfo(access, &info) && info.IsRegularFile())) return ft_fileerror;
  const auto size = static_cast<std::int64_t>(info.size);

  const bool mayFilter = runs && field.filterEnabled && !st.filters.empty();
  const FilterChoice* filter = mayFilter ? FindFilterForName(st.filters, name) : nullptr;
  const bool wholeContent = !field.encodingCheckBufferOnly || filter != nullptr;
  if (size < 0 ||
      (static_cast<std::uint64_t>(size) > settings.globalFileSizeLimit && runs && wholeContent)) {
    return QM_TEXT_NOT_READ;
  }
  st.abortSet.Remove(state.requestKey);

  if (filter != nullptr) {
    state.isUtf16 = true;
    if (RunFilter(st, *filter, field, state, tap)) {
      if (state.abortRequested) return ft_fieldempty;
      return 2 | (filter->kind == settings::FilterKind::OutsideIn ? QM_TEXT_OUTSIDE_IN : QM_TEXT_CONVERTER);
    }
    if (state.abortRequested) return ft_fieldempty;
    if (!settings.normalSearchForFilterFail) return ft_fileerror;
    // The file searched as it is, as the request's repeat without filters.
    const std::u16string keptName = std::move(state.fileName);
    const std::uint64_t key = state.requestKey;
    state = EvaluationState();
    state.fileName = keptName;
    state.requestKey = key;
  }

  // Reads the file's text into consumer as the request reads it. forceAnsi:
  // the text is taken as ANSI/Binary bytes from the first byte, as the
  // readers take a file found not to be UTF beyond its sample. probe: only
  // learns how the text is read (returns at once when that is settled).
  const auto readFile = [&](EvaluationState& reading, const TextConsumer& consumer, bool forceAnsi,
                            int* how, bool probe) {
    reading.outputLimit = kNoOutputLimit;
    platform::File file = platform::OpenFile(access, platform::OpenMode::kReadContent);
    if (!file.IsOpen()) return false;
    EncodingSample sample;
    std::uint32_t bomLength = 0;
    if (!ReadEncodingSample(size, &bomLength, file, reading, &sample, settings)) return false;
    const auto usize = static_cast<std::uint64_t>(size);
    const bool wholeFile = !field.encodingCheckBufferOnly;
    if ((reading.isUtf8 || reading.isUtf16) && usize > settings.analyzeBuffer && wholeFile) {
      reading.utfCheckPending = true;
    }
    std::uint32_t startUnits = reading.isUtf16 && bomLength == 2 ? 1 : bomLength;
    if (probe && !reading.utfCheckPending) {  // nothing can turn out otherwise
      *how = EncodingChoice(reading);
      return true;
    }
    if (forceAnsi) {
      reading.isUtf8 = reading.isUtf16 = reading.bigEndian = false;
      reading.validUtf8Length = 0;
      reading.utfCheckPending = false;
      startUnits = 0;
    }
    *how = EncodingChoice(reading);
    if (usize <= settings.analyzeBuffer || !wholeFile) {
      file.Close();
      if (usize > settings.analyzeBuffer) *how |= QM_TEXT_SAMPLE;
      EvaluateSample(sample.bytes.get(), sample.length, startUnits, reading, field, consumer);
      return true;
    }
    if (usize <= kAlwaysWholeBytes) {
      if (!ReadWholeFile(file, size, sample, startUnits, reading, field, consumer)) return false;
    } else {
      // Chunks give the same text as a whole read, in bounded memory.
      const std::uint32_t budget = ReadBudgetMegabytes(settings);
      if (!ReadInChunks(file, size, sample, startUnits,
                        budget < kLineChunkMegabytes ? budget : kLineChunkMegabytes, reading, field,
                        consumer)) {
        return false;
      }
    }
    *how = EncodingChoice(reading);  // ANSI/Binary when the text was found not to be UTF
    return true;
  };

  // A chunked read hands on UTF pieces before it may find the text not to
  // be UTF and start again as ANSI/Binary; the sink must see only the text
  // that is searched, so such a file is first read without handing anything
  // on, to learn how it is read.
  bool forceAnsi = false;
  if (static_cast<std::uint64_t>(size) > kAlwaysWholeBytes && !field.encodingCheckBufferOnly) {
    const TextTap probe(settings, field, st.abortSet, nullptr, nullptr);
    EvaluationState probing;
    probing.requestKey = state.requestKey;
    int how = 0;
    if (!readFile(probing, probe, false, &how, true)) return ft_fileerror;
    if (probing.abortRequested || st.abortSet.Contains(state.requestKey)) return ft_fieldempty;
    forceAnsi = (how & 3) == 0;
  }
  int how = 0;
  if (!readFile(state, tap, forceAnsi, &how, false)) return ft_fileerror;
  return state.abortRequested ? ft_fieldempty : how;
}

}  // namespace qm::plugin
