// One slot of a relay as events in and actions out: the client's connection, the connection the
// relay makes for it (to an upstream proxy, to a POP3 server), and the rules between the two.
// Plain C++: no Qt, no sockets, no clock. The relay shell turns socket events and its clock into
// events and carries out the actions; a program's rules (RelayRules) decide what is its own: what
// a client must say before the server side is opened, what the server must say before the relay
// starts, what is inspected on the way.
//
// A slot's life:
//   accepted    the client is connected; its bytes go to the rules until they open the server side
//   connecting  the server side is being connected; the client is not read
//   greeting    connected; the server's first words go to the rules; the client is not read
//   relaying    both ways, through the rules, until both sides have ended or one fails; the
//               rules may send the server side back to connecting, to another server
//   released    both connections are gone; nothing more happens
// An established tunnel that nobody looks into may be carried on by another driver (a pump on a
// thread of its own): it gets a slot of its own under pass-through rules, which a `carried` event
// starts relaying at once. The same deadlines, half-close and backpressure rules then hold there.
//
// Half-close: a side that ends its stream has the end passed on to the other, which may still
// answer; once both have ended, or after `linger` without data, the slot is released.
//
// Backpressure, the one rule: a side is read no further than its partner can hand to the kernel
// at once (the partner's room, which the shell measures once a chunk has been sent to it), and not
// at all while that room is below `minRoom`; it is read again when the partner has drained.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

namespace common {

class TlsServerContext;

enum class Side : std::uint8_t { client, server };
constexpr Side partner(Side s) {
    return s == Side::client ? Side::server : Side::client;
}

// A time in milliseconds on the shell's clock.
using Millis = std::int64_t;
inline constexpr Millis kNever = std::numeric_limits<Millis>::max();

// Each limit is its own deadline; 0 means none.
struct RelayLimits {
    Millis firstByte = 0;  // from accept: the client must have sent something
    Millis login = 0;      // from accept, not restarted: the rules must have opened the server side
    Millis greeting = 0;   // from the connect: the rules must have accepted the server
    Millis linger = 60000; // a side has ended: the slot goes after this long without data
    Millis idle = 0;       // relaying: the slot goes after this long without data either way
    std::int64_t minRoom = 16 * 1024;
};

// Why a slot ends before its relay started; what, if anything, the client is told is the rules'.
enum class Failure : std::uint8_t {
    unreachable,  // the server side could not be connected
    closedEarly,  // the server side ended before the rules accepted it
    noGreeting,   // the rules did not accept the server in time
    noLogin,      // the rules did not open the server side in time
    silent,       // the client sent nothing in time
};

// What a program decides for its slots. The views it returns must stay valid until the next call
// into the same rules object.
class RelayRules {
public:
    virtual ~RelayRules() = default;

    // Sent to the client as soon as it is accepted.
    virtual std::string_view welcome() { return {}; }

    // The client's bytes while there is no server side.
    struct Opening {
        std::string_view reply;  // for the client, now
        bool connect = false;    // open the server side to host:port
        std::string_view host;
        int port = 0;
        bool tls = false;      // ... with TLS from the first byte, its certificate for `host`
        bool upgrade = false;  // after the reply, TLS on the client's connection (STARTTLS)
        bool close = false;    // end the slot once the reply is written
    };
    virtual Opening open(std::string_view bytes) = 0;

    // The server side is connected: what it gets first, and whether its own first words are to be
    // judged by greet() before the relay starts.
    struct Start {
        std::string_view send;
        bool greet = false;
        bool release = false;  // end the slot instead (what would have been sent is still traced)
        std::string_view toClient;  // for the client, now (a proxy's "connection established")
        bool secureClient = false;  // once toClient is written, TLS on the client's connection,
                                    // with the certificate clientIdentity() gives
        std::string_view clientHello;  // ... whose first bytes the rules took already
    };
    virtual Start connected() = 0;

    // The server's bytes while greet() has not accepted it yet.
    struct Greeting {
        enum Kind : std::uint8_t {
            wait,     // more of the server's words first
            send,     // toServer goes to the server now, and the server is asked again
            upgrade,  // toServer (if any), then TLS on the server side; encrypted() follows
            accept,   // the relay starts
            refuse,   // the client gets toClient and the slot ends
        };
        Kind kind = wait;
        std::string_view toServer;  // send, upgrade, accept: for the server, before the client
        std::string_view toClient;  // accept: what of the bytes the client gets; refuse: its reply
        std::string_view tlsName;   // upgrade: the name the server's certificate must be for
                                    // (empty: the host connected to)
        bool secureClient = false;  // accept: after toClient, TLS on the client's connection
        std::string_view clientHello;  // ... whose first bytes the rules took already
    };
    virtual Greeting greet(std::string_view bytes);

