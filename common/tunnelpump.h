// Carries tunnels whose bytes nobody looks at any more (a CONNECT once it is established) on a
// thread of its own, so that bulk traffic does not wait for the event loop that inspects the
// requests, and a second core can take it. What is read is written at once; only what the other
// side cannot take yet is kept. Half-closes pass on as they come; a tunnel ends when
// both directions have, when one of its sockets fails, when it is silent for the idle limit or
// half-ended for the linger limit. Plain POSIX and a thread: no Qt.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace common {

class TunnelPump {
public:
    struct Ended {
        std::uint64_t id = 0;
        std::int64_t fromA = 0;  // bytes carried from a to b
        std::int64_t fromB = 0;
        std::string why;  // "" when both sides ended their streams
    };
    // Called on the pump's thread when a tunnel has ended and both its sockets are closed.
    using Report = std::function<void(const Ended &)>;
    struct Limits {
        std::int64_t idleMs = 0;    // silent both ways this long: closed (0: never)
        std::int64_t lingerMs = 0;  // one way ended, the other silent this long: closed (0: never)
    };

    explicit TunnelPump(Report report);
    // Closes every tunnel still carried (without reports) and stops the thread.
    ~TunnelPump();
    TunnelPump(const TunnelPump &) = delete;
    TunnelPump &operator=(const TunnelPump &) = delete;

    // Takes two connected, non-blocking sockets over; false (and both still the caller's) when
    // the pump cannot carry them.
    bool add(std::uint64_t id, int a, int b, const Limits &limits);
    // Closes a tunnel now; its report follows, with why "dropped".
    void drop(std::uint64_t id);

private:
    struct Tunnel;
    struct Command {
        enum Kind { add, drop, stop } kind;
        std::unique_ptr<Tunnel> tunnel;
        std::uint64_t id = 0;
    };

    void run();
    void wake();
    void take(std::vector<Command> &commands);
    void finish(Tunnel *t, const std::string &why, bool report = true);

    Report report_;
    int epoll_ = -1;
    int wake_ = -1;  // an eventfd that tells the thread a command waits
    std::mutex mutex_;
    std::vector<Command> commands_;
    std::vector<std::unique_ptr<Tunnel>> tunnels_;  // the thread's own
    std::thread thread_;
};

}  // namespace common
