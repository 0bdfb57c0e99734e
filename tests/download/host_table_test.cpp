#include "download/host_table.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/devserver_run.h"
#include "support/sandbox.h"

namespace {

constexpr int64_t kBig = 5'000'000'000;  // above 4 GiB: must not wrap to 32 bits
// Generous limits for the size probe: the probe's own are a few milliseconds,
// too tight for a loaded test machine or a sanitizer build.
constexpr CdnProbeTimeouts kSlackTimeouts{2000, 4000};

// A port that was free a moment ago, for several loopback addresses at once.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(a);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

uint32_t Ip(const char* dotted) {
  return inet_addr(dotted);
}

// One package host a loopback address, all on `port`, each serving every
// path as a body of its own size.
std::string PackageConfig(const std::string& log, int port,
                          const std::vector<std::pair<std::string, int64_t>>& hosts) {
  std::string json = R"({"log": ")" + log + R"(", "hosts": [)";
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    if (i > 0)
      json += ",";
    json += R"({"name": "h)" + std::to_string(i) + R"(", "address": ")" + hosts[i].first +
            R"(", "port": )" + std::to_string(port) + R"(, "faults": {"size": )" +
            std::to_string(hosts[i].second) +
            R"(}, "paths": [{"path": "/chunked.bin", "faults": {"chunked": true}}],
            "endpoints": [{"prefix": "/", "kind": "fixed", "body": "x"}]})";
  }
  return json + "]}";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string Lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string DnsInfo(const std::string& url) {
  std::string host;
  std::string addresses;
  HostTable().GetDnsInfo(url, &host, &addresses);
  return addresses;
}

class HostTableTest : public ::testing::Test {
 protected:
  // HTTP-DNS resolvers where nobody listens, unless a test says otherwise.
  HostTableTest() {
    const std::string nobody = "http://127.0.0.1:" + std::to_string(FreePort());
    tavtest::WriteFile(sandbox_.Path("resources/XML/150"),
                       "<Deployment><HttpDnsPrimary>" + nobody + "</HttpDnsPrimary>" +
                           "<HttpDnsFallback>" + nobody + "</HttpDnsFallback></Deployment>");
  }
  void SetUp() override { HostTable().Clear(); }
  void TearDown() override { HostTable().Clear(); }

  // Points TAV_HOSTS at a file with `lines` for the rest of the test.
  void UseHosts(const std::string& lines) { ASSERT_TRUE(tavtest::WriteFile(hosts_file_, lines)); }

  tavtest::Sandbox sandbox_;
  std::string hosts_file_ = sandbox_.Path("hosts");
  tavtest::ScopedEnv hosts_env_{"TAV_HOSTS", hosts_file_};
};

TEST_F(HostTableTest, QueryHostTakesTheResolverAnswerInAddressOrder) {
  UseHosts("dl.tav.test 127.0.0.4 127.0.0.2 127.0.1.1 127.0.0.3\n");
  EXPECT_TRUE(HostTable().QueryHost("dl.tav.test"));
  EXPECT_TRUE(HostTable().IsHostKnown("http://dl.tav.test/pkg/tav.bin"));
  std::string host;
  std::string addresses;
  EXPECT_TRUE(HostTable().GetDnsInfo("https://dl.tav.test:8443/pkg/tav.bin", &host, &addresses));
  EXPECT_EQ(host, "dl.tav.test");
  // Ordered as the stored (network byte order) number: the last octet first.
  EXPECT_EQ(addresses, "127.0.1.1,127.0.0.2,127.0.0.3,127.0.0.4");

  // A new answer replaces the earlier addresses.
  UseHosts("dl.tav.test 127.0.0.9\n");
  EXPECT_TRUE(HostTable().QueryHost("dl.tav.test"));
  EXPECT_EQ(DnsInfo("http://dl.tav.test/pkg/tav.bin"), "127.0.0.9");

  EXPECT_FALSE(HostTable().IsHostKnown("http://other.tav.test/x"));
  EXPECT_FALSE(HostTable().GetDnsInfo("http://other.tav.test/x", &host, &addresses));
  EXPECT_EQ(addresses, "");
  EXPECT_FALSE(HostTable().IsHostKnown("not a url"));
}