    // A side's connection is encrypted now (its certificate checked). For the server side while
    // it is being judged, the answer goes on as greet()'s would; for the client side while
    // relaying, a refusal sends its toClient (inside the TLS) and ends the slot; otherwise it is
    // not looked at.
    virtual Greeting encrypted(Side /*side*/) { return {}; }
    // Before encrypted(client): the name the client asked for in its TLS hello ("" for none).
    virtual void requestedName(std::string_view /*name*/) {}
    // The certificate the client is shown when the rules secure its connection (secureClient);
    // serverEnd is when the server side's own certificate ends (seconds since the epoch; 0: not
    // known). Null: the shell's own identity.
    virtual std::shared_ptr<TlsServerContext> clientIdentity(std::int64_t /*serverEnd*/) {
        return nullptr;
    }
    // A side failed (reset, a handshake refused): why, before the slot ends or is refused.
    virtual void failed(Side /*side*/, std::string_view /*why*/) {}
    // The server side failed or ended before the rules accepted it: the rules may still start
    // the relay with the client alone (filling `start`: its toClient and secureClient count), to
    // answer it inside its own TLS; the client's bytes then go to relay() as usual, the server
    // side counts as ended. False: failure()'s line and the end.
    virtual bool withoutServer(Failure /*why*/, std::string_view /*reason*/, Start & /*start*/) {
        return false;
    }

    // Bytes while relaying: what goes on to the other side, and whether the slot ends once it is
    // written.
    struct Pass {
        std::string_view send;
        // What follows send to the same side, kept apart so that the rules need not copy an
        // event's bytes behind a piece of their own (a rewritten head): the shell writes both at once.
        std::string_view sendAfter;
        bool release = false;
        std::string_view reply;  // for the side the bytes came from: an answer of the rules' own
        bool hold = false;       // the source is not read again until the server side is
                                 // reopened, or the rules say resumePartner on the other side
        bool resumePartner = false;  // the other side, held by the rules, is read again
        // Once `send` is written the server side is closed and opened anew to host:port; the
        // client is not read until it is connected and connected() has spoken again.
        bool reconnect = false;
        std::string_view host;
        int port = 0;
        // ended(): the end is not passed on; the other side stays open (a client between
        // requests), and the rules reconnect the server side when it is needed again.
        bool keepPartner = false;
    };
    virtual Pass relay(Side /*from*/, std::string_view bytes) {
        Pass p;
        p.send = bytes;
        return p;
    }

    // A side ended its stream while relaying: the last bytes the rules held back, for the other
    // side (send) or for this one (reply). The end is passed on unless the rules release the slot
    // or reconnect the server side.
    virtual Pass ended(Side /*from*/) { return {}; }

    // Whether the shell's server policy applies to the servers this slot opens: true when the
    // client names them, false when the program does (a configured upstream proxy).
    virtual bool clientNamesServer() const { return true; }

    // Whether from now on the bytes both ways are passed on as they are and never looked at (an
    // established tunnel): the shell may then carry them elsewhere, without relay() or ended().
    virtual bool plainTunnel() const { return false; }
    // What such a tunnel carried each way until it ended, before the slot is released.
    virtual void tunnelled(std::int64_t /*fromClient*/, std::int64_t /*fromServer*/) {}

    // What the connections table shows as the slot's target: the host asked for, the login (never
    // a password); empty while not known.
    virtual std::string target() const { return {}; }

