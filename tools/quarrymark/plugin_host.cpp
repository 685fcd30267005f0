// Loading a content plugin and calling its exports.
#include "tools/quarrymark/plugin_host.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace qm::host {
namespace {

std::string WideToUtf8(const char16_t* units, std::size_t n) {
  std::string out;
  platform::AppendNarrow(platform::kCodePageUtf8, units, n, &out);
  return out;
}

std::size_t WideLength(const char16_t* text, std::size_t max) {
  std::size_t n = 0;
  while (n < max && text[n] != 0) ++n;
  return n;
}

}  // namespace

std::string PluginHost::NarrowToUtf8(const std::string& narrow) {
  std::u16string wide;
  platform::AppendWide(platform::AnsiCodePage(), narrow.data(), narrow.size(), &wide);
  return WideToUtf8(wide.data(), wide.size());
}

std::u16string PluginHost::ArgumentToWide(const std::string& argument) {
  // Command-line arguments are ANSI text on Windows; on POSIX they are file
  // system bytes, mapped losslessly whether or not they are UTF-8.
#ifdef _WIN32
  std::u16string wide;
  platform::AppendWide(platform::AnsiCodePage(), argument.data(), argument.size(), &wide);
  return wide;
#else
  return platform::FileNameBytesToWide(argument);
#endif
}

bool PluginHost::Load(const std::string& path, std::uint32_t versionHi, std::uint32_t versionLow,
                      std::string* error) {
  std::string reason;
  library_ = platform::Library::Open(ArgumentToWide(path), &reason);
  if (!library_.IsOpen()) {
    *error = "cannot load the plugin " + path + ": " + reason;
    return false;
  }
  const auto find = [&](const char* name, auto* slot) {
    *slot = reinterpret_cast<std::remove_pointer_t<decltype(slot)>>(library_.Symbol(name));
    if (*slot == nullptr) *error = "the plugin " + path + " has no export " + name;
    return *slot != nullptr;
  };
  if (!find("ContentGetSupportedField", &getSupportedField_) ||
      !find("ContentGetValue", &getValue_) || !find("ContentGetValueW", &getValueW_) ||
      !find("ContentStopGetValueW", &stopW_) ||
      !find("ContentSendStateInformationW", &stateW_) ||
      !find("ContentSetDefaultParams", &setDefaultParams_)) {
    return false;
  }
  compareW_ = reinterpret_cast<decltype(compareW_)>(library_.Symbol("ContentCompareFilesW"));
  fieldText_ = reinterpret_cast<decltype(fieldText_)>(library_.Symbol("QuarrymarkGetFieldText"));
  ContentDefaultParamStruct params{};
  params.size = sizeof params;
  params.PluginInterfaceVersionHi = versionHi;
  params.PluginInterfaceVersionLow = versionLow;
  std::strncpy(params.DefaultIniName, "quarrymark-host.ini", sizeof params.DefaultIniName - 1);
  setDefaultParams_(&params);
  return true;
}

std::vector<FieldInfo> PluginHost::Fields() const {
  std::vector<FieldInfo> fields;
  for (const int base : {0, 10000}) {
    for (int index = base;; ++index) {
      char name[1024] = {};
      char units[1024] = {};
      const int type = getSupportedField_(index, name, units, sizeof name);
      if (type == ft_nomorefields) break;
      fields.push_back(FieldInfo{index, NarrowToUtf8(name), type, NarrowToUtf8(units)});
    }
  }
  return fields;
}

namespace {
constexpr std::size_t kKeptBufferBytes = 64 * 1024;
}  // namespace

