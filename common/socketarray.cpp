// The OS socket calls of the suite live in this file and nowhere else.
#include "common/socketarray.h"

#include "common/hostport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <QDir>
#include <QHostAddress>
#include <QHostInfo>
#include <QCoreApplication>
#include <QThread>
#include <QSocketNotifier>
#include <QTimer>
#include <QGuiApplication>
#include <QAbstractEventDispatcher>
#include <private/qtimerinfo_unix_p.h>
#include <qpa/qwindowsysteminterface.h>
#include <algorithm>
#include <climits>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>

namespace common {

namespace {

// One read takes at most this much; the buffer is shared by every socket, since a chunk is handed
// to its handler straight from it and copied only when the handler leaves it unread.
constexpr size_t kReadSize = 256 * 1024;
// A socket whose handler does not take its data stops reading beyond this much.
constexpr size_t kMaxUnread = 4 * 1024 * 1024;
// A send queue that grew past this is given back to the allocator once it drains.
constexpr size_t kKeepQueueCapacity = 1024 * 1024;
// A closed connection may take this long to write out what was still queued.
constexpr int kLingerMs = 30000;
constexpr int kHostNotFound = Socket::kHostNotFound;
constexpr int kNotAllowed = Socket::kNotAllowed;

char *scratch() {
    static char *buf = new char[kReadSize];
    return buf;
}

// The request id of the most recent Accept; the listener closes a request nobody accepted.
qintptr g_lastAccepted = -1;
// The request being offered by a ConnectionRequest event right now; nothing else can be accepted.
qintptr g_offered = -1;
NetAddress g_offeredPeer;  // its address, as accept gave it

QString errorText(int err) {
    switch (err) {
        case ECONNREFUSED:
            return QStringLiteral("connection refused");
        case ECONNRESET:
            return QStringLiteral("connection reset by peer");
        case ETIMEDOUT:
            return QStringLiteral("connection timed out");
        case EHOSTUNREACH:
            return QStringLiteral("host unreachable");
        case ENETUNREACH:
            return QStringLiteral("network unreachable");
        case EADDRINUSE:
            return QStringLiteral("address in use");
        case EACCES:
            return QStringLiteral("permission denied");
        case EPIPE:
            return QStringLiteral("connection closed by peer");
        case kHostNotFound:
            return QStringLiteral("host not found");
        case kNotAllowed:
            return QStringLiteral("address not allowed");
        default:
            return QString::fromLocal8Bit(std::strerror(err));
    }
}

void setNoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

NetAddress netAddress(const sockaddr_storage &ss) {
    if (ss.ss_family == AF_INET)
        return NetAddress::fromBytes(
            reinterpret_cast<const std::uint8_t *>(&reinterpret_cast<const sockaddr_in *>(&ss)->sin_addr),
            true);
    return NetAddress::fromBytes(
        reinterpret_cast<const sockaddr_in6 *>(&ss)->sin6_addr.s6_addr, false);
}

// Fills ss from a literal address; false when text is not one.
bool literalAddress(const std::string &text, int port, sockaddr_storage &ss, socklen_t &len) {
    std::memset(&ss, 0, sizeof ss);
    std::string host = text;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    auto *v4 = reinterpret_cast<sockaddr_in *>(&ss);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(quint16(port));
        len = sizeof(sockaddr_in);
        return true;
    }
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(quint16(port));
        len = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

// Ends a connection that is ours no longer: end of stream to the peer (unless it was sent
// already), whatever it still had in flight read and dropped (closing over unread input would reset
// the connection; after the peer's own end of stream nothing more can come), then closed.
void closeQuietly(int fd, bool endSent = false, bool peerEnded = false) {
    if (!endSent) ::shutdown(fd, SHUT_WR);
    for (int k = 0; k < 16 && !peerEnded; ++k)
        if (::recv(fd, scratch(), kReadSize, MSG_DONTWAIT) <= 0) break;
    ::close(fd);
}

// One descriptor kept aside, so that a listener of a process that has run out can still take a
// waiting client and refuse it at once.
int g_reserve = -1;
void keepReserve() {
    if (g_reserve < 0) g_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}
// The descriptors above this number are left to the toolkit and the program's own files: a new
// thread (painting, name lookups) needs one, and without it the toolkit gives up the whole process.
// The kernel hands out the lowest free number, so a new socket at or above the line means fewer than
// the headroom are left. Connections to servers may go half-way into the headroom, so that a client
// just taken can still be paired.
int descriptorLine(bool outgoing) {
    static const int limit = [] {
        rlimit rl;
        if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY ||
            rl.rlim_cur > rlim_t(std::numeric_limits<int>::max()))
            return std::numeric_limits<int>::max();
        return int(rl.rlim_cur);
    }();
    if (limit == std::numeric_limits<int>::max()) return limit;
    const int headroom = std::min(32, limit / 4);
    return limit - (outgoing ? headroom / 2 : headroom);
}

// A socket's descriptor moved to the lowest free number, when that is below the line; else -1 with
// the socket closed.
int lowestBelowLine(int fd, bool outgoing) {
    const int line = descriptorLine(outgoing);
    if (fd < line) return fd;
    const int low = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    ::close(fd);
    if (low >= 0 && low < line) return low;
    if (low >= 0) ::close(low);
    return -1;
}

bool refuseWithReserve(int listener) {
    if (g_reserve < 0) return false;
    ::close(g_reserve);
    g_reserve = -1;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) ::close(fd);
    keepReserve();
    return fd >= 0;
}

// A closed connection that still has bytes queued: it writes them out in the background, bounded in
// time, and then ends the connection quietly.
class Linger : public QObject {
public:
    // With ssl, the bytes are written through it (the Linger takes it over).
    Linger(int fd, std::string_view rest, SSL *ssl = nullptr) : fd_(fd), ssl_(ssl), data_(rest) {
        write_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
        connect(write_, &QSocketNotifier::activated, this, [this] { onWritable(); });
        QTimer::singleShot(kLingerMs, this, [this] { finish(); });
    }
    ~Linger() override {
        if (fd_ >= 0) ::close(fd_);
        SSL_free(ssl_);
    }

private:
    void onWritable() {
        while (fd_ >= 0 && head_ < data_.size()) {
            const size_t left = data_.size() - head_;
            if (ssl_) {
                ERR_clear_error();
                const int n = SSL_write(ssl_, data_.data() + head_, int(std::min<size_t>(left, 1 << 30)));
                if (n > 0) {
                    head_ += size_t(n);
                    continue;
                }
                const int e = SSL_get_error(ssl_, n);
                if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) return;
                break;
            }
            ssize_t n = ::send(fd_, data_.data() + head_, left, MSG_NOSIGNAL);
            if (n > 0)
                head_ += size_t(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            else
                break;
        }
        finish();
    }
    void finish() {
        if (fd_ < 0) return;
        write_->setEnabled(false);
        if (ssl_) SSL_shutdown(ssl_);  // close_notify, as far as it goes at once
        closeQuietly(fd_);
        fd_ = -1;
        deleteLater();
    }

