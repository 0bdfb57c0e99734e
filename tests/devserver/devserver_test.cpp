// The devserver program, run for real: configuration in a sandbox, port 0,
// real ports read from its "ready" lines, plain cpp-httplib clients.
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devserver/devserver_config.h"
#include "support/sandbox.h"

extern char** environ;

namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

JsonPtr ParseJson(const std::string& text) {
  return JsonPtr(cJSON_Parse(text.c_str()), cJSON_Delete);
}

std::string JsonString(const cJSON* object, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
  return cJSON_IsString(item) ? item->valuestring : "";
}

double JsonNumber(const cJSON* object, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
  return cJSON_IsNumber(item) ? item->valuedouble : -1;
}

// Bytes that differ from position to position, so a wrong offset shows.
std::string Pattern(size_t size) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i)
    out[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty())
      out.push_back(line);
  }
  return out;
}

// One run of the program. The destructor ends a child that is still there.
class DevserverRun {
 public:
  explicit DevserverRun(const tavtest::Sandbox& box) : box_(box) {}
  ~DevserverRun() {
    if (out_ >= 0)
      close(out_);
    if (pid_ <= 0)
      return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

  // Writes `config` and starts the program; true once `hosts` ready lines
  // came (the URLs are then in urls()).
  bool Start(const std::string& config, size_t hosts, std::vector<std::string> extra = {}) {
    std::string config_path = box_.Path("devserver.json");
    if (!tavtest::WriteFile(config_path, config))
      return false;
    std::vector<std::string> args = {TAV_DEVSERVER_EXE, "--config", config_path};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!Spawn(args))
      return false;
    return ReadReadyLines(hosts);
  }

  // Waits (bounded) for the child to end; its wait status, or -1.
  int WaitExit() {
    for (int i = 0; i < 1000 && pid_ > 0; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // Sends `sig` and waits for the exit; the wait status, or -1.
  int Stop(int sig = SIGTERM) {
    if (pid_ <= 0)
      return -1;
    kill(pid_, sig);
    return WaitExit();
  }

  const std::map<std::string, std::string>& urls() const { return urls_; }
  std::string Url(const std::string& name) const {
    auto it = urls_.find(name);
    return it == urls_.end() ? "" : it->second;
  }
  const std::string& stdout_text() const { return stdout_; }
  std::string stderr_text() const { return tavtest::ReadFile(box_.Path("stderr.txt")); }

 private:
  bool Spawn(const std::vector<std::string>& args) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
      return false;
    std::string err_path = box_.Path("stderr.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> argv;
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    out_ = pipe_fds[0];
    if (rc != 0)
      pid_ = -1;
    return rc == 0;
  }

  // Reads stdout until `hosts` ready lines, the end of the output, or a
  // generous bound that only a broken program reaches.
  bool ReadReadyLines(size_t hosts) {
    for (int i = 0; i < 100 && urls_.size() < hosts; ++i) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0)
        continue;
      char buffer[4096];
      ssize_t n = read(out_, buffer, sizeof buffer);
      if (n <= 0)
        return false;
      stdout_.append(buffer, static_cast<size_t>(n));
      ParseReady();
    }
    return urls_.size() == hosts;
  }

  void ParseReady() {
    for (const std::string& line : Lines(stdout_)) {
      std::istringstream in(line);
      std::string word, name, url;
      if (in >> word >> name >> url && word == "ready")
        urls_[name] = url;
    }
  }

  const tavtest::Sandbox& box_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::string stdout_;
  std::map<std::string, std::string> urls_;
};

bool ExitedWith(int status, int code) {
  return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

std::unique_ptr<httplib::Client> ClientFor(const std::string& url) {
  auto client = std::make_unique<httplib::Client>(url);
  client->set_connection_timeout(2);
  client->set_read_timeout(10);
  return client;
}

bool CanBind(const char* address) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, address, &sa.sin_addr);
  bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  if (fd >= 0)
    close(fd);
  return ok;
}

