// The figures tests put in place of the system's (platform.h, "Test hooks"),
// read by both backends. Internal to the platform layer.
#pragma once

#include <cstdint>

namespace qm::platform::detail {

// 0 when no test has replaced the system's figure.
std::uint32_t TestAnsiCodePage();
std::uint32_t TestOemCodePage();
std::uint64_t TestFreePhysicalMemory();

}  // namespace qm::platform::detail
