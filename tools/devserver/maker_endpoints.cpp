#include "devserver/maker_endpoints.h"
#include "support/digest.h"

#include <cjson/cJSON.h>
#include <openssl/evp.h>

#include <map>
#include <string>
#include <vector>

namespace devserver {
namespace {

void NotFound(httplib::Response& res) {
  res.status = 404;
  res.set_content("not found", "text/plain");
}

bool RuntimeEndpoint(const EndpointConfig& endpoint, const HostContext& host, EndpointHandler* out,
                     std::string* error) {
  const cJSON* products = cJSON_GetObjectItemCaseSensitive(endpoint.options.get(), "products");
  if (!cJSON_IsObject(products)) {
    *error = endpoint.where + ".products: an object of product id to answer file";
    return false;
  }
  std::map<std::string, std::string> files;
  const cJSON* item = nullptr;
  cJSON_ArrayForEach(item, products) {
    if (!cJSON_IsString(item)) {
      *error = endpoint.where + ".products." + item->string + ": a file name";
      return false;
    }
    files[item->string] = ResolvePath(host.run->base_dir, item->valuestring);
  }
  *out = [files](const httplib::Request& req, httplib::Response& res, const Faults& faults,
                 const HostContext& ctx) {
    auto it = files.find(req.get_param_value("product_id"));
    Body body;
    if (it == files.end() || !FileBody(it->second, "text/xml", &body))
      return NotFound(res);
    SendBody(req, res, std::move(body), faults, ctx.stop);
  };
  return true;
}

// The account an HTTP-DNS query must prove it knows; unset: any query counts.
struct DnsAccount {
  bool check = false;
  std::string id;
  std::string secret;
  std::string access;

  bool Accepts(const httplib::Request& req) const {
    if (!check)
      return true;
    const std::string name = req.get_param_value("name");
    const std::string ts = req.get_param_value("ts");
    return req.get_param_value("uid") == id && req.get_param_value("ak") == access &&
           req.get_param_value("key") == Sha256Hex(id + secret + ts + name + access);
  }
};

bool ReadAccount(const EndpointConfig& endpoint, DnsAccount* out, std::string* error) {
  const cJSON* account = cJSON_GetObjectItemCaseSensitive(endpoint.options.get(), "account");
  if (account == nullptr)
    return true;
  const cJSON* id = cJSON_GetObjectItemCaseSensitive(account, "id");
  const cJSON* secret = cJSON_GetObjectItemCaseSensitive(account, "secret");
  const cJSON* access = cJSON_GetObjectItemCaseSensitive(account, "access");
  if (!cJSON_IsString(id) || !cJSON_IsString(secret) || !cJSON_IsString(access)) {
    *error = endpoint.where + ".account: an object of strings \"id\", \"secret\", \"access\"";
    return false;
  }
  out->check = true;
  out->id = id->valuestring;
  out->secret = secret->valuestring;
  out->access = access->valuestring;
  return true;
}

// The short answer: ["127.0.0.2","127.0.0.3"], [] for a name it does not know.
std::string ShortAnswer(const std::vector<std::string>& addresses) {
  std::string text = "[";
  for (const std::string& address : addresses) {
    if (text.size() > 1)
      text += ",";
    text += "\"" + address + "\"";
  }
  return text + "]";
}

bool ResolveEndpoint(const EndpointConfig& endpoint, const HostContext&, EndpointHandler* out,
                     std::string* error) {
  const cJSON* names = cJSON_GetObjectItemCaseSensitive(endpoint.options.get(), "names");
  if (!cJSON_IsObject(names)) {
    *error = endpoint.where + ".names: an object of host name to a list of addresses";
    return false;
  }
  std::map<std::string, std::string> answers;
  const cJSON* item = nullptr;
  cJSON_ArrayForEach(item, names) {
    if (!cJSON_IsArray(item)) {
      *error = endpoint.where + ".names." + item->string + ": a list of address texts";
      return false;
    }
    std::vector<std::string> addresses;
    const cJSON* address = nullptr;
    cJSON_ArrayForEach(address, item) {
      if (!cJSON_IsString(address)) {
        *error = endpoint.where + ".names." + item->string + ": a list of address texts";
        return false;
      }
      addresses.push_back(address->valuestring);
    }
    answers[item->string] = ShortAnswer(addresses);
  }
  DnsAccount account;
  if (!ReadAccount(endpoint, &account, error))
    return false;
  *out = [answers, account](const httplib::Request& req, httplib::Response& res,
                            const Faults& faults, const HostContext& ctx) {
    if (!account.Accepts(req)) {
      res.status = 403;
      res.set_content("forbidden", "text/plain");
      return;
    }
    auto it = answers.find(req.get_param_value("name"));
    std::string text = it == answers.end() ? "[]" : it->second;
    SendBody(req, res, TextBody(std::move(text), "application/json"), faults, ctx.stop);
  };
  return true;
}

}  // namespace

void RegisterMakerEndpoints(EndpointRegistry* registry) {
  registry->Register("runtime", RuntimeEndpoint);
  registry->Register("resolve", ResolveEndpoint);
}

}  // namespace devserver
