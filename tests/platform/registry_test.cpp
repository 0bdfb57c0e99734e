#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "support/sandbox.h"

namespace {

using platform::Hive;
using platform::RegKey;
using platform::RegValue;
using platform::RegView;

const RegKey kMachine{Hive::kLocalMachine, RegView::kDefault, "Software\\Tav"};
const RegKey kUser{Hive::kCurrentUser, RegView::kDefault, "Software\\Tav"};

RegKey Key(Hive hive, RegView view, const std::string& path) {
  return RegKey{hive, view, path};
}

TEST(RegistryTest, ValuesRoundTripWithTheirTypeAndBytes) {
  tavtest::Sandbox sandbox;
  const struct {
    const char* name;
    RegValue value;
  } cases[] = {
      {"", {platform::kRegSz, "default value"}},
      {"Text", {platform::kRegSz, "h\xC3\xA9llo"}},
      {"Empty", {platform::kRegSz, ""}},
      {"Expand", {platform::kRegExpandSz, "%TEMP%\\x"}},
      {"Binary", {platform::kRegBinary, std::string("\0\x01\xFF\0", 4)}},
      {"Dword", {platform::kRegDword, std::string("\x78\x56\x34\x12", 4)}},
      {"Multi", {platform::kRegMultiSz, std::string("a\0bc\0", 5)}},
      {"Qword", {platform::kRegQword, std::string("\1\2\3\4\5\6\7\x08", 8)}},
      {"None", {platform::kRegNone, ""}},
  };
  for (const RegKey& key : {kMachine, kUser}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(key.hive == Hive::kLocalMachine ? "HKLM " : "HKCU ") + c.name);
      ASSERT_TRUE(platform::RegSetValue(key, c.name, c.value));
      RegValue read;
      ASSERT_TRUE(platform::RegGetValue(key, c.name, &read));
      EXPECT_EQ(read.type, c.value.type);
      EXPECT_EQ(read.data, c.value.data);
    }
  }
  EXPECT_TRUE(std::ifstream(sandbox.Path("var/lib/tav/registry/HKLM.db")).good());
  EXPECT_TRUE(std::ifstream(sandbox.Path("var/lib/tav/registry/HKCU.db")).good());
}

TEST(RegistryTest, TypedHelpersRoundTripAndEncode) {
  tavtest::Sandbox sandbox;
  std::string text;
  ASSERT_TRUE(platform::RegSetString(kMachine, "", "default"));
  ASSERT_TRUE(platform::RegGetString(kMachine, "", &text));
  EXPECT_EQ(text, "default");

  uint32_t number = 0;
  ASSERT_TRUE(platform::RegSetDword(kMachine, "Dword", 0x12345678));
  ASSERT_TRUE(platform::RegGetDword(kMachine, "Dword", &number));
  EXPECT_EQ(number, 0x12345678u);
  RegValue raw;
  ASSERT_TRUE(platform::RegGetValue(kMachine, "Dword", &raw));
  EXPECT_EQ(raw.type, platform::kRegDword);
  EXPECT_EQ(raw.data, std::string("\x78\x56\x34\x12", 4));

  ASSERT_TRUE(
      platform::RegSetValue(kMachine, "Big", {platform::kRegDwordBigEndian, "\x12\x34\x56\x78"}));
  ASSERT_TRUE(platform::RegGetDword(kMachine, "Big", &number));
  EXPECT_EQ(number, 0x12345678u);

  ASSERT_TRUE(platform::RegSetValue(kMachine, "Expand", {platform::kRegExpandSz, "%X%"}));
  ASSERT_TRUE(platform::RegGetString(kMachine, "Expand", &text));
  EXPECT_EQ(text, "%X%");

  const std::vector<std::vector<std::string>> lists = {{}, {"one"}, {"a", "", "c"}};
  for (const auto& list : lists) {
    SCOPED_TRACE(list.size());
    std::vector<std::string> read = {"stale"};
    ASSERT_TRUE(platform::RegSetMultiString(kMachine, "Multi", list));
    ASSERT_TRUE(platform::RegGetMultiString(kMachine, "Multi", &read));
    EXPECT_EQ(read, list);
  }
  ASSERT_TRUE(platform::RegGetValue(kMachine, "Multi", &raw));
  EXPECT_EQ(raw.data, std::string("a\0\0c\0", 5));
}