    int fd_;
    SSL *ssl_;
    std::string data_;
    size_t head_ = 0;
    QSocketNotifier *write_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------------
// LoopDispatcher: the event loop of a program without a display, waiting in the loop poll's epoll
// set itself. Under Qt's own dispatcher a turn of the loop is two calls into the kernel, Qt's wait
// over its descriptors (the poll's among them) and then the poll's fetch of what is ready; here it
// is one, which is most of what a relay adds to a request and its answer on a quiet connection.
// Qt's own descriptors (its wake-up, signals, a status server's sockets) are in the same set, each
// as a copy of its own (a descriptor Qt closes while still watched keeps no other's number), under
// tags with the top bit set; the sockets' events go to the poll in one batch. Timers are Qt's timer
// list, and window-system events are handed on after each turn, as the platform's dispatcher does.
// It serves the main thread only; other threads keep Qt's.

class LoopDispatcher : public QAbstractEventDispatcher {
public:
    static constexpr std::uint64_t kOwn = std::uint64_t(1) << 63;
    static constexpr std::uint64_t kWake = ~std::uint64_t(0);

    LoopDispatcher();
    ~LoopDispatcher() override;
    static LoopDispatcher *current() {
        return dynamic_cast<LoopDispatcher *>(QAbstractEventDispatcher::instance());
    }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;
    void registerTimer(int id, qint64 interval, Qt::TimerType type, QObject *object) override {
        timers_.registerTimer(id, interval, type, object);
    }
    bool unregisterTimer(int id) override { return timers_.unregisterTimer(id); }
    bool unregisterTimers(QObject *object) override { return timers_.unregisterTimers(object); }
    QList<TimerInfo> registeredTimers(QObject *object) const override {
        return timers_.registeredTimers(object);
    }
    int remainingTime(int id) override { return timers_.timerRemainingTime(id); }
    void wakeUp() override;
    void interrupt() override {
        interrupted_.storeRelaxed(1);
        wakeUp();
    }

private:
    friend class LoopPoll;
    // One of Qt's descriptors: its notifiers, and the copy in the set.
    struct Watched {
        int fd = -1;
        int copy = -1;
        bool file = false;  // a file, which epoll cannot watch: ready on every turn
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
        QSocketNotifier *exception = nullptr;
        std::uint32_t events() const {
            return (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u) | (exception ? EPOLLPRI : 0u);
        }
    };
    Watched *byFd(int fd);
    Watched *byCopy(int copy);
    void control(Watched &w, int op);
    void activate(int copy, std::uint32_t ev);
    bool drainWake();

    int poll_ = -1;
    int wake_ = -1;
    QAtomicInt woken_;
    QAtomicInt interrupted_;
    LoopPoll *sockets_ = nullptr;
    std::vector<Watched> watched_;
    int files_ = 0;
    int gui_ = -1;  // window-system events to hand on; asked of the application once
    QTimerInfoList timers_;
};

// ---------------------------------------------------------------------------------------------------
// LoopPoll: every socket of the event loop in one epoll set, under one notifier (or, under the
// LoopDispatcher, the set the loop waits in). With a notifier per socket the loop would hand the
// kernel every open descriptor on every turn; this way it hands one, and the kernel keeps the list
// of the ready ones. Level-triggered, as the notifiers were.
//
// A socket has an entry in the poll's table for its life; the entry's generation changes whenever
// the socket's descriptor leaves the poll, so that events already fetched for a descriptor that
// was closed (and whose number may be in use again) are dropped. What sockets change while their
// events are handled is handed to the kernel once, after the batch. The poll, its table and its
// sockets belong to one thread, the one whose event loop runs them.

class LoopPoll : public QObject {
public:
    static LoopPoll *current() { return t_current; }
    static LoopPoll *get() {
        if (!t_current) new LoopPoll;
        return t_current;
    }
    ~LoopPoll() override {
        for (Entry &e : entries_)
            if (e.socket) {
                e.socket->watchId_ = -1;
                e.socket->armedFd_ = -1;
                e.socket->changePending_ = false;
            }
        if (owned_) ::close(poll_);
        if (loop_) loop_->sockets_ = nullptr;
        t_current = nullptr;
    }

    // The socket's wanted events changed: told to the kernel now, or after the batch.
    void change(Socket *s) {
        if (!dispatching_) {
            apply(s);
        } else if (!s->changePending_) {
            s->changePending_ = true;
            pending_.push_back(s);
        }
    }
    // Its descriptor leaves the set, and events fetched for it already are dropped. One about to
    // be closed leaves by itself; one that stays open (given to another owner) is taken out.
    void remove(Socket *s, bool stillOpen) {
        if (s->armedFd_ >= 0 && stillOpen) ::epoll_ctl(poll_, EPOLL_CTL_DEL, s->armedFd_, nullptr);
        s->armedFd_ = -1;
        s->armed_ = 0;
        if (s->watchId_ >= 0) {
            std::uint32_t &g = entries_[size_t(s->watchId_)].generation;
            g = (g + 1) & 0x7fffffffu;  // the tag's top bit is the loop's own (LoopDispatcher)
        }
    }
    // A connection to this machine is mostly established before connect() returns: a socket
    // whose connect starts inside a handler is asked once the batch is done, instead of after a
    // sleep and a wake-up for the kernel to tell.
    void connecting(Socket *s) {
        if (dispatching_) fresh_.push_back({s, s->generation_});
    }
    void forget(Socket *s) {
        std::erase_if(fresh_, [s](const Fresh &f) { return f.socket == s; });
        if (s->watchId_ >= 0) leave(s);
    }
    void leave(Socket *s) {
        remove(s, false);
        entries_[size_t(s->watchId_)].socket = nullptr;
        free_.push_back(s->watchId_);
        s->watchId_ = -1;
        if (s->changePending_) std::erase(pending_, s);
        s->changePending_ = false;
    }

private:
    struct Entry {
        Socket *socket = nullptr;
        std::uint32_t generation = 0;
    };
    struct Fresh {
        Socket *socket;
        quint64 generation;
    };

    LoopPoll() {
        t_current = this;
        if (QCoreApplication *app = QCoreApplication::instance();
            app && app->thread() == QThread::currentThread())
            setParent(app);  // goes with the event loop it serves
        if (LoopDispatcher *loop = LoopDispatcher::current()) {
            // The loop waits in this set itself and hands over the sockets' events.
            poll_ = loop->poll_;
            loop->sockets_ = this;
            loop_ = loop;
            return;
        }
        poll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (poll_ < 0) qFatal("epoll_create1: %s", std::strerror(errno));
        owned_ = true;
        auto *notifier = new QSocketNotifier(poll_, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            epoll_event got[256];
            handle(got, ::epoll_wait(poll_, got, 256, 0));
        });
    }

    std::uint64_t tag(const Socket *s) const {
        return std::uint64_t(entries_[size_t(s->watchId_)].generation) << 32 |
               std::uint32_t(s->watchId_);
    }

