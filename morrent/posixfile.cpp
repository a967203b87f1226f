#include "morrent/posixfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace morrent {

std::string osError(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

bool readAll(int fd, std::string &out, std::size_t limit) {
    char buffer[65536];
    while (out.size() < limit) {
        ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit - out.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        out.append(buffer, std::size_t(n));
    }
    return true;
}

bool makeFolders(const std::string &path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

std::string replaceFile(const std::string &path, std::string_view text, const std::string &what) {
    const std::string fresh = path + ".new";
    if (::unlink(fresh.c_str()) != 0 && errno != ENOENT) return osError("cannot remove the leftover " + fresh);
    const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == ELOOP) return "cannot write " + what + fresh + ": it is a symbolic link, and morrent writes through none";
        return osError("cannot write " + what + fresh);
    }
    bool ok = writeAll(fd, text) && ::fdatasync(fd) == 0;
    int saved = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(fresh.c_str(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        ::unlink(fresh.c_str());
        errno = saved;
        return osError("cannot write " + what + path);
    }
    return {};
}

}  // namespace morrent
