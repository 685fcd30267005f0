// The platform layer: everything that is not plain C++.
//
// Library code includes neither <windows.h> nor POSIX headers; it calls these
// functions. Two backends implement them: platform/posix (Linux) and
// platform/win32 (the Windows calls). Both honour the contracts written here.
//
// Divisions: paths and names; files; code pages; collation and case;
// synchronisation and time; memory; environment; module path; dynamic
// libraries; child processes; test hooks.
//
// Text conventions: UTF-16 text is char16_t; narrow text is bytes in a code
// page the caller names. Wide file names are UTF-16 (on POSIX they are
// converted to the file system's UTF-8 bytes at the edge); narrow file names
// are the host's bytes (ANSI on Windows, file-system bytes on POSIX).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::platform {

// ---------------------------------------------------------------------------
// Paths and names
// ---------------------------------------------------------------------------
// Every character that separates a name's parts, for find_last_of: "\" and
// "/" on Windows; only "/" on POSIX, where a backslash is an ordinary
// character of a name.
#ifdef _WIN32
inline constexpr char16_t kPathSeparator = u'\\';
inline constexpr const char16_t* kPathSeparators = u"\\/";
inline constexpr const char* kPathSeparatorsNarrow = "\\/";
inline constexpr bool kHasLongPathForm = true;  // "\\?\" names, short 8.3 names
#else
inline constexpr char16_t kPathSeparator = u'/';
inline constexpr const char16_t* kPathSeparators = u"/";
inline constexpr const char* kPathSeparatorsNarrow = "/";
inline constexpr bool kHasLongPathForm = false;
#endif

// A file name as the host gave it: exactly one of the two is set.
struct FileName {
  const char* narrow = nullptr;
  const char16_t* wide = nullptr;
};

// The short (8.3) form of an existing path, or the path unchanged where there
// is none (always on POSIX).
std::u16string ShortPathName(const std::u16string& path);

#ifndef _WIN32
// POSIX file names are bytes, usually but not always UTF-8. Wide names map
// to them losslessly both ways: valid UTF-8 is its characters; every byte of
// a sequence that is not UTF-8 becomes one lone surrogate U+DC80..U+DCFF
// (byte 0x80..0xFF). So every existing file can be named through the wide
// exports, and a name the plugin gives back in UTF-16 names the same file.
std::u16string FileNameBytesToWide(std::string_view bytes);
// The bytes of a wide name. False (bytes unspecified) when the name holds a
// lone surrogate outside U+DC80..U+DCFF, which no file name can have.
bool WideToFileNameBytes(std::u16string_view units, std::string* bytes);
#endif

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------
// Attribute bits as Windows reports them; the POSIX backend maps its mode to
// the same bits (directory 0x10, read-only 0x01, normal 0x80) and marks
// everything that is neither a regular file nor a directory (FIFO, socket,
// character or block device) as a device (0x40): such names may block an
// open or deliver data without end, so no content is ever read from them.
inline constexpr std::uint32_t kAttributeReadOnly = 0x01;
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeDevice = 0x40;
inline constexpr std::uint32_t kAttributeNormal = 0x80;

struct FileInfo {
  std::uint32_t attributes = 0;
  std::uint32_t lastWriteLow = 0;   // last-write time, Windows FILETIME layout
  std::uint32_t lastWriteHigh = 0;  // (100 ns units since 1601) on both backends
  std::uint64_t size = 0;
  bool IsDirectory() const { return (attributes & kAttributeDirectory) != 0; }
  // A file whose content can be read: neither a directory nor a device.
  bool IsRegularFile() const { return (attributes & (kAttributeDirectory | kAttributeDevice)) == 0; }
};

// Standard attribute query (GetFileAttributesExW). False when it fails.
bool QueryFileInfo(const FileName& name, FileInfo* info);

// Find-first on the name: true when anything is found. The search handle is
// closed at once.
bool FindFirstMatches(const FileName& name);

// One entry of a folder listing: the name (the file system's bytes on POSIX,
// UTF-8 on Windows) and the kind the listing tells. A symbolic link (or a
// junction) is a link whatever it points to; kOther is anything that is
// neither a file, a folder nor a link (a device, a FIFO, a socket).
struct FolderEntry {
  enum class Kind : std::uint8_t { kFile, kFolder, kLink, kOther };
  std::string name;
  Kind kind = Kind::kOther;
};

// The entries of a folder without "." and "..", in the system's order. The
// kind comes from the listing itself; an entry is looked at on its own only
// where the listing does not say. False with the system's message when the
// folder cannot be listed. The folder is named as the entries are.
bool ListFolderEntries(const std::string& folder, std::vector<FolderEntry>* entries,
                       std::string* error);

