#include "support/shell_util.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <string>

#include "platform/message_bus.h"
#include "platform/paths.h"
#include "support/file_util.h"
#include "support/sandbox.h"

namespace {

std::string Desktop() {
  return platform::GetSpecialFolder(platform::SpecialFolder::kDesktop);
}

TEST(ShellUtilTest, DesktopShortcutIsAnExecutableDesktopEntry) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(CreateFolderTree(Desktop()));
  ASSERT_TRUE(CreateDesktopShortcut("Nodorra", "/opt/Corvenna/Nodorra"));
  const std::string path = Desktop() + "/Nodorra.desktop";
  EXPECT_EQ(tavtest::ReadFile(path),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Nodorra\n"
            "Exec=\"/opt/Corvenna/Nodorra/Nodorra\"\n"
            "Path=/opt/Corvenna/Nodorra\n"
            "Terminal=false\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  // Written again, it is replaced.
  ASSERT_TRUE(CreateDesktopShortcut("Nodorra", "/opt/Other/"));
  EXPECT_NE(tavtest::ReadFile(path).find("Exec=\"/opt/Other/Nodorra\"\n"), std::string::npos);
}

TEST(ShellUtilTest, DesktopShortcutQuotesTheTarget) {
  const struct {
    const char* name;
    const char* folder;
    const char* exec;
    const char* path;
  } cases[] = {
      {"run me", "/opt/My Apps", R"("/opt/My Apps/run me")", "/opt/My Apps"},
      {"a$b", "/opt/x", R"("/opt/x/a\\$b")", "/opt/x"},
      {"q\"t", "/opt/x", R"("/opt/x/q\\"t")", "/opt/x"},
      {"back`tick", "/opt/x", R"("/opt/x/back\\`tick")", "/opt/x"},
      {"100%", "/opt/x", R"("/opt/x/100%%")", "/opt/x"},
      {"slash", "/opt/a\\b", R"("/opt/a\\\\b/slash")", R"(/opt/a\\b)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tavtest::Sandbox sandbox;
    ASSERT_TRUE(CreateFolderTree(Desktop()));
    ASSERT_TRUE(CreateDesktopShortcut(c.name, c.folder));
    const std::string text = tavtest::ReadFile(Desktop() + "/" + c.name + ".desktop");
    EXPECT_NE(text.find(std::string("\nExec=") + c.exec + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find(std::string("\nPath=") + c.path + "\n"), std::string::npos) << text;
  }
}

TEST(ShellUtilTest, DesktopShortcutNeedsADesktopFolder) {
  tavtest::Sandbox sandbox;
  EXPECT_FALSE(CreateDesktopShortcut("Nodorra", "/opt/Corvenna/Nodorra"));
  EXPECT_FALSE(DirectoryExists(Desktop()));
  EXPECT_FALSE(CreateDesktopShortcut("", "/opt/Corvenna/Nodorra"));
}

TEST(ShellUtilTest, DeleteOwnDesktopShortcut) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(CreateFolderTree(Desktop()));
  ASSERT_TRUE(tavtest::WriteFile(Desktop() + "/other.desktop", "keep"));
  EXPECT_FALSE(DeleteOwnDesktopShortcut());
  ASSERT_TRUE(CreateDesktopShortcut(GetOwnFileName(), ParentFolder(GetOwnPath())));
  const std::string own = Desktop() + "/" + GetOwnFileName() + ".desktop";
  ASSERT_FALSE(tavtest::ReadFile(own).empty());
  EXPECT_TRUE(DeleteOwnDesktopShortcut());
  struct stat st;
  EXPECT_NE(stat(own.c_str(), &st), 0);
  EXPECT_EQ(tavtest::ReadFile(Desktop() + "/other.desktop"), "keep");
  EXPECT_FALSE(DeleteOwnDesktopShortcut());
}

TEST(ShellUtilTest, ActivateWindowAsksTheWindowToComeForward) {
  tavtest::Sandbox sandbox;
  platform::MessageBus& bus = platform::Bus();
  bus.DispatchPending();
  int brought = 0;
  const platform::WindowHandle window =
      bus.RegisterWindow("TavShellTest", "Main", [&](const platform::BusMessage& m) {
        if (m.message == platform::kMsgBringToFront)
          ++brought;
        return int64_t{0};
      });
  ASSERT_NE(window, 0u);
  EXPECT_FALSE(ActivateWindow("TavShellTest", "Other"));
  EXPECT_FALSE(ActivateWindow("NoSuchClass", "Main"));
  EXPECT_TRUE(ActivateWindow("TavShellTest", "Main"));
  for (int i = 0; i < 200 && brought == 0; ++i) {
    pollfd p{bus.EventFd(), POLLIN, 0};
    poll(&p, 1, 25);
    bus.DispatchPending();
  }
  EXPECT_EQ(brought, 1);
  bus.UnregisterWindow(window);
}

TEST(ShellUtilTest, ParseCommandLineSplitsKeysAndValues) {
  const struct {
    const char* text;
    std::map<std::string, std::string> expected;
  } cases[] = {
      {"tav.exe /PID=7155 /NOTRUN", {{"tav.exe", ""}, {"/PID", "7155"}, {"/NOTRUN", ""}}},
      {"p a=1 a=2", {{"p", ""}, {"a", "2"}}},
      {"p c=x=y", {{"p", ""}, {"c", "x=y"}}},
      {"p \"d=with space\" e=", {{"p", ""}, {"d", "with space"}, {"e", ""}}},
      {"p =v", {{"p", ""}, {"", "v"}}},
      {"\"C:\\Program Files\\t.exe\" k=\"a \\\"b\\\"\"",
       {{"C:\\Program Files\\t.exe", ""}, {"k", "a \"b\""}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseCommandLine(c.text), c.expected);
  }
  const std::map<std::string, std::string> own = {{GetOwnPath(), ""}};
  EXPECT_EQ(ParseCommandLine(""), own);
}

TEST(ShellUtilTest, RunHiddenAndWaitIsTrueExactlyForExitCodeZero) {
  const struct {
    const char* command;
    bool ok;
  } cases[] = {
      {"sh -c \"exit 0\"", true},
      {"true", true},
      {"sh -c \"exit 1\"", false},
      {"sh -c \"exit 255\"", false},
      {"sh -c \"echo to nowhere; exit 0\"", true},
      {"sh -c \"kill -9 $$\"", false},
      {"/nonexistent/program", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(RunHiddenAndWait(c.command), c.ok);
  }
}

TEST(ShellUtilTest, RunHiddenAndWaitEndsAChildThatOutlivesItsLimit) {
  tavtest::Sandbox sandbox;
  const std::string pid_file = sandbox.Path("pid");
  const std::string command = "sh -c \"echo $$ > '" + pid_file + "'; exec sleep 30\"";
  EXPECT_FALSE(RunHiddenAndWait(command, 300));
  const std::string pid_text = tavtest::ReadFile(pid_file);
  if (!pid_text.empty()) {
    // Ended and reaped: the process is gone.
    const pid_t pid = static_cast<pid_t>(std::stol(pid_text));
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
  }
}

}  // namespace
