// Expression compilation and the compile-error log.
#include "plugin/config/compile.h"

#include <pcre.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>
#include <type_traits>

#include "plugin/content/file_access.h"
#include "plugin/evaluation/line_plan.h"
#include "plugin/evaluation/matcher.h"
#include "plugin/evaluation/replace_template.h"
#include "settings_format/expression_options.h"

namespace qm::plugin {
namespace {

constexpr int kNewlineBits = 0x700000;
constexpr int kNoUtfCheck = PCRE_NO_UTF8_CHECK;  // also PCRE_NO_UTF16_CHECK

std::string TwoDigits(int v) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d", v);
  return text;
}

bool IsCrlfNewline(int newline) {
  return newline == PCRE_NEWLINE_ANY || newline == PCRE_NEWLINE_CRLF ||
         newline == PCRE_NEWLINE_ANYCRLF;
}

// The callout that marks an instrumented program's start. Number 255, so a
// user's own numbered callouts stay apart; the matcher also checks the
// pattern offset after it.
constexpr char kStopCallout[] = "(?C255)";
constexpr int kStopCalloutLength = sizeof kStopCallout - 1;

// Where the stop callout goes: after the start-of-pattern settings
// ("(*UTF8)", "(*CRLF)", "(*LIMIT_MATCH=n)", ...), which must stay first.
template <typename Char>
std::size_t StopCalloutPosition(const std::basic_string<Char>& pattern) {
  std::size_t at = 0;
  while (at + 2 < pattern.size() && pattern[at] == Char('(') && pattern[at + 1] == Char('*')) {
    std::size_t q = at + 2;
    while (q < pattern.size() &&
           ((pattern[q] >= Char('A') && pattern[q] <= Char('Z')) ||
            (pattern[q] >= Char('0') && pattern[q] <= Char('9')) || pattern[q] == Char('_') ||
            pattern[q] == Char('='))) {
      ++q;
    }
    if (q == at + 2 || q >= pattern.size() || pattern[q] != Char(')')) break;
    at = q + 1;
  }
  return at;
}

template <typename Char>
std::basic_string<Char> WithStopCallout(const std::basic_string<Char>& pattern, std::size_t at) {
  std::basic_string<Char> out = pattern.substr(0, at);
  for (int i = 0; i < kStopCalloutLength; ++i) out.push_back(Char(kStopCallout[i]));
  out.append(pattern, at, std::basic_string<Char>::npos);
  return out;
}

// Recompiles a program with the stop callout at its start, so that a
// running execution can be stopped and tell where it stands. The
// instrumented program matches exactly as the plain one (a callout that
// returns 0 changes nothing, and PCRE's start analysis skips it); when it
// does not compile, or reports a different group count, the plain program
// is kept and stops are seen between executions only.
std::atomic<bool> stopCalloutEnabled{true};

void Instrument(Program8& program, const std::string& pattern, int options,
                const unsigned char* tables) {
  if (!stopCalloutEnabled.load(std::memory_order_relaxed)) return;
  const std::size_t at = StopCalloutPosition(pattern);
  const char* message = nullptr;
  int offset = 0;
  pcre* code = pcre_compile(WithStopCallout(pattern, at).c_str(), options, &message, &offset, tables);
  if (code == nullptr) return;
  int plainGroups = 0;
  int groups = -1;
  pcre_fullinfo(program.code, nullptr, PCRE_INFO_CAPTURECOUNT, &plainGroups);
  pcre_fullinfo(code, nullptr, PCRE_INFO_CAPTURECOUNT, &groups);
  if (groups != plainGroups) {
    pcre_free(code);
    return;
  }
  if (program.plan.windowed) {
    program.windowCode = program.code;
  } else {
    pcre_free(program.code);
  }
  program.code = code;
  program.stopPoint = static_cast<int>(at) + kStopCalloutLength;
}

void Instrument(Program16& program, const std::u16string& pattern, int options) {
  if (!stopCalloutEnabled.load(std::memory_order_relaxed)) return;
  const std::size_t at = StopCalloutPosition(pattern);
  const char* message = nullptr;
  int offset = 0;
  const std::u16string text = WithStopCallout(pattern, at);
  pcre16* code = pcre16_compile(reinterpret_cast<PCRE_SPTR16>(text.c_str()), options, &message,
                                &offset, nullptr);
  if (code == nullptr) return;
  int plainGroups = 0;
  int groups = -1;
  pcre16_fullinfo(program.code, nullptr, PCRE_INFO_CAPTURECOUNT, &plainGroups);
  pcre16_fullinfo(code, nullptr, PCRE_INFO_CAPTURECOUNT, &groups);
  if (groups != plainGroups) {
    pcre16_free(code);
    return;
  }
  if (program.plan.windowed) {
    program.windowCode = program.code;
  } else {
    pcre16_free(program.code);
  }
  program.code = code;
  program.stopPoint = static_cast<int>(at) + kStopCalloutLength;
}

constexpr int kNarrowFirstUnits = 32;

// Decides whether the program may run over windows of whole lines and
// which literals every match holds. pattern is the form's own text.
template <typename Program, typename Char>
void PlanLines(Program& program, const std::basic_string<Char>& pattern, int options) {
  std::u16string units;
  units.reserve(pattern.size());
  for (const Char c : pattern) units.push_back(static_cast<char16_t>(static_cast<std::make_unsigned_t<Char>>(c)));
  program.plan = AnalyzeLines(units, static_cast<unsigned long>(options));
  if (!program.plan.windowed) program.plan.needles.clear();
}

// Whether looking for the literals first beats PCRE's own start search
// (measured with bench/matcher_bench and bench/anchors): a single literal of
// four or more units (found with a vector scan) always does, and so do two
// or more literals where the nibble-mask scan takes them; otherwise only
// when PCRE knows no first character and its set of possible first units
// is wide.
template <typename Program, typename Info>
void ChooseLiterals(Program& program, Info info) {
  std::vector<Needle>& needles = program.plan.needles;
  const bool scanFirst = (needles.size() == 1 && needles.front().text.size() >= 4) ||
                         (needles.size() >= 2 && LiteralScannerAvailable());
  int firstCharacter = 0;
  info(program.code, program.study, PCRE_INFO_FIRSTCHARACTERFLAGS, &firstCharacter);
  const unsigned char* firstUnits = nullptr;
  info(program.code, program.study, PCRE_INFO_FIRSTTABLE, &firstUnits);
  int possibleFirst = 256;
  if (firstUnits != nullptr) {
    possibleFirst = 0;
    for (int i = 0; i < 32; ++i) possibleFirst += __builtin_popcount(firstUnits[i]);
  }
  // A program that is one literal is answered by the search alone, with
  // no execution per match, which beats PCRE's start search in every case.
  if (!scanFirst && !program.plan.wholeLiteral &&
      (firstCharacter != 0 || possibleFirst <= kNarrowFirstUnits)) {
    needles.clear();
  }
  program.needles = decltype(program.needles)(needles);
}

// Studies with JIT compilation. A program JIT cannot compile keeps the
// plain study and runs in the interpreter.
// The JIT stack comes from the executing thread's lease (see
// CurrentNarrowJitStack), assigned here once, before any thread matches.
template <typename Code, typename Extra, typename Study, typename Info, typename Assign,
          typename Callback>
void StudyOneWithJit(Code* code, Extra*& extra, bool& hasJit, Study study, Info info,
                     Assign assign, Callback callback, const char*& message) {
  extra = study(code, PCRE_STUDY_JIT_COMPILE, &message);
  int jit = 0;
  if (message == nullptr && extra != nullptr && info(code, extra, PCRE_INFO_JIT, &jit) == 0) {
    hasJit = jit != 0;
  }
  if (hasJit) assign(extra, callback, nullptr);
}

template <typename Program, typename Study, typename Info, typename Assign, typename Callback>
void StudyWithJit(Program& program, Study study, Info info, Assign assign, Callback callback,
                  const char*& message) {
  StudyOneWithJit(program.code, program.study, program.jit, study, info, assign, callback,
                  message);
  if (message == nullptr && program.windowCode != nullptr) {
    StudyOneWithJit(program.windowCode, program.windowStudy, program.windowJit, study, info,
                    assign, callback, message);
  }
}

// The pattern with each \z and \Z (when kinds holds 1) and each \G (when
// kinds holds 2) found by the line analysis written as a group holding an
// assertion that never holds (a group, so that a quantifier after the
// escape still applies to one item). Groups and offsets stay as they were.
template <typename Char>
std::basic_string<Char> WithBoundsNever(const std::basic_string<Char>& pattern,
                                        const std::vector<std::size_t>& escapes, int kinds) {
  static constexpr char kNever[] = "(?:(?!))";
  std::basic_string<Char> out;
  std::size_t from = 0;
  for (const std::size_t at : escapes) {
    if (at + 1 >= pattern.size()) continue;
    const int kind = pattern[at + 1] == Char('G') ? 2 : 1;
    if ((kinds & kind) == 0) continue;
    out.append(pattern, from, at - from);
    for (std::size_t i = 0; i + 1 < sizeof kNever; ++i) out.push_back(Char(kNever[i]));
    from = at + 2;
  }
  out.append(pattern, from, std::basic_string<Char>::npos);
  return out;
}

int BoundKinds(const LinePlan& plan, const std::u16string& units) {
  int kinds = 0;
  for (const std::size_t at : plan.boundEscapes) {
    if (at + 1 < units.size()) kinds |= units[at + 1] == u'G' ? 2 : 1;
  }
  return kinds;
}

// Builds the program's piece forms (see Program8::pieceForms): each is
// compiled from the rewritten pattern, instrumented as the program is, and
// kept only when it compiles, studies and has the program's groups.
template <typename Program, typename Char, typename Compile, typename Study, typename Info,
          typename Assign, typename Callback>
void BuildPieceForms(Program& program, const std::basic_string<Char>& pattern, Compile compile,
                     Study study, Info info, Assign assign, Callback callback) {
  const LinePlan& plan = program.plan;
  if (!plan.parsed || plan.boundEscapes.empty()) return;
  std::u16string units;
  for (const Char c : pattern) {
    units.push_back(static_cast<char16_t>(static_cast<std::make_unsigned_t<Char>>(c)));
  }
  const int kinds = BoundKinds(plan, units);
  int groups = 0;
  info(program.code, nullptr, PCRE_INFO_CAPTURECOUNT, &groups);
  for (int mask = 1; mask <= 3; ++mask) {
    if ((mask & ~kinds) != 0) continue;
    std::basic_string<Char> text = WithBoundsNever(pattern, plan.boundEscapes, mask);
    if (program.stopPoint != kNoStopPoint) text = WithStopCallout(text, StopCalloutPosition(text));
    auto form = std::make_unique<Program>();
    form->code = compile(text);
    if (form->code == nullptr) continue;
    int formGroups = -1;
    info(form->code, nullptr, PCRE_INFO_CAPTURECOUNT, &formGroups);
    if (formGroups != groups) continue;
    const char* message = nullptr;
    StudyOneWithJit(form->code, form->study, form->jit, study, info, assign, callback, message);
    if (message != nullptr) continue;
    form->stopPoint = program.stopPoint;
    program.pieceForms[mask - 1] = std::move(form);
  }
}

}  // namespace

