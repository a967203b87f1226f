// What halvex does with a slot's bytes on their way through the relay. Every request head is
// assembled whole, however it is cut, then logged and filtered before anything of it goes on;
// bodies pass as they come, framed by Content-Length or chunks but never judged. Every response
// is judged on its head and the start of its body, held back until then; a canned reply stands for
// the whole of it. A passed CONNECT, and a connection whose first bytes are no HTTP request, are
// plain tunnels.
//
// With an upstream proxy every slot has one server side, that proxy. Without one halvex is the
// proxy itself: it connects to each request's host, sends the request in origin form, keeps the
// client for its next request, and opens the server side anew when that names another server
// (once the answers to the last one are through).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/fifo.h"
#include "common/relaycore.h"
#include "common/tracetext.h"
#include "halvex/decode.h"
#include "halvex/filters.h"
#include "halvex/httpframe.h"
#include "halvex/https.h"
#include "halvex/requestlog.h"

namespace halvex {

// Shown in the URL list and the traces with their control bytes escaped.
using common::escapecontrols;
using common::EscapeOptions;

// What the proxy window's controls say, read by every slot when it needs it: the upstream proxy
// for the next connection (none: halvex connects itself), the four switches, the block list and
// the cookie marker.
struct ProxySettings {
    std::string upstreamHost;
    int upstreamPort = -1;  // -1: the box holds no port number; connecting then fails
    bool cookie = false;     // "Remove all Cookies"
    bool blockme = false;    // "Block (disconnect)"
    bool sendempty = false;  // "Block (send empty)"
    bool rpictures = false;  // "Remove Pictures"
    std::vector<std::string> block;
    std::string cookiemarker;
    // At most this many requests of one connection wait for their answers; past that the client
    // is read no further until answers come.
    std::size_t maxPipelined = 32;
    // A request that is logged: the slot and its target (the URL list shows them).
    std::function<void(int slot, std::string_view target)> logurl;
    // A request is over (answered, blocked, refused, failed, or its slot ended); and the clock its
    // times are on. Either may be left empty.
    std::function<void(int slot, const RequestRecord &request)> logrequest;
    std::function<common::Millis()> clock;
    // HTTPS inspection; null: tunnels are never read.
    HttpsInspector *https = nullptr;
    // The answer to a request for http://halvex.status/... (its head as the client sent it);
    // empty: such requests go out as any other.
    std::function<std::string(int slot, std::string_view head)> statusPage;

    bool direct() const { return upstreamHost.empty(); }
};

// The server's own bytes held back at most while a coded page is decoded to be judged.
inline constexpr std::size_t kMaxHeldCoded = 256 * 1024;

// The name under which halvex answers its status page itself.
inline constexpr std::string_view kStatusHost = "halvex.status";
// What a tunnel's client is told once its server is connected.
inline constexpr std::string_view kEstablished = "HTTP/1.1 200 Connection established\r\n\r\n";

// Bytes for one side: a piece of the event's own bytes as it stands when they are one, else a
// copy.
class Outgoing {
public:
    void clear();
    // A piece that stays as it is until the actions are carried out (the event's bytes).
    void add(std::string_view piece);
    // A piece of a buffer that changes before then.
    void copy(std::string_view piece);
    // What goes out, in two parts: the copied pieces, then the event's own bytes behind them,
    // which are not copied (a rewritten head and the body that came with it). first() is empty
    // only when all of it is.
    std::string_view first() const { return text_.empty() ? rest_ : std::string_view(text_); }
    std::string_view second() const { return text_.empty() ? std::string_view{} : rest_; }
    // All of it as one piece.
    std::string_view whole();

private:
    static constexpr std::size_t kKeptCopy = 16 * 1024;  // room kept between events
    std::string text_;
    std::string_view rest_;
};

// The part of a request or a response after its head.
struct Body {
    Framing::Kind kind = Framing::none;
    std::uint64_t left = 0;
    Chunked chunks;

    void start(const Framing &f);
    // How many bytes of `in` belong to the body; complete once its last byte has come, broken
    // when its chunks are malformed (what came before the fault belongs to it). Its data goes to
    // `judged` when given.
    std::size_t take(std::string_view in, bool &complete, bool &broken, BodyDecoder *judged = nullptr);
};

// One slot's inspection, all of its state. An Inspection makes it when the slot first needs it.
class InspectionState final : public common::RelayRules {
public:
    InspectionState(const ProxySettings &settings, int slot)
        : settings_(settings),
          slot_(slot),
          log_([this](const RequestRecord &r) { if (settings_.logrequest) settings_.logrequest(slot_, r); },
               [this] { return settings_.clock ? settings_.clock() : common::Millis(0); }) {}

