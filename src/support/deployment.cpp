#include "support/deployment.h"

#include <sys/stat.h>

#include <map>
#include <mutex>

#include "app/simple_log.h"
#include "platform/paths.h"
#include "platform/resources.h"
#include "support/xml_document.h"

Deployment ParseDeployment(const std::string& xml) {
  Deployment d;
  CXmlDocument doc;
  // A damaged file gives no hosts at all rather than some of them, and keeps
  // certificates checked.
  if (!doc.SetDoc(xml) || !doc.FindElem("Deployment")) {
    LOG_ERROR("[ERROR] %d - deployment file unreadable: %s", doc.GetResult().c_str());
    return d;
  }
  d.platform_host = FindChildData(doc, "PlatformHost");
  d.license_url = FindChildData(doc, "LicenseUrl");
  d.product_web_host = FindChildData(doc, "ProductWebHost");
  d.pc_api_primary = FindChildData(doc, "PcApiPrimary");
  d.pc_api_fallback = FindChildData(doc, "PcApiFallback");
  d.analytics_primary = FindChildData(doc, "AnalyticsPrimary");
  d.analytics_fallback = FindChildData(doc, "AnalyticsFallback");
  d.httpdns_primary = FindChildData(doc, "HttpDnsPrimary");
  d.httpdns_fallback = FindChildData(doc, "HttpDnsFallback");
  d.httpdns_account_id = FindChildData(doc, "HttpDnsAccountId");
  d.httpdns_secret_key = FindChildData(doc, "HttpDnsSecretKey");
  d.httpdns_access_key = FindChildData(doc, "HttpDnsAccessKey");
  d.tls_verify = FindChildData(doc, "TlsVerify") != "0";
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
