#include "halvex/inspect.h"

#include <algorithm>
#include <utility>

#include "common/asciitext.h"
#include "halvex/filters.h"
#include "halvex/proxyconst.h"

namespace halvex {

namespace {

constexpr auto npos = std::string_view::npos;
// The reason the relay gives for a server its policy does not allow.
constexpr std::string_view kNotAllowedReason = "address not allowed";
using common::equalNoCase;

}  // namespace

// ---- Outgoing
// --------------------------------------------------------------------------------------

void Outgoing::clear() {
    text_.clear();
    rest_ = {};
}

void Outgoing::add(std::string_view piece) {
    if (piece.empty()) return;
    if (rest_.data() + rest_.size() == piece.data() && !rest_.empty()) {
        rest_ = std::string_view(rest_.data(), rest_.size() + piece.size());
        return;
    }
    text_.append(rest_);
    rest_ = piece;
}

void Outgoing::copy(std::string_view piece) {
    if (piece.empty()) return;
    text_.append(rest_);
    rest_ = {};
    text_.append(piece);
}

std::string_view Outgoing::whole() {
    if (text_.empty()) return rest_;
    text_.append(rest_);
    rest_ = {};
    return text_;
}

// ---- Body
// ------------------------------------------------------------------------------------------

void Body::start(const Framing &f) {
    kind = f.kind;
    left = f.length;
    chunks = Chunked();
}

std::size_t Body::take(std::string_view in, bool &complete, bool &broken, BodyDecoder *judged) {
    complete = broken = false;
    switch (kind) {
        case Framing::none:
            complete = true;
            return 0;
        case Framing::sized: {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(left, in.size()));
            left -= n;
            complete = left == 0;
            if (judged) judged->feed(in.substr(0, n));
            return n;
        }
        case Framing::chunked: {
            const std::size_t n = chunks.feed(in, [judged](std::string_view data) {
                if (judged) judged->feed(data);
            });
            // A body that breaks its own framing goes no further: what follows it could be read
            // as the body or as the next message.
            broken = chunks.bad();
            complete = chunks.done();
            return n;
        }
        case Framing::untilclose:
            if (judged) judged->feed(in);
            return in.size();
    }
    return in.size();
}

// ---- the slot as a whole
// ----------------------------------------------------------------------------

bool Inspection::plainTunnel() const {
    return asking_ == Asking::tunnel && answering_ == Answering::tunnel && !judging_ && !release_ &&
           !reconnect_ && !hold_ && held_.empty() && requestHead_.empty() &&
           responseHead_.empty() && !(other_ && checkingOther());
}

void Inspection::tunnelled(std::int64_t fromClient, std::int64_t fromServer) {
    if (http_ || other_) log_.clientBytes(std::size_t(fromClient));
    log_.serverBytes(std::size_t(fromServer));
}

void Inspection::finish() {
    if (other_ && !log_.empty()) {
        // The URL list tells it once, with what the client sent.
        if (settings_.logurl)
            settings_.logurl(
                slot_, "other protocol, " + std::to_string(log_.front().fromClient) + " bytes");
        log_.tell(log_.front());
        log_.records().clear();
        return;
    }
    log_.tellAll("upstream failed", 0, "the connection ended before the answer");
}

// ---- the relay's events
// ----------------------------------------------------------------------------

common::RelayRules::Pass Inspection::passing(Outgoing &out) {
    Pass p;
    p.send = out.first();
    p.sendAfter = out.second();
    p.reply = reply_;
    p.release = release_;
    if (reconnect_) {
        p.reconnect = true;
        p.host = waiting_.host;
        p.port = waiting_.port;
        serverOpen_ = false;
        serverHost_ = waiting_.host;
        serverPort_ = waiting_.port;
    }
    p.hold = hold_;
    return p;
}

common::RelayRules::Opening Inspection::open(std::string_view bytes) {
    // The mode is the one the window shows when the client first speaks, for the slot's life.
    if (!opened_) direct_ = settings_.direct();
    opened_ = true;
    begin();
    takeClient(bytes, false);
    Opening o;
    o.reply = reply_;
    o.close = release_;
    if (connect_ && !release_) {
        o.connect = true;
        if (asking_ == Asking::waiting) {
            serverHost_ = waiting_.host;
            serverPort_ = waiting_.port;
        }
        o.host = serverHost_;
        o.port = serverPort_;
    }
    return o;
}

