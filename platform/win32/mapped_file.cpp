// Mapped files on Windows: not used; files are read into buffers.
//
// A view whose file lives on a network share or a removable drive raises
// EXCEPTION_IN_PAGE_ERROR when a page cannot be delivered, and there is no
// way to replace that page and carry on as the POSIX guard does (a view
// cannot be partly remapped, and these compilers have no structured
// exception handling around the matcher). An exception there would end the
// host, which a copy into a buffer never risks, so Map always declines.
#include "platform/mapped_file.h"

namespace qm::platform {

bool MappedFile::Map(const File&, std::uint64_t) { return false; }

void MappedFile::Unmap() {
  data_ = nullptr;
  size_ = mapped_ = 0;
  slot_ = -1;
}

bool MappedFile::Faulted() const { return false; }

}  // namespace qm::platform
