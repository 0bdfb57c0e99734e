// The devserver's configuration: which loopback addresses and ports to bind
// and what each host serves (static folders, endpoints, fault switches).
//
// A configuration is a JSON file read once at start; the parsed Config is a
// plain value that the server only reads afterwards, so any thread may read it.
// Relative paths in the file are taken from the file's folder.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace devserver {

// A redirect instead of the answer. `form` says how Location is written:
// "absolute" (scheme, address and port of this host, unless `to` already has
// a scheme), "rooted" (`to` as is) or "relative" (from the request's folder).
struct Redirect {
  std::string form = "rooted";
  std::string to;
  int status = 302;
};

// Fault switches. Every field is optional so that a path's switches can be
// laid over its host's: a field set on the path wins, an unset one inherits.
struct Faults {
  std::optional<bool> no_ranges;            // ignore Range: always 200 with the whole body
  std::optional<bool> chunked;              // chunked transfer coding, no Content-Length
  std::optional<Redirect> redirect;         // answer with a redirect
  std::optional<std::string> content_type;  // answer with this Content-Type
  std::optional<int> status;                // answer this status with a short text body
  std::optional<int64_t> size;              // serve the body as if it had this many bytes
  std::optional<int64_t> cut_after;         // close the connection after this many body bytes
  std::optional<int64_t> stall_ms;          // stop sending for this long ...
  std::optional<int64_t> stall_after;  // ... after this many body bytes (unset: before the answer)
  std::optional<int64_t> trickle_bps;  // send at most this many body bytes a second
};

// `over`'s set fields replace `base`'s.
Faults MergeFaults(const Faults& base, const Faults& over);

// Request paths are matched exactly ("path") or by their beginning ("prefix").
struct PathMatch {
  std::string text;
  bool is_prefix = false;

  bool Matches(const std::string& request_path) const;
};

// A folder served under a path prefix, with byte ranges.
struct StaticMount {
  std::string prefix;  // starts and ends with "/"
  std::string dir;     // absolute
  std::string content_type = "application/octet-stream";
};

// An endpoint handled by the handler kind named `kind`. The kind's own keys
// stay in `options` (the endpoint's whole JSON object), read by that kind.
struct EndpointConfig {
  PathMatch match;
  std::string kind;
  std::vector<std::string> methods;  // empty: every method
  std::shared_ptr<cJSON> options;
  std::string where;  // "hosts[0].endpoints[1]", for error messages
};

struct PathFaults {
  PathMatch match;
  Faults faults;
};

enum class TlsMode { kOff, kFiles, kAuto };

struct HostConfig {
  std::string name;
  std::string address;  // IPv4 in 127.0.0.0/8
  int port = 0;         // 0: any free port
  TlsMode tls = TlsMode::kOff;
  std::string cert;                // kFiles: PEM certificate chain
  std::string key;                 // kFiles: PEM private key
  std::string ca_out;              // kAuto: where to write the CA certificate (PEM)
  std::vector<std::string> names;  // kAuto: DNS names for the certificate, besides the address
  int threads = 16;                // connections served at once
  std::vector<StaticMount> statics;
  std::vector<EndpointConfig> endpoints;
  Faults faults;
  std::vector<PathFaults> paths;
};

struct Config {
  std::string base_dir;  // folder of the configuration file
  std::string log;       // request log (JSON lines); empty: none
  std::vector<HostConfig> hosts;
};

// True for a dotted IPv4 address in 127.0.0.0/8 (the only place we bind).
bool IsLoopbackAddress(const std::string& address);

// `path` made absolute against `base_dir` (unchanged when already absolute
// or empty).
std::string ResolvePath(const std::string& base_dir, const std::string& path);

// Parses a configuration text. On failure returns false with a message that
// names the offending key.
bool ParseConfig(const std::string& text, const std::string& base_dir, Config* out,
                 std::string* error);
bool LoadConfigFile(const std::string& path, Config* out, std::string* error);

// Parses one "faults" object (shared with endpoint kinds that take their own).
bool ParseFaults(const cJSON* node, const std::string& where, Faults* out, std::string* error);

}  // namespace devserver
