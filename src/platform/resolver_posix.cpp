#include "platform/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

// Host names compare without case and without a final ".".
std::string LowerName(std::string name) {
  while (!name.empty() && name.back() == '.')
    name.pop_back();
  for (char& c : name)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

// RFC 6761: ".invalid" names are answered negatively without a query.
bool IsInvalidName(const std::string& host) {
  const std::string name = LowerName(host);
  constexpr char kSuffix[] = ".invalid";
  constexpr std::size_t kSuffixLength = sizeof(kSuffix) - 1;
  if (name == "invalid")
    return true;
  return name.size() > kSuffixLength &&
         name.compare(name.size() - kSuffixLength, kSuffixLength, kSuffix) == 0;
}

void AddUnique(uint32_t address, std::vector<uint32_t>* addresses) {
  if (std::find(addresses->begin(), addresses->end(), address) == addresses->end()) {
    addresses->push_back(address);
  }
}

// The addresses the TAV_HOSTS file gives `host`; false when it has no line
// for the name (or there is no such file).
bool OverrideAddresses(const std::string& host, std::vector<uint32_t>* addresses) {
  const char* path = std::getenv("TAV_HOSTS");
  if (path == nullptr || *path == '\0')
    return false;
  std::ifstream file(path);
  const std::string wanted = LowerName(host);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::string name;
    if (!(words >> name) || LowerName(name) != wanted)
      continue;
    for (std::string text; words >> text;) {
      in_addr parsed{};
      if (inet_pton(AF_INET, text.c_str(), &parsed) == 1)
        AddUnique(parsed.s_addr, addresses);
    }
    return !addresses->empty();
  }
  return false;
}

}  // namespace

std::vector<uint32_t> ResolveHostIpv4(const std::string& host) {
  std::vector<uint32_t> addresses;
  if (host.empty() || IsInvalidName(host))
    return addresses;
  if (OverrideAddresses(host, &addresses))
    return addresses;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answer = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &answer) != 0)
    return addresses;
  for (const addrinfo* it = answer; it != nullptr; it = it->ai_next) {
    if (it->ai_family == AF_INET && it->ai_addr != nullptr) {
      AddUnique(reinterpret_cast<const sockaddr_in*>(it->ai_addr)->sin_addr.s_addr, &addresses);
    }
  }
  freeaddrinfo(answer);
  return addresses;
}

}  // namespace platform
