#include "morrent/smtpsession.h"

#include "common/asciitext.h"

#include <algorithm>
#include <cstring>

#include "morrent/delivery.h"

namespace morrent {

namespace {

constexpr char upper(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - ('a' - 'A')) : c;
}

// An EHLO line offering PIPELINING: "250-PIPELINING" or "250 PIPELINING", any case.
bool offerspipelining(std::string_view line) {
    constexpr std::string_view word = "PIPELINING";
    if (line.size() < 4 + word.size()) return false;
    std::string_view keyword = line.substr(4);
    if (keyword.size() > word.size() && keyword[word.size()] != ' ') return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (upper(keyword[i]) != word[i]) return false;
    return true;
}

bool positive(int code) {
    return code >= 200 && code < 300;
}

}  // namespace

SmtpSession::SmtpSession(std::string helo) : helo_(std::move(helo)) {
    expects_.push_back(Expect::greeting);
}

std::string SmtpSession::mtasaid(int, std::string_view text) const {
    return "the mail service said: " + common::replytext(text);
}

void SmtpSession::sendcommand(SmtpActions &a, std::string_view command, Expect expect) {
    a.send.append(command);
    a.send.append("\r\n");
    expects_.push_back(expect);
}

SmtpActions SmtpSession::start(std::string_view sender, const std::vector<std::string> &recipients,
                               std::string_view head, std::string_view rest) {
    SmtpActions a;
    if (dead_ || busy_) {
        a.result = SmtpActions::Result::failed;
        a.reason = dead_ ? deadreason_ : "a message is already being mailed";
        return a;
    }
    std::string problem;
    if (recipients.empty()) problem = "the message names no recipient";
    if (problem.empty() && !sender.empty()) problem = addressproblem(sender);
    for (const auto &r : recipients)
        if (problem.empty()) problem = addressproblem(r);
    if (!problem.empty()) {
        a.result = SmtpActions::Result::failed;
        a.reason = problem;
        return a;
    }
    busy_ = true;
    sender_ = std::string(sender);
    recipients_ = recipients;
    head_ = head;
    rest_ = rest;
    if (ready_) begintransaction(a);
    return a;
}

void SmtpSession::begintransaction(SmtpActions &a) {
    failure_.clear();
    rcptsent_ = rcptanswered_ = 0;
    at_ = 0;
    linestart_ = true;
    lastwasnl_ = false;
    sendcommand(a, "MAIL FROM:<" + sender_ + ">", Expect::mail);
    if (pipelining_)
        while (rcptsent_ < recipients_.size()) nextrecipient(a);
    // With a single recipient DATA can go in the same group: if that recipient is refused, the
    // MTA has no one to accept DATA for and refuses it too.
    datapipelined_ = pipelining_ && recipients_.size() == 1;
    if (datapipelined_) sendcommand(a, "DATA", Expect::data);
}

void SmtpSession::nextrecipient(SmtpActions &a) {
    sendcommand(a, "RCPT TO:<" + recipients_[rcptsent_] + ">", Expect::rcpt);
    ++rcptsent_;
}

void SmtpSession::failmessage(SmtpActions &a, std::string why) {
    busy_ = false;
    texting_ = false;
    a.streaming = false;
    a.result = SmtpActions::Result::failed;
    a.reason = std::move(why);
}

void SmtpSession::failsession(SmtpActions &a, std::string why) {
    if (!dead_) deadreason_ = why;
    dead_ = true;
    expects_.clear();
    a.close = true;
    if (busy_) failmessage(a, std::move(why));
}

SmtpActions SmtpSession::feed(std::string_view chunk) {
    SmtpActions a;
    while (!chunk.empty() && !dead_) {
        std::size_t nl = chunk.find('\n');
        std::size_t take = nl == std::string_view::npos ? chunk.size() : nl;
        if (line_.size() + take > maxline) {
            failsession(a, "the mail service sent a line longer than " + std::to_string(maxline) +
                               " bytes");
            break;
        }
        line_.append(chunk.substr(0, take));
        if (nl == std::string_view::npos) break;
        chunk.remove_prefix(nl + 1);
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        std::string line;
        line.swap(line_);

        bool wellformed = line.size() >= 3 && std::strspn(line.c_str(), "0123456789") >= 3 &&
                          (line.size() == 3 || line[3] == ' ' || line[3] == '-');
        if (!wellformed) {
            failsession(a, "the mail service sent something that is not an SMTP reply");
            break;
        }
        if (!expects_.empty() && expects_.front() == Expect::ehlo && offerspipelining(line))
            sawpipelining_ = true;
        if (line.size() > 3 && line[3] == '-') continue;  // more lines of the same reply follow
        int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        onreply(a, code, line);
    }
    return a;
}

