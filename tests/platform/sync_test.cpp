// The machine-wide named mutex: a second claim sees the name held until its holder closes it or
// dies, and a name cannot lead its lock file out of the lock folder.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/testing.h"
#include "support/sim_harness.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// Whether `name` was held already; `existed` starts at the opposite answer, so an unset one shows.
bool Claim(const std::u16string& name, bool expected, plat::NamedMutex** held = nullptr) {
  bool existed = !expected;
  plat::NamedMutex* m = plat::NamedMutexCreate(name.c_str(), &existed);
  EXPECT_NE(m, nullptr);
  held ? void(*held = m) : plat::NamedMutexClose(m);
  return existed;
}

TEST(NamedMutex, SecondClaimSeesTheNameHeldUntilTheFirstHolderClosesOrDies) {
  const std::string lockDir = brelon::test::TempDir("lock");
  brelon::test::SetEnv("BRELON_LOCK_DIR", lockDir.c_str());
  const std::u16string name = u"Global\\{F7914321-62A0-412f-B595-brelon-test}";
  plat::NamedMutex* first = nullptr;
  EXPECT_FALSE(Claim(name, false, &first));
  EXPECT_TRUE(Claim(name, true));
  EXPECT_FALSE(Claim(u"Local\\../az AZ09_", false)) << "another name is free meanwhile";
#if !defined(_WIN32)
  EXPECT_GE(plat::FileSize((lockDir + "/brelon-.._az_AZ09_.lock").c_str()), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool existed = true;
    const char status = plat::NamedMutexCreate((name + u"-child").c_str(), &existed) && !existed;
    (void)!write(ready[1], &status, 1);
    for (;;) pause();  // hold it until killed
  }
  close(ready[1]);
  char status = 0;
  ASSERT_EQ(read(ready[0], &status, 1), 1);
  ASSERT_EQ(status, 1);
  EXPECT_TRUE(Claim(name + u"-child", true));
  kill(child, SIGKILL);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_FALSE(Claim(name + u"-child", false)) << "a dead holder must not keep the name";
  close(ready[0]);
#endif
  plat::NamedMutexClose(first);
  EXPECT_FALSE(Claim(name, false));
  brelon::test::SetEnv("BRELON_LOCK_DIR", nullptr);
}

}  // namespace