void SetStopCalloutEnabled(bool enabled) {
  stopCalloutEnabled.store(enabled, std::memory_order_relaxed);
}

FieldDefinition MakeFieldDefinition(const std::string& configuredName, std::uint32_t flags,
                                    FieldType type) {
  FieldDefinition record;
  record.configuredName = configuredName;
  record.oemCodePage = (flags & settings::flags::OemCodePage) != 0;
  record.emptyMatchesPassThrough = (flags & settings::flags::EmptyMatchesPassThrough) != 0;
  record.encodingCheckBufferOnly = (flags & settings::flags::EncodingCheckBufferOnly) != 0;
  record.filterEnabled = (flags & settings::flags::DisableTextFilter) == 0;
  record.compareCaseInsensitive = (flags & settings::flags::CompareCaseInsensitive) != 0;
  record.filenameOnly = (flags & settings::flags::FilenameOnly) != 0;
  record.type = type;
  return record;
}

void AppendCompileError(const char* message, const std::string& expressionText, int offset,
                        CompileVariant variant, int index, FieldDefinition& record,
                        std::string& errorLog) {
  static const char* const kVariantText[] = {" (ANSI)", " (UTF-8)", " (UTF-16)"};
  const platform::LocalTime t = platform::CurrentLocalTime();
  errorLog += TwoDigits(t.day) + "-" + TwoDigits(t.month) + "-" + std::to_string(t.year) + " " +
              TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second) + "\r\n";
  errorLog += "regex" + std::to_string(index + 1);
  if (!record.configuredName.empty()) errorLog += " \"" + record.configuredName + "\"";
  errorLog += kVariantText[static_cast<int>(variant)];
  errorLog += ": \"" + expressionText + "\" ";
  errorLog += message != nullptr ? message : "";
  errorLog += " at position " + std::to_string(offset) + "\r\n";
  record.ansiProgram.reset();
  record.utf8Program.reset();
  record.utf16Program.reset();
}