void SmtpSession::onreply(SmtpActions &a, int code, std::string_view text) {
    if (expects_.empty()) {
        // Unasked: a 421 "closing" is the MTA giving up on us; anything else is noise.
        if (code >= 400) failsession(a, mtasaid(code, text));
        return;
    }
    Expect expect = expects_.front();
    expects_.pop_front();
    switch (expect) {
        case Expect::greeting:
            if (positive(code))
                sendcommand(a, "EHLO " + helo_, Expect::ehlo);
            else
                failsession(a, mtasaid(code, text));
            break;
        case Expect::ehlo:
        case Expect::helo:
            if (positive(code)) {
                ready_ = true;
                pipelining_ = expect == Expect::ehlo && sawpipelining_;
                if (busy_) begintransaction(a);
            } else if (expect == Expect::ehlo && code >= 500) {
                sendcommand(a, "HELO " + helo_, Expect::helo);
            } else {
                failsession(a, mtasaid(code, text));
            }
            break;
        case Expect::mail:
            if (!positive(code)) {
                failure_ = mtasaid(code, text);
                if (!pipelining_) {
                    sendcommand(a, "RSET", Expect::rset);
                    failmessage(a, failure_);
                }
            } else if (!pipelining_) {
                nextrecipient(a);
            }
            break;
        case Expect::rcpt:
            ++rcptanswered_;
            if (!positive(code) && failure_.empty()) failure_ = mtasaid(code, text);
            if (!pipelining_ && failure_.empty() && rcptsent_ < recipients_.size()) {
                nextrecipient(a);
            } else if (rcptanswered_ == recipients_.size()) {
                if (datapipelined_) {
                    // DATA's own answer decides.
                } else if (failure_.empty()) {
                    sendcommand(a, "DATA", Expect::data);
                } else {
                    // A recipient that is refused fails the whole message: no partial delivery.
                    sendcommand(a, "RSET", Expect::rset);
                    failmessage(a, failure_);
                }
            } else if (!pipelining_) {
                sendcommand(a, "RSET", Expect::rset);
                failmessage(a, failure_);
            }
            break;
        case Expect::data:
            if (code == 354 && !failure_.empty()) {
                // Text for a refused recipient: only dropping the connection stops it.
                failsession(a, failure_);
            } else if (code == 354) {
                texting_ = true;
                a.streaming = true;
            } else {
                if (failure_.empty()) failure_ = mtasaid(code, text);
                sendcommand(a, "RSET", Expect::rset);
                failmessage(a, failure_);
            }
            break;
        case Expect::dot:
            busy_ = false;
            if (positive(code)) {
                a.result = SmtpActions::Result::delivered;
            } else {
                a.result = SmtpActions::Result::failed;
                a.reason = mtasaid(code, text);
            }
            break;
        case Expect::rset:
            break;
        case Expect::quit:
            dead_ = true;
            deadreason_ = "the session with the mail service has ended";
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
        if (linestart_ && piece.front() == '.') a.send.push_back('.');
        std::size_t limit = std::min(piece.size(), room - a.send.size());
        const void *nl = std::memchr(piece.data(), '\n', limit);
        std::size_t take =
            nl ? std::size_t(static_cast<const char *>(nl) - piece.data()) + 1 : limit;
        a.send.append(piece.data(), take);
        at_ += take;
        // A line begins after any LF, as the MTA reads it: a "." there must be doubled.
        linestart_ = a.send.back() == '\n';
        lastwasnl_ = linestart_;
    }
    if (at_ < total) {
        a.streaming = true;
        return a;
    }
    a.send.append(total == 0 || lastwasnl_ ? ".\r\n" : "\r\n.\r\n");
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
        failsession(a, "the session with the mail service was ended");
        return a;
    }
    sendcommand(a, "QUIT", Expect::quit);
    return a;
}

SmtpActions SmtpSession::closed(std::string_view why) {
    SmtpActions a;
    a.close = true;
    if (dead_) return a;
    failsession(a, "lost the connection to the mail service: " + std::string(why));
    return a;
}

}  // namespace morrent
