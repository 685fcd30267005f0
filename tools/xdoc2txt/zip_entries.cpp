// Zip entries: the limits against zip bombs, checked on the declared sizes
// before inflating and on the bytes as they come.
#include "zip_entries.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "reading.h"

namespace qm::xdoc {

bool Zip::Stream(const std::string& name, const std::function<void(const char*, std::size_t)>& piece) {
  zip_stat_t st;
  if (zip_stat(archive_, name.c_str(), 0, &st) != 0) return false;
  if ((st.valid & ZIP_STAT_SIZE) == 0 || (st.valid & ZIP_STAT_COMP_SIZE) == 0) throw Unreadable();
  // The declared size is checked first, so that a bomb is refused
  // without inflating it; the count below holds a lying one to it.
  const std::uint64_t allowed = std::min(limits_.maxEntryBytes, limits_.maxArchiveBytes - std::min(limits_.maxArchiveBytes, inflated_));
  if (st.size > allowed) throw PastLimits();
  if (st.size > limits_.ratioGraceBytes && st.size / limits_.maxRatio > st.comp_size) throw PastLimits();
  zip_file_t* f = zip_fopen(archive_, name.c_str(), 0);
  if (f == nullptr) throw Unreadable();
  std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> owner(f, zip_fclose);
  std::vector<char> buffer(kPiece);
  std::uint64_t total = 0;
  for (;;) {
    const zip_int64_t got = zip_fread(f, buffer.data(), buffer.size());
    if (got < 0) throw Unreadable();
    if (got == 0) break;
    total += static_cast<std::uint64_t>(got);
    inflated_ += static_cast<std::uint64_t>(got);
    if (total > st.size) throw PastLimits();
    piece(buffer.data(), static_cast<std::size_t>(got));
  }
  if (total != st.size) throw Unreadable();
  return true;
}

bool Zip::ReadSmall(const std::string& name, std::size_t max, std::string* out) {
  zip_stat_t st;
  if (zip_stat(archive_, name.c_str(), 0, &st) != 0 || (st.valid & ZIP_STAT_SIZE) == 0 || st.size > max) {
    return false;
  }
  out->clear();
  return Stream(name, [&](const char* p, std::size_t n) { out->append(p, n); });
}

std::vector<std::string> NumberedEntries(const Zip& zip, const std::string& prefix, const std::string& suffix) {
  std::vector<std::pair<long, std::string>> found;
  for (const std::string& name : zip.Names()) {
    if (name.size() <= prefix.size() + suffix.size() || !StartsWith(name, prefix) || !EndsWith(name, suffix)) continue;
    const std::string number = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (number.size() > 9 ||
        !std::all_of(number.begin(), number.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
      continue;
    }
    found.emplace_back(std::strtol(number.c_str(), nullptr, 10), name);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& f : found) names.push_back(f.second);
  return names;
}

}  // namespace qm::xdoc
