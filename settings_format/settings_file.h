// Reading the settings file's bytes: one procedure for the plugin's loader
// and the settings utility, so that both read a file the same way and the
// utility can tell why a file cannot be used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace qm::settings {

enum class SettingsFileProblem : std::uint8_t {
  kNone,
  kMissing,         // no such file
  kNotRegularFile,  // a folder, a FIFO, a device
  kTooLarge,        // above kMaxSettingsFileBytes
  kUnreadable,      // open or read failed: systemMessage tells why
};

struct SettingsText {
  // The text as both deliverables parse it. INI parsing ends at a NUL byte,
  // so NUL bytes are left out here (and nulLine tells where the first was):
  // what follows a NUL byte is read, not silently dropped.
  std::string text;
  SettingsFileProblem problem = SettingsFileProblem::kNone;
  std::uint64_t size = 0;     // the file's size, when it could be queried
  std::string systemMessage;  // kUnreadable: the system's message
  std::size_t nulLine = 0;    // first line (from 1) holding a NUL byte; 0: none

  bool Usable() const { return problem == SettingsFileProblem::kNone; }
};

// Reads the settings file. Never throws for file errors; a file that cannot
// be used has its problem set and empty text.
SettingsText ReadSettingsText(const platform::FileName& name);

// Why the file cannot be used, in words ("not a regular file", "larger than
// the limit of 5242880 bytes (N bytes)", "cannot be read: MESSAGE"); empty
// for a usable file.
std::string DescribeProblem(const SettingsText& text);

// Leaves out NUL bytes; returns the line (from 1) of the first, or 0.
std::size_t RemoveNulBytes(std::string* text);

}  // namespace qm::settings
