// The HTTP client for the maker's APIs: a raw HTTP/1.1 POST over
// CCustomizeSocket (plain HTTP only), a general libcurl request (GET, HEAD or
// POST with a header list), and a libcurl multipart upload of one file.
//
// Threads: an object is used by one thread (each request is made on a fresh
// object by its caller). Shutdown() alone may be called from any other
// thread; the owner joins such threads before destroying the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "download/customize_socket.h"

// Initialises libcurl for the process once; every user of libcurl calls it
// before its first easy handle.
void InitCurlOnce();

class CHttpRequest {
 public:
  static constexpr int kMaxRedirects = 10;      // raw POST and libcurl alike
  static constexpr int kAnswerLimit = 204'800;  // longer raw answers are cut

  enum Method { kGet = 0, kHead = 1, kPost = 2 };

  // Takes the TLS rule of the deployment (GetDeployment().tls_verify).
  CHttpRequest();
  virtual ~CHttpRequest() = default;
  CHttpRequest(const CHttpRequest&) = delete;
  CHttpRequest& operator=(const CHttpRequest&) = delete;

  // Sends `body` as a POST of `content_type` to the "http://" `url` (a URL
  // without scheme counts as http) and follows up to kMaxRedirects 3xx
  // answers. 0 for a 2xx answer, -1 for anything else: another scheme, no
  // host, no connection, a failed send or receive, a status outside 2xx.
  int PostRaw(const std::string& url, const std::string& content_type, const std::string& body);

  // A libcurl request (`method` is a Method). `headers` are complete header
  // lines without CR LF. `http10` asks for HTTP/1.0; `collect_headers` puts
  // the answer's header block (as received) in front of the body; `post_body`
  // is sent for kPost. The result is that block and the body with every
  // CR LF removed, also partly filled after a failure. `error_code` (may be
  // null) receives the libcurl result: 0 when the transfer and the status
  // query both succeeded. Bounded by 5 s to connect and 5 s in all.
  std::string CurlRequest(int method, const std::string& url,
                          const std::vector<std::string>& headers, bool http10,
                          bool collect_headers, const std::string& post_body, int* error_code);

  // An HTTP/1.0 multipart POST of the file at `file_path` as the part "file"
  // (its file name sent with it). The answer body with every CR LF removed;
  // `error_code` as above. Bounded by 5 s to connect and 10 s in all.
  std::string CurlFormDataRequest(const std::string& url, const std::vector<std::string>& headers,
                                  const std::string& file_path, int* error_code);

  // Whether "https://" peers must show a valid certificate for their host
  // name (checked against the system's store and CaBundlePath()).
  bool tls_verify() const { return tls_verify_; }
  void set_tls_verify(bool verify) { tls_verify_ = verify; }

  // The Referer of the raw POST; empty derives it from the URL.
  void set_referer(const std::string& referer) { referer_ = referer; }

  // Any thread: ends a pending request soon and fails every later one.
  void Shutdown();

 private:
  bool SplitTarget(const std::string& url);
  std::string BuildPost(const std::string& content_type, const std::string& body);
  // One connection: send the request, read the answer until the peer closes.
  bool Exchange(const std::string& request, std::string* answer);

  CCustomizeSocket socket_;
  std::string host_;
  std::string path_;
  std::string referer_;
  std::string url_;
  uint16_t port_ = 80;
  bool tls_verify_ = true;
  std::atomic<bool> stopped_{false};
};
