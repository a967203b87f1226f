#include "common/tunnelpump.h"

#include "common/sendroom.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace common {

namespace {

// As much as the relay reads at once.
constexpr std::size_t kChunk = 256 * 1024;
constexpr int kReadsATurn = 8;  // then the other tunnels get theirs
constexpr std::size_t kMinRoom = 64 * 1024;
constexpr std::int64_t kKeepBufferMs = 2000;
constexpr int kCheckMs = 1000;  // deadlines are seconds long

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string errorText(int err) {
    char buf[128];
    const char *text = strerror_r(err, buf, sizeof buf);
    return text;
}

}  // namespace

struct TunnelPump::Tunnel {
    // One direction. What is read goes out at once. A way whose destination was once full gets
    // a buffer of its own and reads into it, so that what waits is never copied; the buffer goes
    // again once the way has been quiet for a while.
    struct Way {
        int from = -1, to = -1;
        std::unique_ptr<char[]> own;
        std::size_t head = 0, tail = 0;  // own[head, tail) waits for the destination
        std::int64_t emptySince = 0;     // own has held nothing since then
        bool ended = false;  // its source has ended its stream
        bool shut = false;   // and its destination has been told
        std::int64_t carried = 0;
        SendRoom room;  // the destination's
    };
    std::uint64_t id = 0;
    int a = -1, b = -1;
    Way way[2];
    Limits limits;
    std::int64_t lastMoved = 0;
    std::int64_t halfSince = 0;  // when the first direction ended; 0 while neither has
    bool closed = false;

    static std::size_t room(Way &w) { return std::size_t(std::max(0LL, w.room.measure(w.to))); }

    // Writes what it can; -1 with errno on a failure.
    static ssize_t put(int fd, const char *bytes, std::size_t n) {
        for (;;) {
            const ssize_t w = ::send(fd, bytes, n, MSG_NOSIGNAL);
            if (w >= 0 || errno != EINTR) return w;
        }
    }

    // Moves what can be moved now, at most `reads` reads of it; false and why when a socket
    // failed. more: the reads ran out before the source had nothing left.
    static bool move(Way &w, char *scratch, int reads, std::int64_t now, bool &moved, bool &more,
                     std::string &why) {
        for (;;) {
            if (w.head < w.tail) {
                const ssize_t n = put(w.to, w.own.get() + w.head, w.tail - w.head);
                if (n < 0 && errno == EAGAIN) return true;
                if (n < 0) {
                    why = errorText(errno);
                    return false;
                }
                w.head += std::size_t(n);
                w.carried += n;
                moved = true;
                if (w.head < w.tail) return true;
                w.head = w.tail = 0;
                w.emptySince = now;
            }
            if (w.ended) {
                if (!w.shut) {
                    ::shutdown(w.to, SHUT_WR);
                    w.shut = true;
                    moved = true;
                }
                return true;
            }
            if (reads-- == 0) {
                more = true;
                return true;
            }
            // No more is read than the destination has room for while it has a good part of a
            // chunk; below that a whole chunk is read, and what does not fit waits.
            std::size_t want = kChunk;
            if (const std::size_t free = room(w); free >= kMinRoom) want = std::min(want, free);
            char *into = w.own ? w.own.get() : scratch;
            const ssize_t r = ::read(w.from, into, want);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && errno == EAGAIN) return true;
            if (r < 0) {
                why = errorText(errno);
                return false;
            }
            moved = true;
            if (r == 0) {
                w.ended = true;
                continue;
            }
            const ssize_t n = put(w.to, into, std::size_t(r));
            if (n < 0 && errno != EAGAIN) {
                why = errorText(errno);
                return false;
            }
            const std::size_t sent = n < 0 ? 0 : std::size_t(n);
            w.carried += std::int64_t(sent);
            if (sent == std::size_t(r)) continue;
            if (!w.own) {
                // The first wait: the way gets its buffer, and what waits is copied this once.
                w.own.reset(new char[kChunk]);
                std::memcpy(w.own.get(), scratch + sent, std::size_t(r) - sent);
                w.head = 0;
                w.tail = std::size_t(r) - sent;
            } else {
                w.head = sent;
                w.tail = std::size_t(r);
            }
            return true;
        }
    }

    // A way quiet with its buffer empty gives it back.
    static void trim(Way &w, std::int64_t now) {
        if (w.own && w.head == w.tail && now - w.emptySince >= kKeepBufferMs) w.own.reset();
    }
};

TunnelPump::TunnelPump(Report report) : report_(std::move(report)) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = 0;  // the wake-up
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &e);
    thread_ = std::thread([this] { run(); });
}

TunnelPump::~TunnelPump() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(Command{Command::stop, nullptr, 0});
    }
    wake();
    if (thread_.joinable()) thread_.join();
    ::close(wake_);
    ::close(epoll_);
}

bool TunnelPump::add(std::uint64_t id, int a, int b, const Limits &limits) {
    if (epoll_ < 0 || wake_ < 0) return false;
    auto t = std::make_unique<Tunnel>();
    t->id = id;
    t->a = a;
    t->b = b;
    t->limits = limits;
    t->lastMoved = nowMs();
    for (int k = 0; k < 2; ++k) {
        t->way[k].from = k == 0 ? a : b;
        t->way[k].to = k == 0 ? b : a;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(Command{Command::add, std::move(t), id});
    }
    wake();
    return true;
}

