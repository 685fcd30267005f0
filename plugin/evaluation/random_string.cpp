// Random strings: WELL512a draws filtered by the character table and by the
// field's expression.
#include "plugin/evaluation/random_string.h"

#include <pcre.h>

#include <mutex>

namespace qm::plugin {
namespace {

constexpr std::uint32_t kStartWords[16] = {
    0xED1276FD, 0x501BEC07, 0x7B5D9D7E, 0xE128F2C3, 0x9063252B, 0x47D5DD0E,
    0x6E8ECFA6, 0xFD7F9F25, 0xDDF55B9E, 0x4E0DC5A6, 0x7D4C9364, 0x7ED93AF7,
    0x1D189017, 0xF0D9BBB8, 0x17F058B8, 0x34064EFB};

struct ExcludedRange {
  std::uint32_t first, last;
};
constexpr ExcludedRange kExcluded[] = {
    {0, 31},         {127, 159},       {688, 879},     {2144, 2207},   {6832, 6911},
    {7296, 7359},    {7616, 7679},     {8400, 8447},   {12256, 12271}, {42752, 42783},
    {43888, 43967},  {55296, 63743},   {65056, 65071}, {65535, 65535}};

// True when the one-unit text is matched non-empty by the field's 16-bit
// expression, following the match loop's rules for empty matches.
bool Accepts(const FieldDefinition& field, char16_t unit) {
  const Program16* program = field.utf16Program.get();
  if (program == nullptr || program->code == nullptr) return false;
  PCRE_SPTR16 text = reinterpret_cast<PCRE_SPTR16>(&unit);
  const int options = static_cast<int>(field.utf16ExecOptions);
  int vector[30];
  int offset = 0;
  while (offset <= 1) {
    int rc = pcre16_exec(program->code, program->study, text, 1, offset, options, vector, 30);
    if (rc < 0) return false;
    if (vector[0] != vector[1]) return true;
    if (vector[0] == 1) return false;  // an empty match at the end ends the search
    rc = pcre16_exec(program->code, program->study, text, 1, vector[0],
                     options | PCRE_NOTEMPTY_ATSTART | PCRE_ANCHORED, vector, 30);
    if (rc >= 0) return vector[0] != vector[1];
    if (rc != PCRE_ERROR_NOMATCH) return false;
    offset += 1;
  }
  return false;
}

}  // namespace

void RandomGenerator::Seed(std::uint32_t seed) {
  // A private linear congruential sequence stands in for the C library's
  // rand(): the host's own generator is neither seeded nor advanced.
  std::lock_guard<platform::Mutex> lock(mutex_);
  std::uint32_t lcg = seed;
  index_ = 0;
  for (int k = 15; k >= 0; --k) {
    lcg = lcg * 1103515245u + 12345u;
    words_[k] = kStartWords[k] ^ ((lcg >> 16) & 0x7FFF);
  }
}

std::uint32_t RandomGenerator::Next() {
  std::lock_guard<platform::Mutex> lock(mutex_);
  std::uint32_t* w = words_;
  const std::uint32_t i = index_;
  std::uint32_t a = w[i];
  std::uint32_t c = w[(i + 13) & 15];
  const std::uint32_t b = a ^ c ^ (a << 16) ^ (c << 15);
  c = w[(i + 9) & 15];
  c ^= c >> 11;
  a = w[i] = b ^ c;
  const std::uint32_t d = a ^ ((a & 0xFED22169u) << 5);
  index_ = (i + 15) & 15;
  a = w[index_];
  w[index_] = a ^ b ^ d ^ (a << 2) ^ (b << 18) ^ (c << 28);
  return w[index_];
}

std::vector<std::uint8_t> MakeRandomCharacterTable() {
  std::vector<std::uint8_t> table(65536, 1);
  for (const ExcludedRange& range : kExcluded) {
    for (std::uint32_t u = range.first; u <= range.last; ++u) table[u] = 0;
  }
  for (const char c : {'"', '*', '/', ':', '<', '>', '?', '\\', '|'}) {
    table[static_cast<unsigned char>(c)] = 0;
  }
  return table;
}

void GenerateRandomString(std::u16string& output, EvaluationState& state,
                          const FieldDefinition& field, const PluginSettings& settings,
                          const std::vector<std::uint8_t>& characterTable,
                          RandomGenerator& generator, const AbortSet& abortSet) {
  const std::uint32_t randomLength = static_cast<std::uint32_t>(settings.randomLength);
  const std::uint32_t length = state.outputLimit < randomLength ? state.outputLimit : randomLength;
  if (characterTable.size() != 65536) return;
  for (std::uint32_t position = 0; position < length; ++position) {
    if (abortSet.Contains(state.requestKey)) {
      state.abortRequested = true;
      return;
    }
    bool accepted = false;
    for (std::uint32_t attempt = 0; attempt < settings.randomLoops && !accepted; ++attempt) {
      char16_t candidate;
      do {
        candidate = static_cast<char16_t>(generator.Next() & 0xFFFF);
      } while (characterTable[candidate] == 0);
      if (Accepts(field, candidate)) {
        output.push_back(candidate);
        state.matchCount = 0;
        accepted = true;
      }
    }
    if (!accepted) {
      output.clear();
      return;
    }
  }
}

}  // namespace qm::plugin
