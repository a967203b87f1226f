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

// Whether a message's connection ends after it.
bool closes(bool close, bool keepalive, int minor) {
    return close || (minor == 0 && !keepalive);
}

// The status line's words for a code halvex answers with itself.
std::string_view statusof(int code) {
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

// A response head without its Content-Length lines: chunks frame its body.
std::string withoutlength(std::string_view head) {
    std::string out;
    out.reserve(head.size());
    while (!head.empty()) {
        const std::size_t lf = head.find('\n');
        const std::string_view line = head.substr(0, lf == npos ? head.size() : lf + 1);
        if (!common::startsNoCase(line, "content-length:")) out.append(line);
        head.remove_prefix(line.size());
    }
    return out;
}

// The head with "Connection: close" added as its last field.
std::string withclose(std::string_view head) {
    // The blank line that ends it is "\r\n" or "\n".
    const std::size_t end = head.size() - (head.ends_with("\r\n") ? 2 : 1);
    std::string out;
    out.reserve(head.size() + 19);
    out.append(head.substr(0, end)).append("Connection: close\r\n").append(head.substr(end));
    return out;
}

}  // namespace

// ---- Outgoing --------------------------------------------------------------------------------------

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

// ---- Body ------------------------------------------------------------------------------------------

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

// ---- the client's side -----------------------------------------------------------------------------

void Inspection::begin() {
    toServer_.clear();
    toClient_.clear();
    reply_.clear();
    release_ = connect_ = reconnect_ = hold_ = false;
}

void Inspection::refuse(std::string_view status, std::string_view detail) {
    if (records_.empty() || records_.back().sent) record("-", "-");
    RequestRecord &r = records_.back();
    r.status = common::statusCode(status);
    r.outcome = r.status == 403 ? "blocked" : "refused";
    r.reason.assign(detail);
    endwith(statusreply(status, detail));
}

void Inspection::blocked() {
    // Block (disconnect): the connection goes without a word.
    RequestRecord &r = records_.back();
    r.outcome = "blocked";
    r.reason = "on the block list";
    endwith({});
}

// The last request (its record the last one) ends the connection with `reply`, once the answers
// to the requests before it have reached the client: a later request of a pipeline that is
// refused does not take the earlier answers with it. Nothing more of the client's is read.
void Inspection::endwith(std::string reply) {
    asking_ = Asking::done;
    if (!expected_.empty()) {
        ending_ = true;
        endReply_ = std::move(reply);
        return;
    }
    reply_ = std::move(reply);
    release_ = true;
    tell(records_.back());
    records_.pop_back();
}

// The answers before a refused request are through: its page, and the end.
void Inspection::endnow() {
    ending_ = false;
    toClient_.copy(endReply_);
    std::string().swap(endReply_);
    release_ = true;
    for (RequestRecord &r : records_) tell(r);
    records_.clear();
}

// ---- the log ---------------------------------------------------------------------------------------

std::string withoutpassword(std::string_view target) {
    // An absolute address, or an authority alone (a CONNECT's "user:password@host:443"); a path
    // has none.
    const std::size_t scheme = target.find("://");
    if (scheme == npos && (target.empty() || target.front() == '/' || target.front() == '*'))
        return std::string(target);
    const std::size_t from = scheme == npos ? 0 : scheme + 3;
    // The authority runs to the path, the query or the fragment; a password stands between its
    // first colon and its last @.
    std::size_t at = npos, colon = npos;
    for (std::size_t i = from; i < target.size(); ++i) {
        const char c = target[i];
        if (c == '/' || c == '?' || c == '#') break;
        if (c == '@') at = i;
        else if (c == ':' && colon == npos) colon = i;
    }
    if (at == npos || colon == npos || colon > at) return std::string(target);
    return std::string(target.substr(0, colon + 1)) + "*" + std::string(target.substr(at));
}

void Inspection::record(std::string_view method, std::string_view target) {
    RequestRecord &r = records_.emplace_back();
    r.method.assign(method);
    r.target = withoutpassword(target);
    r.begun = settings_.clock ? settings_.clock() : 0;
}

bool Inspection::plainTunnel() const {
    return asking_ == Asking::tunnel && answering_ == Answering::tunnel && !judging_ &&
           !release_ && !reconnect_ && !hold_ && held_.empty() && head_.empty() && rhead_.empty() &&
           !(other_ && checkingOther());
}

void Inspection::tunnelled(std::int64_t fromClient, std::int64_t fromServer) {
    if (http_ || other_) clientbytes(std::size_t(fromClient));
    serverbytes(std::size_t(fromServer));
}