    void apply(Socket *s) {
        s->changePending_ = false;
        if (s->fd_ < 0) return;
        if (s->watchId_ < 0) {
            if (free_.empty()) {
                s->watchId_ = int(entries_.size());
                entries_.push_back({});
            } else {
                s->watchId_ = free_.back();
                free_.pop_back();
            }
            entries_[size_t(s->watchId_)].socket = s;
        }
        const std::uint32_t events = s->wantedEvents();
        if (s->armedFd_ == s->fd_) {
            // Only what is newly wanted is told at once; what is no longer wanted stays until
            // the kernel reports it (most pauses end before anything comes).
            if ((events & ~s->armed_) == 0) return;
            control(EPOLL_CTL_MOD, s);
        } else {
            if (events == 0) return;  // nothing to wait for: not in the set at all
            if (!control(EPOLL_CTL_ADD, s) && errno == EEXIST) control(EPOLL_CTL_MOD, s);
            s->armedFd_ = s->fd_;
        }
    }

    // The socket's descriptor watched for exactly what it wants now.
    bool control(int op, Socket *s) {
        epoll_event e{};
        e.events = s->wantedEvents();
        e.data.u64 = tag(s);
        s->armed_ = e.events;
        return ::epoll_ctl(poll_, op, s->fd_, &e) == 0;
    }

    bool live(std::uint32_t id, std::uint32_t generation) const {
        return id < entries_.size() && entries_[id].socket && entries_[id].generation == generation;
    }

    friend class LoopDispatcher;

    // A batch of the sockets' events.
    void handle(const epoll_event *got, int n) {
        // A handler may run an event loop of its own (a dialog): the batch it finds there is
        // handled inside, and what was changed waits for the outermost batch to end.
        const bool outermost = !dispatching_;
        dispatching_ = true;
        for (int i = 0; i < n; ++i) {
            const auto id = std::uint32_t(got[i].data.u64);
            const auto generation = std::uint32_t(got[i].data.u64 >> 32);
            if (!live(id, generation)) continue;
            Socket *s = entries_[id].socket;
            const std::uint32_t ev = got[i].events;
            const bool failed = ev & (EPOLLERR | EPOLLHUP);
            const bool readable = s->wantRead_ && (failed || (ev & EPOLLIN));
            const bool writable = s->wantWrite_ && (failed || (ev & EPOLLOUT));
            if (readable) s->onReadable();
            if (writable && live(id, generation) && s->wantWrite_) s->onWritable();
            if (readable || writable || !live(id, generation)) continue;
            if (failed)
                // An end or an error is told even to a descriptor that waits for nothing, and
                // would be told again on every turn: it leaves the set until it waits again.
                remove(s, true);
            else
                control(EPOLL_CTL_MOD, s);  // told of what it no longer waits for
        }
        // One at a time: a handler may destroy the sockets still listed (forget takes them out).
        while (!fresh_.empty()) {
            const Fresh f = fresh_.front();
            fresh_.erase(fresh_.begin());
            Socket *c = f.socket;
            if (c->generation_ != f.generation || c->state_ != Socket::sckConnecting || c->fd_ < 0)
                continue;
            pollfd p{c->fd_, POLLOUT, 0};
            if (::poll(&p, 1, 0) == 1) c->onWritable();
        }
        if (!outermost) return;
        dispatching_ = false;
        // What the handlers changed, told to the kernel once per socket.
        for (std::size_t k = 0; k < pending_.size(); ++k) apply(pending_[k]);
        pending_.clear();
    }

    static thread_local LoopPoll *t_current;
    int poll_ = -1;
    bool owned_ = false;  // its own set, under a notifier of the loop
    LoopDispatcher *loop_ = nullptr;  // or the loop's set; either forgets the other when it goes
    bool dispatching_ = false;
    std::vector<Entry> entries_;
    std::vector<int> free_;
    std::vector<Socket *> pending_;
    std::vector<Fresh> fresh_;
};

thread_local LoopPoll *LoopPoll::t_current = nullptr;

LoopDispatcher::LoopDispatcher() {
    poll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (poll_ < 0 || wake_ < 0) qFatal("event loop: %s", std::strerror(errno));
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = kWake;
    ::epoll_ctl(poll_, EPOLL_CTL_ADD, wake_, &e);
}

LoopDispatcher::~LoopDispatcher() {
    if (sockets_) {
        sockets_->poll_ = -1;
        sockets_->loop_ = nullptr;
    }
    for (const Watched &w : watched_) ::close(w.copy);
    ::close(wake_);
    ::close(poll_);
}

void LoopDispatcher::wakeUp() {
    if (woken_.testAndSetAcquire(0, 1)) ::eventfd_write(wake_, 1);
}

bool LoopDispatcher::drainWake() {
    eventfd_t count;
    woken_.storeRelease(0);
    return ::eventfd_read(wake_, &count) == 0;
}

LoopDispatcher::Watched *LoopDispatcher::byCopy(int copy) {
    for (Watched &w : watched_)
        if (w.copy == copy) return &w;
    return nullptr;
}

LoopDispatcher::Watched *LoopDispatcher::byFd(int fd) {
    for (Watched &w : watched_)
        if (w.fd == fd) return &w;
    return nullptr;
}

// The copy watched for what its notifiers want now; a file, which epoll refuses, is ready on every
// turn instead.
void LoopDispatcher::control(Watched &w, int op) {
    if (w.file) return;
    epoll_event e{};
    e.events = w.events();
    e.data.u64 = kOwn | std::uint32_t(w.copy);
    if (::epoll_ctl(poll_, op, w.copy, &e) != 0 && errno == EPERM) {
        w.file = true;
        ++files_;
    }
}

void LoopDispatcher::registerSocketNotifier(QSocketNotifier *notifier) {
    const int fd = int(notifier->socket());
    Watched *w = byFd(fd);
    const bool known = w != nullptr;
    if (!w) {
        const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) {
            qWarning("event loop: cannot watch descriptor %d: %s", fd, std::strerror(errno));
            return;
        }
        w = &watched_.emplace_back();
        w->fd = fd;
        w->copy = copy;
    }
    switch (notifier->type()) {
    case QSocketNotifier::Read: w->read = notifier; break;
    case QSocketNotifier::Write: w->write = notifier; break;
    case QSocketNotifier::Exception: w->exception = notifier; break;
    }
    control(*w, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD);
}

void LoopDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier) {
    Watched *w = byFd(int(notifier->socket()));
    if (!w) return;
    for (QSocketNotifier **n : {&w->read, &w->write, &w->exception})
        if (*n == notifier) *n = nullptr;
    if (w->events() != 0) {
        control(*w, EPOLL_CTL_MOD);
        return;
    }
    if (w->file) --files_;
    ::close(w->copy);  // leaves the set with it
    watched_.erase(watched_.begin() + (w - watched_.data()));
}

