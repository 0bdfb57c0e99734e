#include "app/startup.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/instance_guard.h"
#include "support/sandbox.h"

namespace {

namespace fs = std::filesystem;

TEST(StartupTest, CommandLineTableAndRunMode) {
  const struct {
    std::vector<std::string> args;
    bool fork;
  } cases[] = {
      {{"OnlyForkInstallDependent=1"}, true},
      {{"OnlyForkInstallDependent=true"}, false},
      {{"onlyforkinstalldependent=1"}, false},
      {{"OnlyForkInstallDependent=1 "}, false},
      {{"OnlyForkInstallDependent=0", "OnlyForkInstallDependent=1"}, true},
      {{"OnlyForkInstallDependent=1", "OnlyForkInstallDependent="}, false},
      {{"OnlyForkInstallDependent"}, false},
      {{}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    EXPECT_EQ(IsForkRun(ParseArguments(c.args)), c.fork);
  }
  const CommandLineTable table =
      ParseArguments({"HostLang=a=b", "flag", "HostVersion=1", "HostVersion=2"});
  EXPECT_EQ(table, (CommandLineTable{{"HostLang", "a=b"}, {"flag", ""}, {"HostVersion", "2"}}));
}

struct RunResult {
  int exit_code = 0;
  std::string stderr_text;
};

// Runs the real program in the sandbox machine root `sandbox`.
RunResult Start(const tavtest::Sandbox& sandbox, const std::string& args,
                const std::string& env = "") {
  const std::string err = sandbox.Path("stderr.txt");
  const std::string command = env + " '" TAV_EXE "' " + args + " 2>'" + err + "'";
  const int status = std::system(command.c_str());
  RunResult run;
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
  run.stderr_text = tavtest::ReadFile(err);
  return run;
}

// Every file of the log's family: the program moves its log to a dated name
// when it ends.
std::string LogText(const tavtest::Sandbox& sandbox, const std::string& name) {
  std::string text;
  const fs::path folder = sandbox.Path("tmp/Veltrana/TAV");
  if (!fs::exists(folder))
    return text;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().rfind(name, 0) == 0) {
      text += tavtest::ReadFile(entry.path().string());
    }
  }
  return text;
}

// True when `log` has a line "<stamp> <tag> <thread id> - <message>".
bool HasLine(const std::string& log, const std::string& tag, const std::string& message) {
  std::string::size_type begin = 0;
  while (begin < log.size()) {
    std::string::size_type end = log.find('\n', begin);
    if (end == std::string::npos)
      end = log.size();
    const std::string line = log.substr(begin, end - begin);
    begin = end + 1;
    const std::string::size_type at = line.find("] " + tag + " ");
    if (at == std::string::npos)
      continue;
    const std::string rest = line.substr(at + tag.size() + 3);
    const std::string::size_type dash = rest.find(" - ");
    if (dash != std::string::npos && dash > 0 && rest.find_first_not_of("0123456789") == dash &&
        rest.substr(dash + 3) == message) {
      return true;
    }
  }
  return false;
}

constexpr int kEarlyStopExit = 255;  // -1 as a process exit status
constexpr char kGuardName[] = "Nodorra (Italiano)_tav";

TEST(StartupRunTest, NormalRunEndsAfterAnEmptyMessageLoop) {
  tavtest::Sandbox sandbox;
  const RunResult run = Start(sandbox, "");
  EXPECT_EQ(run.exit_code, 0);
  const std::string log = LogText(sandbox, "vtTAV.log");
  tavtest::ExpectInOrder(log, {"[INFO]", " - start, fork=[0].\n", " - loadLangXML\n",
                               " - MessageLoop\n", " - MessageLoop end\n", " - exit!\n"});
  EXPECT_EQ(LogText(sandbox, "vtForkTAV.log"), "");
}

