// The Outside In entry points the plugin resolves, as the plugin calls them.
//
// Only the calls, the arguments passed and the result codes below are relied
// on. Handles are received in pointer-sized variables that start at 0, so a
// library that fills only 32 bits of one still gives the right value.
#pragma once

#include <cstdint>

namespace qm::plugin::oit {

using Handle = std::uintptr_t;  // document or text handle; 0 = none

inline constexpr std::int32_t kSuccess = 0;       // also: a read call has more text
inline constexpr std::int32_t kEndOfText = 31;    // a read call gave the last piece
inline constexpr std::uint32_t kUnknownFormat = 1999;
inline constexpr std::uint32_t kReadBufferBytes = 32768;
inline constexpr std::int32_t kPathTypeWide = 4;  // DAOpenDocument's path type for a UTF-16 name

using DAInitExFn = std::int32_t (*)(std::int32_t threadMode, std::int32_t options);
using DASetOptionFn = std::int32_t (*)(Handle handle, std::int32_t option, const void* value,
                                       std::uint32_t size);
using DAOpenDocumentFn = std::int32_t (*)(Handle* document, std::int32_t pathType, const void* path,
                                          std::uint32_t flags);
using DAGetFileIdExFn = std::int32_t (*)(Handle document, std::uint32_t* formatId,
                                         std::uint32_t flags);
using DACloseDocumentFn = std::int32_t (*)(Handle document);
using DADeInitFn = std::int32_t (*)();
using TAOpenTextFn = std::int32_t (*)(Handle document, Handle* text);
using TAReadFn = std::int32_t (*)(Handle text, void* buffer, std::uint32_t size,
                                  std::uint32_t* count);
using TACloseTextFn = std::int32_t (*)(Handle text);
using UnusedFn = void (*)();

// The fifteen names, in the order they are resolved: the text-access ones
// from the text-access library, the rest from the content-access library.
inline constexpr const char* kTextAccessNames[] = {"TAOpenText", "TACloseText", "TAReadFirst",
                                                   "TAReadNext"};
inline constexpr const char* kContentAccessNames[] = {
    "DACloseDocument", "DACloseTreeRecord", "DADeInit",      "DAGetErrorString",
    "DAGetFileIdEx",   "DAGetTreeCount",    "DAGetTreeRecord", "DAInitEx",
    "DAOpenDocument",  "DAOpenTreeRecord",  "DASetOption"};

}  // namespace qm::plugin::oit
