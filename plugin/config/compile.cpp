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
#include "plugin/evaluation/code_page.h"
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

// The jit stack callback of a unit width (see CurrentNarrowJitStack).
template <typename Char>
typename PcreApi<Char>::JitCallback CurrentJitStack() {
  if constexpr (std::is_same_v<Char, char>) {
    return CurrentNarrowJitStack;
  } else {
    return CurrentWideJitStack;
  }
}

// One of a field's three compilations: the pattern text in its unit width,
// the options and character tables it compiles with, and what a compile
// error names (the UTF-8 text for the Unicode forms).
template <typename Char>
struct Form {
  std::basic_string<Char> pattern;
  int options = 0;
  const unsigned char* tables = nullptr;
  CompileVariant variant = CompileVariant::kAnsi;
  std::string errorText;

  typename PcreApi<Char>::Code* Compile(const std::basic_string<Char>& text, const char** message,
                                         int* offset) const {
    return PcreApi<Char>::Compile(text, options, message, offset, tables);
  }
};

template <typename Char>
std::u16string AsUnits(const std::basic_string<Char>& pattern) {
  std::u16string units;
  units.reserve(pattern.size());
  for (const Char c : pattern) {
    units.push_back(static_cast<char16_t>(static_cast<std::make_unsigned_t<Char>>(c)));
  }
  return units;
}

template <typename Char>
int CaptureCount(const typename PcreApi<Char>::Code* code) {
  int groups = -1;
  PcreApi<Char>::Info(code, nullptr, PCRE_INFO_CAPTURECOUNT, &groups);
  return groups;
}

// Recompiles a program with the stop callout at its start, so that a
// running execution can be stopped and tell where it stands. The
// instrumented program matches exactly as the plain one (a callout that
// returns 0 changes nothing, and PCRE's start analysis skips it); when it
// does not compile, or reports a different group count, the plain program
// is kept and stops are seen between executions only.
std::atomic<bool> stopCalloutEnabled{true};

template <typename Char>
void Instrument(Program<Char>& program, const Form<Char>& form) {
  if (!stopCalloutEnabled.load(std::memory_order_relaxed)) return;
  const std::size_t at = StopCalloutPosition(form.pattern);
  const char* message = nullptr;
  int offset = 0;
  auto* code = form.Compile(WithStopCallout(form.pattern, at), &message, &offset);
  if (code == nullptr) return;
  if (CaptureCount<Char>(code) != CaptureCount<Char>(program.code)) {
    PcreApi<Char>::Free(code);
    return;
  }
  if (program.plan.windowed) {
    program.windowCode = program.code;
  } else {
    PcreApi<Char>::Free(program.code);
  }
  program.code = code;
  program.stopPoint = static_cast<int>(at) + kStopCalloutLength;
}

constexpr int kNarrowFirstUnits = 32;

// Decides whether the program may run over windows of whole lines and
// which literals every match holds. pattern is the form's own text.
template <typename Char>
void PlanLines(Program<Char>& program, const std::basic_string<Char>& pattern, int options) {
  program.plan = AnalyzeLines(AsUnits(pattern), static_cast<unsigned long>(options));
  if (!program.plan.windowed) program.plan.needles.clear();
}

// Whether looking for the literals first beats PCRE's own start search
// (measured with bench/matcher_bench and bench/anchors): a single literal of
// four or more units (found with a vector scan) always does, and so do two
// or more literals where the nibble-mask scan takes them; otherwise only
// when PCRE knows no first character and its set of possible first units
// is wide. Where they do not, two units at fixed distances from the start
// of every match are looked for instead when the plan knows them: the vector scan compares both at 32 starts at a time, where
// PCRE's start search tests one start at a time against its set of first
// units and a short literal sends every line holding it to PCRE.
template <typename Char>
void ChooseLiterals(Program<Char>& program) {
  using Api = PcreApi<Char>;
  std::vector<Needle>& needles = program.plan.needles;
  const bool scanFirst = (needles.size() == 1 && needles.front().text.size() >= 4) ||
                         (needles.size() >= 2 && LiteralScannerAvailable());
  int firstCharacter = 0;
  Api::Info(program.code, program.study, PCRE_INFO_FIRSTCHARACTERFLAGS, &firstCharacter);
  const unsigned char* firstUnits = nullptr;
  Api::Info(program.code, program.study, PCRE_INFO_FIRSTTABLE, &firstUnits);
  int possibleFirst = 256;
  if (firstUnits != nullptr) {
    possibleFirst = 0;
    for (int i = 0; i < 32; ++i) possibleFirst += __builtin_popcount(firstUnits[i]);
  }
  // A program that is nothing but literals is answered by the search
  // alone, with no execution per match, which beats PCRE's start search in
  // every case.
  const bool weak = !scanFirst && !program.plan.wholeLiteral;
  if (weak && program.plan.windowed && program.plan.probes.size() >= 2) {
    program.needles = NeedleSearch<Char>(program.plan.probes, program.plan.multiUnit);
    return;
  }
  if (weak && (firstCharacter != 0 || possibleFirst <= kNarrowFirstUnits)) needles.clear();
  program.needles = NeedleSearch<Char>(needles);
}

