#include "common/sendroom.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>

namespace common {

long long SendRoom::measure(int fd) {
    if (age-- <= 0 || sndbuf <= 0) {
        socklen_t len = sizeof sndbuf;
        if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len) != 0) return -1;
        age = 15;
    }
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) != 0) return -1;
    return std::max(0LL, (long long)sndbuf / 2 - queued);
}

}  // namespace common
