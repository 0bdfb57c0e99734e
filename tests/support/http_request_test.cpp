#include "support/http_request.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/simple_log.h"
#include "platform/process.h"
#include "support/deployment.h"
#include "support/sandbox.h"

namespace {

// ---------------------------------------------------------------------------
// Loopback servers written for these tests: every byte they receive is kept,
// so a test can check the exact request text.

struct Received {
  std::string raw;  // the whole request as it arrived
  std::string request_line;
  std::string head;  // header lines after the request line, with the blank line
  std::string body;

  std::string Header(const std::string& key) const {
    std::string lower_head = head, lower_key = key + ":";
    for (char& c : lower_head)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : lower_key)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = lower_head.find(lower_key);
    if (at == std::string::npos)
      return {};
    const std::size_t begin = head.find_first_not_of(' ', at + lower_key.size());
    return head.substr(begin, head.find("\r\n", begin) - begin);
  }
  std::string Path() const {
    const std::size_t begin = request_line.find(' ') + 1;
    return request_line.substr(begin, request_line.rfind(' ') - begin);
  }
};

// A complete answer with Content-Length and Connection: close.
std::string Answer(const std::string& status, const std::string& body,
                   const std::string& extra_headers = "") {
  return "HTTP/1.1 " + status + "\r\n" + extra_headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string Redirect(const std::string& status, const std::string& location) {
  return Answer(status, "", "Location: " + location + "\r\n");
}

class TestServer {
 public:
  // Returns the raw answer for a request; "" resets the connection instead.
  using Handler = std::function<std::string(const Received&)>;

  explicit TestServer(Handler handler, SSL_CTX* tls = nullptr)
      : handler_(std::move(handler)), tls_(tls) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listen_fd_, 16) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0 ||
        pipe(stop_pipe_) != 0) {
      ADD_FAILURE() << "test server: errno " << errno;
      return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~TestServer() {
    if (thread_.joinable()) {
      const char stop = 's';
      [[maybe_unused]] const ssize_t written = write(stop_pipe_[1], &stop, 1);
      thread_.join();
    }
    close(listen_fd_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
  }
  uint16_t port() const { return port_; }
  std::string Url(const std::string& path, const std::string& scheme = "http",
                  const std::string& host = "127.0.0.1") const {
    return scheme + "://" + host + ":" + std::to_string(port_) + path;
  }
  std::vector<Received> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  struct Connection {
    int fd;
    SSL* ssl;
    int Read(char* buffer, int size) {
      return ssl != nullptr ? SSL_read(ssl, buffer, size)
                            : static_cast<int>(recv(fd, buffer, static_cast<size_t>(size), 0));
    }
    bool Write(const std::string& text) {
      std::size_t done = 0;
      while (done < text.size()) {
        const int n =
            ssl != nullptr
                ? SSL_write(ssl, text.data() + done, static_cast<int>(text.size() - done))
                : static_cast<int>(send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL));
        if (n <= 0)
          return false;
        done += static_cast<std::size_t>(n);
      }
      return true;
    }
  };

  void Run() {
    // OpenSSL writes with write(): a client that already left must give
    // EPIPE here, not end the test process. SIGPIPE is sent to the writing
    // thread, so blocking it in this thread is enough.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    for (;;) {
      pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno == EINTR)
        continue;
      if (fds[1].revents != 0)
        return;
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0)
        Serve(fd);
    }
  }

  static bool ReadRequest(Connection* connection, Received* request) {
    char buffer[16384];
    std::size_t head_end = std::string::npos;
    while ((head_end = request->raw.find("\r\n\r\n")) == std::string::npos) {
      const int n = connection->Read(buffer, sizeof(buffer));
      if (n <= 0)
        return false;
      request->raw.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t line_end = request->raw.find("\r\n");
    request->request_line = request->raw.substr(0, line_end);
    request->head = request->raw.substr(line_end + 2, head_end + 2 - line_end);
    const std::string length_text = request->Header("Content-Length");
    const std::size_t length = length_text.empty() ? 0 : std::stoul(length_text);
    while (request->raw.size() < head_end + 4 + length) {
      const int n = connection->Read(buffer, sizeof(buffer));
      if (n <= 0)
        return false;
      request->raw.append(buffer, static_cast<std::size_t>(n));
    }
    request->body = request->raw.substr(head_end + 4, length);
    return true;
  }

  void Serve(int fd) {
    // A client that stops talking must not hold the server thread.
    timeval timeout{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    Connection connection{fd, nullptr};
    if (tls_ != nullptr) {
      connection.ssl = SSL_new(tls_);
      SSL_set_fd(connection.ssl, fd);
      if (SSL_accept(connection.ssl) != 1) {
        SSL_free(connection.ssl);
        close(fd);
        return;
      }
    }
    Received request;
    if (ReadRequest(&connection, &request)) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(request);
      }
      const std::string answer = handler_(request);
      if (answer.empty()) {
        linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
      } else if (connection.Write(answer)) {
        if (connection.ssl != nullptr)
          SSL_shutdown(connection.ssl);
        shutdown(fd, SHUT_WR);
        char drain[4096];
        while (connection.Read(drain, sizeof(drain)) > 0) {
        }
      }
    }
    if (connection.ssl != nullptr)
      SSL_free(connection.ssl);
    close(fd);
  }

  Handler handler_;
  SSL_CTX* tls_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Received> seen_;
};

