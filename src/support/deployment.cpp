#include "support/deployment.h"

#include <sys/stat.h>

#include <map>
#include <mutex>

#include "platform/paths.h"
#include "platform/resources.h"

namespace {

std::string ElementText(const std::string& xml, const std::string& name) {
  const std::string open = "<" + name + ">";
  std::string::size_type begin = xml.find(open);
  if (begin == std::string::npos)
    return {};
  begin += open.size();
  std::string::size_type end = xml.find("</" + name + ">", begin);
  return end == std::string::npos ? std::string() : xml.substr(begin, end - begin);
}

}  // namespace

Deployment ParseDeployment(const std::string& xml) {
  Deployment d;
  d.platform_host = ElementText(xml, "PlatformHost");
  d.license_url = ElementText(xml, "LicenseUrl");
  d.product_web_host = ElementText(xml, "ProductWebHost");
  d.pc_api_primary = ElementText(xml, "PcApiPrimary");
  d.pc_api_fallback = ElementText(xml, "PcApiFallback");
  d.analytics_primary = ElementText(xml, "AnalyticsPrimary");
  d.analytics_fallback = ElementText(xml, "AnalyticsFallback");
  d.httpdns_primary = ElementText(xml, "HttpDnsPrimary");
  d.httpdns_fallback = ElementText(xml, "HttpDnsFallback");
  d.httpdns_account_id = ElementText(xml, "HttpDnsAccountId");
  d.httpdns_secret_key = ElementText(xml, "HttpDnsSecretKey");
  d.httpdns_access_key = ElementText(xml, "HttpDnsAccessKey");
  d.tls_verify = ElementText(xml, "TlsVerify") != "0";
  return d;
}

const Deployment& GetDeployment() {
  // Read once per machine root, so a test sandbox with its own deployment
  // file sees that file.
  static std::mutex lock;
  static std::map<std::string, Deployment> by_root;
  const std::string root = platform::MachineRoot();
  std::lock_guard<std::mutex> guard(lock);
  auto it = by_root.find(root);
  if (it != by_root.end())
    return it->second;
  std::string xml;
  platform::LoadResource("XML", platform::kResDeployment, &xml);
  return by_root.emplace(root, ParseDeployment(xml)).first->second;
}

std::string CaBundlePath() {
  const std::string root = platform::MachineRoot();
  if (root.empty())
    return {};
  const std::string path = root + "/etc/ca.pem";
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? path : std::string();
}