// What a path is with links followed: kFile, kFolder or kOther (also for a
// link that leads nowhere).
FolderEntry::Kind KindWithLinksFollowed(const std::string& path);

enum class OpenMode {
  // Read access, read sharing, existing only, sequential scan. Only regular
  // files open: a FIFO, socket or device gives a closed File at once (on
  // POSIX the open never blocks and the kind is checked on the descriptor).
  kReadShared,
  // kReadShared for a name that an attribute query has just found to be a
  // regular file: no further check of the kind, so that reading a small file
  // costs as few system calls as it can. On POSIX the descriptor stays
  // non-blocking (a regular file ignores that): should the name have become
  // a FIFO or a device since the query, reads fail or end at once instead of
  // waiting. Windows checks the kind as for kReadShared.
  kReadContent,
  kReadWriteOpenAlways,  // read/write, read sharing, created when missing
  kWriteCreateNew,  // write access, no sharing, fails when the name exists
};

// A move-only owner of an open file. Closed files hold kClosed.
class File {
 public:
  static constexpr std::intptr_t kClosed = -1;

  File() = default;
  explicit File(std::intptr_t native) : native_(native) {}
  File(File&& other) noexcept : native_(other.Release()) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { Close(); }

  bool IsOpen() const { return native_ != kClosed; }
  // The descriptor or handle, still owned by this File.
  std::intptr_t Native() const { return native_; }
  void Close();
  std::intptr_t Release() {
    const std::intptr_t n = native_;
    native_ = kClosed;
    return n;
  }

  // Reads up to n bytes at the current position. Returns the count read
  // (0 at the end of the file), or -1 on an error. Retries interrupted calls.
  std::int64_t Read(void* buffer, std::size_t n);
  // Reads exactly n bytes; false on an error or a short read.
  bool ReadExact(void* buffer, std::size_t n);
  // Writes up to n bytes at the current position. Returns the count
  // written, or -1 on an error. Retries interrupted calls.
  std::int64_t Write(const void* buffer, std::size_t n);
  // Writes all n bytes; false when any could not be written.
  bool WriteAll(const void* buffer, std::size_t n);
  bool SeekRelative(std::int64_t delta);
  bool SeekToEnd();
  // Tells the system that the file will be read from start to end (POSIX
  // read-ahead advice; Windows opens read files for sequential scans
  // already). A hint: nothing fails.
  void AdviseSequential();
  // Cuts the file at the current position.
  bool TruncateHere();
  // Makes what was written durable (fsync / FlushFileBuffers).
  bool Sync();

 private:
  std::intptr_t native_ = kClosed;
};

// Opens a file. On success *created tells whether it did not exist before
// (only for kReadWriteOpenAlways). A failed open gives a closed File.
File OpenFile(const FileName& name, OpenMode mode, bool* created = nullptr);

// Replaces target by source (same folder), atomically where the system can.
// On POSIX source first takes target's permissions and, where the process
// may give them (as root), its owner and group.
bool ReplaceFile(const std::u16string& source, const std::u16string& target);

// Where new content for the file name must be written so that the name
// keeps what it is. For a symbolic link (or a chain of them) *target is the
// file it finally names, a relative link resolved from its own folder; for a
// dangling link, the missing file it names; otherwise the name itself.
// *hardLinked tells that the file has other names (hard links), which only
// a write in place keeps. False when the links cannot be followed (a loop,
// or more than 40 of them). Windows: the name itself, no hard links.
bool ResolveWriteTarget(const std::u16string& name, std::u16string* target, bool* hardLinked);
bool DeleteFile(const std::u16string& name);

// The folder for temporary files, with its trailing separator ($TMPDIR or
// /tmp; GetTempPathW). Empty when there is none.
std::u16string TemporaryFolder();

// The system's message (UTF-8) for the error of this thread's last failed
// file call (errno; GetLastError). Call it before any other system call.
std::string LastErrorMessage();

// ---------------------------------------------------------------------------
// Code pages
// ---------------------------------------------------------------------------
inline constexpr std::uint32_t kCodePageUtf8 = 65001;

// The host's narrow encoding: GetACP on Windows; on POSIX the charset of the
// process locale (UTF-8 in a UTF-8 locale, 1252 for the C locale).
std::uint32_t AnsiCodePage();
// GetOEMCP on Windows; 437 on POSIX.
std::uint32_t OemCodePage();
// True for code pages whose characters may take more than one byte.
bool IsMultiByteCodePage(std::uint32_t codePage);
// The code page's default character (used for unmappable characters).
char DefaultCharacter(std::uint32_t codePage);

