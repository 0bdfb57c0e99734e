#include "download/host_table.h"
#include "support/digest.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cinttypes>
#include <ctime>
#include <mutex>

#include "app/simple_log.h"
#include "platform/resolver.h"
#include "support/deployment.h"
#include "support/http_request.h"

namespace {

constexpr std::size_t kMaxUrlPart = 511;
// The vote has heard enough once this many addresses agree.
constexpr std::size_t kEnoughAgreeing = 6;

using SizeLists = std::map<int64_t, std::vector<uint32_t>>;

std::string Dotted(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = address;
  if (inet_ntop(AF_INET, &a, text, sizeof(text)) == nullptr)
    return {};
  return text;
}

bool ParseDotted(const std::string& text, uint32_t* address) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1)
    return false;
  *address = a.s_addr;
  return true;
}

bool ParsePort(const std::string& text, uint16_t* port) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < 1 || value > 65535)
    return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// The size most addresses reported. Sizes are visited in ascending order and
// only a strictly longer list replaces the winner, so a tie goes to the
// smaller size. `winner` (may be null) receives the winning list.
int64_t WinningSize(const SizeLists& lists, bool cdn_probe, const std::vector<uint32_t>** winner) {
  static const std::vector<uint32_t> kNone;
  int64_t best = 0;
  const std::vector<uint32_t>* best_list = &kNone;
  for (const auto& [size, list] : lists) {
    if (list.size() <= best_list->size() && !best_list->empty())
      continue;
    best = size;
    best_list = &list;
    const int count = static_cast<int>(list.size());
    if (cdn_probe)
      LOG_INFO("[INFO] %d - get cdn file size, ulfs_max=[%" PRId64 "], count=[%d]", best, count);
    else
      LOG_INFO("[INFO] %d - ulfs_max=[%" PRId64 "], count=[%d]", best, count);
  }
  if (winner != nullptr)
    *winner = best_list;
  return best;
}

// The short answer format: ["a","b"]. Brackets and quotes are dropped; only
// elements that are dotted IPv4 addresses count, so an answer that is not a
// list (an error page, say) gives nothing.
std::vector<std::string> ParseShortAnswer(const std::string& answer) {
  std::vector<std::string> out;
  if (answer.size() < 2 || answer.front() != '[' || answer.back() != ']')
    return out;
  const std::string inner = answer.substr(1, answer.size() - 2);
  std::size_t start = 0;
  while (start <= inner.size()) {
    std::size_t comma = inner.find(',', start);
    if (comma == std::string::npos)
      comma = inner.size();
    const std::string element = inner.substr(start, comma - start);
    start = comma + 1;
    if (element.size() <= 1)
      continue;
    const std::string text = element.substr(1, element.size() - 2);
    uint32_t address = 0;
    if (ParseDotted(text, &address))
      out.push_back(text);
  }
  return out;
}

std::string BaseUrl(std::string url) {
  if (!url.empty() && url.back() == '/')
    url.pop_back();
  return url;
}

// One GET to a resolver; "" when it is not configured or fails.
std::string AskResolver(const std::string& base, const std::string& query) {
  if (base.empty())
    return {};
  int error = 0;
  CHttpRequest request;
  std::string answer =
      request.CurlRequest(CHttpRequest::kGet, BaseUrl(base) + query, {}, true, false, "", &error);
  return error == 0 ? answer : std::string();
}

uint16_t EffectivePort(const CrackedUrl& url) {
  if (url.port != 0)
    return url.port;
  std::string scheme = url.scheme;
  for (char& c : scheme)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return scheme == "https" ? 443 : 80;
}

// scheme://address[:port]path: the vote asks each address directly.
std::string AddressUrl(const CrackedUrl& url, const std::string& dotted) {
  std::string out = url.scheme + "://" + dotted;
  if (url.port != 0)
    out += ":" + std::to_string(url.port);
  return out + url.path;
}

struct CurlHandles {
  CURL* curl = nullptr;
  curl_slist* headers = nullptr;
  curl_slist* resolve = nullptr;
  ~CurlHandles() {
    curl_slist_free_all(headers);
    curl_slist_free_all(resolve);
    curl_easy_cleanup(curl);
  }
};

