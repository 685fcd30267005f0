// The C exports: the only way in from the host.
//
// Each export catches everything and answers with the interface's codes; no
// exception leaves the library. The process-wide state is made when the
// library is attached (DllMain on Windows, a constructor elsewhere) and
// released when it is detached.
#include "plugin/host_interface/content_plugin.h"

#include <memory>
#include <new>
#include <string>

#include "platform/platform.h"
#include "plugin/compare/compare.h"
#include "plugin/config/loader.h"
#include "plugin/filters/outside_in.h"
#include "plugin/filters/run_filter.h"
#include "plugin/evaluation/answer_sink.h"
#include "plugin/host_interface/field_text.h"
#include "plugin/host_interface/request.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using qm::plugin::PluginState;

// The comparison answers are the host's values; CompareFiles returns them
// unchanged.
static_assert(qm::plugin::kCompareEqual == contentcompare_equal_matches &&
                  qm::plugin::kCompareDifferent == contentcompare_notequal &&
                  qm::plugin::kCompareCannotOpen == contentcompare_cannot_open &&
                  qm::plugin::kCompareStopped == contentcompare_stopped &&
                  qm::plugin::kCompareNotComparable == contentcompare_unsupported,
              "compare answers are the host's contentcompare values");
static_assert(qm::plugin::kFulltextPiece == ft_fulltextw &&
                  qm::plugin::kFulltextNone == ft_fieldempty,
              "full-text answers are the host's codes");

PluginState* g_state = nullptr;

void Attach() {
  g_state = new (std::nothrow) PluginState();
  if (g_state == nullptr) return;
  g_state->randomCharacterTable.reserve(65536);
  if (!qm::platform::QueryModulePath(reinterpret_cast<const void*>(&Attach), &g_state->modulePath,
                                     &g_state->modulePathAnsi)) {
    g_state->modulePath.clear();
  } else if (!g_state->modulePath.empty()) {
    g_state->modulePathAnsi.clear();
    g_state->converterCommand = g_state->ModuleFolder() +
#ifdef _WIN32
                                u"xdoc2txt.exe";
#else
                                u"xdoc2txt";
#endif
  }
  g_state->outsideIn = std::make_shared<qm::plugin::OutsideInLibraries>();
}

// explicitUnload: the library is unloaded on its own, not at process end
// (only then may other libraries be unloaded from here).
void Detach(bool explicitUnload) {
  if (g_state == nullptr) return;
  g_state->abortSet.Clear();
  g_state->cache.Clear();
  if (explicitUnload && g_state->outsideIn != nullptr) g_state->outsideIn->Unload();
  delete g_state;
  g_state = nullptr;
}

// The host's progress callback; a host may pass none.
class HostProgress final : public qm::plugin::CompareProgress {
 public:
  explicit HostProgress(ProgressCallbackProc callback) : callback_(callback) {}
  int Report(int bytes) override { return callback_ != nullptr ? callback_(bytes) : 0; }

 private:
  ProgressCallbackProc callback_;
};

std::size_t WideLength(const QmWideChar* text) {
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  try {
    if (reason == DLL_PROCESS_ATTACH) Attach();
    if (reason == DLL_PROCESS_DETACH) Detach(reserved == nullptr);
  } catch (...) {
  }
  return TRUE;
}
#else
__attribute__((constructor)) static void QuarrymarkAttach() {
  try {
    Attach();
  } catch (...) {
  }
}
__attribute__((destructor)) static void QuarrymarkDetach() {
  try {
    Detach(true);
  } catch (...) {
  }
}
#endif

