// The registry store: the stand-in for the Windows registry.
//
// One SQLite database per hive under the machine root
// (<root>/var/lib/tav/registry/<hive>.db). Key paths are written as on Windows,
// with "\" between their parts ("Software\\KvfCX"); a trailing "\" is ignored,
// and key paths and value names compare without regard to case. The 32-bit
// view of the local-machine hive is its "Software\\WOW6432Node" branch, as on
// 64-bit Windows; the default view of this 64-bit program is the 64-bit one.
// The value named "" is the key's default value.
//
// Every function is one transaction, safe from any thread and from several
// processes at once (a normal run and a fork run write the same hive). No
// function logs; failures return false, an empty list or the fallback.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class Hive { kLocalMachine, kCurrentUser };
enum class RegView { kDefault, k32, k64 };

// Value types with their Windows numbers.
enum RegType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegDwordBigEndian = 5,
  kRegMultiSz = 7,
  kRegQword = 11,
};

// A value as stored: its type and its bytes. Strings are UTF-8 without a
// terminator; a DWORD is four bytes little-endian (big-endian for
// kRegDwordBigEndian); a multi-string is its texts each followed by one NUL.
struct RegValue {
  uint32_t type = kRegNone;
  std::string data;
};

struct RegKey {
  Hive hive = Hive::kLocalMachine;
  RegView view = RegView::kDefault;
  std::string path;
};

bool RegKeyExists(const RegKey& key);
// Creates the key and its parents (open with create semantics).
bool RegCreateKey(const RegKey& key);
// Deletes the key with all its subkeys and values.
bool RegDeleteKey(const RegKey& key);
// Names of the direct subkeys, sorted as Windows enumerates them
// (case-insensitive order).
std::vector<std::string> RegEnumSubkeys(const RegKey& key);
// Names of the key's values, in the same order.
std::vector<std::string> RegEnumValues(const RegKey& key);

// Reads a value; false when the key or the value is missing.
bool RegGetValue(const RegKey& key, const std::string& name, RegValue* out);
// Writes a value, creating the key and its parents as needed.
bool RegSetValue(const RegKey& key, const std::string& name, const RegValue& value);
bool RegDeleteValue(const RegKey& key, const std::string& name);

// Typed helpers over RegGetValue / RegSetValue. A read fails when the stored
// type differs (kRegSz and kRegExpandSz both count as strings; a DWORD read
// accepts kRegDword and kRegDwordBigEndian).
bool RegGetString(const RegKey& key, const std::string& name, std::string* out);
bool RegSetString(const RegKey& key, const std::string& name, const std::string& text);
bool RegGetDword(const RegKey& key, const std::string& name, uint32_t* out);
bool RegSetDword(const RegKey& key, const std::string& name, uint32_t value);
bool RegGetMultiString(const RegKey& key, const std::string& name, std::vector<std::string>* out);
bool RegSetMultiString(const RegKey& key, const std::string& name,
                       const std::vector<std::string>& texts);

}  // namespace platform
