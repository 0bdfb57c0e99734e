// Identifiers for the maker's servers: version-4 style UUID texts from a
// xorshift128+ generator seeded with 16 bytes of OpenSSL randomness. Any
// thread; no shared state.
#pragma once

#include <string>

// "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx" in lower-case hexadecimal.
std::string MakeUuid();
