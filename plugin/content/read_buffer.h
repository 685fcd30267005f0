// Buffers for content read beyond the encoding sample (whole files and
// chunks), kept from one request to the next.
//
// Memory fresh from the system is faulted in page by page as a read fills
// it, which for a file of hundreds of megabytes costs more than the read
// itself. So a request borrows its buffer from a small process-wide pool and
// gives it back when it ends; the next request, on whichever thread, reads
// into pages that are already there. The pool keeps a few buffers, each no
// larger than one request's read budget, and offers the pages of every
// large buffer given back to the system (it takes them only when memory
// runs short).
#pragma once

#include <cstddef>

namespace qm::plugin {

// How many given-back buffers the pool keeps (enough for a host's
// foreground and background threads and a few workers).
inline constexpr std::size_t kKeptReadBuffers = 4;

// One request's borrowed buffer. Not copyable; gives the buffer back when it
// goes.
class ReadBuffer {
 public:
  ReadBuffer() = default;
  ~ReadBuffer();
  ReadBuffer(const ReadBuffer&) = delete;
  ReadBuffer& operator=(const ReadBuffer&) = delete;

  // Room for at least bytes, or null when the memory cannot be had (a
  // content allocation limit set for tests applies). What the buffer held
  // before is not kept. Only the first bytes may be used.
  char* Reserve(std::size_t bytes);
  // Room for bytes with the content kept, when the buffer has it already;
  // null (and nothing changed) otherwise.
  char* Extend(std::size_t bytes);
  // Gives the buffer back now (Reserve may borrow one again).
  void Release() { GiveBack(); }

 private:
  void GiveBack();
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
};

// The number of buffers the pool keeps now, and a way to free them (for
// tests, which need a known start).
std::size_t KeptReadBufferCount();
void ReleaseKeptReadBuffers();

}  // namespace qm::plugin