void TunnelPump::drop(std::uint64_t id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(Command{Command::drop, nullptr, id});
    }
    wake();
}

void TunnelPump::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void TunnelPump::take(std::vector<Command> &commands) {
    std::uint64_t value;
    [[maybe_unused]] const ssize_t n = ::read(wake_, &value, sizeof value);
    std::lock_guard<std::mutex> lock(mutex_);
    commands.swap(commands_);
}

void TunnelPump::finish(Tunnel *t, const std::string &why, bool report) {
    if (t->closed) return;
    t->closed = true;
    // Closing a socket takes it out of the epoll set.
    ::close(t->a);
    ::close(t->b);
    if (report && report_) report_(Ended{t->id, t->way[0].carried, t->way[1].carried, why});
}

void TunnelPump::run() {
    std::vector<char> scratch(kChunk);
    // Tunnels that had more to read when their turn ended: no new edge will tell of it.
    std::vector<Tunnel *> again, turn;
    // Moves the ways that an event concerns (both when `ways` is 3).
    auto pump = [this, &scratch, &again](Tunnel *t, int ways, std::int64_t now) {
        if (t->closed) return;
        bool moved = false, more = false;
        std::string why;
        for (int k = 0; k < 2; ++k) {
            Tunnel::Way &w = t->way[k];
            if (!(ways & (1 << k)) || w.shut) continue;
            if (!Tunnel::move(w, scratch.data(), kReadsATurn, now, moved, more, why)) {
                finish(t, why);
                return;
            }
        }
        if (more && std::find(again.begin(), again.end(), t) == again.end()) again.push_back(t);
        if (moved) t->lastMoved = now;
        if (t->way[0].shut && t->way[1].shut) finish(t, "");
        else if ((t->way[0].shut || t->way[1].shut) && t->halfSince == 0) t->halfSince = now;
    };
    std::int64_t checked = nowMs();
    std::vector<Command> commands;
    epoll_event events[64];
    for (;;) {
        const int n = ::epoll_wait(epoll_, events, 64, again.empty() ? kCheckMs : 0);
        const std::int64_t now = nowMs();
        turn.swap(again);
        again.clear();
        for (Tunnel *t : turn) pump(t, 3, now);
        for (int i = 0; i < n; ++i) {
            if (const std::uint64_t tag = events[i].data.u64) {
                // The tunnel, and which of its sockets: a is the source of way 0 and the
                // destination of way 1.
                auto *t = reinterpret_cast<Tunnel *>(tag & ~std::uint64_t(1));
                const bool isB = tag & 1;
                const std::uint32_t ev = events[i].events;
                int ways = 0;
                if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) ways |= isB ? 2 : 1;
                if (ev & (EPOLLOUT | EPOLLHUP | EPOLLERR)) ways |= isB ? 1 : 2;
                pump(t, ways, now);
                continue;
            }
            take(commands);
            for (Command &c : commands) {
                if (c.kind == Command::stop) {
                    for (auto &t : tunnels_) finish(t.get(), "stopped", false);
                    for (Command &rest : commands)
                        if (rest.tunnel) finish(rest.tunnel.get(), "stopped", false);
                    return;
                }
                if (c.kind == Command::drop) {
                    for (auto &t : tunnels_)
                        if (t->id == c.id) finish(t.get(), "dropped");
                    continue;
                }
                Tunnel *t = c.tunnel.get();
                tunnels_.push_back(std::move(c.tunnel));
                epoll_event ea{}, eb{};
                ea.events = eb.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
                ea.data.u64 = reinterpret_cast<std::uint64_t>(t);
                eb.data.u64 = reinterpret_cast<std::uint64_t>(t) | 1;
                if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, t->a, &ea) != 0 ||
                    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, t->b, &eb) != 0) {
                    finish(t, errorText(errno));
                    continue;
                }
                // Bytes that came before the hand-over raise no edge of their own.
                pump(t, 3, now);
            }
            commands.clear();
        }
        if (now - checked >= kCheckMs) {
            checked = now;
            for (auto &t : tunnels_) {
                if (t->closed) continue;
                for (Tunnel::Way &w : t->way) Tunnel::trim(w, now);
                const std::int64_t silent = now - t->lastMoved;
                if (t->limits.idleMs > 0 && silent >= t->limits.idleMs)
                    finish(t.get(), "idle");
                else if (t->limits.lingerMs > 0 && t->halfSince > 0 &&
                         now - std::max(t->halfSince, t->lastMoved) >= t->limits.lingerMs)
                    finish(t.get(), "half-ended and silent");
            }
        }
        // The closed ones go only now: an event later in the batch may still name them.
        again.erase(std::remove_if(again.begin(), again.end(), [](Tunnel *t) { return t->closed; }),
                    again.end());
        tunnels_.erase(std::remove_if(tunnels_.begin(), tunnels_.end(),
                                      [](const std::unique_ptr<Tunnel> &t) { return t->closed; }),
                       tunnels_.end());
    }
}

}  // namespace common