TEST(StartupRunTest, EarlyStopsLogTheirLineAndExitWithMinusOne) {
  const struct {
    const char* args;
    const char* env;
    const char* resource;  // overridden for the run with `content`
    const char* content;
    const char* log_name;
    const char* log_line;
    const char* box;  // "" when no box may be shown
  } cases[] = {
      {"", "TAV_TEST_NOT_ADMIN=1", nullptr, "", "vtTAV.log",
       "You must be logged in as administrator when installing this program.",
       "You must be logged in as administrator when installing this program."},
      {"OnlyForkInstallDependent=1", "TAV_TEST_NOT_ADMIN=1", nullptr, "", "vtForkTAV.log",
       "You must be logged in as administrator when installing this program.", ""},
      {"", "", "XML/106", "", "vtTAV.log", "LoadLocalXml failed!", "Load product xml error."},
      {"", "", "XML/106", "", "vtTAV.log", "LoadLocalXml, size error!", "Load product xml error."},
      {"", "", "XML/106", "<Product><ProductName>x</Product>", "vtTAV.log", "LoadLocalXml err 3",
       "Load product xml error."},
      {"", "", "XML/106", "<Lang/>", "vtTAV.log", "LoadLocalXml, not find product.",
       "Load product xml error."},
      {"OnlyForkInstallDependent=1", "", "XML/106", "", "vtForkTAV.log", "LoadLocalXml failed!",
       ""},
      {"", "", "XML/131", "", "vtTAV.log", "loadLangXML failed!", "Load lang xml error."},
      {"", "", "XML/131", "<Lang><item name=\"a\">", "vtTAV.log", "loadLangXML failed!",
       "Load lang xml error."},
      {"OnlyForkInstallDependent=1", "", "XML/131", "", "vtForkTAV.log", "loadLangXML failed!", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.log_line) + " " + c.args);
    tavtest::Sandbox sandbox;
    if (c.resource != nullptr) {
      ASSERT_TRUE(
          tavtest::WriteFile(sandbox.Path(std::string("resources/") + c.resource), c.content));
    }
    const RunResult run = Start(sandbox, c.args, c.env);
    EXPECT_EQ(run.exit_code, kEarlyStopExit);
    const std::string log = LogText(sandbox, c.log_name);
    EXPECT_TRUE(HasLine(log, "[ERROR]", c.log_line)) << log;
    EXPECT_EQ(log.find("MessageLoop"), std::string::npos);
    EXPECT_EQ(run.stderr_text, *c.box != '\0' ? std::string("Error: ") + c.box + "\n" : "");
  }
}

TEST(StartupRunTest, SecondNormalRunStopsButAForkRunProceeds) {
  tavtest::Sandbox sandbox;
  // The test holds the normal run's guard, as a running instance would.
  platform::InstanceGuard running;
  ASSERT_EQ(running.Acquire(kGuardName), platform::InstanceGuard::Result::kAcquired);

  const RunResult second = Start(sandbox, "");
  EXPECT_EQ(second.exit_code, kEarlyStopExit);
  EXPECT_EQ(second.stderr_text, "");
  EXPECT_TRUE(HasLine(LogText(sandbox, "vtTAV.log"), "[WARN]", "Already exist PreInstance."));

  const RunResult fork_run = Start(sandbox, "OnlyForkInstallDependent=1");
  EXPECT_EQ(fork_run.exit_code, 0);
  const std::string fork_log = LogText(sandbox, "vtForkTAV.log");
  EXPECT_TRUE(HasLine(fork_log, "[INFO]", "start, fork=[1].")) << fork_log;
  EXPECT_TRUE(HasLine(fork_log, "[INFO]", "exit!"));

  // A second fork run beside the first finds its own guard taken.
  platform::InstanceGuard fork_guard;
  ASSERT_EQ(fork_guard.Acquire(std::string(kGuardName) + "_fork"),
            platform::InstanceGuard::Result::kAcquired);
  EXPECT_EQ(Start(sandbox, "OnlyForkInstallDependent=1").exit_code, kEarlyStopExit);

  running.Release();
  EXPECT_EQ(Start(sandbox, "").exit_code, 0);
}

TEST(StartupRunTest, HostValuesCountInAForkRunOnly) {
  const struct {
    const char* args;
    const char* log_name;
    const char* tag;
    const char* line;
    bool present;
  } cases[] = {
      {"OnlyForkInstallDependent=1 HostHwnd=1234 HostLang=Italiano", "vtForkTAV.log", "[INFO]",
       "set host hwnd=[4d2].", true},
      {"OnlyForkInstallDependent=1 HostHwnd=-2", "vtForkTAV.log", "[INFO]",
       "set host hwnd=[fffffffe].", true},
      {"OnlyForkInstallDependent=1 HostLang=Italiano", "vtForkTAV.log", "[INFO]",
       "set select lang=[Italiano].", true},
      {"OnlyForkInstallDependent=1 HostLang=", "vtForkTAV.log", "[INFO]", "set select lang=[].",
       false},
      {"OnlyForkInstallDependent=1 HostHwnd=12ab", "vtForkTAV.log", "[WARN]",
       "bad host hwnd=[12ab], no host window.", true},
      {"OnlyForkInstallDependent=1 HostHwnd=99999999999", "vtForkTAV.log", "[WARN]",
       "bad host hwnd=[99999999999], no host window.", true},
      {"HostHwnd=1234 HostLang=Italiano", "vtTAV.log", "[INFO]", "set host hwnd=[4d2].", false},
      {"HostHwnd=1234 HostLang=Italiano", "vtTAV.log", "[INFO]", "set select lang=[Italiano].",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    tavtest::Sandbox sandbox;
    EXPECT_EQ(Start(sandbox, c.args).exit_code, 0);
    const std::string log = LogText(sandbox, c.log_name);
    EXPECT_EQ(HasLine(log, c.tag, c.line), c.present) << log;
  }
}

}  // namespace