void LogProbeFailure(CURL* curl, CURLcode code, const std::string& ip) {
  const int err = static_cast<int>(code);
  curl_off_t connect_time = 0;
  curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connect_time);
  const bool connected = connect_time > 0;
  if (code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST ||
      (code == CURLE_OPERATION_TIMEDOUT && !connected)) {
    LOG_ERROR("[ERROR] %d - get cdn file size, win http connect failed! ip=[%s], err=[%d].",
              ip.c_str(), err);
  } else if (code == CURLE_SEND_ERROR || code == CURLE_SSL_CONNECT_ERROR ||
             code == CURLE_PEER_FAILED_VERIFICATION) {
    LOG_ERROR("[ERROR] %d - get cdn file size, win http send request failed! ip=[%s], err=[%d].",
              ip.c_str(), err);
  } else {
    LOG_ERROR(
        "[ERROR] %d - get cdn file size, win http receive response failed! ip=[%s], err=[%d].",
        ip.c_str(), err);
  }
}

// A HEAD request for the URL sent to one address of its host (the name stays
// in the URL and is pinned to `ip`); the Content-Length, 0 on any failure.
int64_t ProbeAddress(const CrackedUrl& url, const std::string& ip,
                     const CdnProbeTimeouts& timeouts) {
  InitCurlOnce();
  CurlHandles h;
  h.curl = curl_easy_init();
  if (h.curl == nullptr) {
    LOG_ERROR("[ERROR] %d - get cdn file size, win http open failed! err=[%d].",
              static_cast<int>(CURLE_FAILED_INIT));
    return 0;
  }
  const std::string port = std::to_string(EffectivePort(url));
  h.resolve = curl_slist_append(nullptr, (url.host + ":" + port + ":" + ip).c_str());
  const std::string target = url.scheme + "://" + url.host + ":" + port + url.path;
  if (h.resolve == nullptr || curl_easy_setopt(h.curl, CURLOPT_URL, target.c_str()) != CURLE_OK) {
    LOG_ERROR("[ERROR] %d - get cdn file size, win http open request failed! ip=[%s], err=[%d].",
              ip.c_str(), static_cast<int>(CURLE_URL_MALFORMAT));
    return 0;
  }
  h.headers = curl_slist_append(nullptr, ("Host: " + url.host).c_str());
  if (h.headers == nullptr) {
    LOG_ERROR(
        "[ERROR] %d - get cdn file size, win http add request headers failed! ip=[%s], "
        "err=[%d].",
        ip.c_str(), static_cast<int>(CURLE_OUT_OF_MEMORY));
    return 0;
  }
  CURL* c = h.curl;
  curl_easy_setopt(c, CURLOPT_RESOLVE, h.resolve);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, h.headers);
  curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(c, CURLOPT_PROXY, "");  // no proxy, not even from the environment
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, timeouts.connect_ms);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeouts.total_ms);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  const bool verify = GetDeployment().tls_verify;
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
  const std::string bundle = CaBundlePath();
  if (!bundle.empty())
    curl_easy_setopt(c, CURLOPT_CAINFO, bundle.c_str());
  const CURLcode code = curl_easy_perform(c);
  if (code != CURLE_OK) {
    LogProbeFailure(c, code, ip);
    return 0;
  }
  curl_off_t length = -1;
  if (curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK || length < 0) {
    LOG_ERROR(
        "[ERROR] %d - get cdn file size, win http query headers failed! ip=[%s], size=[%d], "
        "index=[%d], err=[%d].",
        ip.c_str(), static_cast<int>(sizeof(int64_t)), 0, 0);
    return 0;
  }
  return static_cast<int64_t>(length);
}

}  // namespace

bool CrackUrl(const std::string& url, CrackedUrl* out) {
  const std::size_t sep = url.find("://");
  if (sep == std::string::npos || sep == 0)
    return false;
  CrackedUrl parts;
  parts.scheme = url.substr(0, sep);
  const std::size_t host_start = sep + 3;
  std::size_t host_end = url.find_first_of(":/?#", host_start);
  if (host_end == std::string::npos)
    host_end = url.size();
  parts.host = url.substr(host_start, host_end - host_start);
  std::size_t rest = host_end;
  if (rest < url.size() && url[rest] == ':') {
    std::size_t port_end = url.find_first_of("/?#", rest + 1);
    if (port_end == std::string::npos)
      port_end = url.size();
    if (!ParsePort(url.substr(rest + 1, port_end - rest - 1), &parts.port))
      return false;
    rest = port_end;
  }
  parts.path = url.substr(rest);
  if (parts.path.empty() || parts.path.front() != '/')
    parts.path.insert(0, "/");
  if (parts.host.empty() || parts.scheme.size() > kMaxUrlPart || parts.host.size() > kMaxUrlPart ||
      parts.path.size() > kMaxUrlPart)
    return false;
  *out = std::move(parts);
  return true;
}

