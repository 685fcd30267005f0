// The settings loader: any bytes as Quarrymark.ini, loaded and listed.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto state =
      qm::fuzz::LoadState(std::string(reinterpret_cast<const char*>(data), size));
  qm::fuzz::ListFields(*state);
  return 0;
}
