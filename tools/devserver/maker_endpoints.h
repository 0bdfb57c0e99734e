// Endpoint kinds that stand in for the maker's own servers.
#pragma once

#include "devserver/devserver.h"

namespace devserver {

// "runtime": the runtime description of a product, chosen by the request's
// "product_id" parameter from {"products": {"<id>": "<file>"}}; 404 for a
// product it does not know.
void RegisterMakerEndpoints(EndpointRegistry* registry);

}  // namespace devserver
