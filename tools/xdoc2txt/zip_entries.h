// The entries of a zip archive (libzip), inflated piece by piece within the
// zip-bomb limits.
#pragma once

#include <zip.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "readers.h"

namespace qm::xdoc {

class Zip {
 public:
  Zip(const std::string& path, const Limits& limits) : limits_(limits) {
    int error = 0;
    archive_ = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  }
  ~Zip() {
    if (archive_ != nullptr) zip_discard(archive_);
  }
  Zip(const Zip&) = delete;
  Zip& operator=(const Zip&) = delete;

  bool Ok() const { return archive_ != nullptr; }
  bool Has(const std::string& name) const { return zip_name_locate(archive_, name.c_str(), 0) >= 0; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    const zip_int64_t n = zip_get_num_entries(archive_, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
      if (const char* name = zip_get_name(archive_, static_cast<zip_uint64_t>(i), 0)) names.push_back(name);
    }
    return names;
  }

  // Hands the entry's inflated bytes to piece, in order. False when there
  // is no such entry. An entry that declares, or turns out to have, more
  // bytes than the limits allow throws PastLimits before those bytes are
  // handed on; a damaged one throws Unreadable.
  bool Stream(const std::string& name, const std::function<void(const char*, std::size_t)>& piece);


  // A small entry whole (at most max bytes); false when missing or larger.
  bool ReadSmall(const std::string& name, std::size_t max, std::string* out);

 private:
  zip_t* archive_ = nullptr;
  const Limits& limits_;
  std::uint64_t inflated_ = 0;  // over all entries read
};


// Entries named prefix + number + suffix, in number order.
std::vector<std::string> NumberedEntries(const Zip& zip, const std::string& prefix, const std::string& suffix);


}  // namespace qm::xdoc