// Whether both programs are answered by the same search for the same
// case-sensitive ASCII literals, and never by PCRE.
bool SameLiteralSearch(const Program<char>& ansi, const Program<char>& utf8) {
  return ansi.plan.wholeLiteral && utf8.plan.wholeLiteral && !ansi.needles.Empty() &&
         !utf8.needles.Empty() && ansi.plan.alternatives == utf8.plan.alternatives;
}

// Studies with JIT compilation. A program JIT cannot compile keeps the
// plain study and runs in the interpreter.
// The JIT stack comes from the executing thread's lease (see
// CurrentNarrowJitStack), assigned here once, before any thread matches.
template <typename Char>
void StudyOneWithJit(typename PcreApi<Char>::Code* code, typename PcreApi<Char>::Extra*& extra,
                     bool& hasJit, const char*& message) {
  using Api = PcreApi<Char>;
  extra = Api::Study(code, PCRE_STUDY_JIT_COMPILE, &message);
  int jit = 0;
  if (message == nullptr && extra != nullptr && Api::Info(code, extra, PCRE_INFO_JIT, &jit) == 0) {
    hasJit = jit != 0;
  }
  if (hasJit) Api::AssignJitStack(extra, CurrentJitStack<Char>());
}

template <typename Char>
void StudyWithJit(Program<Char>& program, const char*& message) {
  StudyOneWithJit<Char>(program.code, program.study, program.jit, message);
  if (message == nullptr && program.windowCode != nullptr) {
    StudyOneWithJit<Char>(program.windowCode, program.windowStudy, program.windowJit, message);
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

// Builds the program's piece forms (see Program::pieceForms): each is
// compiled from the rewritten pattern, instrumented as the program is, and
// kept only when it compiles, studies and has the program's groups.
template <typename Char>
void BuildPieceForms(Program<Char>& program, const Form<Char>& form) {
  const LinePlan& plan = program.plan;
  if (!plan.parsed || plan.boundEscapes.empty()) return;
  const int kinds = BoundKinds(plan, AsUnits(form.pattern));
  const int groups = CaptureCount<Char>(program.code);
  for (int mask = 1; mask <= 3; ++mask) {
    if ((mask & ~kinds) != 0) continue;
    std::basic_string<Char> text = WithBoundsNever(form.pattern, plan.boundEscapes, mask);
    if (program.stopPoint != kNoStopPoint) text = WithStopCallout(text, StopCalloutPosition(text));
    auto piece = std::make_unique<Program<Char>>();
    const char* error = nullptr;
    int at = 0;
    piece->code = form.Compile(text, &error, &at);
    if (piece->code == nullptr) continue;
    if (CaptureCount<Char>(piece->code) != groups) continue;
    const char* message = nullptr;
    StudyOneWithJit<Char>(piece->code, piece->study, piece->jit, message);
    if (message != nullptr) continue;
    piece->stopPoint = program.stopPoint;
    program.pieceForms[mask - 1] = std::move(piece);
  }
}

// The compiled program of one form, planned and instrumented; null with
// PCRE's message and offset when the pattern does not compile.
template <typename Char>
std::shared_ptr<Program<Char>> CompileForm(const Form<Char>& form, const char** message,
                                           int* offset) {
  auto program = std::make_shared<Program<Char>>();
  program->code = form.Compile(form.pattern, message, offset);
  if (program->code == nullptr) return nullptr;
  PlanLines(*program, form.pattern, form.options);
  Instrument(*program, form);
  return program;
}

// The three forms of one field's expression.
struct FieldForms {
  Form<char> ansi;
  Form<char> utf8;
  Form<char16_t> utf16;
};

FieldForms FormsOf(const PluginState& state, const std::u16string& expression,
                   std::uint32_t flags, bool oemCodePage) {
  const PluginSettings& settings = state.settings;
  const settings::ExpressionOptions options = settings::ExpressionOptionsFor(
      settings.caseSensitiveDefault, (flags & settings::flags::DisableUnicodeProperties) == 0);
  FieldForms forms;
  ToNarrow(settings, expression.data(), expression.size(), &forms.ansi.pattern, true, oemCodePage);
  ToNarrow(settings, expression.data(), expression.size(), &forms.utf8.pattern, false, false);
  forms.ansi.options = options.byteForm;
  forms.ansi.tables = oemCodePage ? state.oemTables.get() : state.ansiTables.get();
  forms.ansi.variant = CompileVariant::kAnsi;
  forms.ansi.errorText = forms.ansi.pattern;
  forms.utf8.options = options.unicodeForm;
  forms.utf8.variant = CompileVariant::kUtf8;
  forms.utf8.errorText = forms.utf8.pattern;
  forms.utf16.pattern = expression;
  forms.utf16.options = options.unicodeForm;
  forms.utf16.variant = CompileVariant::kUtf16;
  forms.utf16.errorText = forms.utf8.pattern;
  return forms;
}

// The record's group count and execution options, read from its UTF-8
// program (all three forms compile the same pattern).
void SetExecOptions(FieldDefinition& record, const Program8& utf8) {
  int captureCount = 0;
  pcre_fullinfo(utf8.code, utf8.study, PCRE_INFO_CAPTURECOUNT, &captureCount);
  unsigned long compiledOptions = 0;
  pcre_fullinfo(utf8.code, utf8.study, PCRE_INFO_OPTIONS, &compiledOptions);
  const int newline = static_cast<int>(compiledOptions) & kNewlineBits;
  record.captureCount = captureCount;
  record.crlfIsNewline = IsCrlfNewline(newline);
  record.ansiExecOptions = static_cast<std::uint32_t>(newline);
  record.utf8ExecOptions = static_cast<std::uint32_t>(newline | kNoUtfCheck);
  record.utf16ExecOptions = static_cast<std::uint32_t>(newline | kNoUtfCheck);
}

// Appended, or in place of the first record for index 0 when the table is
// not empty.
void StoreField(FieldTable& fields, int index, FieldDefinition record) {
  if (fields.empty() || index != 0) {
    fields.push_back(std::move(record));
  } else {
    fields[0] = std::move(record);
  }
}

}  // namespace

void SetStopCalloutEnabled(bool enabled) {
  stopCalloutEnabled.store(enabled, std::memory_order_relaxed);
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
  FieldDefinition record = MakeFieldDefinition(name, flags, type);
  const FieldForms forms = FormsOf(state, expression, flags, record.oemCodePage);
  const auto fail = [&](const char* message, const auto& form, int offset) {
    AppendCompileError(message, form.errorText, offset, form.variant, index, record, errorLog);
    return false;
  };

  // Every form compiles before any is studied, so that a syntax error is
  // what the log names.
  const char* message = nullptr;
  int offset = 0;
  const auto ansi = CompileForm(forms.ansi, &message, &offset);
  if (ansi == nullptr) return fail(message, forms.ansi, offset);
  const auto utf8 = CompileForm(forms.utf8, &message, &offset);
  if (utf8 == nullptr) return fail(message, forms.utf8, offset);
  const auto utf16 = CompileForm(forms.utf16, &message, &offset);
  if (utf16 == nullptr) return fail(message, forms.utf16, offset);

  // Study each program; the first that reports an error fails the field.
  message = nullptr;
  StudyWithJit(*ansi, message);
  if (message != nullptr) return fail(message, forms.ansi, 0);
  StudyWithJit(*utf8, message);
  if (message != nullptr) return fail(message, forms.utf8, 0);
  StudyWithJit(*utf16, message);
  if (message != nullptr) return fail(message, forms.utf16, 0);

  BuildPieceForms(*ansi, forms.ansi);
  BuildPieceForms(*utf8, forms.utf8);
  BuildPieceForms(*utf16, forms.utf16);
  ChooseLiterals(*ansi);
  ChooseLiterals(*utf8);
  ChooseLiterals(*utf16);

  const settings::AnswerKind kind = settings::AnswerKindOf(record.type);
  record.answersAlikeAsUtf8OrAnsi =
      (kind == settings::AnswerKind::Flag || kind == settings::AnswerKind::Count) &&
      SameLiteralSearch(*ansi, *utf8);
  record.ansiProgram = ansi;
  record.utf8Program = utf8;
  record.utf16Program = utf16;
  SetExecOptions(record, *utf8);
  if (record.IsStringType()) CompileReplaceTemplate(replaceTemplate, record);
  StoreField(state.fields, index, std::move(record));
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
