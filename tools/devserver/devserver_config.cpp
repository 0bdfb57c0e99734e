#include "devserver/devserver_config.h"

#include <arpa/inet.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>

namespace devserver {
namespace {

bool Fail(std::string* error, const std::string& where, const std::string& what) {
  *error = where + ": " + what;
  return false;
}

// Unknown keys are refused so that a misspelt switch does not silently do nothing.
bool CheckKeys(const cJSON* object, const std::string& where,
               std::initializer_list<const char*> allowed, std::string* error) {
  const cJSON* item = nullptr;
  cJSON_ArrayForEach(item, object) {
    bool known = false;
    for (const char* key : allowed) {
      if (item->string != nullptr && std::string(item->string) == key)
        known = true;
    }
    if (!known)
      return Fail(error, where,
                  std::string("unknown key \"") + (item->string ? item->string : "") + "\"");
  }
  return true;
}

const cJSON* Get(const cJSON* object, const char* key) {
  return cJSON_GetObjectItemCaseSensitive(object, key);
}

bool GetString(const cJSON* object, const char* key, const std::string& where, bool required,
               std::string* out, std::string* error) {
  const cJSON* item = Get(object, key);
  if (item == nullptr) {
    if (required)
      return Fail(error, where, std::string("missing \"") + key + "\"");
    return true;
  }
  if (!cJSON_IsString(item))
    return Fail(error, where + "." + key, "must be a string");
  *out = item->valuestring;
  return true;
}

bool GetInt(const cJSON* object, const char* key, const std::string& where, int64_t min,
            int64_t max, std::optional<int64_t>* out, std::string* error) {
  const cJSON* item = Get(object, key);
  if (item == nullptr)
    return true;
  if (!cJSON_IsNumber(item) || std::floor(item->valuedouble) != item->valuedouble)
    return Fail(error, where + "." + key, "must be an integer");
  if (item->valuedouble < static_cast<double>(min) || item->valuedouble > static_cast<double>(max))
    return Fail(error, where + "." + key,
                "must be in " + std::to_string(min) + ".." + std::to_string(max));
  *out = static_cast<int64_t>(item->valuedouble);
  return true;
}

bool GetBool(const cJSON* object, const char* key, const std::string& where,
             std::optional<bool>* out, std::string* error) {
  const cJSON* item = Get(object, key);
  if (item == nullptr)
    return true;
  if (!cJSON_IsBool(item))
    return Fail(error, where + "." + key, "must be true or false");
  *out = cJSON_IsTrue(item) != 0;
  return true;
}

bool GetStringList(const cJSON* object, const char* key, const std::string& where,
                   std::vector<std::string>* out, std::string* error) {
  const cJSON* item = Get(object, key);
  if (item == nullptr)
    return true;
  if (!cJSON_IsArray(item))
    return Fail(error, where + "." + key, "must be a list of strings");
  const cJSON* entry = nullptr;
  cJSON_ArrayForEach(entry, item) {
    if (!cJSON_IsString(entry))
      return Fail(error, where + "." + key, "must be a list of strings");
    out->push_back(entry->valuestring);
  }
  return true;
}

bool ParseMatch(const cJSON* object, const std::string& where, PathMatch* out, std::string* error) {
  std::string path;
  std::string prefix;
  if (!GetString(object, "path", where, false, &path, error) ||
      !GetString(object, "prefix", where, false, &prefix, error))
    return false;
  if (path.empty() == prefix.empty())
    return Fail(error, where, "needs exactly one of \"path\" and \"prefix\"");
  out->is_prefix = !prefix.empty();
  out->text = out->is_prefix ? prefix : path;
  if (out->text[0] != '/')
    return Fail(error, where, "a path must start with \"/\"");
  return true;
}

bool ParseRedirect(const cJSON* node, const std::string& where, Redirect* out, std::string* error) {
  if (!cJSON_IsObject(node))
    return Fail(error, where, "must be an object");
  if (!CheckKeys(node, where, {"to", "form", "status"}, error))
    return false;
  if (!GetString(node, "to", where, true, &out->to, error) ||
      !GetString(node, "form", where, false, &out->form, error))
    return false;
  if (out->form != "absolute" && out->form != "rooted" && out->form != "relative")
    return Fail(error, where + ".form", "must be \"absolute\", \"rooted\" or \"relative\"");
  if (out->form != "absolute" && out->to[0] != '/')
    return Fail(error, where + ".to", "must start with \"/\" unless the form is absolute");
  std::optional<int64_t> status;
  if (!GetInt(node, "status", where, 300, 399, &status, error))
    return false;
  if (status)
    out->status = static_cast<int>(*status);
  return true;
}

bool ParseStatic(const cJSON* node, const std::string& where, const std::string& base_dir,
                 StaticMount* out, std::string* error) {
  if (!cJSON_IsObject(node))
    return Fail(error, where, "must be an object");
  if (!CheckKeys(node, where, {"prefix", "dir", "content_type"}, error))
    return false;
  if (!GetString(node, "prefix", where, true, &out->prefix, error) ||
      !GetString(node, "dir", where, true, &out->dir, error) ||
      !GetString(node, "content_type", where, false, &out->content_type, error))
    return false;
  if (out->prefix.empty() || out->prefix[0] != '/')
    return Fail(error, where + ".prefix", "must start with \"/\"");
  if (out->prefix.back() != '/')
    out->prefix += '/';
  out->dir = ResolvePath(base_dir, out->dir);
  return true;
}

bool ParseEndpoint(cJSON* node, const std::string& where, EndpointConfig* out, std::string* error) {
  if (!cJSON_IsObject(node))
    return Fail(error, where, "must be an object");
  out->where = where;
  if (!ParseMatch(node, where, &out->match, error) ||
      !GetString(node, "kind", where, true, &out->kind, error) ||
      !GetStringList(node, "methods", where, &out->methods, error))
    return false;
  out->options.reset(cJSON_Duplicate(node, 1), cJSON_Delete);
  return true;
}

bool ParsePathFaults(const cJSON* node, const std::string& where, PathFaults* out,
                     std::string* error) {
  if (!cJSON_IsObject(node))
    return Fail(error, where, "must be an object");
  if (!CheckKeys(node, where, {"path", "prefix", "faults"}, error))
    return false;
  if (!ParseMatch(node, where, &out->match, error))
    return false;
  const cJSON* faults = Get(node, "faults");
  if (faults == nullptr)
    return Fail(error, where, "missing \"faults\"");
  return ParseFaults(faults, where + ".faults", &out->faults, error);
}

// Each list entry goes through `parse_one`, which gets "where[i]".
template <typename T, typename F>
bool ParseList(cJSON* host, const char* key, const std::string& where, std::vector<T>* out,
               std::string* error, F parse_one) {
  cJSON* list = cJSON_GetObjectItemCaseSensitive(host, key);
  if (list == nullptr)
    return true;
  if (!cJSON_IsArray(list))
    return Fail(error, where + "." + key, "must be a list");
  int index = 0;
  cJSON* entry = nullptr;
  cJSON_ArrayForEach(entry, list) {
    T value;
    if (!parse_one(entry, where + "." + key + "[" + std::to_string(index) + "]", &value))
      return false;
    out->push_back(std::move(value));
    ++index;
  }
  return true;
}

bool ParseTls(const cJSON* host, const std::string& where, HostConfig* out, std::string* error) {
  const cJSON* tls = Get(host, "tls");
  if (tls == nullptr || cJSON_IsFalse(tls)) {
    out->tls = TlsMode::kOff;
  } else if (cJSON_IsTrue(tls)) {
    out->tls = TlsMode::kFiles;
  } else if (cJSON_IsString(tls) && std::string(tls->valuestring) == "auto") {
    out->tls = TlsMode::kAuto;
  } else {
    return Fail(error, where + ".tls", "must be true, false or \"auto\"");
  }
  if (!GetString(host, "cert", where, out->tls == TlsMode::kFiles, &out->cert, error) ||
      !GetString(host, "key", where, out->tls == TlsMode::kFiles, &out->key, error) ||
      !GetString(host, "ca_out", where, false, &out->ca_out, error) ||
      !GetStringList(host, "names", where, &out->names, error))
    return false;
  return true;
}

bool ValidName(const std::string& name) {
  if (name.empty())
    return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.';
    if (!ok)
      return false;
  }
  return true;
}

bool ParseHost(cJSON* node, const std::string& where, const std::string& base_dir, HostConfig* out,
               std::string* error) {
  if (!cJSON_IsObject(node))
    return Fail(error, where, "must be an object");
  if (!CheckKeys(node, where,
                 {"name", "address", "port", "tls", "cert", "key", "ca_out", "names", "threads",
                  "static", "endpoints", "faults", "paths"},
                 error))
    return false;
  if (!GetString(node, "name", where, true, &out->name, error) ||
      !GetString(node, "address", where, true, &out->address, error))
    return false;
  if (!ValidName(out->name))
    return Fail(error, where + ".name", "use letters, digits, '-', '_' and '.' only");
  if (!IsLoopbackAddress(out->address))
    return Fail(error, where + ".address",
                "\"" + out->address + "\" is not an IPv4 address in 127.0.0.0/8; refusing to bind");
  std::optional<int64_t> port;
  std::optional<int64_t> threads;
  if (!GetInt(node, "port", where, 0, 65535, &port, error) ||
      !GetInt(node, "threads", where, 1, 1024, &threads, error))
    return false;
  out->port = static_cast<int>(port.value_or(0));
  out->threads = static_cast<int>(threads.value_or(out->threads));
  if (!ParseTls(node, where, out, error))
    return false;
  out->cert = ResolvePath(base_dir, out->cert);
  out->key = ResolvePath(base_dir, out->key);
  out->ca_out = ResolvePath(base_dir, out->ca_out);

  auto parse_static = [&](cJSON* e, const std::string& w, StaticMount* v) {
    return ParseStatic(e, w, base_dir, v, error);
  };
  auto parse_endpoint = [&](cJSON* e, const std::string& w, EndpointConfig* v) {
    return ParseEndpoint(e, w, v, error);
  };
  auto parse_path = [&](cJSON* e, const std::string& w, PathFaults* v) {
    return ParsePathFaults(e, w, v, error);
  };
  if (!ParseList(node, "static", where, &out->statics, error, parse_static) ||
      !ParseList(node, "endpoints", where, &out->endpoints, error, parse_endpoint) ||
      !ParseList(node, "paths", where, &out->paths, error, parse_path))
    return false;
  const cJSON* faults = Get(node, "faults");
  if (faults != nullptr && !ParseFaults(faults, where + ".faults", &out->faults, error))
    return false;
  return true;
}

}  // namespace

