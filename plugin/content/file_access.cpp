// Names, existence, sizes, the read budget and the cache key's file part.
#include "plugin/content/file_access.h"

#include <utility>

namespace qm::plugin {

std::u16string LongPathForm(const std::u16string& name) {
  if (name.size() >= 2 && name[0] == u'\\' && name[1] == u'\\') {
    return u"\\\\?\\UNC" + name.substr(1);
  }
  return u"\\\\?\\" + name;
}

std::u16string MakeLongPath(const std::u16string& name) {
  if (!platform::kHasLongPathForm || name.size() < kLongPathThreshold) return name;
  return LongPathForm(name);
}

bool FileExists(const platform::FileName& name, bool useFind) {
  if (useFind) return platform::FindFirstMatches(name);
  platform::FileInfo info;
  return platform::QueryFileInfo(name, &info) && info.IsRegularFile();
}

namespace {

template <typename Char>
bool NamePartOf(std::basic_string<Char> name, std::basic_string<Char>* part) {
  if (name.empty()) return false;
  const auto isSeparator = [](Char c) {
    for (const char* p = platform::kPathSeparatorsNarrow; *p != 0; ++p) {
      if (c == static_cast<Char>(*p)) return true;
    }
    return false;
  };
  if (isSeparator(name.back())) name.pop_back();
  std::size_t cut = std::basic_string<Char>::npos;
  for (std::size_t i = name.size(); i-- > 0;) {
    if (isSeparator(name[i])) {
      cut = i;
      break;
    }
  }
  if (cut == std::basic_string<Char>::npos || cut + 1 >= name.size()) return false;
  *part = name.substr(cut + 1);
  return true;
}

}  // namespace

bool NamePart(std::string name, std::string* part) { return NamePartOf(std::move(name), part); }
bool NamePart(std::u16string name, std::u16string* part) {
  return NamePartOf(std::move(name), part);
}

void AppendLe32(std::string* out, std::uint32_t v) {
  const char bytes[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                         static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
  out->append(bytes, 4);
}

void AppendFileKey(std::string* key, const platform::FileInfo& info) {
  AppendLe32(key, info.attributes);
  AppendLe32(key, info.lastWriteLow);
  AppendLe32(key, info.lastWriteHigh);
  AppendLe32(key, static_cast<std::uint32_t>(info.size >> 32));
  AppendLe32(key, static_cast<std::uint32_t>(info.size));
}

std::int64_t QueryFileSize(const platform::FileName& name, std::string* key) {
  platform::FileInfo info;
  if (!platform::QueryFileInfo(name, &info)) return -1;
  if (key != nullptr) AppendFileKey(key, info);
  return static_cast<std::int64_t>(info.size);
}

std::uint32_t ReadBudgetMegabytes(const PluginSettings& settings) {
  std::int64_t configured = settings.fileMemory;
  if (configured < 5) configured = 5;
  if (configured > 500) configured = 500;
  const std::uint64_t freeBytes = platform::FreePhysicalMemory();
  std::uint64_t machine = freeBytes < 5242880 ? 5 : freeBytes / 2097152;
  if (machine > 500) machine = 500;
  return static_cast<std::uint32_t>(
      static_cast<std::uint64_t>(configured) < machine ? configured : machine);
}

}  // namespace qm::plugin
