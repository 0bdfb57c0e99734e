#include "devserver/maker_endpoints.h"

#include <cjson/cJSON.h>

#include <map>

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

}  // namespace

void RegisterMakerEndpoints(EndpointRegistry* registry) {
  registry->Register("runtime", RuntimeEndpoint);
}

}  // namespace devserver
