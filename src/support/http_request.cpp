#include "support/http_request.h"

#include <curl/curl.h>

#include <mutex>

#include "app/simple_log.h"
#include "download/parse_url.h"
#include "support/deployment.h"

namespace {

constexpr char kUserAgent[] = "Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1; Trident/4.0)";
constexpr long kConnectTimeoutS = 5;
constexpr long kRequestTimeoutS = 5;
constexpr long kUploadTimeoutS = 10;

size_t AppendText(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// Ends the transfer once Shutdown was called.
int AbortWhenStopped(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(user)->load(std::memory_order_acquire) ? 1 : 0;
}

std::string RemoveCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      ++i;
      continue;
    }
    out += text[i];
  }
  return out;
}

// Frees what a libcurl request allocated, on every way out.
struct CurlRequestState {
  CURL* curl = nullptr;
  curl_slist* headers = nullptr;
  curl_mime* mime = nullptr;
  ~CurlRequestState() {
    curl_mime_free(mime);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
  }
};

struct CurlOptions {
  long total_timeout_s = kRequestTimeoutS;
  bool tls_verify = true;
  const std::atomic<bool>* stopped = nullptr;
};

void ApplyTls(CURL* curl, bool verify) {
  if (!verify) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    return;
  }
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  // The deployment's own CA bundle; the system's certificate folder stays.
  const std::string bundle = CaBundlePath();
  if (!bundle.empty())
    curl_easy_setopt(curl, CURLOPT_CAINFO, bundle.c_str());
}

void ApplyCommon(CurlRequestState* state, const std::string& url,
                 const std::vector<std::string>& headers, std::string* body,
                 const CurlOptions& options) {
  CURL* curl = state->curl;
  for (const std::string& line : headers) {
    if (curl_slist* grown = curl_slist_append(state->headers, line.c_str()))
      state->headers = grown;
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, state->headers);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, static_cast<long>(CHttpRequest::kMaxRedirects));
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendText);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
  curl_easy_setopt(curl, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, options.total_timeout_s);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, AbortWhenStopped);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, options.stopped);
  ApplyTls(curl, options.tls_verify);
}

// Runs the transfer and reads the status; the libcurl result of the first
// step that failed, else 0. `what` names the request in the log lines.
// Which request is reporting: each has log lines of its own.
enum class CurlCall { kRequest, kFormData };

int PerformAndCheck(CURL* curl, CurlCall call) {
  const CURLcode performed = curl_easy_perform(curl);
  if (performed != CURLE_OK) {
    if (call == CurlCall::kRequest) {
      LOG_ERROR("[ERROR] %d - curl request, curl easy perform failed, code=[%d].",
                static_cast<int>(performed));
    } else {
      LOG_ERROR("[ERROR] %d - curl form data request, curl easy perform failed, code=[%d].",
                static_cast<int>(performed));
    }
    return performed;
  }
  long status = 0;
  const CURLcode info = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (info != CURLE_OK) {
    if (call == CurlCall::kRequest) {
      LOG_ERROR("[ERROR] %d - curl request, curl easy getinfo failed, code=[%d].",
                static_cast<int>(info));
    } else {
      LOG_ERROR("[ERROR] %d - curl form data request, curl easy getinfo failed, code=[%d].",
                static_cast<int>(info));
    }
    return info;
  }
  return 0;
}

void SetCode(int* error_code, int value) {
  if (error_code != nullptr)
    *error_code = value;
}

// The parts of a URL the raw POST can serve: scheme "http" and a host.
bool PlainHttpTarget(const std::string& url, UrlTarget* target) {
  UrlTarget parsed;
  std::string scheme;
  if (!SetUrlTarget(url, &parsed) ||
      !ParseUrl(parsed.url, &parsed.host, &parsed.path, &parsed.port, &scheme))
    return false;
  if (scheme != "http" || parsed.host.empty())
    return false;
  *target = std::move(parsed);
  return true;
}

}  // namespace

// curl_easy_init would otherwise run the global setup unguarded on first use.
void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CHttpRequest::CHttpRequest() : tls_verify_(GetDeployment().tls_verify) {}

void CHttpRequest::Shutdown() {
  stopped_.store(true, std::memory_order_release);
  socket_.Shutdown();
}

bool CHttpRequest::SplitTarget(const std::string& url) {
  UrlTarget target;
  if (!PlainHttpTarget(url, &target))
    return false;
  url_ = std::move(target.url);
  host_ = std::move(target.host);
  path_ = std::move(target.path);
  port_ = target.port;
  return true;
}

std::string CHttpRequest::BuildPost(const std::string& content_type, const std::string& body) {
  if (referer_.empty())
    referer_ = RefererFromUrl(url_);
  std::string host = host_;
  if (port_ != 80)
    host += ":" + std::to_string(port_);
  std::string request;
  request.reserve(512 + body.size());
  request += "POST " + path_ + " HTTP/1.1\r\n";
  request += "Accept: */*\r\n";
  request += "Referer: " + referer_ + "\r\n";
  request += std::string("User-Agent: ") + kUserAgent + "\r\n";
  request += "Host: " + host + "\r\n";
  request += "Content-Type: " + content_type + "\r\n";
  request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "Connection: Close\r\n";
  request += "\r\n";
  request += body;
  return request;
}

