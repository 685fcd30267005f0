// A stand-in for the text-access library, for the tests only: it forwards to
// the content-access fake, which it finds beside itself as a dependency.
#include "fake_oit.h"

FAKE_OIT_EXPORT std::int32_t TAOpenText(FakeHandle document, FakeHandle* text) {
  return FakeOitOpenText(document, text);
}
FAKE_OIT_EXPORT std::int32_t TAReadFirst(FakeHandle text, void* buffer, std::uint32_t size,
                                         std::uint32_t* count) {
  return FakeOitRead(text, buffer, size, count, 1);
}
FAKE_OIT_EXPORT std::int32_t TAReadNext(FakeHandle text, void* buffer, std::uint32_t size,
                                        std::uint32_t* count) {
  return FakeOitRead(text, buffer, size, count, 0);
}
FAKE_OIT_EXPORT std::int32_t TACloseText(FakeHandle text) { return FakeOitCloseText(text); }
