#include "support/registry_records.h"

#include <sys/stat.h>

#include <vector>

#include "platform/registry.h"
#include "support/shell_util.h"
#include "support/text_util.h"
#include "support/uuid.h"

namespace {

using platform::Hive;
using platform::RegKey;
using platform::RegValue;
using platform::RegView;

// The maker's programs are 32-bit: their machine-wide records live in the
// 32-bit view.
constexpr RegView kRecordView = RegView::k32;

// Buffer sizes of the records, in bytes of UTF-16 with a terminator.
constexpr size_t kSmallBuffer = 100;
constexpr size_t kRecordBuffer = 510;
constexpr size_t kPathUnits = 260;
constexpr size_t kSignUnits = 50;
constexpr size_t kLayerUnits = 50;

constexpr const char kChannelKey[] = "Software\\KvfCX\\";
constexpr const char kNetFrameworkKey[] = "SOFTWARE\\Microsoft\\.NETFramework\\";
constexpr const char kNetSetupKey[] = "Software\\Microsoft\\NET Framework Setup\\NDP";
constexpr const char kKanduKey[] = "Software\\Veltrana\\Veltrana Kandu";
constexpr const char kLayersKey[] =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers\\";

RegKey Machine(const std::string& path, RegView view = kRecordView) {
  return RegKey{Hive::kLocalMachine, view, path};
}

RegKey User(const std::string& path) {
  return RegKey{Hive::kCurrentUser, RegView::kDefault, path};
}

bool IsStringType(uint32_t type) {
  return type == platform::kRegSz || type == platform::kRegExpandSz;
}

// The text of a string value without the terminator a careless writer left.
std::string TextOf(const RegValue& value) {
  std::string text = value.data;
  while (!text.empty() && text.back() == '\0')
    text.pop_back();
  return text;
}

// Reads a value as into a buffer of `buffer_bytes`: false when it is missing
// or does not fit (strings take two bytes a UTF-16 unit and a terminator).
bool ReadValueWithin(const RegKey& key, const std::string& name, size_t buffer_bytes,
                     RegValue* out) {
  RegValue value;
  if (!platform::RegGetValue(key, name, &value))
    return false;
  const size_t bytes =
      IsStringType(value.type) ? 2 * (Utf16Length(TextOf(value)) + 1) : value.data.size();
  if (bytes > buffer_bytes)
    return false;
  *out = std::move(value);
  return true;
}

// A string value that fits `buffer_bytes`.
bool ReadStringWithin(const RegKey& key, const std::string& name, size_t buffer_bytes,
                      std::string* out) {
  RegValue value;
  if (!ReadValueWithin(key, name, buffer_bytes, &value) || !IsStringType(value.type))
    return false;
  *out = TextOf(value);
  return true;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

std::string HelperKey(const std::string& brand) {
  return "Software\\" + brand + "\\" + brand + " Helper Compact\\";
}

std::string KvfKey(const std::string& brand) {
  return "Software\\" + brand + "\\Kvf\\";
}

// A record counts when its install info (or, when that cannot be read, its
// install date) is a non-empty string.
bool RecordCounts(const RegKey& record) {
  RegValue value;
  if (!ReadValueWithin(record, "InstallInfo", kRecordBuffer, &value) &&
      !ReadValueWithin(record, "InstallDate", kRecordBuffer, &value)) {
    return false;
  }
  return IsStringType(value.type) && !TextOf(value).empty();
}

// The number before the first "." and the one between the first and the
// second, read as decimal like the C library does (no digits give 0).
int LeadingNumber(const std::string& text) {
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || value > 100000)
      break;
    value = value * 10 + (c - '0');
  }
  return value;
}

void MajorMinor(const std::string& version, int* major, int* minor) {
  *major = LeadingNumber(version);
  const size_t dot = version.find('.');
  *minor = dot == std::string::npos ? 0 : LeadingNumber(version.substr(dot + 1));
}

// The text between the first character of a setup key's name and its first
// "." ("v4.0" gives "4", "v4" gives "4").
std::string MajorOfSetupKey(const std::string& name) {
  const size_t dot = name.find('.');
  if (name.size() < 2 || dot == 0)
    return {};
  return dot == std::string::npos ? name.substr(1) : name.substr(1, dot - 1);
}

}  // namespace

std::string ReadClientSign(const std::string& brand) {
  std::string sign;
  const RegKey user = User(HelperKey(brand));
  platform::RegCreateKey(user);
  if (ReadStringWithin(user, "ClientSign", kSmallBuffer, &sign))
    return sign;
  if (ReadStringWithin(Machine(HelperKey(brand)), "ClientSign", kSmallBuffer, &sign))
    return sign;
  if (ReadStringWithin(Machine(KvfKey(brand)), "ClientSign", kSmallBuffer, &sign))
    return sign;
  return {};
}

std::string GetClientSign(const std::string& brand) {
  std::string sign = ReadClientSign(brand);
  if (!sign.empty())
    return sign;
  sign = "{" + MakeUuid() + "G}";
  const std::string stored = CutToUtf16Length(sign, kSignUnits);
  platform::RegSetString(Machine(HelperKey(brand)), "ClientSign", stored);
  platform::RegSetString(Machine(KvfKey(brand)), "ClientSign", stored);
  return sign;
}