Value PluginHost::GetValue(const std::string& file, int field, int unit, int maxlen, int flags,
                           bool ansi) const {
  // The buffer is larger than maxlen so that a plugin writing beyond it
  // would be seen (the guard bytes must stay untouched). Within maxlen it
  // starts zeroed, so that what is read back is only what the plugin wrote.
  // A thread keeps the storage of a buffer of the common sizes: a folder's
  // rows ask thousands of times.
  const std::size_t size = static_cast<std::size_t>(maxlen > 0 ? maxlen : 0);
  thread_local std::vector<unsigned char> kept;
  std::vector<unsigned char> own;
  std::vector<unsigned char>& buffer = size <= kKeptBufferBytes ? kept : own;
  buffer.assign(size + 16, 0);
  std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(size), buffer.end(), 0xA5);
  std::u16string wide;
  std::string narrow;
  Value value;
  if (ansi) {
    narrow = file;
    value.code = getValue_(narrow.data(), field, unit, buffer.data(), maxlen, flags);
  } else {
    wide = ArgumentToWide(file);
    value.code = getValueW_(reinterpret_cast<QmWideChar*>(wide.data()), field, unit, buffer.data(),
                            maxlen, flags);
  }
  for (std::size_t i = size; i < buffer.size(); ++i) {
    if (buffer[i] != 0xA5) {
      value.code = -100;
      value.text = "plugin wrote beyond maxlen";
      return value;
    }
  }
  buffer.resize(size + 2);  // the guard area becomes terminators for reading
  buffer[size] = buffer[size + 1] = 0;
  const auto narrowText = [&](std::size_t at) {
    if (at >= size) return std::string();
    return NarrowToUtf8(std::string(reinterpret_cast<const char*>(buffer.data() + at)));
  };
  const auto wideText = [&](std::size_t at) {
    if (at >= size) return std::string();
    std::u16string w;
    for (std::size_t i = at; i + 1 < buffer.size(); i += 2) {
      const auto u = static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8));
      if (u == 0) break;
      w += u;
    }
    return WideToUtf8(w.data(), WideLength(w.data(), w.size()));
  };
  std::int32_t integer = 0;
  std::memcpy(&integer, buffer.data(), size >= 4 ? 4 : 0);
  switch (value.code) {
    case ft_numeric_32:
    case ft_boolean:
      value.text = std::to_string(integer);
      value.number = integer;
      break;
    case ft_numeric_floating:
      value.text = ansi ? narrowText(8) : wideText(8);
      if (size >= 8) std::memcpy(&value.number, buffer.data(), 8);
      break;
    case ft_multiplechoice:
    case ft_string: value.text = narrowText(0); break;
    case ft_stringw: value.text = wideText(0); break;
    case ft_delayed:
    case ft_ondemand: value.text = ansi ? narrowText(0) : wideText(0); break;
    default: break;
  }
  return value;
}

int PluginHost::GetWideText(const std::string& file, int field, int unit, int maxlen,
                            std::u16string* text) const {
  const std::size_t size = static_cast<std::size_t>(maxlen > 0 ? maxlen : 0);
  std::vector<unsigned char> buffer(size + 16, 0xA5);
  std::u16string wide = ArgumentToWide(file);
  const int code = getValueW_(reinterpret_cast<QmWideChar*>(wide.data()), field, unit, buffer.data(),
                              maxlen, 0);
  for (std::size_t i = size; i < buffer.size(); ++i) {
    if (buffer[i] != 0xA5) return -100;
  }
  text->clear();
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto u = static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8));
    if (u == 0) break;
    *text += u;
  }
  return code;
}

void PluginHost::Stop(const std::string& file) const {
  std::u16string wide = ArgumentToWide(file);
  stopW_(reinterpret_cast<QmWideChar*>(wide.data()));
}

int PluginHost::Compare(const std::string& file1, const std::string& file2, int compareIndex,
                        ProgressCallbackProc progress) const {
  if (compareW_ == nullptr) return contentcompare_unsupported;
  std::u16string wide1 = ArgumentToWide(file1);
  std::u16string wide2 = ArgumentToWide(file2);
  FileDetailsStruct details{};  // hosts pass it; the plugin does not need it
  return compareW_(progress, compareIndex, reinterpret_cast<QmWideChar*>(wide1.data()),
                   reinterpret_cast<QmWideChar*>(wide2.data()), &details);
}

namespace {
using PieceFunction = std::function<bool(const char16_t*, std::size_t)>;
int QM_CALL OnTextPiece(const QmWideChar* text, int length, void* context) {
  try {
    const auto& piece = *static_cast<const PieceFunction*>(context);
    return piece(reinterpret_cast<const char16_t*>(text), static_cast<std::size_t>(length)) ? 0 : 1;
  } catch (...) {
    return 1;  // nothing may cross back into the plugin
  }
}
}  // namespace

int PluginHost::FieldText(const std::string& file, int field, const PieceFunction& piece,
                          bool* exported) const {
  *exported = fieldText_ != nullptr;
  if (fieldText_ == nullptr) return ft_nosuchfield;
  std::u16string wide = ArgumentToWide(file);
  return fieldText_(reinterpret_cast<QmWideChar*>(wide.data()), field, OnTextPiece,
                    const_cast<PieceFunction*>(&piece));
}

void PluginHost::Refresh() const {
  std::u16string path = u".";
  stateW_(CONTST_REFRESHPRESSED, reinterpret_cast<QmWideChar*>(path.data()));
}

}  // namespace qm::host