TEST(RegistryTest, TypedReadOfAnotherTypeFails) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(platform::RegSetString(kUser, "Text", "5"));
  ASSERT_TRUE(platform::RegSetDword(kUser, "Dword", 5));
  ASSERT_TRUE(platform::RegSetMultiString(kUser, "Multi", {"5"}));
  ASSERT_TRUE(
      platform::RegSetValue(kUser, "Binary", {platform::kRegBinary, std::string("\5\0\0\0", 4)}));
  ASSERT_TRUE(platform::RegSetValue(kUser, "Short", {platform::kRegDword, "\5"}));
  std::string text;
  uint32_t number = 0;
  std::vector<std::string> texts;
  EXPECT_FALSE(platform::RegGetString(kUser, "Dword", &text));
  EXPECT_FALSE(platform::RegGetString(kUser, "Multi", &text));
  EXPECT_FALSE(platform::RegGetString(kUser, "Binary", &text));
  EXPECT_FALSE(platform::RegGetDword(kUser, "Text", &number));
  EXPECT_FALSE(platform::RegGetDword(kUser, "Binary", &number));
  EXPECT_FALSE(platform::RegGetDword(kUser, "Short", &number));
  EXPECT_FALSE(platform::RegGetMultiString(kUser, "Text", &texts));
  EXPECT_FALSE(platform::RegGetMultiString(kUser, "Dword", &texts));
}

TEST(RegistryTest, MissingKeysAndValuesReadAsAbsent) {
  tavtest::Sandbox sandbox;
  const RegKey missing = Key(Hive::kLocalMachine, RegView::kDefault, "Software\\Nothing");
  RegValue value;
  std::string text;
  EXPECT_FALSE(platform::RegKeyExists(missing));
  EXPECT_FALSE(platform::RegGetValue(missing, "", &value));
  EXPECT_FALSE(platform::RegGetString(missing, "x", &text));
  EXPECT_TRUE(platform::RegEnumSubkeys(missing).empty());
  EXPECT_TRUE(platform::RegEnumValues(missing).empty());
  EXPECT_FALSE(platform::RegDeleteKey(missing));
  EXPECT_FALSE(platform::RegDeleteValue(missing, "x"));

  ASSERT_TRUE(platform::RegCreateKey(missing));
  EXPECT_FALSE(platform::RegGetValue(missing, "", &value));  // a new key has no default value
  EXPECT_FALSE(platform::RegDeleteValue(missing, "x"));
  // The hive's root always exists and cannot be deleted.
  EXPECT_TRUE(platform::RegKeyExists(Key(Hive::kLocalMachine, RegView::kDefault, "")));
  EXPECT_FALSE(platform::RegDeleteKey(Key(Hive::kLocalMachine, RegView::kDefault, "\\")));
}

TEST(RegistryTest, KeyPathsAndValueNamesIgnoreCaseAndStraySeparators) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(platform::RegSetString(Key(Hive::kCurrentUser, RegView::kDefault, "Software\\MyApp"),
                                     "InstallDir", "/opt/x"));
  const char* spellings[] = {"Software\\MyApp", "SOFTWARE\\myapp", "software\\MyApp\\",
                             "\\Software\\\\MyApp\\\\"};
  for (const char* path : spellings) {
    SCOPED_TRACE(path);
    const RegKey key = Key(Hive::kCurrentUser, RegView::kDefault, path);
    std::string text;
    EXPECT_TRUE(platform::RegKeyExists(key));
    ASSERT_TRUE(platform::RegGetString(key, "INSTALLDIR", &text));
    EXPECT_EQ(text, "/opt/x");
  }
  // Writing with another spelling replaces the value and keeps the first names.
  const RegKey upper = Key(Hive::kCurrentUser, RegView::kDefault, "SOFTWARE\\MYAPP");
  ASSERT_TRUE(platform::RegSetString(upper, "installdir", "/opt/y"));
  EXPECT_EQ(platform::RegEnumValues(upper), std::vector<std::string>{"InstallDir"});
  EXPECT_EQ(platform::RegEnumSubkeys(Key(Hive::kCurrentUser, RegView::kDefault, "software")),
            std::vector<std::string>{"MyApp"});
  EXPECT_TRUE(platform::RegDeleteValue(upper, "INSTALLDIR"));
  EXPECT_TRUE(platform::RegEnumValues(upper).empty());
}

TEST(RegistryTest, CreatingAKeyCreatesItsParents) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(platform::RegCreateKey(Key(Hive::kLocalMachine, RegView::kDefault, "A\\B\\C")));
  ASSERT_TRUE(platform::RegCreateKey(Key(Hive::kLocalMachine, RegView::kDefault, "a\\b\\c")));
  for (const char* path : {"A", "A\\B", "A\\B\\C"}) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(platform::RegKeyExists(Key(Hive::kLocalMachine, RegView::kDefault, path)));
  }
  EXPECT_EQ(platform::RegEnumSubkeys(Key(Hive::kLocalMachine, RegView::kDefault, "")),
            std::vector<std::string>{"A"});
}

