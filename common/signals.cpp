#include "common/signals.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace common {

namespace {
int g_pipe[2] = {-1, -1};

void onSignal(int signo) {
    // Only what is safe in a handler: one byte to the event loop.
    const unsigned char b = static_cast<unsigned char>(signo);
    const int saved = errno;
    (void)!::write(g_pipe[0], &b, 1);
    errno = saved;
}
}  // namespace

void ignoreOtherDaemonsSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int signo : {SIGUSR1, SIGUSR2}) ::sigaction(signo, &ignore, nullptr);
}

SignalWatcher::SignalWatcher(QObject *parent) : QObject(parent) {
    if (g_pipe[0] < 0) ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe);
    notifier_ = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalWatcher::onReadable);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signo, &sa, nullptr);
    ignoreOtherDaemonsSignals();
}

SignalWatcher::~SignalWatcher() {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signo, &sa, nullptr);
}

void SignalWatcher::onReadable() {
    unsigned char b[64];
    const ssize_t n = ::read(g_pipe[1], b, sizeof b);
    for (ssize_t k = 0; k < n; ++k) {
        if (b[k] == SIGHUP)
            emit reload();
        else
            emit stop(b[k]);
    }
}

}  // namespace common
