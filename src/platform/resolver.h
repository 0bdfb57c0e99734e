// Host names to IPv4 addresses: the stand-in for gethostbyname.
//
// The file named by TAV_HOSTS (one name and any number of dotted IPv4
// addresses a line, "#" starts a comment) is consulted first, so tests and
// the demo can give one name several loopback addresses. Names under
// ".invalid" fail without a query. Stateless; any thread; a system lookup
// blocks for as long as the system resolver takes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The host's addresses in network byte order, without repeats; empty when
// the name is unknown. A dotted address resolves to itself.
std::vector<uint32_t> ResolveHostIpv4(const std::string& host);

}  // namespace platform
