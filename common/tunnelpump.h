// Carries established tunnels whose bytes nobody looks at any more (a CONNECT once it is through)
// on a thread of its own, so that bulk traffic does not wait for the event loop that inspects the
// requests, and a second core can take it. It is a second driver of the one relay: each tunnel is
// a RelaySlot under pass-through rules, fed the same events (data, ends, failures, drains, ticks)
// and carrying out the same actions as on the event loop, through the socket layer's own calls.
// So a tunnel's deadlines, half-close and backpressure are the relay core's, whoever drives it.
//
// Threads: every call of this class is made on the thread that owns it (the event loop); the
// report comes on the pump's thread. What crosses between them is the Mailbox below, and nothing
// else but each tunnel's TunnelMeter: a tunnel's sockets, core and buffers are the pump thread's
// alone from add() on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/relaycore.h"

namespace common {

// What a tunnel has carried each way so far, for the live figures. Rule: only the pump's thread
// writes it (relaxed stores, after each hand-over to a socket); the owner's thread only reads.
struct TunnelMeter {
    std::atomic<std::int64_t> fromClient{0};
    std::atomic<std::int64_t> fromServer{0};
};

class TunnelPump {
public:
    struct Ended {
        std::uint64_t id = 0;
        std::int64_t fromClient = 0;  // bytes carried from the client to the server
        std::int64_t fromServer = 0;
        const char *transition = "";  // how the slot ended, in the relay core's words
        std::string failure;          // why a socket failed, when one did
    };
    // Called on the pump's thread when a tunnel has ended and both its sockets are closed; it
    // must hand what it learns to its own thread (a queued call), and touch nothing else.
    using Report = std::function<void(const Ended &)>;

    explicit TunnelPump(Report report);
    // Closes every tunnel still carried (without reports) and stops the thread.
    ~TunnelPump();
    TunnelPump(const TunnelPump &) = delete;
    TunnelPump &operator=(const TunnelPump &) = delete;

    // Takes two connected, non-blocking sockets over, with nothing queued on either: from now on
    // they are the pump's to use and to close. False (and both still the caller's) when the pump
    // cannot carry them.
    bool add(std::uint64_t id, int client, int server, const RelayLimits &limits,
             std::shared_ptr<TunnelMeter> meter = nullptr);
    // Closes a tunnel now; its report follows ("dropped by the relay").
    void drop(std::uint64_t id);

    struct Tunnel;

private:
    struct Command {
        enum Kind { add, drop, stop } kind;
        std::unique_ptr<Tunnel> tunnel;
        std::uint64_t id = 0;
    };
    // What crosses threads. Rule: `commands` is touched only under `lock`; the owner's thread
    // only appends and wakes the poll, the pump's thread only takes the whole list. A tunnel in a
    // command belongs to whoever holds the command.
    struct Mailbox {
        std::mutex lock;
        std::vector<Command> commands;
    };

    void post(Command c);
    void run();

    Report report_;
    Mailbox mailbox_;
    std::unique_ptr<class EventPoll> poll_;
    std::thread thread_;
};

}  // namespace common
