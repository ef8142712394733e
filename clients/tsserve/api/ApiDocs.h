// The API's own document, Swagger 2.0 as the client library reads it at its
// first call (GET /api/docs): every route of the table that describes an
// operation, under its path less "/api" (the document's basePath), each
// path with its `parameters` (the pattern's, even none) and each operation
// with its id, tags (streams' include "stream", by which the library takes
// the answer as a stream) and query parameters (a parameter the document
// does not declare, the library does not send).
#pragma once
#include "http/RouteTable.h"

#include <string>

std::string ApiDocsJson(const CRouteTable& routes, const std::string& version);
