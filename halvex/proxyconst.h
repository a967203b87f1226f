// The canned replies the relay sends in place of a blocked page or a picture.
#pragma once

#include <string>

namespace halvex {

// The block page: header block and htmlbody(), 258 bytes. No Content-Length: the browser reads
// until the connection ends.
const std::string &htmlreply();

// The one line of HTML the block page shows, with its CR LF.
const std::string &htmlbody();

// The one-byte picture: 182 bytes. It announces one byte and sends three (space, CR, LF); browsers
// have always accepted it.
const std::string &gifreply();

}  // namespace halvex