// The notifiers of one descriptor that the event concerns, one after the other; each may end
// the watch of the others.
void LoopDispatcher::activate(int copy, std::uint32_t ev) {
    static constexpr std::uint32_t kWant[] = {EPOLLIN | EPOLLHUP | EPOLLERR,
                                              EPOLLOUT | EPOLLHUP | EPOLLERR, EPOLLPRI};
    for (int k = 0; k < 3; ++k) {
        Watched *w = byCopy(copy);
        if (!w) return;
        QSocketNotifier *n = k == 0 ? w->read : k == 1 ? w->write : w->exception;
        if (!n || !(ev & kWant[k])) continue;
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(n, &event);
    }
}

bool LoopDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    interrupted_.storeRelaxed(0);
    emit awake();
    // Whatever is posted from here on writes to the wake-up descriptor, so the wait below ends
    // at once for it.
    QCoreApplication::sendPostedEvents();
    if (interrupted_.loadRelaxed()) return false;

    const bool timers = !(flags & QEventLoop::X11ExcludeTimers);
    int timeout = flags & QEventLoop::WaitForMoreEvents ? -1 : 0;
    if (timespec left{}; timers && timers_.timerWait(left)) {
        const long long ms = left.tv_sec * 1000LL + (left.tv_nsec + 999999) / 1000000;
        timeout = timeout < 0 ? int(std::min<long long>(ms, INT_MAX)) : std::min(timeout, int(ms));
    }
    if (files_ > 0) timeout = 0;
    if (timeout != 0) emit aboutToBlock();

    int done = 0;
    if (flags & QEventLoop::ExcludeSocketNotifiers) {
        // Sockets wait for a later turn: only a wake-up or a timer ends this one.
        pollfd p{wake_, POLLIN, 0};
        if (::poll(&p, 1, timeout) == 1 && drainWake()) ++done;
    } else {
        epoll_event got[256];
        int n = ::epoll_wait(poll_, got, 256, timeout);
        if (n < 0) n = 0;  // a signal: its handler's descriptor tells the rest
        // The sockets' events first, as one batch; then Qt's descriptors.
        epoll_event *own = std::partition(got, got + n, [](const epoll_event &e) {
            return !(e.data.u64 & kOwn);
        });
        if (own != got && sockets_) sockets_->handle(got, int(own - got));
        done += int(own - got);
        for (epoll_event *e = own; e != got + n; ++e) {
            ++done;
            if (e->data.u64 == kWake)
                drainWake();
            else
                activate(int(std::uint32_t(e->data.u64)), e->events);
        }
        if (files_ > 0) {
            std::vector<int> ready;
            for (const Watched &w : watched_)
                if (w.file) ready.push_back(w.copy);
            for (int copy : ready) activate(copy, EPOLLIN | EPOLLOUT);
        }
    }
    if (timers) done += timers_.activateTimers();
    if (gui_ < 0) gui_ = qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr;
    if (gui_ && QWindowSystemInterface::sendWindowSystemEvents(flags)) ++done;
    return done > 0;
}

void useLoopDispatcher() {
    QCoreApplication::setEventDispatcher(new LoopDispatcher);
}

void Socket::watchFor(bool read, bool write) {
    wantRead_ = read;
    wantWrite_ = write;
    if (fd_ < 0) return;
    const std::uint32_t events = wantedEvents();
    // Nothing new to wait for: the poll tightens its watch when the kernel reports the rest.
    if (armedFd_ == fd_ ? (events & ~armed_) == 0 : events == 0) return;
    LoopPoll::get()->change(this);
}

std::uint32_t Socket::wantedEvents() const {
    return (wantRead_ ? EPOLLIN : 0u) | (wantWrite_ ? EPOLLOUT : 0u);
}

void Socket::dropWatch(bool stillOpen) {
    wantRead_ = wantWrite_ = false;
    if (LoopPoll *poll = LoopPoll::current()) poll->remove(this, stillOpen);
}

// ---------------------------------------------------------------------------------------------------
// Socket

Socket::Socket(SocketArray *array, int index) : array_(array), index_(index) {}

Socket::~Socket() {
    if (lookupId_ >= 0) QHostInfo::abortHostLookup(lookupId_);
    dropWatch(false);
    if (LoopPoll *poll = LoopPoll::current()) poll->forget(this);
    if (fd_ >= 0) ::close(fd_);
    SSL_free(ssl_);
}

bool Socket::emitEvent() {
    return array_ != nullptr;
}

void Socket::resetState() {
    ++generation_;
    if (lookupId_ >= 0) {
        QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
    dropWatch(fd_ >= 0);
    state_ = sckClosed;
    in_.clear();
    out_.clear();
    outHead_ = 0;
    if (out_.capacity() > kKeepQueueCapacity) std::string().swap(out_);
    if (in_.capacity() > kKeepQueueCapacity) std::string().swap(in_);
    readPaused_ = false;
    readLimit_ = 0;
    room_ = {};
    roomLeft_ = 0;
    shutdownPending_ = false;
    sentShutdown_ = false;
    peekedScratch_ = false;
    dialing_.reset();
    dropTls();
}

void Socket::dropTls() {
    SSL_free(ssl_);
    ssl_ = nullptr;
    tls_.reset();
    tlsPhase_ = kTlsNone;
    connectAfterTls_ = false;
    readScheduled_ = false;
    tlsWantsRead_ = false;
}

void Socket::adopt(int fd, int state) {
    resetState();
    fd_ = fd;
    state_ = state;
    if (state == sckConnecting)
        watchFor(false, true);
    else
        watchFor(true, false);
}

void Socket::detach() {
    array_ = nullptr;
    Close();
}

// A listening descriptor on ip:port (every interface when ip is empty), or -1 and why.
int Socket::openListener(const QString &ip, int &port, QString *why) {
    if (port < 0 || port > 65535) {
        if (why) *why = QStringLiteral("port %1 is out of range").arg(port);
        return -1;
    }
    sockaddr_storage ss;
    socklen_t len = 0;
    int fd = -1;
    if (ip.isEmpty()) {
        // Every interface: IPv6 with IPv4 mapped in where the machine has IPv6, else IPv4.
        fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            int off = 0;
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
            literalAddress("::", port, ss, len);
        } else {
            literalAddress("0.0.0.0", port, ss, len);
        }
    } else if (!literalAddress(ip.toStdString(), port, ss, len)) {
        if (why) *why = QStringLiteral("%1 is not an address").arg(ip);
        return -1;
    }
    if (fd < 0) fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    auto refuse = [&](int err) {
        if (why) *why = errorText(err);
        if (fd >= 0) ::close(fd);
        return -1;
    };
    if (fd < 0) return refuse(errno);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setNoDelay(fd);  // the accepted connections inherit it
    if (::bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) return refuse(errno);
    if (::listen(fd, 4096) != 0) return refuse(errno);
    sockaddr_storage bound;
    socklen_t blen = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &blen) == 0)
        port = ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    return fd;
}