    // The line the client gets when its slot ends this way; empty: closed without a word.
    virtual std::string failure(Failure why, std::string_view reason);
};

struct RelayEvent {
    enum Kind : std::uint8_t {
        accepted,   // the client is connected
        connected,  // the server side is connected (room: its room; -1 when not measured)
        data,       // bytes from a side
        ended,      // a side has ended its stream
        failed,     // a side failed (bytes: why)
        drained,    // a side has handed everything to the kernel (room: its room now)
        tick,       // time has passed
        encrypted,  // a side's TLS handshake is done
        measured,   // a side's room (room), as a measure action asked
        carried,    // a new slot for a plain tunnel that another driver carries on: it relays
    };
    Kind kind = tick;
    Side side = Side::client;
    std::string_view bytes;
    std::int64_t room = 0;
    Millis now = 0;
};

struct RelayAction {
    enum Kind : std::uint8_t {
        send,      // bytes to a side
        trace,     // bytes a side sent (n = 1: the first the server gets), for the traces
        pause,     // stop reading a side
        resume,    // read a side again, at most n bytes a chunk (0: no limit)
        limit,     // read a side at most n bytes a chunk
        watch,     // report when a side has drained
        measure,   // once the sends before it are done, measure a side's room: a measured event
        shutdown,  // end the stream towards a side, once its queue is written
        connect,   // open the server side to bytes:n (an open one is closed first)
        connectTls,  // the same, with TLS from the first byte; its certificate must be for bytes
        starttls,  // TLS on a side's open connection, once what is queued has gone (bytes: for
                   // the client, its handshake's first bytes taken already; for the server, the
                   // name its certificate must be for)
        release,   // close both sides (queued bytes still go out) and free the slot; always last
    };
    Kind kind = send;
    Side side = Side::client;
    std::string_view bytes;
    std::int64_t n = 0;
};

// The actions of one event, in the order they are to be carried out.
class RelayActions {
public:
    static constexpr std::size_t kMax = 10;
    // The chunk of a data event stays unread in its socket.
    bool keep = false;

    const RelayAction *begin() const { return items_.data(); }
    const RelayAction *end() const { return items_.data() + count_; }
    std::size_t size() const { return count_; }
    const RelayAction &operator[](std::size_t i) const { return items_[i]; }

    void add(RelayAction::Kind kind, Side side, std::string_view bytes = {}, std::int64_t n = 0) {
        if (count_ < kMax) items_[count_++] = RelayAction{kind, side, bytes, n};
    }

private:
    std::array<RelayAction, kMax> items_{};
    std::size_t count_ = 0;
};

class RelaySlot {
public:
    enum class Phase : std::uint8_t { accepted, connecting, greeting, relaying, released };

    RelaySlot(RelayRules &rules, const RelayLimits &limits) : rules_(rules), limits_(limits) {}

    // The one way a slot changes: every event goes through here.
    RelayActions step(const RelayEvent &event);

    Phase phase() const { return phase_; }
    // The name of the last change of phase, for tests and traces.
    const char *transition() const { return transition_; }
    bool ended(Side s) const { return ended_[index(s)]; }
    // The earliest time a tick may change something; kNever when no deadline runs.
    Millis nextDeadline() const;

private:
    static constexpr std::size_t index(Side s) { return s == Side::client ? 0 : 1; }
    void enter(Phase next, const char *why);

    void onAccepted(const RelayEvent &e, RelayActions &a);
    void onConnected(const RelayEvent &e, RelayActions &a);
    void onData(const RelayEvent &e, RelayActions &a);
    void onEnded(const RelayEvent &e, RelayActions &a);
    void onFailed(const RelayEvent &e, RelayActions &a);
    void onDrained(const RelayEvent &e, RelayActions &a);
    void onTick(const RelayEvent &e, RelayActions &a);
    void onEncrypted(const RelayEvent &e, RelayActions &a);
    void applyGreeting(const RelayRules::Greeting &g, Millis now, RelayActions &a);

    void startRelay(Millis now, std::int64_t serverRoom, std::size_t sent, RelayActions &a);
    void secureClient(RelayActions &a, std::string_view taken);
    void flow(Side source, std::int64_t room, RelayActions &a);
    void release(RelayActions &a, const char *why);
    void reopen(std::string_view host, int port, Millis now, RelayActions &a);
    void refuse(Failure why, std::string_view reason, Millis now, RelayActions &a,
                const char *transition);

    RelayRules &rules_;
    const RelayLimits &limits_;
    Phase phase_ = Phase::accepted;
    const char *transition_ = "new slot";
    bool ended_[2] = {false, false};
    bool flowHeld_[2] = {false, false};  // not read: its partner has no room
    bool rulesHeld_[2] = {false, false}; // not read: the rules wait for the server side anew
    // Deadlines, each its own: kNever when not running.
    Millis firstByteAt_ = kNever;
    Millis loginAt_ = kNever;
    Millis greetingAt_ = kNever;
    Millis lastMoved_ = 0;  // the linger and idle deadlines run from here
    std::string reply_;     // a failure reply being sent
};

}  // namespace common