// A listener that never accepts: connections complete in the kernel and then
// hear nothing.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    listen(fd_, 8);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
  }
  ~SilentListener() { close(fd_); }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
};

uint16_t RefusedPort() {
  SilentListener listener;
  return listener.port();
}

// ---------------------------------------------------------------------------
// A certificate made for the test run.

struct TestCert {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
  std::unique_ptr<X509, decltype(&X509_free)> cert{nullptr, X509_free};
  std::string pem;
};

bool AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (extension == nullptr)
    return false;
  const bool added = X509_add_ext(cert, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

// Self-signed, for the subject alternative names `names` ("IP:...,DNS:...").
TestCert MakeCert(const std::string& common_name, const std::string& names) {
  TestCert made;
  made.key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  made.cert.reset(X509_new());
  X509* cert = made.cert.get();
  static std::atomic<long> serial{1};
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, made.key.get());
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1,
                             0);
  X509_set_issuer_name(cert, name);
  EXPECT_TRUE(AddExtension(cert, NID_basic_constraints, "critical,CA:TRUE"));
  EXPECT_TRUE(AddExtension(cert, NID_key_usage, "critical,digitalSignature,keyCertSign"));
  EXPECT_TRUE(AddExtension(cert, NID_subject_key_identifier, "hash"));
  EXPECT_TRUE(AddExtension(cert, NID_subject_alt_name, names.c_str()));
  EXPECT_GT(X509_sign(cert, made.key.get(), EVP_sha256()), 0);
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  made.pem.assign(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return made;
}

std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ServerContext(const TestCert& cert) {
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()),
                                                        SSL_CTX_free);
  EXPECT_EQ(SSL_CTX_use_certificate(ctx.get(), cert.cert.get()), 1);
  EXPECT_EQ(SSL_CTX_use_PrivateKey(ctx.get(), cert.key.get()), 1);
  return ctx;
}

// ---------------------------------------------------------------------------

const char kHeaderBlock[] =
    "HTTP/1.1 200 OK\r\n"
    "X-Test: yes\r\n"
    "Content-Type: text/plain\r\n"
    "Content-Length: 20\r\n"
    "Connection: close\r\n"
    "\r\n";
const char kTextBody[] = "line1\r\nline2\r\nlo\nend";  // 20 bytes

std::string ApiHandler(const Received& request) {
  if (request.Path() == "/text")
    return std::string(kHeaderBlock) +
           (request.request_line.rfind("HEAD", 0) == 0 ? "" : kTextBody);
  if (request.Path() == "/echo")
    return Answer("200 OK", "got:" + request.body + " token:" + request.Header("X-Token"));
  return Answer("404 Not Found", "none");
}

