// Win32 backend of the test support: environment variables, and the child process (its own
// process group, stdout and stderr on one inheritable handle, CTRL_BREAK_EVENT to interrupt).
#include <windows.h>

#include <cstdlib>

#include "support/child_process.h"
#include "support/sim_harness.h"

void brelon::test::SetEnv(const char* name, const char* value) {
  _putenv_s(name, value ? value : "");
}

namespace testsupport {
namespace {

constexpr DWORD kKilledCode = 1;

// Quoted as the C runtime splits a command line: backslashes before a quote are doubled.
void AppendQuoted(const std::filesystem::path& arg, std::wstring* line) {
  *line += line->empty() ? L"\"" : L" \"";
  size_t backslashes = 0;
  for (wchar_t c : arg.wstring()) {
    if (c == L'"') line->append(backslashes + 1, L'\\');
    backslashes = c == L'\\' ? backslashes + 1 : 0;
    *line += c;
  }
  line->append(backslashes, L'\\');
  *line += L'"';
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (running_) TerminateProcess(reinterpret_cast<HANDLE>(process_), kKilledCode);
  Wait();
}

bool ChildProcess::Spawn(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& outputFile) {
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);  // no crash dialog
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE out = CreateFileW(outputFile.wstring().c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::wstring line;
  AppendQuoted(program, &line);
  for (const auto& a : args) AppendQuoted(std::u8string(a.begin(), a.end()), &line);
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = out;
  PROCESS_INFORMATION pi = {};
  const bool ok = out != INVALID_HANDLE_VALUE &&
                  CreateProcessW(program.wstring().c_str(), line.data(), nullptr, nullptr, TRUE,
                                 CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi);
  CloseHandle(out);  // also harmless when invalid
  if (!ok) return false;
  CloseHandle(pi.hThread);
  process_ = reinterpret_cast<intptr_t>(pi.hProcess);
  return true;
}

bool ChildProcess::Interrupt() {
  const DWORD group = GetProcessId(reinterpret_cast<HANDLE>(process_));  // the child's own
  return running_ && GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, group) != 0;
}

int ChildProcess::Wait() {
  if (!running_) return kChildAbnormalExit;
  const HANDLE child = reinterpret_cast<HANDLE>(process_);
  DWORD code = 0;
  const bool ok =
      WaitForSingleObject(child, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(child, &code);
  CloseHandle(child);
  running_ = false;
  return ok ? static_cast<int>(code) : kChildAbnormalExit;
}

}  // namespace testsupport
