#include "devserver/devserver.h"

#include "devserver/maker_endpoints.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace devserver {
namespace {

constexpr size_t kPieceBytes = 64 * 1024;

// ---------------------------------------------------------------------------
// Bodies

std::string HttpDate(time_t when) {
  tm parts{};
  gmtime_r(&when, &parts);
  char text[64];
  strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

// Closes the descriptor when the last answer that reads it is gone.
struct FileHandle {
  int fd = -1;
  ~FileHandle() {
    if (fd >= 0)
      close(fd);
  }
};

bool ReadAt(int fd, int64_t offset, size_t length, char* out) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Byte ranges

enum class RangeKind { kWhole, kPart, kUnsatisfiable };

struct RangeAnswer {
  RangeKind kind = RangeKind::kWhole;
  int64_t first = 0;
  int64_t last = 0;  // inclusive
};

// Digits only; saturates instead of overflowing (a huge start is simply
// beyond the end).
bool ParseCount(const std::string& text, int64_t* out) {
  if (text.empty())
    return false;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value > (INT64_MAX - 9) / 10 ? INT64_MAX : value * 10 + (c - '0');
  }
  *out = value;
  return true;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos)
    return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// One "bytes=" range. Several ranges or a form we do not understand mean the
// whole body, which is what a server that ignores Range would answer.
RangeAnswer ParseRange(const std::string& header, int64_t size) {
  RangeAnswer answer;
  std::string value = Trim(header);
  if (value.size() < 6 || strncasecmp(value.c_str(), "bytes=", 6) != 0)
    return answer;
  std::string byte_range = Trim(value.substr(6));
  size_t dash = byte_range.find('-');
  if (byte_range.find(',') != std::string::npos || dash == std::string::npos)
    return answer;
  std::string a = Trim(byte_range.substr(0, dash));
  std::string b = Trim(byte_range.substr(dash + 1));
  int64_t first = 0;
  int64_t last = 0;
  if (a.empty()) {
    if (!ParseCount(b, &last))
      return answer;
    answer.kind = (last == 0 || size == 0) ? RangeKind::kUnsatisfiable : RangeKind::kPart;
    answer.first = std::max<int64_t>(0, size - last);
    answer.last = size - 1;
    return answer;
  }
  if (!ParseCount(a, &first))
    return answer;
  if (b.empty()) {
    last = INT64_MAX;
  } else if (!ParseCount(b, &last) || last < first) {
    return answer;
  }
  answer.kind = first >= size ? RangeKind::kUnsatisfiable : RangeKind::kPart;
  answer.first = first;
  answer.last = std::min(last, size - 1);
  return answer;
}

// ---------------------------------------------------------------------------
// Sending a body piece by piece, with the body-level faults

struct Sender {
  Body body;
  int64_t start = 0;   // first byte of the body that is sent
  int64_t length = 0;  // bytes sent in all
  Faults faults;
  StopSignal* stop = nullptr;
  bool stalled = false;

  // Sends the next piece from `offset` (counted from `start`); false ends
  // the answer and closes the connection.
  bool Pump(int64_t offset, httplib::DataSink& sink) {
    if (stop->stopped())
      return false;
    int64_t limit = length;
    if (faults.cut_after) {
      if (offset >= *faults.cut_after)
        return false;
      limit = std::min(limit, *faults.cut_after);
    }
    if (!Stall(offset, &limit))
      return false;
    int64_t piece = std::min<int64_t>(limit - offset, kPieceBytes);
    if (faults.trickle_bps)
      piece = std::min<int64_t>(piece, std::max<int64_t>(1, *faults.trickle_bps / 10));
    std::string buffer;
    if (!Fill(start + offset, static_cast<size_t>(piece), &buffer))
      return false;
    if (!sink.write(buffer.data(), buffer.size()))
      return false;
    if (faults.trickle_bps)
      return stop->SleepFor(piece * 1000 / *faults.trickle_bps);
    return true;
  }