TEST(HttpRequestCurlTest, GetHeadAndPostWithCollectedHeaders) {
  TestServer server(ApiHandler);
  struct Case {
    const char* name;
    int method;
    std::string path;
    bool http10;
    bool collect;
    std::string post_body;
    std::string expected;
    std::string request_line;
  };
  const std::string header = kHeaderBlock;
  const Case cases[] = {
      {"get", CHttpRequest::kGet, "/text", false, false, "", "line1line2lo\nend",
       "GET /text HTTP/1.1"},
      {"get with headers", CHttpRequest::kGet, "/text", false, true, "",
       header + "line1line2lo\nend", "GET /text HTTP/1.1"},
      {"head with headers", CHttpRequest::kHead, "/text", false, true, "", header,
       "HEAD /text HTTP/1.1"},
      {"head", CHttpRequest::kHead, "/text", false, false, "", "", "HEAD /text HTTP/1.1"},
      {"post", CHttpRequest::kPost, "/echo", false, false, "a=1\r\nb=2", "got:a=1b=2 token:abc",
       "POST /echo HTTP/1.1"},
      {"get in http/1.0", CHttpRequest::kGet, "/text", true, false, "", "line1line2lo\nend",
       "GET /text HTTP/1.0"},
  };
  std::size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CHttpRequest request;
    int code = -1;
    const std::string result = request.CurlRequest(c.method, server.Url(c.path),
                                                   {"X-Token: abc", "Content-Type: text/plain"},
                                                   c.http10, c.collect, c.post_body, &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(result, c.expected);
    const std::vector<Received> requests = server.requests();
    ASSERT_EQ(requests.size(), seen + 1);
    const Received& got = requests.back();
    EXPECT_EQ(got.request_line, c.request_line);
    EXPECT_EQ(got.Header("X-Token"), "abc");
    EXPECT_EQ(got.body, c.post_body);
    seen = requests.size();
  }
}

TEST(HttpRequestCurlTest, FollowsUpToTenRedirects) {
  // /hop/N sends the client to /hop/N-1; /hop/0 answers.
  TestServer server([](const Received& request) {
    const int n = std::stoi(request.Path().substr(5));
    return n == 0 ? Answer("200 OK", "arrived")
                  : Redirect("302 Found", "/hop/" + std::to_string(n - 1));
  });
  struct Case {
    int hops;
    int code;
    std::string result;
  };
  const Case cases[] = {{1, 0, "arrived"}, {10, 0, "arrived"}, {11, CURLE_TOO_MANY_REDIRECTS, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hops);
    CHttpRequest request;
    int code = -1;
    EXPECT_EQ(request.CurlRequest(CHttpRequest::kGet, server.Url("/hop/" + std::to_string(c.hops)),
                                  {}, false, false, "", &code),
              c.result);
    EXPECT_EQ(code, c.code);
  }
}

TEST(HttpRequestCurlTest, ServerDownGivesTheErrorCode) {
  const std::string url = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/x";
  CHttpRequest request;
  int code = 0;
  EXPECT_EQ(request.CurlRequest(CHttpRequest::kGet, url, {}, false, true, "", &code), "");
  EXPECT_EQ(code, CURLE_COULDNT_CONNECT);
  code = 0;
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("up.bin"), "data"));
  EXPECT_EQ(request.CurlFormDataRequest(url, {}, sandbox.Path("up.bin"), &code), "");
  EXPECT_EQ(code, CURLE_COULDNT_CONNECT);
}

TEST(HttpRequestCurlTest, ShutdownAbortsAPendingRequest) {
  SilentListener listener;
  CHttpRequest request;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    request.Shutdown();
  });
  int code = 0;
  request.CurlRequest(CHttpRequest::kGet,
                      "http://127.0.0.1:" + std::to_string(listener.port()) + "/x", {}, false,
                      false, "", &code);
  stopper.join();
  EXPECT_EQ(code, CURLE_ABORTED_BY_CALLBACK);
}

// The part named "file" of a multipart body: its file name and content.
bool FindFilePart(const Received& request, std::string* file_name, std::string* content) {
  const std::string type = request.Header("Content-Type");
  const std::size_t at = type.find("boundary=");
  if (type.rfind("multipart/form-data", 0) != 0 || at == std::string::npos)
    return false;
  const std::string boundary = "--" + type.substr(at + 9);
  const std::string disposition = "Content-Disposition: form-data; name=\"file\"; filename=\"";
  const std::size_t part = request.body.find(disposition);
  if (request.body.rfind(boundary + "\r\n", 0) != 0 || part == std::string::npos)
    return false;
  const std::size_t name_begin = part + disposition.size();
  *file_name = request.body.substr(name_begin, request.body.find('"', name_begin) - name_begin);
  const std::size_t data_begin = request.body.find("\r\n\r\n", part) + 4;
  const std::size_t data_end = request.body.find("\r\n" + boundary + "--", data_begin);
  if (data_end == std::string::npos)
    return false;
  *content = request.body.substr(data_begin, data_end - data_begin);
  return true;
}

