// The one door from core code to the operating system. Each concern below has one file per
// backend (src/platform/win32/<concern>.cpp, src/platform/posix/<concern>.cpp) exposing exactly
// these functions; CMake compiles one backend. Core code includes nothing else from the OS.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace plat {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult { kSignalled, kTimeout, kFailed };

// ---- Recursive locks (critical sections) --------------------------------------------------
struct Lock;
Lock* LockCreate();  // null only when out of memory
void LockDestroy(Lock* lock);
void LockEnter(Lock* lock);
void LockLeave(Lock* lock);

// Scoped holder; a null lock is a no-op, which lets callers guard optional locks uniformly.
class LockGuard {
 public:
  explicit LockGuard(Lock* lock) : lock_(lock) {
    if (lock_) LockEnter(lock_);
  }
  ~LockGuard() {
    if (lock_) LockLeave(lock_);
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock* lock_;
};

// ---- Events --------------------------------------------------------------------------------
struct Event;
Event* EventCreate(bool manualReset, bool initiallySignalled);
void EventClose(Event* event);
void EventSet(Event* event);
void EventReset(Event* event);
// Timeouts are in (scaled) milliseconds; kInfinite waits forever, 0 only tests.
WaitResult EventWait(Event* event, uint32_t timeoutMs);

// ---- Threads -------------------------------------------------------------------------------
struct Thread;
using ThreadProc = uint32_t (*)(void* arg);
Thread* ThreadStart(ThreadProc proc, void* arg);  // null when the thread cannot be created
WaitResult ThreadJoin(Thread* thread, uint32_t timeoutMs);
void ThreadClose(Thread* thread);  // releases the handle; the thread itself is not stopped
uint32_t CurrentThreadId();

// ---- Time ----------------------------------------------------------------------------------
// Sleeps, waits and clocks follow the time scale that tests may set (platform/testing.h); it is
// 1 unless a test changes it.
void SleepMs(uint32_t ms);
void YieldThread();    // Sleep(0): give up the rest of the time slice
int64_t NowTicks();    // system clock, 100-ns ticks since 1970-01-01 UTC
int64_t NowSeconds();  // calendar time in whole seconds (time())
struct LocalTime {
  int month, day, hour, minute, second, millisecond;
};
LocalTime NowLocal();

// ---- Dynamic libraries ---------------------------------------------------------------------
struct Library;
Library* LibraryLoad(const char16_t* path);  // null when missing or not loadable
void* LibrarySymbol(Library* lib, const char* name);
void LibraryFree(Library* lib);
// Full path of the host's executable (GetModuleFileNameW(NULL) / /proc/self/exe), at most
// `capacity` units including the terminator. False when it cannot be read.
bool ExecutablePath(char16_t* out, size_t capacity);
// The separator between a folder and a file name in native paths.
char16_t PathSeparator();
// The file name of the camera SDK library as this platform names it.
const char16_t* SdkLibraryFileName();
// Where the SDK library is taken from instead of beside the executable, when the platform
// allows an override (BRELON_ZEPA_PATH on POSIX). False when there is none.
bool SdkLibraryOverride(char16_t* out, size_t capacity);

// ---- Files ---------------------------------------------------------------------------------
// Narrow paths are in the ANSI code page on Windows and UTF-8 on POSIX.
const char* LogFilePath();         // "c:\ovdbg\ov_plugin.log" or its POSIX mapping
const char* DebugImageCopyPath();  // "/tmp/ovdbg/raw.jpg"
bool FileDelete(const char* path);
// The two writers serve the log and the debug copy. On POSIX they write only into a real folder
// (no link) that the user owns and no one else may write to, never through a link at the file
// name, and leave the file mode 0600.
// Opens for appending in text mode, writes every piece in order, closes. False if not opened.
bool FileAppendText(const char* path, const char* const* pieces, size_t count);
// Creates or truncates ("w+b") and writes the bytes. False if not created.
bool FileWriteBinary(const char* path, const void* data, size_t size);
// Size as the file system reports it; -1 when the file does not exist.
int64_t FileSize(const char* path);
// Reads exactly `size` bytes from the start of the file in binary mode.
bool FileReadAll(const char* path, void* out, size_t size);
constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
uint32_t FileAttributes(const char16_t* path);  // kInvalidFileAttributes when absent
bool MakeDirectory(const char16_t* path);       // one level, default security
// The user's documents folder (SHGetFolderPathW CSIDL_PERSONAL / XDG_DOCUMENTS_DIR).
bool DocumentsFolder(char16_t* out, size_t capacity);

// ---- Debug output --------------------------------------------------------------------------
void DebugOutput(const char* text);  // OutputDebugStringA; stderr on POSIX when BRELON_DEBUG=1

// ---- Code pages ----------------------------------------------------------------------------
// ANSI code page <-> UTF-16 (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED) on Windows, UTF-8
// on POSIX with U+FFFD for invalid bytes). Both convert at most srcLen units, always
// terminate the output when capacity > 0, cut a text that does not fit after its last whole
// character, and return the units written without terminator.
size_t AnsiToWide(const char* src, size_t srcLen, char16_t* out, size_t capacity);
size_t WideToAnsi(const char16_t* src, size_t srcLen, char* out, size_t capacity);

// ---- Registry (HKEY_CURRENT_USER) ----------------------------------------------------------
enum RegType : uint32_t { kRegSz = 1, kRegDword = 4 };
enum RegStatus : int32_t { kRegOk = 0, kRegNotFound = 2, kRegMoreData = 234, kRegError = 1 };
struct RegKey;
// Create-or-open below HKEY_CURRENT_USER (non-volatile, empty class, full access).
RegKey* RegistryOpenKey(const char16_t* subkey);
void RegistryCloseKey(RegKey* key);
// RegQueryValueExW semantics: *size is the buffer capacity in, the stored size out;
// kRegMoreData when the value does not fit (nothing copied).
RegStatus RegistryQuery(RegKey* key, const char16_t* name, uint32_t* type, void* data,
                        uint32_t* size);
RegStatus RegistrySet(RegKey* key, const char16_t* name, uint32_t type, const void* data,
                      uint32_t size);
// Makes the registry calls this thread issues until the matching RegistryBatchEnd one update
// that other threads and processes see all at once, or not at all if the process dies first.
// Batches nest; only the outermost end writes. A no-op where the OS store offers no such thing.
void RegistryBatchBegin();
void RegistryBatchEnd();
// Why the last failed registry call of this thread failed (a path or key and the system's error
// text), for the caller to log, since this layer cannot reach the plug-in's log. "" before any
// failure; valid until the thread's next registry call.
const char* RegistryLastError();

// ---- Named mutex (machine-wide) ------------------------------------------------------------
struct NamedMutex;
// Creates the mutex, not owned. *alreadyExisted tells whether another holder had it.
NamedMutex* NamedMutexCreate(const char16_t* name, bool* alreadyExisted);
void NamedMutexClose(NamedMutex* mutex);

// ---- Warning window ------------------------------------------------------------------------
// A small always-on-top dialog that runs on a thread of its own, so that its owner never blocks
// on the user. The window's thread publishes the window in a slot the owner keeps; the owner may
// find the slot still empty right after the start. Only the window's own thread destroys it.
struct Window;
using WindowSlot = std::atomic<Window*>;

// String-table ids of the four texts the window shows.
struct WarningTexts {
  uint32_t caption;
  uint32_t firstText;
  uint32_t secondText;
  uint32_t button;
};

// Starts the window's thread. The dialog and string resources come from the module the library's
// entry point recorded, else from the module that contains this code. `slot` (borrowed, must
// outlive the thread) receives the window once it exists. The texts are taken in the interface
// language of the calling thread. Returns the thread, owned by the caller (which ends it with
// WarningWindowRequestClose and joins it), or null when no thread could be started.
Thread* WarningWindowStart(const WarningTexts& texts, WindowSlot* slot);
// Any thread. False for a null window.
bool WarningWindowIsVisible(Window* window);
// Any thread: an ordinary show of a hidden window. A null window is ignored.
void WarningWindowShow(Window* window);
// Any thread: asks the window's thread to destroy its window and end; the owner then joins that
// thread. A window that no longer exists is ignored.
void WarningWindowRequestClose(Window* window);

// ---- Shell path helpers --------------------------------------------------------------------
// The Windows shell's rules for backslash paths such as "A:\DCIM\100ORVTS\ORV_0001.JPG"
// (PathRemoveBlanksW, PathStripPathW, PathRemoveFileSpecW), applied in place to a caller-owned,
// NUL-terminated path; a null path is ignored. Any thread. The POSIX backend reproduces the
// Windows results exactly, so names taken from camera paths are the same on every platform.
// Removes leading and trailing spaces (U+0020 only).
void PathRemoveBlanks(char16_t* path);
// Keeps only the last element: "A:\DCIM\X.JPG" -> "X.JPG"; a trailing backslash stays with its
// element ("A:\DCIM\" -> "DCIM\"). Here a slash or a colon also ends an element.
void PathStripPath(char16_t* path);
// Removes the last element and the backslash before it, keeping a drive root ("A:\") or the
// leading backslashes of a rooted or UNC path; a slash is no separator here. True when the path
// changed.
bool PathRemoveFileSpec(char16_t* path);

// ---- Guarded calls into the camera SDK ----------------------------------------------------------
// Runs fn(ctx) so that an exception thrown out of the SDK ends the call instead of the process:
// a C++ exception on POSIX, and on Windows exactly the exception an MSVC-built library raises
// for a C++ throw (code 0xE06D7363), whatever compiler built the caller. Every other exception
// (an access violation, say) passes on untouched to the handlers above. True when fn returned,
// with its result in *result (out); false when an SDK exception was caught, *result untouched.
// Any thread; `ctx` is borrowed and only handed to fn.
bool CallGuarded(int32_t (*fn)(void* ctx), void* ctx, int32_t* result);

}  // namespace plat