  bool Stall(int64_t offset, int64_t* limit) {
    if (!faults.stall_ms || !faults.stall_after || stalled)
      return true;
    if (offset < *faults.stall_after) {
      *limit = std::min(*limit, *faults.stall_after);
      return true;
    }
    stalled = true;
    return stop->SleepFor(*faults.stall_ms);
  }

  // Bytes past the real body (a "size" fault that makes it longer) are zeros.
  bool Fill(int64_t from, size_t count, std::string* out) {
    out->assign(count, '\0');
    if (from >= body.size)
      return true;
    size_t real = static_cast<size_t>(std::min<int64_t>(count, body.size - from));
    return body.read(from, real, out->data());
  }
};

void SetEmpty(httplib::Response& res, const std::string& content_type) {
  res.set_content("", content_type);
}

// ---------------------------------------------------------------------------
// Certificates for "tls": "auto"

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

struct Issued {
  X509Ptr cert;
  PkeyPtr key;
};

bool SetRandomSerial(X509* cert) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    return false;
  bytes[0] &= 0x7F;  // positive
  BIGNUM* bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
  bool ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
  BN_free(bn);
  return ok;
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr)
    return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A fresh P-256 key and a certificate for it named `common_name`, valid from
// an hour ago for 30 days. Signed by `issuer` (itself when null).
bool NewCertificate(const std::string& common_name, const Issued* issuer, Issued* out) {
  out->key.reset(EVP_EC_gen("P-256"));
  out->cert.reset(X509_new());
  X509* cert = out->cert.get();
  if (!out->key || !cert || X509_set_version(cert, 2) != 1 || !SetRandomSerial(cert))
    return false;
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 30L * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("TAV devserver"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1,
                             0);
  X509* signer = issuer ? issuer->cert.get() : cert;
  return X509_set_issuer_name(cert, X509_get_subject_name(signer)) == 1 &&
         X509_set_pubkey(cert, out->key.get()) == 1 &&
         AddExtension(cert, signer, NID_subject_key_identifier, "hash") &&
         AddExtension(cert, signer, NID_authority_key_identifier, "keyid:always");
}

bool MakeCa(Issued* out) {
  X509* cert = nullptr;
  if (!NewCertificate("TAV devserver test CA", nullptr, out))
    return false;
  cert = out->cert.get();
  return AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE") &&
         AddExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign") &&
         X509_sign(cert, out->key.get(), EVP_sha256()) > 0;
}

