// Named locks between threads and between processes (fork).
#include "platform/NamedLock.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/System.h"
#include "tests/support/TestSupport.h"

namespace burnwell::platform {
namespace {

// Locks below a temporary system root, so tests never meet locks of a real run.
class FakeRootSystem : public System {
 public:
  explicit FakeRootSystem(std::filesystem::path root) : root_(std::move(root)) {}
  bool IsWindowsNt() override { return true; }
  void SetLastSystemError(std::uint32_t) override {}
  std::uint32_t LastSystemError() override { return 0; }
  std::filesystem::path SystemRoot() override { return root_; }

 private:
  std::filesystem::path root_;
};

class NamedLocksTest : public ::testing::Test {
 protected:
  NamedLocks& locks = SystemInstance<NamedLocks>();
  test::TempDir temp;
  FakeRootSystem system{temp.Path()};
  ScopedOverride<System> guard{&system};
  // Unique per test: the process-wide lock table outlives each test.
  std::string name = std::string("DeviceIndex_") +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(NamedLocksTest, OpenNeedsAnExistingLockCreateMakesOne) {
  EXPECT_EQ(locks.Open((name + "-missing").c_str()), 0);
  const LockHandle created = locks.Create(name.c_str());
  ASSERT_NE(created, 0);
  const LockHandle opened = locks.Open(name.c_str());
  EXPECT_NE(opened, 0);
  EXPECT_TRUE(locks.Close(opened));
  EXPECT_TRUE(locks.Close(created));
  EXPECT_FALSE(locks.Close(created));
  EXPECT_EQ(locks.Wait(created, 0), WaitResult::Failed);
  EXPECT_EQ(locks.Create(""), 0);
}

TEST_F(NamedLocksTest, OwnershipIsPerThreadAndRecursive) {
  const LockHandle a = locks.Create(name.c_str());
  const LockHandle b = locks.Open(name.c_str());
  ASSERT_EQ(locks.Wait(a, 0), WaitResult::Signalled);
  EXPECT_EQ(locks.Wait(b, 0), WaitResult::Signalled);  // same thread, other handle: recursion

  WaitResult other = WaitResult::Failed;
  std::thread([&] { other = locks.Wait(b, 30); }).join();
  EXPECT_EQ(other, WaitResult::TimedOut);
  bool releasedByOther = true;
  std::thread([&] { releasedByOther = locks.Release(a); }).join();
  EXPECT_FALSE(releasedByOther);  // only the owner may release

  EXPECT_TRUE(locks.Release(a));
  std::thread([&] { other = locks.Wait(b, 30); }).join();
  EXPECT_EQ(other, WaitResult::TimedOut);  // still held once
  EXPECT_TRUE(locks.Release(b));
  EXPECT_FALSE(locks.Release(b));  // not owned any more

  std::thread([&] {
    other = locks.Wait(b, 1000);
    locks.Release(b);
  }).join();
  EXPECT_EQ(other, WaitResult::Signalled);
  locks.Close(a);
  locks.Close(b);
}

TEST_F(NamedLocksTest, WaiterGetsTheLockWhenTheOwnerReleases) {
  const LockHandle h = locks.Create(name.c_str());
  ASSERT_EQ(locks.Wait(h, 0), WaitResult::Signalled);
  std::atomic<bool> waiting{false};
  WaitResult other = WaitResult::Failed;
  std::thread waiter([&] {
    waiting = true;
    other = locks.Wait(h, 10000);
    if (other == WaitResult::Signalled) locks.Release(h);
  });
  while (!waiting) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(locks.Release(h));
  waiter.join();
  EXPECT_EQ(other, WaitResult::Signalled);
  locks.Close(h);
}

// --- across processes ------------------------------------------------------------------------

// Runs `child` in a forked process; the child reports one byte through a pipe when it is ready,
// then does whatever `afterReady` says. Returns the child's pid and the parent's end of the pipe.
struct Child {
  pid_t pid = -1;
  int ready = -1;
  int go = -1;
};

enum class Holder { ReleaseWhenToldThenExit, ExitWithoutRelease };

Child ForkHolder(const std::string& name, Holder how) {
  int ready[2];
  int go[2];
  if (::pipe(ready) != 0 || ::pipe(go) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    NamedLocks& locks = SystemInstance<NamedLocks>();
    const LockHandle h = locks.Create(name.c_str());
    const char ok = (h != 0 && locks.Wait(h, 5000) == WaitResult::Signalled) ? 'Y' : 'N';
    [[maybe_unused]] auto w = ::write(ready[1], &ok, 1);
    if (how == Holder::ExitWithoutRelease) ::_exit(0);
    char c;
    [[maybe_unused]] auto r = ::read(go[0], &c, 1);
    locks.Release(h);
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(go[0]);
  return {pid, ready[0], go[1]};
}

TEST_F(NamedLocksTest, AnotherProcessHoldingTheLockTimesUsOutUntilItReleases) {
  Child child = ForkHolder(name, Holder::ReleaseWhenToldThenExit);
  ASSERT_GT(child.pid, 0);
  char ok = 0;
  ASSERT_EQ(::read(child.ready, &ok, 1), 1);
  ASSERT_EQ(ok, 'Y');

  const LockHandle h = locks.Create(name.c_str());
  ASSERT_NE(h, 0);
  EXPECT_EQ(locks.Wait(h, 50), WaitResult::TimedOut);

  std::thread tell([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    [[maybe_unused]] auto w = ::write(child.go, "g", 1);
  });
  EXPECT_EQ(locks.Wait(h, 10000), WaitResult::Signalled);
  tell.join();
  EXPECT_TRUE(locks.Release(h));
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  ::close(child.ready);
  ::close(child.go);
  locks.Close(h);
}

TEST_F(NamedLocksTest, DeadHolderDoesNotBlockForever) {
  Child child = ForkHolder(name, Holder::ExitWithoutRelease);
  ASSERT_GT(child.pid, 0);
  char ok = 0;
  ASSERT_EQ(::read(child.ready, &ok, 1), 1);
  ASSERT_EQ(ok, 'Y');
  int status = 0;
  ::waitpid(child.pid, &status, 0);

  const LockHandle h = locks.Create(name.c_str());
  EXPECT_EQ(locks.Wait(h, 5000), WaitResult::Signalled);
  EXPECT_TRUE(locks.Release(h));
  ::close(child.ready);
  ::close(child.go);
  locks.Close(h);
}

TEST_F(NamedLocksTest, NamesThatDifferOnlyInPunctuationAreDistinctLocks) {
  const LockHandle slash = locks.Create((name + "/a").c_str());
  const LockHandle underscore = locks.Create((name + "_a").c_str());
  ASSERT_NE(slash, 0);
  ASSERT_NE(underscore, 0);
  ASSERT_EQ(locks.Wait(slash, 0), WaitResult::Signalled);
  WaitResult other = WaitResult::Failed;
  std::thread([&] {
    other = locks.Wait(underscore, 0);
    if (other == WaitResult::Signalled) locks.Release(underscore);
  }).join();
  EXPECT_EQ(other, WaitResult::Signalled);
  locks.Release(slash);
  locks.Close(slash);
  locks.Close(underscore);
}

}  // namespace
}  // namespace burnwell::platform
