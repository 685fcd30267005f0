/* The content plugin interface of the Quarrymark plugin.
 *
 * Plain C: the host (a file manager, or the quarrymark command-line host)
 * loads the library and calls these functions by name. On 32-bit Windows they
 * use __stdcall with undecorated names; elsewhere the default convention.
 * Wide strings are UTF-16 (16-bit units) on every system.
 *
 * Every export catches every failure internally and answers with the codes
 * below; every write into a host buffer stays within the maxlen it gives.
 */
#ifndef QUARRYMARK_CONTENT_PLUGIN_H
#define QUARRYMARK_CONTENT_PLUGIN_H

#include <stdint.h>

#ifdef _WIN32
#define QM_CALL __stdcall
#ifdef QM_BUILDING_PLUGIN
#define QM_API __declspec(dllexport)
#else
#define QM_API
#endif
#else
#define QM_CALL
#define QM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint16_t QmWideChar; /* one UTF-16 code unit */

/* Field types and answer codes. */
#define ft_nomorefields 0
#define ft_numeric_32 1
#define ft_numeric_floating 3
#define ft_boolean 6
#define ft_multiplechoice 7
#define ft_string 8
#define ft_fulltext 9
#define ft_stringw 11
#define ft_fulltextw 12 /* a piece of full text as UTF-16 */
#define ft_comparecontent 100
#define ft_nosuchfield (-1)
#define ft_fileerror (-2)
#define ft_fieldempty (-3)
#define ft_ondemand (-4)
#define ft_delayed 0

/* ContentGetValue flags and ContentSendStateInformation states. */
#define CONTENT_DELAYIFSLOW 1
#define CONTST_REFRESHPRESSED 2

/* Content comparison answers. */
#define contentcompare_notequal 0
#define contentcompare_equal 1
#define contentcompare_equal_matches 101 /* the field's matches are equal pair by pair */
#define contentcompare_cannot_open (-1)
#define contentcompare_stopped (-2) /* the progress callback asked to stop */
#define contentcompare_unsupported (-3)

#define QM_MAX_PATH 260

typedef struct {
  int size;
  uint32_t PluginInterfaceVersionLow;
  uint32_t PluginInterfaceVersionHi;
  char DefaultIniName[QM_MAX_PATH];
} ContentDefaultParamStruct;

typedef struct {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
} QmFileTime;

typedef struct {
  int64_t filesize1;
  int64_t filesize2;
  QmFileTime filetime1;
  QmFileTime filetime2;
  uint32_t attr1;
  uint32_t attr2;
} FileDetailsStruct;

/* Progress of a comparison: the host's answer non-zero asks to stop. */
typedef int(QM_CALL* ProgressCallbackProc)(int nextBlockData);

QM_API int QM_CALL ContentGetDetectString(char* DetectString, int maxlen);
QM_API int QM_CALL ContentGetSupportedField(int FieldIndex, char* FieldName, char* Units,
                                            int maxlen);
QM_API int QM_CALL ContentGetValue(char* FileName, int FieldIndex, int UnitIndex,
                                   void* FieldValue, int maxlen, int flags);
QM_API int QM_CALL ContentGetValueW(QmWideChar* FileName, int FieldIndex, int UnitIndex,
                                    void* FieldValue, int maxlen, int flags);
QM_API void QM_CALL ContentStopGetValue(char* FileName);
QM_API void QM_CALL ContentStopGetValueW(QmWideChar* FileName);
QM_API void QM_CALL ContentSetDefaultParams(ContentDefaultParamStruct* dps);
QM_API void QM_CALL ContentSendStateInformation(int state, char* path);
QM_API void QM_CALL ContentSendStateInformationW(int state, QmWideChar* path);
QM_API int QM_CALL ContentCompareFiles(ProgressCallbackProc progresscallback, int compareindex,
                                       char* filename1, char* filename2,
                                       FileDetailsStruct* filedetails);
QM_API int QM_CALL ContentCompareFilesW(ProgressCallbackProc progresscallback, int compareindex,
                                        QmWideChar* filename1, QmWideChar* filename2,
                                        FileDetailsStruct* filedetails);

/* Not part of the content plugin interface: what the quarrymark host's
 * `text` command shows. Hands the text that value field FieldIndex searches
 * in FileName to sink, piece by piece, as UTF-16 (ANSI, OEM and UTF-8 text
 * converted; a converter's or Outside In's text as extracted), exactly as
 * the field's request would read it; the sink's non-zero answer stops.
 * Returns how the text was obtained: its encoding (0 ANSI/Binary, 1 UTF-8,
 * 2 UTF-16, 3 UTF-16 BE) plus the QM_TEXT_* bits; or ft_nosuchfield,
 * ft_fileerror, ft_fieldempty (stopped), or QM_TEXT_NOT_READ (larger than
 * GlobalFileSizeLimit: the field searches nothing). */
#define QM_TEXT_CONVERTER 0x10   /* the converter program's text */
#define QM_TEXT_OUTSIDE_IN 0x20  /* the Outside In libraries' text */
#define QM_TEXT_NAME 0x40        /* the name part (filename-only field) */
#define QM_TEXT_SAMPLE 0x80      /* only the encoding sample (EncodingCheckBufferOnly) */
#define QM_TEXT_NOT_READ (-5)
typedef int(QM_CALL* QuarrymarkTextSink)(const QmWideChar* text, int length, void* context);
QM_API int QM_CALL QuarrymarkGetFieldText(QmWideChar* FileName, int FieldIndex,
                                          QuarrymarkTextSink sink, void* context);

#ifdef __cplusplus
}
#endif

#endif /* QUARRYMARK_CONTENT_PLUGIN_H */