bool MakeLeaf(const Issued& ca, const HostConfig& host, Issued* out) {
  if (!NewCertificate(host.address, &ca, out))
    return false;
  std::string alt = "IP:" + host.address;
  for (const std::string& name : host.names)
    alt += ",DNS:" + name;
  X509* cert = out->cert.get();
  return AddExtension(cert, ca.cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
         AddExtension(cert, ca.cert.get(), NID_key_usage, "critical,digitalSignature") &&
         AddExtension(cert, ca.cert.get(), NID_ext_key_usage, "serverAuth") &&
         AddExtension(cert, ca.cert.get(), NID_subject_alt_name, alt) &&
         X509_sign(cert, ca.key.get(), EVP_sha256()) > 0;
}

// Readers never see a half-written certificate: write beside, then rename.
bool WritePem(const std::string& path, X509* cert, std::string* error) {
  std::string temp = path + ".tmp." + std::to_string(getpid());
  FILE* file = fopen(temp.c_str(), "w");
  if (file == nullptr) {
    *error = path + ": cannot write the certificate: " + strerror(errno);
    return false;
  }
  bool ok = PEM_write_X509(file, cert) == 1;
  ok = (fclose(file) == 0) && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    *error = path + ": cannot write the certificate";
    unlink(temp.c_str());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Request-level helpers

// Location for a relative redirect: `to` as seen from the folder of `from`.
std::string RelativeReference(const std::string& from, const std::string& to) {
  std::string from_dir = from.substr(0, from.rfind('/') + 1);
  size_t common = 0;
  for (size_t i = 0; i < from_dir.size() && i < to.size() && from_dir[i] == to[i]; ++i) {
    if (from_dir[i] == '/')
      common = i + 1;
  }
  std::string out;
  for (size_t i = common; i < from_dir.size(); ++i) {
    if (from_dir[i] == '/')
      out += "../";
  }
  out += to.substr(common);
  return out.empty() ? "./" : out;
}

std::string RedirectLocation(const Redirect& redirect, const std::string& request_path,
                             const BoundHost& self) {
  if (redirect.form == "absolute")
    return redirect.to.find("://") != std::string::npos ? redirect.to : self.url + redirect.to;
  if (redirect.form == "relative")
    return RelativeReference(request_path, redirect.to);
  return redirect.to;
}

bool MethodAllowed(const std::vector<std::string>& methods, const std::string& method) {
  if (methods.empty())
    return true;
  for (const std::string& m : methods) {
    if (m == method || (m == "GET" && method == "HEAD"))
      return true;
  }
  return false;
}

// A request path that could climb out of its folder: a ".." segment (the
// library already decoded %2e and %2f) or a NUL byte.
bool UnsafeRelativePath(const std::string& rel) {
  if (rel.find('\0') != std::string::npos)
    return true;
  size_t begin = 0;
  while (begin <= rel.size()) {
    size_t end = rel.find('/', begin);
    if (end == std::string::npos)
      end = rel.size();
    if (rel.compare(begin, end - begin, "..") == 0)
      return true;
    begin = end + 1;
  }
  return false;
}

std::string RealPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr)
    return "";
  std::string out = resolved;
  free(resolved);
  return out;
}

void TextAnswer(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", "text/plain");
}

std::string ReplaceUrls(std::string text, const HostContext& host) {
  const std::string open = "{{url:";
  size_t at = 0;
  while ((at = text.find(open, at)) != std::string::npos) {
    size_t close = text.find("}}", at);
    if (close == std::string::npos)
      break;
    std::string url = host.UrlOf(text.substr(at + open.size(), close - at - open.size()));
    text.replace(at, close + 2 - at, url);
    at += url.size();
  }
  return text;
}

// ---------------------------------------------------------------------------
// The "fixed" endpoint kind

bool FixedEndpoint(const EndpointConfig& endpoint, const HostContext& host, EndpointHandler* out,
                   std::string* error) {
  const cJSON* o = endpoint.options.get();
  const cJSON* item = nullptr;
  cJSON_ArrayForEach(item, o) {
    static const char* const kKeys[] = {"path",         "prefix", "kind", "methods", "status",
                                        "content_type", "body",   "file", "headers"};
    if (std::none_of(std::begin(kKeys), std::end(kKeys),
                     [&](const char* k) { return std::string(k) == item->string; })) {
      *error = endpoint.where + ": unknown key \"" + item->string + "\"";
      return false;
    }
  }
  const cJSON* status = cJSON_GetObjectItemCaseSensitive(o, "status");
  const cJSON* type = cJSON_GetObjectItemCaseSensitive(o, "content_type");
  const cJSON* body = cJSON_GetObjectItemCaseSensitive(o, "body");
  const cJSON* file = cJSON_GetObjectItemCaseSensitive(o, "file");
  const cJSON* headers = cJSON_GetObjectItemCaseSensitive(o, "headers");
  if ((status && !cJSON_IsNumber(status)) || (type && !cJSON_IsString(type)) ||
      (body && !cJSON_IsString(body)) || (file && !cJSON_IsString(file)) ||
      (headers && !cJSON_IsObject(headers)) || (body && file)) {
    *error = endpoint.where +
             ": \"status\" is a number, \"content_type\", \"body\" and \"file\" are strings "
             "(one of \"body\" and \"file\"), \"headers\" an object";
    return false;
  }
  int code = status ? status->valueint : 200;
  if (code < 200 || code > 599) {
    *error = endpoint.where + ".status: must be in 200..599";
    return false;
  }
  std::string content_type = type ? type->valuestring : "text/plain";
  std::string text = body ? ReplaceUrls(body->valuestring, host) : "";
  std::string path = file ? ResolvePath(host.run->base_dir, file->valuestring) : "";
  httplib::Headers extra;
  cJSON_ArrayForEach(item, headers) {
    if (cJSON_IsString(item))
      extra.emplace(item->string, item->valuestring);
  }
  *out = [=](const httplib::Request& req, httplib::Response& res, const Faults& faults,
             const HostContext& ctx) {
    for (const auto& [name, value] : extra)
      res.set_header(name.c_str(), value);
    Body answer = TextBody(text, content_type);
    if (!path.empty() && !FileBody(path, content_type, &answer))
      return TextAnswer(res, 404, "not found");
    SendBody(req, res, std::move(answer), faults, ctx.stop, code);
  };
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------

void StopSignal::Trigger() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  cv_.notify_all();
}