bool Socket::Listen(QString *why) {
    Close();
    state_ = sckClosed;
    int port = LocalPort;
    const int fd = openListener(LocalIP, port, why);
    if (fd < 0) return false;
    LocalPort = port;
    adopt(fd, sckListening);
    keepReserve();
    return true;
}

bool Socket::ListenAgain(const QString &ip, int port, QString *why) {
    if (state_ != sckListening) {
        LocalIP = ip;
        LocalPort = port;
        return Listen(why);
    }
    int newPort = port;
    int fd = openListener(ip, newPort, why);
    if (fd < 0) {
        // The same port on another address of this machine can only be had once the old one
        // is given up; the old one is opened again when the new one cannot be had either.
        if (port != LocalPort) return false;
        const QString oldIp = LocalIP;
        const int oldPort = LocalPort;
        Close();
        fd = openListener(ip, newPort, why);
        if (fd < 0) {
            int back = oldPort;
            const int old = openListener(oldIp, back, nullptr);
            if (old >= 0) adopt(old, sckListening);
            return false;
        }
    } else {
        Close();  // the new one is open: clients never find the door shut
    }
    LocalIP = ip;
    LocalPort = newPort;
    adopt(fd, sckListening);
    keepReserve();
    return true;
}

bool Socket::Accept(qintptr requestID) {
    if (state_ != sckClosed || requestID < 0 || requestID != g_offered) return false;
    int fd = int(requestID);
    g_lastAccepted = requestID;
    // No delay comes with it from the listener.
    adopt(fd, sckConnected);
    setRemote(g_offeredPeer);
    RemoteHost.clear();
    return true;
}

void Socket::Connect() {
    Close();
    ++generation_;
    if (RemotePort < 1 || RemotePort > 65535) {
        state_ = sckError;
        failLater(EINVAL);
        return;
    }
    sockaddr_storage ss;
    socklen_t len;
    std::string host = RemoteHost.trimmed().toStdString();
    if (literalAddress(host, RemotePort, ss, len)) {
        dialing_ = std::make_unique<Dialing>();
        dialing_->addresses.push_back(host);
        tryNextAddress();
        return;
    }
    // What is no host name (blanks, control bytes, a port...) is not handed to the resolver.
    if (!isHostName(host)) {
        state_ = sckError;
        failLater(kHostNotFound);
        return;
    }
    state_ = sckResolvingHost;
    dialing_ = std::make_unique<Dialing>();
    lookupId_ = QHostInfo::lookupHost(QString::fromStdString(host), this, &Socket::onResolved);
}

void Socket::onResolved(const QHostInfo &info) {
    if (info.lookupId() != lookupId_) return;  // a lookup given up already
    lookupId_ = -1;
    if (state_ != sckResolvingHost || !dialing_) return;
    // IPv4 first: most servers here listen there, and a refused IPv6 attempt costs a round trip.
    for (int pass = 0; pass < 2; ++pass)
        for (const QHostAddress &a : info.addresses())
            if ((a.protocol() == QAbstractSocket::IPv4Protocol) == (pass == 0))
                dialing_->addresses.push_back(a.toString().toStdString());
    if (info.error() != QHostInfo::NoError || dialing_->addresses.empty()) {
        fail(kHostNotFound);
        return;
    }
    tryNextAddress();
}

void Socket::tryNextAddress() {
    int lastErr = ECONNREFUSED;
    while (dialing_ && dialing_->next < dialing_->addresses.size()) {
        sockaddr_storage ss;
        socklen_t len;
        if (!literalAddress(dialing_->addresses[dialing_->next++], RemotePort, ss, len)) continue;
        if (allowAddress && !allowAddress(netAddress(ss), RemotePort)) {
            lastErr = kNotAllowed;
            continue;
        }
        int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            lastErr = errno;
            continue;
        }
        fd = lowestBelowLine(fd, true);
        if (fd < 0) {
            lastErr = EMFILE;
            continue;
        }
        setNoDelay(fd);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&ss), len) == 0 || errno == EINPROGRESS) {
            // The lookup and the earlier attempts belong to this same Connect: keep them.
            auto dialing = std::move(dialing_);
            quint64 gen = generation_;
            adopt(fd, sckConnecting);
            dialing_ = std::move(dialing);
            generation_ = gen;
            dialing_->to = ss;
            if (LoopPoll *poll = LoopPoll::current()) poll->connecting(this);
            return;
        }
        lastErr = errno;
        ::close(fd);
    }
    state_ = sckError;
    failLater(lastErr);
}

void Socket::connectFinished() {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
        ::close(fd_);
        fd_ = -1;
        if (dialing_ && dialing_->next < dialing_->addresses.size()) {
            // Keep the clean-up and the attempt's bookkeeping in one place.
            auto dialing = std::move(dialing_);
            quint64 gen = generation_;
            resetState();
            generation_ = gen;
            dialing_ = std::move(dialing);
            tryNextAddress();
            return;
        }
        fail(err);
        return;
    }
    if (dialing_) setRemote(netAddress(dialing_->to));
    dialing_.reset();
    state_ = sckConnected;
    setWriting(false);
    updateReading();
    if (tlsOnConnect) {
        // The program hears of the connection once it is safe to talk over it.
        StartTls(*tlsOnConnect);
        connectAfterTls_ = true;
        return;
    }
    if (emitEvent()) emit array_->Connect(index_);
}