TEST_F(HostTableTest, PickAddressPrefersUnusedThenLeastUsedAddresses) {
  UseHosts("dl.tav.test 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5\n");
  ASSERT_TRUE(HostTable().QueryHost("dl.tav.test"));
  const std::string h = "dl.tav.test";
  const uint32_t a = Ip("127.0.0.2"), b = Ip("127.0.0.3"), c = Ip("127.0.0.4"), d = Ip("127.0.0.5");
  EXPECT_EQ(HostTable().PickAddress(h), a);
  EXPECT_EQ(HostTable().PickAddress(h), b);
  EXPECT_EQ(HostTable().PickAddress(h), c);
  EXPECT_EQ(HostTable().PickAddress(h), d);
  EXPECT_EQ(HostTable().PickAddress(h), a);  // all in use: the first of the least used
  EXPECT_EQ(HostTable().PickAddress(h), b);  // counts now 2, 2, 1, 1
  EXPECT_EQ(HostTable().PickAddress(h), c);

  // Releasing more often than picked stops at 0.
  for (int i = 0; i < 5; ++i)
    HostTable().ReleaseAddress(h, d);
  HostTable().ReleaseAddress(h, Ip("127.0.0.77"));  // not the host's: no change
  HostTable().ReleaseAddress("", a);
  HostTable().ReleaseAddress(h, 0);
  EXPECT_EQ(HostTable().PickAddress(h), d);  // 0 -> 1
  EXPECT_EQ(HostTable().PickAddress(h), d);  // 1 is still the least (a, b, c hold 2)
  EXPECT_EQ(HostTable().PickAddress(h), a);  // all 2: the first

  EXPECT_EQ(HostTable().PickAddress("other.tav.test"), 0u);
}

TEST_F(HostTableTest, ConcurrentPicksAndReleasesKeepCountsConsistent) {
  UseHosts("dl.tav.test 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5\n");
  ASSERT_TRUE(HostTable().QueryHost("dl.tav.test"));
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 300; ++i) {
        const uint32_t address = HostTable().PickAddress("dl.tav.test");
        EXPECT_TRUE(HostTable().IsHostKnown("http://dl.tav.test/pkg"));
        std::string host, addresses;
        HostTable().GetDnsInfo("http://dl.tav.test/pkg", &host, &addresses);
        HostTable().ReleaseAddress("dl.tav.test", address);
      }
    });
  }
  for (std::thread& t : threads)
    t.join();
  // Every pick was released: four picks now get four different addresses.
  std::set<uint32_t> picked;
  for (int i = 0; i < 4; ++i)
    picked.insert(HostTable().PickAddress("dl.tav.test"));
  EXPECT_EQ(picked.size(), 4u);
}

TEST_F(HostTableTest, InitHostRejectsEmptyAndBadUrls) {
  UseHosts("dl.tav.test 127.0.0.2\n");
  for (const char* url : {"", "dl.tav.test/pkg", "http:///pkg", "http://dl.tav.test:0/pkg",
                          "http://dl.tav.test:99999/pkg", "http://nobody.invalid/pkg"}) {
    SCOPED_TRACE(url);
    EXPECT_FALSE(HostTable().InitHost(url));
  }
}

TEST_F(HostTableTest, InitHostKeepsTheAddressesThatAgreeOnTheSize) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, int64_t>> served;  // nothing: no server at all
    std::string hosts;
    std::string kept;
  };
  const std::vector<Case> cases = {
      {"majority wins",
       {{"127.0.0.2", kBig}, {"127.0.0.3", kBig}, {"127.0.0.4", 999}},
       "127.0.0.2 127.0.0.3 127.0.0.4",
       "127.0.0.2,127.0.0.3"},
      {"a tie goes to the smaller size",
       {{"127.0.0.2", 1000}, {"127.0.0.3", 1000}, {"127.0.0.4", 999}, {"127.0.0.5", 999}},
       "127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5",
       "127.0.0.4,127.0.0.5"},
      {"an address without a size is dropped",
       {{"127.0.0.2", 1000}, {"127.0.0.3", 0}},
       "127.0.0.2 127.0.0.3",
       "127.0.0.2"},
      {"nobody answers: all stay", {}, "127.0.0.2 127.0.0.3", "127.0.0.2,127.0.0.3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostTable().Clear();
    tavtest::Sandbox sandbox;
    const int port = FreePort();
    tavtest::DevServerRun server;
    if (!c.served.empty()) {
      ASSERT_TRUE(server.Start(TAV_DEVSERVER_EXE, sandbox.root(),
                               PackageConfig(sandbox.Path("requests.jsonl"), port, c.served)));
    }
    UseHosts("dl.tav.test " + c.hosts + "\n");
    const std::string url = "http://dl.tav.test:" + std::to_string(port) + "/pkg/tav.bin";
    EXPECT_TRUE(HostTable().InitHost(url));
    EXPECT_EQ(DnsInfo(url), c.kept);
    // Known now: no second vote, and the addresses stay as they are.
    EXPECT_TRUE(HostTable().InitHost(url));
    EXPECT_EQ(DnsInfo(url), c.kept);
  }
}

