#include "support/registry_records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/registry.h"
#include "support/file_util.h"
#include "support/sandbox.h"

namespace {

using platform::Hive;
using platform::RegKey;
using platform::RegValue;
using platform::RegView;

RegKey Machine(const std::string& path, RegView view = RegView::k32) {
  return RegKey{Hive::kLocalMachine, view, path};
}

RegKey User(const std::string& path) {
  return RegKey{Hive::kCurrentUser, RegView::kDefault, path};
}

std::string StringAt(const RegKey& key, const std::string& name) {
  std::string text;
  return platform::RegGetString(key, name, &text) ? text : "(none)";
}

// ---- Client sign ---------------------------------------------------------------

const char kHelperKey[] = "Software\\Corvenna\\Corvenna Helper Compact";
const char kKvfKey[] = "Software\\Corvenna\\Kvf";

TEST(RegistryRecordsTest, ClientSignOnlyUnderKeyBIsReturnedAndNothingIsWritten) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(platform::RegSetString(Machine(kKvfKey), "ClientSign", "{sign-from-b}"));
  EXPECT_EQ(GetClientSign("Corvenna"), "{sign-from-b}");
  EXPECT_FALSE(platform::RegKeyExists(Machine(kHelperKey)));
  EXPECT_EQ(platform::RegEnumValues(Machine(kKvfKey)), std::vector<std::string>{"ClientSign"});
  EXPECT_EQ(StringAt(Machine(kKvfKey), "ClientSign"), "{sign-from-b}");
  // The user's key A is opened with create semantics, but gets no value.
  EXPECT_TRUE(platform::RegKeyExists(User(kHelperKey)));
  EXPECT_TRUE(platform::RegEnumValues(User(kHelperKey)).empty());
}

TEST(RegistryRecordsTest, ClientSignIsReadFromTheFirstPlaceThatHoldsOne) {
  const std::string too_long = "{" + std::string(48, 'x') + "}";  // 50 characters
  const struct {
    const char* what;
    std::optional<std::string> user_a;
    std::optional<std::string> machine_a;
    std::optional<std::string> machine_b;
    std::optional<std::string> machine_a_64;
    std::string expected;
  } cases[] = {
      {"all three", "{user}", "{machine-a}", "{machine-b}", std::nullopt, "{user}"},
      {"machine keys", std::nullopt, "{machine-a}", "{machine-b}", std::nullopt, "{machine-a}"},
      {"too long for the buffer", too_long, std::nullopt, "{machine-b}", std::nullopt,
       "{machine-b}"},
      {"49 characters fit", too_long.substr(1), std::nullopt, "{machine-b}", std::nullopt,
       too_long.substr(1)},
      {"64-bit view is not looked at", std::nullopt, std::nullopt, std::nullopt, "{wide}", ""},
      {"none", std::nullopt, std::nullopt, std::nullopt, std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tavtest::Sandbox sandbox;
    if (c.user_a) {
      ASSERT_TRUE(platform::RegSetString(User(kHelperKey), "ClientSign", *c.user_a));
    }
    if (c.machine_a) {
      ASSERT_TRUE(platform::RegSetString(Machine(kHelperKey), "ClientSign", *c.machine_a));
    }
    if (c.machine_b) {
      ASSERT_TRUE(platform::RegSetString(Machine(kKvfKey), "ClientSign", *c.machine_b));
    }
    if (c.machine_a_64) {
      ASSERT_TRUE(
          platform::RegSetString(Machine(kHelperKey, RegView::k64), "ClientSign", *c.machine_a_64));
    }
    EXPECT_EQ(ReadClientSign("Corvenna"), c.expected);
  }
}

// "{" + a version-4 identifier in lower-case hexadecimal + "G}".
bool HasSignShape(const std::string& sign) {
  const std::string shape = "{xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxxG}";
  if (sign.size() != shape.size())
    return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const char c = sign[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    if (shape[i] == 'x' && !hex)
      return false;
    if (shape[i] == 'y' && std::string("89ab").find(c) == std::string::npos)
      return false;
    if (shape[i] != 'x' && shape[i] != 'y' && shape[i] != c)
      return false;
  }
  return true;
}

TEST(RegistryRecordsTest, FreshMachineGetsANewSignInBothMachineKeys) {
  tavtest::Sandbox sandbox;
  EXPECT_EQ(ReadClientSign("Corvenna"), "");
  const std::string sign = GetClientSign("Corvenna");
  // "{", the 36-character identifier, "G}": 40 UTF-16 units with the
  // terminator of the stored string.
  ASSERT_EQ(sign.size(), 39u);
  EXPECT_TRUE(HasSignShape(sign)) << sign;
  EXPECT_EQ(StringAt(Machine(kHelperKey), "ClientSign"), sign);
  EXPECT_EQ(StringAt(Machine(kKvfKey), "ClientSign"), sign);
  EXPECT_EQ(StringAt(User(kHelperKey), "ClientSign"), "(none)");
  EXPECT_EQ(GetClientSign("Corvenna"), sign);
  EXPECT_EQ(ReadClientSign("Corvenna"), sign);
  // Another brand has its own sign.
  const std::string other = GetClientSign("Veltrana");
  EXPECT_EQ(other.size(), 39u);
  EXPECT_NE(other, sign);
}

// ---- Installed products ---------------------------------------------------------

struct Value {
  std::string name;
  RegValue value;
};

Value Text(const std::string& name, const std::string& text) {
  return {name, RegValue{platform::kRegSz, text}};
}

Value Dword(const std::string& name, uint32_t number) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i)
    data[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
  return {name, RegValue{platform::kRegDword, data}};
}