// A sandbox with pkg/a.bin (1000 bytes, a known mtime) and a secret beside
// the served folder.
class DevserverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    content_ = Pattern(1000);
    ASSERT_TRUE(tavtest::WriteFile(box_.Path("pkg/a.bin"), content_));
    ASSERT_TRUE(tavtest::WriteFile(box_.Path("secret.txt"), "top secret"));
    timespec times[2] = {{1614834367, 0}, {1614834367, 0}};  // 2021-03-04 05:06:07 UTC
    ASSERT_EQ(utimensat(AT_FDCWD, box_.Path("pkg/a.bin").c_str(), times, 0), 0);
  }

  // One plain host "downloads" on 127.0.0.2 serving pkg/ under /pkg/, with
  // `more` appended inside the host object.
  std::string OneHost(const std::string& more = "") const {
    return R"({"log": ")" + box_.Path("requests.jsonl") +
           R"(", "hosts": [{"name": "downloads", "address": "127.0.0.2", "port": 0,
             "static": [{"prefix": "/pkg/", "dir": "pkg"}])" +
           more + "}]}";
  }

  std::vector<JsonPtr> LogLines() const {
    std::vector<JsonPtr> out;
    for (const std::string& line : Lines(tavtest::ReadFile(box_.Path("requests.jsonl"))))
      out.push_back(ParseJson(line));
    return out;
  }

  tavtest::Sandbox box_;
  std::string content_;
};

TEST_F(DevserverTest, ServesWholeFileWithItsHeadersAndWritesReadyFile) {
  DevserverRun run(box_);
  ASSERT_TRUE(run.Start(OneHost(), 1, {"--ready-file", box_.Path("ready.json")}))
      << run.stderr_text();
  std::string url = run.Url("downloads");
  EXPECT_EQ(url.rfind("http://127.0.0.2:", 0), 0u) << url;

  auto client = ClientFor(url);
  auto res = client->Get("/pkg/a.bin");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, content_);
  EXPECT_EQ(res->get_header_value("Content-Length"), "1000");
  EXPECT_EQ(res->get_header_value("Content-Type"), "application/octet-stream");
  EXPECT_EQ(res->get_header_value("Last-Modified"), "Thu, 04 Mar 2021 05:06:07 GMT");
  EXPECT_EQ(res->get_header_value("Accept-Ranges"), "bytes");

  auto head = client->Head("/pkg/a.bin");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_TRUE(head->body.empty());
  EXPECT_EQ(head->get_header_value("Content-Length"), "1000");
  EXPECT_EQ(head->get_header_value("Last-Modified"), "Thu, 04 Mar 2021 05:06:07 GMT");

  auto ready = ParseJson(tavtest::ReadFile(box_.Path("ready.json")));
  ASSERT_TRUE(ready);
  const cJSON* hosts = cJSON_GetObjectItemCaseSensitive(ready.get(), "hosts");
  ASSERT_EQ(cJSON_GetArraySize(hosts), 1);
  EXPECT_EQ(JsonString(cJSON_GetArrayItem(hosts, 0), "name"), "downloads");
  EXPECT_EQ(JsonString(cJSON_GetArrayItem(hosts, 0), "url"), url);
  EXPECT_TRUE(ExitedWith(run.Stop(), 0));
}

TEST_F(DevserverTest, AnswersSingleByteRanges) {
  struct Case {
    const char* range;
    const char* method;
    int status;
    const char* content_range;
    size_t first;
    size_t length;
  };
  const Case cases[] = {
      {"bytes=0-9", "GET", 206, "bytes 0-9/1000", 0, 10},
      {"bytes=100-199", "GET", 206, "bytes 100-199/1000", 100, 100},
      {"bytes=990-", "GET", 206, "bytes 990-999/1000", 990, 10},
      {"bytes=-10", "GET", 206, "bytes 990-999/1000", 990, 10},
      {"bytes=995-5000", "GET", 206, "bytes 995-999/1000", 995, 5},
      {"bytes=-5000", "GET", 206, "bytes 0-999/1000", 0, 1000},
      {"bytes=999-999", "GET", 206, "bytes 999-999/1000", 999, 1},
      {"bytes=1000-", "GET", 416, "bytes */1000", 0, 0},
      {"bytes=2000-3000", "GET", 416, "bytes */1000", 0, 0},
      {"bytes=-0", "GET", 416, "bytes */1000", 0, 0},
      {"bytes=0-1,5-6", "GET", 200, "", 0, 1000},
      {"bytes=10-19", "HEAD", 206, "bytes 10-19/1000", 10, 10},
  };
  DevserverRun run(box_);
  ASSERT_TRUE(run.Start(OneHost(), 1)) << run.stderr_text();
  auto client = ClientFor(run.Url("downloads"));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.range);
    httplib::Headers headers = {{"Range", c.range}};
    bool head = std::string(c.method) == "HEAD";
    auto res = head ? client->Head("/pkg/a.bin", headers) : client->Get("/pkg/a.bin", headers);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    EXPECT_EQ(res->get_header_value("Content-Range"), c.content_range);
    EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(c.length));
    EXPECT_EQ(res->body, head ? "" : content_.substr(c.first, c.length));
  }
  EXPECT_TRUE(ExitedWith(run.Stop(), 0));
}

