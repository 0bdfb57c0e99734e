#include "config/runtime_description.h"

#include <gtest/gtest.h>

#include <ctime>

#include "support/devserver_run.h"
#include "support/sandbox.h"
#include "telemetry/track_store.h"

namespace {

TEST(RuntimeDescriptionTest, RequestAddress) {
  ProductSettings s;
  s.server_host = "http://api.test/";
  s.product_id = "7155";
  s.url_down = "http://dl.test/down/setup.exe";
  EXPECT_EQ(RuntimeRequestUrl(s, "{sign-G}", "0.1.0", true),
            "http://api.test/rest/v2/downloader/runtime/?client_sign={sign-G}&product_id=7155"
            "&tav=0.1.0&platform=win_x64");
  const std::string x86 = RuntimeRequestUrl(s, "{s}", "3.0.5", false);
  EXPECT_EQ(x86.substr(x86.size() - 16), "platform=win_x86");
  s.channel = "web";
  EXPECT_NE(RuntimeRequestUrl(s, "{s}", "1.2.3", true).find("rest/v2"), std::string::npos);
  s.app_id = "10";
  EXPECT_EQ(RuntimeRequestUrl(s, "{s}", "1.2.3", true), "http://dl.test/down/xml/10_web.xml");
  s.url_down = "setup.exe";
  EXPECT_EQ(RuntimeRequestUrl(s, "{s}", "1.2.3", true), "setup.exe/xml/10_web.xml");
}

TEST(RuntimeDescriptionTest, TavVersionComesFromTheProgramsOwnVersion) {
  EXPECT_EQ(TavVersion3(), "0.1.0");
  EXPECT_EQ(TavVersion4(), "0.1.0.0");
}

DependentProduct Dependent(const char* id, const char* url) {
  DependentProduct d;
  d.product_id = id;
  d.url_down = url;
  return d;
}

TEST(RuntimeDescriptionTest, AnswersFillValuesAndMergeBindItems) {
  const std::string answer = R"(<?xml version="1.0"?>
<vtrp><downloader>
  <bind>
    <item><ProductID>8120</ProductID><Url_Down>http://d/new8120.exe</Url_Down>
          <md5>aa</md5><md5_64>dd</md5_64><history_md5_32>bb</history_md5_32></item>
    <item><ProductID>9000</ProductID><Url_Downx64>http://d/9000.exe</Url_Downx64>
          <ForceInstall>false</ForceInstall></item>
    <item><ProductID>9001</ProductID></item>
  </bind>
  <runtime>
    <version>5.2.1</version><name>Nodorra</name><banner_url>http://b/banner?x=1</banner_url>
    <filesize>5368709120</filesize><oiap_url></oiap_url><Url_Jump>http://j/</Url_Jump>
    <md5>m1</md5><history_md5_64>h64</history_md5_64>
  </runtime>
</downloader></vtrp>)";
  ProductSettings s;
  s.dependents = {Dependent("8120", "http://d/old8120.exe"), Dependent("10819", "http://d/k.exe")};
  RuntimeValues v;
  v.process_name = "kept";
  const std::time_t before = std::time(nullptr);
  ASSERT_TRUE(ApplyRuntimeAnswer(answer, &v, &s));
  EXPECT_EQ(v.version, "5.2.1");
  EXPECT_EQ(v.name, "Nodorra");
  EXPECT_EQ(v.filesize, "5368709120");
  EXPECT_EQ(v.process_name, "kept");
  EXPECT_EQ(v.banner_url.substr(0, 23), "http://b/banner?x=1&_t=");
  EXPECT_GE(std::stoll(v.banner_url.substr(23)), before);

  // 8120 is replaced and moves to the end; 9000 is appended; 9001 has no address.
  ASSERT_EQ(s.dependents.size(), 3u);
  EXPECT_EQ(s.dependents[0].product_id, "10819");
  EXPECT_EQ(s.dependents[1].url_down, "http://d/new8120.exe");
  EXPECT_EQ(s.dependents[2].product_id, "9000");
  bool forced = false;
  std::string md5_list;
  ASSERT_TRUE(GetDependentRecord(8120, &forced, &md5_list));
  EXPECT_TRUE(forced);
  EXPECT_EQ(md5_list, "aa,bb,dd");
  ASSERT_TRUE(GetDependentRecord(9000, &forced, &md5_list));
  EXPECT_FALSE(forced);
}

