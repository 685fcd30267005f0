// The encoding decision over any bytes, with the first byte choosing the
// sample size (so that the sample's end falls inside sequences and pairs).
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/platform.h"
#include "plugin/content/encoding.h"
#include "plugin/evaluation/evaluation_state.h"
#include "plugin/evaluation/plugin_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  qm::plugin::PluginSettings settings;
  settings.analyzeBuffer = 1u + data[0];
  const std::string path = qm::fuzz::WriteWorkFile("sample.bin", data + 1, size - 1);
  qm::platform::FileName name;
  name.narrow = path.c_str();
  qm::platform::File file = qm::platform::OpenFile(name, qm::platform::OpenMode::kReadShared);
  if (!file.IsOpen()) return 0;
  qm::plugin::EvaluationState state;
  qm::plugin::EncodingSample sample;
  std::uint32_t bomLength = 0;
  qm::plugin::ReadEncodingSample(static_cast<std::int64_t>(size - 1), &bomLength, file, state,
                                 &sample, settings);
  return 0;
}
