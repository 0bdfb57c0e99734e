// The user's locale as a Windows locale identifier (LCID), and the time zone.
// Stateless; any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

// LCID for a POSIX locale name such as "it_IT.UTF-8", "pt_BR" or "sv". 0 when
// the name is not in the table ("C" and "POSIX" give 0x0409, English).
uint32_t LcidFromLocaleName(std::string_view name);

// The user's default LCID, from LC_ALL, LC_MESSAGES or LANG (first set).
// 0x0409 when none of them names a known locale.
uint32_t GetUserDefaultLcid();

// The system's default LCID: /etc/default/locale's LANG when readable
// (under the machine root), else the user's.
uint32_t GetSystemDefaultLcid();

// Time-zone bias in minutes as Windows gives it: UTC = local time + bias,
// so a zone one hour east of Greenwich has bias -60.
int32_t GetTimeZoneBiasMinutes();

}  // namespace platform