    Opening open(std::string_view bytes) override;
    Start connected() override;
    Pass relay(common::Side from, std::string_view bytes) override;
    Pass ended(common::Side from) override;
    std::string failure(common::Failure why, std::string_view reason) override;
    Greeting greet(std::string_view bytes) override;
    Greeting encrypted(common::Side side) override;
    void requestedName(std::string_view name) override { requestedName_.assign(name); }
    std::shared_ptr<common::TlsServerContext> clientIdentity(std::int64_t serverEnd) override;
    void failed(common::Side side, std::string_view why) override;
    bool withoutServer(common::Failure why, std::string_view reason, Start &start) override;
    // The slot reads inside an HTTPS tunnel.
    bool inspecting() const { return inside_; }
    bool clientNamesServer() const override { return direct_; }
    bool plainTunnel() const override;
    void tunnelled(std::int64_t fromClient, std::int64_t fromServer) override;
    // The last request's target, without a password.
    std::string target() const override;
    // The slot ends: the requests not told yet are logged as they stand.
    void finish();
    // The client speaks another protocol than HTTP: its bytes pass as they are.
    bool otherProtocol() const { return other_; }

private:
    // The client side: a head being assembled, a body passing, a tunnel, or (no upstream proxy)
    // a request waiting for its server, with everything after it.
    enum class Asking : std::uint8_t { head, body, tunnel, waiting, done };
    // The server side: a head being assembled, a body passing (perhaps held to be judged), or a
    // tunnel.
    enum class Answering : std::uint8_t { head, body, tunnel };
    struct Expected {
        bool head = false;     // the request was HEAD: its answer has no body
        bool connect = false;  // a CONNECT: a 2xx answer starts a tunnel
        bool persistent = true;  // the client's connection may stay open after the answer
    };
    // A request that needs another server side than the one there is.
    struct Waiting {
        std::string host;
        int port = 0;
        bool tunnel = false;  // a CONNECT
        std::string text;     // what the server gets first
        Expected expected;
        Framing framing;
    };
    // An inspected CONNECT on its way: the server's TLS connection being opened, directly or
    // through the upstream proxy (its own CONNECT, then TLS).
    enum class Securing : std::uint8_t { none, direct, upstream };

    void ask(Asking next);
    void answer(Answering next);
    void begin();
    void takeClient(std::string_view bytes, bool stable);
    std::size_t takeHead(std::string_view bytes);
    void onRequest(std::string_view head);
    void notRequest(std::string_view bytes, bool stable);
    void refuse(std::string_view status, std::string_view detail);
    void blocked();
    void endWith(std::string reply);
    void endNow();
    void forward(std::string_view text, const Expected &e, const Framing &f);
    void switchServer(std::string host, int port, bool tunnel, std::string text, const Expected &e,
                  const Framing &f);
    void useWaiting();
    bool askAgain();
    void beginInspection(const common::HostPort &where, std::string connectText);
    void startInside();
    void onInsideRequest(const Refusal &bad);
    bool sameServer(std::string_view authority) const;
    std::string insideAuthority() const;
    common::Millis now() const { return settings_.clock ? settings_.clock() : common::Millis(0); }

    void takeServer(std::string_view bytes, bool stable);
    void onResponse(std::string_view head, bool stable);
    void judge();
    void answered();
    void replaced(Canned c);
    void serverFailed(std::string_view why);
    bool checkingOther() const;
    bool otherMentions(std::string_view bytes);
    Pass passing(Outgoing &out);

    const ProxySettings &settings_;
    int slot_;
    bool opened_ = false;
    bool direct_ = false;
    bool http_ = false;  // a request was recognised: a failure gets a page
    bool everConnected_ = false;
    bool other_ = false;  // the client speaks another protocol
    std::uint64_t otherSeen_ = 0;  // of it, bytes checked against the block list
    std::string otherTail_;        // the last of them, for an entry cut between two chunks

    // Where the server side goes (or went): host and port, and whether it is there.
    std::string serverHost_;
    int serverPort_ = 0;
    bool serverOpen_ = false;
    bool serverClosing_ = false;  // its last answer said it closes
    int answeredHere_ = 0;        // answers the current server connection has given
    bool clientStays_ = false;    // the last answer leaves the client's connection open
    bool reopen_ = false;         // it closed between requests, the client stayed: the next opens
    // The one request outstanding, as it was sent, when it may be asked again on a new
    // connection (a safe method, no body); empty otherwise.
    std::string again_;