bool FindInstalledProductValue(const std::string& brand, const std::string& value_name,
                               int product_id, std::string* value) {
  if (value != nullptr)
    value->clear();
  const std::string base = "Software\\" + brand;
  for (const std::string& name : platform::RegEnumSubkeys(Machine(base))) {
    const RegKey record = Machine(base + "\\" + name);
    uint32_t pid = 0;
    if (!platform::RegGetDword(record, "PID", &pid) || pid != static_cast<uint32_t>(product_id))
      continue;
    if (!RecordCounts(record))
      continue;
    std::string text;
    if (value != nullptr && ReadStringWithin(record, value_name, kRecordBuffer, &text))
      *value = text;
    return true;
  }
  return false;
}

bool IsProductInstalled(const std::string& brand, int product_id) {
  return FindInstalledProductValue(brand, "Version", product_id, nullptr);
}

std::string GetInstalledVersion(const std::string& brand, int product_id) {
  std::string text;
  FindInstalledProductValue(brand, "Version", product_id, &text);
  return text;
}

std::string GetInstalledName(const std::string& brand, int product_id) {
  std::string text;
  FindInstalledProductValue(brand, "InstallName", product_id, &text);
  return text;
}

std::string GetInstalledPath(const std::string& brand, int product_id) {
  std::string text;
  FindInstalledProductValue(brand, "InstallPath", product_id, &text);
  return text;
}

std::string GetKanduInstallName() {
  std::string result;
  for (RegView view : {RegView::k64, RegView::k32}) {
    const RegKey key = Machine(kKanduKey, view);
    platform::RegCreateKey(key);
    std::string text;
    if (!ReadStringWithin(key, "InstallName", 2 * kPathUnits, &text))
      continue;
    result = text;
    if (PathExists(result))
      break;
  }
  return result;
}

bool IsKanduInstalled() {
  return PathExists(GetKanduInstallName());
}

void SetChannel(const std::string& product_id, const std::string& app_id,
                const std::string& channel) {
  const RegKey key = Machine(kChannelKey);
  if (!platform::RegGetValue(key, "", nullptr))
    platform::RegSetString(key, "", channel);
  const std::string name = app_id.empty() ? product_id : app_id;
  RegValue existing;
  if (!platform::RegGetValue(key, name, &existing)) {
    platform::RegSetString(key, name, channel);
    return;
  }
  const std::string text = IsStringType(existing.type) ? TextOf(existing) : existing.data;
  if (text.empty() || text == channel) {
    platform::RegSetString(key, name, channel);
    return;
  }
  platform::RegSetValue(key, name, RegValue{existing.type, channel});
}

std::string GetDefaultChannel() {
  std::string channel;
  return ReadStringWithin(Machine(kChannelKey), "", kSmallBuffer, &channel) ? channel
                                                                            : std::string();
}

void SetCompatLayer(const std::string& layer, const std::string& program_path) {
  const std::string text = CutToUtf16Length(layer, kLayerUnits);
  for (RegView view : {RegView::k64, RegView::k32})
    platform::RegSetString(Machine(kLayersKey, view), program_path, text);
}

uint32_t ReadUserDword(const std::string& key, const std::string& name) {
  uint32_t value = 0;
  return platform::RegGetDword(User(key), name, &value) ? value : 0;
}

bool WriteUserDword(const std::string& key, const std::string& name, uint32_t value) {
  const RegKey user = User(key);
  return platform::RegKeyExists(user) && platform::RegSetDword(user, name, value);
}

bool HasNetFramework2() {
  const std::string base = kNetFrameworkKey;
  if (!platform::RegKeyExists(Machine(base + "policy\\v2.0")) &&
      !platform::RegKeyExists(Machine(base + "policy\\v2.0.50727"))) {
    return false;
  }
  std::string root;
  return platform::RegGetString(Machine(base), "InstallRoot", &root) && !root.empty();
}

bool IsNetFrameworkInstalled(const std::string& minimum_version) {
  int required_major = 0;
  int required_minor = 0;
  MajorMinor(minimum_version, &required_major, &required_minor);
  if (required_major < 2 || required_major > 4)
    return false;
  const std::string base = kNetSetupKey;
  for (const std::string& name : platform::RegEnumSubkeys(Machine(base))) {
    const std::string digit = MajorOfSetupKey(name);
    if (digit != "2" && digit != "3" && digit != "4")
      continue;
    const int installed_major = digit[0] - '0';
    const RegKey entry = Machine(base + "\\" + name + (installed_major == 4 ? "\\Full" : ""));
    uint32_t install = 0;
    if (!platform::RegGetDword(entry, "Install", &install) || install != 1)
      continue;
    std::string version;
    platform::RegGetString(entry, "Version", &version);
    int ignored = 0;
    int installed_minor = 0;
    MajorMinor(version, &ignored, &installed_minor);
    const bool minor_met = required_minor <= installed_minor;
    if (installed_major < 4 &&
        (required_major < installed_major || (required_major == installed_major && minor_met))) {
      return true;
    }
    if (installed_major == 4 && required_major == 4 && minor_met)
      return true;
  }
  return false;
}

bool RunNetChecker(const std::string& command_line, int timeout_ms) {
  if (command_line.empty() || !HasNetFramework2())
    return false;
  const RegKey key = Machine(kNetFrameworkKey);
  uint32_t no_gui = 0;
  const bool set_here = !platform::RegGetDword(key, "NoGuiFromShim", &no_gui) || no_gui == 0;
  if (set_here)
    platform::RegSetDword(key, "NoGuiFromShim", 1);
  // Windows also switches off its critical-error and fault dialogs for the
  // run; a hidden child here shows no dialogs of the system to begin with.
  const bool ok = RunHiddenAndWait(command_line, timeout_ms);
  if (set_here)
    platform::RegDeleteValue(key, "NoGuiFromShim");
  return ok;
}
