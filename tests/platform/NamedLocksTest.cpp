// Named locks between threads and between processes (fork on Linux; on Windows the test
// program runs a second copy of itself as the other process).
#include "platform/NamedLock.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

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
  std::string name =
      std::string("DeviceIndex_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
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
#ifndef _WIN32

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

#endif  // !_WIN32

#ifdef _WIN32
// The other process: this program started again with BURNWELL_LOCK_HELPER=<mode>:<name>. It
// takes the lock, sets the event "<name>-ready", and then either waits for "<name>-go" and
// releases, or ends at once still holding the lock. It runs before any test, and exits.
const bool kHelperRan = [] {
  char helperText[512];
  const DWORD n = ::GetEnvironmentVariableA("BURNWELL_LOCK_HELPER", helperText, sizeof helperText);
  if (n == 0 || n >= sizeof helperText) return false;
  const std::string text(helperText);
  const std::string mode = text.substr(0, text.find(':'));
  const std::string name = text.substr(text.find(':') + 1);
  NamedLocks& locks = SystemInstance<NamedLocks>();
  const LockHandle h = locks.Create(name.c_str());
  if (h == 0 || locks.Wait(h, 5000) != WaitResult::Signalled) ::ExitProcess(2);
  HANDLE ready = ::CreateEventA(nullptr, TRUE, FALSE, (name + "-ready").c_str());
  HANDLE go = ::CreateEventA(nullptr, TRUE, FALSE, (name + "-go").c_str());
  ::SetEvent(ready);
  if (mode == "die") ::ExitProcess(0);
  ::WaitForSingleObject(go, 20000);
  locks.Release(h);
  ::ExitProcess(0);
}();

class OtherProcess {
 public:
  OtherProcess(const std::string& mode, const std::string& name)
      : ready_(::CreateEventA(nullptr, TRUE, FALSE, (name + "-ready").c_str())),
        go_(::CreateEventA(nullptr, TRUE, FALSE, (name + "-go").c_str())) {
    char self[MAX_PATH];
    ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    ::SetEnvironmentVariableA("BURNWELL_LOCK_HELPER", (mode + ":" + name).c_str());
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = std::string("\"") + self + "\"";
    started_ = ::CreateProcessA(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &startup, &process_) != 0;
    ::SetEnvironmentVariableA("BURNWELL_LOCK_HELPER", nullptr);
  }
  ~OtherProcess() {
    if (started_) {
      ::SetEvent(go_);
      ::WaitForSingleObject(process_.hProcess, 20000);
      ::CloseHandle(process_.hProcess);
      ::CloseHandle(process_.hThread);
    }
    ::CloseHandle(ready_);
    ::CloseHandle(go_);
  }
  bool HoldsTheLock() { return started_ && ::WaitForSingleObject(ready_, 20000) == WAIT_OBJECT_0; }
  void LetGo() { ::SetEvent(go_); }
  void WaitForExit() { ::WaitForSingleObject(process_.hProcess, 20000); }

 private:
  HANDLE ready_;
  HANDLE go_;
  PROCESS_INFORMATION process_{};
  bool started_ = false;
};

TEST_F(NamedLocksTest, AnotherProcessHoldingTheLockTimesUsOutUntilItReleases) {
  OtherProcess other("hold", name);
  ASSERT_TRUE(other.HoldsTheLock());
  const LockHandle h = locks.Create(name.c_str());
  ASSERT_NE(h, 0);
  EXPECT_EQ(locks.Wait(h, 50), WaitResult::TimedOut);
  other.LetGo();
  EXPECT_EQ(locks.Wait(h, 10000), WaitResult::Signalled);
  EXPECT_TRUE(locks.Release(h));
  locks.Close(h);
}

TEST_F(NamedLocksTest, DeadHolderDoesNotBlockForever) {
  OtherProcess other("die", name);
  ASSERT_TRUE(other.HoldsTheLock());
  other.WaitForExit();
  const LockHandle h = locks.Create(name.c_str());
  // Windows reports the dead holder; either way the waiter owns the lock now.
  const WaitResult result = locks.Wait(h, 5000);
  EXPECT_TRUE(result == WaitResult::Abandoned || result == WaitResult::Signalled);
  EXPECT_TRUE(locks.Release(h));
  locks.Close(h);
}
#endif  // _WIN32

#ifndef _WIN32
// --- the lock folder: nobody else may control it --------------------------------------------

class LockFolderTest : public NamedLocksTest {
 protected:
  // The shared lock folder below the test's system root, made by a first lock.
  std::filesystem::path MakeLockFolder() {
    const LockHandle first = locks.Create((name + "-first").c_str());
    EXPECT_NE(first, 0);
    locks.Close(first);
    return temp / "run" / "burnwell" / "lock";
  }
};

// Runs `body` in a child process switched to `uid` (its own group, no others); its exit
// status, or -1.
int AsOtherUser(uid_t uid, const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(90);
    ::_exit(body());
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Entries someone planted at a lock's name: never followed, never used as a lock file. Root
// replaces them in the shared folder with a fresh lock file; a user is told which entry to
// remove.
TEST_F(LockFolderTest, PlantedEntriesAreReplacedByRootAndNamedToOthers) {
  namespace fs = std::filesystem;
  const fs::path folder = MakeLockFolder();
  const fs::path target = temp / "victim";  // what a planted link would have root create
  const fs::path existing = temp / "precious";
  test::WriteFile(existing, std::string_view("keep"));
  fs::create_symlink(target, folder / (name + "-a.lock"));
  fs::create_symlink(existing, folder / (name + "-b.lock"));
  ASSERT_EQ(::mkfifo((folder / (name + "-c.lock")).c_str(), 0644), 0);
  fs::create_directory(folder / (name + "-d.lock"));
  // A lock file of someone outside the station group: root replaces it, a user uses it.
  test::WriteFile(folder / (name + "-f.lock"), std::string_view(""));
  ASSERT_EQ(::chown((folder / (name + "-f.lock")).c_str(), 65534, 65534),
            ::geteuid() == 0 ? 0 : -1);
  for (const char* suffix : {"-a", "-b", "-c", "-d", "-f"}) {
    const fs::path entry = folder / (name + suffix + ".lock");
    const LockHandle h = locks.Create((name + suffix).c_str());
    if (::geteuid() == 0) {
      EXPECT_NE(h, 0) << suffix;
      struct stat info {};
      EXPECT_EQ(::lstat(entry.c_str(), &info), 0);
      EXPECT_TRUE(S_ISREG(info.st_mode) && info.st_uid == 0) << suffix;
      EXPECT_EQ(locks.Wait(h, 0), WaitResult::Signalled) << suffix;
      locks.Release(h);
      locks.Close(h);
    } else if (std::string(suffix) != "-f") {
      EXPECT_EQ(h, 0) << suffix;
      EXPECT_EQ(LastLockProblem().value_or("").rfind("remove " + entry.string() + ": it is a", 0),
                0u)
          << suffix;
    }
  }
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(test::ReadFile(existing).size(), 4u);

  // The folder itself a link to a folder of the planter's choice: refused, even for root.
  fs::remove_all(folder);
  fs::create_directory(temp / "elsewhere");
  fs::create_directory_symlink(temp / "elsewhere", folder);
  EXPECT_EQ(locks.Create((name + "-e").c_str()), 0);
  EXPECT_TRUE(fs::is_empty(temp / "elsewhere"));
}

// A user's own lock folder: a FIFO planted in it is named with what to do, and a folder
// another user made first at its name in /tmp is passed by for the next name.
TEST_F(LockFolderTest, AUsersOwnFolderIsNeverAnotherUsers) {
  namespace fs = std::filesystem;
  if (::geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  constexpr uid_t kUser = 65531;
  const fs::path runtime = temp / "runtime";
  fs::create_directories(runtime / "burnwell-locks");
  ASSERT_EQ(::chmod(temp.Path().c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo((runtime / "burnwell-locks" / (name + ".lock")).c_str(), 0600), 0);
  for (const fs::path& path : {runtime, runtime / "burnwell-locks"}) {
    ASSERT_EQ(::chown(path.c_str(), kUser, kUser), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0700), 0);
  }
  const std::string expected = "remove " +
                               (runtime / "burnwell-locks" / (name + ".lock")).string() +
                               ": it is a FIFO, not a lock file";
  EXPECT_EQ(AsOtherUser(kUser,
                        [&] {
                          ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
                          if (locks.Create(name.c_str()) != 0) return 1;
                          return LastLockProblem() == expected ? 0 : 2;
                        }),
            0);

  const fs::path taken = "/tmp/burnwell-locks-" + std::to_string(kUser);
  const fs::path next = taken.string() + "-2";
  if (fs::exists(taken) || fs::exists(next)) GTEST_SKIP() << taken << " exists already";
  fs::create_directory(taken);  // root's, made before the user's first program
  EXPECT_EQ(AsOtherUser(kUser,
                        [&] {
                          ::unsetenv("XDG_RUNTIME_DIR");
                          const LockHandle h = locks.Create(name.c_str());
                          return h != 0 && locks.Wait(h, 0) == WaitResult::Signalled ? 0 : 1;
                        }),
            0);
  EXPECT_TRUE(fs::is_empty(taken));
  EXPECT_TRUE(fs::exists(next / (name + ".lock")));
  fs::remove_all(taken);
  fs::remove_all(next);
}

TEST_F(LockFolderTest, FolderWithAWrongOwnerOrModeIsRefused) {
  namespace fs = std::filesystem;
  const fs::path folder = MakeLockFolder();
  struct Change {
    const char* what;
    bool needsRoot;
    std::function<void()> apply;
  };
  const std::vector<Change> changes = {
      {"owned by another user", true, [&] { ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0); }},
      {"writable by every user", false, [&] { fs::permissions(folder, fs::perms(0777)); }},
      {"writable by every user, sticky", false, [&] { fs::permissions(folder, fs::perms(01777)); }},
      {"writable by a group that is not the station's", false,
       [&] { fs::permissions(folder, fs::perms(0775)); }},
  };
  int index = 0;
  for (const Change& change : changes) {
    if (change.needsRoot && ::geteuid() != 0) continue;
    change.apply();
    const std::string lockName = name + "-" + std::to_string(index++);
    EXPECT_EQ(locks.Create(lockName.c_str()), 0) << change.what;
    EXPECT_FALSE(fs::exists(folder / (lockName + ".lock"))) << change.what;
    ASSERT_EQ(::chown(folder.c_str(), ::geteuid(), ::getegid()), 0);
    fs::permissions(folder, fs::perms(0755));
  }
  // Put right again, the folder serves.
  const LockHandle h = locks.Create((name + "-fine").c_str());
  EXPECT_NE(h, 0);
  locks.Close(h);
}
#endif  // !_WIN32

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
