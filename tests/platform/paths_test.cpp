#include "platform/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "support/sandbox.h"

namespace platform {
namespace {

TEST(PathsTest, SpecialFoldersLieUnderTheMachineRoot) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(IsRelocatedRoot());
  EXPECT_EQ(MachineRoot(), sandbox.root());
  const std::string home = DesktopUserHome();
  ASSERT_FALSE(home.empty());
  EXPECT_EQ(home.rfind(sandbox.root() + "/", 0), 0u) << home;

  struct Case {
    SpecialFolder folder;
    std::string expected;
  } cases[] = {
      {SpecialFolder::kTemp, sandbox.Path("tmp")},
      {SpecialFolder::kCommonDocuments, sandbox.Path("var/lib")},
      {SpecialFolder::kProgramFiles32, sandbox.Path("opt")},
      {SpecialFolder::kProgramFiles64, sandbox.Path("opt")},
      {SpecialFolder::kWindows, sandbox.Path("usr")},
      {SpecialFolder::kLocalAppData, home + "/.local/share"},
      {SpecialFolder::kDesktop, home + "/Desktop"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(GetSpecialFolder(c.folder), c.expected);
  }
}

TEST(PathsTest, DesktopFollowsTheUsersDirectoryFile) {
  tavtest::Sandbox sandbox;
  const std::string home = DesktopUserHome();
  ASSERT_TRUE(tavtest::WriteFile(home + "/.config/user-dirs.dirs",
                                 "# written by xdg-user-dirs-update\n"
                                 "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                                 "XDG_DESKTOP_DIR=\"$HOME/Scrivania\"\n"));
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::kDesktop), home + "/Scrivania");
}

TEST(PathsTest, UnrelocatedTempHonoursTmpdir) {
  tavtest::ScopedEnv no_root("TAV_ROOT", std::nullopt);
  {
    tavtest::ScopedEnv tmpdir("TMPDIR", "/var/tmp/");
    EXPECT_EQ(GetSpecialFolder(SpecialFolder::kTemp), "/var/tmp");
    EXPECT_EQ(GetSpecialFolder(SpecialFolder::kProgramFiles64), "/opt");
  }
  tavtest::ScopedEnv no_tmpdir("TMPDIR", std::nullopt);
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::kTemp), "/tmp");
}

TEST(PathsTest, SudoUserIsTheDesktopUserOfRoot) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root";
  tavtest::Sandbox sandbox;
  {
    tavtest::ScopedEnv sudo("SUDO_USER", "nobody");
    EXPECT_EQ(DesktopUserName(), "nobody");
  }
  tavtest::ScopedEnv no_sudo("SUDO_USER", std::nullopt);
  EXPECT_EQ(DesktopUserName(), "root");
}

TEST(PathsTest, RuntimeFolderAndOwnPath) {
  tavtest::Sandbox sandbox;
  EXPECT_EQ(RuntimeFolder(), sandbox.Path("run/tav"));
  struct stat st;
  EXPECT_EQ(stat(sandbox.Path("run/tav").c_str(), &st), 0);
  const std::string own = OwnExePath();
  EXPECT_EQ(own.substr(own.find_last_of('/') + 1), "tav_platform_tests");
}

TEST(PathsTest, CreateDirectoriesMakesParentsAndRefusesFiles) {
  tavtest::Sandbox sandbox;
  EXPECT_TRUE(CreateDirectories(sandbox.Path("a/b/c")));
  EXPECT_TRUE(CreateDirectories(sandbox.Path("a/b/c")));
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("file"), "x"));
  EXPECT_FALSE(CreateDirectories(sandbox.Path("file")));
  EXPECT_FALSE(CreateDirectories(sandbox.Path("file/sub")));
}

}  // namespace
}  // namespace platform