TEST_F(HostTableTest, GetRemoteFileSizeReadsContentLength) {
  const int port = FreePort();
  const std::string log = sandbox_.Path("requests.jsonl");
  tavtest::DevServerRun server;
  ASSERT_TRUE(server.Start(TAV_DEVSERVER_EXE, sandbox_.root(),
                           PackageConfig(log, port, {{"127.0.0.2", kBig}})));
  const std::string base = "http://127.0.0.2:" + std::to_string(port);
  struct Case {
    std::string url;
    std::string host;
    int64_t size;
  };
  const std::vector<Case> cases = {
      {base + "/pkg/tav.bin", "", kBig},
      {base + "/pkg/tav.bin", "dl.tav.test", kBig},
      {base + "/chunked.bin", "", 0},  // no Content-Length
      {"http://127.0.0.2:" + std::to_string(FreePort()) + "/pkg/tav.bin", "", 0},  // refused
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url + " host " + c.host);
    EXPECT_EQ(GetRemoteFileSize(c.url, c.host), c.size);
  }

  const std::vector<std::string> lines = Lines(tavtest::ReadFile(log));
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string& line : lines) {
    const std::string lower = Lower(line);
    EXPECT_NE(lower.find("\"method\":\"head\""), std::string::npos) << line;
    EXPECT_NE(lower.find("\"connection\":\"close\""), std::string::npos) << line;
    EXPECT_NE(lower.find("\"cache-control\":\"no-cache\""), std::string::npos) << line;
    EXPECT_NE(lower.find("\"pragma\":\"no-cache\""), std::string::npos) << line;
  }
  EXPECT_NE(Lower(lines[0]).find("\"host\":\"127.0.0.2:" + std::to_string(port) + "\""),
            std::string::npos)
      << lines[0];
  EXPECT_NE(Lower(lines[1]).find("\"host\":\"dl.tav.test\""), std::string::npos) << lines[1];
}

TEST_F(HostTableTest, CdnFileSizeIsTheMajorityOfTheHostsAddresses) {
  const int port = FreePort();
  const std::string log = sandbox_.Path("requests.jsonl");
  tavtest::DevServerRun server;
  ASSERT_TRUE(server.Start(
      TAV_DEVSERVER_EXE, sandbox_.root(),
      PackageConfig(log, port, {{"127.0.0.2", kBig}, {"127.0.0.3", 1000}, {"127.0.0.4", kBig}})));
  UseHosts("dl.tav.test 127.0.0.2 127.0.0.3 127.0.0.4\nlone.tav.test 127.0.0.3\n");
  const std::string url = "http://dl.tav.test:" + std::to_string(port) + "/pkg/tav.bin";
  EXPECT_EQ(GetCdnFileSize(url, kSlackTimeouts), kBig);

  struct Case {
    std::string url;
    int64_t size;
    bool matches;
  };
  const std::vector<Case> cases = {
      {url, kBig, true},
      {url, kBig & 0xffffffff, false},  // the size cut to 32 bits is another size
      {url, 1000, false},
      {"http://lone.tav.test:" + std::to_string(port) + "/pkg/tav.bin", 1000, true},
      {"http://nobody.invalid/pkg/tav.bin", 0, false},  // no size is never a match
      {"", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url + " size " + std::to_string(c.size));
    EXPECT_EQ(CheckCdnFileSize(c.url, c.size, kSlackTimeouts), c.matches);
  }
  // The probe's own limits: a refused port gives no size either.
  EXPECT_EQ(GetCdnFileSize("http://dl.tav.test:" + std::to_string(FreePort()) + "/pkg/tav.bin"), 0);

  // Each address was asked by name, on its own address.
  const std::string requests = Lower(tavtest::ReadFile(log));
  for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    SCOPED_TRACE(address);
    EXPECT_NE(requests.find("\"local_address\":\"" + std::string(address) + "\""),
              std::string::npos);
  }
  EXPECT_NE(requests.find("\"host\":\"dl.tav.test\""), std::string::npos) << requests;
  EXPECT_EQ(requests.find("\"method\":\"get\""), std::string::npos);
}

// HTTP-DNS: a resolver stand-in with an account, one that answers no list,
// one that answers nothing, and a port where nobody listens.
class HttpDnsTest : public HostTableTest {
 protected:
  void SetUp() override {
    HostTableTest::SetUp();
    log_ = sandbox_.Path("requests.jsonl");
    ASSERT_TRUE(server_.Start(TAV_DEVSERVER_EXE, sandbox_.root(), R"({"log": ")" + log_ + R"(",
      "hosts": [
        {"name": "dns", "address": "127.0.0.1", "port": 0, "endpoints": [{"path": "/resolve",
          "kind": "resolve", "account": {"id": "1042", "secret": "s3cret", "access": "ak7"},
          "names": {"dl.tav.test": ["127.0.0.2", "127.0.0.3"],
                    "dl.fallback.invalid": ["127.0.0.4"], "bad.invalid": ["x", "127.0.0.5"]}}]},
        {"name": "garbage", "address": "127.0.0.1", "port": 0, "endpoints": [{"path": "/resolve",
          "kind": "fixed", "body": "127.0.0.2,127.0.0.3"}]},
        {"name": "blank", "address": "127.0.0.1", "port": 0, "endpoints": [{"path": "/resolve",
          "kind": "fixed", "body": ""}]}]})"));
    refused_ = "http://127.0.0.1:" + std::to_string(FreePort());
  }

