#include "support/plugin_loader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace qm::test {
namespace {

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string wide;
  platform::AppendWide(platform::kCodePageUtf8, text.data(), text.size(), &wide);
  return wide;
}

constexpr unsigned char kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 64;

Answer Call(const std::function<int(void*, int)>& call, int maxlen) {
  Answer answer;
  const std::size_t size = maxlen > 0 ? static_cast<std::size_t>(maxlen) : 0;
  std::vector<unsigned char> buffer(size + kGuardBytes, kGuard);
  answer.code = call(buffer.data(), maxlen);
  for (std::size_t i = size; i < buffer.size(); ++i) {
    EXPECT_EQ(buffer[i], kGuard) << "the plugin wrote beyond maxlen " << maxlen << " at byte " << i;
    if (buffer[i] != kGuard) break;
  }
  buffer.resize(size);
  answer.bytes = std::move(buffer);
  return answer;
}

}  // namespace

std::string BuiltPluginPath() { return QM_PLUGIN_PATH; }

std::int32_t Answer::Int() const {
  std::int32_t v = 0;
  if (bytes.size() >= 4) std::memcpy(&v, bytes.data(), 4);
  return v;
}

double Answer::Double() const {
  double v = 0;
  if (bytes.size() >= 8) std::memcpy(&v, bytes.data(), 8);
  return v;
}

std::string Answer::Narrow(std::size_t at) const {
  std::string s;
  for (std::size_t i = at; i < bytes.size() && bytes[i] != 0; ++i) s += static_cast<char>(bytes[i]);
  return s;
}

std::u16string Answer::Wide(std::size_t at) const {
  std::u16string s;
  for (std::size_t i = at; i + 1 < bytes.size(); i += 2) {
    const auto u = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (u == 0) break;
    s += u;
  }
  return s;
}

LoadedPlugin::LoadedPlugin(const std::string& settingsText, std::uint32_t versionHi,
                           std::uint32_t versionLow, bool callSetDefaultParams) {
  const std::filesystem::path source = std::filesystem::u8path(BuiltPluginPath());
  const std::filesystem::path copy = folder_.path() / source.filename();
  std::filesystem::copy_file(source, copy);
  if (!settingsText.empty()) folder_.Write("Quarrymark.ini", settingsText);
  std::string reason;
  library_ = platform::Library::Open(Utf8ToUtf16(copy.u8string()), &reason);
  if (!library_.IsOpen()) {
    ADD_FAILURE() << "cannot load " << copy.u8string() << ": " << reason;
    return;
  }
  if (callSetDefaultParams) SetDefaultParams(versionHi, versionLow);
}

LoadedPlugin::~LoadedPlugin() { Unload(); }

void LoadedPlugin::Unload() { library_.Close(); }

void LoadedPlugin::SetDefaultParams(std::uint32_t versionHi, std::uint32_t versionLow) {
  ContentDefaultParamStruct params{};
  params.size = sizeof params;
  params.PluginInterfaceVersionHi = versionHi;
  params.PluginInterfaceVersionLow = versionLow;
  Export<decltype(&ContentSetDefaultParams)>("ContentSetDefaultParams")(&params);
}

int LoadedPlugin::SupportedField(int index, std::string* name, std::string* units, int maxlen) {
  std::vector<char> n(static_cast<std::size_t>(maxlen) + kGuardBytes, static_cast<char>(kGuard));
  std::vector<char> u(static_cast<std::size_t>(maxlen) + kGuardBytes, static_cast<char>(kGuard));
  const int type = Export<decltype(&ContentGetSupportedField)>("ContentGetSupportedField")(
      index, n.data(), u.data(), maxlen);
  for (std::size_t i = static_cast<std::size_t>(maxlen); i < n.size(); ++i) {
    EXPECT_EQ(static_cast<unsigned char>(n[i]), kGuard);
    EXPECT_EQ(static_cast<unsigned char>(u[i]), kGuard);
  }
  if (name != nullptr) *name = type == ft_nomorefields ? std::string() : std::string(n.data());
  if (units != nullptr) *units = type == ft_nomorefields ? std::string() : std::string(u.data());
  return type;
}

Answer LoadedPlugin::ValueW16(const std::u16string& path, int field, int flags, int maxlen) {
  std::u16string name = path;
  auto fn = Export<decltype(&ContentGetValueW)>("ContentGetValueW");
  return Call([&](void* buffer, int size) {
    return fn(reinterpret_cast<QmWideChar*>(name.data()), field, 0, buffer, size, flags);
  }, maxlen);
}

Answer LoadedPlugin::ValueW(const std::string& path, int field, int flags, int maxlen, int unit) {
  std::u16string name = Utf8ToUtf16(path);
  auto fn = Export<decltype(&ContentGetValueW)>("ContentGetValueW");
  return Call([&](void* buffer, int size) {
    return fn(reinterpret_cast<QmWideChar*>(name.data()), field, unit, buffer, size, flags);
  }, maxlen);
}

Answer LoadedPlugin::ValueA(const std::string& path, int field, int flags, int maxlen, int unit) {
  std::string name = path;
  auto fn = Export<decltype(&ContentGetValue)>("ContentGetValue");
  return Call([&](void* buffer, int size) { return fn(name.data(), field, unit, buffer, size, flags); },
              maxlen);
}

void LoadedPlugin::StopW(const std::string& path) {
  std::u16string name = Utf8ToUtf16(path);
  Export<decltype(&ContentStopGetValueW)>("ContentStopGetValueW")(
      reinterpret_cast<QmWideChar*>(name.data()));
}

void LoadedPlugin::StateInformation(int state) {
  std::u16string path = u".";
  Export<decltype(&ContentSendStateInformationW)>("ContentSendStateInformationW")(
      state, reinterpret_cast<QmWideChar*>(path.data()));
}

}  // namespace qm::test