Faults MergeFaults(const Faults& base, const Faults& over) {
  Faults out = base;
  auto take = [](auto& field, const auto& value) {
    if (value)
      field = value;
  };
  take(out.no_ranges, over.no_ranges);
  take(out.chunked, over.chunked);
  take(out.redirect, over.redirect);
  take(out.content_type, over.content_type);
  take(out.status, over.status);
  take(out.size, over.size);
  take(out.cut_after, over.cut_after);
  take(out.stall_ms, over.stall_ms);
  take(out.stall_after, over.stall_after);
  take(out.trickle_bps, over.trickle_bps);
  return out;
}

bool PathMatch::Matches(const std::string& request_path) const {
  if (is_prefix)
    return request_path.compare(0, text.size(), text) == 0;
  return request_path == text;
}

bool IsLoopbackAddress(const std::string& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1)
    return false;
  return (ntohl(parsed.s_addr) >> 24) == 127;
}

std::string ResolvePath(const std::string& base_dir, const std::string& path) {
  if (path.empty() || path[0] == '/' || base_dir.empty())
    return path;
  return base_dir + "/" + path;
}

bool ParseFaults(const cJSON* node, const std::string& where, Faults* out, std::string* error) {
  if (!cJSON_IsObject(node))
    return Fail(error, where, "must be an object");
  if (!CheckKeys(node, where,
                 {"no_ranges", "chunked", "redirect", "content_type", "status", "size", "cut_after",
                  "stall_ms", "stall_after", "trickle_bps"},
                 error))
    return false;
  constexpr int64_t kMaxBytes = int64_t{1} << 50;
  std::optional<int64_t> status;
  if (!GetBool(node, "no_ranges", where, &out->no_ranges, error) ||
      !GetBool(node, "chunked", where, &out->chunked, error) ||
      !GetInt(node, "status", where, 100, 599, &status, error) ||
      !GetInt(node, "size", where, 0, kMaxBytes, &out->size, error) ||
      !GetInt(node, "cut_after", where, 0, kMaxBytes, &out->cut_after, error) ||
      !GetInt(node, "stall_ms", where, 0, 24 * 3600 * 1000, &out->stall_ms, error) ||
      !GetInt(node, "stall_after", where, 0, kMaxBytes, &out->stall_after, error) ||
      !GetInt(node, "trickle_bps", where, 1, kMaxBytes, &out->trickle_bps, error))
    return false;
  if (status)
    out->status = static_cast<int>(*status);
  if (const cJSON* type = Get(node, "content_type")) {
    if (!cJSON_IsString(type))
      return Fail(error, where + ".content_type", "must be a string");
    out->content_type = std::string(type->valuestring);
  }
  if (const cJSON* redirect = Get(node, "redirect")) {
    Redirect value;
    if (!ParseRedirect(redirect, where + ".redirect", &value, error))
      return false;
    out->redirect = value;
  }
  return true;
}

