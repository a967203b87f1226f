// The client's side of a slot: its bytes assembled into requests, each read, judged, refused or
// sent on (to the upstream proxy, or to its own server), a pipeline kept within its bound, and
// another protocol passed on as it is.
#include <algorithm>
#include <utility>

#include "common/asciitext.h"
#include "common/hostport.h"
#include "common/netaddress.h"
#include "halvex/filters.h"
#include "halvex/inspect.h"
#include "halvex/proxyconst.h"

namespace halvex {

namespace {
constexpr auto npos = std::string_view::npos;
using common::equalNoCase;

// The status line's words for a code halvex answers with itself.
std::string_view statusOf(int code) {
    switch (code) {
        case 400:
            return "400 Bad Request";
        case 501:
            return "501 Not Implemented";
        case 505:
            return "505 HTTP Version Not Supported";
        default:
            return "400 Bad Request";
    }
}

}  // namespace

// The one place the client's side changes: what its next bytes are.
void InspectionState::ask(Asking next) {
    asking_ = next;
}

void InspectionState::begin() {
    toServer_.clear();
    toClient_.clear();
    reply_.clear();
    release_ = connect_ = reconnect_ = hold_ = false;
}

void InspectionState::refuse(std::string_view status, std::string_view detail) {
    if (log_.empty() || log_.back().sent) log_.begin("-", "-");
    RequestRecord &r = log_.back();
    r.status = common::statusCode(status);
    r.outcome = r.status == 403 ? "blocked" : "refused";
    r.reason.assign(detail);
    endWith(statusreply(status, detail));
}

void InspectionState::blocked() {
    // Block (disconnect): the connection goes without a word.
    RequestRecord &r = log_.back();
    r.outcome = "blocked";
    r.reason = "on the block list";
    endWith({});
}

// The last request (its record the last one) ends the connection with `reply`, once the answers
// to the requests before it have reached the client: a later request of a pipeline that is
// refused does not take the earlier answers with it. Nothing more of the client's is read.
void InspectionState::endWith(std::string reply) {
    ask(Asking::done);
    if (!expected_.empty()) {
        ending_ = true;
        endReply_ = std::move(reply);
        return;
    }
    reply_ = std::move(reply);
    release_ = true;
    log_.tellBack();
}

// The answers before a refused request are through: its page, and the end.
void InspectionState::endNow() {
    ending_ = false;
    toClient_.copy(endReply_);
    std::string().swap(endReply_);
    release_ = true;
    log_.tellRest();
}

bool InspectionState::checkingOther() const {
    return settings_.blockme && !settings_.block.empty() && otherSeen_ < kMaxHead;
}

// Whether another protocol's bytes so far mention a block entry (within its first 64 KiB: a TLS
// hello names its host there). An entry cut between two chunks is found too.
bool InspectionState::otherMentions(std::string_view bytes) {
    if (!checkingOther()) return false;
    const std::string_view seen = bytes.substr(0, std::size_t(kMaxHead - otherSeen_));
    otherSeen_ += seen.size();
    std::size_t longest = 0;
    for (const std::string &e : settings_.block) longest = std::max(longest, e.size());
    std::string text = otherTail_;
    text.append(seen);
    if (mentionsBlocked(text, settings_.block)) {
        RequestRecord &r = log_.back();
        r.outcome = "blocked";
        r.reason = "other protocol, on the block list";
        release_ = true;
        return true;
    }
    otherTail_ = text.substr(text.size() - std::min(text.size(), longest > 0 ? longest - 1 : 0));
    return false;
}

void InspectionState::takeClient(std::string_view bytes, bool stable) {
    while (!bytes.empty() && !release_) {
        switch (asking_) {
            case Asking::head:
                if (expected_.size() >= settings_.maxPipelined) {
                    // As many requests wait for answers as a connection may have: the client is
                    // read no further until answers come, what it sent already waits here.
                    pipelineHeld_.append(bytes);
                    clientHeld_ = true;
                    hold_ = true;
                    return;
                }
                bytes.remove_prefix(takeHead(bytes));
                break;
            case Asking::body: {
                bool complete = false, broken = false;
                const std::size_t n = asked_.take(bytes, complete, broken);
                log_.clientBytes(n);
                if (stable)
                    toServer_.add(bytes.substr(0, n));
                else
                    toServer_.copy(bytes.substr(0, n));
                bytes.remove_prefix(n);
                if (broken) {
                    // The server waits for the rest of a body that will not come: no answer is
                    // waited for, the connection ends now.
                    RequestRecord &r = log_.back();
                    r.outcome = "refused";
                    r.status = 400;
                    r.reason = "the request's chunked body is malformed";
                    reply_ =
                        statusreply("400 Bad Request", "The request's chunked body is malformed.");
                    release_ = true;
                    ask(Asking::done);
                    return;
                }
                if (complete) ask(Asking::head);
                break;
            }
            case Asking::tunnel:
                if (other_ && otherMentions(bytes)) return;
                if (http_ || other_) log_.clientBytes(bytes.size());
                if (stable)
                    toServer_.add(bytes);
                else
                    toServer_.copy(bytes);
                return;
            case Asking::waiting:
                held_.append(bytes);
                hold_ = true;
                return;
            case Asking::done:
                return;
        }
    }
}

std::size_t InspectionState::takeHead(std::string_view bytes) {
    if (requestHead_.empty()) {
        // Empty lines before a request, or between two, are no part of it.
        std::size_t skip = 0;
        while (skip < bytes.size() && (bytes[skip] == '\r' || bytes[skip] == '\n')) ++skip;
        if (skip) return skip;
        const std::size_t end = headEnd(bytes);
        if (end != npos && end <= kMaxHead &&
            sniffRequest(bytes.substr(0, end)) == Sniff::request) {
            // The whole head came at once: judged where it stands.
            onRequest(bytes.substr(0, end));
            return end;
        }
        sniffer_.reset();
    }
    const std::size_t had = requestHead_.size();
    const std::size_t take = std::min(bytes.size(), kMaxHead - had);
    requestHead_.append(bytes.substr(0, take));
    if (sniffer_.feed(requestHead_) == Sniff::other) {
        std::string text;
        text.swap(requestHead_);
        notRequest(text, false);
        return take;
    }
    const std::size_t end = headEnd(requestHead_, had);
    if (end != npos) {
        std::string text;
        text.swap(requestHead_);
        text.resize(end);
        onRequest(text);
        return end - had;
    }
    if (requestHead_.size() >= kMaxHead) {
        requestHead_.clear();
        refuse("431 Request Header Fields Too Large",
               "The request's header is longer than halvex takes (64 KiB).");
    }
    return take;
}

void InspectionState::notRequest(std::string_view bytes, bool stable) {
    if (inside_ && insideRequests_ > 0) {
        refuse("400 Bad Request", "What came where a request should begin is no HTTP request.");
        return;
    }
    if (direct_ && !inside_) {
        refuse("400 Bad Request",
               "halvex has no upstream proxy here and takes only HTTP requests for http:// "
               "addresses and CONNECT.");
        return;
    }
    if (http_ && !inside_) {
        // A connection that spoke HTTP goes on speaking it: anything else where a request
        // should begin is what a lenient server could take for one.
        refuse("400 Bad Request", "What came where a request should begin is no HTTP request.");
        return;
    }
    // Another protocol: to the upstream as it is, logged once when it ends, and its first bytes
    // checked against the block list as a request's are.
    other_ = true;
    log_.begin("-", "-");
    log_.back().sent = true;
    log_.back().reason = "other protocol";
    ask(Asking::tunnel);
    if (expected_.empty()) answer(Answering::tunnel);
    if (otherMentions(bytes)) return;
    log_.clientBytes(bytes.size());
    if (stable)
        toServer_.add(bytes);
    else
        toServer_.copy(bytes);
    if (!serverOpen_ && serverHost_.empty()) {
        serverHost_ = settings_.upstreamHost;
        serverPort_ = settings_.upstreamPort;
        connect_ = true;
    }
}

void InspectionState::onRequest(std::string_view head) {
    const Refusal bad = readRequest(head, request_);
    const Request &r = request_;
    if (inside_) {
        onInsideRequest(bad);
        return;
    }
    http_ = true;
    if (bad && r.target.empty())
        log_.begin("-", "-");
    else
        log_.begin(canonicalMethod(r.method), r.target);
    const bool connect = canonicalMethod(r.method) == "CONNECT";
    target_ = log_.back().target;  // its room is used again
    if (settings_.logurl) {
        const std::string &shown = log_.back().target;  // without a password
        if (connect)
            settings_.logurl(slot_, "CONNECT " + shown);
        else
            settings_.logurl(slot_, shown);
    }
    // A head halvex and a lenient peer could read two ways goes nowhere.
    if (bad) {
        refuse(statusOf(bad.status), bad.why);
        return;
    }
    if (connect) {
        const ConnectTarget where = connectTarget(r.target);
        if (!where.ok) {
            refuse("400 Bad Request", "CONNECT needs a host and a port.");
            return;
        }
        if (settings_.blockme && hostblocked(where.where.host, where.where.port, settings_.block)) {
            refuse("403 Forbidden", "halvex does not allow connections to " +
                                        common::hostAndPort(where.where.host, where.where.port) +
                                        ".");
            return;
        }
        // Read inside when the office has it so, and the CONNECT is the first server the
        // connection asks for (a tunnel after plain requests passes as it is).
        if (settings_.https && !everConnected_ && !serverOpen_ && expected_.empty()) {
            const HttpsChoice c = settings_.https->choose(where.where.host, where.where.port, now());
            if (c == HttpsChoice::inspect) {
                std::string text;
                if (!direct_) {
                    const std::string target =
                        common::hostAndPort(where.where.host, where.where.port);
                    text = filterrequest(r, Onward{target, target},
                                         RequestSettings{false, false, {}, {}})
                               .text;
                }
                beginInspection(where.where, std::move(text));
                return;
            }
            if (c != HttpsChoice::off) log_.back().reason = choiceText(c);
        }
        Expected e;
        e.connect = true;
        if (direct_) {
            switchServer(where.where.host, where.where.port, true, {}, e, {});
        } else {
            const std::string target = common::hostAndPort(where.where.host, where.where.port);
            const FilteredRequest f =
                filterrequest(r, Onward{target, target}, RequestSettings{false, false, {}, {}});
            forward(f.text, e, {});
            if (asking_ != Asking::waiting) ask(Asking::tunnel);
        }
        return;
    }
    // An absolute target goes on with its host in its one form and without a user, and the Host
    // it carries is its authority's, whatever the client wrote there.
    const AbsoluteTarget t = absoluteTarget(r.target);
    if (common::startsNoCase(r.target, "http://") && !t.ok) {
        refuse("400 Bad Request", "The request's address names no host halvex can reach.");
        return;
    }
    if (direct_ && !t.ok) {
        refuse("400 Bad Request",
               "halvex has no upstream proxy here: it takes requests for http:// addresses (and "
               "CONNECT for the others).");
        return;
    }
    if (!t.ok && r.hosts == 0 && r.minor == 1) {
        refuse("400 Bad Request", "A request for a path needs a Host.");
        return;
    }
    // halvex's own status page, as the proxy's clients reach it.
    if (t.ok && settings_.statusPage && t.where.host == kStatusHost && t.where.port == 80) {
        std::string page = settings_.statusPage(slot_, head);
        RequestRecord &rec = log_.back();
        rec.status = common::statusCode(std::string_view(page).substr(std::min<std::size_t>(9, page.size())));
        rec.reason = "halvex's status page";
        endWith(std::move(page));
        return;
    }
    std::string host, target;
    if (t.ok) {
        host = t.where.port == 80 ? common::urlHost(t.where.host)
                                  : common::hostAndPort(t.where.host, t.where.port);
        const std::string_view path = t.path.substr(0, t.path.find('#'));
        if (direct_)
            target.assign(path.starts_with('/') ? "" : "/").append(path);
        else
            target = "http://" + host +
                     std::string(path.starts_with('/') || path.starts_with('?') ? "" : "/") +
                     std::string(path);
    } else {
        target.assign(r.target);
    }
    FilteredRequest f = filterrequest(r, Onward{target, host, direct_},
                                      RequestSettings{settings_.cookie, settings_.blockme,
                                                      settings_.block, settings_.cookiemarker});
    // The host of an absolute target is checked as a CONNECT's is, however it is written.
    if (!f.release && t.ok && settings_.blockme && !settings_.block.empty())
        f.release = hostblocked(t.where.host, t.where.port, settings_.block);
    if (f.release) {
        blocked();
        return;
    }
    Expected e;
    e.head = canonicalMethod(r.method) == "HEAD";
    e.persistent = !closesAfter(r);
    if (!direct_) {
        forward(f.text, e, r.framing);
        return;
    }
    switchServer(t.where.host, t.where.port, false, std::move(f.text), e, r.framing);
}

void InspectionState::forward(std::string_view text, const Expected &e, const Framing &f) {
    if (reopen_) {
        // The server side closed between requests: this one opens it anew.
        reopen_ = false;
        waiting_ = Waiting{serverHost_, serverPort_, false, std::string(text), e, f};
        ask(Asking::waiting);
        reconnect_ = true;
        return;
    }
    toServer_.copy(text);
    // Kept only where it may be asked again: alone on a connection that has answered before.
    const std::string_view method = text.substr(0, text.find(' '));
    if (answeredHere_ > 0 && expected_.empty() && f.kind == Framing::none && !e.connect &&
        (method == "GET" || method == "HEAD" || method == "OPTIONS"))
        again_.assign(text);
    else
        again_.clear();
    if (!log_.empty() && !log_.back().sent) {
        log_.back().sent = true;
        log_.back().fromClient += text.size();
    }
    expected_.push_back(e);
    asked_.start(f);
    ask(f.kind == Framing::none ? Asking::head : Asking::body);
    if (!serverOpen_ && serverHost_.empty()) {
        // The first request opens the upstream connection.
        serverHost_ = settings_.upstreamHost;
        serverPort_ = settings_.upstreamPort;
        connect_ = true;
    }
}

void InspectionState::switchServer(std::string host, int port, bool tunnel, std::string text,
                              const Expected &e, const Framing &f) {
    if (!tunnel && serverOpen_ && !serverClosing_ && port == serverPort_ &&
        equalNoCase(host, serverHost_)) {
        forward(text, e, f);
        return;
    }
    // Another server: this request waits for it, and whatever the client sends after it too.
    waiting_ = Waiting{std::move(host), port, tunnel, std::move(text), e, f};
    ask(Asking::waiting);
    if (!everConnected_)
        connect_ = true;
    else if (!serverOpen_ || expected_.empty())
        reconnect_ = true;
    else
        hold_ = true;  // until the answers on the current server are through
}

void InspectionState::useWaiting() {
    // The server the waiting request needs is there.
    serverHost_ = waiting_.host;
    serverPort_ = waiting_.port;
    serverOpen_ = true;
    serverClosing_ = false;
    // Requests on the last server that it never answered: the waiting one is the last record.
    while (log_.size() > 1 && log_.front().sent) {
        RequestRecord &r = log_.front();
        if (r.status == 0) {
            r.outcome = "upstream failed";
            r.reason = "the server closed before the answer";
        }
        log_.tellFront();
    }
    expected_.clear();
    answer(Answering::head);
    responseHead_.clear();
    judging_ = false;
    if (waiting_.tunnel) {
        ask(Asking::tunnel);
        answer(Answering::tunnel);
        if (!log_.empty()) {
            log_.back().sent = true;
            log_.back().status = 200;  // halvex's own "connection established"
        }
    } else {
        forward(waiting_.text, waiting_.expected, waiting_.framing);
        // A CONNECT to the upstream proxy: what the client sends next is the tunnel's.
        if (waiting_.expected.connect) ask(Asking::tunnel);
    }
    waiting_ = Waiting();
    std::string rest;
    rest.swap(held_);
    takeClient(rest, false);
}

// ---- inside an HTTPS tunnel -----------------------------------------------------------------

// An inspected CONNECT: the server's TLS first (its certificate checked), then the client's
// "connection established" and its TLS with halvex's certificate for the host.
void InspectionState::beginInspection(const common::HostPort &where, std::string connectText) {
    insideHost_ = where.host;
    insidePort_ = where.port;
    Expected e;
    e.connect = true;
    if (direct_) {
        securing_ = Securing::direct;
        waiting_ = Waiting{where.host, where.port, true, {}, e, {}};
    } else {
        securing_ = Securing::upstream;
        connectText_ = std::move(connectText);
        waiting_ = Waiting{settings_.upstreamHost, settings_.upstreamPort, true, {}, e, {}};
        log_.back().fromClient += connectText_.size();
    }
    log_.back().sent = true;
    ask(Asking::waiting);
    connect_ = true;
}

// The server's side is secured (or has failed): requests come next, decrypted.
void InspectionState::startInside() {
    securing_ = Securing::none;
    inside_ = true;
    clientSecuring_ = true;
    waiting_ = Waiting();
    // What the client sent behind its CONNECT is the start of its TLS.
    clientHello_.swap(held_);
    held_.clear();
    expected_.clear();
    ask(Asking::head);
    answer(Answering::head);
    serverOpen_ = true;
    everConnected_ = true;
    if (!log_.empty()) log_.front().status = 200;  // halvex's own "connection established"
}

std::string InspectionState::insideAuthority() const {
    return insidePort_ == 443 ? common::urlHost(insideHost_)
                              : common::hostAndPort(insideHost_, insidePort_);
}

// Whether a Host (or an absolute target's authority) names the server the tunnel was opened for,
// however it is spelled.
bool InspectionState::sameServer(std::string_view authority) const {
    const common::Result<common::HostPort> h = common::parseHostPort(authority, 443);
    return h && h->port == insidePort_ && common::normalHost(h->host) == common::normalHost(insideHost_);
}

void InspectionState::onInsideRequest(const Refusal &bad) {
    const Request &r = request_;
    ++insideRequests_;
    http_ = true;
    // The origin form; an absolute https target's authority is checked as a Host is.
    std::string_view path = r.target;
    std::string_view authority;
    const bool absolute = common::startsNoCase(path, "https://");
    if (absolute) {
        path.remove_prefix(8);
        const std::size_t end = std::min(path.find_first_of("/?#"), path.size());
        authority = path.substr(0, end);
        path.remove_prefix(end);
    }
    path = path.substr(0, path.find('#'));
    const std::string where = insideAuthority();
    if (bad && r.target.empty()) {
        log_.begin("-", "-");
    } else {
        const std::string shown =
            path == "*" ? "https://" + where
                        : "https://" + where + (path.starts_with('/') ? "" : "/") + std::string(path);
        log_.begin(canonicalMethod(r.method), shown);
    }
    if (settings_.logurl) settings_.logurl(slot_, log_.back().target);
    if (bad) {
        refuse(statusOf(bad.status), bad.why);
        return;
    }
    const std::string_view method = canonicalMethod(r.method);
    if (method == "CONNECT") {
        refuse("400 Bad Request", "halvex takes no CONNECT inside a tunnel it reads.");
        return;
    }
    const bool asterisk = path == "*" && method == "OPTIONS" && !absolute;
    if (!asterisk && !absolute && !path.starts_with('/')) {
        refuse("400 Bad Request", "The request's target is no path on this server.");
        return;
    }
    if (r.hosts == 0 && r.minor == 1) {
        refuse("400 Bad Request", "A request for a path needs a Host.");
        return;
    }
    const std::string_view host = fieldValue(r.fields, "host");
    for (const std::string_view named : {absolute ? authority : std::string_view(), host}) {
        if (named.empty() || sameServer(named)) continue;
        refuse("421 Misdirected Request",
               "This connection was opened for " + where + ", not for " +
                   common::replytext(named, 100) + ".");
        return;
    }
    if (!originFailure_.empty()) {
        // What was wrong with the server, as its answer: then the end.
        RequestRecord &rec = log_.back();
        rec.outcome = "upstream failed";
        rec.status = 502;
        rec.reason = originFailure_;
        endWith(statusreply("502 Bad Gateway", originFailure_));
        return;
    }
    std::string target(path.empty() ? std::string_view("/") : path);
    if (!asterisk && !target.starts_with('/')) target.insert(0, "/");
    FilteredRequest f = filterrequest(r, Onward{target, where, true},
                                      RequestSettings{settings_.cookie, settings_.blockme,
                                                      settings_.block, settings_.cookiemarker});
    if (f.release) {
        blocked();
        return;
    }
    Expected e;
    e.head = method == "HEAD";
    e.persistent = !closesAfter(r);
    forward(f.text, e, r.framing);
}

}  // namespace halvex