void Socket::onReadable() {
    if (fd_ < 0) return;
    if (state_ == sckListening) {
        // Take a burst of waiting clients per wake-up.
        bool askedForRoom = false;
        for (int k = 0; k < 64 && state_ == sckListening; ++k) {
            sockaddr_storage ss;
            socklen_t len = sizeof ss;
            int fd = ::accept4(fd_, reinterpret_cast<sockaddr *>(&ss), &len,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                const int err = errno;
                if (err == EMFILE || err == ENFILE) {
                    if (!askedForRoom) {
                        // The program may free a descriptor (drop a client that is waiting for
                        // nothing); then accepting is tried once more.
                        askedForRoom = true;
                        quint64 gen = generation_;
                        if (emitEvent()) emit array_->Exhausted(index_);
                        if (gen != generation_ || !array_) return;
                        continue;
                    }
                    // Still none: the client is refused at once with the descriptor kept for
                    // this, instead of being left waiting in the backlog.
                    if (refuseWithReserve(fd_)) continue;
                }
                if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
                    // Out of resources: stop asking for a moment instead of spinning on the
                    // listener; waiting clients stay in the backlog.
                    setReading(false);
                    quint64 gen = generation_;
                    QTimer::singleShot(100, this, [this, gen] {
                        if (gen == generation_) setReading(true);
                    });
                }
                return;
            }
            if (fd >= descriptorLine(false)) {
                // Nearly out: the program may free a descriptor first; a client still beyond
                // the line is refused at once.
                if (!askedForRoom) {
                    askedForRoom = true;
                    quint64 gen = generation_;
                    if (emitEvent()) emit array_->Exhausted(index_);
                    if (gen != generation_ || !array_) {
                        ::close(fd);
                        return;
                    }
                }
                fd = lowestBelowLine(fd, false);
                if (fd < 0) continue;
            }
            setRemote(netAddress(ss));
            RemoteHost.clear();  // no reverse lookup on the event thread
            g_lastAccepted = -1;
            quint64 gen = generation_;
            g_offered = fd;
            g_offeredPeer = remoteAddress_;
            if (emitEvent()) emit array_->ConnectionRequest(index_, fd);
            g_offered = -1;
            if (g_lastAccepted != fd) ::close(fd);
            if (gen != generation_ || !array_) return;
        }
        return;
    }
    if (tlsPhase_ == kTlsHandshake) {
        handshake();
        return;
    }
    if (tlsWantsRead_) {
        // A TLS write was waiting for the peer's bytes.
        tlsWantsRead_ = false;
        flush();
        if (fd_ < 0) return;
    }
    // A fast sender leaves more waiting after a full read: a few reads per wake-up spare the
    // round trips through the event loop, and the bound keeps the other connections served.
    ssize_t n = 0;
    for (int round = 0; round < 4; ++round) {
        if (readPaused_ || (round > 0 && (fd_ < 0 || state_ != sckConnected || !in_.empty())))
            return;
        const size_t want = readLimit_ ? readLimit_ : kReadSize;
        n = readSome(scratch(), want);
        if (n <= 0) break;
        if (in_.empty()) {
            peekedScratch_ = true;
        } else {
            in_.append(scratch(), size_t(n));
        }
        const size_t total = peekedScratch_ ? size_t(n) : in_.size();
        scratchLen_ = size_t(n);
        quint64 gen = generation_;
        if (emitEvent()) emit array_->DataArrival(index_, qint64(total));
        if (gen != generation_) return;
        if (peekedScratch_) {
            // The handler left the chunk unread: keep it.
            in_.assign(scratch(), scratchLen_);
            peekedScratch_ = false;
        }
        updateReading();
        // Bytes TLS has decrypted already raise no event of the descriptor: read them soon.
        if (size_t(n) < want) {
            if (tlsBuffered()) scheduleRead();
            return;
        }
    }
    if (n > 0) {
        if (tlsBuffered()) scheduleRead();
        return;
    }
    if (n == 0) {
        // End of stream from the peer: it may still read what we send.
        state_ = sckClosing;
        setReading(false);
        if (emitEvent()) emit array_->Close(index_);
        return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    fail(errno);
}

void Socket::onWritable() {
    if (fd_ < 0) return;
    if (state_ == sckConnecting) {
        connectFinished();
        return;
    }
    if (tlsPhase_ == kTlsHandshake) {
        handshake();
        return;
    }
    flush();
    if (fd_ >= 0 && state_ != sckError && unsent() == 0 && emitEvent())
        emit array_->SendComplete(index_);
}

void Socket::flush() {
    if (tlsPhase_ == kTlsHandshake) return;  // queued until the handshake is done
    while (outHead_ < out_.size()) {
        ssize_t n = writeSome(out_.data() + outHead_, out_.size() - outHead_);
        if (n > 0) {
            outHead_ += size_t(n);
            roomLeft_ -= n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            setWriting(true);
            return;
        } else {
            fail(errno);
            return;
        }
    }
    out_.clear();
    outHead_ = 0;
    if (out_.capacity() > kKeepQueueCapacity) std::string().swap(out_);
    setWriting(false);
    if (tlsPhase_ == kTlsAfterFlush) {
        // What went before the upgrade is out: the handshake may start.
        beginHandshake();
        return;
    }
    if (shutdownPending_ && !sentShutdown_) {
        if (ssl_) SSL_shutdown(ssl_);
        ::shutdown(fd_, SHUT_WR);
        sentShutdown_ = true;
    }
}

bool Socket::SendData(std::string_view first, std::string_view second) {
    if ((state_ != sckConnected && state_ != sckClosing) || shutdownPending_) return false;
    if (first.empty()) std::swap(first, second);
    if (first.empty()) return true;
    if (ssl_ && !second.empty()) return SendData(first) && SendData(second);
    if (outHead_ == out_.size() && tlsPhase_ != kTlsHandshake && tlsPhase_ != kTlsAfterFlush) {
        // Nothing queued: hand it to the kernel straight away, queue only what it does not take.
        ssize_t n;
        do {
            n = second.empty() ? writeSome(first.data(), first.size()) : writeTwo(first, second);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            int err = errno;
            state_ = sckError;
            failLater(err);
            return false;
        }
        if (n > 0) {
            roomLeft_ -= n;
            const std::size_t fromFirst = std::min(first.size(), std::size_t(n));
            first.remove_prefix(fromFirst);
            second.remove_prefix(std::size_t(n) - fromFirst);
        }
        if (first.empty() && second.empty()) return true;
        out_.clear();
        outHead_ = 0;
    } else if (outHead_ > out_.size() / 2) {
        out_.erase(0, outHead_);
        outHead_ = 0;
    }
    out_.append(first).append(second);
    if (tlsPhase_ != kTlsHandshake) setWriting(true);
    return true;
}

std::string_view Socket::peekData() const {
    if (peekedScratch_) return {scratch(), scratchLen_};
    return in_;
}

void Socket::consumeData() {
    peekedScratch_ = false;
    in_.clear();
    updateReading();
}

void Socket::GetData(std::string &out) {
    std::string_view v = peekData();
    out.assign(v.data(), v.size());
    consumeData();
}

std::string Socket::GetData() {
    std::string s;
    GetData(s);
    return s;
}

qint64 Socket::bytesPending() const {
    return qint64(peekData().size());
}

void Socket::updateReading() {
    if (fd_ < 0 || tlsPhase_ == kTlsHandshake) return;
    // Nothing is read between an upgrade and its handshake.
    bool want = (state_ == sckConnected || state_ == sckListening) && !readPaused_ &&
                in_.size() < kMaxUnread && tlsPhase_ != kTlsAfterFlush;
    if (wantRead_ != want) setReading(want);
}

qint64 Socket::sendRoom() const {
    if (fd_ < 0) return 0;
    // The kernel only empties its queue between two measurements, so the last one less what was
    // sent since is a floor. While that floor is two full reads or more, the relay decides the
    // same as on the exact figure, without a system call a chunk.
    if (roomLeft_ >= qint64(2 * kReadSize)) return roomLeft_ - unsent();
    const long long room = room_.measure(fd_);
    if (room < 0) return 0;
    roomLeft_ = room;
    return roomLeft_ - unsent();
}

void Socket::setReadLimit(qint64 bytes) {
    readLimit_ = bytes <= 0 || size_t(bytes) >= kReadSize ? 0 : size_t(bytes);
}

void Socket::watchWritable() {
    if (fd_ < 0 || (state_ != sckConnected && state_ != sckClosing)) return;
    setWriting(true);
}

void Socket::setReadPaused(bool paused) {
    readPaused_ = paused;
    updateReading();
    if (!paused && tlsBuffered()) scheduleRead();
}