TEST(HttpRequestFormTest, UploadsTheFileAsPartFile) {
  tavtest::Sandbox sandbox;
  const std::string content("PK\x03\x04 dump\r\n\0 end", 17);
  const std::string path = sandbox.Path("reports/crash-report.zip");
  ASSERT_TRUE(tavtest::WriteFile(path, content));
  TestServer server([](const Received&) { return Answer("200 OK", "stored\r\nok"); });
  CHttpRequest request;
  int code = -1;
  EXPECT_EQ(request.CurlFormDataRequest(server.Url("/upload"), {"X-Auth: token1"}, path, &code),
            "storedok");
  EXPECT_EQ(code, 0);
  const std::vector<Received> requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].request_line, "POST /upload HTTP/1.0");
  EXPECT_EQ(requests[0].Header("X-Auth"), "token1");
  std::string file_name, sent;
  ASSERT_TRUE(FindFilePart(requests[0], &file_name, &sent)) << requests[0].raw;
  EXPECT_EQ(file_name, "crash-report.zip");
  EXPECT_EQ(sent, content);
}

TEST(HttpRequestFormTest, MissingFileFails) {
  tavtest::Sandbox sandbox;
  TestServer server([](const Received&) { return Answer("200 OK", "stored"); });
  CHttpRequest request;
  int code = 0;
  EXPECT_EQ(
      request.CurlFormDataRequest(server.Url("/upload"), {}, sandbox.Path("missing.zip"), &code),
      "");
  EXPECT_EQ(code, CURLE_READ_ERROR);
}

TEST(HttpRequestTlsTest, VerifiesCertificatesUnlessTurnedOff) {
  EXPECT_EQ(CHttpRequest().tls_verify(), GetDeployment().tls_verify);
  const TestCert good = MakeCert("127.0.0.1", "IP:127.0.0.1,DNS:localhost");
  const TestCert other = MakeCert("other.test", "DNS:other.test");
  struct Case {
    const char* name;
    const TestCert* cert;
    bool install_ca;
    bool verify;
    std::string host;
    bool ok;
  };
  const Case cases[] = {
      {"trusted by the bundle", &good, true, true, "127.0.0.1", true},
      {"trusted by the bundle, by name", &good, true, true, "localhost", true},
      {"unknown issuer", &good, false, true, "127.0.0.1", false},
      {"unknown issuer, not verified", &good, false, false, "127.0.0.1", true},
      {"wrong host name", &other, true, true, "127.0.0.1", false},
      {"wrong host name, not verified", &other, true, false, "127.0.0.1", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tavtest::Sandbox sandbox;
    if (c.install_ca) {
      ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("etc/ca.pem"), c.cert->pem));
    }
    ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("up.txt"), "report"));
    auto ctx = ServerContext(*c.cert);
    TestServer server([](const Received&) { return Answer("200 OK", "secret"); }, ctx.get());
    CHttpRequest request;
    request.set_tls_verify(c.verify);
    const std::string url = server.Url("/x", "https", c.host);
    int code = -1;
    const std::string result =
        request.CurlRequest(CHttpRequest::kGet, url, {}, false, false, "", &code);
    EXPECT_EQ(result, c.ok ? "secret" : "");
    EXPECT_EQ(code, c.ok ? CURLE_OK : CURLE_PEER_FAILED_VERIFICATION);
    code = -1;
    EXPECT_EQ(request.CurlFormDataRequest(url, {}, sandbox.Path("up.txt"), &code),
              c.ok ? "secret" : "");
    EXPECT_EQ(code, c.ok ? CURLE_OK : CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_EQ(server.requests().size(), c.ok ? 2u : 0u);
  }
}

