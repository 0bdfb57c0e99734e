#include "platform/locale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "support/sandbox.h"

namespace platform {
namespace {

TEST(LocaleTest, PosixNamesMapToWindowsIdentifiers) {
  const struct {
    const char* name;
    uint32_t lcid;
  } cases[] = {
      {"it_IT.UTF-8", 0x0410},
      {"it_CH", 0x0810},
      {"en_US.UTF-8", 0x0409},
      {"es_ES", 0x0C0A},
      {"es_AR.utf8", 0x2C0A},
      {"pt_BR", 0x0416},
      {"pt_PT", 0x0816},
      {"zh_TW", 0x0404},
      {"zh_MO", 0x1404},
      {"sv_FI@euro", 0x081D},
      {"ar_QA", 0x4001},
      {"mr_IN", 0x044E},
      {"th_TH.TIS-620", 0x041E},
      {"de", 0x0407},
      {"de_XX", 0x0407},
      {"C", 0x0409},
      {"POSIX", 0x0409},
      {"C.UTF-8", 0x0409},
      {"xx_YY", 0},
      {"", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LcidFromLocaleName(c.name), c.lcid);
  }
}

TEST(LocaleTest, UserLocaleComesFromTheFirstSetVariable) {
  tavtest::ScopedEnv lang("LANG", "de_DE.UTF-8");
  {
    tavtest::ScopedEnv all("LC_ALL", "");
    tavtest::ScopedEnv messages("LC_MESSAGES", "fr_CA.UTF-8");
    EXPECT_EQ(GetUserDefaultLcid(), 0x0C0Cu);
    tavtest::ScopedEnv all_set("LC_ALL", "ja_JP.UTF-8");
    EXPECT_EQ(GetUserDefaultLcid(), 0x0411u);
  }
  tavtest::ScopedEnv no_all("LC_ALL", std::nullopt);
  tavtest::ScopedEnv no_messages("LC_MESSAGES", std::nullopt);
  EXPECT_EQ(GetUserDefaultLcid(), 0x0407u);
  tavtest::ScopedEnv unknown("LANG", "tlh_QO");
  EXPECT_EQ(GetUserDefaultLcid(), 0x0409u);
}

TEST(LocaleTest, SystemLocaleFromTheMachinesLocaleFile) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("etc/default/locale"), "LANG=\"ko_KR.UTF-8\"\n"));
  tavtest::ScopedEnv lang("LANG", "it_IT.UTF-8");
  tavtest::ScopedEnv no_all("LC_ALL", std::nullopt);
  EXPECT_EQ(GetSystemDefaultLcid(), 0x0412u);
  EXPECT_EQ(GetUserDefaultLcid(), 0x0410u);
}

TEST(LocaleTest, BiasIsMinutesToAddToLocalTime) {
  const struct {
    const char* tz;
    int32_t bias;
  } cases[] = {{"UTC0", 0}, {"CET-1", -60}, {"EST5", 300}, {"IST-5:30", -330}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tz);
    tavtest::ScopedEnv tz("TZ", c.tz);
    tzset();
    EXPECT_EQ(GetTimeZoneBiasMinutes(), c.bias);
  }
  tzset();
}

}  // namespace
}  // namespace platform