bool Inspection::checkingOther() const {
    return settings_.blockme && !settings_.block.empty() && otherSeen_ < kMaxHead;
}

// Whether another protocol's bytes so far mention a block entry (within its first 64 KiB: a TLS
// hello names its host there). An entry cut between two chunks is found too.
bool Inspection::othermentions(std::string_view bytes) {
    if (!checkingOther()) return false;
    const std::string_view seen = bytes.substr(0, std::size_t(kMaxHead - otherSeen_));
    otherSeen_ += seen.size();
    std::size_t longest = 0;
    for (const std::string &e : settings_.block) longest = std::max(longest, e.size());
    std::string text = otherTail_;
    text.append(seen);
    if (mentionsblocked(text, settings_.block)) {
        RequestRecord &r = records_.back();
        r.outcome = "blocked";
        r.reason = "other protocol, on the block list";
        release_ = true;
        return true;
    }
    otherTail_ = text.substr(text.size() - std::min(text.size(), longest > 0 ? longest - 1 : 0));
    return false;
}

void Inspection::clientbytes(std::size_t n) {
    if (!records_.empty()) records_.back().fromClient += n;
}

void Inspection::serverbytes(std::size_t n) {
    if (!records_.empty() && records_.front().sent) records_.front().fromServer += n;
}

void Inspection::tell(RequestRecord &r) {
    if (settings_.logrequest) settings_.logrequest(slot_, r);
}

// The first request's answer is through.
void Inspection::tellfront() {
    if (records_.empty() || !records_.front().sent) return;
    tell(records_.front());
    records_.pop_front();
}

// Every request not told yet; one without an answer ends with `outcome`.
void Inspection::tellall(const char *outcome, int status, std::string_view reason) {
    for (RequestRecord &r : records_) {
        if (r.status == 0) {
            r.outcome = outcome;
            r.status = status;
            r.reason.assign(reason);
        }
        tell(r);
    }
    records_.clear();
}

void Inspection::finish() {
    if (other_ && !records_.empty()) {
        // The URL list tells it once, with what the client sent.
        if (settings_.logurl)
            settings_.logurl(slot_, "other protocol, " + std::to_string(records_.front().fromClient) + " bytes");
        tell(records_.front());
        records_.clear();
        return;
    }
    tellall("upstream failed", 0, "the connection ended before the answer");
}