TEST(RegistryTest, EnumerationIsSortedWithoutRegardToCase) {
  tavtest::Sandbox sandbox;
  const std::vector<std::string> created = {"beta", "Alpha", "_under", "gamma", "ALPHA2", "Delta"};
  for (const std::string& name : created) {
    ASSERT_TRUE(platform::RegCreateKey(Key(Hive::kCurrentUser, RegView::kDefault, "K\\" + name)));
    ASSERT_TRUE(platform::RegSetDword(Key(Hive::kCurrentUser, RegView::kDefault, "K"), name, 1));
  }
  // Upper-case order, as Windows: "_" follows the letters.
  const std::vector<std::string> sorted = {"Alpha", "ALPHA2", "beta", "Delta", "gamma", "_under"};
  const RegKey key = Key(Hive::kCurrentUser, RegView::kDefault, "k");
  EXPECT_EQ(platform::RegEnumSubkeys(key), sorted);
  EXPECT_EQ(platform::RegEnumValues(key), sorted);
  // Only direct subkeys are listed; the default value comes first.
  ASSERT_TRUE(platform::RegCreateKey(Key(Hive::kCurrentUser, RegView::kDefault, "K\\beta\\deep")));
  ASSERT_TRUE(platform::RegSetString(key, "", "d"));
  EXPECT_EQ(platform::RegEnumSubkeys(key), sorted);
  EXPECT_EQ(platform::RegEnumValues(key).front(), "");
}

TEST(RegistryTest, DeletingAKeyRemovesItsSubtreeOnly) {
  tavtest::Sandbox sandbox;
  auto key = [](const std::string& path) {
    return Key(Hive::kLocalMachine, RegView::kDefault, path);
  };
  ASSERT_TRUE(platform::RegSetString(key("App"), "v", "1"));
  ASSERT_TRUE(platform::RegSetString(key("App\\Sub\\Deep"), "v", "2"));
  ASSERT_TRUE(platform::RegSetString(key("App\\Sub"), "v", "3"));
  ASSERT_TRUE(platform::RegSetString(key("AppX"), "v", "4"));  // shares the prefix
  ASSERT_TRUE(platform::RegSetString(key("App]"), "v", "5"));  // sorts right after "App\"
  ASSERT_TRUE(platform::RegSetString(key("Other\\App"), "v", "6"));

  ASSERT_TRUE(platform::RegDeleteKey(key("app\\SUB")));
  EXPECT_FALSE(platform::RegKeyExists(key("App\\Sub")));
  EXPECT_FALSE(platform::RegKeyExists(key("App\\Sub\\Deep")));
  EXPECT_FALSE(platform::RegGetValue(key("App\\Sub\\Deep"), "v", nullptr));
  EXPECT_TRUE(platform::RegGetValue(key("App"), "v", nullptr));

  ASSERT_TRUE(platform::RegDeleteKey(key("App")));
  EXPECT_FALSE(platform::RegKeyExists(key("App")));
  for (const char* kept : {"AppX", "App]", "Other\\App"}) {
    SCOPED_TRACE(kept);
    EXPECT_TRUE(platform::RegGetValue(key(kept), "v", nullptr));
  }
  // A recreated key starts empty.
  ASSERT_TRUE(platform::RegCreateKey(key("App\\Sub")));
  EXPECT_TRUE(platform::RegEnumValues(key("App\\Sub")).empty());
  EXPECT_TRUE(platform::RegEnumSubkeys(key("App\\Sub")).empty());
}