TEST_F(DevserverTest, NeverServesOutsideTheFolder) {
  ASSERT_EQ(symlink(box_.Path("secret.txt").c_str(), box_.Path("pkg/link.txt").c_str()), 0);
  const char* const paths[] = {
      "/pkg/../secret.txt",
      "/pkg/%2e%2e/secret.txt",
      "/pkg/%2E%2E%2Fsecret.txt",
      "/pkg/..%2fsecret.txt",
      "/pkg/x/../../secret.txt",
      "/pkg/%252e%252e/secret.txt",
      "/pkg/..\\secret.txt",
      "/pkg/a.bin%00",
      "/pkg//..//secret.txt",
      "/pkg/link.txt",
      "/pkg/",
      "/pkg",
  };
  DevserverRun run(box_);
  ASSERT_TRUE(run.Start(OneHost(), 1)) << run.stderr_text();
  auto client = ClientFor(run.Url("downloads"));
  for (const char* path : paths) {
    SCOPED_TRACE(path);
    auto res = client->Get(path);
    ASSERT_TRUE(res);
    EXPECT_GE(res->status, 400);
    EXPECT_EQ(res->body.find("top secret"), std::string::npos);
  }
  // The attempts arrived as sent: nothing on the way tidied the paths.
  std::vector<JsonPtr> log = LogLines();
  ASSERT_EQ(log.size(), std::size(paths));
  EXPECT_EQ(JsonString(log[0].get(), "target"), "/pkg/../secret.txt");
  EXPECT_EQ(JsonString(log[1].get(), "path"), "/pkg/../secret.txt");
  EXPECT_TRUE(ExitedWith(run.Stop(), 0));
}

TEST_F(DevserverTest, LogsEveryRequestAsAJsonLine) {
  std::string config = OneHost(R"(, "endpoints": [{"path": "/api/echo", "kind": "fixed",
                                  "methods": ["POST"], "body": "ok"}])");
  DevserverRun run(box_);
  ASSERT_TRUE(run.Start(config, 1)) << run.stderr_text();
  std::string url = run.Url("downloads");
  auto client = ClientFor(url);
  ASSERT_TRUE(client->Get("/pkg/a.bin?x=1&y=two", {{"X-Tav-Test", "yes"}, {"Range", "bytes=0-3"}}));
  ASSERT_TRUE(client->Post("/api/echo", "hello", "text/plain"));
  ASSERT_TRUE(client->Get("/missing"));

  struct Expected {
    const char* method;
    const char* path;
    const char* query;
    int status;
    int body_size;
    const char* header;
    const char* value;
  };
  const Expected expected[] = {
      {"GET", "/pkg/a.bin", "x=1&y=two", 206, 0, "X-Tav-Test", "yes"},
      {"POST", "/api/echo", "", 200, 5, "Content-Type", "text/plain"},
      {"GET", "/missing", "", 404, 0, "Host", nullptr},
  };
  std::vector<JsonPtr> log = LogLines();
  ASSERT_EQ(log.size(), std::size(expected));
  std::string port = url.substr(url.rfind(':') + 1);
  for (size_t i = 0; i < log.size(); ++i) {
    SCOPED_TRACE(expected[i].path);
    const cJSON* line = log[i].get();
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(JsonString(line, "host"), "downloads");
    EXPECT_EQ(JsonString(line, "method"), expected[i].method);
    EXPECT_EQ(JsonString(line, "path"), expected[i].path);
    EXPECT_EQ(JsonString(line, "query"), expected[i].query);
    EXPECT_EQ(JsonNumber(line, "status"), expected[i].status);
    EXPECT_EQ(JsonNumber(line, "body_size"), expected[i].body_size);
    EXPECT_EQ(JsonString(line, "local_address"), "127.0.0.2");
    EXPECT_EQ(std::to_string(static_cast<int>(JsonNumber(line, "local_port"))), port);
    EXPECT_EQ(JsonString(line, "remote_address").rfind("127.", 0), 0u);
    EXPECT_FALSE(JsonString(line, "time").empty());
    const cJSON* headers = cJSON_GetObjectItemCaseSensitive(line, "headers");
    EXPECT_EQ(JsonString(headers, "Host"), "127.0.0.2:" + port);
    if (expected[i].value != nullptr) {
      EXPECT_EQ(JsonString(headers, expected[i].header), expected[i].value);
    }
    // The library's own bookkeeping is not a header that came in.
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(headers, "REMOTE_ADDR"), nullptr);
  }
  EXPECT_TRUE(ExitedWith(run.Stop(), 0));
}

