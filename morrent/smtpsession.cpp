#include "morrent/smtpsession.h"

#include "common/asciitext.h"

#include <algorithm>
#include <cstring>

#include "morrent/delivery.h"

namespace morrent {

namespace {

// An EHLO line offering PIPELINING: "250-PIPELINING" or "250 PIPELINING", any case.
bool offersPipelining(std::string_view line) {
    constexpr std::string_view word = "PIPELINING";
    if (line.size() < 4 + word.size()) return false;
    const std::string_view keyword = line.substr(4);
    if (keyword.size() > word.size() && keyword[word.size()] != ' ') return false;
    return common::startsNoCase(keyword, word);
}

bool positive(int code) {
    return code >= 200 && code < 300;
}

}  // namespace

SmtpSession::SmtpSession(std::string helo) : helo_(std::move(helo)) {
    expects_.push_back(Expect::greeting);
}

std::string SmtpSession::mtaSaid(int, std::string_view text) const {
    return "the mail service said: " + common::replytext(text);
}

void SmtpSession::sendCommand(SmtpActions &a, std::string_view command, Expect expect) {
    a.send.append(command);
    a.send.append("\r\n");
    expects_.push_back(expect);
}

SmtpActions SmtpSession::start(std::string_view sender, const std::vector<std::string> &recipients,
                               std::string_view head, std::string_view rest) {
    SmtpActions a;
    if (dead_ || busy_) {
        a.result = SmtpActions::Result::failed;
        a.reason = dead_ ? deadReason_ : "a message is already being mailed";
        return a;
    }
    if (const common::Result<void> usable = checkEnvelope(sender, recipients); !usable) {
        a.result = SmtpActions::Result::failed;
        a.reason = usable.why();
        return a;
    }
    busy_ = true;
    sender_ = std::string(sender);
    recipients_ = recipients;
    head_ = head;
    rest_ = rest;
    if (ready_) beginTransaction(a);
    return a;
}

void SmtpSession::beginTransaction(SmtpActions &a) {
    failure_.clear();
    rcptSent_ = rcptAnswered_ = 0;
    at_ = 0;
    lineStart_ = true;
    lastWasLf_ = false;
    sendCommand(a, "MAIL FROM:<" + sender_ + ">", Expect::mail);
    if (pipelining_)
        while (rcptSent_ < recipients_.size()) nextRecipient(a);
    // With a single recipient DATA can go in the same group: if that recipient is refused, the
    // MTA has no one to accept DATA for and refuses it too.
    dataPipelined_ = pipelining_ && recipients_.size() == 1;
    if (dataPipelined_) sendCommand(a, "DATA", Expect::data);
}

void SmtpSession::nextRecipient(SmtpActions &a) {
    sendCommand(a, "RCPT TO:<" + recipients_[rcptSent_] + ">", Expect::rcpt);
    ++rcptSent_;
}

void SmtpSession::failMessage(SmtpActions &a, std::string why) {
    busy_ = false;
    texting_ = false;
    a.streaming = false;
    a.result = SmtpActions::Result::failed;
    a.reason = std::move(why);
}

void SmtpSession::failSession(SmtpActions &a, std::string why) {
    if (!dead_) deadReason_ = why;
    dead_ = true;
    expects_.clear();
    a.close = true;
    if (busy_) failMessage(a, std::move(why));
}

SmtpActions SmtpSession::feed(std::string_view chunk) {
    SmtpActions a;
    while (!chunk.empty() && !dead_) {
        const common::LineAssembler::Line l = lines_.next(chunk);
        if (l.kind == common::LineAssembler::Line::none) break;
        if (l.kind == common::LineAssembler::Line::tooLong) {
            failSession(a, "the mail service sent a line longer than " + std::to_string(maxline) +
                               " bytes");
            break;
        }
        const std::string_view line = l.text;
        const bool wellformed = line.size() >= 3 && common::isAsciiDigit(line[0]) &&
                                common::isAsciiDigit(line[1]) && common::isAsciiDigit(line[2]) &&
                                (line.size() == 3 || line[3] == ' ' || line[3] == '-');
        if (!wellformed) {
            failSession(a, "the mail service sent something that is not an SMTP reply");
            break;
        }
        if (!expects_.empty() && expects_.front() == Expect::ehlo && offersPipelining(line))
            sawPipelining_ = true;
        if (line.size() > 3 && line[3] == '-') continue;  // more lines of the same reply follow
        int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        onReply(a, code, line);
    }
    return a;
}

void SmtpSession::onReply(SmtpActions &a, int code, std::string_view text) {
    if (expects_.empty()) {
        // Unasked: a 421 "closing" is the MTA giving up on us; anything else is noise.
        if (code >= 400) failSession(a, mtaSaid(code, text));
        return;
    }
    Expect expect = expects_.front();
    expects_.pop_front();
    switch (expect) {
        case Expect::greeting:
            if (positive(code))
                sendCommand(a, "EHLO " + helo_, Expect::ehlo);
            else
                failSession(a, mtaSaid(code, text));
            break;
        case Expect::ehlo:
        case Expect::helo:
            if (positive(code)) {
                ready_ = true;
                pipelining_ = expect == Expect::ehlo && sawPipelining_;
                if (busy_) beginTransaction(a);
            } else if (expect == Expect::ehlo && code >= 500) {
                sendCommand(a, "HELO " + helo_, Expect::helo);
            } else {
                failSession(a, mtaSaid(code, text));
            }
            break;
        case Expect::mail:
            if (!positive(code)) {
                failure_ = mtaSaid(code, text);
                if (!pipelining_) {
                    sendCommand(a, "RSET", Expect::rset);
                    failMessage(a, failure_);
                }
            } else if (!pipelining_) {
                nextRecipient(a);
            }
            break;
        case Expect::rcpt:
            ++rcptAnswered_;
            if (!positive(code) && failure_.empty()) failure_ = mtaSaid(code, text);
            if (!pipelining_ && failure_.empty() && rcptSent_ < recipients_.size()) {
                nextRecipient(a);
            } else if (rcptAnswered_ == recipients_.size()) {
                if (dataPipelined_) {
                    // DATA's own answer decides.
                } else if (failure_.empty()) {
                    sendCommand(a, "DATA", Expect::data);
                } else {
                    // A recipient that is refused fails the whole message: no partial delivery.
                    sendCommand(a, "RSET", Expect::rset);
                    failMessage(a, failure_);
                }
            } else if (!pipelining_) {
                sendCommand(a, "RSET", Expect::rset);
                failMessage(a, failure_);
            }
            break;
        case Expect::data:
            if (code == 354 && !failure_.empty()) {
                // Text for a refused recipient: only dropping the connection stops it.
                failSession(a, failure_);
            } else if (code == 354) {
                texting_ = true;
                a.streaming = true;
            } else {
                if (failure_.empty()) failure_ = mtaSaid(code, text);
                sendCommand(a, "RSET", Expect::rset);
                failMessage(a, failure_);
            }
            break;
        case Expect::dot:
            busy_ = false;
            if (positive(code)) {
                a.result = SmtpActions::Result::delivered;
            } else {
                a.result = SmtpActions::Result::failed;
                a.reason = mtaSaid(code, text);
            }
            break;
        case Expect::rset:
            break;
        case Expect::quit:
            dead_ = true;
            deadReason_ = "the session with the mail service has ended";
            a.close = true;
            break;
    }
}

SmtpActions SmtpSession::more(std::size_t room) {
    SmtpActions a;
    if (!texting_ || dead_) return a;
    const std::size_t total = head_.size() + rest_.size();
    a.send.reserve(room + room / 64 + 8);
    while (a.send.size() < room && at_ < total) {
        std::string_view piece =
            at_ < head_.size() ? head_.substr(at_) : rest_.substr(at_ - head_.size());
        if (lineStart_ && piece.front() == '.') a.send.push_back('.');
        std::size_t limit = std::min(piece.size(), room - a.send.size());
        const void *nl = std::memchr(piece.data(), '\n', limit);
        std::size_t take =
            nl ? std::size_t(static_cast<const char *>(nl) - piece.data()) + 1 : limit;
        a.send.append(piece.data(), take);
        at_ += take;
        // A line begins after any LF, as the MTA reads it: a "." there must be doubled.
        lineStart_ = a.send.back() == '\n';
        lastWasLf_ = lineStart_;
    }
    if (at_ < total) {
        a.streaming = true;
        return a;
    }
    a.send.append(total == 0 || lastWasLf_ ? ".\r\n" : "\r\n.\r\n");
    texting_ = false;
    expects_.push_back(Expect::dot);
    return a;
}

SmtpActions SmtpSession::quit() {
    SmtpActions a;
    if (quitting_ || dead_) {
        a.close = true;
        return a;
    }
    quitting_ = true;
    if (!ready_ || busy_) {
        // Mid-transaction or before the greeting: closing drops whatever was not confirmed.
        failSession(a, "the session with the mail service was ended");
        return a;
    }
    sendCommand(a, "QUIT", Expect::quit);
    return a;
}

SmtpActions SmtpSession::closed(std::string_view why) {
    SmtpActions a;
    a.close = true;
    if (dead_) return a;
    failSession(a, "lost the connection to the mail service: " + std::string(why));
    return a;
}

}  // namespace morrent