struct Record {
  std::string subkey;
  std::vector<Value> values;
  RegView view = RegView::k32;
};

TEST(RegistryRecordsTest, FindInstalledProductValueMatchingRules) {
  const std::string long_text(255, 'v');  // needs 512 bytes with its terminator
  const std::string longest(254, 'v');
  const Value pid = Dword("PID", 7155);
  const Value info = Text("InstallInfo", "info");
  const struct {
    const char* what;
    std::vector<Record> records;
    bool found;
    std::string version;
  } cases[] = {
      {"a record", {{"Nodorra", {pid, info, Text("Version", "1.2.3.4")}}}, true, "1.2.3.4"},
      {"no PID", {{"Nodorra", {info, Text("Version", "1")}}}, false, ""},
      {"another PID", {{"Nodorra", {Dword("PID", 7156), info, Text("Version", "1")}}}, false, ""},
      {"PID as text", {{"Nodorra", {Text("PID", "7155"), info, Text("Version", "1")}}}, false, ""},
      {"no install info or date", {{"Nodorra", {pid, Text("Version", "1")}}}, false, ""},
      {"empty install info",
       {{"Nodorra", {pid, Text("InstallInfo", ""), Text("Version", "1")}}},
       false,
       ""},
      {"install info not a string, date not consulted",
       {{"Nodorra",
         {pid, Dword("InstallInfo", 1), Text("InstallDate", "2024"), Text("Version", "1")}}},
       false,
       ""},
      {"install date instead of info",
       {{"Nodorra", {pid, Text("InstallDate", "2024"), Text("Version", "2")}}},
       true,
       "2"},
      {"empty install date",
       {{"Nodorra", {pid, Text("InstallDate", ""), Text("Version", "2")}}},
       false,
       ""},
      {"unreadably long install info, date used",
       {{"Nodorra",
         {pid, Text("InstallInfo", long_text), Text("InstallDate", "2024"), Text("Version", "3")}}},
       true,
       "3"},
      {"first counting record ends the search without the value",
       {{"A", {pid, info}}, {"B", {pid, info, Text("Version", "2")}}},
       true,
       ""},
      {"records that do not count are passed over",
       {{"A", {pid}},
        {"b", {Dword("PID", 1), info, Text("Version", "1")}},
        {"C", {pid, info, Text("Version", "3")}}},
       true,
       "3"},
      {"longest value that fits",
       {{"Nodorra", {pid, info, Text("Version", longest)}}},
       true,
       longest},
      {"value too long", {{"Nodorra", {pid, info, Text("Version", long_text)}}}, true, ""},
      {"value not a string", {{"Nodorra", {pid, info, Dword("Version", 5)}}}, true, ""},
      {"value empty", {{"Nodorra", {pid, info, Text("Version", "")}}}, true, ""},
      {"record only in the 64-bit view",
       {{"Nodorra", {pid, info, Text("Version", "1")}, RegView::k64}},
       false,
       ""},
      {"no records", {}, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tavtest::Sandbox sandbox;
    for (const Record& record : c.records) {
      const RegKey key = Machine("Software\\Corvenna\\" + record.subkey, record.view);
      ASSERT_TRUE(platform::RegCreateKey(key));
      for (const Value& v : record.values) {
        ASSERT_TRUE(platform::RegSetValue(key, v.name, v.value));
      }
    }
    std::string version = "stale";
    EXPECT_EQ(FindInstalledProductValue("Corvenna", "Version", 7155, &version), c.found);
    EXPECT_EQ(version, c.version);
    EXPECT_EQ(IsProductInstalled("Corvenna", 7155), c.found);
    EXPECT_EQ(GetInstalledVersion("Corvenna", 7155), c.version);
    EXPECT_FALSE(IsProductInstalled("Veltrana", 7155));
  }
}

TEST(RegistryRecordsTest, InstalledRecordFields) {
  tavtest::Sandbox sandbox;
  const RegKey key = Machine("Software\\Corvenna\\Nodorra");
  ASSERT_TRUE(platform::RegSetDword(key, "PID", 7155));
  ASSERT_TRUE(platform::RegSetString(key, "InstallInfo", "x"));
  ASSERT_TRUE(platform::RegSetString(key, "Version", "4.5.6.7"));
  ASSERT_TRUE(platform::RegSetString(key, "InstallName", "/opt/Corvenna/Nodorra/nodorra"));
  ASSERT_TRUE(platform::RegSetString(key, "InstallPath", "/opt/Corvenna/Nodorra/"));
  EXPECT_TRUE(IsProductInstalled("Corvenna", 7155));
  EXPECT_EQ(GetInstalledVersion("Corvenna", 7155), "4.5.6.7");
  EXPECT_EQ(GetInstalledName("Corvenna", 7155), "/opt/Corvenna/Nodorra/nodorra");
  EXPECT_EQ(GetInstalledPath("Corvenna", 7155), "/opt/Corvenna/Nodorra/");
  EXPECT_FALSE(IsProductInstalled("Corvenna", 7156));
  EXPECT_EQ(GetInstalledPath("Corvenna", 7156), "");
}

TEST(RegistryRecordsTest, KanduInstallNamePrefersAnExistingFile) {
  const char kKandu[] = "Software\\Veltrana\\Veltrana Kandu";
  const struct {
    const char* what;
    std::optional<std::string> wide;  // relative to the sandbox
    std::optional<std::string> narrow;
    bool wide_exists;
    bool narrow_exists;
    std::string expected;  // relative to the sandbox, "" for none
    bool installed;
  } cases[] = {
      {"64-bit view names a file", "k64", "k32", true, true, "k64", true},
      {"only the 32-bit one exists", "k64", "k32", false, true, "k32", true},
      {"neither exists: the last read", "k64", "k32", false, false, "k32", false},
      {"only a 64-bit text", "k64", std::nullopt, false, false, "k64", false},
      {"only a 32-bit file", std::nullopt, "k32", false, true, "k32", true},
      {"nothing", std::nullopt, std::nullopt, false, false, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tavtest::Sandbox sandbox;
    if (c.wide) {
      ASSERT_TRUE(platform::RegSetString(Machine(kKandu, RegView::k64), "InstallName",
                                         sandbox.Path(*c.wide)));
    }
    if (c.narrow) {
      ASSERT_TRUE(platform::RegSetString(Machine(kKandu, RegView::k32), "InstallName",
                                         sandbox.Path(*c.narrow)));
    }
    if (c.wide_exists) {
      ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("k64"), "x"));
    }
    if (c.narrow_exists) {
      ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("k32"), "x"));
    }
    EXPECT_EQ(GetKanduInstallName(), c.expected.empty() ? "" : sandbox.Path(c.expected));
    EXPECT_EQ(IsKanduInstalled(), c.installed);
    // Opened with create semantics in both views.
    EXPECT_TRUE(platform::RegKeyExists(Machine(kKandu, RegView::k64)));
    EXPECT_TRUE(platform::RegKeyExists(Machine(kKandu, RegView::k32)));
  }
}

