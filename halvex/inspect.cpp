#include "halvex/inspect.h"

#include <algorithm>
#include <utility>

#include "common/asciitext.h"
#include "common/hostport.h"
#include "common/netaddress.h"
#include "common/tls.h"
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
    // A held page copied here once would otherwise stay with the connection for its life.
    if (text_.capacity() > kKeptCopy)
        std::string().swap(text_);
    else
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

bool InspectionState::plainTunnel() const {
    return asking_ == Asking::tunnel && answering_ == Answering::tunnel && !judging_ && !release_ &&
           !reconnect_ && !hold_ && held_.empty() && requestHead_.empty() &&
           responseHead_.empty() && !(other_ && checkingOther());
}

std::string InspectionState::target() const {
    return target_;
}

void InspectionState::tunnelled(std::int64_t fromClient, std::int64_t fromServer) {
    if (http_ || other_) log_.clientBytes(std::size_t(fromClient));
    log_.serverBytes(std::size_t(fromServer));
}

void InspectionState::finish() {
    if (clientSecuring_ && !log_.empty()) {
        // The slot ended while the client's TLS with halvex was being set up.
        clientSecuring_ = false;
        log_.front().outcome = "refused";
        log_.front().reason = "the connection ended before the client's TLS was set up";
        log_.tellFront();
    }
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

common::RelayRules::Pass InspectionState::passing(Outgoing &out) {
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

common::RelayRules::Opening InspectionState::open(std::string_view bytes) {
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
        // An inspected tunnel's server is checked as a browser checks it, for the CONNECT's host.
        o.tls = securing_ == Securing::direct;
    }
    return o;
}

common::RelayRules::Start InspectionState::connected() {
    answeredHere_ = 0;  // a new connection
    // What open() made for the server is still in toServer_.
    Start s;
    if (securing_ != Securing::none) {
        toServer_.clear();
        reply_.clear();
        release_ = connect_ = reconnect_ = hold_ = false;
        serverOpen_ = true;
        everConnected_ = true;
        if (securing_ == Securing::upstream) {
            // The upstream proxy's own tunnel first; its answer is judged by greet().
            s.send = connectText_;
            s.greet = true;
            return s;
        }
        startInside();
        s.toClient = kEstablished;
        s.secureClient = true;
        s.clientHello = clientHello_;
        return s;
    }
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

common::RelayRules::Pass InspectionState::relay(common::Side from, std::string_view bytes) {
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

common::RelayRules::Pass InspectionState::ended(common::Side from) {
    begin();
    if (from == common::Side::client) {
        // A head cut off by the end is no request.
        requestHead_.clear();
        return {};
    }
    // Inside a tunnel the server is the tunnel's: when it closes, so does the client's connection.
    if (!inside_ && askAgain()) return passing(toClient_);
    if (!inside_ && http_ && clientStays_ && !release_ && expected_.empty() && answering_ == Answering::head &&
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
bool InspectionState::askAgain() {
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

std::string InspectionState::failure(common::Failure why, std::string_view reason) {
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

// ---- an inspected tunnel's TLS -------------------------------------------------------------

// The upstream proxy's answer to halvex's CONNECT: a tunnel, then TLS with the server in it.
common::RelayRules::Greeting InspectionState::greet(std::string_view bytes) {
    if (securing_ != Securing::upstream) return RelayRules::greet(bytes);
    Greeting g;
    greetHead_.append(bytes.substr(0, kMaxHead - std::min(kMaxHead, greetHead_.size())));
    const std::size_t end = headEnd(greetHead_);
    if (end == npos && greetHead_.size() < kMaxHead) return g;  // more of it first
    Response answer;
    const Refusal bad =
        end == npos ? Refusal{502, "its header is longer than 64 KiB"}
                    : readResponse(std::string_view(greetHead_).substr(0, end), false, answer);
    if (!bad && answer.code / 100 == 2) {
        g.kind = Greeting::upgrade;
        g.tlsName = insideHost_;
        return g;
    }
    const std::string_view line = std::string_view(greetHead_).substr(0, greetHead_.find('\r'));
    const std::string detail =
        "the upstream proxy did not open a tunnel to " + insideAuthority() + ": " +
        (bad ? std::string(bad.why) : common::replytext(line, 100)) + ".";
    RequestRecord &r = log_.back();
    r.outcome = "upstream failed";
    r.status = 502;
    r.reason = detail;
    log_.tellAll("upstream failed", 502, detail);
    reply_ = statusreply("502 Bad Gateway", detail);
    g.kind = Greeting::refuse;
    g.toClient = reply_;
    return g;
}

common::RelayRules::Greeting InspectionState::encrypted(common::Side side) {
    Greeting g;
    if (side == common::Side::server && securing_ == Securing::upstream) {
        // The server's certificate passed, through the upstream proxy's tunnel.
        startInside();
        g.kind = Greeting::accept;
        g.toClient = kEstablished;
        g.secureClient = true;
        g.clientHello = clientHello_;
        return g;
    }
    if (side != common::Side::client || !clientSecuring_) return g;
    clientSecuring_ = false;
    if (log_.empty()) return g;
    RequestRecord &connect = log_.front();
    std::string asked = requestedName_;
    if (asked.ends_with('.')) asked.pop_back();
    if (!asked.empty() && common::normalHost(asked) != common::normalHost(insideHost_)) {
        // A blocked host is not reached behind an allowed one.
        const std::string detail = "The connection was opened for " + insideAuthority() +
                                   " but asks for " + common::replytext(asked, 100) +
                                   " inside; halvex passes on no such connection.";
        connect.outcome = "blocked";
        connect.status = 403;
        connect.reason = "the name asked for in TLS is " + common::replytext(asked, 100) +
                         ", not the CONNECT's";
        log_.tellFront();
        ask(Asking::done);
        reply_ = statusreply("403 Forbidden", detail);
        g.kind = Greeting::refuse;
        g.toClient = reply_;
        return g;
    }
    if (originFailure_.empty()) {
        connect.reason = "inspected";
    } else {
        connect.outcome = "upstream failed";
        connect.reason = originFailure_;
    }
    log_.tellFront();
    return g;
}

std::shared_ptr<common::TlsServerContext> InspectionState::clientIdentity(std::int64_t serverEnd) {
    if (!inside_ || !settings_.https || !settings_.https->mint) return nullptr;
    // A certificate for the name the client asked halvex to reach, and only for it; it ends no
    // later than the server's own (a failed server's end is no bound: the page says why).
    return settings_.https->mint(insideHost_, originFailure_.empty() ? serverEnd : 0);
}

void InspectionState::failed(common::Side side, std::string_view why) {
    if (side != common::Side::client || !clientSecuring_) return;
    clientSecuring_ = false;
    if (log_.empty()) return;
    RequestRecord &connect = log_.front();
    connect.outcome = "refused";
    connect.reason.assign(why);
    if (why.starts_with(common::kCertificateRefused) && settings_.https) {
        // A pinned app or a browser without the office's authority: it keeps working, unread.
        if (settings_.https->clientRefused(common::normalHost(insideHost_), std::string(why), now()))
            connect.reason += "; " + common::urlHost(insideHost_) + " passes uninspected for a day";
    }
    log_.tellFront();
}

bool InspectionState::withoutServer(common::Failure why, std::string_view reason, Start &start) {
    if (securing_ == Securing::none || reason == kNotAllowedReason) return false;
    // The client hears what was wrong with the server inside its own TLS, so that a browser
    // shows halvex's page, never a valid certificate for an invalid server.
    const std::string where = insideAuthority();
    switch (why) {
        case common::Failure::unreachable:
            originFailure_ = "halvex could not connect securely to " + where;
            if (!direct_) originFailure_ += " through the upstream proxy";
            if (!reason.empty()) originFailure_.append(": ").append(reason);
            break;
        case common::Failure::closedEarly:
            originFailure_ = where + " closed the connection before its TLS was set up";
            break;
        default:
            originFailure_ = where + " did not set up TLS in time";
            break;
    }
    originFailure_ += ".";
    startInside();
    start.toClient = kEstablished;
    start.secureClient = true;
    start.clientHello = clientHello_;
    return true;
}

}  // namespace halvex
