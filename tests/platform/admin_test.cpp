#include "platform/admin.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "support/sandbox.h"

namespace platform {
namespace {

TEST(AdminTest, RootOrAWritableMachineRootIsAdministrator) {
  tavtest::Sandbox sandbox;
  EXPECT_TRUE(IsAdministrator());
}

TEST(AdminTest, TestSwitchForcesTheRefusalPath) {
  tavtest::Sandbox sandbox;
  setenv("TAV_TEST_NOT_ADMIN", "1", 1);
  EXPECT_FALSE(IsAdministrator());
  setenv("TAV_TEST_NOT_ADMIN", "0", 1);
  EXPECT_TRUE(IsAdministrator());
  unsetenv("TAV_TEST_NOT_ADMIN");
}

TEST(AdminTest, UnprivilegedUserNeedsAWritableRoot) {
  if (geteuid() == 0)
    GTEST_SKIP() << "root is always administrator";
  tavtest::Sandbox sandbox;
  chmod(sandbox.root().c_str(), 0555);
  EXPECT_FALSE(IsAdministrator());
  chmod(sandbox.root().c_str(), 0755);
}

}  // namespace
}  // namespace platform
