// The service manager's notification socket (systemd's NOTIFY_SOCKET, sd_notify's datagram
// protocol): one datagram of NAME=value lines a change, READY=1 once listening, RELOADING=1 ...
// READY=1 around a reload, STOPPING=1, STATUS= kept current, and WATCHDOG=1 every half of the
// unit's WatchdogSec= while the event loop turns. Without NOTIFY_SOCKET it does nothing.
#pragma once

#include <QObject>
#include <QTimer>

#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <string_view>

namespace common {

class ServiceNotifier : public QObject {
public:
    explicit ServiceNotifier(QObject *parent = nullptr);
    ~ServiceNotifier() override;

    bool active() const { return fd_ >= 0; }
    void ready();
    void reloading();
    void stopping();
    // Sent when it differs from what was sent last.
    void status(const std::string &text);
    // Sends one message as it stands; false when there is no socket or it did not go.
    bool send(std::string_view message);
    // The watchdog's period in milliseconds (0: none).
    int watchdogMs() const { return watchdogMs_; }

private:
    int fd_ = -1;
    sockaddr_un address_{};
    socklen_t addressLength_ = 0;
    std::string lastStatus_;
    int watchdogMs_ = 0;
    QTimer watchdog_;
};

}  // namespace common
