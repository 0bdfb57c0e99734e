// The deployment: where this build finds the maker's servers, and whether
// "https://" hosts must show a valid certificate. Read once from the built-in
// deployment file (resource XML 150, overridable through TAV_ROOT) on first
// use under each machine root; any thread may call.
#pragma once

#include <string>

struct Deployment {
  std::string platform_host;
  std::string license_url;
  std::string product_web_host;
  std::string pc_api_primary;
  std::string pc_api_fallback;
  std::string analytics_primary;
  std::string analytics_fallback;
  std::string httpdns_primary;
  std::string httpdns_fallback;
  std::string httpdns_account_id;
  std::string httpdns_secret_key;
  std::string httpdns_access_key;
  // Certificates and host names are checked unless the file says
  // <TlsVerify>0</TlsVerify>.
  bool tls_verify = true;
};

const Deployment& GetDeployment();

// Parses a deployment file's text; elements that are missing stay empty.
Deployment ParseDeployment(const std::string& xml);

// The CA bundle that TLS peers are checked against: $TAV_ROOT/etc/ca.pem when
// that file exists, else "" (the system's store).
std::string CaBundlePath();