bool StopSignal::stopped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopped_;
}

bool StopSignal::SleepFor(int64_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopped_; });
  return !stopped_;
}

std::string HostContext::UrlOf(const std::string& name) const {
  for (const BoundHost& host : *all) {
    if (host.name == name)
      return host.url;
  }
  return "";
}

Body TextBody(std::string text, std::string content_type) {
  auto shared = std::make_shared<const std::string>(std::move(text));
  Body body;
  body.size = static_cast<int64_t>(shared->size());
  body.content_type = std::move(content_type);
  body.read = [shared](int64_t offset, size_t length, char* out) {
    memcpy(out, shared->data() + offset, length);
    return true;
  };
  return body;
}

bool FileBody(const std::string& path, const std::string& content_type, Body* out) {
  auto handle = std::make_shared<FileHandle>();
  handle->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (handle->fd < 0 || fstat(handle->fd, &st) != 0 || !S_ISREG(st.st_mode))
    return false;
  out->size = st.st_size;
  out->content_type = content_type;
  out->last_modified = HttpDate(st.st_mtime);
  out->read = [handle](int64_t offset, size_t length, char* buffer) {
    return ReadAt(handle->fd, offset, length, buffer);
  };
  return true;
}

void SendBody(const httplib::Request& req, httplib::Response& res, Body body, const Faults& faults,
              StopSignal* stop, int status) {
  int64_t size = faults.size.value_or(body.size);
  std::string content_type = faults.content_type.value_or(body.content_type);
  bool ranges = !faults.no_ranges.value_or(false) && status == 200;
  if (ranges)
    res.set_header("Accept-Ranges", "bytes");
  if (!body.last_modified.empty())
    res.set_header("Last-Modified", body.last_modified);

  RangeAnswer range;
  std::string if_range = req.get_header_value("If-Range");
  if (ranges && req.has_header("Range") && (if_range.empty() || if_range == body.last_modified))
    range = ParseRange(req.get_header_value("Range"), size);
  if (range.kind == RangeKind::kUnsatisfiable) {
    res.status = 416;
    res.set_header("Content-Range", "bytes */" + std::to_string(size));
    return SetEmpty(res, content_type);
  }

  auto sender = std::make_shared<Sender>();
  sender->faults = faults;
  sender->stop = stop;
  sender->length = size;
  res.status = status;
  if (range.kind == RangeKind::kPart) {
    res.status = 206;
    res.set_header("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                        std::to_string(range.last) + "/" + std::to_string(size));
    sender->start = range.first;
    sender->length = range.last - range.first + 1;
  }
  sender->body = std::move(body);
  if (sender->length == 0)
    return SetEmpty(res, content_type);

  if (faults.chunked.value_or(false)) {
    res.set_chunked_content_provider(content_type,
                                     [sender](size_t offset, httplib::DataSink& sink) {
                                       if (static_cast<int64_t>(offset) >= sender->length) {
                                         sink.done();
                                         return true;
                                       }
                                       return sender->Pump(static_cast<int64_t>(offset), sink);
                                     });
    return;
  }
  res.set_content_provider(static_cast<size_t>(sender->length), content_type,
                           [sender](size_t offset, size_t, httplib::DataSink& sink) {
                             return sender->Pump(static_cast<int64_t>(offset), sink);
                           });
}

void EndpointRegistry::Register(const std::string& kind, EndpointFactory factory) {
  factories_[kind] = std::move(factory);
}

const EndpointFactory* EndpointRegistry::Find(const std::string& kind) const {
  auto it = factories_.find(kind);
  return it == factories_.end() ? nullptr : &it->second;
}

void RegisterBuiltinEndpoints(EndpointRegistry* registry) {
  registry->Register("fixed", FixedEndpoint);
  RegisterMakerEndpoints(registry);
}

// ---------------------------------------------------------------------------
// Devserver

struct Devserver::Host {
  const HostConfig* config = nullptr;
  size_t index = 0;
  std::unique_ptr<httplib::Server> server;
  std::vector<std::string> static_roots;  // real paths of config->statics[i].dir
  std::vector<EndpointHandler> handlers;  // for config->endpoints[i]
  HostContext context;
  std::thread thread;
  std::atomic<bool> ended{false};
  bool stop_asked = false;
};

Devserver::Devserver(Config config) : config_(std::move(config)) {
  RegisterBuiltinEndpoints(&registry_);
}

Devserver::~Devserver() {
  Stop();
}

bool Devserver::Start(std::string* error) {
  if (started_) {
    *error = "already started";
    return false;
  }
  started_ = true;
  if (!log_.Open(config_.log, error) || !MakeServers(error) || !BindAll(error))
    return false;
  bool built = BuildHandlers(error);
  // Even when the handlers failed, the bound sockets must be closed, and only
  // a running server closes its socket on stop.
  std::string run_error;
  bool running = RunAll(&run_error);
  if (built && running)
    return true;
  if (built)
    *error = run_error;
  Stop();
  return false;
}

bool Devserver::MakeServers(std::string* error) {
  Issued ca;
  bool have_ca = false;
  for (size_t i = 0; i < config_.hosts.size(); ++i) {
    const HostConfig& hc = config_.hosts[i];
    auto host = std::make_unique<Host>();
    host->config = &hc;
    host->index = i;
    std::string where = "host \"" + hc.name + "\"";
    for (size_t s = 0; s < hc.statics.size(); ++s) {
      std::string real = RealPath(hc.statics[s].dir);
      struct stat st {};
      if (real.empty() || stat(real.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = where + ": static folder " + hc.statics[s].dir + " does not exist";
        return false;
      }
      host->static_roots.push_back(real);
    }
    if (hc.tls == TlsMode::kOff) {
      host->server = std::make_unique<httplib::Server>();
    } else if (hc.tls == TlsMode::kFiles) {
      host->server = std::make_unique<httplib::SSLServer>(hc.cert.c_str(), hc.key.c_str());
    } else {
      if (!have_ca && !MakeCa(&ca)) {
        *error = where + ": cannot make the test CA certificate";
        return false;
      }
      have_ca = true;
      Issued leaf;
      if (!MakeLeaf(ca, hc, &leaf)) {
        *error = where + ": cannot make its certificate";
        return false;
      }
      if (!hc.ca_out.empty() && !WritePem(hc.ca_out, ca.cert.get(), error))
        return false;
      // The server context takes its own references to both.
      host->server = std::make_unique<httplib::SSLServer>(leaf.cert.get(), leaf.key.get());
    }
    if (!host->server->is_valid()) {
      *error = where + ": cannot set up TLS (certificate " + hc.cert + ", key " + hc.key + ")";
      return false;
    }
    hosts_.push_back(std::move(host));
  }
  return true;
}

bool Devserver::BindAll(std::string* error) {
  for (auto& host : hosts_) {
    const HostConfig& hc = *host->config;
    std::string where = "host \"" + hc.name + "\"";
    // Checked again right before binding: nothing may listen beyond loopback.
    if (!IsLoopbackAddress(hc.address)) {
      *error = where + ": " + hc.address + " is not in 127.0.0.0/8; refusing to bind";
      return false;
    }
    httplib::Server& server = *host->server;
    server.set_address_family(AF_INET);
    // SO_REUSEADDR only: the library's default also sets SO_REUSEPORT, which
    // would let a second run share a fixed port silently.
    server.set_socket_options([](int sock) {
      int on = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });
    errno = 0;
    int port = hc.port;
    if (port == 0) {
      port = server.bind_to_any_port(hc.address);
    } else if (!server.bind_to_port(hc.address, port)) {
      port = -1;
    }
    if (port <= 0) {
      *error = where + ": cannot bind " + hc.address + ":" + std::to_string(hc.port) + ": " +
               (errno ? strerror(errno) : "unknown error");
      return false;
    }
    BoundHost bound;
    bound.name = hc.name;
    bound.address = hc.address;
    bound.port = port;
    bound.tls = hc.tls != TlsMode::kOff;
    bound.url =
        std::string(bound.tls ? "https://" : "http://") + hc.address + ":" + std::to_string(port);
    bound.ca = hc.tls == TlsMode::kAuto ? hc.ca_out : "";
    bound_.push_back(bound);
  }
  return true;
}

bool Devserver::BuildHandlers(std::string* error) {
  for (auto& host : hosts_) {
    Host& h = *host;
    h.context.config = h.config;
    h.context.self = &bound_[h.index];
    h.context.all = &bound_;
    h.context.run = &config_;
    h.context.stop = &stop_;
    for (const EndpointConfig& endpoint : h.config->endpoints) {
      const EndpointFactory* factory = registry_.Find(endpoint.kind);
      if (factory == nullptr) {
        *error = endpoint.where + ": unknown kind \"" + endpoint.kind + "\"";
        return false;
      }
      EndpointHandler handler;
      if (!(*factory)(endpoint, h.context, &handler, error))
        return false;
      h.handlers.push_back(std::move(handler));
    }
  }
  return true;
}

bool Devserver::RunAll(std::string* error) {
  for (auto& host : hosts_) {
    Host* h = host.get();
    httplib::Server& server = *h->server;
    int threads = h->config->threads;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_keep_alive_max_count(1000);
    httplib::Server::Handler dispatch =
        [this, h](const httplib::Request& req, httplib::Response& res) { Dispatch(*h, req, res); };
    server.Get(".*", dispatch);
    server.Post(".*", dispatch);
    server.Put(".*", dispatch);
    server.Patch(".*", dispatch);
    server.Delete(".*", dispatch);
    server.Options(".*", dispatch);
    // Runs after the handler and before the answer goes out, so a client
    // that has its answer always finds the line in the log.
    server.set_post_routing_handler(
        [this, h](const httplib::Request& req, httplib::Response& res) { Log(*h, req, res); });
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
          TextAnswer(res, 500, "internal error");
        });
    h->thread = std::thread([h] {
      h->server->listen_after_bind();
      h->ended = true;
    });
  }
  // Stop() only works on a server whose loop has begun; wait for all of them.
  for (auto& host : hosts_) {
    for (int i = 0; i < 5000 && !host->server->is_running() && !host->ended; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!host->server->is_running()) {
      *error = "host \"" + host->config->name + "\": the server did not start";
      return false;
    }
  }
  return true;
}

