// Random strings that a field's expression accepts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "plugin/evaluation/field_definition.h"
#include "plugin/evaluation/abort_set.h"
#include "plugin/evaluation/evaluation_state.h"
#include "plugin/evaluation/plugin_settings.h"

namespace qm::plugin {

// WELL512a, shared by all requests. Each draw holds the generator's lock, so
// concurrent requests take distinct values of the one sequence (an unlocked
// draw could tear the state and repeat or skip values).
class RandomGenerator {
 public:
  // The fixed start words, each XOR-ed with the next value of a private
  // generator seeded with the given seed (the host's rand() is not touched).
  void Seed(std::uint32_t seed);
  std::uint32_t Next();

 private:
  platform::Mutex mutex_;
  std::uint32_t words_[16] = {};
  std::uint32_t index_ = 0;
};

// 65536 entries, one per UTF-16 unit: 1 where a random string may use it.
std::vector<std::uint8_t> MakeRandomCharacterTable();

// Appends up to min(state.outputLimit, settings.randomLength) units that the
// field's 16-bit expression each accepts on their own. Stops (keeping what
// was made) when the request's key is in the AbortSet; gives the empty
// string when a position finds no accepted unit in settings.randomLoops draws.
void GenerateRandomString(std::u16string& output, EvaluationState& state,
                          const FieldDefinition& field, const PluginSettings& settings,
                          const std::vector<std::uint8_t>& characterTable,
                          RandomGenerator& generator, const AbortSet& abortSet);

}  // namespace qm::plugin
