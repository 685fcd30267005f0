// A read-only view of a whole open file, so that large content is matched
// where the system keeps it instead of being copied into a buffer first.
//
// A view is followed by at least two zero bytes (the rest of its last page),
// so text in it carries the terminator the readers put behind every buffer.
// A file that shrinks or fails to read while it is mapped cannot fault the
// host: the pages that cannot be read become zero pages and the view reports
// Faulted(), which voids whatever was computed from it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace qm::platform {

class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile() { Unmap(); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps the first size bytes of an open regular file. False, with nothing
  // mapped, when this system does not map files here, when size is 0 or
  // leaves fewer than two bytes of its last page, or when the mapping fails:
  // the caller then reads the file instead. The file may be closed once
  // this returns.
  bool Map(const File& file, std::uint64_t size);
  void Unmap();

  const char* Data() const { return data_; }
  std::size_t Size() const { return size_; }
  // True when part of the view could not be read since Map (the file
  // shrank, or the device failed): what was read from it is not the
  // file's content.
  bool Faulted() const;

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // bytes of address space taken (whole pages)
  int slot_ = -1;           // the fault guard's record of this view
};

}  // namespace qm::platform