// Answers of the raw POST tests, by path.
std::string PostHandler(const Received& request, uint16_t port) {
  const std::string path = request.Path();
  const std::string self = "http://127.0.0.1:" + std::to_string(port);
  if (path == "/ok" || path == "/a/b/ok")
    return Answer("200 OK", "fine");
  if (path == "/empty")
    return Answer("204 No Content", "");
  if (path == "/missing")
    return Answer("404 Not Found", "no");
  if (path == "/broken")
    return Answer("500 Internal Server Error", "no");
  if (path == "/garbage")
    return "garbage\r\n\r\n";
  if (path == "/reset")
    return "";
  if (path == "/rooted")
    return Redirect("302 Found", "/ok");
  if (path == "/absolute")
    return Redirect("301 Moved Permanently", self + "/ok");
  if (path == "/a/x/relative")
    return Redirect("307 Temporary Redirect", "../b/ok");
  if (path == "/loop")
    return Redirect("302 Found", "/loop");
  if (path == "/to-https")
    return Redirect("302 Found", "https://127.0.0.1:" + std::to_string(port) + "/ok");
  if (path == "/no-location")
    return Answer("302 Found", "");
  if (path.rfind("/hop/", 0) == 0) {
    const int n = std::stoi(path.substr(5));
    return n == 0 ? Answer("200 OK", "") : Redirect("302 Found", "/hop/" + std::to_string(n - 1));
  }
  return Answer("404 Not Found", "");
}

TEST(HttpRequestPostRawTest, SucceedsOnlyFor2xxAfterRedirects) {
  std::atomic<uint16_t> port{0};
  TestServer server([&](const Received& r) { return PostHandler(r, port.load()); });
  port = server.port();
  struct Case {
    std::string path;
    int result;
    std::vector<std::string> visited;
  };
  const std::vector<std::string> loop(11, "/loop");
  std::vector<std::string> ten_hops, eleven_hops;
  for (int i = 10; i >= 0; --i)
    ten_hops.push_back("/hop/" + std::to_string(i));
  for (int i = 11; i >= 1; --i)
    eleven_hops.push_back("/hop/" + std::to_string(i));
  const Case cases[] = {
      {"/ok", 0, {"/ok"}},
      {"/empty", 0, {"/empty"}},
      {"/missing", -1, {"/missing"}},
      {"/broken", -1, {"/broken"}},
      {"/garbage", -1, {"/garbage"}},
      {"/reset", -1, {"/reset"}},
      {"/rooted", 0, {"/rooted", "/ok"}},
      {"/absolute", 0, {"/absolute", "/ok"}},
      {"/a/x/relative", 0, {"/a/x/relative", "/a/b/ok"}},
      {"/to-https", -1, {"/to-https"}},
      {"/no-location", -1, {"/no-location"}},
      {"/loop", -1, loop},
      {"/hop/10", 0, ten_hops},
      {"/hop/11", -1, eleven_hops},
  };
  std::size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    CHttpRequest request;
    EXPECT_EQ(request.PostRaw(server.Url(c.path), "text/plain", "x=1"), c.result);
    const std::vector<Received> requests = server.requests();
    std::vector<std::string> visited;
    for (std::size_t i = seen; i < requests.size(); ++i) {
      visited.push_back(requests[i].Path());
      EXPECT_EQ(requests[i].body, "x=1");
    }
    EXPECT_EQ(visited, c.visited);
    seen = requests.size();
  }
}

TEST(HttpRequestPostRawTest, RejectsUrlsItCannotServe) {
  TestServer server([](const Received&) { return Answer("200 OK", ""); });
  const std::string port = std::to_string(server.port());
  const std::string cases[] = {
      "https://127.0.0.1:" + port + "/ok",
      "HTTPS://127.0.0.1:" + port + "/ok",
      "ftp://127.0.0.1:" + port + "/ok",
      "",
      "http:///ok",
      "127.0.0.1:" + port,
      "http://nonexistent.invalid:" + port + "/ok",
  };
  for (const std::string& url : cases) {
    SCOPED_TRACE(url);
    CHttpRequest request;
    EXPECT_EQ(request.PostRaw(url, "text/plain", "x"), -1);
  }
  EXPECT_TRUE(server.requests().empty());
}

