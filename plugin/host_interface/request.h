// The plugin's answers to the host: the field table and the value request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "plugin/config/plugin_state.h"
#include "plugin/content/encoding.h"
#include "plugin/evaluation/matcher.h"

namespace qm::plugin {

// ContentGetSupportedField: the name, units and answer type of one field.
// Indices from kFirstCompareIndex name the compare fields. Out-of-range indices answer
// ft_nomorefields. Names and units are cut to maxlen - 1 bytes.
int GetSupportedField(const PluginState& state, int fieldIndex, char* fieldName, char* units,
                      int maxlen);

// One value request (ContentGetValue with ansiName, ContentGetValueW with
// wideName; exactly one is set). Returns the host answer code; writes at most
// maxlen bytes into fieldValue. withoutFilter is set only when the request is
// repeated without its text filter (after the filter failed).
int RequestValue(PluginState& state, const char* ansiName, const char16_t* wideName,
                 int fieldIndex, int unitIndex, void* fieldValue, int maxlen, int flags,
                 bool withoutFilter);

// ---------------------------------------------------------------------------
// Steps a value request shares with QuarrymarkGetFieldText (field_text.cpp),
// in the order both take them.
// ---------------------------------------------------------------------------

// The name file calls use: the host's name (exactly one of ansiName and
// wideName is set), or for a long wide name its long-path form, kept alive
// here. On POSIX a wide name becomes the file system's bytes once, here,
// not once for every call that uses it.
class AccessName {
 public:
  AccessName(const char* ansiName, const char16_t* wideName, std::size_t wideLength);
  AccessName(const AccessName&) = delete;
  AccessName& operator=(const AccessName&) = delete;

  platform::FileName name;
  // The wide form of the name (the long-path form where there is one);
  // null for an ANSI request.
  const char16_t* Wide() const { return wide_; }

 private:
  const char16_t* wide_ = nullptr;
  std::u16string longPath_;
  std::string bytes_;
};

// The file's attributes, size and time; false unless it is a regular file
// (a missing file, a folder, a FIFO or a device is never read).
bool QueryRegularFile(const platform::FileName& name, platform::FileInfo* info);

// Whether the field's content may come from a text filter: it runs its
// expression, its filter flag is on, filters are configured and this is
// not the repeat without filters. The filter is then the one
// FindFilterForName gives for the name.
bool MayFilter(const PluginState& st, const FieldDefinition& field, bool withoutFilter);

// False when the field reads only the encoding sample (a filtered file is
// always read whole).
bool ReadsWholeContent(const FieldDefinition& field, const FilterChoice* filter);

// True when the content is not read: the size is unknown, or beyond
// GlobalFileSizeLimit for a field that runs its expression over more than
// the sample.
bool BeyondSizeLimit(const PluginSettings& settings, const FieldDefinition& field,
                     std::int64_t size, bool wholeContent);

// The file opened for reading, its encoding sample and where its content
// starts (in units, after a byte-order mark).
struct OpenedFile {
  platform::File file;
  EncodingSample sample;
  std::uint32_t startUnits = 0;
};

// Opens the file and decides its encoding, or for filtered text (never
// opened here) takes UTF-16; then sets what the matcher must validate
// itself (state.utfCheckPending). The open trusts the kind found by the
// attribute query and never waits on what may have replaced the file since.
// False when the file cannot be opened or sampled.
bool OpenContent(const platform::FileName& name, std::int64_t size, bool filtered,
                 bool wholeContent, const PluginSettings& settings, EvaluationState& state,
                 OpenedFile* opened);

// How a file above the always-whole size is read.
enum class LargeRead {
  kByBudget,            // whole within the read budget, in chunks of the budget beyond
  kLineChunks,          // chunks of at most kLineChunkMegabytes (the cuts change nothing)
  kMappedOrLineChunks,  // matched whole from a read-only mapping, else as kLineChunks
};

// Hands the opened file's content to consumer: the sample alone when it is
// all there is or sampleOnly, a whole read up to the always-whole size,
// then as `large` says. Closes the file. False on a read error.
bool ReadContent(OpenedFile& opened, std::int64_t size, EvaluationState& state, bool sampleOnly,
                 LargeRead large, const TextConsumer& consumer, const PluginSettings& settings);

}  // namespace qm::plugin
