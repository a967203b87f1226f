#include "common/tunnelpump.h"

#include <algorithm>
#include <chrono>

#include "common/socketarray.h"

namespace common {

namespace {

// As much as the event loop's sockets read at once.
constexpr std::size_t kChunk = 256 * 1024;
constexpr int kReadsATurn = 8;  // then the other tunnels get theirs
constexpr Millis kKeepBufferMs = 2000;
constexpr int kSweepMs = 250;  // as the event loop's sweep: deadlines are seconds long

Millis nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The rules of a tunnel nobody looks into: each side's bytes and its end go to the other.
class PassThrough : public RelayRules {
public:
    Opening open(std::string_view) override { return {}; }
    Start connected() override { return {}; }
};

constexpr std::size_t index(Side s) {
    return s == Side::client ? 0 : 1;
}

RelayEvent event(RelayEvent::Kind kind) {
    RelayEvent e;
    e.kind = kind;
    return e;
}

}  // namespace

struct TunnelPump::Tunnel {
    // One side's connection, as the relay's actions leave it.
    struct End {
        PlainStream stream;
        // What the kernel has not taken yet: queue[head..]. It holds memory only while a side
        // was once full, and gives it back after a quiet while.
        std::string queue;
        std::size_t head = 0;
        Millis emptySince = 0;
        bool paused = false;
        std::size_t limit = 0;  // read at most this much a chunk; 0: a whole chunk
        bool watching = false;  // the relay waits to hear that this side drained
        bool shutdownPending = false;
        std::int64_t sent = 0;  // bytes handed to this side
        bool queued() const { return head < queue.size(); }
    };

    Tunnel(std::uint64_t i, const RelayLimits &l) : id(i), limits(l), core(rules, limits) {}

    std::uint64_t id;
    PassThrough rules;
    RelayLimits limits;
    RelaySlot core;
    End end[2];  // the client's, the server's
    std::shared_ptr<TunnelMeter> meter;  // may be null
    std::string failure;
    int failedSide = -1;  // a send failed inside the actions: its event comes after them
    bool closed = false;
};

namespace {

// The pump thread's own: its tunnels, the poll, the read buffer, and the tunnels that have
// something left to do with no edge to tell of it.
struct Driver {
    using Tunnel = TunnelPump::Tunnel;
    EventPoll &poll;
    const TunnelPump::Report &report;
    std::vector<std::unique_ptr<Tunnel>> tunnels;
    std::vector<Tunnel *> again;
    std::vector<char> scratch = std::vector<char>(kChunk);
    Millis now = 0;

    void later(Tunnel &t) {
        if (std::find(again.begin(), again.end(), &t) == again.end()) again.push_back(&t);
    }

    void close(Tunnel &t, const char *transition, bool tell = true) {
        if (t.closed) return;
        t.closed = true;
        for (Tunnel::End &e : t.end) e.stream.close();
        if (tell && report)
            report(TunnelPump::Ended{t.id, t.end[1].sent, t.end[0].sent, transition, t.failure});
    }

    void step(Tunnel &t, RelayEvent e) {
        e.now = now;
        execute(t, t.core.step(e));
        settle(t);
    }

    // A send that failed while actions were carried out is the failure's own event, after them.
    void settle(Tunnel &t) {
        while (!t.closed && t.failedSide >= 0) {
            RelayEvent f;
            f.kind = RelayEvent::failed;
            f.side = t.failedSide == 0 ? Side::client : Side::server;
            f.bytes = t.failure;
            f.now = now;
            t.failedSide = -1;
            execute(t, t.core.step(f));
        }
    }

    void fail(Tunnel &t, int side, int error) {
        if (t.failedSide >= 0) return;
        t.failure = socketErrorText(error);
        t.failedSide = side;
    }

    // Hands bytes to a side now; what its kernel does not take waits in its queue.
    void deliver(Tunnel &t, int side, std::string_view first, std::string_view second) {
        Tunnel::End &to = t.end[side];
        to.sent += std::int64_t(first.size() + second.size());
        if (t.meter)
            (side == 1 ? t.meter->fromClient : t.meter->fromServer).store(to.sent, std::memory_order_relaxed);
        if (!to.queued()) {
            const PlainStream::Outcome o = to.stream.send(first, second);
            if (o.error) {
                fail(t, side, o.error);
                return;
            }
            const std::size_t fromFirst = std::min(first.size(), o.bytes);
            first.remove_prefix(fromFirst);
            second.remove_prefix(o.bytes - fromFirst);
            to.queue.clear();
            to.head = 0;
        }
        to.queue.append(first).append(second);
    }