bool ParseConfig(const std::string& text, const std::string& base_dir, Config* out,
                 std::string* error) {
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_Parse(text.c_str()), cJSON_Delete);
  if (!root)
    return Fail(error, "config", "not valid JSON");
  if (!cJSON_IsObject(root.get()))
    return Fail(error, "config", "must be a JSON object");
  if (!CheckKeys(root.get(), "config", {"log", "hosts"}, error))
    return false;
  Config config;
  config.base_dir = base_dir;
  if (!GetString(root.get(), "log", "config", false, &config.log, error))
    return false;
  config.log = ResolvePath(base_dir, config.log);
  auto parse_host = [&](cJSON* e, const std::string& w, HostConfig* v) {
    return ParseHost(e, w, base_dir, v, error);
  };
  if (!ParseList(root.get(), "hosts", "config", &config.hosts, error, parse_host))
    return false;
  if (config.hosts.empty())
    return Fail(error, "config.hosts", "needs at least one host");
  std::set<std::string> names;
  for (const HostConfig& host : config.hosts) {
    if (!names.insert(host.name).second)
      return Fail(error, "config.hosts", "the name \"" + host.name + "\" is used twice");
  }
  *out = std::move(config);
  return true;
}

bool LoadConfigFile(const std::string& path, Config* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return Fail(error, path, "cannot read the configuration file");
  std::ostringstream text;
  text << in.rdbuf();
  std::error_code ec;
  std::string base_dir = std::filesystem::absolute(path, ec).parent_path().string();
  if (!ParseConfig(text.str(), base_dir, out, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace devserver