CHostTable& HostTable() {
  // Never destroyed: connection threads may still use it while the process
  // runs its exit handlers.
  static CHostTable* table = new CHostTable;
  return *table;
}

bool CHostTable::QueryHost(const std::string& host) {
  std::lock_guard<std::mutex> lock(mutex_);
  return QueryHostLocked(host);
}

bool CHostTable::QueryHostLocked(const std::string& host) {
  AddressMap& addresses = hosts_[host];
  const std::vector<uint32_t> resolved = platform::ResolveHostIpv4(host);
  if (!resolved.empty()) {
    addresses.clear();
    for (uint32_t address : resolved)
      addresses.emplace(address, 0);
  }
  if (addresses.empty()) {
    const std::vector<std::string> texts = HttpDnsQuery(host);
    for (const std::string& text : texts) {
      uint32_t address = 0;
      if (ParseDotted(text, &address))
        addresses.emplace(address, 0);
    }
    LOG_INFO("[INFO] %d - query httpdns, host=[%s], ip count=[%d].", host.c_str(),
             static_cast<int>(texts.size()));
  } else {
    LOG_INFO("[INFO] %d - query host=[%s], ip count=[%d].", host.c_str(),
             static_cast<int>(addresses.size()));
  }
  return !addresses.empty();
}

bool CHostTable::InitHost(const std::string& url) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (url.empty()) {
    LOG_ERROR("[ERROR] %d - init host url is empty.");
    return false;
  }
  CrackedUrl parts;
  if (!CrackUrl(url, &parts)) {
    LOG_ERROR("[ERROR] %d - parse url failed!");
    return false;
  }
  auto known = hosts_.find(parts.host);
  if (known != hosts_.end() && !known->second.empty())
    return true;
  if (!QueryHostLocked(parts.host)) {
    LOG_ERROR("[ERROR] %d - query host failed!");
    return false;
  }
  AddressMap& addresses = hosts_[parts.host];
  VoteOnSize(parts, &addresses);
  LOG_INFO("[INFO] %d - init host, vaild ip count=[%d]", static_cast<int>(addresses.size()));
  return !addresses.empty();
}

void CHostTable::VoteOnSize(const CrackedUrl& url, AddressMap* addresses) {
  SizeLists lists;
  for (const auto& entry : *addresses) {
    const std::string ip = Dotted(entry.first);
    LOG_INFO("[INFO] %d - host ip=[%s]", ip.c_str());
    const int64_t size = GetRemoteFileSize(AddressUrl(url, ip), url.host);
    if (size == 0)
      continue;
    std::vector<uint32_t>& list = lists[size];
    list.push_back(entry.first);
    if (list.size() >= kEnoughAgreeing)
      break;
  }
  const std::vector<uint32_t>* winner = nullptr;
  if (WinningSize(lists, false, &winner) == 0)
    return;
  for (auto it = addresses->begin(); it != addresses->end();) {
    if (std::find(winner->begin(), winner->end(), it->first) != winner->end()) {
      ++it;
      continue;
    }
    LOG_WARN("[WARN] %d - remove host ip=[%s]", Dotted(it->first).c_str());
    it = addresses->erase(it);
  }
}

bool CHostTable::IsHostKnown(const std::string& url) {
  std::lock_guard<std::mutex> lock(mutex_);
  CrackedUrl parts;
  if (!CrackUrl(url, &parts))
    return false;
  auto it = hosts_.find(parts.host);
  return it != hosts_.end() && !it->second.empty();
}

uint32_t CHostTable::PickAddress(const std::string& host) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = hosts_.find(host);
  if (it == hosts_.end() || it->second.empty())
    return 0;
  auto chosen = it->second.begin();
  for (auto a = it->second.begin(); a != it->second.end(); ++a) {
    if (a->second == 0) {
      chosen = a;
      break;
    }
    if (a->second < chosen->second)
      chosen = a;
  }
  ++chosen->second;
  return chosen->first;
}