    Asking asking_ = Asking::head;
    std::string requestHead_;  // a request head being assembled
    Request request_;    // the last one, read (its room is used again)
    std::string target_;  // its target as the log shows it
    Sniffer sniffer_;
    Body asked_;
    std::string held_;  // the client's bytes after a waiting request
    // Past the pipeline's bound: what the client sent waits (one chunk at most: it is read no
    // further) until answers come.
    std::string pipelineHeld_;
    bool clientHeld_ = false;
    // A refused request ends the connection once the answers before it are through.
    bool ending_ = false;
    std::string endReply_;
    Waiting waiting_;
    common::Fifo<Expected> expected_;  // requests sent whose answers have not ended
    // Requests not told yet, in order: those sent (as expected_), then one waiting or refused.
    RequestLog log_;

    Answering answering_ = Answering::head;
    std::string responseHead_;  // a response head being assembled
    Response response_;
    Body answered_;
    bool judging_ = false;  // the response is held until it can be judged
    std::string responseHeld_;
    std::size_t responseHeadSize_ = 0;  // of it, the head
    BodyDecoder judged_;         // the body's start as a reader sees it
    std::string responseType_;
    std::uint64_t responseBody_ = 0;  // of it, body bytes

    // HTTPS inspection: the CONNECT's server, what its TLS said when it failed (every request is
    // answered with it), the name the client asked for in its own TLS.
    Securing securing_ = Securing::none;
    bool inside_ = false;
    bool clientSecuring_ = false;  // the client's handshake with halvex's certificate runs
    std::string insideHost_;
    int insidePort_ = 0;
    std::string connectText_;  // the CONNECT for the upstream proxy
    std::string greetHead_;    // its answer, assembled
    std::string originFailure_;
    std::string requestedName_;
    std::string clientHello_;  // the client's first TLS bytes, sent behind its CONNECT
    std::uint64_t insideRequests_ = 0;

    // What one event leads to.
    Outgoing toServer_, toClient_;
    std::string reply_;
    bool release_ = false, connect_ = false, reconnect_ = false, hold_ = false;
};

// One slot's inspection as the relay holds it. Most of a proxy's clients sit silent for a while,
// or for ever: the state comes when the client first speaks, or when anything else needs it;
// until then the questions get the answers of a slot that has seen nothing, and its end tells
// nothing.
class Inspection final : public common::RelayRules {
public:
    Inspection(const ProxySettings &settings, int slot) : settings_(settings), slot_(slot) {}

    Opening open(std::string_view bytes) override { return state().open(bytes); }
    Start connected() override { return state().connected(); }
    Pass relay(common::Side from, std::string_view bytes) override {
        return state().relay(from, bytes);
    }
    Pass ended(common::Side from) override { return state().ended(from); }
    std::string failure(common::Failure why, std::string_view reason) override {
        return state_ ? state_->failure(why, reason) : std::string();
    }
    Greeting greet(std::string_view bytes) override { return state().greet(bytes); }
    Greeting encrypted(common::Side side) override { return state().encrypted(side); }
    void requestedName(std::string_view name) override { state().requestedName(name); }
    std::shared_ptr<common::TlsServerContext> clientIdentity(std::int64_t serverEnd) override {
        return state().clientIdentity(serverEnd);
    }
    void failed(common::Side side, std::string_view why) override {
        if (state_) state_->failed(side, why);
    }
    bool withoutServer(common::Failure why, std::string_view reason, Start &start) override {
        return state().withoutServer(why, reason, start);
    }
    bool inspecting() const { return state_ && state_->inspecting(); }
    bool clientNamesServer() const override { return state_ && state_->clientNamesServer(); }
    bool plainTunnel() const override { return state_ && state_->plainTunnel(); }
    void tunnelled(std::int64_t fromClient, std::int64_t fromServer) override {
        state().tunnelled(fromClient, fromServer);
    }
    std::string target() const override { return state_ ? state_->target() : std::string(); }
    void finish() {
        if (state_) state_->finish();
    }
    bool otherProtocol() const { return state_ && state_->otherProtocol(); }
    // Whether the state has been made.
    bool hasState() const { return state_ != nullptr; }

private:
    InspectionState &state() {
        if (!state_) state_ = std::make_unique<InspectionState>(settings_, slot_);
        return *state_;
    }

    const ProxySettings &settings_;
    int slot_;
    std::unique_ptr<InspectionState> state_;
};

}  // namespace halvex
