// The canned replies the relay sends in place of a blocked page or a picture, and its own answers.
#pragma once

#include <string>
#include <string_view>

namespace halvex {

// The block page: header block and htmlbody(), 258 bytes. No Content-Length: the browser reads
// until the connection ends.
const std::string &htmlreply();

// The one line of HTML the block page shows, with its CR LF.
const std::string &htmlbody();

// The one-byte picture: 182 bytes. It announces one byte and sends three (space, CR, LF); browsers
// have always accepted it.
const std::string &gifreply();

// An answer of halvex's own, with a short page naming what happened: status is the status
// code and its text ("502 Bad Gateway"), detail a sentence for the page (shown escaped). It has
// its length, and says that the connection ends after it.
std::string statusreply(std::string_view status, std::string_view detail);

}  // namespace halvex
