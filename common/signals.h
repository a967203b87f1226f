// The signals a service manager sends, turned into events of the program's event loop: SIGTERM
// and SIGINT ask it to stop cleanly, SIGHUP to read its settings again. SIGUSR1 and SIGUSR2,
// which admins send other daemons, are ignored.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace common {

// Signals admins send other daemons (log reopening, statistics: SIGUSR1, SIGUSR2) mean nothing
// here: they are ignored from the start, so that one sent early cannot end the program as their
// default would.
void ignoreOtherDaemonsSignals();

class SignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

signals:
    void stop(int signo);
    void reload();

private:
    void onReadable();
    QSocketNotifier *notifier_;
};

}  // namespace common
