// The status page's own listener (--status ADDR:PORT): the live page, /metrics and /stats.json,
// answered from the relay's figures as they stand when asked, to the clients it allows (the
// loopback addresses unless the admin names others). One answer a connection, then it closes.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

#include "common/hostport.h"
#include "common/netaddress.h"
#include "common/relayshell.h"
#include "common/relaystats.h"

namespace common {

class StatusServer : public QObject, private RelayShell::Observer {
    Q_OBJECT
public:
    using Source = std::function<RelaySnapshot()>;
    explicit StatusServer(Source source, QObject *parent = nullptr);

    void stop();
    bool listening() const { return shell_.listening(); }
    // As the options say: opened, moved or closed (port 0), with a line in the log; "" or why the
    // listener could not be had (an open one stays as it was).
    QString apply(const HostPort &where, const AddressList &allowed);

private:
    void refusedClient(const QString &peer, const QString &why) override;

    Source source_;
    RelayShell shell_;
    HostPort where_;  // where it listens now
};

}  // namespace common