TEST_F(DevserverTest, ServesASecondHostOnItsOwnAddress) {
  if (!CanBind("127.0.0.3"))
    GTEST_SKIP() << "127.0.0.3 cannot be bound here";
  ASSERT_TRUE(tavtest::WriteFile(box_.Path("other/b.txt"), "from the other host"));
  std::string config = R"({"log": "requests.jsonl", "hosts": [
      {"name": "downloads", "address": "127.0.0.2", "static": [{"prefix": "/pkg/", "dir": "pkg"}]},
      {"name": "mirror", "address": "127.0.0.3", "port": 0,
       "static": [{"prefix": "/", "dir": "other", "content_type": "text/plain"}]}]})";
  DevserverRun run(box_);
  ASSERT_TRUE(run.Start(config, 2)) << run.stderr_text();
  ASSERT_EQ(run.Url("mirror").rfind("http://127.0.0.3:", 0), 0u) << run.stdout_text();

  auto mirror = ClientFor(run.Url("mirror"));
  auto res = mirror->Get("/b.txt");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, "from the other host");
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain");
  EXPECT_EQ(mirror->Get("/pkg/a.bin")->status, 404);
  EXPECT_EQ(ClientFor(run.Url("downloads"))->Get("/pkg/a.bin")->body, content_);

  std::vector<JsonPtr> log = LogLines();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(JsonString(log[0].get(), "host"), "mirror");
  EXPECT_EQ(JsonString(log[0].get(), "local_address"), "127.0.0.3");
  EXPECT_EQ(JsonString(log[2].get(), "host"), "downloads");
  EXPECT_EQ(JsonString(log[2].get(), "local_address"), "127.0.0.2");
  EXPECT_TRUE(ExitedWith(run.Stop(), 0));
}

TEST_F(DevserverTest, HttpsWithMadeCertificateVerifiesAgainstWrittenCa) {
  std::string config = R"({"log": "requests.jsonl", "hosts": [
      {"name": "secure", "address": "127.0.0.2", "tls": "auto", "ca_out": "ca.pem",
       "static": [{"prefix": "/pkg/", "dir": "pkg"}]}]})";
  DevserverRun run(box_);
  ASSERT_TRUE(run.Start(config, 1)) << run.stderr_text();
  std::string url = run.Url("secure");
  ASSERT_EQ(url.rfind("https://127.0.0.2:", 0), 0u) << url;
  int port = std::stoi(url.substr(url.rfind(':') + 1));
  ASSERT_NE(tavtest::ReadFile(box_.Path("ca.pem")).find("BEGIN CERTIFICATE"), std::string::npos);

  httplib::SSLClient trusting("127.0.0.2", port);
  trusting.set_ca_cert_path(box_.Path("ca.pem"));
  trusting.enable_server_certificate_verification(true);
  trusting.set_connection_timeout(2);
  auto res = trusting.Get("/pkg/a.bin", {{"Range", "bytes=-100"}});
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(res->status, 206);
  EXPECT_EQ(res->body, content_.substr(900));

  // Without the written CA the same certificate is refused: the check is real.
  std::string empty_ca = box_.Path("empty.pem");
  ASSERT_TRUE(tavtest::WriteFile(empty_ca, ""));
  httplib::SSLClient doubting("127.0.0.2", port);
  doubting.set_ca_cert_path(empty_ca);
  doubting.enable_server_certificate_verification(true);
  doubting.set_connection_timeout(2);
  EXPECT_FALSE(doubting.Get("/pkg/a.bin"));

  std::vector<JsonPtr> log = LogLines();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(log[0].get(), "tls")), 1);
  EXPECT_TRUE(ExitedWith(run.Stop(), 0));
}

