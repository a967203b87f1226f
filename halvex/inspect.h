// Which client chunks the relay logs and filters: GET requests in proxy form, that is with an
// absolute http: address as their target. Everything else is relayed as it is.
#pragma once

#include <string>
#include <string_view>

#include "common/tracetext.h"

namespace halvex {

// The request target of a connection's first chunk, or "" when the chunk is relayed without being
// logged or filtered. The chunk must hold "GET"; the target is the text after the first "GET " up
// to the next space (spaces trimmed), and it must mention "http:" in any case. A chunk that ends
// before that space gives "".
std::string requesttarget(std::string_view pending);

// The same for a later chunk on a kept-alive connection: only a chunk that begins with "GET "
// starts a new request.
std::string latertarget(std::string_view chunk);

// Shown in the URL list and the traces with their control bytes escaped.
using common::escapecontrols;
using common::EscapeOptions;

}  // namespace halvex
