// GoogleTest port customisation for the MinGW win32 thread model, whose libstdc++ has no
// std::mutex or std::condition_variable. GoogleTest's own locks already use Win32 primitives;
// only its Notification helper needs std::mutex, so an event-based one is supplied here.
#ifndef BRELON_GTEST_CUSTOM_GTEST_PORT_H_
#define BRELON_GTEST_CUSTOM_GTEST_PORT_H_

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

// Out of line (notification.cc) so that test sources do not pull in <windows.h>.
class Notification {
 public:
  Notification();
  ~Notification();
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify();
  void WaitForNotification();

 private:
  void* event_;  // manual-reset event HANDLE
};

}  // namespace internal
}  // namespace testing

#endif  // BRELON_GTEST_CUSTOM_GTEST_PORT_H_