TEST(RegistryTest, The32BitViewOfMachineSoftwareIsWow6432Node) {
  tavtest::Sandbox sandbox;
  const struct {
    Hive hive;
    const char* path;
    bool separate;  // whether the 32- and 64-bit views differ
  } cases[] = {
      {Hive::kLocalMachine, "Software\\Vendor", true},
      {Hive::kLocalMachine, "SOFTWARE\\Vendor", true},
      {Hive::kLocalMachine, "System\\Vendor", false},
      {Hive::kCurrentUser, "Software\\Vendor", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + std::string(c.hive == Hive::kLocalMachine ? " HKLM" : " HKCU"));
    const RegKey k32 = Key(c.hive, RegView::k32, c.path);
    const RegKey k64 = Key(c.hive, RegView::k64, c.path);
    const RegKey normal = Key(c.hive, RegView::kDefault, c.path);
    ASSERT_TRUE(platform::RegSetString(k64, "Bits", "64"));
    ASSERT_TRUE(platform::RegSetString(k32, "Bits", "32"));
    std::string text;
    ASSERT_TRUE(platform::RegGetString(normal, "Bits", &text));
    EXPECT_EQ(text, c.separate ? "64" : "32");
    ASSERT_TRUE(platform::RegGetString(k64, "Bits", &text));
    EXPECT_EQ(text, c.separate ? "64" : "32");
    ASSERT_TRUE(platform::RegDeleteKey(k64));
    EXPECT_EQ(platform::RegKeyExists(k32), c.separate);
    if (c.separate) {
      EXPECT_TRUE(platform::RegDeleteKey(k32));
    }
  }
  const RegKey k32 = Key(Hive::kLocalMachine, RegView::k32, "Software\\Vendor");
  ASSERT_TRUE(platform::RegSetDword(k32, "Seen", 1));
  const char* same[] = {"Software\\WOW6432Node\\Vendor", "software\\wow6432node\\vendor"};
  for (const char* path : same) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(
        platform::RegGetDword(Key(Hive::kLocalMachine, RegView::k64, path), "Seen", nullptr));
    // Already redirected paths are not redirected again.
    EXPECT_TRUE(
        platform::RegGetDword(Key(Hive::kLocalMachine, RegView::k32, path), "Seen", nullptr));
  }
  EXPECT_EQ(platform::RegEnumSubkeys(Key(Hive::kLocalMachine, RegView::k32, "Software")),
            std::vector<std::string>{"Vendor"});
}

TEST(RegistryTest, AnotherMachineRootHasItsOwnDatabase) {
  tavtest::Sandbox first;
  ASSERT_TRUE(platform::RegSetString(kMachine, "Root", "first"));
  {
    tavtest::Sandbox second;
    EXPECT_FALSE(platform::RegKeyExists(kMachine));
    ASSERT_TRUE(platform::RegSetString(kMachine, "Root", "second"));
    ASSERT_TRUE(std::ifstream(second.Path("var/lib/tav/registry/HKLM.db")).good());
  }
  std::string text;
  ASSERT_TRUE(platform::RegGetString(kMachine, "Root", &text));
  EXPECT_EQ(text, "first");
}

TEST(RegistryTest, ThreadsWritingAtOnceLoseNothing) {
  tavtest::Sandbox sandbox;
  constexpr int kThreads = 4;
  constexpr int kValues = 100;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      // Half the threads use the other hive, so both connections are busy.
      const RegKey& key = t % 2 == 0 ? kMachine : kUser;
      for (int i = 0; i < kValues; ++i) {
        if (!platform::RegSetDword(key, std::to_string(t) + "." + std::to_string(i), i)) {
          ++failures[t];
        }
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  EXPECT_EQ(platform::RegEnumValues(kMachine).size(), size_t{kThreads / 2 * kValues});
  EXPECT_EQ(platform::RegEnumValues(kUser).size(), size_t{kThreads / 2 * kValues});
}

// The child of a fork: waits for the start signal, writes its values and
// exits with the number of failed writes (no test machinery runs here).
[[noreturn]] void WriteInChild(int gate, int child, int count) {
  char signal;
  while (read(gate, &signal, 1) < 0) {
  }
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    const std::string name = "child" + std::to_string(child) + "." + std::to_string(i);
    if (!platform::RegSetDword(kMachine, name, static_cast<uint32_t>(child * 1000 + i))) {
      ++failures;
    }
  }
  _exit(failures > 100 ? 100 : failures);
}

TEST(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  tavtest::Sandbox sandbox;
  constexpr int kChildren = 2;
  constexpr int kValues = 300;
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> children;
  for (int child = 0; child < kChildren; ++child) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(gate[1]);
      WriteInChild(gate[0], child, kValues);
    }
    if (pid > 0)
      children.push_back(pid);
  }
  // Closing the pipe starts both children together.
  close(gate[0]);
  close(gate[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed writes in child " << pid;
  }
  ASSERT_EQ(children.size(), size_t{kChildren});
  EXPECT_EQ(platform::RegEnumValues(kMachine).size(), size_t{kChildren * kValues});
  for (int child = 0; child < kChildren; ++child) {
    for (int i = 0; i < kValues; ++i) {
      uint32_t number = 0;
      const std::string name = "child" + std::to_string(child) + "." + std::to_string(i);
      ASSERT_TRUE(platform::RegGetDword(kMachine, name, &number)) << name;
      EXPECT_EQ(number, static_cast<uint32_t>(child * 1000 + i));
    }
  }
}

}  // namespace