TEST_F(DevserverTest, StopsCleanlyOnSignalsEvenWithATransferStalled) {
  const int signals[] = {SIGTERM, SIGINT};
  for (int sig : signals) {
    SCOPED_TRACE(strsignal(sig));
    unlink(box_.Path("requests.jsonl").c_str());
    std::string config = OneHost(R"(, "paths": [{"path": "/pkg/a.bin", "faults": {"stall_after": 10,
                                "stall_ms": 600000}}])");
    DevserverRun run(box_);
    ASSERT_TRUE(run.Start(config, 1)) << run.stderr_text();
    std::string url = run.Url("downloads");
    std::atomic<size_t> received{0};
    std::thread transfer([&] {
      auto client = ClientFor(url);
      client->Get("/pkg/a.bin", [&](const char*, size_t n) {
        received += n;
        return true;
      });
    });
    // The first 10 bytes arrive, then the body stalls.
    for (int i = 0; i < 500 && received < 10; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(received, 10u);
    int status = run.Stop(sig);
    transfer.join();
    EXPECT_TRUE(ExitedWith(status, 0)) << status;
    EXPECT_EQ(LogLines().size(), 1u);
  }
}

TEST_F(DevserverTest, RefusesAddressesOutsideLoopback) {
  const char* const addresses[] = {"0.0.0.0",   "192.168.1.10", "10.0.0.1",
                                   "128.0.0.1", "::1",          "localhost"};
  for (const char* address : addresses) {
    SCOPED_TRACE(address);
    std::string config =
        std::string(R"({"hosts": [{"name": "bad", "address": ")") + address + R"(", "port": 0}]})";
    DevserverRun run(box_);
    EXPECT_FALSE(run.Start(config, 1));
    int status = run.WaitExit();
    EXPECT_TRUE(ExitedWith(status, 2)) << status;
    EXPECT_NE(run.stderr_text().find("127.0.0.0/8"), std::string::npos) << run.stderr_text();
    EXPECT_EQ(run.stdout_text().find("ready"), std::string::npos);
  }
}

TEST_F(DevserverTest, AppliesFaultSwitchesPerPath) {
  for (const char* name : {"norange", "status", "type", "chunked", "size", "trickle", "stall"})
    ASSERT_TRUE(tavtest::WriteFile(box_.Path(std::string("pkg/") + name + ".bin"), content_));
  std::string config = OneHost(R"(, "paths": [
      {"path": "/pkg/norange.bin", "faults": {"no_ranges": true}},
      {"path": "/pkg/status.bin", "faults": {"status": 503}},
      {"path": "/pkg/type.bin", "faults": {"content_type": "text/html"}},
      {"path": "/pkg/chunked.bin", "faults": {"chunked": true}},
      {"path": "/pkg/size.bin", "faults": {"size": 1500}},
      {"path": "/pkg/trickle.bin", "faults": {"trickle_bps": 20000}},
      {"path": "/pkg/stall.bin", "faults": {"stall_after": 100, "stall_ms": 20}},
      {"path": "/pkg/abs", "faults": {"redirect": {"to": "/pkg/a.bin", "form": "absolute"}}},
      {"path": "/pkg/rooted", "faults": {"redirect": {"to": "/pkg/a.bin", "status": 301}}},
      {"path": "/pkg/sub/rel", "faults": {"redirect": {"to": "/pkg/a.bin", "form": "relative"}}}
    ])");
  DevserverRun run(box_);
  ASSERT_TRUE(run.Start(config, 1)) << run.stderr_text();
  std::string url = run.Url("downloads");
  std::string padded = content_ + std::string(500, '\0');

  struct Case {
    const char* path;
    const char* range;
    int status;
    const char* header;
    std::string value;
    std::string body;
  };
  const Case cases[] = {
      {"/pkg/norange.bin", "bytes=0-9", 200, "Content-Length", "1000", content_},
      {"/pkg/status.bin", "", 503, "Content-Type", "text/plain", "status 503\n"},
      {"/pkg/type.bin", "", 200, "Content-Type", "text/html", content_},
      {"/pkg/chunked.bin", "", 200, "Transfer-Encoding", "chunked", content_},
      {"/pkg/chunked.bin", "bytes=10-19", 206, "Content-Range", "bytes 10-19/1000",
       content_.substr(10, 10)},
      {"/pkg/size.bin", "", 200, "Content-Length", "1500", padded},
      {"/pkg/size.bin", "bytes=1400-", 206, "Content-Range", "bytes 1400-1499/1500",
       padded.substr(1400)},
      {"/pkg/trickle.bin", "bytes=0-1999", 206, "Content-Length", "1000", content_},
      {"/pkg/stall.bin", "", 200, "Content-Length", "1000", content_},
      {"/pkg/abs", "", 302, "Location", url + "/pkg/a.bin", ""},
      {"/pkg/rooted", "", 301, "Location", "/pkg/a.bin", ""},
      {"/pkg/sub/rel", "", 302, "Location", "../a.bin", ""},
  };
  auto client = ClientFor(url);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.range);
    httplib::Headers headers;
    if (*c.range != '\0')
      headers.emplace("Range", c.range);
    auto res = client->Get(c.path, headers);
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, c.status);
    EXPECT_EQ(res->get_header_value(c.header), c.value);
    EXPECT_EQ(res->body, c.body);
  }
  EXPECT_TRUE(ExitedWith(run.Stop(), 0));
}

