// The machine-wide named mutex: a second claim reports that the name is held until the first
// holder lets go, in the same process and (POSIX) from a child process that dies holding it;
// the lock file stays inside its folder whatever the name.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/testing.h"
#include "support/test_env.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// Claims `name` and says whether it was held already; `existed` starts at the opposite of the
// expected answer, so a claim that does not set it shows. Keeps the handle in `held` if given.
bool Claim(const std::u16string& name, bool expected, plat::NamedMutex** held = nullptr) {
  bool existed = !expected;
  plat::NamedMutex* m = plat::NamedMutexCreate(name.c_str(), &existed);
  EXPECT_NE(m, nullptr) << "claim of a valid name";
  if (held) {
    *held = m;
  } else {
    plat::NamedMutexClose(m);
  }
  return existed;
}

TEST(NamedMutex, SecondClaimSeesTheNameHeldUntilTheFirstHolderCloses) {
  // Lock files go to a folder of the test's own, so a running session is never disturbed; the
  // name is unique, so Windows' kernel namespace carries nothing over from other runs.
  const std::string lockDir = brelon::test::TempDir("lock");
  brelon::test::SetEnv("BRELON_LOCK_DIR", lockDir.c_str());
  const std::u16string name = u"Global\\{F7914321-62A0-412f-B595-brelon-test}";
  plat::NamedMutex* first = nullptr;
  EXPECT_FALSE(Claim(name, false, &first));
  // A refused claimant closes its handle before it tries again, as the session thread does.
  EXPECT_TRUE(Claim(name, true));
  EXPECT_TRUE(Claim(name, true)) << "second attempt";
  EXPECT_FALSE(Claim(u"Local\\../az AZ09_", false)) << "another name is free meanwhile";
  bool existed = true;
  EXPECT_EQ(plat::NamedMutexCreate(u"", &existed), nullptr);
  EXPECT_FALSE(existed);
  plat::NamedMutexClose(nullptr);
#if !defined(_WIN32)
  // Separators and other unsafe characters cannot lead out of the folder.
  EXPECT_GE(
      plat::FileSize((lockDir + "/brelon-{F7914321-62A0-412f-B595-brelon-test}.lock").c_str()), 0);
  EXPECT_GE(plat::FileSize((lockDir + "/brelon-.._az_AZ09_.lock").c_str()), 0);

  // A holder killed in another process frees the name.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::u16string other = name + u"-child";
    plat::NamedMutex* held = plat::NamedMutexCreate(other.c_str(), &existed);
    const char status = held && !existed ? 'y' : 'n';
    (void)!write(ready[1], &status, 1);
    for (;;) pause();  // hold it until killed
  }
  close(ready[1]);
  char status = 0;
  ASSERT_EQ(read(ready[0], &status, 1), 1);
  close(ready[0]);
  ASSERT_EQ(status, 'y');
  EXPECT_TRUE(Claim(name + u"-child", true)) << "the child process holds the name";
  kill(child, SIGKILL);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_FALSE(Claim(name + u"-child", false)) << "a dead holder must not keep the name";
#endif
  plat::NamedMutexClose(first);
  EXPECT_FALSE(Claim(name, false));
  brelon::test::SetEnv("BRELON_LOCK_DIR", nullptr);
}

}  // namespace