TEST(HttpRequestPostRawTest, SendsTheExactRequestText) {
  std::atomic<uint16_t> port{0};
  TestServer server([&](const Received& r) {
    return r.Path() == "/api/start" ? Redirect("302 Found", "next/step?x=1") : Answer("200 OK", "");
  });
  port = server.port();
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  const std::string body = "{\"name\":\"caff\xc3\xa8\"}";  // 17 bytes, 16 characters
  auto expected = [&](const std::string& path, const std::string& referer) {
    return "POST " + path +
           " HTTP/1.1\r\n"
           "Accept: */*\r\n"
           "Referer: " +
           referer +
           "\r\n"
           "User-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1; Trident/4.0)\r\n"
           "Host: " +
           host +
           "\r\n"
           "Content-Type: application/json; charset=utf-8\r\n"
           "Content-Length: 17\r\n"
           "Connection: Close\r\n"
           "\r\n" +
           body;
  };
  struct Case {
    const char* name;
    std::string url;
    std::string referer;  // set on the request; "" derives it
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      {"derived referer, escaped path",
       "  http://" + host + "/api/v1/track me+x?id=1&u=a/b ",
       "",
       {expected("/api/v1/track%20me%2Bx?id=1&u=a/b", "http://" + host + "/api/v1")}},
      {"given referer",
       "http://" + host + "/api/v1",
       "http://example.test/page",
       {expected("/api/v1", "http://example.test/page")}},
      {"redirect",
       host + "/api/start",
       "",
       {expected("/api/start", "http://" + host + "/api"),
        expected("/api/next/step?x=1", "http://" + host + "/api")}},
  };
  std::size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CHttpRequest request;
    request.set_referer(c.referer);
    EXPECT_EQ(request.PostRaw(c.url, "application/json; charset=utf-8", body), 0);
    const std::vector<Received> requests = server.requests();
    ASSERT_EQ(requests.size(), seen + c.texts.size());
    for (std::size_t i = 0; i < c.texts.size(); ++i)
      EXPECT_EQ(requests[seen + i].raw, c.texts[i]);
    seen = requests.size();
  }
}

TEST(HttpRequestPostRawTest, ShutdownEndsAPendingPost) {
  SilentListener listener;
  CHttpRequest request;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    request.Shutdown();
  });
  EXPECT_EQ(request.PostRaw("http://127.0.0.1:" + std::to_string(listener.port()) + "/x",
                            "text/plain", "x"),
            -1);
  stopper.join();
  // Stays stopped.
  EXPECT_EQ(request.PostRaw("http://127.0.0.1:" + std::to_string(listener.port()) + "/x",
                            "text/plain", "x"),
            -1);
}

TEST(HttpRequestLog, WritesItsLines) {
  tavtest::Sandbox sandbox;
  InitLog("tav_support_tests.log");
  const std::string log_path = GetLog()->current_file_name();
  std::filesystem::create_directories(std::filesystem::path(log_path).parent_path());
  const std::size_t start = tavtest::ReadFile(log_path).size();

  const std::string refused = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/x";
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("up.bin"), "data"));
  std::atomic<uint16_t> port{0};
  TestServer server([&](const Received& r) { return PostHandler(r, port.load()); });
  port = server.port();
  CHttpRequest request;
  int code = 0;
  request.CurlRequest(CHttpRequest::kGet, refused, {}, false, false, "", &code);
  request.CurlFormDataRequest(refused, {}, sandbox.Path("up.bin"), &code);
  EXPECT_EQ(CHttpRequest().PostRaw(server.Url("/reset"), "text/plain", "x"), -1);
  EXPECT_EQ(CHttpRequest().PostRaw(server.Url("/a/x/relative"), "text/plain", "x"), 0);

  const std::string log = tavtest::ReadFile(log_path).substr(start);
  const std::string tid = std::to_string(platform::CurrentThreadId());
  const std::vector<std::string> lines = {
      "[ERROR] " + tid + " - curl request, curl easy perform failed, code=[7].\n",
      "[ERROR] " + tid + " - curl form data request, curl easy perform failed, code=[7].\n",
      "[INFO] " + tid + " - http request receive failed!\n",
      "[INFO] " + tid + " - redirect url=[" + server.Url("/a/b/ok") + "]\n",
  };
  tavtest::ExpectInOrder(log, lines);
}

}  // namespace
