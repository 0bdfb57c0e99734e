// Where the package download connects: the download host's IPv4 addresses,
// narrowed to those that agree on the package size, and how many connections
// use each. Also the independent size probe that tells whether a package
// already on disk matches what the servers offer.
//
// Threads: there is one table per process (HostTable()), shared by the probe
// thread and every connection thread. Each member function holds the table's
// lock for its whole run, InitHost included (its size requests too), so a
// connection picking an address waits until the vote is over. The free
// functions below keep no shared state; any thread may call them.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// A URL split the way the size vote and the probe rebuild it. `port` is 0
// when the URL names none (the scheme's own port then applies).
struct CrackedUrl {
  std::string scheme;  // as written
  std::string host;    // as written (host names compare exactly)
  uint16_t port = 0;
  std::string path;  // from the first "/" after the host on, "/" when none
};

// Splits "scheme://host[:port][/path]". Fails on a missing scheme or host, a
// port that is not 1..65535, or a part longer than 511 characters.
bool CrackUrl(const std::string& url, CrackedUrl* out);

class CHostTable {
 public:
  CHostTable() = default;
  CHostTable(const CHostTable&) = delete;
  CHostTable& operator=(const CHostTable&) = delete;

  // Resolves `host` (system resolver, then HTTP-DNS when that gives nothing)
  // into its address map; a system answer replaces earlier addresses. True
  // when the host has addresses afterwards.
  bool QueryHost(const std::string& host);

  // Makes sure the URL's host has addresses, then keeps only those whose
  // package size agrees with the majority (all stay when none answers).
  bool InitHost(const std::string& url);

  // True when the URL's host has at least one address.
  bool IsHostKnown(const std::string& url);

  // The address (network byte order) for a new connection: the first unused
  // one, else the least used (first of equals); its use count grows by 1.
  // 0 when the host has no addresses (the caller then connects by name).
  uint32_t PickAddress(const std::string& host);

  // Lowers the use count of `address` of `host` by 1, never below 0; nothing
  // happens when either is empty / 0 or the host lacks the address.
  void ReleaseAddress(const std::string& host, uint32_t address);

  // The URL's host name and its addresses in dotted form joined with ",";
  // true when there is at least one address.
  bool GetDnsInfo(const std::string& url, std::string* host, std::string* addresses);

  // For tests only: forgets every host, so one process can start over.
  void Clear();

 private:
  using AddressMap = std::map<uint32_t, int32_t>;  // address -> use count

  bool QueryHostLocked(const std::string& host);
  // Asks each address for the size and drops those outside the majority.
  void VoteOnSize(const CrackedUrl& url, AddressMap* addresses);

  std::mutex mutex_;
  std::map<std::string, AddressMap> hosts_;
};

// The process's one host table: made on first use, never destroyed.
CHostTable& HostTable();

// The HTTP-DNS answer for `host`: the dotted IPv4 texts of the first resolver
// of the deployment, or of the second when the first gives nothing. Empty
// when neither answers with a list.
std::vector<std::string> HttpDnsQuery(const std::string& host);

// Content-Length of a HEAD request for `url` (sent with "Host: " `host`
// when `host` is not empty); 0 when the answer has none or fails.
int64_t GetRemoteFileSize(const std::string& url, const std::string& host);

// How long the size probe waits on each address, in milliseconds.
struct CdnProbeTimeouts {
  long connect_ms = 6;
  long total_ms = 22;  // connect, send and receive together
};

// The package size most addresses of the URL's host report (the smaller one
// on a tie); 0 when the URL is empty or no address reports a size.
int64_t GetCdnFileSize(const std::string& url, const CdnProbeTimeouts& timeouts = {});

// True when GetCdnFileSize(url) is not 0 and equals `size`.
bool CheckCdnFileSize(const std::string& url, int64_t size, const CdnProbeTimeouts& timeouts = {});