// Appends the UTF-16 form of n bytes in the code page. Invalid sequences
// become U+FFFD. False only when the code page is unknown.
bool AppendWide(std::uint32_t codePage, const char* bytes, std::size_t n, std::u16string* out);
// Appends the code-page form of n UTF-16 units; characters the code page
// cannot hold become its default character. False when the code page is
// unknown.
bool AppendNarrow(std::uint32_t codePage, const char16_t* units, std::size_t n, std::string* out);
// CharPrevExA: index of the start of the character that precedes position
// pos (0 < pos <= n) in text of the code page. Returns 0 when pos is 0.
std::size_t PreviousCharStart(std::uint32_t codePage, const char* text, std::size_t pos);

// Character classes of one UTF-16 unit, for building 8-bit character tables
// of a code page without touching the process locale.
namespace charclass {
inline constexpr std::uint32_t kAlpha = 1, kDigit = 2, kSpace = 4, kUpper = 8, kLower = 16,
                               kPunct = 32, kCntrl = 64, kPrint = 128, kGraph = 256,
                               kXdigit = 512;
}
std::uint32_t ClassifyUnit(char16_t unit);
char16_t ToLowerUnit(char16_t unit);
char16_t ToUpperUnit(char16_t unit);

// ---------------------------------------------------------------------------
// Collation and case
// ---------------------------------------------------------------------------
// strcoll order of two narrow strings under the ANSI code page's collation
// (a locale object; the process locale is not changed).
int CollateNarrow(const std::string& a, const std::string& b);
// Case-insensitive comparison of UTF-16 text (CompareStringEx or
// CompareStringW with NORM_IGNORECASE on Windows). <0, 0, >0.
int CompareCaseless(std::u16string_view a, std::u16string_view b);
// Case-insensitive comparison of UTF-16 text that does not depend on the
// user's locale: the invariant locale (CompareStringEx with the invariant
// locale's name where the system has it, else CompareStringW with the
// invariant locale number) on Windows; simple per-unit case folding on
// POSIX. <0, 0, >0.
int CompareCaselessInvariant(std::u16string_view a, std::u16string_view b);
// Case-insensitive comparison of narrow text under the user's locale
// (CompareStringA with NORM_IGNORECASE on Windows). POSIX converts both texts
// from codePage to UTF-16 and compares them as CompareCaseless does. <0, 0, >0.
int CompareCaselessNarrow(std::uint32_t codePage, std::string_view a, std::string_view b);

// ---------------------------------------------------------------------------
// Synchronisation and time
// ---------------------------------------------------------------------------
// A non-recursive lock usable with std::lock_guard (a critical section on
// Windows). Not copyable or movable.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  void unlock();

 private:
  alignas(16) unsigned char storage_[64];
};

// A per-thread pointer (a pthread key; a TLS index on Windows): each thread
// sees its own value, null until it sets one. Unlike a C++ thread_local it
// leaves nothing behind in the host's threads when the plugin is unloaded.
// Not copyable or movable.
class ThreadSlot {
 public:
  ThreadSlot();
  ~ThreadSlot();
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;
  void* Get() const;           // null when the slot could not be created
  void Set(void* value) const;  // ignored when the slot could not be created

 private:
  unsigned long key_ = 0;
  bool valid_ = false;
};

// Milliseconds from an arbitrary start; wraps like GetTickCount.
std::uint32_t TickCount();

struct LocalTime {
  int year, month, day, hour, minute, second;
};
LocalTime CurrentLocalTime();
// Seconds since 1970, for seeding.
std::int64_t CurrentTimeSeconds();

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------
// Free physical memory in bytes (GlobalMemoryStatusEx / MemAvailable).
std::uint64_t FreePhysicalMemory();

// Whole pages straight from the system (mmap / VirtualAlloc), for buffers of
// megabytes: zero-filled and page-aligned. On POSIX they are backed by huge
// pages where the system allows it, so that filling a large buffer faults a
// few times per megabyte instead of once per 4 KiB. Null when the memory
// cannot be had. FreePages takes the size given to AllocatePages.
void* AllocatePages(std::size_t bytes);
void FreePages(void* pages, std::size_t bytes);
// Tells the system that the pages' content is no longer needed
// (MADV_FREE / MEM_RESET): it may take them back when memory runs short, and
// they then come back zero-filled on their next use. Until it does, using
// them costs no fault. Their content is undefined afterwards.
void DiscardPageContents(void* pages, std::size_t bytes);

// ---------------------------------------------------------------------------
// Environment
// ---------------------------------------------------------------------------
// Expands %NAME% references (Windows) or $NAME / ${NAME} (POSIX). Text that
// cannot be expanded is returned unchanged.
std::u16string ExpandEnvironment(const std::u16string& text);

