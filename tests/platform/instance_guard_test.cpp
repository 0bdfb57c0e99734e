#include "platform/instance_guard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/sandbox.h"

namespace platform {
namespace {

using Result = InstanceGuard::Result;

TEST(InstanceGuardTest, OneHolderPerName) {
  tavtest::Sandbox sandbox;
  InstanceGuard first;
  InstanceGuard second;
  InstanceGuard fork_run;
  ASSERT_EQ(first.Acquire("Nodorra (Italiano)_tav"), Result::kAcquired);
  EXPECT_EQ(second.Acquire("Nodorra (Italiano)_tav"), Result::kAlreadyExists);
  EXPECT_FALSE(second.held());
  // Another name, such as the fork run's, is a guard of its own.
  EXPECT_EQ(fork_run.Acquire("Nodorra (Italiano)_tav_fork"), Result::kAcquired);
  first.Release();
  EXPECT_EQ(second.Acquire("Nodorra (Italiano)_tav"), Result::kAcquired);
}

TEST(InstanceGuardTest, NamesWithSlashesAndPercentsStayDistinct) {
  tavtest::Sandbox sandbox;
  InstanceGuard a, b, c;
  EXPECT_EQ(a.Acquire("a/b"), Result::kAcquired);
  EXPECT_EQ(b.Acquire("a%2Fb"), Result::kAcquired);
  EXPECT_EQ(c.Acquire(".."), Result::kAcquired);
}

TEST(InstanceGuardTest, ADeadHolderReleasesTheGuard) {
  tavtest::Sandbox sandbox;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    InstanceGuard guard;
    char ok = guard.Acquire("holder") == Result::kAcquired ? '1' : '0';
    (void)!write(ready[1], &ok, 1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  close(ready[0]);
  ASSERT_EQ(ok, '1');

  InstanceGuard guard;
  EXPECT_EQ(guard.Acquire("holder"), Result::kAlreadyExists);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(guard.Acquire("holder"), Result::kAcquired);
}

}  // namespace
}  // namespace platform