void Socket::ShutdownSend() {
    if (fd_ < 0 || (state_ != sckConnected && state_ != sckClosing) || shutdownPending_) return;
    shutdownPending_ = true;
    if (unsent() == 0 && tlsPhase_ != kTlsHandshake && tlsPhase_ != kTlsAfterFlush) {
        if (ssl_) SSL_shutdown(ssl_);
        ::shutdown(fd_, SHUT_WR);
        sentShutdown_ = true;
    }
}

bool Socket::idleInTheClear() const {
    return fd_ >= 0 && state_ == sckConnected && tlsPhase_ == kTlsNone && !shutdownPending_ &&
           unsent() == 0 && bytesPending() == 0 && !readScheduled_;
}

int Socket::giveAway() {
    dropWatch(true);
    const int fd = fd_;
    fd_ = -1;
    resetState();
    return fd;
}

void Socket::Close() {
    if (fd_ >= 0) {
        const bool established = state_ == sckConnected || state_ == sckClosing;
        const bool clear = tlsPhase_ == kTlsNone;
        const bool lingers = established && unsent() > 0 && !sentShutdown_ && (clear || encrypted());
        dropWatch(lingers);
        if (lingers) {
            // Queued bytes still go out, in the background: the connection is no longer ours
            // (no events, the element is free). Through TLS, the Linger takes the session over.
            new Linger(fd_, std::string_view(out_.data() + outHead_, out_.size() - outHead_), ssl_);
            ssl_ = nullptr;
        } else if (established) {
            if (encrypted() && !sentShutdown_) SSL_shutdown(ssl_);
            closeQuietly(fd_, sentShutdown_, state_ == sckClosing);
        } else {
            ::close(fd_);
        }
        fd_ = -1;
    }
    resetState();
}

void Socket::Abort() {
    if (fd_ >= 0) {
        linger lg{1, 0};  // reset the connection: the peer learns at once that data was dropped
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        ::close(fd_);
        fd_ = -1;
    }
    resetState();
}

void Socket::fail(int err, const QString &why) {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    quint64 gen = generation_ + 1;
    resetState();
    generation_ = gen;
    state_ = sckError;
    if (emitEvent()) emit array_->Error(index_, err, why.isEmpty() ? errorText(err) : why);
}

// ---- TLS ----------------------------------------------------------------------------------------

bool Socket::StartTls(const TlsSettings &settings, std::string_view alreadyRead) {
    if (fd_ < 0 || (state_ != sckConnected && state_ != sckClosing) || ssl_) return false;
    // OpenSSL writes with write(), not send(MSG_NOSIGNAL): a peer gone in the middle of a record
    // must not end the program.
    static const bool noSigpipe = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)noSigpipe;
    if (settings.server && !settings.identity) return false;
    tls_ = std::make_unique<TlsSettings>(settings);
    ssl_ = SSL_new(settings.server ? settings.identity->context() : tlsClientContext());
    if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1) {
        dropTls();
        return false;
    }
    std::string early(alreadyRead);
    if (settings.server && settings.keepUnread) early.append(peekData());
    if (!early.empty()) {
        // The stream's first bytes were read already (behind a PROXY header, or a hello sent
        // before its answer): TLS reads them first, then the descriptor. They are copied.
        BIO *buffered = BIO_new(BIO_f_buffer());
        BIO_push(buffered, BIO_new_socket(fd_, BIO_NOCLOSE));
        BIO_set_buffer_read_data(buffered, early.data(), long(early.size()));
        SSL_set0_rbio(ssl_, buffered);
    }
    if (settings.server) {
        if (!settings.identity->prepare(ssl_)) {
            dropTls();
            return false;
        }
        SSL_set_accept_state(ssl_);
    } else {
        prepareTlsClient(ssl_, settings.check);
        SSL_set_connect_state(ssl_);
    }
    // What came in the clear before the upgrade is not the peer's to say.
    in_.clear();
    peekedScratch_ = false;
    if (unsent() > 0) {
        tlsPhase_ = kTlsAfterFlush;
        setReading(false);
        setWriting(true);
    } else {
        beginHandshake();
    }
    return true;
}

void Socket::beginHandshake() {
    tlsPhase_ = kTlsHandshake;
    // From the event loop: a failure is never reported inside the caller's own call.
    setReading(false);
    setWriting(true);
}

void Socket::handshake() {
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl_);
    if (r == 1) {
        if (std::string why = tls_->server ? std::string() : checkTlsPin(ssl_, tls_->check);
            !why.empty()) {
            fail(kTlsFailed, QString::fromStdString(why));
            return;
        }
        tlsPhase_ = kTlsReady;
        setWriting(false);
        updateReading();
        const bool connect = connectAfterTls_;
        connectAfterTls_ = false;
        const quint64 gen = generation_;
        if (unsent() > 0) flush();  // what waited for the handshake (a greeting)
        if (gen != generation_) return;
        // Application bytes may have come with the handshake's last flight.
        scheduleRead();
        if (emitEvent()) {
            if (connect)
                emit array_->Connect(index_);
            else
                emit array_->Encrypted(index_);
        }
        return;
    }
    switch (SSL_get_error(ssl_, r)) {
        case SSL_ERROR_WANT_READ:
            setWriting(false);
            setReading(true);
            return;
        case SSL_ERROR_WANT_WRITE:
            setReading(false);
            setWriting(true);
            return;
        default:
            fail(kTlsFailed, QString::fromStdString(tlsFailureText(ssl_, tls_->check)));
            return;
    }
}

void Socket::scheduleRead() {
    if (readScheduled_) return;
    readScheduled_ = true;
    const quint64 gen = generation_;
    QTimer::singleShot(0, this, [this, gen] {
        if (gen != generation_) return;
        readScheduled_ = false;
        if (fd_ >= 0 && !readPaused_ && state_ == sckConnected) onReadable();
    });
}

ssize_t Socket::readSome(char *buf, size_t want) {
    if (!ssl_) return ::recv(fd_, buf, want, 0);
    // A record holds at most 16 KiB: the records already here fill one chunk, so that the program
    // hears of them once.
    size_t got = 0;
    int n = 0;
    while (got < want) {
        ERR_clear_error();
        n = SSL_read(ssl_, buf + got, int(std::min<size_t>(want - got, 1 << 30)));
        if (n <= 0) break;
        got += size_t(n);
    }
    if (got > 0) return ssize_t(got);  // what ended the loop comes again at the next read
    switch (SSL_get_error(ssl_, n)) {
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_WANT_READ:
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_WANT_WRITE:
            setWriting(true);
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_SYSCALL:
            if (errno == 0) return 0;
            return -1;
        default:
            errno = EPROTO;
            return -1;
    }
}

ssize_t Socket::writeTwo(std::string_view first, std::string_view second) {
    iovec parts[2] = {{const_cast<char *>(first.data()), first.size()},
                      {const_cast<char *>(second.data()), second.size()}};
    msghdr m{};
    m.msg_iov = parts;
    m.msg_iovlen = 2;
    return ::sendmsg(fd_, &m, MSG_NOSIGNAL);
}