// ---------------------------------------------------------------------------
// Module path
// ---------------------------------------------------------------------------
// Full path of the module (plugin library or program) that contains the
// address. Fills the wide form when it can; else the narrow form. False when
// neither is known.
bool QueryModulePath(const void* addressInModule, std::u16string* wide, std::string* narrow);

// ---------------------------------------------------------------------------
// Dynamic libraries
// ---------------------------------------------------------------------------
// A move-only owner of a loaded library (LoadLibraryExW with the altered
// search path on Windows; dlopen on POSIX).
class Library {
 public:
  Library() = default;
  Library(Library&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Library& operator=(Library&& other) noexcept;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  ~Library() { Close(); }

  // On failure the result is closed and, when error is given, *error holds
  // the system's message (UTF-8). (The message is returned rather than kept in a
  // thread-local: a plugin that can be unloaded must not leave thread-local
  // blocks behind in the host's threads.)
  static Library Open(const std::u16string& path, std::string* error = nullptr);
  bool IsOpen() const { return handle_ != nullptr; }
  void* Symbol(const char* name) const;
  void Close();
  // Gives up ownership without unloading (for process termination, when
  // unloading is the system's business).
  void* Release() {
    void* h = handle_;
    handle_ = nullptr;
    return h;
  }

 private:
  void* handle_ = nullptr;
};

// ---------------------------------------------------------------------------
// Child processes
// ---------------------------------------------------------------------------
// Windows command line for a program and its arguments: each argument is
// quoted so that CommandLineToArgvW gives it back unchanged, whatever
// blanks, quotes or backslashes it holds. Pure function; used by the win32
// backend and tested everywhere.
std::u16string BuildCommandLine(const std::u16string& program,
                                const std::vector<std::u16string>& arguments);

// Bounds set on a child process before it runs its program.
struct ChildLimits {
  // Address space in bytes (RLIMIT_AS), 0 for none. Linux only: other
  // systems ignore it. A program built with a sanitizer cannot start under
  // such a limit (its shadow memory is reserved up front).
  std::uint64_t addressSpaceBytes = 0;
};

// A started child process with its standard output on a pipe. Move-only; the
// destructor terminates a child that still runs and releases every handle.
//
// A child never outlives its starter. On Linux it gets SIGKILL when the
// thread that started it ends (the parent-death signal belongs to that
// thread, not to the process): an owner must stay on the starting thread
// until the child is reaped. On Windows it runs in a job object of its own
// that kills it, and whatever it starts, once the job's handle closes: when
// the owner reaps it, or when the starting process dies.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // What the child's standard error is connected to.
  enum class ErrorOutput { kDiscard, kIntoOutput };

  using Limits = ChildLimits;

  // Starts program with arguments (no shell; each argument stays one). The
  // child's standard input is empty; its standard error is discarded or
  // mixed into its output. The child inherits no other handle of ours, and
  // starts with the default action for every signal the host catches. A
  // program that cannot be executed gives a child that is not running.
  static ChildProcess Start(const std::u16string& program,
                            const std::vector<std::u16string>& arguments,
                            ErrorOutput errors = ErrorOutput::kDiscard,
                            const Limits& limits = Limits());
  bool IsRunning() const { return process_ != kNone; }
  // Reads up to n bytes of the child's output; 0 at its end, -1 on error.
  // Blocks until some output (or its end) is there.
  std::int64_t ReadOutput(void* buffer, std::size_t n);
  // Bytes of output that ReadOutput can take now without blocking (0 when
  // none), or -1 when the pipe cannot be asked (closed, or broken with
  // nothing left).
  std::int64_t AvailableOutput();
  // Waits at most milliseconds for the child to end (returning earlier when
  // output arrives). True once it has ended: it is then reaped and its exit
  // code kept for Wait; the output pipe stays readable.
  bool WaitForExit(std::uint32_t milliseconds);
  // Waits for the child and gives its exit code (-1 when it did not exit
  // normally). Releases the process and the output pipe; a later call gives
  // the same code again.
  int Wait();
  // Ends the child at once and reaps it.
  void Terminate();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t process_ = kNone;  // pid or process HANDLE
  std::intptr_t output_ = kNone;   // read end of the output pipe
  std::intptr_t job_ = kNone;      // Windows: the job object holding the child
  int exitCode_ = -1;              // kept by WaitForExit
};

// ---------------------------------------------------------------------------
// Test hooks (never used by the deliverables themselves)
// ---------------------------------------------------------------------------
// Selects other ANSI/OEM code pages (0 restores the system's), so that
// Windows-like and multi-byte behaviour can be tested on any machine.
void SetCodePagesForTesting(std::uint32_t ansi, std::uint32_t oem);
// Replaces the free-memory figure (0 restores the real query).
void SetFreePhysicalMemoryForTesting(std::uint64_t bytes);

}  // namespace qm::platform
