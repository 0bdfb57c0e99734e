#include "support/system_info.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <optional>
#include <string>

#include "platform/registry.h"
#include "support/sandbox.h"

namespace {

using platform::Hive;
using platform::RegKey;
using platform::RegView;

const char kIeKey[] = "Software\\Microsoft\\Internet Explorer";

TEST(SystemInfoTest, NativeProgramIsNeverWow64) {
  EXPECT_FALSE(IsWow64());
  // A 64-bit build runs only on a 64-bit system; a 32-bit one may run on
  // either, so only the first is certain.
  if (sizeof(void*) == 8) {
    EXPECT_TRUE(Is64BitOs());
  }
}

TEST(SystemInfoTest, WindowsVersionIsTheKernelRelease) {
  struct utsname name;
  ASSERT_EQ(uname(&name), 0);
  EXPECT_EQ(GetWindowsVersion(), name.release);
  EXPECT_FALSE(GetWindowsVersion().empty());
}

TEST(SystemInfoTest, IeVersionFromThe32BitViewWhenItFits) {
  const std::string fits(49, '9');
  const std::string too_long(50, '9');
  const struct {
    const char* what;
    RegView view;
    std::optional<std::string> text;  // nullopt: a DWORD instead
    std::string expected;
  } cases[] = {
      {"nothing stored", RegView::k32, "", ""},
      {"a version", RegView::k32, "11.0.9600.19036", "11.0.9600.19036"},
      {"49 characters", RegView::k32, fits, fits},
      {"50 characters", RegView::k32, too_long, "-"},
      {"only in the 64-bit view", RegView::k64, "9.0", "-"},
      {"not a string", RegView::k32, std::nullopt, "-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tavtest::Sandbox sandbox;
    const RegKey key{Hive::kLocalMachine, c.view, kIeKey};
    if (!c.text) {
      ASSERT_TRUE(platform::RegSetDword(key, "Version", 11));
    } else if (!c.text->empty()) {
      ASSERT_TRUE(platform::RegSetString(key, "Version", *c.text));
    }
    const std::string version = GetIeVersion();
    EXPECT_EQ(version, c.expected.empty() ? "-" : c.expected);
    // Read with create semantics: the key exists afterwards.
    EXPECT_TRUE(platform::RegKeyExists(RegKey{Hive::kLocalMachine, RegView::k32, kIeKey}));
  }
}

}  // namespace