ssize_t Socket::writeSome(const char *buf, size_t len) {
    if (!ssl_) return ::send(fd_, buf, len, MSG_NOSIGNAL);
    ERR_clear_error();
    const int n = SSL_write(ssl_, buf, int(std::min<size_t>(len, 1 << 30)));
    if (n > 0) return n;
    switch (SSL_get_error(ssl_, n)) {
        case SSL_ERROR_WANT_WRITE:
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_WANT_READ:
            // Waits for the peer: retried when the descriptor is readable.
            tlsWantsRead_ = true;
            setReading(true);
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_SYSCALL:
            if (errno == 0) errno = EPIPE;
            return -1;
        default:
            errno = EPROTO;
            return -1;
    }
}

bool Socket::tlsBuffered() const {
    // Read ahead: bytes of records not yet decrypted count too.
    return ssl_ && (SSL_has_pending(ssl_) || BIO_ctrl_pending(SSL_get_rbio(ssl_)) > 0);
}

std::string Socket::tlsRequestedName() const {
    return encrypted() ? requestedServerName(ssl_) : std::string();
}

std::int64_t Socket::tlsPeerEnd() const {
    return encrypted() ? peerCertificateEnd(ssl_) : 0;
}

QString Socket::tlsInfo() const {
    return encrypted() ? QString::fromStdString(tlsDescription(ssl_)) : QString();
}

void Socket::failLater(int err) {
    quint64 gen = generation_;
    QTimer::singleShot(0, this, [this, gen, err] {
        if (gen != generation_) return;
        fail(err);
    });
}

// ---------------------------------------------------------------------------------------------------
// SocketArray

SocketArray::SocketArray(const QString &name, QObject *parent) : QObject(parent) {
    setObjectName(name);
    elements_.push_back(new Socket(this, 0));
    count_ = 1;
}

SocketArray::~SocketArray() {
    // An array can go away inside one of its own handlers (a window unloaded from a socket event):
    // the elements are detached now and deleted when control is back in the event loop.
    for (Socket *s : elements_) {
        if (!s) continue;
        s->detach();
        s->deleteLater();
    }
    for (Socket *s : spare_) s->deleteLater();  // one may still be on the stack
}

Socket *SocketArray::at(int i) const {
    if (i < 0 || size_t(i) >= elements_.size()) return nullptr;
    return elements_[size_t(i)];
}

Socket &SocketArray::operator[](int i) const {
    Socket *s = at(i);
    Q_ASSERT_X(s, "SocketArray", "element does not exist");
    return *s;
}

bool SocketArray::Load(int i) {
    if (i < 1 || exists(i)) return false;
    if (size_t(i) >= elements_.size()) elements_.resize(size_t(i) + 1, nullptr);
    if (spare_.empty()) {
        elements_[size_t(i)] = new Socket(this, i);
    } else {
        Socket *s = spare_.back();
        spare_.pop_back();
        s->array_ = this;
        s->index_ = i;
        elements_[size_t(i)] = s;
    }
    ++count_;
    if (i > ubound_) ubound_ = i;
    return true;
}

bool SocketArray::Unload(int i) {
    Socket *s = at(i);
    if (i == 0 || !s) return false;
    elements_[size_t(i)] = nullptr;
    --count_;
    // Closed and detached, an element is kept for the next Load: anything it still had queued or
    // pending is dropped by its generation, and a new element would cost a posted deletion and a
    // wake-up of the event loop for every connection.
    s->detach();
    if (spare_.size() < kSpareElements) {
        std::string().swap(s->in_);  // a spare holds no queue memory
        std::string().swap(s->out_);
        spare_.push_back(s);
    } else {
        s->deleteLater();
    }
    while (ubound_ > 0 && !elements_[size_t(ubound_)]) --ubound_;
    // Keep the table no longer than needed, so a burst does not leave a large tail behind.
    if (elements_.size() > size_t(ubound_) + 1 + 1024) elements_.resize(size_t(ubound_) + 1);
    return true;
}

int openDescriptorCount() {
    // Less the descriptor the listing itself holds open.
    const QDir fds(QStringLiteral("/proc/self/fd"));
    return int(fds.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)
                   .size()) -
           1;
}

void raiseDescriptorLimit() {
    rlimit rl;
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// ---- off the event loop ------------------------------------------------------------------------

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

std::string socketErrorText(int err) {
    return errorText(err).toStdString();
}

PlainStream::Outcome PlainStream::read(char *into, std::size_t most) {
    Outcome o;
    for (;;) {
        const ssize_t n = ::read(fd_, into, most);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) o.again = true;
        else if (n < 0) o.error = errno;
        else if (n == 0) o.ended = true;
        else o.bytes = std::size_t(n);
        return o;
    }
}

PlainStream::Outcome PlainStream::send(std::string_view first, std::string_view second) {
    Outcome o;
    iovec parts[2] = {{const_cast<char *>(first.data()), first.size()},
                      {const_cast<char *>(second.data()), second.size()}};
    msghdr m{};
    m.msg_iov = parts;
    m.msg_iovlen = second.empty() ? 1 : 2;
    for (;;) {
        const ssize_t n = ::sendmsg(fd_, &m, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) o.again = true;
        else if (n < 0) o.error = errno;
        else o.bytes = std::size_t(n);
        return o;
    }
}

void PlainStream::shutdownSend() {
    ::shutdown(fd_, SHUT_WR);
}

void PlainStream::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

EventPoll::EventPoll() {
    poll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = 0;
    if (ok()) ::epoll_ctl(poll_, EPOLL_CTL_ADD, wake_, &e);
}

EventPoll::~EventPoll() {
    if (wake_ >= 0) ::close(wake_);
    if (poll_ >= 0) ::close(poll_);
}

bool EventPoll::watch(int fd, std::uint64_t tag) {
    epoll_event e{};
    e.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    e.data.u64 = tag;
    return ::epoll_ctl(poll_, EPOLL_CTL_ADD, fd, &e) == 0;
}

void EventPoll::rearm(int fd, std::uint64_t tag) {
    epoll_event e{};
    e.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    e.data.u64 = tag;
    ::epoll_ctl(poll_, EPOLL_CTL_MOD, fd, &e);
}

int EventPoll::wait(Event *events, int most, int timeoutMs) {
    epoll_event got[64];
    const int n = ::epoll_wait(poll_, got, std::min(most, 64), timeoutMs);
    for (int i = 0; i < n; ++i) {
        const std::uint32_t ev = got[i].events;
        events[i].tag = got[i].data.u64;
        events[i].readable = ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR);
        events[i].writable = ev & (EPOLLOUT | EPOLLHUP | EPOLLERR);
        if (events[i].tag == 0) {
            std::uint64_t value;
            [[maybe_unused]] const ssize_t r = ::read(wake_, &value, sizeof value);
        }
    }
    return std::max(n, 0);
}

void EventPoll::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

}  // namespace common