bool CHttpRequest::Exchange(const std::string& request, std::string* answer) {
  if (!socket_.ConnectHost(host_, port_))
    return false;
  if (!socket_.SendText(request)) {
    LOG_ERROR("[ERROR] %d - http request send failed!");
    socket_.Close();
    return false;
  }
  std::string buffer(kAnswerLimit, '\0');
  int length = 0;
  while (length < kAnswerLimit) {
    const int received = socket_.Receive(buffer.data() + length, kAnswerLimit - length);
    if (received == 0)
      break;
    if (received < 0) {
      LOG_INFO("[INFO] %d - http request receive failed!");
      socket_.Close();
      return false;
    }
    length += received;
  }
  socket_.Close();
  answer->assign(buffer.data(), static_cast<std::size_t>(length));
  return true;
}

int CHttpRequest::PostRaw(const std::string& url, const std::string& content_type,
                          const std::string& body) {
  if (stopped_.load(std::memory_order_acquire))
    return -1;
  if (!SplitTarget(url)) {
    LOG_ERROR("[ERROR] %d - http request, bad url=[%s].", url.c_str());
    return -1;
  }
  for (int redirects = 0;; ++redirects) {
    std::string answer;
    if (!Exchange(BuildPost(content_type, body), &answer))
      return -1;
    const int code = StatusCode(answer);
    if (code >= 200 && code <= 299)
      return 0;
    if (code < 300 || code > 399) {
      LOG_ERROR("[ERROR] %d - http request, response code=[%d].", code);
      return -1;
    }
    if (redirects == kMaxRedirects) {
      LOG_ERROR("[ERROR] %d - http request, too many redirects, url=[%s].", url_.c_str());
      return -1;
    }
    UrlTarget target{url_, host_, path_, port_};
    if (!ApplyRedirect(HeaderValue(answer, "location:"), &target, &referer_))
      return -1;
    // The raw request speaks plain HTTP only, wherever the answer points.
    UrlTarget checked;
    if (!PlainHttpTarget(target.url, &checked)) {
      LOG_ERROR("[ERROR] %d - http request, bad url=[%s].", target.url.c_str());
      return -1;
    }
    url_ = std::move(target.url);
    host_ = std::move(target.host);
    path_ = std::move(target.path);
    port_ = target.port;
  }
}

std::string CHttpRequest::CurlRequest(int method, const std::string& url,
                                      const std::vector<std::string>& headers, bool http10,
                                      bool collect_headers, const std::string& post_body,
                                      int* error_code) {
  SetCode(error_code, 0);
  InitCurlOnce();
  CurlRequestState state;
  state.curl = curl_easy_init();
  if (state.curl == nullptr) {
    LOG_ERROR("[ERROR] %d - curl request, curl init failed!");
    SetCode(error_code, CURLE_FAILED_INIT);
    return {};
  }
  std::string header_block;
  std::string body;
  CurlOptions options;
  options.tls_verify = tls_verify_;
  options.stopped = &stopped_;
  ApplyCommon(&state, url, headers, &body, options);
  CURL* curl = state.curl;
  if (http10)
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  if (collect_headers) {
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, AppendText);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &header_block);
  }
  if (method == kHead)
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  if (method == kPost) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post_body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post_body.data());
  }
  SetCode(error_code, PerformAndCheck(curl, CurlCall::kRequest));
  return header_block + RemoveCrLf(body);
}

std::string CHttpRequest::CurlFormDataRequest(const std::string& url,
                                              const std::vector<std::string>& headers,
                                              const std::string& file_path, int* error_code) {
  SetCode(error_code, 0);
  InitCurlOnce();
  CurlRequestState state;
  state.curl = curl_easy_init();
  if (state.curl == nullptr) {
    LOG_ERROR("[ERROR] %d - curl form data request, curl init failed!");
    SetCode(error_code, CURLE_FAILED_INIT);
    return {};
  }
  std::string body;
  CurlOptions options;
  options.total_timeout_s = kUploadTimeoutS;
  options.tls_verify = tls_verify_;
  options.stopped = &stopped_;
  ApplyCommon(&state, url, headers, &body, options);
  CURL* curl = state.curl;
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  state.mime = curl_mime_init(curl);
  curl_mimepart* part = curl_mime_addpart(state.mime);
  // filedata also sends the file's base name as the part's file name.
  const CURLcode built = part == nullptr ? CURLE_OUT_OF_MEMORY
                                         : (curl_mime_name(part, "file") != CURLE_OK
                                                ? CURLE_OUT_OF_MEMORY
                                                : curl_mime_filedata(part, file_path.c_str()));
  if (built != CURLE_OK) {
    LOG_ERROR("[ERROR] %d - curl form data request, curl easy perform failed, code=[%d].",
              static_cast<int>(built));
    SetCode(error_code, built);
    return {};
  }
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, state.mime);
  SetCode(error_code, PerformAndCheck(curl, CurlCall::kFormData));
  return RemoveCrLf(body);
}
