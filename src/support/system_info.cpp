#include "support/system_info.h"

#include <sys/utsname.h>

#include <string_view>

#include "platform/registry.h"
#include "support/text_util.h"

namespace {

// A registry string read into a buffer of 100 bytes: 49 UTF-16 units and the
// terminator.
constexpr size_t kIeVersionUnits = 49;

}  // namespace

bool IsWow64() {
  return false;
}

bool Is64BitOs() {
  struct utsname name;
  if (uname(&name) != 0)
    return false;
  static constexpr std::string_view k64BitMachines[] = {
      "x86_64", "aarch64", "arm64",  "ppc64",       "ppc64le",
      "s390x",  "riscv64", "mips64", "loongarch64", "sparc64",
  };
  for (std::string_view machine : k64BitMachines) {
    if (machine == name.machine)
      return true;
  }
  return false;
}

std::string GetWindowsVersion() {
  struct utsname name;
  if (uname(&name) != 0)
    return {};
  return name.release;
}

std::string GetIeVersion() {
  // The maker's programs are 32-bit; their view of the machine's software
  // keys is the 32-bit one.
  const platform::RegKey key{platform::Hive::kLocalMachine, platform::RegView::k32,
                             "Software\\Microsoft\\Internet Explorer"};
  platform::RegCreateKey(key);
  std::string version;
  if (!platform::RegGetString(key, "Version", &version) || Utf16Length(version) > kIeVersionUnits) {
    return "-";
  }
  return version;
}
