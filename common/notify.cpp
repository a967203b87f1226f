#include "common/notify.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace common {

ServiceNotifier::ServiceNotifier(QObject *parent) : QObject(parent) {
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path) return;
    const std::size_t length = std::strlen(path);
    // A path, or "@name" for a name in the abstract namespace.
    if ((path[0] != '/' && path[0] != '@') || length >= sizeof address_.sun_path) return;
    address_.sun_family = AF_UNIX;
    std::memcpy(address_.sun_path, path, length);
    if (path[0] == '@') address_.sun_path[0] = '\0';
    addressLength_ = socklen_t(offsetof(sockaddr_un, sun_path) + length + (path[0] == '@' ? 0 : 1));
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return;

    // WATCHDOG_USEC is meant for this process alone when WATCHDOG_PID says so.
    const char *usec = std::getenv("WATCHDOG_USEC");
    const char *pid = std::getenv("WATCHDOG_PID");
    if (usec && *usec && (!pid || !*pid || std::strtoll(pid, nullptr, 10) == ::getpid())) {
        const long long us = std::strtoll(usec, nullptr, 10);
        if (us > 0) {
            watchdogMs_ = int(std::max(1LL, std::min(us / 2000, 3600LL * 1000)));
            watchdog_.setInterval(watchdogMs_);
            connect(&watchdog_, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
            watchdog_.start();
        }
    }
}

ServiceNotifier::~ServiceNotifier() {
    if (fd_ >= 0) ::close(fd_);
}

bool ServiceNotifier::send(std::string_view message) {
    if (fd_ < 0) return false;
    ssize_t n;
    do {
        n = ::sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr *>(&address_), addressLength_);
    } while (n < 0 && errno == EINTR);
    return n == ssize_t(message.size());
}

void ServiceNotifier::ready() {
    std::string m = "READY=1";
    if (!lastStatus_.empty()) m += "\nSTATUS=" + lastStatus_;
    send(m);
}

void ServiceNotifier::reloading() {
    // systemd 253 and later want the moment the reload began with it.
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const long long us = (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
    send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(us));
}

void ServiceNotifier::stopping() {
    send("STOPPING=1");
}

void ServiceNotifier::status(const std::string &text) {
    if (text == lastStatus_) return;
    lastStatus_ = text;
    send("STATUS=" + text);
}

}  // namespace common
