#include "platform/command_line.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

struct SplitCase {
  const char* text;
  std::vector<std::string> args;
};

TEST(CommandLineTest, SplitsWithWindowsRules) {
  const SplitCase cases[] = {
      {"prog a b", {"prog", "a", "b"}},
      {"  prog\t a  ", {"prog", "a"}},
      {R"("C:\Program Files\x.exe" arg)", {R"(C:\Program Files\x.exe)", "arg"}},
      // The program name knows no escapes.
      {R"(C:\dir\"a b" next)", {R"(C:\dir\a b)", "next"}},
      {R"(prog "a b" c)", {"prog", "a b", "c"}},
      {R"(prog a\\\"b)", {"prog", R"(a\"b)"}},
      {R"(prog a\\\\"b c")", {"prog", R"(a\\b c)"}},
      {R"(prog a\\b\)", {"prog", R"(a\\b\)"}},
      {R"(prog "a""b")", {"prog", R"(a"b)"}},
      {R"(prog "" x)", {"prog", "", "x"}},
      {R"(prog HostLang=a=b)", {"prog", "HostLang=a=b"}},
      // The first token of a bare argument list is read as a program name.
      {R"("OnlyForkInstallDependent=1 " HostLang=x)",
       {"OnlyForkInstallDependent=1 ", "HostLang=x"}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(SplitCommandLine(c.text), c.args);
  }
}

TEST(CommandLineTest, EmptyTextYieldsTheProgramPath) {
  EXPECT_EQ(SplitCommandLine("", "/opt/tav"), std::vector<std::string>{"/opt/tav"});
  EXPECT_EQ(SplitCommandLine(" \t ", "/opt/tav"), std::vector<std::string>{"/opt/tav"});
}

TEST(CommandLineTest, BuildThenSplitGivesTheArgumentsBack) {
  const std::vector<std::string> args = {"/opt/my apps/tav",
                                         "",
                                         "plain",
                                         "a b",
                                         R"(a"b)",
                                         R"(a\)",
                                         R"(a\\")",
                                         R"(\\server\share\)",
                                         "tab\there",
                                         R"(/DIR="C:\Program Files\Corvenna\")",
                                         "HostLang=Italiano"};
  const std::string text = BuildCommandLine(args);
  SCOPED_TRACE(text);
  EXPECT_EQ(SplitCommandLine(text), args);
}

TEST(CommandLineTest, QuotesOnlyWhenNeeded) {
  EXPECT_EQ(QuoteArgument("simple"), "simple");
  EXPECT_EQ(QuoteArgument(""), R"("")");
  EXPECT_EQ(QuoteArgument("a b"), R"("a b")");
  EXPECT_EQ(QuoteArgument(R"(dir\ x\)"), R"("dir\ x\\")");
}

}  // namespace
}  // namespace platform
