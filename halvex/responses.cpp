// The server's side of a slot: its answers read, judged on their head and the start of their body
// (decoded), replaced by a canned reply, or passed on as they came; an answer that cannot be read
// ends with a page.
#include <algorithm>
#include <utility>

#include "common/asciitext.h"
#include "common/hostport.h"
#include "halvex/filters.h"
#include "halvex/inspect.h"
#include "halvex/proxyconst.h"

namespace halvex {

namespace {
constexpr auto npos = std::string_view::npos;
using common::equalNoCase;

// A response head without its Content-Length lines: chunks frame its body.
std::string withoutLength(std::string_view head) {
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
std::string withClose(std::string_view head) {
    // The blank line that ends it is "\r\n" or "\n".
    const std::size_t end = head.size() - (head.ends_with("\r\n") ? 2 : 1);
    std::string out;
    out.reserve(head.size() + 19);
    out.append(head.substr(0, end)).append("Connection: close\r\n").append(head.substr(end));
    return out;
}

}  // namespace

// The one place the server's side changes: what its next bytes are.
void InspectionState::answer(Answering next) {
    answering_ = next;
}

void InspectionState::takeServer(std::string_view bytes, bool stable) {
    auto out = [&](std::string_view piece) {
        if (stable)
            toClient_.add(piece);
        else
            toClient_.copy(piece);
    };
    while (!bytes.empty() && !release_ && !reconnect_) {
        switch (answering_) {
            case Answering::head: {
                if (responseHead_.empty()) {
                    constexpr std::string_view version = "http/";
                    const std::size_t n = std::min(bytes.size(), version.size());
                    if (!common::equalNoCase(version.substr(0, n), bytes.substr(0, n))) {
                        // No answer to a request: the client is told, and nothing of it passes.
                        serverFailed("the server's answer is not HTTP");
                        return;
                    }
                    const std::size_t end = headEnd(bytes);
                    if (end != npos && end <= kMaxHead) {
                        log_.serverBytes(end);
                        onResponse(bytes.substr(0, end), stable);
                        bytes.remove_prefix(end);
                        break;
                    }
                }
                const std::size_t had = responseHead_.size();
                const std::size_t take = std::min(bytes.size(), kMaxHead - had);
                responseHead_.append(bytes.substr(0, take));
                const std::size_t end = headEnd(responseHead_, had);
                if (end != npos) {
                    std::string text;
                    text.swap(responseHead_);
                    text.resize(end);
                    log_.serverBytes(end - had);
                    onResponse(text, false);
                    bytes.remove_prefix(end - had);
                } else if (responseHead_.size() >= kMaxHead) {
                    responseHead_.clear();
                    serverFailed("the server's header is longer than 64 KiB");
                    return;
                } else {
                    log_.serverBytes(take);
                    bytes.remove_prefix(take);
                }
                break;
            }
            case Answering::body: {
                bool complete = false, broken = false;
                const std::size_t n =
                    answered_.take(bytes, complete, broken, judging_ ? &judged_ : nullptr);
                if (broken) {
                    // What came of it has gone on; the rest is not relayed as if it were a body.
                    serverFailed("the server's chunked body is malformed");
                    return;
                }
                const std::string_view piece = bytes.substr(0, n);
                bytes.remove_prefix(n);
                log_.serverBytes(n);
                if (judging_) {
                    // A page is judged on its first 64 KiB as a reader sees them (decoded); what
                    // holds that many is held back, up to a bound on the server's own bytes.
                    const std::size_t most = judged_.decodes() ? kMaxHeldCoded : kMaxHead;
                    const std::size_t room =
                        std::size_t(most - std::min<std::uint64_t>(responseBody_, most));
                    responseHeld_.append(piece.substr(0, std::min(room, piece.size())));
                    responseBody_ += piece.size();
                    if (complete || responseBody_ >= most || judged_.full()) {
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
                log_.serverBytes(bytes.size());
                out(bytes);
                return;
        }
    }
}

void InspectionState::onResponse(std::string_view head, bool stable) {
    auto out = [&](std::string_view piece) {
        if (stable)
            toClient_.add(piece);
        else
            toClient_.copy(piece);
    };
    const Expected e = expected_.empty() ? Expected{} : expected_.front();
    const Refusal bad = readResponse(head, e.head, response_);
    const Response &r = response_;
    if (bad) {
        serverFailed(bad.why);
        return;
    }
    if (r.code < 200 && r.code != 101) {
        // An interim answer; the final one follows.
        out(head);
        return;
    }
    if (!log_.empty() && log_.front().sent) log_.front().status = r.code;
    if (r.code == 101 || (e.connect && r.code / 100 == 2)) {
        out(head);
        answer(Answering::tunnel);
        if (asking_ != Asking::waiting) ask(Asking::tunnel);
        expected_.clear();
        return;
    }
    // A server that says it closes after this answer gets the next request on a new connection.
    const bool last = closesAfter(r);
    if (direct_ && last) serverClosing_ = true;
    clientStays_ = e.persistent && !last;
    // A client that asked to close hears that its connection ends after this answer, as a server
    // should tell it; a server that does not say so (tinyproxy) would have the client send its
    // next request on a connection that is closing. A length beside chunks goes.
    std::string rewritten;
    if (r.lengthField && r.framing.kind == Framing::chunked) {
        rewritten = withoutLength(head);
        head = rewritten;
        stable = false;
    }
    if (!e.persistent && !last) {
        rewritten = withClose(head);
        head = rewritten;
        stable = false;
    }
    const Framing framing = r.framing;  // the added Connection field changes none of it
    answered_.start(framing);
    answer(Answering::body);
    const ResponseSettings rs{settings_.sendempty, settings_.rpictures, settings_.block};
    const std::string_view type = r.contenttype;
    if (judgesbody(type, rs)) {
        judging_ = true;
        responseHeld_.assign(head);
        responseType_.assign(type);
        responseBody_ = 0;
        responseHeadSize_ = head.size();
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

void InspectionState::judge() {
    judging_ = false;
    const ResponseSettings rs{settings_.sendempty, settings_.rpictures, settings_.block};
    // The head as it came and the body's start as a reader sees it.
    std::string text(responseHeld_, 0, responseHeadSize_);
    text.append(judged_.text());
    Canned c = judgeresponse(responseType_, text, rs);
    if (c == Canned::none && rs.rpictures && untypedPicture(responseType_, judged_.text()))
        c = Canned::picture;
    if (judged_.failed() && !log_.empty() && log_.front().sent)
        log_.front().reason = "its " + std::string(judged_.coding()) +
                              " body could not be decoded: judged on what decoded";
    if (c != Canned::none) {
        // The canned reply stands for the whole response, and claims to be the last.
        toClient_.copy(cannedtext(c));
        release_ = true;
        replaced(c);
    } else {
        toClient_.copy(responseHeld_);
    }
    std::string().swap(responseHeld_);
    judged_ = BodyDecoder();
}

// A canned reply stands for the first request's answer.
void InspectionState::replaced(Canned c) {
    if (log_.empty() || !log_.front().sent) return;
    RequestRecord &r = log_.front();
    if (c == Canned::page) {
        r.outcome = "blocked";
        r.reason = "answered with the empty page";
    } else {
        r.reason = "picture replaced";
    }
    log_.tellFront();
}

void InspectionState::answered() {
    answer(Answering::head);
    ++answeredHere_;
    // A client that asked to close is closed after its answer, whatever the server does with
    // its own side.
    const bool last = !expected_.empty() && !expected_.front().persistent;
    if (!expected_.empty()) expected_.pop_front();
    if (expected_.empty()) again_.clear();
    log_.tellFront();
    if (ending_ && expected_.empty()) {
        endNow();
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
void InspectionState::serverFailed(std::string_view why) {
    const bool untouched = answering_ == Answering::head;
    if (!log_.empty() && log_.front().sent) {
        RequestRecord &r = log_.front();
        r.outcome = "upstream failed";
        r.reason.assign(why);
        if (untouched) r.status = 502;
        log_.tellFront();
    }
    if (untouched)
        toClient_.copy(
            statusreply("502 Bad Gateway", "halvex could not read the answer of " +
                                               common::hostAndPort(serverHost_, serverPort_) +
                                               ": " + std::string(why) + "."));
    judging_ = false;
    release_ = true;
}

}  // namespace halvex
