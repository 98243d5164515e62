// The warning window on Windows: modeless dialog 101 from the module's resources, run by a
// thread of its own with its own message loop. Texts come from the string tables in the
// interface language of the thread that asked for the window.
#include <windows.h>

#include <new>

#include "platform/platform.h"
#include "platform/win32/internal.h"
#include "resources/warning_ids.h"

namespace plat {
namespace {

// Posted by the owner: only the thread that created a window may destroy it.
constexpr UINT kCloseMessage = WM_APP + 1;
constexpr int kShortTextUnits = 256;  // caption and button
constexpr int kLongTextUnits = 1024;  // the two message texts

struct Handover {
  HMODULE module;
  WarningTexts texts;
  WindowSlot* slot;
  LANGID uiLanguage;
  LCID locale;
};

// The library's own module, recorded by its entry point; null in a program that links the code.
std::atomic<HMODULE> g_libraryModule{nullptr};

HWND AsHwnd(Window* window) {
  return reinterpret_cast<HWND>(window);
}

INT_PTR CALLBACK WarningDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      InvalidateRect(dialog, nullptr, TRUE);
      return TRUE;
    case WM_COMMAND:
      // The user can only hide the window; its owner decides when it goes.
      ShowWindow(dialog, SW_HIDE);
      return LOWORD(wParam) == IDC_WARNING_BUTTON ? TRUE : FALSE;
    case WM_CLOSE:
      ShowWindow(dialog, SW_HIDE);
      return FALSE;
    case WM_DESTROY:
      PostQuitMessage(0);
      return FALSE;
    case kCloseMessage:
      // Handled here rather than in the loop so that it also works inside a move or size loop.
      EndDialog(dialog, 0);
      DestroyWindow(dialog);
      return TRUE;
    default:
      return FALSE;
  }
}

void SetText(HWND dialog, HMODULE module, int item, uint32_t id, int units) {
  wchar_t buffer[kLongTextUnits] = {};
  LoadStringW(module, id, buffer, units);
  if (item == 0) {
    SetWindowTextW(dialog, buffer);
  } else {
    SetDlgItemTextW(dialog, item, buffer);
  }
}

uint32_t WarningWindowThread(void* arg) {
  auto* block = static_cast<Handover*>(arg);
  // Resource lookups follow the thread's interface language (and, under Wine, its locale); a
  // new thread would otherwise get the user's defaults instead of the asking thread's choice.
  SetThreadUILanguage(block->uiLanguage);
  SetThreadLocale(block->locale);
  HMODULE module = block->module;
  HWND dialog =
      CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_WARNING), nullptr, WarningDialogProc, 0);
  if (!dialog) {
    delete block;
    return 0;
  }
  SetText(dialog, module, 0, block->texts.caption, kShortTextUnits);
  SetText(dialog, module, IDC_WARNING_BUTTON, block->texts.button, kShortTextUnits);
  SetText(dialog, module, IDC_WARNING_FIRST, block->texts.firstText, kLongTextUnits);
  SetText(dialog, module, IDC_WARNING_SECOND, block->texts.secondText, kLongTextUnits);
  WindowSlot* slot = block->slot;
  delete block;

  HICON icon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_INFORMATION));
  SendDlgItemMessageW(dialog, IDC_WARNING_ICON, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
  ShowWindow(dialog, SW_SHOW);
  // Published complete, so whoever reads the slot finds the texts in place.
  slot->store(reinterpret_cast<Window*>(dialog));

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(dialog, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return 0;
}

HMODULE ModuleOfThisCode() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&WarningDialogProc), &module);
  return module;
}

}  // namespace

namespace win32 {
void RecordLibraryModule(void* instance) {
  g_libraryModule.store(static_cast<HMODULE>(instance));
}
}  // namespace win32

Thread* WarningWindowStart(const WarningTexts& texts, WindowSlot* slot) {
  if (!slot) return nullptr;
  HMODULE recorded = g_libraryModule.load();
  HMODULE module = recorded ? recorded : ModuleOfThisCode();
  auto* block =
      new (std::nothrow) Handover{module, texts, slot, GetThreadUILanguage(), GetThreadLocale()};
  if (!block) return nullptr;
  Thread* thread = ThreadStart(WarningWindowThread, block);
  if (!thread) delete block;
  return thread;
}

bool WarningWindowIsVisible(Window* window) {
  return window && IsWindowVisible(AsHwnd(window)) != FALSE;
}

void WarningWindowShow(Window* window) {
  if (window) ShowWindow(AsHwnd(window), SW_SHOW);
}

void WarningWindowRequestClose(Window* window) {
  if (window) PostMessageW(AsHwnd(window), kCloseMessage, 0, 0);
}

}  // namespace plat