// ---- Channel and compatibility layers ---------------------------------------------

TEST(RegistryRecordsTest, SetChannelTypeRule) {
  const char kChannel[] = "Software\\KvfCX";
  struct Stored {
    uint32_t type;
    std::string data;
  };
  const struct {
    const char* what;
    std::optional<Stored> default_before;
    std::string app_id;
    std::optional<Stored> before;  // the value named by the app or product id
    Stored default_after;
    Stored after;
  } cases[] = {
      {"fresh key", std::nullopt, "", std::nullopt, {1, "chan"}, {1, "chan"}},
      {"app id names the value", std::nullopt, "app.x", std::nullopt, {1, "chan"}, {1, "chan"}},
      {"default kept", Stored{1, "old"}, "", std::nullopt, {1, "old"}, {1, "chan"}},
      {"empty default kept", Stored{1, ""}, "", std::nullopt, {1, ""}, {1, "chan"}},
      {"other text keeps its type", std::nullopt, "", Stored{2, "other"}, {1, "chan"}, {2, "chan"}},
      {"other string stays a string",
       std::nullopt,
       "",
       Stored{1, "other"},
       {1, "chan"},
       {1, "chan"}},
      {"other binary stays binary", std::nullopt, "", Stored{3, "xyz"}, {1, "chan"}, {3, "chan"}},
      {"equal text becomes a string",
       std::nullopt,
       "",
       Stored{2, "chan"},
       {1, "chan"},
       {1, "chan"}},
      {"empty text becomes a string", std::nullopt, "", Stored{2, ""}, {1, "chan"}, {1, "chan"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tavtest::Sandbox sandbox;
    const RegKey key = Machine(kChannel);
    const std::string name = c.app_id.empty() ? "10023" : c.app_id;
    if (c.default_before) {
      ASSERT_TRUE(platform::RegSetValue(key, "", {c.default_before->type, c.default_before->data}));
    }
    if (c.before) {
      ASSERT_TRUE(platform::RegSetValue(key, name, {c.before->type, c.before->data}));
    }
    SetChannel("10023", c.app_id, "chan");
    RegValue value;
    ASSERT_TRUE(platform::RegGetValue(key, "", &value));
    EXPECT_EQ(value.type, c.default_after.type);
    EXPECT_EQ(value.data, c.default_after.data);
    ASSERT_TRUE(platform::RegGetValue(key, name, &value));
    EXPECT_EQ(value.type, c.after.type);
    EXPECT_EQ(value.data, c.after.data);
    if (!c.app_id.empty()) {
      EXPECT_FALSE(platform::RegGetValue(key, "10023", nullptr));
    }
    EXPECT_FALSE(platform::RegKeyExists(Machine(kChannel, RegView::k64)));
  }
}

TEST(RegistryRecordsTest, DefaultChannel) {
  const struct {
    const char* what;
    std::optional<std::string> stored;
    std::string expected;
  } cases[] = {
      {"none", std::nullopt, ""},
      {"a channel", "12001", "12001"},
      {"49 characters", std::string(49, 'c'), std::string(49, 'c')},
      {"50 characters", std::string(50, 'c'), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tavtest::Sandbox sandbox;
    if (c.stored) {
      ASSERT_TRUE(platform::RegSetString(Machine("Software\\KvfCX"), "", *c.stored));
    }
    EXPECT_EQ(GetDefaultChannel(), c.expected);
  }
  tavtest::Sandbox sandbox;
  SetChannel("10023", "", "7");
  EXPECT_EQ(GetDefaultChannel(), "7");
}

TEST(RegistryRecordsTest, CompatLayerIsWrittenInBothViews) {
  const char kLayers[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";
  const std::string program = "/opt/Corvenna/Nodorra/setup.exe";
  const struct {
    std::string layer;
    std::string stored;
  } cases[] = {
      {"~ RUNASADMIN", "~ RUNASADMIN"},
      {std::string(60, 'L'), std::string(50, 'L')},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layer);
    tavtest::Sandbox sandbox;
    SetCompatLayer(c.layer, program);
    EXPECT_EQ(StringAt(Machine(kLayers, RegView::k64), program), c.stored);
    EXPECT_EQ(StringAt(Machine(kLayers, RegView::k32), program), c.stored);
  }
}

TEST(RegistryRecordsTest, UserDwordsOfExistingKeys) {
  tavtest::Sandbox sandbox;
  const std::string key = "Software\\Corvenna\\Settings";
  EXPECT_EQ(ReadUserDword(key, "Count"), 0u);
  EXPECT_FALSE(WriteUserDword(key, "Count", 5));
  EXPECT_FALSE(platform::RegKeyExists(User(key)));
  ASSERT_TRUE(platform::RegCreateKey(User(key)));
  const uint32_t values[] = {0, 1, 0xFFFFFFFFu, 123456};
  for (uint32_t v : values) {
    SCOPED_TRACE(v);
    EXPECT_TRUE(WriteUserDword(key, "Count", v));
    EXPECT_EQ(ReadUserDword(key, "Count"), v);
    RegValue stored;
    ASSERT_TRUE(platform::RegGetValue(User(key), "Count", &stored));
    EXPECT_EQ(stored.type, platform::kRegDword);
  }
  ASSERT_TRUE(platform::RegSetString(User(key), "Text", "7"));
  EXPECT_EQ(ReadUserDword(key, "Text"), 0u);
  EXPECT_FALSE(platform::RegKeyExists(Machine(key)));
}

// ---- .NET Framework ------------------------------------------------------------------

const char kNetKey[] = "SOFTWARE\\Microsoft\\.NETFramework";

TEST(RegistryRecordsTest, NetFramework2NeedsAPolicyKeyAndAnInstallRoot) {
  const struct {
    const char* what;
    std::optional<std::string> policy;
    std::optional<std::string> root;
    bool registered;
  } cases[] = {
      {"v2.0 and root", "v2.0", "C:\\Windows\\Microsoft.NET\\Framework\\", true},
      {"v2.0.50727 and root", "v2.0.50727", "/usr/lib/dotnet/", true},
      {"other policy", "v1.1", "/usr/lib/dotnet/", false},
      {"no root", "v2.0", std::nullopt, false},
      {"empty root", "v2.0", "", false},
      {"root only", std::nullopt, "/usr/lib/dotnet/", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tavtest::Sandbox sandbox;
    if (c.policy) {
      ASSERT_TRUE(platform::RegCreateKey(Machine(std::string(kNetKey) + "\\policy\\" + *c.policy)));
    }
    if (c.root) {
      ASSERT_TRUE(platform::RegSetString(Machine(kNetKey), "InstallRoot", *c.root));
    }
    EXPECT_EQ(HasNetFramework2(), c.registered);
  }
}

struct NdpEntry {
  std::string key;  // below NDP, "\\Full" included where it belongs
  std::optional<RegValue> install;
  std::string version;
};

NdpEntry Installed(const std::string& key, const std::string& version) {
  return {key, Dword("Install", 1).value, version};
}

TEST(RegistryRecordsTest, NetFrameworkInstalledVersionRules) {
  const NdpEntry v4 = Installed("v4\\Full", "4.8.04084");
  const NdpEntry v35 = Installed("v3.5", "3.5.30729.4926");
  const NdpEntry v2 = Installed("v2.0.50727", "2.0.50727.4927");
  const RegValue big_endian_one{platform::kRegDwordBigEndian, std::string("\0\0\0\1", 4)};
  const struct {
    const char* what;
    std::vector<NdpEntry> entries;
    std::vector<std::pair<std::string, bool>> checks;
  } cases[] = {
      {"only 4.8",
       {v4},
       {{"4.6", true},
        {"4.8", true},
        {"4", true},
        {"4.9", false},
        {"3.5", false},
        {"2.0", false},
        {"5.0", false},
        {"1.1", false},
        {"", false}}},
      {"only 3.5",
       {v35},
       {{"3.5", true}, {"3.0", true}, {"2.0", true}, {"3.6", false}, {"4.0", false}}},
      {"only 2.0", {v2}, {{"2.0", true}, {"2.1", false}, {"3.0", false}}},
      {"2.0 and 4.8", {v2, v4}, {{"2.0", true}, {"3.5", false}, {"4.5", true}}},
      {"4 not installed", {{"v4\\Full", Dword("Install", 0).value, "4.8.0"}}, {{"4.0", false}}},
      {"4 without its Full key", {Installed("v4", "4.8.0")}, {{"4.0", false}}},
      {"4.0 key with Full",
       {Installed("v4.0\\Full", "4.0.30319")},
       {{"4.0", true}, {"4.5", false}}},
      {"install as big-endian DWORD", {{"v3.5", big_endian_one, "3.5.1"}}, {{"3.5", true}}},
      {"install as text", {{"v3.5", RegValue{platform::kRegSz, "1"}, "3.5.1"}}, {{"3.5", false}}},
      {"install missing", {{"v3.5", std::nullopt, "3.5.1"}}, {{"3.5", false}}},
      {"other key names",
       {Installed("v1.1.4322", "1.1.4322"), Installed("CDF", "3.5")},
       {{"2.0", false}, {"3.0", false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tavtest::Sandbox sandbox;
    for (const NdpEntry& entry : c.entries) {
      const RegKey key = Machine("Software\\Microsoft\\NET Framework Setup\\NDP\\" + entry.key);
      ASSERT_TRUE(platform::RegCreateKey(key));
      if (entry.install) {
        ASSERT_TRUE(platform::RegSetValue(key, "Install", *entry.install));
      }
      ASSERT_TRUE(platform::RegSetString(key, "Version", entry.version));
    }
    for (const auto& [required, met] : c.checks) {
      SCOPED_TRACE(required);
      EXPECT_EQ(IsNetFrameworkInstalled(required), met);
    }
  }
}

// Run as the checker by RunNetCheckerSetsNoGuiFromShimForTheRun: passes only
// while the registry says NoGuiFromShim = 1.
TEST(RegistryRecordsTest, DISABLED_NoGuiFromShimIsSet) {
  uint32_t value = 0;
  ASSERT_TRUE(platform::RegGetDword(Machine(kNetKey), "NoGuiFromShim", &value));
  EXPECT_EQ(value, 1u);
}

std::string SelfCheckCommand() {
  return platform::BuildCommandLine(
      {GetOwnPath(), "--gtest_also_run_disabled_tests",
       "--gtest_filter=RegistryRecordsTest.DISABLED_NoGuiFromShimIsSet"});
}

void RegisterNet2() {
  ASSERT_TRUE(platform::RegCreateKey(Machine(std::string(kNetKey) + "\\policy\\v2.0")));
  ASSERT_TRUE(platform::RegSetString(Machine(kNetKey), "InstallRoot", "/usr/lib/dotnet/"));
}

TEST(RegistryRecordsTest, RunNetCheckerNeedsNet2AndACommand) {
  tavtest::Sandbox sandbox;
  EXPECT_FALSE(RunNetChecker("sh -c \"exit 0\""));
  RegisterNet2();
  EXPECT_FALSE(RunNetChecker(""));
  const struct {
    const char* command;
    bool ok;
  } cases[] = {
      {"sh -c \"exit 0\"", true},
      {"sh -c \"exit 3\"", false},
      {"/nonexistent/checker.exe", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(RunNetChecker(c.command), c.ok);
    EXPECT_FALSE(platform::RegGetValue(Machine(kNetKey), "NoGuiFromShim", nullptr));
  }
}

TEST(RegistryRecordsTest, RunNetCheckerSetsNoGuiFromShimForTheRun) {
  tavtest::Sandbox sandbox;
  RegisterNet2();
  // Outside a run the checker sees no NoGuiFromShim and fails.
  EXPECT_FALSE(RunHiddenAndWait(SelfCheckCommand(), 10000));
  const struct {
    const char* what;
    std::optional<uint32_t> before;
    std::optional<uint32_t> after;
  } cases[] = {
      {"missing: set, then deleted", std::nullopt, std::nullopt},
      {"0: set, then deleted", 0u, std::nullopt},
      {"1: kept", 1u, 1u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.before) {
      ASSERT_TRUE(platform::RegSetDword(Machine(kNetKey), "NoGuiFromShim", *c.before));
    } else {
      platform::RegDeleteValue(Machine(kNetKey), "NoGuiFromShim");
    }
    EXPECT_TRUE(RunNetChecker(SelfCheckCommand(), 10000));
    uint32_t value = 0;
    const bool present = platform::RegGetDword(Machine(kNetKey), "NoGuiFromShim", &value);
    EXPECT_EQ(present, c.after.has_value());
    if (c.after && present) {
      EXPECT_EQ(value, *c.after);
    }
  }
}

}  // namespace
