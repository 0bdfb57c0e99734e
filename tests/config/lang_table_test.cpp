#include "config/lang_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "config/run_state.h"
#include "support/sandbox.h"

namespace {

TEST(LangTableTest, CurrentLanguageFollowsTheUsersLocale) {
  const struct {
    const char* locale;
    const char* language;
  } cases[] = {
      {"en_US.UTF-8", "English"},  // 0x0409
      {"es_ES.UTF-8", "Español"},  // 0x0C0A
      {"zh_MO.UTF-8", "English"},  // 0x1404 is not listed
      {"it_CH.UTF-8", "Italiano"}, {"ru_RU.UTF-8", "Pусский"}, {"th_TH.UTF-8", "ไทย"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    tavtest::ScopedEnv locale("LC_ALL", c.locale);
    LangTable table;
    EXPECT_EQ(table.current_language(), c.language);
  }
}

TEST(LangTableTest, BrandReplacesTheMakersName) {
  const struct {
    const char* brand;
    const char* text;
  } cases[] = {
      {"Corvenna", "Corvenna Kandu di Corvenna, veltrana"},
      {"VELTRANA", "Veltrana Kandu di Veltrana, veltrana"},
      {"veltrana", "Veltrana Kandu di Veltrana, veltrana"},
      {"", " Kandu di , veltrana"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.brand);
    tavtest::Sandbox sandbox;
    ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("resources/XML/131"),
                                   "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Lang>"
                                   "<item name=\"t\">Veltrana Kandu di Veltrana, veltrana</item>"
                                   "<item name=\"dup\">first</item><item name=\"dup\">second</item>"
                                   "<item name=\"retry\"/></Lang>"));
    LangTable table;
    ASSERT_TRUE(table.loadLangXML(c.brand));
    EXPECT_EQ(table.GetText("t"), c.text);
    EXPECT_EQ(table.GetText("dup"), "second");
    EXPECT_EQ(table.GetText("retry"), "retry");
    EXPECT_EQ(table.GetTextOrEmpty("retry"), "");
    EXPECT_EQ(table.GetText("no such key"), "no such key");
    EXPECT_EQ(table.GetTextOrEmpty("no such key"), "");
  }
}

TEST(LangTableTest, BadLanguageFilesFailToLoad) {
  for (const char* file : {"", "<Lang><item name=\"a\">x</Lang>", "<Strings/>"}) {
    SCOPED_TRACE(file);
    tavtest::Sandbox sandbox;
    ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("resources/XML/131"), file));
    LangTable table;
    EXPECT_FALSE(table.loadLangXML("Corvenna"));
  }
}

TEST(LangTableTest, LanguageCodes) {
  EXPECT_EQ(LangTable::Languages().size(), 21u);
  EXPECT_EQ(LangTable::LangCode("Italiano"), "ITA");
  EXPECT_EQ(LangTable::LangCode("italiano"), "ENG");
  EXPECT_EQ(LangTable::LangCode("Pусский"), "RUS");
  EXPECT_EQ(LangTable::LangCode("\xD0\xA0усский"), "ENG");  // Cyrillic first letter
  EXPECT_EQ(LangTable::LangCode("मराठी"), "INDMR");
  EXPECT_EQ(LangTable::LangCode(""), "ENG");
}

TEST(LangTableTest, SelectedLanguageGoesToTheRunState) {
  RunState state;
  state.select_lang = "Deutsch";
  SetSelectLang(&state, "");
  EXPECT_EQ(state.select_lang, "Deutsch");
  SetSelectLang(&state, "Italiano");
  EXPECT_EQ(state.select_lang, "Italiano");
}

// Which printf conversions a text holds, in order ("%%" is none).
std::string Conversions(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '%')
      continue;
    std::size_t j = i + 1;
    if (text[j] == '%') {
      i = j;
      continue;
    }
    while (j < text.size() && std::string("0123456789").find(text[j]) != std::string::npos)
      ++j;
    out += text.substr(i, j - i + 1);
    i = j;
  }
  return out;
}

