// Outside In library access.
//
// Divisions: the library folder; loading and unloading; the filter
// extraction; text read by the caller; the full-text field.
#include "plugin/filters/outside_in.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "plugin/content/file_access.h"
#include "plugin/content/reader.h"
#include "plugin/filters/filter_text.h"
#include "settings_format/settings_format.h"

namespace qm::plugin {
namespace {

constexpr std::size_t kMaxExpandedFolder = 2048;
constexpr std::uint64_t kFallbackBudget = 5242880;  // a smaller buffer when the budget's fails
constexpr std::size_t kFulltextReserve = 65536;

// The content-access options, set once after initialisation, in this order.
struct Option {
  std::int32_t number;
  std::uint32_t values[4];
  std::uint32_t count;
};
constexpr Option kOptions[] = {
    {1, {0x14B00000}, 1},   {133, {1}, 1},    {338490, {2}, 1},
    {338589, {1}, 1},       {273253, {1}, 1}, {112, {128, 8192, 5120, 7}, 4},
};

template <typename F>
F As(void* symbol) {
  return reinterpret_cast<F>(symbol);
}

// Reserves capacity bytes for the text, or fallback + extra when that fails
// and the budget was above the fallback. False when neither can be had.
bool ReserveText(std::string& text, std::uint64_t* budget, std::size_t extra) {
  try {
    text.reserve(static_cast<std::size_t>(*budget) + extra);
    return true;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  if (*budget <= kFallbackBudget) return false;
  *budget = kFallbackBudget;
  try {
    text.reserve(static_cast<std::size_t>(*budget) + extra);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void ZerosToSpaces(std::string& bytes) {
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    if (bytes[i] == 0 && bytes[i + 1] == 0) bytes[i] = 0x20;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The library folder
// ---------------------------------------------------------------------------
bool ResolveOutsideInFolder(const std::u16string& configured, const std::u16string& moduleFolder,
                            std::u16string* folder) {
  constexpr char16_t sep = platform::kPathSeparator;
  constexpr char16_t other = sep == u'\\' ? u'/' : u'\\';
  std::u16string text = configured;
  std::replace(text.begin(), text.end(), other, sep);
  if (text.size() > 1 && (text.front() == u'"' || text.front() == u'\'') && text.back() == text.front()) {
    text = text.substr(1, text.size() - 2);
  }
  bool absolute;
  if (platform::kHasLongPathForm) {
    absolute = (!text.empty() && text[0] == u'%') || text.rfind(u"\\\\", 0) == 0 ||
               (text.size() >= 2 && text[1] == u':');
  } else {
    absolute = !text.empty() && (text[0] == u'/' || text[0] == u'$');
  }
  if (!text.empty() && text.back() != sep) text += sep;
  if (!absolute) {
    if (!text.empty() && text[0] == sep) text.erase(0, 1);
    text = moduleFolder + text;
  }
  std::u16string expanded = platform::ExpandEnvironment(text);
  if (expanded.empty() || expanded.size() > kMaxExpandedFolder) return false;
  *folder = std::move(expanded);
  return true;
}

// ---------------------------------------------------------------------------
// Loading and unloading
// ---------------------------------------------------------------------------
OutsideInLibraries::~OutsideInLibraries() {
  // Only an explicit Unload frees the libraries: at process termination the
  // system releases them itself, and freeing them from the detach work then
  // is not safe.
  ta_.Release();
  da_.Release();
}

bool OutsideInLibraries::ResolveEntryPoints() {
  for (const char* name : oit::kTextAccessNames) {
    if (ta_.Symbol(name) == nullptr) return false;
  }
  for (const char* name : oit::kContentAccessNames) {
    if (da_.Symbol(name) == nullptr) return false;
  }
  api_.openText = As<oit::TAOpenTextFn>(ta_.Symbol("TAOpenText"));
  api_.closeText = As<oit::TACloseTextFn>(ta_.Symbol("TACloseText"));
  api_.readFirst = As<oit::TAReadFn>(ta_.Symbol("TAReadFirst"));
  api_.readNext = As<oit::TAReadFn>(ta_.Symbol("TAReadNext"));
  api_.closeDocument = As<oit::DACloseDocumentFn>(da_.Symbol("DACloseDocument"));
  api_.deInit = As<oit::DADeInitFn>(da_.Symbol("DADeInit"));
  api_.getFileId = As<oit::DAGetFileIdExFn>(da_.Symbol("DAGetFileIdEx"));
  api_.initEx = As<oit::DAInitExFn>(da_.Symbol("DAInitEx"));
  api_.openDocument = As<oit::DAOpenDocumentFn>(da_.Symbol("DAOpenDocument"));
  api_.setOption = As<oit::DASetOptionFn>(da_.Symbol("DASetOption"));
  return true;
}

bool OutsideInLibraries::Load(const std::u16string& configured, const std::u16string& moduleFolder) {
  Unload();
  std::u16string folder;
  if (!ResolveOutsideInFolder(configured, moduleFolder, &folder)) return false;
  if (platform::kHasLongPathForm &&
      folder.size() + std::char_traits<char16_t>::length(kContentAccessLibrary) >= kLongPathThreshold) {
    folder = LongPathForm(folder);
  }
  da_ = platform::Library::Open(folder + kContentAccessLibrary);
  ta_ = platform::Library::Open(folder + kTextAccessLibrary);
  if (!da_.IsOpen() || !ta_.IsOpen() || !ResolveEntryPoints()) {
    ta_.Close();
    da_.Close();
    api_ = EntryPoints();
    return false;
  }
  if (api_.initEx(136, 3) != oit::kSuccess) {
    ta_.Close();
    da_.Close();
    api_ = EntryPoints();
    return false;
  }
  for (const Option& option : kOptions) {
    api_.setOption(0, option.number, option.values, option.count * 4);
  }
  return true;
}

void OutsideInLibraries::Unload() {
  if (Loaded()) {
    const std::lock_guard<platform::Mutex> guard(fulltextLock_);
    CloseFulltext();
  }
  ta_.Close();
  if (da_.IsOpen() && api_.deInit != nullptr) api_.deInit();
  da_.Close();
  api_ = EntryPoints();
}

// ---------------------------------------------------------------------------
// The filter extraction
// ---------------------------------------------------------------------------
bool OutsideInLibraries::Extract(const PluginSettings& settings, EvaluationState& state,
                                 const TextConsumer& consumer) const {
  if (!Loaded()) return false;
  const auto stopRequested = [&state, &consumer] {
    if (!consumer.StopRequested(state)) return false;
    state.abortRequested = true;
    return true;
  };
  OutsideInTextSource source(*this, state.fileName, stopRequested);
  const std::uint64_t budget = std::uint64_t{ReadBudgetMegabytes(settings)} * settings::kMegabyte;
  const std::uint64_t chunk = FilterChunkBytes(budget, state, consumer);
  ChunkedReader reader = FilterReader(source, chunk);
  if (!AllocateFilterReader(reader)) return false;
  // Offsets are as wide as the budget's (or the smaller fallback's) own,
  // whatever the line chunks.
  state.offsetDigits = OffsetDigitsFor(reader.ChunkBytes() == chunk ? budget : reader.ChunkBytes());
  try {
    return MatchFilterText(reader, state, consumer) != FilterTextEnd::kFailed;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// ---------------------------------------------------------------------------
// Text read by the caller
// ---------------------------------------------------------------------------
bool OutsideInLibraries::OpenText(const std::u16string& name, OutsideInText* t) const {
  CloseText(t);
  if (!Loaded()) return false;
  if (api_.openDocument(&t->document, oit::kPathTypeWide, name.c_str(), 0) != oit::kSuccess) {
    t->document = 0;
    return false;
  }
  std::uint32_t format = 0;
  api_.getFileId(t->document, &format, 1);
  if (format == oit::kUnknownFormat || api_.openText(t->document, &t->text) != oit::kSuccess) {
    t->text = 0;
    CloseText(t);
    return false;
  }
  return true;
}

std::int32_t OutsideInLibraries::ReadText(OutsideInText* t, void* buffer,
                                          std::uint32_t* count) const {
  *count = 0;
  if (t->text == 0) return -1;
  const std::int32_t r = t->started ? api_.readNext(t->text, buffer, oit::kReadBufferBytes, count)
                                    : api_.readFirst(t->text, buffer, oit::kReadBufferBytes, count);
  t->started = true;
  *count = std::min(*count, oit::kReadBufferBytes);
  if (r != oit::kSuccess) CloseText(t);
  if (r != oit::kSuccess && r != oit::kEndOfText) *count = 0;
  return r;
}

void OutsideInLibraries::CloseText(OutsideInText* t) const {
  if (t->text != 0) api_.closeText(t->text);
  if (t->document != 0) api_.closeDocument(t->document);
  t->text = 0;
  t->document = 0;
  t->started = false;
}

OutsideInTextSource::OutsideInTextSource(const OutsideInLibraries& libraries, std::u16string name,
                                         std::function<bool()> stopRequested)
    : libraries_(libraries), name_(std::move(name)), stopRequested_(std::move(stopRequested)) {}

OutsideInTextSource::~OutsideInTextSource() { libraries_.CloseText(&text_); }

// Hands on what is left of the kept piece.
std::int64_t OutsideInTextSource::Serve(char* buffer, std::size_t n) {
  const std::size_t count = std::min(n, pieceEnd_ - pieceFrom_);
  std::memcpy(buffer, piece_.get() + pieceFrom_, count);
  pieceFrom_ += count;
  return static_cast<std::int64_t>(count);
}

std::int64_t OutsideInTextSource::Read(char* buffer, std::size_t n) {
  if (pieceFrom_ < pieceEnd_) return Serve(buffer, n);
  if (ended_) return 0;
  if (!opened_) {
    opened_ = true;
    if (!libraries_.OpenText(name_, &text_)) return -1;
  } else if (stopRequested_ && stopRequested_()) {
    return -1;
  }
  const bool direct = n >= oit::kReadBufferBytes;
  if (!direct && !piece_) piece_.reset(new char[oit::kReadBufferBytes]);
  char* const target = direct ? buffer : piece_.get();
  for (;;) {
    std::uint32_t count = 0;
    const std::int32_t r = libraries_.ReadText(&text_, target, &count);
    if (r == oit::kEndOfText) {
      ended_ = true;
    } else if (r != oit::kSuccess) {
      return -1;
    }
    if (count == 0 && !ended_) {
      if (stopRequested_ && stopRequested_()) return -1;
      continue;
    }
    if (direct || count == 0) return count;
    pieceFrom_ = 0;
    pieceEnd_ = count;
    return Serve(buffer, n);
  }
}

// ---------------------------------------------------------------------------
// The full-text field
// ---------------------------------------------------------------------------
void OutsideInLibraries::CloseFulltext() {
  FulltextDocument& d = fulltext_;
  if (d.text != 0) api_.closeText(d.text);
  if (d.document != 0) api_.closeDocument(d.document);
  d.text = 0;
  d.document = 0;
  std::string().swap(d.buffer);
  d.hasBuffer = false;
  d.resume = false;
  d.end = false;
}

// Reads on until the buffer holds the limit or the text ends. True when
// there is text to deliver; false after closing everything on a failure.
bool OutsideInLibraries::FulltextRead(bool resuming, std::int64_t piece) {
  FulltextDocument& d = fulltext_;
  std::unique_ptr<char[]> read(new char[oit::kReadBufferBytes]);
  std::uint32_t count = 0;
  std::int32_t r;
  bool skipFirst = false;
  if (!resuming) {
    if (api_.openText(d.document, &d.text) != oit::kSuccess) {
      d.text = 0;
      CloseFulltext();
      return false;
    }
    r = api_.readFirst(d.text, read.get(), oit::kReadBufferBytes, &count);
  } else {
    // The bytes of the last read were delivered with the previous piece.
    d.bufferOffset = piece;
    r = oit::kSuccess;
    skipFirst = true;
  }
  while (r == oit::kSuccess) {
    if (d.buffer.size() >= d.limit) {
      if (!skipFirst) d.buffer.append(read.get(), std::min(count, oit::kReadBufferBytes));
      break;
    }
    if (skipFirst) {
      skipFirst = false;
      d.resume = false;
    } else {
      d.buffer.append(read.get(), std::min(count, oit::kReadBufferBytes));
    }
    count = 0;
    r = api_.readNext(d.text, read.get(), oit::kReadBufferBytes, &count);
  }
  if (r == oit::kEndOfText) {
    d.buffer.append(read.get(), std::min(count, oit::kReadBufferBytes));
    d.end = true;
    api_.closeText(d.text);
    api_.closeDocument(d.document);
    d.text = 0;
    d.document = 0;
  } else if (r != oit::kSuccess) {
    CloseFulltext();
    return false;
  }
  ZerosToSpaces(d.buffer);
  return true;
}

int OutsideInLibraries::ServeFulltext(void* value, int maxlen, const std::u16string& name,
                                      std::int64_t piece, const PluginSettings& settings,
                                      const FulltextExcludeSet& exclude) {
  if (!Loaded()) return kFulltextNone;
  const std::lock_guard<platform::Mutex> guard(fulltextLock_);
  FulltextDocument& d = fulltext_;
  try {
    if (piece < 0 && piece != -1) {
      CloseFulltext();
      return kFulltextNone;
    }
    if (piece == 0) {
      CloseFulltext();  // a document the host left unfinished
      d.bufferOffset = 0;
      std::uint64_t limit = std::uint64_t{ReadBudgetMegabytes(settings)} * settings::kMegabyte;
      if (!ReserveText(d.buffer, &limit, kFulltextReserve)) return kFulltextNone;
      d.limit = limit;
      d.hasBuffer = true;
      if (api_.openDocument(&d.document, oit::kPathTypeWide, name.c_str(), 0) != oit::kSuccess) {
        d.document = 0;
        CloseFulltext();
        return kFulltextNone;
      }
      std::uint32_t format = 0;
      api_.getFileId(d.document, &format, settings.oitFulltextTreatUnknownFileFormatAsText ? 0 : 1);
      if (exclude.count(format) != 0) {
        CloseFulltext();
        return kFulltextNone;
      }
      if (!FulltextRead(false, 0)) return kFulltextNone;
    } else if (piece > 0 && d.resume) {
      if (!FulltextRead(true, piece)) return kFulltextNone;
    }
    if (piece == -1) {
      CloseFulltext();
      return kFulltextNone;
    }
    if (!d.hasBuffer) return kFulltextNone;

    const std::int64_t from = std::max(piece, d.bufferOffset);
    const auto start = static_cast<std::size_t>(from - d.bufferOffset);
    const std::size_t left = start < d.buffer.size() ? d.buffer.size() - start : 0;
    const std::size_t room = maxlen >= 2 ? static_cast<std::size_t>(maxlen & ~1) - 2 : 0;
    const std::size_t n = std::min(room, left);
    if (maxlen >= 2) {
      auto* out = static_cast<unsigned char*>(value);
      std::memcpy(out, d.buffer.data() + start, n);
      out[n] = 0;
      out[n + 1] = 0;
    }
    if (room < left) return kFulltextPiece;
    if (!d.end) {
      d.resume = true;
      d.buffer.clear();
    } else {
      CloseFulltext();
    }
    return kFulltextPiece;
  } catch (const std::bad_alloc&) {
    CloseFulltext();
    return kFulltextNone;
  }
}

}  // namespace qm::plugin