TEST_F(DevserverTest, CutsTheConnectionAfterTheConfiguredBytes) {
  std::string config = OneHost(R"(, "faults": {"cut_after": 300}, "paths": [{"prefix": "/pkg/whole",
                  "faults": {"cut_after": 100000}}])");
  ASSERT_TRUE(tavtest::WriteFile(box_.Path("pkg/whole.bin"), content_));
  DevserverRun run(box_);
  ASSERT_TRUE(run.Start(config, 1)) << run.stderr_text();
  struct Case {
    const char* path;
    size_t received;
    bool complete;
  };
  const Case cases[] = {{"/pkg/a.bin", 300, false}, {"/pkg/whole.bin", 1000, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    size_t received = 0;
    auto res = ClientFor(run.Url("downloads"))->Get(c.path, [&](const char*, size_t n) {
      received += n;
      return true;
    });
    EXPECT_EQ(static_cast<bool>(res), c.complete);
    EXPECT_EQ(received, c.received);
  }
  EXPECT_TRUE(ExitedWith(run.Stop(), 0));
}

TEST_F(DevserverTest, FixedEndpointNamesOtherHostsAndKeepsItsMethods) {
  std::string config = OneHost(R"(, "endpoints": [{"path": "/xml/runtime.xml", "kind": "fixed",
      "methods": ["GET"], "content_type": "text/xml", "headers": {"X-Served-By": "devserver"},
      "body": "<r url=\"{{url:downloads}}/pkg/a.bin\"/>"}])");
  DevserverRun run(box_);
  ASSERT_TRUE(run.Start(config, 1)) << run.stderr_text();
  std::string url = run.Url("downloads");
  auto client = ClientFor(url);
  auto res = client->Get("/xml/runtime.xml");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, "<r url=\"" + url + "/pkg/a.bin\"/>");
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/xml");
  EXPECT_EQ(res->get_header_value("X-Served-By"), "devserver");
  auto post = client->Post("/xml/runtime.xml", "x", "text/plain");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 405);
  EXPECT_TRUE(ExitedWith(run.Stop(), 0));
}

TEST_F(DevserverTest, RefusesAnUnknownEndpointKindAtStart) {
  DevserverRun run(box_);
  EXPECT_FALSE(run.Start(OneHost(R"(, "endpoints": [{"path": "/t", "kind": "nope"}])"), 1));
  EXPECT_TRUE(ExitedWith(run.WaitExit(), 1));
  EXPECT_NE(run.stderr_text().find("unknown kind \"nope\""), std::string::npos)
      << run.stderr_text();
}

