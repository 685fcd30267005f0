// A loaded content plugin, driven only through its C exports, the way a file
// manager drives it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "plugin/host_interface/content_plugin.h"

namespace qm::host {

struct FieldInfo {
  int index = 0;
  std::string name;   // UTF-8
  int type = 0;       // what ContentGetSupportedField answered
  std::string units;  // UTF-8
};

// One answer of ContentGetValue(W), already turned into printable UTF-8.
struct Value {
  int code = 0;
  std::string text;    // UTF-8 as the plugin wrote it (not escaped); empty for error codes
  double number = 0;   // the number of numeric and Boolean answers
};

// The largest buffer the host offers a plugin for one value.
inline constexpr int kMaxValueBytes = 64 << 20;

class PluginHost {
 public:
  // Loads the library and hands it the interface version. On failure
  // returns false with a message in *error.
  bool Load(const std::string& path, std::uint32_t versionHi, std::uint32_t versionLow,
            std::string* error);

  // Fields from 0 until ft_nomorefields, then from 10000 until it.
  std::vector<FieldInfo> Fields() const;

  // One request. maxlen is the host buffer's size in bytes (at most
  // kMaxValueBytes).
  Value GetValue(const std::string& file, int field, int unit, int maxlen, int flags,
                 bool ansi) const;
  // One wide request whose answer is UTF-16 text (a full-text piece): the
  // answer code, and the text as the plugin wrote it. -100 when the plugin
  // wrote beyond maxlen.
  int GetWideText(const std::string& file, int field, int unit, int maxlen, std::u16string* text) const;
  void Stop(const std::string& file) const;
  // ContentCompareFilesW with a compare index (10000 on); progress may be
  // null. -3 when the plugin does not export the comparison.
  int Compare(const std::string& file1, const std::string& file2, int compareIndex,
              ProgressCallbackProc progress) const;
  void Refresh() const;
  // QuarrymarkGetFieldText: the text a value field searches, piece by piece
  // to piece (false from it stops). Its answer; ft_nosuchfield when the
  // plugin does not export it (*exported false).
  int FieldText(const std::string& file, int field,
                const std::function<bool(const char16_t*, std::size_t)>& piece, bool* exported) const;

  // The narrow text the plugin exchanges (ANSI) from and to UTF-8.
  static std::string NarrowToUtf8(const std::string& narrow);
  static std::u16string ArgumentToWide(const std::string& argument);

 private:
  platform::Library library_;
  decltype(&ContentGetSupportedField) getSupportedField_ = nullptr;
  decltype(&ContentGetValue) getValue_ = nullptr;
  decltype(&ContentGetValueW) getValueW_ = nullptr;
  decltype(&ContentStopGetValueW) stopW_ = nullptr;
  decltype(&ContentSendStateInformationW) stateW_ = nullptr;
  decltype(&ContentSetDefaultParams) setDefaultParams_ = nullptr;
  decltype(&ContentCompareFilesW) compareW_ = nullptr;  // optional
  decltype(&QuarrymarkGetFieldText) fieldText_ = nullptr;  // optional
};

}  // namespace qm::host
