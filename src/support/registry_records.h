// Registry records the program reads and writes: the client sign that
// identifies this computer to the maker's servers, records of installed
// products, the companion program's install name, the channel, the
// compatibility layers, the current user's DWORD values and the .NET
// Framework facts.
//
// Keys of the local-machine hive are used in its 32-bit view (the
// "Software\\WOW6432Node" branch) unless a function names both views: the
// maker's programs are 32-bit and keep their records there. String reads
// accept only texts that fit the buffer the records were designed for
// (counted in UTF-16 units with a terminator); a longer text counts as not
// readable.
//
// Stateless; any thread and any process (the store serialises). Nothing logs;
// failures give "", false or 0.
#pragma once

#include <cstdint>
#include <string>

#include "support/shell_util.h"

// The stored sign of `brand`: the string "ClientSign" (at most 49 characters)
// of the current user's "Software\\<brand>\\<brand> Helper Compact" (the key
// is created there when missing), else of that key in the local-machine hive,
// else of "Software\\<brand>\\Kvf" in the local-machine hive. "" when none.
std::string ReadClientSign(const std::string& brand);

// ReadClientSign; when there is none, a new sign "{" + MakeUuid() + "G}" is
// written to both local-machine keys (failures ignored) and returned. The
// current user's hive is never written.
std::string GetClientSign(const std::string& brand);

// Looks through the subkeys of "Software\\<brand>" for the first record whose
// DWORD "PID" is `product_id` and whose "InstallInfo" (or, when that cannot
// be read at all, "InstallDate") is a non-empty string. True when such a
// record exists; `value` (optional) gets its string `value_name` (at most 254
// characters), "" when that is missing, empty or no string.
bool FindInstalledProductValue(const std::string& brand, const std::string& value_name,
                               int product_id, std::string* value);
bool IsProductInstalled(const std::string& brand, int product_id);
// The record's "Version", "InstallName", "InstallPath"; "" when absent.
std::string GetInstalledVersion(const std::string& brand, int product_id);
std::string GetInstalledName(const std::string& brand, int product_id);
std::string GetInstalledPath(const std::string& brand, int product_id);

// "InstallName" of "Software\\Veltrana\\Veltrana Kandu" (at most 259
// characters), from the 64-bit view, else the 32-bit view: the first that
// names an existing file, or the last text read.
std::string GetKanduInstallName();
bool IsKanduInstalled();

// Registers the channel under "Software\\KvfCX": sets the key's default value
// to `channel` when it has none, then writes `channel` to the value named by
// `app_id` (by `product_id` when `app_id` is empty). That value is written as
// a string when it was missing, empty or equal to the channel; a different
// existing text keeps its value type.
void SetChannel(const std::string& product_id, const std::string& app_id,
                const std::string& channel);
// The default value of "Software\\KvfCX" (at most 49 characters), "" when
// absent.
std::string GetDefaultChannel();

// Writes the compatibility layer (cut to 50 characters) as the string value
// named `program_path` of the local-machine key
// Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers
// in both views. Failures are ignored.
void SetCompatLayer(const std::string& layer, const std::string& program_path);

// A DWORD of an existing key of the current user's hive. Reading gives 0 on
// failure; writing fails when the key does not exist.
uint32_t ReadUserDword(const std::string& key, const std::string& name);
bool WriteUserDword(const std::string& key, const std::string& name, uint32_t value);

// .NET Framework 2.0 is registered: a "policy\\v2.0" or "policy\\v2.0.50727"
// key under "SOFTWARE\\Microsoft\\.NETFramework" and a non-empty string
// "InstallRoot" there.
bool HasNetFramework2();

// Whether a .NET Framework of at least `minimum_version` ("major.minor",
// major 2 to 4) is installed, from the setup records (the key "NDP" under
// "Software\\Microsoft\\NET Framework Setup"). A required 2.x or 3.x is never met by 4.x.
bool IsNetFrameworkInstalled(const std::string& minimum_version);

// Runs the .NET checker `command_line` hidden (RunHiddenAndWait) when .NET 2.0
// is registered, with "NoGuiFromShim" set to 1 for the run when it was 0 or
// missing (deleted again afterwards). True when the checker exited with 0.
bool RunNetChecker(const std::string& command_line, int timeout_ms = kRunHiddenTimeoutMs);
