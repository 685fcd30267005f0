// The fake Outside In libraries' export macro and their test-only entry
// points (exported by the content-access fake; the text-access fake forwards
// to them, so that one library keeps all the state).
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#define FAKE_OIT_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_OIT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using FakeHandle = std::uintptr_t;

// Test-only: the calls received so far, one line each ("Name arg arg ..."),
// and the number of document and text handles still open.
FAKE_OIT_EXPORT const char* FakeOitCalls();
FAKE_OIT_EXPORT int FakeOitOpenHandles();
FAKE_OIT_EXPORT void FakeOitReset();

// Used by the text-access fake.
FAKE_OIT_EXPORT std::int32_t FakeOitOpenText(FakeHandle document, FakeHandle* text);
FAKE_OIT_EXPORT std::int32_t FakeOitRead(FakeHandle text, void* buffer, std::uint32_t size,
                                         std::uint32_t* count, int first);
FAKE_OIT_EXPORT std::int32_t FakeOitCloseText(FakeHandle text);