extern "C" {

QM_API int QM_CALL ContentGetDetectString(char* DetectString, int maxlen) {
  qm::plugin::CopyNarrow(DetectString, maxlen, "");
  return 0;
}

QM_API int QM_CALL ContentGetSupportedField(int FieldIndex, char* FieldName, char* Units,
                                            int maxlen) {
  try {
    if (g_state == nullptr) return ft_nomorefields;
    return qm::plugin::GetSupportedField(*g_state, FieldIndex, FieldName, Units, maxlen);
  } catch (...) {
    return ft_nomorefields;
  }
}

QM_API int QM_CALL ContentGetValue(char* FileName, int FieldIndex, int UnitIndex,
                                   void* FieldValue, int maxlen, int flags) {
  try {
    if (g_state == nullptr || FileName == nullptr) return ft_nosuchfield;
    return qm::plugin::RequestValue(*g_state, FileName, nullptr, FieldIndex, UnitIndex,
                                    FieldValue, maxlen, flags, false);
  } catch (...) {
    return ft_fileerror;
  }
}

QM_API int QM_CALL ContentGetValueW(QmWideChar* FileName, int FieldIndex, int UnitIndex,
                                    void* FieldValue, int maxlen, int flags) {
  try {
    if (g_state == nullptr || FileName == nullptr) return ft_nosuchfield;
    return qm::plugin::RequestValue(*g_state, nullptr, reinterpret_cast<const char16_t*>(FileName),
                                    FieldIndex, UnitIndex, FieldValue, maxlen, flags, false);
  } catch (...) {
    return ft_fileerror;
  }
}

QM_API void QM_CALL ContentStopGetValue(char* FileName) {
  try {
    if (g_state == nullptr || FileName == nullptr) return;
    std::size_t n = 0;
    while (FileName[n] != 0) ++n;
    g_state->abortSet.Insert(qm::plugin::NameHash(FileName, n));
  } catch (...) {
  }
}

QM_API void QM_CALL ContentStopGetValueW(QmWideChar* FileName) {
  try {
    if (g_state == nullptr || FileName == nullptr) return;
    g_state->abortSet.Insert(qm::plugin::NameHash(FileName, WideLength(FileName) * 2));
  } catch (...) {
  }
}

QM_API void QM_CALL ContentSetDefaultParams(ContentDefaultParamStruct* dps) {
  try {
    // Loading happens once per load of the library; a repeated call keeps
    // the table that requests may already be reading.
    if (g_state == nullptr || dps == nullptr || g_state->loaded) return;
    qm::plugin::LoadConfiguration(
        *g_state, dps->PluginInterfaceVersionHi, dps->PluginInterfaceVersionLow,
        [](const std::u16string& configured, const std::u16string& moduleFolder) {
          return g_state->outsideIn != nullptr &&
                 g_state->outsideIn->Load(configured, moduleFolder);
        });
    g_state->cache.SetCapacity(g_state->settings.resultCache);
  } catch (...) {
  }
}

namespace {
void StateInformation(int state) {
  if (g_state == nullptr || !g_state->loaded) return;
  if (state == CONTST_REFRESHPRESSED && g_state->settings.clearCacheOnReread) {
    g_state->cache.Clear();
  }
}
}  // namespace

QM_API void QM_CALL ContentSendStateInformation(int state, char* /*path*/) {
  try {
    StateInformation(state);
  } catch (...) {
  }
}

QM_API void QM_CALL ContentSendStateInformationW(int state, QmWideChar* /*path*/) {
  try {
    StateInformation(state);
  } catch (...) {
  }
}

QM_API int QM_CALL ContentCompareFiles(ProgressCallbackProc, int, char*, char*,
                                       FileDetailsStruct*) {
  return qm::plugin::kCompareNotComparable;
}

QM_API int QM_CALL ContentCompareFilesW(ProgressCallbackProc progresscallback, int compareindex,
                                        QmWideChar* filename1, QmWideChar* filename2,
                                        FileDetailsStruct* /*filedetails*/) {
  try {
    if (g_state == nullptr || !g_state->loaded) return qm::plugin::kCompareNotComparable;
    HostProgress progress(progresscallback);
    return qm::plugin::CompareFiles(qm::plugin::SourcesOf(*g_state),
                                    g_state->CompareField(compareindex), &progress,
                                    reinterpret_cast<const char16_t*>(filename1),
                                    reinterpret_cast<const char16_t*>(filename2));
  } catch (...) {
    return qm::plugin::kCompareNotComparable;
  }
}

QM_API int QM_CALL QuarrymarkGetFieldText(QmWideChar* FileName, int FieldIndex,
                                          QuarrymarkTextSink sink, void* context) {
  try {
    if (g_state == nullptr || !g_state->loaded || FileName == nullptr || sink == nullptr) {
      return ft_nosuchfield;
    }
    return qm::plugin::GetFieldText(*g_state, reinterpret_cast<const char16_t*>(FileName),
                                    FieldIndex, sink, context);
  } catch (...) {
    return ft_fileerror;
  }
}

}  // extern "C"