    void execute(Tunnel &t, const RelayActions &actions) {
        for (std::size_t k = 0; k < actions.size() && !t.closed; ++k) {
            const RelayAction &a = actions[k];
            const int side = int(index(a.side));
            Tunnel::End &e = t.end[side];
            switch (a.kind) {
                case RelayAction::send: {
                    std::string_view more;
                    if (k + 1 < actions.size() && actions[k + 1].kind == RelayAction::send &&
                        actions[k + 1].side == a.side)
                        more = actions[++k].bytes;
                    deliver(t, side, a.bytes, more);
                    break;
                }
                case RelayAction::pause:
                    e.paused = true;
                    break;
                case RelayAction::resume:
                    e.paused = false;
                    e.limit = std::size_t(std::max<std::int64_t>(a.n, 0));
                    later(t);  // what came while it was paused raises no edge of its own
                    break;
                case RelayAction::limit:
                    e.limit = std::size_t(std::max<std::int64_t>(a.n, 0));
                    break;
                case RelayAction::watch:
                    // As the event loop's sockets do: told as soon as the side can take more.
                    e.watching = true;
                    poll.rearm(e.stream.descriptor(),
                               reinterpret_cast<std::uint64_t>(&t) | unsigned(side));
                    break;
                case RelayAction::measure: {
                    RelayEvent m;
                    m.kind = RelayEvent::measured;
                    m.side = a.side;
                    m.room = e.queued() ? 0 : std::max(0LL, e.stream.room());
                    step(t, m);
                    break;
                }
                case RelayAction::shutdown:
                    if (e.queued())
                        e.shutdownPending = true;
                    else
                        e.stream.shutdownSend();
                    break;
                case RelayAction::release:
                    close(t, t.core.transition());
                    return;
                case RelayAction::trace:  // nobody looks at a carried tunnel
                case RelayAction::connect:
                case RelayAction::connectTls:
                case RelayAction::starttls:
                    break;
            }
        }
    }

    void readSide(Tunnel &t, int side) {
        Tunnel::End &e = t.end[side];
        for (int reads = 0; !t.closed && !e.paused; ++reads) {
            if (reads == kReadsATurn) {
                later(t);
                return;
            }
            const std::size_t want = e.limit > 0 ? std::min(e.limit, kChunk) : kChunk;
            const PlainStream::Outcome o = e.stream.read(scratch.data(), want);
            if (o.again) return;
            RelayEvent ev;
            ev.side = side == 0 ? Side::client : Side::server;
            if (o.error) {
                t.failure = socketErrorText(o.error);
                ev.kind = RelayEvent::failed;
                ev.bytes = t.failure;
                step(t, ev);
                return;
            }
            if (o.ended) {
                e.paused = true;  // nothing more to read from it
                ev.kind = RelayEvent::ended;
                step(t, ev);
                return;
            }
            ev.kind = RelayEvent::data;
            ev.bytes = std::string_view(scratch.data(), o.bytes);
            step(t, ev);
        }
    }

    void writeSide(Tunnel &t, int side) {
        Tunnel::End &e = t.end[side];
        if (e.queued()) {
            const PlainStream::Outcome o = e.stream.send(std::string_view(e.queue).substr(e.head));
            if (o.error) {
                fail(t, side, o.error);
                settle(t);
                return;
            }
            e.head += o.bytes;
            if (e.queued()) return;
            e.queue.clear();
            e.head = 0;
            e.emptySince = now;
        }
        if (e.shutdownPending) {
            e.shutdownPending = false;
            e.stream.shutdownSend();
        }
        if (e.watching) {
            e.watching = false;
            RelayEvent d;
            d.kind = RelayEvent::drained;
            d.side = side == 0 ? Side::client : Side::server;
            d.room = std::max(0LL, e.stream.room());
            step(t, d);
        }
    }

