// Digests as lower-case hexadecimal text, through OpenSSL. Header-only so
// the stand-in servers can check what the program computes without linking
// the program's libraries. Any thread.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <string_view>

inline std::string DigestHex(const EVP_MD* md, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr) != 1)
    return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0f];
  }
  return hex;
}

inline std::string Sha256Hex(std::string_view data) {
  return DigestHex(EVP_sha256(), data);
}