common::RelayRules::Start Inspection::connected() {
    answeredHere_ = 0;  // a new connection
    // What open() made for the server is still in toServer_.
    Start s;
    if (asking_ == Asking::waiting) {
        toServer_.clear();
        reply_.clear();
        release_ = connect_ = reconnect_ = hold_ = false;
        const bool tunnel = waiting_.tunnel;
        useWaiting();
        if (tunnel) s.toClient = kEstablished;
    }
    serverOpen_ = true;
    everConnected_ = true;
    s.send = toServer_.whole();
    // A request refused before anything was sent ends the slot at once (a later one waits for
    // the answers before it).
    s.release = release_;
    return s;
}

common::RelayRules::Pass Inspection::relay(common::Side from, std::string_view bytes) {
    begin();
    if (from == common::Side::client) {
        takeClient(bytes, true);
        return passing(toServer_);
    }
    takeServer(bytes, true);
    if (!clientHeld_ || release_ || expected_.size() >= settings_.maxPipelined)
        return passing(toClient_);
    // Answers came: the client's waiting requests go on behind them, and it is read again
    // unless they fill the pipeline anew.
    clientHeld_ = false;
    std::string rest;
    rest.swap(pipelineHeld_);
    takeClient(rest, false);
    hold_ = false;           // the client stays held by the relay; the server is read on
    toClient_.copy(reply_);  // a refusal among them is the client's
    reply_.assign(toServer_.whole());
    Pass p = passing(toClient_);
    p.resumePartner = !clientHeld_ && !release_;
    return p;
}

common::RelayRules::Pass Inspection::ended(common::Side from) {
    begin();
    if (from == common::Side::client) {
        // A head cut off by the end is no request.
        requestHead_.clear();
        return {};
    }
    if (askAgain()) return passing(toClient_);
    if (http_ && clientStays_ && !release_ && expected_.empty() && answering_ == Answering::head &&
        responseHead_.empty() && asking_ == Asking::head) {
        // Between requests: the client keeps its connection, its next request opens another.
        serverOpen_ = false;
        reopen_ = true;
        Pass p = passing(toClient_);
        p.keepPartner = true;
        return p;
    }
    // The end of the connection ends a body framed by it, and whatever was held for judging.
    if (answering_ == Answering::body) {
        if (judging_) judge();
        if (!release_ && answered_.kind == Framing::untilclose) answered();
    } else if (answering_ == Answering::head && !responseHead_.empty()) {
        toClient_.copy(responseHead_);
        responseHead_.clear();
    }
    serverOpen_ = false;
    // A refused request waits for no more answers: its page goes now.
    if (!release_ && ending_) endNow();
    // Without an upstream proxy a waiting request gets its server now.
    if (!release_ && asking_ == Asking::waiting) reconnect_ = true;
    return passing(toClient_);
}

// A server may close a kept-alive connection just as a request crosses its end: a connection
// that has answered before and ends without a byte of the answer to the one request outstanding
// gets that request again on a new connection, once, when asking again is safe (GET, HEAD,
// OPTIONS without a body), as the client itself would; the client keeps its connection.
bool Inspection::askAgain() {
    if (again_.empty() || release_ || answeredHere_ == 0 || expected_.size() != 1 ||
        answering_ != Answering::head || !responseHead_.empty() || asking_ != Asking::head)
        return false;
    waiting_ = Waiting{serverHost_, serverPort_, false, std::move(again_), expected_.front(), {}};
    again_.clear();
    ask(Asking::waiting);
    serverOpen_ = false;
    reconnect_ = true;
    return true;
}

std::string Inspection::failure(common::Failure why, std::string_view reason) {
    if (!http_) return {};
    const std::string where = common::hostAndPort(serverHost_, serverPort_);
    const std::string what = direct_ ? where : "the upstream proxy " + where;
    std::string detail;
    switch (why) {
        case common::Failure::unreachable:
            detail = "halvex could not connect to " + what;
            if (!reason.empty()) detail.append(": ").append(reason);
            break;
        case common::Failure::closedEarly:
            detail = what + " closed the connection before it answered";
            break;
        case common::Failure::noGreeting:
            detail = what + " did not answer in time";
            break;
        case common::Failure::noLogin:
        case common::Failure::silent:
            return {};
    }
    detail += ".";
    // Nothing reached a server that was never connected.
    if (!everConnected_)
        for (RequestRecord &r : log_.records()) r.fromClient = 0;
    // The shell's server policy said no: halvex refused, nothing failed.
    log_.tellAll(reason == kNotAllowedReason ? "refused" : "upstream failed", 502, detail);
    return statusreply("502 Bad Gateway", detail);
}

}  // namespace halvex
