// The machine-wide named mutex: a second claim reports that the name is held until the first
// holder lets go, in the same process and (POSIX) from a child process that dies holding it.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/testing.h"
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

  // Claims `name` and reports whether it was held already; `existed` starts at the opposite of
  // the expected answer, so a claim that does not set it shows. Keeps the handle in `held`.
  static bool Claim(const std::u16string& name, bool expected, plat::NamedMutex** held = nullptr) {
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

  std::string lockDir_ = brelon::test::TempDir("lock");
};

TEST_F(NamedMutexTest, SecondClaimSeesTheNameHeldUntilTheFirstCloses) {
  const std::u16string name = Name();
  plat::NamedMutex* first = nullptr;
  EXPECT_FALSE(Claim(name, false, &first));
  // A refused claimant closes its handle before it tries again, as the session thread does.
  EXPECT_TRUE(Claim(name, true));
  EXPECT_TRUE(Claim(name, true)) << "second attempt";
  EXPECT_FALSE(Claim(name + u"-b", false)) << "another name is free meanwhile";
  bool existed = true;
  EXPECT_EQ(plat::NamedMutexCreate(u"", &existed), nullptr);
  EXPECT_FALSE(existed);
  plat::NamedMutexClose(nullptr);

  plat::NamedMutexClose(first);
  EXPECT_FALSE(Claim(name, false));
}

TEST_F(NamedMutexTest, LockFileIsNamedAfterTheMutexInsideTheLockFolder) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows keeps named mutexes in the kernel, not in files";
#else
  // Separators and other unsafe characters cannot lead out of the folder.
  for (const auto& [name, file] :
       {std::pair<std::u16string, std::string>{u"Global\\{F7914321-62A0-412f-B595-8E97C95E053D}",
                                               "{F7914321-62A0-412f-B595-8E97C95E053D}"},
        {u"Local\\../x y", ".._x_y"}}) {
    plat::NamedMutex* m = nullptr;
    Claim(name, false, &m);
    EXPECT_GE(plat::FileSize((lockDir_ + "/brelon-" + file + ".lock").c_str()), 0) << file;
    plat::NamedMutexClose(m);
  }
#endif
}

TEST_F(NamedMutexTest, HolderKilledInAnotherProcessFreesTheName) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs fork";
#else
  const std::u16string name = Name();
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
  EXPECT_TRUE(Claim(name, true)) << "the child process holds the name";

  kill(child, SIGKILL);
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  EXPECT_FALSE(Claim(name, false)) << "a dead holder must not keep the name";
#endif
}

}  // namespace
