// The warning-window test hooks on Windows: they read, press and close the real dialog through
// its window messages, and find it among the process's top-level windows, as a user would.
#include <windows.h>

#include <cwchar>

#include "platform/testing.h"
#include "resources/warning_ids.h"

namespace plat {
namespace {

constexpr wchar_t kDialogClass[] = L"#32770";
constexpr int kClassNameUnits = 16;

HWND AsHwnd(Window* window) {
  return reinterpret_cast<HWND>(window);
}

struct Search {
  DWORD process;
  HWND found;
};

// A dialog of this process with the warning's first text is the warning window.
BOOL CALLBACK MatchWarning(HWND window, LPARAM arg) {
  auto* search = reinterpret_cast<Search*>(arg);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t className[kClassNameUnits] = {};
  if (process != search->process || !GetClassNameW(window, className, kClassNameUnits) ||
      std::wcscmp(className, kDialogClass) != 0 || !GetDlgItem(window, IDC_WARNING_FIRST)) {
    return TRUE;
  }
  search->found = window;
  return FALSE;  // windows come in z-order, so the first match is the topmost
}

}  // namespace

bool WarningWindowText(Window* window, int32_t item, char16_t* out, size_t capacity) {
  if (!window || !out || capacity == 0 || !IsWindow(AsHwnd(window))) return false;
  auto* buffer = reinterpret_cast<wchar_t*>(out);
  int units = static_cast<int>(capacity);
  out[0] = u'\0';
  if (item == 0) {
    GetWindowTextW(AsHwnd(window), buffer, units);
    return true;
  }
  if (!GetDlgItem(AsHwnd(window), item)) return false;
  GetDlgItemTextW(AsHwnd(window), item, buffer, units);
  return true;
}

void WarningWindowPress(Window* window, int32_t controlId) {
  if (!window) return;
  HWND control = GetDlgItem(AsHwnd(window), controlId);
  SendMessageW(AsHwnd(window), WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED),
               reinterpret_cast<LPARAM>(control));
}

void WarningWindowUserClose(Window* window) {
  if (window) SendMessageW(AsHwnd(window), WM_SYSCOMMAND, SC_CLOSE, 0);
}

Window* WarningWindowFind() {
  Search search{GetCurrentProcessId(), nullptr};
  EnumWindows(MatchWarning, reinterpret_cast<LPARAM>(&search));
  return reinterpret_cast<Window*>(search.found);
}

}  // namespace plat
