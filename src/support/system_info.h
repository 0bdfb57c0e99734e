// Facts about the system the program runs on: the WOW64 question, the width
// of the system, its version, the browser version the maker's servers ask
// for. Stateless; any thread; nothing logs.
#pragma once

#include <string>

// Whether this is a 32-bit process on a 64-bit system. This program is built
// native for its system, so the answer is always false.
bool IsWow64();

// Whether the system is a 64-bit one (the machine kind uname reports).
bool Is64BitOs();

// The kernel release as uname reports it (such as "6.1.0-13-amd64"), the
// stand-in for Windows' "major.minor.build"; "" on failure.
std::string GetWindowsVersion();

// The "Version" string under "Software\\Microsoft\\Internet Explorer" of the
// local-machine registry (32-bit view; the key is created when missing), when
// it fits 49 characters; "-" otherwise.
std::string GetIeVersion();
