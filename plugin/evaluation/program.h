// Compiled expressions: one PCRE program of either unit width with its study
// data, its line plan and the forms the matcher runs in special places.
//
// Programs are built while the settings load (config/compile.cpp) and are
// read-only afterwards; the matcher shares them between threads.
#pragma once

#include <pcre.h>

#include <memory>
#include <string>
#include <vector>

#include "plugin/evaluation/line_plan.h"
#include "plugin/evaluation/needle_search.h"

namespace qm::plugin {

// Pattern offset PCRE reports for the stop point of an instrumented program
// (the item after a callout placed at the start of the pattern); -1 when the
// program carries none. See evaluation/matcher.cpp.
inline constexpr int kNoStopPoint = -1;

// The PCRE calls of one unit width (char: the 8-bit library, char16_t: the
// 16-bit one), so that code over programs is written once for both.
template <typename Char>
struct PcreApi;

template <>
struct PcreApi<char> {
  using Code = pcre;
  using Extra = pcre_extra;
  using JitCallback = pcre_jit_callback;

  static Code* Compile(const std::string& pattern, int options, const char** message, int* offset,
                       const unsigned char* tables) {
    return pcre_compile(pattern.c_str(), options, message, offset, tables);
  }
  static Extra* Study(const Code* code, int options, const char** message) {
    return pcre_study(code, options, message);
  }
  static int Info(const Code* code, const Extra* extra, int what, void* where) {
    return pcre_fullinfo(code, extra, what, where);
  }
  static void AssignJitStack(Extra* extra, JitCallback callback) {
    pcre_assign_jit_stack(extra, callback, nullptr);
  }
  static int Exec(const Code* code, const Extra* extra, const char* text, int length, int start,
                  int options, int* vector, int vectorSize) {
    return pcre_exec(code, extra, text, length, start, options, vector, vectorSize);
  }
  static void Free(Code* code) { pcre_free(code); }
  static void FreeStudy(Extra* extra) { pcre_free_study(extra); }
};

template <>
struct PcreApi<char16_t> {
  using Code = pcre16;
  using Extra = pcre16_extra;
  using JitCallback = pcre16_jit_callback;

  static Code* Compile(const std::u16string& pattern, int options, const char** message,
                       int* offset, const unsigned char* tables) {
    return pcre16_compile(reinterpret_cast<PCRE_SPTR16>(pattern.c_str()), options, message,
                          offset, tables);
  }
  static Extra* Study(const Code* code, int options, const char** message) {
    return pcre16_study(code, options, message);
  }
  static int Info(const Code* code, const Extra* extra, int what, void* where) {
    return pcre16_fullinfo(code, extra, what, where);
  }
  static void AssignJitStack(Extra* extra, JitCallback callback) {
    pcre16_assign_jit_stack(extra, callback, nullptr);
  }
  static int Exec(const Code* code, const Extra* extra, const char16_t* text, int length,
                  int start, int options, int* vector, int vectorSize) {
    return pcre16_exec(code, extra, reinterpret_cast<PCRE_SPTR16>(text), length, start, options,
                       vector, vectorSize);
  }
  static void Free(Code* code) { pcre16_free(code); }
  static void FreeStudy(Extra* extra) { pcre16_free_study(extra); }
};

// A compiled program and its study result (either may be absent); Char is
// char for the 8-bit forms (ANSI/OEM and UTF-8 text) and char16_t for the
// UTF-16 form. Owns its PCRE data.
template <typename Char>
struct Program {
  using Api = PcreApi<Char>;
  using Unit = Char;

  typename Api::Code* code = nullptr;
  typename Api::Extra* study = nullptr;
  int stopPoint = kNoStopPoint;  // see kNoStopPoint
  bool jit = false;              // the study holds machine code
  // When every match stays inside one line (plan.windowed), the program
  // also runs over bounded windows of whole lines in its form without the
  // stop callout (windowCode; null when code itself carries no callout).
  LinePlan plan;
  NeedleSearch<Char> needles{std::vector<Needle>()};
  typename Api::Code* windowCode = nullptr;
  typename Api::Extra* windowStudy = nullptr;
  bool windowJit = false;
  // For a pattern holding \z, \Z or \G (see PieceForm in
  // evaluation/matcher.cpp): the same program with the escapes of the kinds
  // in (index + 1) written as an assertion that never holds; kind 1 is \z
  // and \Z, kind 2 is \G. Null where the pattern holds no such escape or
  // the form could not be built.
  std::unique_ptr<Program> pieceForms[3];

  Program() = default;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program() {
    if (study != nullptr) Api::FreeStudy(study);
    if (code != nullptr) Api::Free(code);
    if (windowStudy != nullptr) Api::FreeStudy(windowStudy);
    if (windowCode != nullptr) Api::Free(windowCode);
  }
};

using Program8 = Program<char>;
using Program16 = Program<char16_t>;

}  // namespace qm::plugin
