// The few POSIX file steps the cores share. They never throw; a failure leaves errno set.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morrent {

// "what: <the system's text for errno>", for the admin.
std::string osError(const std::string &what);
// Writes all of `bytes`, going on after a signal.
bool writeAll(int fd, std::string_view bytes);
// Appends what is left to read of `fd` to `out`, at most `limit` bytes in all.
bool readAll(int fd, std::string &out, std::size_t limit);
// mkdir -p, 0700 for what it creates: the folders hold other people's mail and their ids.
bool makeFolders(const std::string &path);
// Puts `text` in the place of the file at `path`, through a new file beside it (path + ".new",
// made for this alone: what a killed run left there, or a link planted there, goes first),
// synced before it is renamed: the old file or the whole new one is there, never a part. "" or
// why, the file named as `what` ("the record ", or nothing).
std::string replaceFile(const std::string &path, std::string_view text, const std::string &what = {});

}  // namespace morrent
