// The settings utility's persistent state and the settings file it lives in.
//
// Divisions: finding the file (LocateSettingsFile); UtilitySettings, the
// record of everything loaded; LoadSettings and SaveSettings; the safe file
// replacement underneath saving (ReplaceFileContents).
//
// One SimpleIni document is loaded per UtilitySettings and kept for its whole
// life. Saving only sets and deletes the keys the utility owns in that
// document and writes the document out again, so sections, keys and comments
// the utility does not know survive every save.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "config_utility/model/font_setting.h"
#include "config_utility/model/settings_block.h"
#include "platform/platform.h"
#include "settings_format/ini_document.h"

namespace qm::utility {

// Which help pane was open (the "HelpW" value).
enum class HelpPaneState : std::uint8_t { kNone = 0, kRegex = 1, kReplace = 2 };

// ---------------------------------------------------------------------------
// Finding the file
// ---------------------------------------------------------------------------

// The folder of the running program with its trailing separator, or empty
// when the program path cannot be obtained.
std::u16string ProgramFolder();

// "Quarrymark.ini" in the folder, or "Quarrymark.Sample.ini" when the first
// is missing or is a directory; empty when neither exists (or the folder is
// empty). The folder must end with a separator. Paths longer than 259
// characters are given in the extended-length form where the system has one.
std::u16string LocateSettingsFile(const std::u16string& folder);

// ---------------------------------------------------------------------------
// UtilitySettings
// ---------------------------------------------------------------------------
struct UtilitySettings {
  UtilitySettings();
  UtilitySettings(const UtilitySettings&) = delete;
  UtilitySettings& operator=(const UtilitySettings&) = delete;

  SettingsBlock current;   // what the dialog edits
  SettingsBlock snapshot;  // as loaded, or as last written by Apply

  std::int32_t lastField = settings::kLastField.defaultValue;  // 0..998
  std::int32_t coordX = settings::kCoordX.defaultValue;        // kNoStoredPosition: unset
  std::int32_t coordY = settings::kCoordY.defaultValue;
  HelpPaneState helpW = HelpPaneState::kNone;
  std::u16string testString;  // the expression-test text; the sample text by default
  FontStyle font;              // no face name: the standard font

  // The loaded document and the path it came from (saves go there).
  std::unique_ptr<settings::IniDocument> document;
  std::u16string path;

  // Why the last LoadSettings failed, in words (empty after a success).
  std::string loadProblem;
  // The first line (from 1) of the loaded file that held a NUL byte, 0 for
  // none. Such bytes cannot be kept in the document, so saving is refused
  // rather than writing the file without them.
  std::size_t nulLine = 0;
};

// Tells whether a font of the given face (and character set) exists on the
// screen. The dialog supplies one; without it every face counts as present.
using FontFaceCheck = std::function<bool(const FontStyle&)>;

// Loads the file at path into a fresh document and fills the current block,
// the snapshot and the [QuarrymarkConfig] state. The file is read as the
// plugin reads it (NUL bytes left out, see settings_file.h). False when the
// path is empty, the file is not a regular file, cannot be opened or read,
// is larger than 5 MiB, or the text cannot be parsed; the record is then
// left with its defaults and an empty document, and loadProblem says why.
bool LoadSettings(const std::u16string& path, UtilitySettings* settings,
                  const FontFaceCheck& fontExists = nullptr);

// Writes the record back into the file it came from. With ownSectionOnly
// (Cancel) only the [QuarrymarkConfig] keys are updated, and the file is not
// touched when none of them changed. Without it (OK, Apply) the global
// options, all 999 field slots and the filter list are put into the document
// first. True on success. On failure the file is left as it was; the
// document keeps the new values, so a later successful save writes them.
// A file that held a NUL byte is never written (SaveRefusal says why).
bool SaveSettings(UtilitySettings* settings, bool ownSectionOnly);

// Why SaveSettings will not write the loaded file, in words naming the line
// ("line N holds a NUL byte ..."); empty when it may.
std::string SaveRefusal(const UtilitySettings& settings);

// The document's text as a save writes it: UTF-8 with the byte order mark,
// key=value without blanks, lines ending in CR LF. Empty on failure.
std::string SerializeDocument(settings::IniDocument* document);

// ---------------------------------------------------------------------------
// Safe replacement of a file's contents
// ---------------------------------------------------------------------------

// Gives the file the bytes as its new content, never leaving it cut short.
// A symbolic link (relative, absolute or dangling) stays a link: the file it
// names gets the content. That file is replaced by a new file written in its
// own folder once every byte is written, with the old file's owner, group
// and permissions where the system allows; a file with other hard links, or
// one whose folder allows no new file (a writable file in a read-only
// folder), is instead rewritten in place after a durable copy of its old
// content is made (beside it, or else in the temporary folder), and the old
// content is written back when the write fails. Fails
// without changing the content when the file cannot be opened for writing
// (write protection, access rights), no temporary file can be created, a
// write fails or the replacement fails; temporary files are removed on every
// failure. writeForTesting replaces the write of the bytes (tests make it
// fail part-way).
using FileWriter = std::function<bool(platform::File&, std::string_view)>;
bool ReplaceFileContents(const std::u16string& target, std::string_view bytes,
                         const FileWriter& writeForTesting = nullptr);

}  // namespace qm::utility