void CHostTable::ReleaseAddress(const std::string& host, uint32_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (host.empty() || address == 0)
    return;
  auto it = hosts_.find(host);
  if (it == hosts_.end())
    return;
  auto a = it->second.find(address);
  if (a != it->second.end() && a->second > 0)
    --a->second;
}

bool CHostTable::GetDnsInfo(const std::string& url, std::string* host, std::string* addresses) {
  std::lock_guard<std::mutex> lock(mutex_);
  CrackedUrl parts;
  if (!CrackUrl(url, &parts))
    return false;
  // The "ANSI" form of the name is its UTF-8 text here.
  *host = parts.host;
  addresses->clear();
  auto it = hosts_.find(parts.host);
  if (it == hosts_.end())
    return false;
  for (const auto& entry : it->second) {
    if (!addresses->empty())
      *addresses += ",";
    *addresses += Dotted(entry.first);
  }
  return !addresses->empty();
}

void CHostTable::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  hosts_.clear();
}

std::vector<std::string> HttpDnsQuery(const std::string& host) {
  // Our deployment file keeps the account values as plain text, so there is
  // no scrambled form to restore.
  const Deployment& d = GetDeployment();
  const std::string ts = std::to_string(static_cast<int64_t>(std::time(nullptr)));
  const std::string key =
      Sha256Hex(d.httpdns_account_id + d.httpdns_secret_key + ts + host + d.httpdns_access_key);
  const std::string query = "/resolve?type=1&short=1&uid=" + d.httpdns_account_id +
                            "&ak=" + d.httpdns_access_key + "&name=" + host + "&ts=" + ts +
                            "&key=" + key;
  std::string answer = AskResolver(d.httpdns_primary, query);
  if (answer.empty())
    answer = AskResolver(d.httpdns_fallback, query);
  return ParseShortAnswer(answer);
}

int64_t GetRemoteFileSize(const std::string& url, const std::string& host) {
  std::vector<std::string> headers = {"connection: close", "Cache-Control: no-cache",
                                      "Pragma: no-cache"};
  if (!host.empty())
    headers.push_back("Host: " + host);
  int error = 0;
  CHttpRequest request;
  const std::string answer =
      request.CurlRequest(CHttpRequest::kHead, url, headers, false, true, "", &error);
  constexpr char kKey[] = "Content-Length:";
  const std::size_t at = answer.find(kKey);
  if (at == std::string::npos)
    return 0;
  const std::size_t start = at + sizeof(kKey) - 1;
  const std::size_t end = answer.find("\r\n", start);
  std::string value = answer.substr(start, end == std::string::npos ? end : end - start);
  std::erase(value, ' ');
  int64_t size = 0;
  std::from_chars(value.data(), value.data() + value.size(), size);
  return size > 0 ? size : 0;
}

int64_t GetCdnFileSize(const std::string& url, const CdnProbeTimeouts& timeouts) {
  if (url.empty()) {
    LOG_ERROR("[ERROR] %d - get cdn file size, url is empty.");
    return 0;
  }
  CrackedUrl parts;
  if (!CrackUrl(url, &parts))
    return 0;
  SizeLists lists;
  for (uint32_t address : platform::ResolveHostIpv4(parts.host)) {
    const std::string ip = Dotted(address);
    LOG_INFO("[INFO] %d - get cdn file size, host ip=[%s]", ip.c_str());
    const int64_t size = ProbeAddress(parts, ip, timeouts);
    if (size != 0)
      lists[size].push_back(address);
  }
  LOG_INFO("[INFO] %d - get cdn file size, content size count=[%d]",
           static_cast<int>(lists.size()));
  return WinningSize(lists, true, nullptr);
}

bool CheckCdnFileSize(const std::string& url, int64_t size, const CdnProbeTimeouts& timeouts) {
  const int64_t cdn_size = GetCdnFileSize(url, timeouts);
  LOG_INFO("[INFO] %d - Check Cdn FileSize %" PRId64 ", =? %" PRId64, cdn_size, size);
  return cdn_size != 0 && cdn_size == size;
}