TEST(RuntimeDescriptionTest, PartialAnswers) {
  const struct {
    const char* answer;
    bool has_runtime;
    const char* banner;  // "" for none
  } cases[] = {
      {"<other><downloader><runtime><name>x</name></runtime></downloader></other>", false, ""},
      {"", false, ""},
      {"<vtrp><downloader/></vtrp>", false, "?_t="},
      {"<vtrp><downloader><runtime/></downloader></vtrp>", true, "?_t="},
      {"<vtrp><downloader><runtime><banner_url></banner_url></runtime></downloader></vtrp>", true,
       "?_t="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    ProductSettings s;
    RuntimeValues v;
    EXPECT_EQ(ApplyRuntimeAnswer(c.answer, &v, &s), c.has_runtime);
    EXPECT_EQ(v.banner_url.substr(0, std::string(c.banner).size()), c.banner);
    if (*c.banner == '\0') {
      EXPECT_EQ(v.banner_url, "");
    }
    EXPECT_EQ(v.name, "");
  }
}

TEST(RuntimeDescriptionTest, ServerValuesTakePrecedenceOnlyAsAllowed) {
  ProductSettings s;
  s.dotnet_min_ver = "2.0";
  s.dotnet_url = "http://local/netfx.exe";
  s.url_install = "http://local/thanks";
  s.url_license = "http://local/license";
  s.languages = "Italiano";
  s.install_time = "90";
  RuntimeValues v;
  v.netfx_minver = "4.6";  // without its address it changes nothing
  v.install_url = "http://server/thanks";
  v.oiap_url = "";
  v.languages = "Italiano,English";
  EffectiveValues e = MergeRuntimeValues(s, v);
  EXPECT_EQ(e.dotnet_min_ver, "2.0");
  EXPECT_EQ(e.dotnet_url, "http://local/netfx.exe");
  EXPECT_EQ(e.install_url, "http://local/thanks");  // "OnlyUseLocalUrl" missing is not "0"
  EXPECT_EQ(e.license_url, "http://local/license");
  EXPECT_EQ(e.languages, "Italiano,English");
  EXPECT_EQ(e.install_time, 240);

  s.install_only_use_local_url = "0";
  s.install_time = "600";
  v.netfxlite_url = "http://server/netfx.exe";
  v.oiap_url = "http://server/license";
  e = MergeRuntimeValues(s, v);
  EXPECT_EQ(e.dotnet_min_ver, "4.6");
  EXPECT_EQ(e.dotnet_url, "http://server/netfx.exe");
  EXPECT_EQ(e.install_url, "http://server/thanks");
  EXPECT_EQ(e.license_url, "http://server/license");
  EXPECT_EQ(e.install_time, 600);
}

TEST(RuntimeDescriptionTest, AsksTheStandInPlatformHost) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("srv/runtime_7155.xml"), R"(<?xml version="1.0"?>
<vtrp><downloader><runtime>
  <name>Nodorra</name><version>5.2.1</version>
  <download_url>http://dl.test/down/nodorra_5.2.1.exe</download_url>
  <md5>0123456789abcdef0123456789abcdef</md5><filesize>734003200</filesize>
</runtime></downloader></vtrp>)"));
  const std::string log = sandbox.Path("requests.jsonl");
  tavtest::DevServerRun server;
  ASSERT_TRUE(server.Start(TAV_DEVSERVER_EXE, sandbox.root(),
                           R"({"log": ")" + log + R"(", "hosts": [{"name": "platform",
      "address": "127.0.0.1", "port": 0, "endpoints": [{"prefix": "/rest/v2/downloader/runtime",
      "kind": "runtime", "products": {"7155": "srv/runtime_7155.xml"}},
      {"path": "/api/v1/prodweb/trk", "kind": "fixed", "content_type": "application/json",
       "body": "{\"code\":0,\"data\":\"trk-7155-1\"}"}]}]})"));
  // The product-web host of this run's deployment is the same stand-in.
  ASSERT_TRUE(tavtest::WriteFile(
      sandbox.Path("resources/XML/150"),
      "<Deployment><ProductWebHost>" + server.Url("platform") + "</ProductWebHost></Deployment>"));

  ProductSettings s;
  s.server_host = server.Url("platform") + "/";
  s.product_id = "7155";
  s.product_brand = "Corvenna";
  s.url_install = "http://local/thanks";
  RuntimeValues v;
  ASSERT_TRUE(LoadServerXml(&s, &v));
  EXPECT_EQ(v.version, "5.2.1");
  EXPECT_EQ(v.download_url, "http://dl.test/down/nodorra_5.2.1.exe");
  EXPECT_EQ(GetTrackString("serverxmlmd5"), "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(GetTrackString("xmlprodcutver"), "5.2.1");
  EXPECT_EQ(GetTrackId(), "trk-7155-1");
  EXPECT_EQ(MergeRuntimeValues(s, v).install_url, "http://local/thanks");

  const std::string requests = tavtest::ReadFile(log);
  EXPECT_NE(requests.find("\"method\":\"GET\""), std::string::npos) << requests;
  EXPECT_NE(requests.find("\"path\":\"/rest/v2/downloader/runtime/\""), std::string::npos);
  EXPECT_NE(requests.find("product_id=7155&tav=0.1.0&platform=win_x64"), std::string::npos);
  EXPECT_NE(requests.find("\"version\":\"HTTP/1.0\""), std::string::npos);
  EXPECT_NE(requests.find("\"status\":200"), std::string::npos);
  EXPECT_NE(requests.find("\"query\":\"pid=7155&os=Windows\""), std::string::npos);

  // An unknown product gets no description: the caller may try again.
  s.product_id = "1";
  RuntimeValues none;
  EXPECT_FALSE(LoadServerXml(&s, &none));
  EXPECT_EQ(none.version, "");
  EXPECT_TRUE(server.Stop());
}

}  // namespace