  // Makes this machine root's deployment use the two resolvers; the caller
  // holds a fresh sandbox, as the deployment is read once per root.
  static void UseResolvers(const std::string& primary, const std::string& fallback,
                           const std::string& secret = "s3cret") {
    ASSERT_TRUE(tavtest::WriteFile(
        std::string(std::getenv("TAV_ROOT")) + "/resources/XML/150",
        "<Deployment><HttpDnsPrimary>" + primary + "</HttpDnsPrimary><HttpDnsFallback>" + fallback +
            "</HttpDnsFallback><HttpDnsAccountId>1042</HttpDnsAccountId>" + "<HttpDnsSecretKey>" +
            secret + "</HttpDnsSecretKey>" +
            "<HttpDnsAccessKey>ak7</HttpDnsAccessKey></Deployment>"));
  }

  std::string log_;
  tavtest::DevServerRun server_;
  std::string refused_;
};

TEST_F(HttpDnsTest, AsksThePrimaryThenTheFallbackResolver) {
  const std::string dns = server_.Url("dns");
  struct Case {
    const char* name;
    std::string primary;
    std::string fallback;
    std::string host;
    std::string secret;
    std::vector<std::string> addresses;
  };
  const std::vector<std::string> two = {"127.0.0.2", "127.0.0.3"};
  const std::vector<Case> cases = {
      {"primary answers", dns, refused_, "dl.tav.test", "s3cret", two},
      {"primary with a trailing slash", dns + "/", "", "dl.tav.test", "s3cret", two},
      {"primary refused", refused_, dns, "dl.tav.test", "s3cret", two},
      {"primary answers nothing", server_.Url("blank"), dns, "dl.tav.test", "s3cret", two},
      {"both refused", refused_, refused_, "dl.tav.test", "s3cret", {}},
      {"not a list", server_.Url("garbage"), dns, "dl.tav.test", "s3cret", {}},
      {"unknown name", dns, dns, "nobody.invalid", "s3cret", {}},
      {"only addresses count", dns, "", "bad.invalid", "s3cret", {"127.0.0.5"}},
      {"wrong key", dns, "", "dl.tav.test", "guess", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tavtest::Sandbox fresh;
    UseResolvers(c.primary, c.fallback, c.secret);
    EXPECT_EQ(HttpDnsQuery(c.host), c.addresses);
  }

  // The query carries the account and the name in a fixed order, over HTTP/1.0.
  const std::string requests = tavtest::ReadFile(log_);
  EXPECT_NE(requests.find("\"query\":\"type=1&short=1&uid=1042&ak=ak7&name=dl.tav.test&ts="),
            std::string::npos)
      << requests;
  EXPECT_NE(requests.find("\"version\":\"HTTP/1.0\""), std::string::npos);
  EXPECT_NE(requests.find("\"status\":403"), std::string::npos);
}

TEST_F(HttpDnsTest, QueryHostFallsBackToHttpDns) {
  tavtest::Sandbox fresh;
  UseResolvers(refused_, server_.Url("dns"));
  UseHosts("dl.tav.test 127.0.0.9\n");
  // The system resolver knows this one: HTTP-DNS is not asked.
  EXPECT_TRUE(HostTable().QueryHost("dl.tav.test"));
  EXPECT_EQ(DnsInfo("http://dl.tav.test/pkg"), "127.0.0.9");
  // ".invalid" names are unknown to the system resolver.
  EXPECT_TRUE(HostTable().QueryHost("dl.fallback.invalid"));
  EXPECT_EQ(DnsInfo("http://dl.fallback.invalid/pkg"), "127.0.0.4");
  EXPECT_FALSE(HostTable().QueryHost("nobody.invalid"));
  EXPECT_FALSE(HostTable().InitHost("http://nobody.invalid/pkg/tav.bin"));
  EXPECT_FALSE(HostTable().IsHostKnown("http://nobody.invalid/pkg/tav.bin"));
  EXPECT_EQ(tavtest::ReadFile(log_).find("name=dl.tav.test"), std::string::npos);
}

}  // namespace
