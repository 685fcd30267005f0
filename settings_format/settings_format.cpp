// Value parsing and key names of the settings file.
#include "settings_format/settings_format.h"

#include <cctype>
#include <climits>

namespace qm::settings {

std::string FieldKey(int fieldNumber, std::string_view suffix) {
  std::string key = kFieldKeyPrefix;
  key += std::to_string(fieldNumber);
  key += suffix;
  return key;
}

const char* FieldTypeCaption(FieldType type) {
  switch (type) {
    case FieldType::EncodingCheck: return "Encoding check";
    case FieldType::Boolean: return "Boolean";
    case FieldType::Count: return "Count";
    case FieldType::CountIndividual: return "Count individual";
    case FieldType::StringOutput: return "String output";
    case FieldType::FirstMatchStringOutput: return "First match string output";
    case FieldType::RandomString: return "Random string";
    case FieldType::AverageResultLength: return "Average result length";
    case FieldType::FileCompare: return "File compare (sync dirs)";
    case FieldType::OutsideInFulltext:  // made by the plugin, never chosen
    case FieldType::MatchDistanceRatio: return nullptr;  // the utility shows it as Boolean
  }
  return nullptr;
}

const char* FieldFlagCaption(std::uint32_t bit) {
  switch (bit) {
    case flags::OemCodePage: return "OEM(DOS) code page";
    case flags::DisableUnicodeProperties: return "Disable Unicode properties";
    case flags::EmptyMatchesPassThrough: return "Empty matches pass through";
    case flags::EncodingCheckBufferOnly: return "Read encoding check buffer only";
    case flags::DisableTextFilter: return "Disable text filter/converter";
    case flags::CompareCaseInsensitive: return "File compare case in-sensitive";
    case flags::FilenameOnly: return "Search in filename only";
    default: return nullptr;
  }
}

std::optional<long> ParseInteger(std::string_view text) {
  if (text.empty() || text.size() > kMaxNumberTextLength) return std::nullopt;
  int base = 10;
  std::size_t pos = 0;
  bool negative = false;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    pos = 2;
  } else if (text[0] == '-' || text[0] == '+') {
    negative = text[0] == '-';
    pos = 1;
  }
  if (pos == text.size()) return std::nullopt;
  // Accumulate in 64 bits, saturating: the accepted ranges all fit a 32-bit
  // long, and a number beyond it is simply out of range (far above or below
  // any range, which matters to the clamped "regexcount").
  constexpr unsigned long long kSaturated = 0x100000000ull;
  unsigned long long value = 0;
  for (; pos < text.size(); ++pos) {
    const unsigned char c = static_cast<unsigned char>(text[pos]);
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(c)) {
      digit = (c | 0x20) - 'a' + 10;
    } else {
      return std::nullopt;
    }
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (value > kSaturated) value = kSaturated;
  }
  long long signedValue = negative ? -static_cast<long long>(value) : static_cast<long long>(value);
  if (signedValue < INT32_MIN) signedValue = INT32_MIN;
  if (signedValue > INT32_MAX) signedValue = INT32_MAX;
  return static_cast<long>(signedValue);
}

long ReadInteger(const char* text, const IntegerKey& key) {
  if (text == nullptr) return key.defaultValue;
  const std::optional<long> value = ParseInteger(text);
  if (!value || *value < key.minValue || *value > key.maxValue) return key.defaultValue;
  return *value;
}

std::optional<bool> ParseBool(std::string_view text) {
  if (text.empty()) return std::nullopt;
  switch (text[0]) {
    case 't': case 'T': case 'y': case 'Y': case '1': return true;
    case 'f': case 'F': case 'n': case 'N': case '0': return false;
    case 'o': case 'O':
      if (text.size() >= 2) {
        if (text[1] == 'n' || text[1] == 'N') return true;
        if (text[1] == 'f' || text[1] == 'F') return false;
      }
      return std::nullopt;
    default: return std::nullopt;
  }
}

bool ReadBool(const char* text, const BoolKey& key) {
  if (text == nullptr) return key.defaultValue;
  return ParseBool(text).value_or(key.defaultValue);
}

std::string LfToCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace qm::settings
