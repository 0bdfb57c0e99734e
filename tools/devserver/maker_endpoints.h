// Endpoint kinds that stand in for the maker's own servers.
#pragma once

#include "devserver/devserver.h"

namespace devserver {

// "runtime": the runtime description of a product, chosen by the request's
// "product_id" parameter from {"products": {"<id>": "<file>"}}; 404 for a
// product it does not know.
// "resolve": an HTTP-DNS resolver answering the short format for the
// request's "name" parameter from {"names": {"<name>": ["<address>", ...]}}
// (["a","b"], [] for a name it does not know). With {"account": {"id",
// "secret", "access"}} a query must carry uid and ak of that account and key =
// lowercase hex SHA-256 of id, secret, ts, name and access; 403 otherwise.
void RegisterMakerEndpoints(EndpointRegistry* registry);

}  // namespace devserver
