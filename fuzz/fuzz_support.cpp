#include "fuzz/fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"
#include "plugin/config/loader.h"
#include "plugin/host_interface/request.h"

namespace qm::fuzz {

const std::string& WorkFolder() {
  static const std::string folder = [] {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/qm-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    return pattern + "/";
  }();
  return folder;
}

std::string WriteWorkFile(const std::string& name, const void* bytes, std::size_t size) {
  const std::string path = WorkFolder() + name;
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) abort();
  if (size > 0 && std::fwrite(bytes, 1, size, file) != size) abort();
  std::fclose(file);
  return path;
}

std::unique_ptr<plugin::PluginState> LoadState(const std::string& settingsText) {
  WriteWorkFile("Quarrymark.ini", settingsText.data(), settingsText.size());
  auto state = std::make_unique<plugin::PluginState>();
  state->modulePath = platform::FileNameBytesToWide(WorkFolder() + "Quarrymark.wdx");
  plugin::LoadConfiguration(*state, 2, 11);
  return state;
}

void ListFields(const plugin::PluginState& state) {
  char name[260];
  char units[520];
  for (const int base : {0, 10000}) {
    for (int index = base;; ++index) {
      if (plugin::GetSupportedField(state, index, name, units, sizeof name) == 0) break;
    }
  }
}

}  // namespace qm::fuzz
