#include "config/product_settings.h"

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "support/deployment.h"
#include "support/sandbox.h"
#include "telemetry/track_store.h"

namespace {

std::string ProductXml(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Product>" + body + "</Product>";
}

TEST(ProductSettingsTest, DefaultsApplyOnlyToMissingElements) {
  ProductSettings s;
  ASSERT_EQ(ParseProductFile(ProductXml("<ProductName>Nodorra</ProductName>"
                                        "<ServerHost>http://api.test/v</ServerHost>"
                                        "<Url_License></Url_License><ProductArg></ProductArg>"),
                             true, &s),
            ProductFileError::kNone);
  EXPECT_EQ(s.product_name, "Nodorra");
  EXPECT_EQ(s.server_host, "http://api.test/v/");
  EXPECT_EQ(s.fold_bottom, "1");
  // An empty licence address counts as missing; other empty values stay empty.
  EXPECT_EQ(s.url_license, GetDeployment().license_url);
  EXPECT_EQ(s.product_arg, "");

  ProductSettings bare;
  ASSERT_EQ(ParseProductFile(ProductXml(""), true, &bare), ProductFileError::kNone);
  EXPECT_EQ(bare.server_host, GetDeployment().platform_host);
  ASSERT_EQ(ParseProductFile(ProductXml("<FoldBottom></FoldBottom><ServerHost>h/</ServerHost>"),
                             true, &bare),
            ProductFileError::kNone);
  EXPECT_EQ(bare.fold_bottom, "");
  EXPECT_EQ(bare.server_host, "h/");
}

TEST(ProductSettingsTest, The64BitGroupIsReadOnA64BitSystemOnly) {
  const std::string xml = ProductXml(
      "<Downurl><OnlyUseLocalUrl>1</OnlyUseLocalUrl><Url_Down>http://d/x86.exe</Url_Down></Downurl>"
      "<Downurl_x64><OnlyUseLocalUrl>1</OnlyUseLocalUrl>"
      "<Url_Down><![CDATA[http://d/x64.exe?a=1&b=2]]></Url_Down></Downurl_x64>"
      "<Installurl><Url_Install>http://t/</Url_Install></Installurl>");
  for (bool is64 : {false, true}) {
    SCOPED_TRACE(is64);
    ProductSettings s;
    ASSERT_EQ(ParseProductFile(xml, is64, &s), ProductFileError::kNone);
    EXPECT_EQ(s.url_down, "http://d/x86.exe");
    EXPECT_EQ(s.down_only_use_local_url, "1");
    EXPECT_EQ(s.url_down_x64, is64 ? "http://d/x64.exe?a=1&b=2" : "");
    EXPECT_EQ(s.down_x64_only_use_local_url, is64 ? "1" : "");
    EXPECT_EQ(s.url_install, "http://t/");
    EXPECT_EQ(s.install_only_use_local_url, "");
  }
}

TEST(ProductSettingsTest, DependentsNeedAnIdAndADownloadAddress) {
  ProductSettings s;
  ASSERT_EQ(ParseProductFile(ProductXml(R"(<Dependent>
      <item><ProductID>1</ProductID><Url_Down>http://d/1.exe</Url_Down></item>
      <item><ProductID>2</ProductID></item>
      <item><Url_Down>http://d/3.exe</Url_Down></item>
      <item><ProductID>4</ProductID><Url_Downx64>http://d/4.exe</Url_Downx64>
            <ForceInstall>false</ForceInstall><ForkInstall>1</ForkInstall></item>
    </Dependent>)"),
                             true, &s),
            ProductFileError::kNone);
  ASSERT_EQ(s.dependents.size(), 2u);
  EXPECT_EQ(s.dependents[0].product_id, "1");
  EXPECT_EQ(s.dependents[0].force_install, "true");
  EXPECT_TRUE(s.dependents[0].forced());
  EXPECT_EQ(s.dependents[1].product_id, "4");
  EXPECT_FALSE(s.dependents[1].forced());
  EXPECT_EQ(s.dependents[1].fork_install, "1");
}

TEST(ProductSettingsTest, BadFilesAreTold) {
  ProductSettings s;
  EXPECT_EQ(ParseProductFile("<Product><ProductName>x</Product>", true, &s),
            ProductFileError::kParse);
  EXPECT_EQ(ParseProductFile("not xml at all", true, &s), ProductFileError::kParse);
  EXPECT_EQ(ParseProductFile("<Lang/>", true, &s), ProductFileError::kNoProduct);
}

TEST(ProductSettingsTest, LoadFixesFoldersChannelAndTrackingValues) {
  const struct {
    const char* brand;
    const char* app_id;
    const char* folder;      // under the sandbox root
    const char* value_name;  // receives the channel
  } cases[] = {
      {"Corvenna", "", "var/lib/Corvenna/", "7155"},
      {"", "10", "var/lib/Veltrana/", "10"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.brand);
    tavtest::Sandbox sandbox;
    ASSERT_TRUE(tavtest::WriteFile(
        sandbox.Path("resources/XML/106"),
        ProductXml(std::string("<ProductBrand>") + c.brand + "</ProductBrand><ProductID>7155" +
                   "</ProductID><AppID>" + c.app_id + "</AppID><Channel>web</Channel>" +
                   "<Dependent><item><ProductID>8120</ProductID><Url_Down>u</Url_Down>" +
                   "<ForceInstall>no</ForceInstall></item></Dependent>")));
    ProductSettings s;
    ASSERT_TRUE(LoadLocalXml(&s));
    EXPECT_EQ(s.config_folder, sandbox.Path(c.folder));
    EXPECT_EQ(s.run_state_path, sandbox.Path(std::string(c.folder) + "TAV_DOWNTASK_7155.xml"));

    std::string channel;
    // The maker's machine-wide records live in the 32-bit view.
    const platform::RegKey key{platform::Hive::kLocalMachine, platform::RegView::k32,
                               "Software\\KvfCX"};
    EXPECT_TRUE(platform::RegGetString(key, c.value_name, &channel));
    EXPECT_EQ(channel, "web");
    EXPECT_TRUE(platform::RegGetString(key, "", &channel));

    EXPECT_EQ(GetTrackString("product_id"), "7155");
    EXPECT_EQ(GetTrackString("channel"), "web");
    EXPECT_EQ(GetTrackString("defchannel"), "web");
    EXPECT_EQ(GetTrackString("client_sign").substr(GetTrackString("client_sign").size() - 2), "G}");
    bool forced = true;
    EXPECT_TRUE(GetDependentRecord(8120, &forced, nullptr));
    EXPECT_FALSE(forced);
  }
}

TEST(ProductSettingsTest, TheBuiltInProductFileLoads) {
  tavtest::Sandbox sandbox;
  ProductSettings s;
  ASSERT_TRUE(LoadLocalXml(&s));
  EXPECT_EQ(s.product_name, "Nodorra (Italiano)");
  EXPECT_EQ(s.product_brand, "Corvenna");
  EXPECT_EQ(s.install_time, "240");
  ASSERT_EQ(s.dependents.size(), 2u);
  EXPECT_TRUE(s.dependents[0].forced());
  EXPECT_EQ(s.dependents[1].product_id, "10819");
  EXPECT_EQ(s.dependents[1].fork_install, "1");
}

}  // namespace
