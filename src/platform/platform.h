// The one door from core code to the operating system. Each concern below has one file per
// backend (src/platform/win32/<concern>.cpp, src/platform/posix/<concern>.cpp) exposing exactly
// these functions; CMake compiles one backend. Core code includes nothing else from the OS.
#pragma once

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
// Tests compress time: with a scale of N every sleep and wait lasts 1/N of its nominal length
// and every clock advances N times faster, so code written against real seconds runs in
// milliseconds with its ordering intact. The default scale is 1.
void SetTimeScale(uint32_t factor);
uint32_t TimeScale();
void SleepMs(uint32_t ms);
void YieldThread();                   // Sleep(0): give up the rest of the time slice
int64_t NowTicks();                   // system clock, 100-ns ticks since 1970-01-01 UTC
int64_t NowSeconds();                 // calendar time in whole seconds (time())
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
const char* LogFilePath();          // "c:\ovdbg\ov_plugin.log" or its POSIX mapping
const char* DebugImageCopyPath();   // "/tmp/ovdbg/raw.jpg"
bool FileDelete(const char* path);
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
bool MakeDirectory(const char16_t* path);     // one level, default security
// The user's documents folder (SHGetFolderPathW CSIDL_PERSONAL / XDG_DOCUMENTS_DIR).
bool DocumentsFolder(char16_t* out, size_t capacity);

// ---- Debug output --------------------------------------------------------------------------
void DebugOutput(const char* text);  // OutputDebugStringA; stderr on POSIX when BRELON_DEBUG=1

// ---- Code pages ----------------------------------------------------------------------------
// ANSI code page <-> UTF-16 (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED) on Windows, UTF-8
// on POSIX with U+FFFD for invalid bytes). Both convert at most srcLen units, always
// terminate the output when capacity > 0, and return the units written without terminator.
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

// ---- Named mutex (machine-wide) ------------------------------------------------------------
struct NamedMutex;
// Creates the mutex, not owned. *alreadyExisted tells whether another holder had it.
NamedMutex* NamedMutexCreate(const char16_t* name, bool* alreadyExisted);
void NamedMutexClose(NamedMutex* mutex);

}  // namespace plat