TEST(LangTableTest, TheShippedItalianFileHasEveryKeyWithItsPlaceholders) {
  tavtest::Sandbox sandbox;
  LangTable table;
  ASSERT_TRUE(table.loadLangXML("Corvenna"));
  const char* const keys[] = {"errmsg_md5",
                              "errmsg_disk",
                              "errmsg_connect",
                              "errmsg_downfailed",
                              "errmsg_install",
                              "errmsg_pathnoexist",
                              "tipmsg_installed",
                              "tipmsg_licenseaccept",
                              "tipmsg_close",
                              "tipmsg_close2",
                              "tipmsg_webdown",
                              "TrayMenuTxt",
                              "TrayIconTip1",
                              "TrayIconTip2",
                              "TrayIconTip3",
                              "SelectFolderTip",
                              "Btn_Install",
                              "Btn_Run",
                              "Btn_Privacy",
                              "Btn_License",
                              "Btn_Modify",
                              "Lbl_InstallFolder",
                              "Lbl_JoinUserExp",
                              "Btn_Minimal",
                              "Btn_Close",
                              "Lbl_ProgressTip",
                              "Lbl_selectlang",
                              "Lbl_offlineInstaller",
                              "Lbl_CheckWarn",
                              "Lbl_Check",
                              "Lbl_Install_Kdu",
                              "tipmsg_adminpath",
                              "install_wizard",
                              "install_failed",
                              "if_install_failed_tip",
                              "check_network",
                              "check_disk",
                              "download_pkg",
                              "report_contact_tip",
                              "contact_tip",
                              "remark_tip",
                              "get_help",
                              "send_error_report",
                              "reported_tip",
                              "information",
                              "error",
                              "warning",
                              "ok",
                              "cancel",
                              "install_error",
                              "not_enough_disk_space",
                              "change_install_location",
                              "downloading_tip",
                              "installing_tip",
                              "agree_by_download",
                              "confirm_stop_download?",
                              "cannot_stop_install",
                              "cannot_set_installation_path",
                              "yes",
                              "no",
                              "clean_disk",
                              "change_dir_or_clean_disk",
                              "unavailable_dir_tip",
                              "product_is_running_tip",
                              "wait_for_time_tip",
                              "new_download_time_tip",
                              "new_install_time_tip",
                              "not_support_x86",
                              "privacy_wnd_title",
                              "privacy_wnd_tip",
                              "privacy_wnd_privacy",
                              "privacy_wnd_and",
                              "privacy_wnd_eula",
                              "privacy_wnd_agree_install",
                              "privacy_wnd_not_agree",
                              "main_privacy_tip",
                              "privacy_wnd_tip_tail",
                              "main_privacy_tip_tail"};
  static_assert(std::size(keys) == 78, "every key but \"retry\"");
  const std::map<std::string, std::string> placeholders = {{"errmsg_disk", "%s"},
                                                           {"errmsg_downfailed", "%s"},
                                                           {"errmsg_install", "%s"},
                                                           {"tipmsg_close2", "%s"},
                                                           {"TrayIconTip1", "%s"},
                                                           {"TrayIconTip3", "%s"},
                                                           {"product_is_running_tip", "%s"},
                                                           {"TrayIconTip2", "%s%d%s"},
                                                           {"Lbl_ProgressTip", "%d%s"},
                                                           {"wait_for_time_tip", "%02d%02d"},
                                                           {"new_download_time_tip", "%02d%02d"},
                                                           {"new_install_time_tip", "%02d%02d"}};
  for (const char* key : keys) {
    SCOPED_TRACE(key);
    const std::string text = table.GetTextOrEmpty(key);
    EXPECT_FALSE(text.empty());
    auto it = placeholders.find(key);
    EXPECT_EQ(Conversions(text), it == placeholders.end() ? "" : it->second);
  }
  EXPECT_EQ(table.GetTextOrEmpty("retry"), "");
}

}  // namespace
