// Text and number helpers.
//
// Text inside the program is UTF-8 in std::string, the native form on this
// system; the program's "ANSI code page" is UTF-8 too. The conversion
// functions keep the names the rest of the program calls at its former
// UTF-16 boundaries: on valid UTF-8 they give the text back unchanged, and
// they repair invalid byte sequences with U+FFFD as the system's converter
// would. Where a length limit counts characters, it counts UTF-16 units of
// the text (Utf16Length), so limits mean what they mean on UTF-16 systems.
//
// All functions are pure or read only the clock; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Narrow text in the user's default code page to program text.
std::string AnsiToWide(std::string_view text);
// Program text to the ANSI code page.
std::string WideToAnsi(std::string_view text);
// UTF-8 to program text and back.
std::string Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::string_view text);

// Number of UTF-16 units the text takes (an invalid byte sequence counts as
// the one U+FFFD it becomes).
size_t Utf16Length(std::string_view text);
// The longest prefix of whole characters taking at most `max_units` UTF-16
// units.
std::string CutToUtf16Length(std::string_view text, size_t max_units);

// "%u".
std::string UnsignedToText(uint32_t value);
// "%d" and "%X" (upper case, no prefix; negative values as their 32-bit
// two's complement, -1 gives "FFFFFFFF").
std::string IntToWide(int32_t value);
std::string IntToHexWide(int32_t value);

// Removes blanks (space, tab, CR, LF, VT, FF) at both ends.
std::string Trim(std::string_view text);

// Splits at every occurrence of `separator`, trims each piece and keeps the
// non-empty ones in order in `pieces` (replacing its content). Returns their
// count. An empty separator does not split.
int SplitTrimmed(std::string_view text, std::string_view separator,
                 std::vector<std::string>* pieces);

// `text` without any occurrence of `what` (unchanged when `what` is empty).
std::string RemoveAll(std::string_view text, std::string_view what);

// After trimming: starts with "http://" and is longer than 7 characters, or
// with "https://" and is longer than 8 (case-sensitive).
bool IsHttpUrl(std::string_view text);

// `url` + ("?" when it has no "?", else "&") + "_t=" + the current time in
// seconds since 1970.
std::string AddTimeParameter(std::string_view url);

// The local time as "%Y%m%d%H%M%S".
std::string LocalTimeStamp();
