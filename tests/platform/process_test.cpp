#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/sandbox.h"

namespace {

using tavtest::ScopedEnv;

using platform::Process;
using platform::StartOptions;

// Detached children are not ours to wait for: poll for the file they write
// (each writes a temporary and renames it, so a present file is complete).
std::string WaitForFile(const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    if (std::filesystem::exists(path))
      return tavtest::ReadFile(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {};
}

std::string Canonical(const std::string& path) {
  return std::filesystem::canonical(path).string();
}

// Shell lines for the child's descriptors: which of 0..2 are /dev/null, and
// whether descriptor `fd` of the parent reached the child.
std::string NullDescriptors() {
  return "n=; for f in 0 1 2; do [ /proc/$$/fd/$f -ef /dev/null ] && n=$n$f; done; ";
}
std::string LeakCheck(int fd) {
  return "l=no; [ -e /proc/$$/fd/" + std::to_string(fd) + " ] && l=yes; ";
}

TEST(ProcessTest, IdsAreTheKernelsIds) {
  EXPECT_EQ(platform::CurrentProcessId(), getpid());
  EXPECT_EQ(platform::CurrentThreadId(), static_cast<int>(syscall(SYS_gettid)));
  int other = 0;
  std::thread thread([&] { other = platform::CurrentThreadId(); });
  thread.join();
  EXPECT_NE(other, 0);
  EXPECT_NE(other, platform::CurrentThreadId());
}

TEST(ProcessTest, WaitReportsExitCode) {
  struct Case {
    const char* script;
    uint32_t code;
  };
  const Case cases[] = {
      {"exit 0", 0},
      {"exit 3", 3},
      {"exit 255", 255},
      {"kill -9 $$", Process::kSignalExitFlag | 9},
      {"kill -15 $$", Process::kSignalExitFlag | 15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    Process process;
    ASSERT_TRUE(process.Start({"/bin/sh", "-c", c.script}));
    EXPECT_GT(process.pid(), 0);
    uint32_t code = 0xDEADBEEF;
    ASSERT_TRUE(process.Wait(Process::kWaitForever, &code));
    EXPECT_EQ(code, c.code);
    EXPECT_FALSE(process.running());
    // The child is reaped; Wait keeps reporting what it had.
    code = 0xDEADBEEF;
    ASSERT_TRUE(process.Wait(0, &code));
    EXPECT_EQ(code, c.code);
  }
}

TEST(ProcessTest, TerminateEndsAHungChildWithTheGivenCode) {
  Process process;
  ASSERT_TRUE(process.Start({"sleep", "5"}));
  uint32_t code = 0;
  EXPECT_FALSE(process.Wait(50, &code));
  EXPECT_TRUE(process.running());

  // A bounded wait on another thread ends when the owner terminates.
  bool waited = false;
  std::thread waiter([&] { waited = process.Wait(Process::kWaitForever, &code); });
  EXPECT_TRUE(process.Terminate(1234));
  waiter.join();
  EXPECT_TRUE(waited);
  EXPECT_EQ(code, 1234u);
  EXPECT_FALSE(process.running());
  EXPECT_FALSE(process.Terminate(99));  // nothing left to end
  ASSERT_TRUE(process.Wait(0, &code));
  EXPECT_EQ(code, 1234u);
}

TEST(ProcessTest, FailedStartIsReportedByStart) {
  tavtest::Sandbox sandbox;
  const std::string not_executable = sandbox.Path("plain.txt");
  ASSERT_TRUE(tavtest::WriteFile(not_executable, "just text\n"));
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    StartOptions options;
  };
  StartOptions missing_dir;
  missing_dir.working_dir = sandbox.Path("no/such/folder");
  const Case cases[] = {
      {"not in PATH", {"tav-no-such-program-here"}, {}},
      {"missing path", {sandbox.Path("missing-program")}, {}},
      {"not executable", {not_executable}, {}},
      {"empty argv", {}, {}},
      {"missing working folder", {"/bin/true"}, missing_dir},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Process process;
    EXPECT_FALSE(process.Start(c.argv, c.options));
    EXPECT_FALSE(process.running());
    uint32_t code = 0;
    EXPECT_FALSE(process.Wait(0, &code));
  }
  EXPECT_FALSE(platform::StartDetachedAsDesktopUser({"tav-no-such-program-here"}));
  EXPECT_FALSE(platform::StartDetachedAsDesktopUser({}));
}

TEST(ProcessTest, WorkingDirHiddenAndNoInheritedDescriptors) {
  tavtest::Sandbox sandbox;
  const std::string dir = sandbox.Path("work");
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  // A descriptor without close-on-exec that must still not reach the child.
  const int stray = open("/dev/zero", O_RDONLY);
  ASSERT_GE(stray, 3);
  StartOptions options;
  options.working_dir = dir;
  options.hidden = true;
  Process process;
  ASSERT_TRUE(process.Start({"/bin/sh", "-c",
                             "pwd > out; echo noise; echo noise >&2; " + NullDescriptors() +
                                 LeakCheck(stray) + "echo \"null=$n leak=$l\" >> out"},
                            options));
  uint32_t code = 1;
  ASSERT_TRUE(process.Wait(Process::kWaitForever, &code));
  close(stray);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(tavtest::ReadFile(dir + "/out"), Canonical(dir) + "\nnull=012 leak=no\n");
}

TEST(ProcessTest, StartCommandLineKeepsAQuotedArgumentWhole) {
  tavtest::Sandbox sandbox;
  const std::string out = sandbox.Path("args");
  Process process;
  ASSERT_TRUE(process.StartCommandLine("/bin/sh -c \"printf '[%s]' \\\"$@\\\" > " + out +
                                       "\" sh \"two words\" single"));
  uint32_t code = 1;
  ASSERT_TRUE(process.Wait(Process::kWaitForever, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(tavtest::ReadFile(out), "[two words][single]");
  EXPECT_FALSE(process.StartCommandLine("   "));
}

TEST(ProcessTest, DetachedStartRunsTheProgram) {
  tavtest::Sandbox sandbox;
  const std::string dir = sandbox.Path("detached");
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  const int stray = open("/dev/zero", O_RDONLY);
  ASSERT_GE(stray, 3);
  ScopedEnv no_sudo("SUDO_USER", std::nullopt);
  const bool started = platform::StartDetachedAsDesktopUser(
      {"/bin/sh", "-c", LeakCheck(stray) + "{ pwd; echo \"leak=$l\"; } > t; mv t out"}, dir);
  close(stray);
  ASSERT_TRUE(started);
  EXPECT_EQ(WaitForFile(dir + "/out"), Canonical(dir) + "\nleak=no\n");
}

TEST(ProcessTest, DesktopUserRunsWithoutRoot) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to change the user";
  struct passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr)
    GTEST_SKIP() << "no user 'nobody'";
  const std::string expected =
      std::to_string(nobody->pw_uid) + " " + std::to_string(nobody->pw_gid) + " nobody\n";
  tavtest::Sandbox sandbox;
  const std::string dir = sandbox.Path("shared");
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  ASSERT_EQ(chmod(sandbox.root().c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
  ScopedEnv sudo("SUDO_USER", std::string("nobody"));
  const std::string script = "echo \"$(id -u) $(id -g) $USER\" > t; mv t ";

  Process process;
  StartOptions options;
  options.as_desktop_user = true;
  options.working_dir = dir;
  ASSERT_TRUE(process.Start({"/bin/sh", "-c", script + "waited"}, options));
  uint32_t code = 1;
  ASSERT_TRUE(process.Wait(Process::kWaitForever, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(tavtest::ReadFile(dir + "/waited"), expected);

  ASSERT_TRUE(platform::StartDetachedAsDesktopUser({"/bin/sh", "-c", script + "detached"}, dir));
  EXPECT_EQ(WaitForFile(dir + "/detached"), expected);
}

TEST(ProcessTest, OpenWithDesktopStartsTheBrowser) {
  tavtest::Sandbox sandbox;
  const std::string script = sandbox.Path("browser");
  const std::string out = sandbox.Path("opened");
  ASSERT_TRUE(tavtest::WriteFile(script, "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > " + out +
                                             ".tmp && mv " + out + ".tmp " + out + "\n"));
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  ScopedEnv no_sudo("SUDO_USER", std::nullopt);
  const std::string address = "http://127.0.0.1:9/page?a=1&b=two words";
  {
    // Only the first word names the opener.
    ScopedEnv browser("BROWSER", script + " --ignored");
    ASSERT_TRUE(platform::OpenWithDesktop(address));
  }
  EXPECT_EQ(WaitForFile(out), "1|" + address);

  ScopedEnv missing("BROWSER", sandbox.Path("no-such-browser"));
  EXPECT_FALSE(platform::OpenWithDesktop(address));
}

}  // namespace
