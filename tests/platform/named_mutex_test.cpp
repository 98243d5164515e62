// The machine-wide named mutex: a second claim reports that the name is held until the first
// holder lets go, in the same process and (POSIX) from a child process that dies holding it.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support/test_env.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// Lock files go to a folder of the test's own, so a running session is never disturbed.
class NamedMutexTest : public ::testing::Test {
 protected:
  void SetUp() override { brelon::test::SetEnv("BRELON_LOCK_DIR", lockDir_.c_str()); }
  void TearDown() override { brelon::test::SetEnv("BRELON_LOCK_DIR", nullptr); }

  // Unique per test, so Windows' kernel namespace does not carry names across tests.
  std::u16string Name() const {
    const char* test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::u16string name = u"Global\\{F7914321-brelon-test-";
    for (const char* c = test; *c; ++c) name += static_cast<char16_t>(*c);
    return name + u"}";
  }

  std::string lockDir_ = brelon::test::TempDir("lock");
};

TEST_F(NamedMutexTest, SecondClaimSeesTheNameHeldUntilTheFirstCloses) {
  std::u16string name = Name();
  bool existed = true;
  plat::NamedMutex* first = plat::NamedMutexCreate(name.c_str(), &existed);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(existed);

  // A refused claimant closes its handle before it tries again, as the session thread does.
  for (int attempt = 0; attempt < 2; ++attempt) {
    existed = false;
    plat::NamedMutex* second = plat::NamedMutexCreate(name.c_str(), &existed);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(existed) << "attempt " << attempt;
    plat::NamedMutexClose(second);
  }
  // Another name is free meanwhile; an empty one is refused.
  existed = true;
  plat::NamedMutex* other = plat::NamedMutexCreate((name + u"-b").c_str(), &existed);
  ASSERT_NE(other, nullptr);
  EXPECT_FALSE(existed);
  plat::NamedMutexClose(other);
  existed = true;
  EXPECT_EQ(plat::NamedMutexCreate(u"", &existed), nullptr);
  EXPECT_FALSE(existed);
  plat::NamedMutexClose(nullptr);

  plat::NamedMutexClose(first);
  existed = true;
  plat::NamedMutex* third = plat::NamedMutexCreate(name.c_str(), &existed);
  ASSERT_NE(third, nullptr);
  EXPECT_FALSE(existed);
  plat::NamedMutexClose(third);
}

TEST_F(NamedMutexTest, LockFileIsNamedAfterTheMutexInsideTheLockFolder) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows keeps named mutexes in the kernel, not in files";
#else
  bool existed = true;
  plat::NamedMutex* m =
      plat::NamedMutexCreate(u"Global\\{F7914321-62A0-412f-B595-8E97C95E053D}", &existed);
  ASSERT_NE(m, nullptr);
  EXPECT_GE(
      plat::FileSize((lockDir_ + "/brelon-{F7914321-62A0-412f-B595-8E97C95E053D}.lock").c_str()),
      0);
  plat::NamedMutexClose(m);
  // Separators and other unsafe characters cannot lead out of the folder.
  m = plat::NamedMutexCreate(u"Local\\../x y", &existed);
  ASSERT_NE(m, nullptr);
  EXPECT_GE(plat::FileSize((lockDir_ + "/brelon-.._x_y.lock").c_str()), 0);
  plat::NamedMutexClose(m);
#endif
}

TEST_F(NamedMutexTest, HolderKilledInAnotherProcessFreesTheName) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs fork";
#else
  std::u16string name = Name();
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool existed = true;
    plat::NamedMutex* held = plat::NamedMutexCreate(name.c_str(), &existed);
    char status = held && !existed ? 'y' : 'n';
    (void)!write(ready[1], &status, 1);
    for (;;) pause();  // hold it until killed
  }
  close(ready[1]);
  char status = 0;
  ASSERT_EQ(read(ready[0], &status, 1), 1);
  close(ready[0]);
  ASSERT_EQ(status, 'y');

  bool existed = false;
  plat::NamedMutex* refused = plat::NamedMutexCreate(name.c_str(), &existed);
  ASSERT_NE(refused, nullptr);
  EXPECT_TRUE(existed) << "the child process holds the name";
  plat::NamedMutexClose(refused);

  kill(child, SIGKILL);
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  existed = true;
  plat::NamedMutex* claimed = plat::NamedMutexCreate(name.c_str(), &existed);
  ASSERT_NE(claimed, nullptr);
  EXPECT_FALSE(existed) << "a dead holder must not keep the name";
  plat::NamedMutexClose(claimed);
#endif
}

}  // namespace
