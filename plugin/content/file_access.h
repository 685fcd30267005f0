// Names, existence, sizes, the read budget and the cache key's file part:
// the small file helpers of the readers, the request and the comparison.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "plugin/evaluation/plugin_settings.h"

namespace qm::plugin {

// Wide names of this many units or more take the long-path form.
inline constexpr std::size_t kLongPathThreshold = 260;

// The extended-length form of a Windows name: "\\?\UNC" + the name without
// its first backslash for a UNC name ("\\server\share"), "\\?\" + the name
// otherwise.
std::u16string LongPathForm(const std::u16string& name);

// The name every file call should use: the long-path form for a wide name of
// 260 or more units where the system has one; the name unchanged otherwise.
std::u16string MakeLongPath(const std::u16string& name);

// True when the name denotes an existing regular file (not a directory, FIFO,
// socket or device). With
// useFind, a find-first on the name decides instead (anything found).
bool FileExists(const platform::FileName& name, bool useFind = false);

// The name part of a path, for filename-only fields: one trailing separator
// (any of the platform's) is dropped, then the part is what follows the last
// separator. False when there is no separator or nothing follows it.
bool NamePart(std::string name, std::string* part);
bool NamePart(std::u16string name, std::u16string* part);

// The 64-bit size from the attribute query, or -1 when it fails. With a key
// it also appends the cache key's file part: the attribute word, the
// last-write time (low, high) and the size (high, low), 4 bytes each,
// little-endian.
std::int64_t QueryFileSize(const platform::FileName& name, std::string* key = nullptr);

// Appends the cache key's file part of an attribute query's answer, as
// QueryFileSize does.
void AppendFileKey(std::string* key, const platform::FileInfo& info);

// Megabytes one request may hold in one buffer: FileMemory (5 to 500) but no
// more than the machine allowance, which is half the free physical memory in
// megabytes (at most 500), or 5 when less than 5 MiB is free.
std::uint32_t ReadBudgetMegabytes(const PluginSettings& settings);

// Appends v as 4 little-endian bytes.
void AppendLe32(std::string* out, std::uint32_t v);

}  // namespace qm::plugin