    void sweep() {
        for (auto &t : tunnels) {
            if (t->closed) continue;
            for (Tunnel::End &e : t->end)
                if (!e.queued() && e.queue.capacity() > 0 && now - e.emptySince >= kKeepBufferMs)
                    std::string().swap(e.queue);
            if (t->core.nextDeadline() <= now) step(*t, event(RelayEvent::tick));
        }
    }
};

}  // namespace

TunnelPump::TunnelPump(Report report) : report_(std::move(report)), poll_(new EventPoll) {
    thread_ = std::thread([this] { run(); });
}

TunnelPump::~TunnelPump() {
    post(Command{Command::stop, nullptr, 0});
    if (thread_.joinable()) thread_.join();
}

void TunnelPump::post(Command c) {
    {
        std::lock_guard<std::mutex> guard(mailbox_.lock);
        mailbox_.commands.push_back(std::move(c));
    }
    poll_->wake();
}

bool TunnelPump::add(std::uint64_t id, int client, int server, const RelayLimits &limits,
                     std::shared_ptr<TunnelMeter> meter) {
    if (!poll_->ok()) return false;
    auto t = std::make_unique<Tunnel>(id, limits);
    t->meter = std::move(meter);
    t->end[0].stream = PlainStream(client);
    t->end[1].stream = PlainStream(server);
    post(Command{Command::add, std::move(t), id});
    return true;
}

void TunnelPump::drop(std::uint64_t id) {
    post(Command{Command::drop, nullptr, id});
}

void TunnelPump::run() {
    Driver d{*poll_, report_, {}, {}};
    std::vector<Command> commands;
    std::vector<Tunnel *> turn;
    EventPoll::Event events[64];
    Millis swept = nowMs();
    for (;;) {
        const int n = poll_->wait(events, 64, d.again.empty() ? kSweepMs : 0);
        d.now = nowMs();
        // Tunnels with reading left to do from the last turn: a read cut short, a resume.
        turn.swap(d.again);
        d.again.clear();
        for (Tunnel *t : turn)
            for (int side = 0; side < 2 && !t->closed; ++side) d.readSide(*t, side);
        for (int i = 0; i < n; ++i) {
            if (const std::uint64_t tag = events[i].tag) {
                // The tunnel, and which of its sockets: the low bit is the server's.
                auto *t = reinterpret_cast<Tunnel *>(tag & ~std::uint64_t(1));
                const int side = int(tag & 1);
                if (events[i].writable && !t->closed) d.writeSide(*t, side);
                if (events[i].readable && !t->closed) d.readSide(*t, side);
                continue;
            }
            {
                std::lock_guard<std::mutex> guard(mailbox_.lock);
                commands.swap(mailbox_.commands);
            }
            for (Command &c : commands) {
                if (c.kind == Command::stop) {
                    for (auto &t : d.tunnels) d.close(*t, "", false);
                    for (Command &rest : commands)
                        if (rest.tunnel) d.close(*rest.tunnel, "", false);
                    return;
                }
                if (c.kind == Command::drop) {
                    for (auto &t : d.tunnels)
                        if (t->id == c.id) d.close(*t, "dropped by the relay");
                    continue;
                }
                Tunnel *t = c.tunnel.get();
                d.tunnels.push_back(std::move(c.tunnel));
                const auto tag = reinterpret_cast<std::uint64_t>(t);
                if (!poll_->watch(t->end[0].stream.descriptor(), tag) ||
                    !poll_->watch(t->end[1].stream.descriptor(), tag | 1)) {
                    t->failure = "the tunnel could not be watched";
                    d.close(*t, "the tunnel failed");
                    continue;
                }
                // Bytes that came before the hand-over raise no edge of their own.
                d.step(*t, event(RelayEvent::carried));
            }
            commands.clear();
        }
        if (d.now - swept >= kSweepMs) {
            swept = d.now;
            d.sweep();
        }
        // The closed ones go only now: an event later in the batch may still name them.
        d.again.erase(
            std::remove_if(d.again.begin(), d.again.end(), [](Tunnel *t) { return t->closed; }),
            d.again.end());
        d.tunnels.erase(std::remove_if(d.tunnels.begin(), d.tunnels.end(),
                                       [](const std::unique_ptr<Tunnel> &t) { return t->closed; }),
                        d.tunnels.end());
    }
}

}  // namespace common
