// The stand-in maker servers: one HTTP or HTTPS server per configured host,
// each bound to its own loopback address and port and run on its own thread.
//
// Threads: Start, Stop and the destructor belong to one owner thread. Every
// request runs on a pool thread of its host; handlers only read the
// configuration and the bound-host list (both fixed once Start returned), so
// they need no locks of their own. Stop triggers the StopSignal first so that
// waiting handlers (stalls, trickles) give up, then stops every server and
// joins its thread.
#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devserver/devserver_config.h"
#include "devserver/request_log.h"

namespace devserver {

// Tells waiting handlers that the server is shutting down.
class StopSignal {
 public:
  void Trigger();
  bool stopped() const;
  // Sleeps up to `ms`; false as soon as stopping began.
  bool SleepFor(int64_t ms);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool stopped_ = false;
};

struct BoundHost {
  std::string name;
  std::string address;
  int port = 0;
  bool tls = false;
  std::string url;  // "http://127.0.0.2:34567", no trailing "/"
  std::string ca;   // the CA certificate a client should trust ("" for plain HTTP)
};

// What every handler of one host can see.
struct HostContext {
  const HostConfig* config = nullptr;
  const BoundHost* self = nullptr;
  const std::vector<BoundHost>* all = nullptr;  // every host of this run
  const Config* run = nullptr;
  StopSignal* stop = nullptr;

  // URL of the host called `name` ("" when there is none).
  std::string UrlOf(const std::string& name) const;
};

// A response body: its length and a reader for any part of it.
struct Body {
  int64_t size = 0;
  // Fills `out` with `length` bytes from `offset` (offset + length <= size).
  std::function<bool(int64_t offset, size_t length, char* out)> read;
  std::string content_type = "application/octet-stream";
  std::string last_modified;  // HTTP date, "" for none
};

Body TextBody(std::string text, std::string content_type);
// False when `path` is not a readable regular file.
bool FileBody(const std::string& path, const std::string& content_type, Body* out);

// Answers with `body` and `status` (200 or another success code): a single
// byte range when asked for (206 / 416), HEAD without the body, and the
// body-level faults: no_ranges, content_type, size, chunked, cut_after,
// stall_ms after stall_after bytes, trickle_bps.
void SendBody(const httplib::Request& req, httplib::Response& res, Body body, const Faults& faults,
              StopSignal* stop, int status = 200);

// Endpoint kinds. A factory turns one configured endpoint into a handler once,
// after every host is bound (so it may use the hosts' real URLs). The faults a
// handler gets are the host's merged with those of the matching paths; the
// request-level ones (redirect, status, a stall before the answer) were
// already applied by the dispatcher.
using EndpointHandler = std::function<void(const httplib::Request&, httplib::Response&,
                                           const Faults& faults, const HostContext& host)>;
using EndpointFactory = std::function<bool(const EndpointConfig& endpoint, const HostContext& host,
                                           EndpointHandler* out, std::string* error)>;

class EndpointRegistry {
 public:
  void Register(const std::string& kind, EndpointFactory factory);
  const EndpointFactory* Find(const std::string& kind) const;

 private:
  std::map<std::string, EndpointFactory> factories_;
};

// The kinds every run knows: "fixed" (a configured status, content type and
// body or file, where "{{url:NAME}}" becomes that host's URL).
void RegisterBuiltinEndpoints(EndpointRegistry* registry);

class Devserver {
 public:
  explicit Devserver(Config config);
  ~Devserver();  // stops
  Devserver(const Devserver&) = delete;
  Devserver& operator=(const Devserver&) = delete;

  // Add kinds here before Start.
  EndpointRegistry& registry() { return registry_; }

  // Makes certificates, binds every host, builds the endpoints and starts the
  // server threads; returns once all accept connections. On failure nothing
  // is left running and `error` says why.
  bool Start(std::string* error);
  const std::vector<BoundHost>& hosts() const { return bound_; }
  // True once a server loop ended without being asked to.
  bool AnyHostEnded() const;
  void Stop();

 private:
  struct Host;

  bool MakeServers(std::string* error);
  bool BindAll(std::string* error);
  bool BuildHandlers(std::string* error);
  bool RunAll(std::string* error);
  void StopHost(Host& host);
  void Dispatch(Host& host, const httplib::Request& req, httplib::Response& res);
  void Log(const Host& host, const httplib::Request& req, const httplib::Response& res);

  Config config_;
  EndpointRegistry registry_;
  RequestLog log_;
  StopSignal stop_;
  std::vector<std::unique_ptr<Host>> hosts_;
  std::vector<BoundHost> bound_;
  bool started_ = false;
};

}  // namespace devserver
