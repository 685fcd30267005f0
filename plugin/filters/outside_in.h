// Access to the Outside In content- and text-access libraries: loading them
// from the configured folder, extracting a document's text for a field's
// matcher, and serving the full-text field piece by piece.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "plugin/content/chunked_reader.h"
#include "plugin/evaluation/evaluation_state.h"
#include "plugin/evaluation/matcher.h"
#include "plugin/evaluation/plugin_settings.h"
#include "plugin/filters/outside_in_api.h"

namespace qm::plugin {

#ifdef _WIN32
inline constexpr char16_t kContentAccessLibrary[] = u"sccda.dll";
inline constexpr char16_t kTextAccessLibrary[] = u"sccta.dll";
#else
inline constexpr char16_t kContentAccessLibrary[] = u"libsc_da.so";
inline constexpr char16_t kTextAccessLibrary[] = u"libsc_ta.so";
#endif

// The folder the libraries are loaded from, for the configured text: quotes
// around it dropped, separators made the platform's, a trailing separator
// added, and a relative folder (on Windows anything but "%VAR%...",
// "\\server..." or "X:..."; on POSIX anything but "/..." or "$VAR...") taken
// from moduleFolder; then environment references expanded. False when the
// expansion gives nothing or more than 2048 units.
bool ResolveOutsideInFolder(const std::u16string& configured, const std::u16string& moduleFolder,
                            std::u16string* folder);

// The full-text field's document, one at a time, process-wide.
struct FulltextDocument {
  oit::Handle document = 0;
  oit::Handle text = 0;
  std::string buffer;         // UTF-16 text not yet delivered (and what precedes it)
  bool hasBuffer = false;
  std::uint64_t limit = 0;    // bytes read before delivering
  std::int64_t bufferOffset = 0;  // offset of the buffer's first byte in the whole text
  bool resume = false;        // reading stopped at the limit; read on first
  bool end = false;           // the whole text was read and the handles closed
};

// One document's text read piece by piece by its caller (a comparison reads
// two at once). Closed by OutsideInLibraries::CloseText.
struct OutsideInText {
  oit::Handle document = 0;
  oit::Handle text = 0;
  bool started = false;  // the first read was made
};

// The full-text answers: a piece of UTF-16 text, or nothing (more). They are
// the host's ft_fulltextw and ft_fieldempty, tied to them where the host's
// codes are known.
inline constexpr int kFulltextPiece = 12;
inline constexpr int kFulltextNone = -3;

class OutsideInLibraries {
 public:
  OutsideInLibraries() = default;
  OutsideInLibraries(const OutsideInLibraries&) = delete;
  OutsideInLibraries& operator=(const OutsideInLibraries&) = delete;
  ~OutsideInLibraries();

  // Loads the content-access, then the text-access library from the folder
  // the configured text names, resolves all fifteen entry points, initialises
  // the content access and sets its options. Anything missing or failing
  // leaves both libraries unloaded. True when loaded.
  bool Load(const std::u16string& configured, const std::u16string& moduleFolder);
  bool Loaded() const { return da_.IsOpen() && ta_.IsOpen(); }
  // Closes the full-text document, frees the text-access library, then
  // de-initialises and frees the content-access library.
  void Unload();

  // The Outside In filter over state.fileName: the text is read in 32 KiB
  // pieces and matched through consumer in the chunked reader's pieces
  // within the read budget (MatchFilterText). True on
  // success, on a stop (state.abortRequested) and when the consumer knows
  // its answer early; false when the document cannot be opened, its format is
  // unknown, its text cannot be opened or a read fails. Every handle opened
  // is closed before it returns.
  bool Extract(const PluginSettings& settings, EvaluationState& state,
               const TextConsumer& consumer) const;

  // Opens name's document (its format must be known) and its text. False,
  // with nothing left open, when either cannot be opened.
  bool OpenText(const std::u16string& name, OutsideInText* t) const;
  // Reads the next piece of at most oit::kReadBufferBytes into buffer:
  // oit::kSuccess when more follows, oit::kEndOfText for the last piece; any
  // other code is a failure. After the last piece and after a failure the
  // text and the document are closed.
  std::int32_t ReadText(OutsideInText* t, void* buffer, std::uint32_t* count) const;
  // Closes what is open of t (nothing when it is closed already).
  void CloseText(OutsideInText* t) const;

  // The full-text field: the text of name from byte offset piece into the
  // host's buffer (at most maxlen bytes, a terminating zero unit included).
  // Offset 0 opens the document, -1 ends it. Answers kFulltextPiece with a
  // piece or kFulltextNone when there is nothing (more) or on any failure.
  // One document is open at a time: calls are serialised, so a host that
  // asks from two threads gets pieces of whichever document was opened last
  // but never a torn buffer.
  int ServeFulltext(void* value, int maxlen, const std::u16string& name, std::int64_t piece,
                    const PluginSettings& settings, const FulltextExcludeSet& exclude);

 private:
  struct EntryPoints {
    oit::TAOpenTextFn openText = nullptr;
    oit::TACloseTextFn closeText = nullptr;
    oit::TAReadFn readFirst = nullptr;
    oit::TAReadFn readNext = nullptr;
    oit::DACloseDocumentFn closeDocument = nullptr;
    oit::DADeInitFn deInit = nullptr;
    oit::DAGetFileIdExFn getFileId = nullptr;
    oit::DAInitExFn initEx = nullptr;
    oit::DAOpenDocumentFn openDocument = nullptr;
    oit::DASetOptionFn setOption = nullptr;
  };

  bool ResolveEntryPoints();
  void CloseFulltext();
  bool FulltextRead(bool resuming, std::int64_t piece);

  platform::Library da_;
  platform::Library ta_;
  EntryPoints api_;
  platform::Mutex fulltextLock_;  // guards fulltext_
  FulltextDocument fulltext_;
};

// A document's extracted text as a byte source for the chunked reader. The
// document and its text are opened by the first read (a failure to open is
// a failed read) and closed when the source goes. Outside In reads pieces of
// up to oit::kReadBufferBytes: a reader that asks for at least that much
// gets them straight into its buffer, a smaller request is served from a
// piece kept here. stopRequested, when given, is asked before every read
// after the first; true fails the read.
class OutsideInTextSource final : public ByteSource {
 public:
  OutsideInTextSource(const OutsideInLibraries& libraries, std::u16string name,
                      std::function<bool()> stopRequested = {});
  ~OutsideInTextSource() override;
  OutsideInTextSource(const OutsideInTextSource&) = delete;
  OutsideInTextSource& operator=(const OutsideInTextSource&) = delete;

  std::int64_t Read(char* buffer, std::size_t n) override;

 private:
  std::int64_t Serve(char* buffer, std::size_t n);

  const OutsideInLibraries& libraries_;
  std::u16string name_;
  std::function<bool()> stopRequested_;
  OutsideInText text_;
  bool opened_ = false;
  bool ended_ = false;
  std::unique_ptr<char[]> piece_;   // a piece read for a smaller request
  std::size_t pieceFrom_ = 0;
  std::size_t pieceEnd_ = 0;
};

}  // namespace qm::plugin
