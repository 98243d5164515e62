// Win32 event behind GoogleTest's Notification in Windows test builds (see
// gtest/internal/custom/gtest-port.h): the win32 thread model of MinGW lacks std::mutex.
#include <windows.h>

#include "gtest/internal/custom/gtest-port.h"

namespace testing {
namespace internal {

Notification::Notification() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
Notification::~Notification() { ::CloseHandle(static_cast<HANDLE>(event_)); }
void Notification::Notify() { ::SetEvent(static_cast<HANDLE>(event_)); }
void Notification::WaitForNotification() {
  ::WaitForSingleObject(static_cast<HANDLE>(event_), INFINITE);
}

}  // namespace internal
}  // namespace testing
