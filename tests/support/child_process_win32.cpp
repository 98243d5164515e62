// Win32 backend of the test-side child process: CreateProcessW in a process group of its own
// with stdout and stderr redirected to one inheritable file handle, CTRL_BREAK_EVENT for the
// interrupt (Ctrl-C cannot be sent to another group), GetExitCodeProcess for the exit code.
#include <windows.h>

#include "support/child_process.h"

namespace testsupport {
namespace {

constexpr DWORD kKilledCode = 1;

std::wstring Widen(const std::string& utf8) {
  return std::filesystem::path(reinterpret_cast<const char8_t*>(utf8.c_str())).wstring();
}

// One argument quoted the way the C runtime splits a command line back into argv.
void AppendQuoted(const std::wstring& arg, std::wstring* line) {
  if (!line->empty()) *line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
    *line += arg;
    return;
  }
  *line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote itself escaped.
    line->append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, L'\\');
  *line += L'"';
}

// The inherited environment block with `extra` entries replacing same-named ones (names
// compared without regard to case, as Windows does; "=C:=C:\..." entries start with '=').
std::wstring MergedEnvironment(const std::vector<std::string>& extra) {
  std::wstring block;
  wchar_t* env = GetEnvironmentStringsW();
  for (const wchar_t* p = env; p && *p; p += wcslen(p) + 1) {
    const std::wstring entry = p;
    const size_t eq = entry.find(L'=', 1);
    bool replaced = false;
    for (const auto& x : extra) {
      replaced = replaced || (eq != std::wstring::npos && x.size() > eq && x[eq] == '=' &&
                              _wcsnicmp(Widen(x).c_str(), entry.c_str(), eq) == 0);
    }
    if (!replaced) block += entry + L'\0';
  }
  if (env) FreeEnvironmentStringsW(env);
  for (const auto& x : extra) block += Widen(x) + L'\0';
  return block + L'\0';
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (running_) {
    TerminateProcess(reinterpret_cast<HANDLE>(process_), kKilledCode);
    Wait();
  }
}

bool ChildProcess::Start(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env,
                         const std::filesystem::path& outputFile) {
  if (running_) return false;
  // Inherited by the child: a crash ends it at once instead of opening a dialog nobody answers.
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE out = CreateFileW(outputFile.wstring().c_str(), GENERIC_WRITE, share, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE in = CreateFileW(L"NUL", GENERIC_READ, share, &inherit, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  std::wstring line;
  AppendQuoted(program.wstring(), &line);
  for (const auto& a : args) AppendQuoted(Widen(a), &line);
  std::wstring environment = MergedEnvironment(env);
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = si.hStdError = out;
  PROCESS_INFORMATION pi = {};
  const bool ok = out != INVALID_HANDLE_VALUE && in != INVALID_HANDLE_VALUE &&
                  CreateProcessW(program.wstring().c_str(), line.data(), nullptr, nullptr, TRUE,
                                 CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT,
                                 environment.data(), nullptr, &si, &pi);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
  if (!ok) return false;
  CloseHandle(pi.hThread);
  process_ = reinterpret_cast<intptr_t>(pi.hProcess);
  id_ = pi.dwProcessId;
  return running_ = true;
}

bool ChildProcess::Interrupt() {
  return running_ && GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, id_) != 0;
}

int ChildProcess::Wait() {
  if (!running_) return kChildAbnormalExit;
  const HANDLE process = reinterpret_cast<HANDLE>(process_);
  DWORD code = 0;
  const bool ok =
      WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
  CloseHandle(process);
  running_ = false;
  return ok ? static_cast<int>(code) : kChildAbnormalExit;
}

}  // namespace testsupport
