// A plugin that answers wrongly on purpose, for the end-to-end test in
// Double Commander: it loads the real plugin "Quarrymark-real.wdx" from its
// own folder, forwards every export to it, and adds one to every 32-bit
// numeric answer (Count, Count individual). The end-to-end test must fail
// with it in place of the real plugin.
#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <string>

#define QM_BUILDING_PLUGIN
#include "plugin/host_interface/content_plugin.h"

namespace {

void* RealPlugin() {
  static void* handle = [] {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&RealPlugin), &info) == 0 || info.dli_fname == nullptr) {
      return static_cast<void*>(nullptr);
    }
    std::string path = info.dli_fname;
    path = path.substr(0, path.find_last_of('/') + 1) + "Quarrymark-real.wdx";
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  }();
  return handle;
}

template <typename F>
F Real(const char* name) {
  void* handle = RealPlugin();
  return handle == nullptr ? nullptr : reinterpret_cast<F>(dlsym(handle, name));
}

int Miscount(int code, void* value) {
  if (code == ft_numeric_32) {
    std::int32_t n = 0;
    std::memcpy(&n, value, sizeof n);
    ++n;
    std::memcpy(value, &n, sizeof n);
  }
  return code;
}

}  // namespace

extern "C" {

QM_API int QM_CALL ContentGetDetectString(char* s, int maxlen) {
  auto f = Real<decltype(&ContentGetDetectString)>("ContentGetDetectString");
  return f ? f(s, maxlen) : 0;
}
QM_API int QM_CALL ContentGetSupportedField(int i, char* name, char* units, int maxlen) {
  auto f = Real<decltype(&ContentGetSupportedField)>("ContentGetSupportedField");
  return f ? f(i, name, units, maxlen) : ft_nomorefields;
}
QM_API int QM_CALL ContentGetValue(char* file, int i, int unit, void* value, int maxlen, int flags) {
  auto f = Real<decltype(&ContentGetValue)>("ContentGetValue");
  return f ? Miscount(f(file, i, unit, value, maxlen, flags), value) : ft_fileerror;
}
QM_API int QM_CALL ContentGetValueW(QmWideChar* file, int i, int unit, void* value, int maxlen,
                                    int flags) {
  auto f = Real<decltype(&ContentGetValueW)>("ContentGetValueW");
  return f ? Miscount(f(file, i, unit, value, maxlen, flags), value) : ft_fileerror;
}
QM_API void QM_CALL ContentStopGetValue(char* file) {
  if (auto f = Real<decltype(&ContentStopGetValue)>("ContentStopGetValue")) f(file);
}
QM_API void QM_CALL ContentStopGetValueW(QmWideChar* file) {
  if (auto f = Real<decltype(&ContentStopGetValueW)>("ContentStopGetValueW")) f(file);
}
QM_API void QM_CALL ContentSetDefaultParams(ContentDefaultParamStruct* dps) {
  if (auto f = Real<decltype(&ContentSetDefaultParams)>("ContentSetDefaultParams")) f(dps);
}
QM_API void QM_CALL ContentSendStateInformation(int state, char* path) {
  if (auto f = Real<decltype(&ContentSendStateInformation)>("ContentSendStateInformation")) f(state, path);
}
QM_API void QM_CALL ContentSendStateInformationW(int state, QmWideChar* path) {
  if (auto f = Real<decltype(&ContentSendStateInformationW)>("ContentSendStateInformationW")) f(state, path);
}
QM_API int QM_CALL ContentCompareFiles(ProgressCallbackProc p, int i, char* a, char* b,
                                       FileDetailsStruct* d) {
  auto f = Real<decltype(&ContentCompareFiles)>("ContentCompareFiles");
  return f ? f(p, i, a, b, d) : -3;
}
QM_API int QM_CALL ContentCompareFilesW(ProgressCallbackProc p, int i, QmWideChar* a, QmWideChar* b,
                                        FileDetailsStruct* d) {
  auto f = Real<decltype(&ContentCompareFilesW)>("ContentCompareFilesW");
  return f ? f(p, i, a, b, d) : -3;
}

}  // extern "C"