// The parser alone: what is refused and why.
TEST(DevserverConfigTest, RefusesBadConfigurationsNamingTheKey) {
  struct Case {
    const char* json;
    const char* error_part;
  };
  const Case cases[] = {
      {"[]", "must be a JSON object"},
      {"{\"hosts\": []}", "needs at least one host"},
      {"{\"hosts\": [{\"address\": \"127.0.0.2\"}]}", "missing \"name\""},
      {"{\"hosts\": [{\"name\": \"a\", \"address\": \"8.8.8.8\"}]}", "127.0.0.0/8"},
      {"{\"hosts\": [{\"name\": \"a\", \"address\": \"127.0.0.2\", \"port\": 70000}]}",
       "hosts[0].port"},
      {"{\"hosts\": [{\"name\": \"a\", \"address\": \"127.0.0.2\", \"prot\": 1}]}",
       "unknown key \"prot\""},
      {"{\"hosts\": [{\"name\": \"a\", \"address\": \"127.0.0.2\", \"tls\": \"yes\"}]}",
       "hosts[0].tls"},
      {"{\"hosts\": [{\"name\": \"a\", \"address\": \"127.0.0.2\", \"tls\": true}]}",
       "missing \"cert\""},
      {"{\"hosts\": [{\"name\": \"a\", \"address\": \"127.0.0.2\", \"faults\": {\"cut\": 1}}]}",
       "hosts[0].faults: unknown key \"cut\""},
      {"{\"hosts\": [{\"name\": \"a\", \"address\": \"127.0.0.2\", \"paths\": [{\"path\": \"/x\", "
       "\"faults\": {\"redirect\": {\"to\": \"/y\", \"form\": \"sideways\"}}}]}]}",
       "hosts[0].paths[0].faults.redirect.form"},
      {"{\"hosts\": [{\"name\": \"a\", \"address\": \"127.0.0.2\", \"endpoints\": [{\"kind\": "
       "\"fixed\"}]}]}",
       "hosts[0].endpoints[0]: needs exactly one of"},
      {"{\"hosts\": [{\"name\": \"a\", \"address\": \"127.0.0.2\"}, {\"name\": \"a\", "
       "\"address\": \"127.0.0.3\"}]}",
       "used twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    devserver::Config config;
    std::string error;
    EXPECT_FALSE(devserver::ParseConfig(c.json, "/base", &config, &error));
    EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
  }
}

TEST(DevserverConfigTest, ReadsHostsAndLaysPathFaultsOverHostFaults) {
  const char* json = R"({"log": "log.jsonl", "hosts": [{"name": "dl", "address": "127.0.0.5",
      "port": 8080, "tls": "auto", "ca_out": "ca.pem", "names": ["dl.test"],
      "static": [{"prefix": "/pkg", "dir": "/srv/pkg"}],
      "faults": {"no_ranges": true, "trickle_bps": 1000},
      "paths": [{"prefix": "/pkg/", "faults": {"trickle_bps": 5, "cut_after": 7}}]}]})";
  devserver::Config config;
  std::string error;
  ASSERT_TRUE(devserver::ParseConfig(json, "/base", &config, &error)) << error;
  EXPECT_EQ(config.log, "/base/log.jsonl");
  ASSERT_EQ(config.hosts.size(), 1u);
  const devserver::HostConfig& host = config.hosts[0];
  EXPECT_EQ(host.port, 8080);
  EXPECT_EQ(host.tls, devserver::TlsMode::kAuto);
  EXPECT_EQ(host.ca_out, "/base/ca.pem");
  EXPECT_EQ(host.names, std::vector<std::string>{"dl.test"});
  ASSERT_EQ(host.statics.size(), 1u);
  EXPECT_EQ(host.statics[0].prefix, "/pkg/");
  EXPECT_EQ(host.statics[0].content_type, "application/octet-stream");
  ASSERT_EQ(host.paths.size(), 1u);
  EXPECT_TRUE(host.paths[0].match.Matches("/pkg/a.bin"));
  EXPECT_FALSE(host.paths[0].match.Matches("/other"));
  devserver::Faults merged = devserver::MergeFaults(host.faults, host.paths[0].faults);
  EXPECT_EQ(merged.no_ranges, true);
  EXPECT_EQ(merged.trickle_bps, 5);
  EXPECT_EQ(merged.cut_after, 7);
  EXPECT_FALSE(merged.redirect.has_value());
}

}  // namespace
