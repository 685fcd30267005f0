#include "plugin/evaluation/evaluation_state.h"

namespace qm::plugin {

std::uint32_t OffsetDigitsFor(std::uint64_t size) {
  std::uint32_t decimal = 1;
  for (std::uint64_t v = size; v >= 10; v /= 10) ++decimal;
  std::uint32_t hex = 1;
  for (std::uint64_t v = size; v >= 16; v /= 16) ++hex;
  hex += hex & 1;
  if (hex < 2) hex = 2;
  return (hex << 16) | decimal;
}

}  // namespace qm::plugin
