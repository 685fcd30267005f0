// The text a field searches, handed to the host's sink instead of the
// matcher. The steps are RequestValue's own (request.h), without its cache,
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
#include "plugin/host_interface/request.h"

namespace qm::plugin {
namespace {

constexpr std::size_t kPieceUnits = 1u << 20;  // units per call of the sink

// Converts what the readers and filters give to UTF-16 and hands it on
// (nothing with a null sink).
class TextTap final : public TextConsumer {
 public:
  TextTap(const PluginSettings& settings, const FieldDefinition& field, const AbortSet& abortSet,
          QuarrymarkTextSink sink, void* context)
      : settings_(settings), field_(field), abortSet_(abortSet), sink_(sink), context_(context) {}

  // The tap wants all the text: it never reports an answer known.
  bool Bytes(const char* text, std::size_t length, EvaluationState& state) const override {
    if (sink_ == nullptr) return false;  // a probe
    std::u16string wide;
    ToWide(settings_, text, length, &wide, !state.isUtf8, field_.oemCodePage);
    return Units(wide.data(), wide.size(), state);
  }
  bool Units(const char16_t* text, std::size_t length, EvaluationState& state) const override {
    if (sink_ == nullptr) return false;  // a probe
    for (std::size_t at = 0; at < length && !stopped_; at += kPieceUnits) {
      const std::size_t n = std::min(kPieceUnits, length - at);
      if (sink_(reinterpret_cast<const QmWideChar*>(text + at), static_cast<int>(n), context_) != 0) {
        stopped_ = true;
      }
    }
    if (stopped_) state.abortRequested = true;
    return false;
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

// Reads the file's text into consumer as the request reads it. forceAnsi:
// the text is taken as ANSI/Binary bytes from the first byte, as the readers
// take a file found not to be UTF beyond its sample. probe: only learns how
// the text is read (returns at once when that is settled). *how: the
// encoding choice, with QM_TEXT_SAMPLE when only the sample of a larger
// file is read. False when the file cannot be opened or read.
bool ReadFileText(const PluginSettings& settings, const FieldDefinition& field,
                  const platform::FileName& name, std::int64_t size, EvaluationState& reading,
                  const TextConsumer& consumer, bool forceAnsi, bool probe, int* how) {
  const bool sampleOnly = field.encodingCheckBufferOnly;
  OpenedFile opened;
  if (!OpenContent(name, size, false, !sampleOnly, settings, reading, &opened)) return false;
  if (probe && !reading.utfCheckPending) {  // nothing can turn out otherwise
    *how = static_cast<int>(EncodingChoice(reading));
    return true;
  }
  if (forceAnsi) {
    reading.isUtf8 = reading.isUtf16 = reading.bigEndian = false;
    reading.validUtf8Length = 0;
    reading.utfCheckPending = false;
    opened.startUnits = 0;
  }
  // The text is the same in chunks as in a whole read, in bounded memory.
  if (!ReadContent(opened, size, reading, sampleOnly, LargeRead::kLineChunks, consumer, settings)) {
    return false;
  }
  // ANSI/Binary when the text was found not to be UTF.
  *how = static_cast<int>(EncodingChoice(reading));
  if (sampleOnly && static_cast<std::uint64_t>(size) > settings.analyzeBuffer) *how |= QM_TEXT_SAMPLE;
  return true;
}

}  // namespace

int GetFieldText(PluginState& st, const char16_t* wideName, int fieldIndex, QuarrymarkTextSink sink,
                 void* context) {
  if (fieldIndex < 0 || fieldIndex >= st.VisibleCount()) return ft_nosuchfield;
  const FieldDefinition& field = st.fields[static_cast<std::size_t>(fieldIndex)];
  if (field.type == FieldType::FileCompare || field.type == FieldType::OutsideInFulltext ||
      field.type == FieldType::RandomString) {
    return ft_nosuchfield;  // no text of a file is searched by these
  }
  const PluginSettings& settings = st.settings;
  const std::u16string name(wideName);
  const TextTap tap(settings, field, st.abortSet, sink, context);
  EvaluationState state;
  state.requestKey = RequestKey(nullptr, wideName, name.size());
  state.fileName = name;

  if (field.filenameOnly && settings::RunsExpression(field.type)) {
    std::u16string part;
    if (!NamePart(name, &part)) return ft_fileerror;
    state.isUtf16 = true;
    tap.Units(part.data(), part.size(), state);
    return tap.Stopped() ? ft_fieldempty : 2 | QM_TEXT_NAME;
  }

  const AccessName access(nullptr, wideName, name.size());
  platform::FileInfo info;
  if (!QueryRegularFile(access.name, &info)) return ft_fileerror;
  const auto size = static_cast<std::int64_t>(info.size);
  const FilterChoice* filter =
      MayFilter(st, field, false) ? FindFilterForName(st.filters, name) : nullptr;
  if (BeyondSizeLimit(settings, field, size, ReadsWholeContent(field, filter))) {
    return QM_TEXT_NOT_READ;
  }
  st.abortSet.Remove(state.requestKey);

  if (filter != nullptr) {
    state.isUtf16 = true;
    if (RunFilter(SourcesOf(st), *filter, state, tap)) {
      if (state.abortRequested) return ft_fieldempty;
      return 2 | (filter->kind == settings::FilterKind::OutsideIn ? QM_TEXT_OUTSIDE_IN : QM_TEXT_CONVERTER);
    }
    if (state.abortRequested) return ft_fieldempty;
    if (!settings.normalSearchForFilterFail) return ft_fileerror;
    // The file searched as it is, as the request's repeat without filters.
    const std::u16string keptName = std::move(state.fileName);
    const RequestKey key = state.requestKey;
    state = EvaluationState();
    state.fileName = keptName;
    state.requestKey = key;
  }

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
    if (!ReadFileText(settings, field, access.name, size, probing, probe, false, true, &how)) {
      return ft_fileerror;
    }
    if (probing.abortRequested || st.abortSet.Contains(state.requestKey)) return ft_fieldempty;
    forceAnsi = (how & 3) == 0;
  }
  int how = 0;
  if (!ReadFileText(settings, field, access.name, size, state, tap, forceAnsi, false, &how)) {
    return ft_fileerror;
  }
  return state.abortRequested ? ft_fieldempty : how;
}

}  // namespace qm::plugin