bool Devserver::AnyHostEnded() const {
  if (stop_.stopped())
    return false;
  return std::any_of(hosts_.begin(), hosts_.end(), [](const auto& h) { return h->ended.load(); });
}

void Devserver::Stop() {
  stop_.Trigger();
  for (auto& host : hosts_)
    StopHost(*host);
}

void Devserver::StopHost(Host& host) {
  if (!host.thread.joinable())
    return;
  // The library ignores stop() before its loop runs, and must get it only
  // once; poll until the loop has ended.
  while (!host.ended) {
    if (!host.stop_asked && host.server->is_running()) {
      host.server->stop();
      host.stop_asked = true;
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  host.thread.join();
}

void Devserver::Dispatch(Host& host, const httplib::Request& req, httplib::Response& res) {
  // We answer byte ranges ourselves; left in place, the library would cut
  // every answer a second time by the parsed Range.
  const_cast<httplib::Request&>(req).ranges.clear();
  const HostConfig& hc = *host.config;
  Faults faults = hc.faults;
  for (const PathFaults& p : hc.paths) {
    if (p.match.Matches(req.path))
      faults = MergeFaults(faults, p.faults);
  }
  if (faults.stall_ms && !faults.stall_after && !stop_.SleepFor(*faults.stall_ms))
    return TextAnswer(res, 503, "shutting down");
  if (faults.redirect && faults.redirect->to != req.path) {
    res.status = faults.redirect->status;
    res.set_header("Location", RedirectLocation(*faults.redirect, req.path, bound_[host.index]));
    return;
  }
  if (faults.status) {
    res.status = *faults.status;
    std::string text = "status " + std::to_string(*faults.status) + "\n";
    res.set_content(text, faults.content_type.value_or("text/plain"));
    return;
  }
  for (size_t i = 0; i < hc.endpoints.size(); ++i) {
    const EndpointConfig& endpoint = hc.endpoints[i];
    if (!endpoint.match.Matches(req.path))
      continue;
    if (!MethodAllowed(endpoint.methods, req.method))
      return TextAnswer(res, 405, "method not allowed");
    if (i >= host.handlers.size() || !host.handlers[i])
      return TextAnswer(res, 503, "not ready");
    return host.handlers[i](req, res, faults, host.context);
  }
  // The longest prefix wins, so a mount inside another one is reachable.
  int best = -1;
  for (size_t i = 0; i < hc.statics.size(); ++i) {
    const std::string& prefix = hc.statics[i].prefix;
    if (req.path.compare(0, prefix.size(), prefix) == 0 &&
        (best < 0 || prefix.size() > hc.statics[best].prefix.size()))
      best = static_cast<int>(i);
  }
  if (best < 0)
    return TextAnswer(res, 404, "not found");
  if (req.method != "GET" && req.method != "HEAD")
    return TextAnswer(res, 405, "method not allowed");
  const StaticMount& mount = hc.statics[best];
  std::string rel = req.path.substr(mount.prefix.size());
  if (UnsafeRelativePath(rel))
    return TextAnswer(res, 400, "bad path");
  const std::string& root = host.static_roots[best];
  std::string real = RealPath(root + "/" + rel);
  if (real.empty())
    return TextAnswer(res, 404, "not found");
  // A symbolic link may point anywhere; only what resolves inside is served.
  if (real.compare(0, root.size(), root) != 0 ||
      (real.size() > root.size() && real[root.size()] != '/'))
    return TextAnswer(res, 403, "outside the served folder");
  Body body;
  if (!FileBody(real, mount.content_type, &body))
    return TextAnswer(res, 404, "not found");
  SendBody(req, res, std::move(body), faults, &stop_);
}

void Devserver::Log(const Host& host, const httplib::Request& req, const httplib::Response& res) {
  if (!log_.enabled())
    return;
  LoggedRequest line;
  line.host = host.config->name;
  line.tls = host.config->tls != TlsMode::kOff;
  line.local_address = req.local_addr;
  line.local_port = req.local_port;
  line.remote_address = req.remote_addr;
  line.remote_port = req.remote_port;
  line.method = req.method;
  line.path = req.path;
  size_t question = req.target.find('?');
  if (question != std::string::npos)
    line.query = req.target.substr(question + 1);
  line.target = req.target;
  line.version = req.version;
  for (const auto& [name, value] : req.headers) {
    // The library files the socket's addresses among the headers.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
        name == "LOCAL_PORT")
      continue;
    line.headers.emplace_back(name, value);
  }
  line.body_size = static_cast<int64_t>(req.body.size());
  line.status = res.status;
  log_.Write(line);
}

}  // namespace devserver