void Inspection::takeclient(std::string_view bytes, bool stable) {
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
                bytes.remove_prefix(takehead(bytes));
                break;
            case Asking::body: {
                bool complete = false, broken = false;
                const std::size_t n = asked_.take(bytes, complete, broken);
                clientbytes(n);
                if (stable) toServer_.add(bytes.substr(0, n));
                else toServer_.copy(bytes.substr(0, n));
                bytes.remove_prefix(n);
                if (broken) {
                    // The server waits for the rest of a body that will not come: no answer is
                    // waited for, the connection ends now.
                    RequestRecord &r = records_.back();
                    r.outcome = "refused";
                    r.status = 400;
                    r.reason = "the request's chunked body is malformed";
                    reply_ = statusreply("400 Bad Request", "The request's chunked body is malformed.");
                    release_ = true;
                    asking_ = Asking::done;
                    return;
                }
                if (complete) asking_ = Asking::head;
                break;
            }
            case Asking::tunnel:
                if (other_ && othermentions(bytes)) return;
                if (http_ || other_) clientbytes(bytes.size());
                if (stable) toServer_.add(bytes);
                else toServer_.copy(bytes);
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

std::size_t Inspection::takehead(std::string_view bytes) {
    if (head_.empty()) {
        // Empty lines before a request, or between two, are no part of it.
        std::size_t skip = 0;
        while (skip < bytes.size() && (bytes[skip] == '\r' || bytes[skip] == '\n')) ++skip;
        if (skip) return skip;
        const std::size_t end = headend(bytes);
        if (end != npos && end <= kMaxHead && sniffrequest(bytes.substr(0, end)) == Sniff::request) {
            // The whole head came at once: judged where it stands.
            onrequest(bytes.substr(0, end));
            return end;
        }
        sniffer_.reset();
    }
    const std::size_t had = head_.size();
    const std::size_t take = std::min(bytes.size(), kMaxHead - had);
    head_.append(bytes.substr(0, take));
    if (sniffer_.feed(head_) == Sniff::other) {
        std::string text;
        text.swap(head_);
        notrequest(text, false);
        return take;
    }
    const std::size_t end = headend(head_, had);
    if (end != npos) {
        std::string text;
        text.swap(head_);
        text.resize(end);
        onrequest(text);
        return end - had;
    }
    if (head_.size() >= kMaxHead) {
        head_.clear();
        refuse("431 Request Header Fields Too Large",
               "The request's header is longer than halvex takes (64 KiB).");
    }
    return take;
}

void Inspection::notrequest(std::string_view bytes, bool stable) {
    if (direct_) {
        refuse("400 Bad Request",
               "halvex has no upstream proxy here and takes only HTTP requests for http:// "
               "addresses and CONNECT.");
        return;
    }
    if (http_) {
        // A connection that spoke HTTP goes on speaking it: anything else where a request
        // should begin is what a lenient server could take for one.
        refuse("400 Bad Request", "What came where a request should begin is no HTTP request.");
        return;
    }
    // Another protocol: to the upstream as it is, logged once when it ends, and its first bytes
    // checked against the block list as a request's are.
    other_ = true;
    record("-", "-");
    records_.back().sent = true;
    records_.back().reason = "other protocol";
    asking_ = Asking::tunnel;
    if (expected_.empty()) answering_ = Answering::tunnel;
    if (othermentions(bytes)) return;
    clientbytes(bytes.size());
    if (stable) toServer_.add(bytes);
    else toServer_.copy(bytes);
    if (!serverOpen_ && serverHost_.empty()) {
        serverHost_ = settings_.upstreamHost;
        serverPort_ = settings_.upstreamPort;
        connect_ = true;
    }
}

void Inspection::onrequest(std::string_view head) {
    const Refusal bad = readrequest(head, request_);
    const Request &r = request_;
    http_ = true;
    if (bad && r.target.empty()) record("-", "-");
    else record(canonicalmethod(r.method), r.target);
    const bool connect = canonicalmethod(r.method) == "CONNECT";
    if (settings_.logurl) {
        const std::string &shown = records_.back().target;  // without a password
        if (connect) settings_.logurl(slot_, "CONNECT " + shown);
        else settings_.logurl(slot_, shown);
    }
    // A head halvex and a lenient peer could read two ways goes nowhere.
    if (bad) {
        refuse(statusof(bad.status), bad.why);
        return;
    }
    if (connect) {
        const ConnectTarget where = connecttarget(r.target);
        if (!where.ok) {
            refuse("400 Bad Request", "CONNECT needs a host and a port.");
            return;
        }
        if (settings_.blockme && hostblocked(where.where.host, where.where.port, settings_.block)) {
            refuse("403 Forbidden", "halvex does not allow connections to " +
                                        common::hostAndPort(where.where.host, where.where.port) + ".");
            return;
        }
        Expected e;
        e.connect = true;
        if (direct_) {
            toserver(where.where.host, where.where.port, true, {}, e, {});
        } else {
            const std::string target = common::hostAndPort(where.where.host, where.where.port);
            const FilteredRequest f = filterrequest(r, Onward{target, target}, RequestSettings{false, false, {}, {}});
            forward(f.text, e, {});
            if (asking_ != Asking::waiting) asking_ = Asking::tunnel;
        }
        return;
    }
    // An absolute target goes on with its host in its one form and without a user, and the Host
    // it carries is its authority's, whatever the client wrote there.
    const AbsoluteTarget t = absolutetarget(r.target);
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
    std::string host, target;
    if (t.ok) {
        host = t.where.port == 80 ? common::urlHost(t.where.host)
                                  : common::hostAndPort(t.where.host, t.where.port);
        const std::string_view path = t.path.substr(0, t.path.find('#'));
        if (direct_) target.assign(path.starts_with('/') ? "" : "/").append(path);
        else target = "http://" + host + std::string(path.starts_with('/') || path.starts_with('?') ? "" : "/") + std::string(path);
    } else {
        target.assign(r.target);
    }
    FilteredRequest f = filterrequest(
        r, Onward{target, host, direct_},
        RequestSettings{settings_.cookie, settings_.blockme, settings_.block, settings_.cookiemarker});
    // The host of an absolute target is checked as a CONNECT's is, however it is written.
    if (!f.release && t.ok && settings_.blockme && !settings_.block.empty())
        f.release = hostblocked(t.where.host, t.where.port, settings_.block);
    if (f.release) {
        blocked();
        return;
    }
    Expected e;
    e.head = canonicalmethod(r.method) == "HEAD";
    e.persistent = !closes(r.close, r.keepalive, r.minor);
    if (!direct_) {
        forward(f.text, e, r.framing);
        return;
    }
    toserver(t.where.host, t.where.port, false, std::move(f.text), e, r.framing);
}

void Inspection::forward(std::string_view text, const Expected &e, const Framing &f) {
    if (reopen_) {
        // The server side closed between requests: this one opens it anew.
        reopen_ = false;
        waiting_ = Waiting{serverHost_, serverPort_, false, std::string(text), e, f};
        asking_ = Asking::waiting;
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
    if (!records_.empty() && !records_.back().sent) {
        records_.back().sent = true;
        records_.back().fromClient += text.size();
    }
    expected_.push_back(e);
    asked_.start(f);
    asking_ = f.kind == Framing::none ? Asking::head : Asking::body;
    if (!serverOpen_ && serverHost_.empty()) {
        // The first request opens the upstream connection.
        serverHost_ = settings_.upstreamHost;
        serverPort_ = settings_.upstreamPort;
        connect_ = true;
    }
}

void Inspection::toserver(std::string host, int port, bool tunnel, std::string text,
                          const Expected &e, const Framing &f) {
    if (!tunnel && serverOpen_ && !serverClosing_ && port == serverPort_ &&
        equalNoCase(host, serverHost_)) {
        forward(text, e, f);
        return;
    }
    // Another server: this request waits for it, and whatever the client sends after it too.
    waiting_ = Waiting{std::move(host), port, tunnel, std::move(text), e, f};
    asking_ = Asking::waiting;
    if (!everConnected_) connect_ = true;
    else if (!serverOpen_ || expected_.empty()) reconnect_ = true;
    else hold_ = true;  // until the answers on the current server are through
}

void Inspection::usewaiting() {
    // The server the waiting request needs is there.
    serverHost_ = waiting_.host;
    serverPort_ = waiting_.port;
    serverOpen_ = true;
    serverClosing_ = false;
    // Requests on the last server that it never answered: the waiting one is the last record.
    while (records_.size() > 1 && records_.front().sent) {
        RequestRecord &r = records_.front();
        if (r.status == 0) {
            r.outcome = "upstream failed";
            r.reason = "the server closed before the answer";
        }
        tellfront();
    }
    expected_.clear();
    answering_ = Answering::head;
    rhead_.clear();
    judging_ = false;
    if (waiting_.tunnel) {
        asking_ = Asking::tunnel;
        answering_ = Answering::tunnel;
        if (!records_.empty()) {
            records_.back().sent = true;
            records_.back().status = 200;  // halvex's own "connection established"
        }
    } else {
        forward(waiting_.text, waiting_.expected, waiting_.framing);
        // A CONNECT to the upstream proxy: what the client sends next is the tunnel's.
        if (waiting_.expected.connect) asking_ = Asking::tunnel;
    }
    waiting_ = Waiting();
    std::string rest;
    rest.swap(held_);
    takeclient(rest, false);
}

// ---- the server's side -----------------------------------------------------------------------------

void Inspection::takeserver(std::string_view bytes, bool stable) {
    auto out = [&](std::string_view piece) {
        if (stable) toClient_.add(piece);
        else toClient_.copy(piece);
    };
    while (!bytes.empty() && !release_ && !reconnect_) {
        switch (answering_) {
            case Answering::head: {
                if (rhead_.empty()) {
                    constexpr std::string_view version = "http/";
                    const std::size_t n = std::min(bytes.size(), version.size());
                    if (!common::equalNoCase(version.substr(0, n), bytes.substr(0, n))) {
                        // No answer to a request: the client is told, and nothing of it passes.
                        serverfailed("the server's answer is not HTTP");
                        return;
                    }
                    const std::size_t end = headend(bytes);
                    if (end != npos && end <= kMaxHead) {
                        serverbytes(end);
                        onresponse(bytes.substr(0, end), stable);
                        bytes.remove_prefix(end);
                        break;
                    }
                }
                const std::size_t had = rhead_.size();
                const std::size_t take = std::min(bytes.size(), kMaxHead - had);
                rhead_.append(bytes.substr(0, take));
                const std::size_t end = headend(rhead_, had);
                if (end != npos) {
                    std::string text;
                    text.swap(rhead_);
                    text.resize(end);
                    serverbytes(end - had);
                    onresponse(text, false);
                    bytes.remove_prefix(end - had);
                } else if (rhead_.size() >= kMaxHead) {
                    rhead_.clear();
                    serverfailed("the server's header is longer than 64 KiB");
                    return;
                } else {
                    serverbytes(take);
                    bytes.remove_prefix(take);
                }
                break;
            }
            case Answering::body: {
                bool complete = false, broken = false;
                const std::size_t n = answered_.take(bytes, complete, broken, judging_ ? &judged_ : nullptr);
                if (broken) {
                    // What came of it has gone on; the rest is not relayed as if it were a body.
                    serverfailed("the server's chunked body is malformed");
                    return;
                }
                const std::string_view piece = bytes.substr(0, n);
                bytes.remove_prefix(n);
                serverbytes(n);
                if (judging_) {
                    // A page is judged on its first 64 KiB as a reader sees them (decoded); what
                    // holds that many is held back, up to a bound on the server's own bytes.
                    const std::size_t most = judged_.decodes() ? kMaxHeldCoded : kMaxHead;
                    const std::size_t room = std::size_t(most - std::min<std::uint64_t>(rbody_, most));
                    rheld_.append(piece.substr(0, std::min(room, piece.size())));
                    rbody_ += piece.size();
                    if (complete || rbody_ >= most || judged_.full()) {
                        judge();
                        if (release_) return;
                        // What came past the judged start goes on as it came.
                        if (piece.size() > room) out(piece.substr(room));
                    }
                } else {
                    out(piece);
                }
                if (complete) answered();
                break;
            }
            case Answering::tunnel:
                serverbytes(bytes.size());
                out(bytes);
                return;
        }
    }
}

void Inspection::onresponse(std::string_view head, bool stable) {
    auto out = [&](std::string_view piece) {
        if (stable) toClient_.add(piece);
        else toClient_.copy(piece);
    };
    const Expected e = expected_.empty() ? Expected{} : expected_.front();
    const Refusal bad = readresponse(head, e.head, response_);
    const Response &r = response_;
    if (bad) {
        serverfailed(bad.why);
        return;
    }
    if (r.code < 200 && r.code != 101) {
        // An interim answer; the final one follows.
        out(head);
        return;
    }
    if (!records_.empty() && records_.front().sent) records_.front().status = r.code;
    if (r.code == 101 || (e.connect && r.code / 100 == 2)) {
        out(head);
        answering_ = Answering::tunnel;
        if (asking_ != Asking::waiting) asking_ = Asking::tunnel;
        expected_.clear();
        return;
    }
    // A server that says it closes after this answer gets the next request on a new connection.
    const bool last = closes(r.close, r.keepalive, r.minor);
    if (direct_ && last) serverClosing_ = true;
    clientStays_ = e.persistent && !last;
    // A client that asked to close hears that its connection ends after this answer, as a server
    // should tell it; a server that does not say so (tinyproxy) would have the client send its
    // next request on a connection that is closing. A length beside chunks goes.
    std::string rewritten;
    if (r.lengthField && r.framing.kind == Framing::chunked) {
        rewritten = withoutlength(head);
        head = rewritten;
        stable = false;
    }
    if (!e.persistent && !last) {
        rewritten = withclose(head);
        head = rewritten;
        stable = false;
    }
    const Framing framing = r.framing;  // the added Connection field changes none of it
    answered_.start(framing);
    answering_ = Answering::body;
    const ResponseSettings rs{settings_.sendempty, settings_.rpictures, settings_.block};
    const std::string_view type = r.contenttype;
    if (judgesbody(type, rs)) {
        judging_ = true;
        rheld_.assign(head);
        rtype_.assign(type);
        rbody_ = 0;
        rheadSize_ = head.size();
        judged_ = BodyDecoder(r.contentencoding);
    } else if (const Canned c = judgeresponse(type, head, rs); c != Canned::none) {
        toClient_.copy(cannedtext(c));
        release_ = true;
        replaced(c);
        return;
    } else {
        out(head);
    }
    if (framing.kind == Framing::none) {
        if (judging_) judge();
        if (!release_) answered();
    }
}

void Inspection::judge() {
    judging_ = false;
    const ResponseSettings rs{settings_.sendempty, settings_.rpictures, settings_.block};
    // The head as it came and the body's start as a reader sees it.
    std::string text(rheld_, 0, rheadSize_);
    text.append(judged_.text());
    Canned c = judgeresponse(rtype_, text, rs);
    if (c == Canned::none && rs.rpictures && untypedpicture(rtype_, judged_.text())) c = Canned::picture;
    if (judged_.failed() && !records_.empty() && records_.front().sent)
        records_.front().reason = "its " + std::string(judged_.coding()) +
                                  " body could not be decoded: judged on what decoded";
    if (c != Canned::none) {
        // The canned reply stands for the whole response, and claims to be the last.
        toClient_.copy(cannedtext(c));
        release_ = true;
        replaced(c);
    } else {
        toClient_.copy(rheld_);
    }
    std::string().swap(rheld_);
    judged_ = BodyDecoder();
}

// A canned reply stands for the first request's answer.
void Inspection::replaced(Canned c) {
    if (records_.empty() || !records_.front().sent) return;
    RequestRecord &r = records_.front();
    if (c == Canned::page) {
        r.outcome = "blocked";
        r.reason = "answered with the empty page";
    } else {
        r.reason = "picture replaced";
    }
    tellfront();
}

void Inspection::answered() {
    answering_ = Answering::head;
    ++answeredHere_;
    // A client that asked to close is closed after its answer, whatever the server does with
    // its own side.
    const bool last = !expected_.empty() && !expected_.front().persistent;
    if (!expected_.empty()) expected_.pop_front();
    if (expected_.empty()) again_.clear();
    tellfront();
    if (ending_ && expected_.empty()) {
        endnow();
        return;
    }
    if (last) {
        release_ = true;
        return;
    }
    if (asking_ == Asking::waiting && expected_.empty()) reconnect_ = true;
}

// The server's answer cannot be read on: a page when the client has had nothing of it yet, the
// end of the connection either way, and the request logged with why.
void Inspection::serverfailed(std::string_view why) {
    const bool untouched = answering_ == Answering::head;
    if (!records_.empty() && records_.front().sent) {
        RequestRecord &r = records_.front();
        r.outcome = "upstream failed";
        r.reason.assign(why);
        if (untouched) r.status = 502;
        tellfront();
    }
    if (untouched)
        toClient_.copy(statusreply("502 Bad Gateway", "halvex could not read the answer of " +
                                                          common::hostAndPort(serverHost_, serverPort_) +
                                                          ": " + std::string(why) + "."));
    judging_ = false;
    release_ = true;
}

// ---- the relay's events ----------------------------------------------------------------------------

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
    takeclient(bytes, false);
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
        usewaiting();
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
        takeclient(bytes, true);
        return passing(toServer_);
    }
    takeserver(bytes, true);
    if (!clientHeld_ || release_ || expected_.size() >= settings_.maxPipelined)
        return passing(toClient_);
    // Answers came: the client's waiting requests go on behind them, and it is read again
    // unless they fill the pipeline anew.
    clientHeld_ = false;
    std::string rest;
    rest.swap(pipelineHeld_);
    takeclient(rest, false);
    hold_ = false;  // the client stays held by the relay; the server is read on
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
        head_.clear();
        return {};
    }
    if (askagain()) return passing(toClient_);
    if (http_ && clientStays_ && !release_ && expected_.empty() && answering_ == Answering::head &&
        rhead_.empty() && asking_ == Asking::head) {
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
    } else if (answering_ == Answering::head && !rhead_.empty()) {
        toClient_.copy(rhead_);
        rhead_.clear();
    }
    serverOpen_ = false;
    // A refused request waits for no more answers: its page goes now.
    if (!release_ && ending_) endnow();
    // Without an upstream proxy a waiting request gets its server now.
    if (!release_ && asking_ == Asking::waiting) reconnect_ = true;
    return passing(toClient_);
}

// A server may close a kept-alive connection just as a request crosses its end: a connection
// that has answered before and ends without a byte of the answer to the one request outstanding
// gets that request again on a new connection, once, when asking again is safe (GET, HEAD,
// OPTIONS without a body), as the client itself would; the client keeps its connection.
bool Inspection::askagain() {
    if (again_.empty() || release_ || answeredHere_ == 0 || expected_.size() != 1 ||
        answering_ != Answering::head || !rhead_.empty() || asking_ != Asking::head)
        return false;
    waiting_ = Waiting{serverHost_, serverPort_, false, std::move(again_), expected_.front(), {}};
    again_.clear();
    asking_ = Asking::waiting;
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
        for (RequestRecord &r : records_) r.fromClient = 0;
    // The shell's server policy said no: halvex refused, nothing failed.
    tellall(reason == kNotAllowedReason ? "refused" : "upstream failed", 502, detail);
    return statusreply("502 Bad Gateway", detail);
}

}  // namespace halvex
