#include "config/run_state.h"

#include <gtest/gtest.h>

#include "support/sandbox.h"

namespace {

TEST(RunStateTest, WrittenFileMatchesTheLayoutByteForByte) {
  RunState state;
  state.status = "1";
  state.join_exp = "1";
  state.select_lang = "Italiano";
  state.install_path = "C:\\Program Files\\";
  state.tmp_package_path = "C:\\Users\\Public\\Documents\\Corvenna\\nodorra_full7155.exe.~P2S";
  EXPECT_EQ(RunStateText(state),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<config>\r\n"
            "<Status>1</Status>\r\n"
            "<JoinExp>1</JoinExp>\r\n"
            "<SelectLang>Italiano</SelectLang>\r\n"
            "<InstallPath>C:\\Program Files\\</InstallPath>\r\n"
            "<AgreeExtInstall/>\r\n"
            "<TmpPackagePath>C:\\Users\\Public\\Documents\\Corvenna\\nodorra_full7155.exe.~P2S"
            "</TmpPackagePath>\r\n"
            "</config>\r\n");
}

TEST(RunStateTest, WriteThenReadGivesTheValuesBack) {
  tavtest::Sandbox sandbox;
  const std::string path = sandbox.Path("TAV_DOWNTASK_7155.xml");
  RunState written;
  written.status = "1";
  written.select_lang = "Français";
  written.install_path = "/opt/a & <b>/";
  WriteRunState(path, written, /*fork_run=*/false);
  RunState read;
  ReadRunState(path, &read);
  EXPECT_EQ(read.status, "1");
  EXPECT_EQ(read.select_lang, "Français");
  EXPECT_EQ(read.install_path, "/opt/a & <b>/");
  EXPECT_EQ(read.join_exp, "");
  EXPECT_TRUE(read.resume);

  DeleteRunState(path, &read, /*fork_run=*/false);
  EXPECT_FALSE(read.resume);
  EXPECT_EQ(tavtest::ReadFile(path), "");
}

TEST(RunStateTest, ResumeFlagAndBadFiles) {
  const struct {
    const char* file;
    bool resume;
    const char* select_lang;
  } cases[] = {
      {"<config><Status>1x</Status><SelectLang>Deutsch</SelectLang></config>", true, "Deutsch"},
      {"<config><Status>2</Status></config>", false, ""},
      {"<config><Status>01</Status></config>", true, ""},
      {"<config><Status> 1</Status></config>", false, ""},
      {"<other><Status>1</Status><SelectLang>Deutsch</SelectLang></other>", false, ""},
      {"<config><Status>1</Status>", false, ""},
      {"", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    tavtest::Sandbox sandbox;
    const std::string path = sandbox.Path("state.xml");
    ASSERT_TRUE(tavtest::WriteFile(path, c.file));
    RunState state;
    ReadRunState(path, &state);
    EXPECT_EQ(state.resume, c.resume);
    EXPECT_EQ(state.select_lang, c.select_lang);
  }
}

TEST(RunStateTest, AForkRunReadsButNeverWritesOrDeletes) {
  tavtest::Sandbox sandbox;
  const std::string path = sandbox.Path("state.xml");
  const std::string original = "<config><Status>1</Status></config>";
  ASSERT_TRUE(tavtest::WriteFile(path, original));
  RunState state;
  ReadRunState(path, &state);
  EXPECT_TRUE(state.resume);
  state.status = "0";
  WriteRunState(path, state, /*fork_run=*/true);
  DeleteRunState(path, &state, /*fork_run=*/true);
  EXPECT_FALSE(state.resume);
  EXPECT_EQ(tavtest::ReadFile(path), original);
}

}  // namespace