bool CompileField(PluginState& state, const std::u16string& expression, int index,
                  const std::string& name, std::string& errorLog, FieldType type,
                  std::uint32_t flags, const std::u16string& replaceTemplate) {
  const PluginSettings& settings = state.settings;
  FieldDefinition record = MakeFieldDefinition(name, flags, type);

  std::string ansiForm;
  ToNarrow(settings, expression.data(), expression.size(), &ansiForm, true, record.oemCodePage);
  std::string utf8Form;
  ToNarrow(settings, expression.data(), expression.size(), &utf8Form, false, false);

  const settings::ExpressionOptions options = settings::ExpressionOptionsFor(
      settings.caseSensitiveDefault, (flags & settings::flags::DisableUnicodeProperties) == 0);
  const char* message = nullptr;
  int offset = 0;

  auto ansi = std::make_shared<Program8>();
  const unsigned char* tables = record.oemCodePage ? state.oemTables.get() : state.ansiTables.get();
  ansi->code = pcre_compile(ansiForm.c_str(), options.byteForm,
                            &message, &offset, tables);
  if (ansi->code == nullptr) {
    AppendCompileError(message, ansiForm, offset, CompileVariant::kAnsi, index, record, errorLog);
    return false;
  }
  record.ansiProgram = ansi;
  PlanLines(*ansi, ansiForm, options.byteForm);
  Instrument(*ansi, ansiForm, options.byteForm, tables);

  const int unicodeOptions = options.unicodeForm;

  auto utf8 = std::make_shared<Program8>();
  utf8->code = pcre_compile(utf8Form.c_str(), unicodeOptions, &message, &offset, nullptr);
  if (utf8->code == nullptr) {
    AppendCompileError(message, utf8Form, offset, CompileVariant::kUtf8, index, record, errorLog);
    return false;
  }
  record.utf8Program = utf8;
  PlanLines(*utf8, utf8Form, unicodeOptions);
  Instrument(*utf8, utf8Form, unicodeOptions, nullptr);

  auto utf16 = std::make_shared<Program16>();
  const std::u16string terminated = expression;  // c_str() gives the terminator
  utf16->code = pcre16_compile(reinterpret_cast<PCRE_SPTR16>(terminated.c_str()), unicodeOptions,
                               &message, &offset, nullptr);
  if (utf16->code == nullptr) {
    AppendCompileError(message, utf8Form, offset, CompileVariant::kUtf16, index, record, errorLog);
    return false;
  }
  record.utf16Program = utf16;
  PlanLines(*utf16, terminated, unicodeOptions);
  Instrument(*utf16, terminated, unicodeOptions);

  // Study each program; the first that reports an error fails the field.
  message = nullptr;
  StudyWithJit(*ansi, pcre_study, pcre_fullinfo, pcre_assign_jit_stack, CurrentNarrowJitStack,
               message);
  if (message != nullptr) {
    AppendCompileError(message, utf8Form, 0, CompileVariant::kAnsi, index, record, errorLog);
    return false;
  }
  StudyWithJit(*utf8, pcre_study, pcre_fullinfo, pcre_assign_jit_stack, CurrentNarrowJitStack,
               message);
  if (message != nullptr) {
    AppendCompileError(message, utf8Form, 0, CompileVariant::kUtf8, index, record, errorLog);
    return false;
  }
  StudyWithJit(*utf16, pcre16_study, pcre16_fullinfo, pcre16_assign_jit_stack,
               CurrentWideJitStack, message);
  if (message != nullptr) {
    AppendCompileError(message, utf8Form, 0, CompileVariant::kUtf16, index, record, errorLog);
    return false;
  }

  const auto compileAnsi = [&](const std::string& text) {
    const char* error = nullptr;
    int at = 0;
    return pcre_compile(text.c_str(), options.byteForm, &error, &at, tables);
  };
  const auto compileUtf8 = [&](const std::string& text) {
    const char* error = nullptr;
    int at = 0;
    return pcre_compile(text.c_str(), unicodeOptions, &error, &at, nullptr);
  };
  const auto compileUtf16 = [&](const std::u16string& text) {
    const char* error = nullptr;
    int at = 0;
    return pcre16_compile(reinterpret_cast<PCRE_SPTR16>(text.c_str()), unicodeOptions, &error,
                          &at, nullptr);
  };
  BuildPieceForms(*ansi, ansiForm, compileAnsi, pcre_study, pcre_fullinfo, pcre_assign_jit_stack,
                  CurrentNarrowJitStack);
  BuildPieceForms(*utf8, utf8Form, compileUtf8, pcre_study, pcre_fullinfo, pcre_assign_jit_stack,
                  CurrentNarrowJitStack);
  BuildPieceForms(*utf16, terminated, compileUtf16, pcre16_study, pcre16_fullinfo,
                  pcre16_assign_jit_stack, CurrentWideJitStack);

  ChooseLiterals(*ansi, pcre_fullinfo);
  ChooseLiterals(*utf8, pcre_fullinfo);
  ChooseLiterals(*utf16, pcre16_fullinfo);

  int captureCount = 0;
  pcre_fullinfo(utf8->code, utf8->study, PCRE_INFO_CAPTURECOUNT, &captureCount);
  unsigned long compiledOptions = 0;
  pcre_fullinfo(utf8->code, utf8->study, PCRE_INFO_OPTIONS, &compiledOptions);
  const int newline = static_cast<int>(compiledOptions) & kNewlineBits;
  record.captureCount = captureCount;
  record.crlfIsNewline = IsCrlfNewline(newline);
  record.ansiExecOptions = static_cast<std::uint32_t>(newline);
  record.utf8ExecOptions = static_cast<std::uint32_t>(newline | kNoUtfCheck);
  record.utf16ExecOptions = static_cast<std::uint32_t>(newline | kNoUtfCheck);

  if (record.IsStringType()) CompileReplaceTemplate(replaceTemplate, record);

  if (state.fields.empty() || index != 0) {
    state.fields.push_back(std::move(record));
  } else {
    state.fields[0] = std::move(record);
  }
  return true;
}

void WriteErrorLog(const PluginState& state, const std::string& errorLog) {
  std::u16string wideName;
  std::string narrowName;
  platform::FileName name;
  if (!state.modulePath.empty()) {
    wideName = MakeLongPath(state.ModuleFolder() + u"Quarrymark_error.log");
    name.wide = wideName.c_str();
  } else {
    const std::size_t cut = state.modulePathAnsi.find_last_of(platform::kPathSeparatorsNarrow);
    narrowName = (cut == std::string::npos ? std::string() : state.modulePathAnsi.substr(0, cut + 1)) +
                 settings::kErrorLogFileName;
    name.narrow = narrowName.c_str();
  }
  platform::File file = platform::OpenFile(name, platform::OpenMode::kReadWriteOpenAlways);
  if (!file.IsOpen()) return;
  const std::int64_t size = QueryFileSize(name);
  if (size < 0) return;
  if (size >= 1 && size <= 1048576) {
    if (file.SeekToEnd()) file.WriteAll(errorLog.data(), errorLog.size());
    return;
  }
  if (!file.TruncateHere()) return;
  if (file.WriteAll(settings::kUtf8Bom, 3)) file.WriteAll(errorLog.data(), errorLog.size());
}

}  // namespace qm::plugin
