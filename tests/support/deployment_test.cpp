#include "support/deployment.h"

#include <gtest/gtest.h>

#include "support/sandbox.h"

namespace {

TEST(DeploymentTest, TheBuiltInFilePointsAtTheStandInServers) {
  tavtest::Sandbox sandbox;
  const Deployment& d = GetDeployment();
  for (const std::string* host : {&d.platform_host, &d.license_url, &d.product_web_host,
                                  &d.pc_api_primary, &d.pc_api_fallback, &d.analytics_primary,
                                  &d.analytics_fallback, &d.httpdns_primary, &d.httpdns_fallback}) {
    SCOPED_TRACE(*host);
    EXPECT_EQ(host->rfind("http://127.", 0), 0u);
  }
  EXPECT_FALSE(d.httpdns_account_id.empty());
  EXPECT_TRUE(d.tls_verify);
}

TEST(DeploymentTest, CertificatesAreCheckedUnlessTheFileSaysOtherwise) {
  const struct {
    const char* xml;
    bool tls_verify;
  } cases[] = {
      {"<Deployment><TlsVerify>0</TlsVerify></Deployment>", false},
      {"<Deployment><TlsVerify>1</TlsVerify></Deployment>", true},
      {"<Deployment><TlsVerify>no</TlsVerify></Deployment>", true},
      {"<Deployment/>", true},
      {"<Deployment><TlsVerify>0</TlsVerify>", true},  // malformed: nothing is read
      {"", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xml);
    EXPECT_EQ(ParseDeployment(c.xml).tls_verify, c.tls_verify);
  }
}

TEST(DeploymentTest, EachMachineRootReadsItsOwnFile) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(tavtest::WriteFile(
      sandbox.Path("resources/XML/150"),
      "<Deployment><PlatformHost>http://127.0.0.9:1/</PlatformHost></Deployment>"));
  EXPECT_EQ(GetDeployment().platform_host, "http://127.0.0.9:1/");
  EXPECT_EQ(CaBundlePath(), "");
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("etc/ca.pem"), "pem"));
  EXPECT_EQ(CaBundlePath(), sandbox.Path("etc/ca.pem"));
}

}  // namespace
