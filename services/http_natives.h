// The value side of the HTTP client: what `read` and `write` of an http:// or https:// URL send
// and what they answer (see the contract in services/http.h).
#pragma once

#include "runtime/cell.h"

namespace kaz::http_natives {

// One request: the method word, the URL, the headers block and the data (null when absent),
// and how the body comes back. Answers the body, or with `info` the block [status headers
// body]. A request without a response raises access no-connect with the URL; a method or
// header that cannot be sent raises script invalid-arg with it.
Cell request(const Cell& method, const Cell& url, const Cell* headers, const Cell* data, bool binary,
             bool lines, bool info);

}  // namespace kaz::http_natives
