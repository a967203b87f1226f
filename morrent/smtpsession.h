// The SMTP client that hands fetched messages to the local MTA: one connection for a whole
// download, one mail transaction per message.
//
// RFC 5321 (SMTP): greeting, EHLO (HELO when EHLO is refused), MAIL FROM, RCPT TO, DATA with
// dot-stuffing and the final "." line, RSET, QUIT; multi-line replies ("250-...", then "250 ...").
// RFC 2920 (PIPELINING): when offered, MAIL FROM and every RCPT TO go out together. With several
// recipients DATA waits until every one is accepted, so a refused recipient never leads to a
// partial delivery; with one, DATA joins the group (the MTA refuses it when that recipient is
// refused).
//
// Like the POP3 engine it is fed the server's bytes and answers with bytes to send. The message
// text is streamed in pieces as the connection has room (more()), so a large message is never
// copied whole. A message counts as delivered only with the 250 after the final dot.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "common/lines.h"

namespace morrent {

struct SmtpActions {
    std::string send;        // bytes for the MTA
    bool streaming = false;  // message text is waiting: call more() once the connection has room
    enum class Result { none, delivered, failed };
    Result result = Result::none;  // the outcome of the message given to start()
    std::string reason;            // why it failed, for the admin
    bool close = false;            // close the connection (the session is over)
};

class SmtpSession {
public:
    // `helo` is the name given in EHLO/HELO.
    explicit SmtpSession(std::string helo = "localhost");

    // Mails one message: envelope and text (head, then rest; both must stay valid until the
    // result). Only one message at a time. Before the greeting it waits for the greeting.
    SmtpActions start(std::string_view sender, const std::vector<std::string> &recipients,
                      std::string_view head, std::string_view rest);
    // Bytes from the MTA, as they arrived.
    SmtpActions feed(std::string_view chunk);
    // The next piece of message text, dot-stuffed, about `room` bytes (at least one line end more
    // when a "." must be doubled); the final "." line follows the last piece.
    SmtpActions more(std::size_t room);
    // Ends the session politely: QUIT when idle, else the connection is just closed.
    SmtpActions quit();
    // The connection failed or the MTA closed it; a message in flight fails with `why`.
    SmtpActions closed(std::string_view why);

    bool busy() const { return busy_; }  // a message is in flight
    bool dead() const { return dead_; }  // the session cannot mail anything more

    static constexpr std::size_t maxline = 64 * 1024;

private:
    enum class Expect { greeting, ehlo, helo, mail, rcpt, data, dot, rset, quit };

    void onReply(SmtpActions &a, int code, std::string_view text);
    void sendCommand(SmtpActions &a, std::string_view command, Expect expect);
    void beginTransaction(SmtpActions &a);
    void nextRecipient(SmtpActions &a);
    void failMessage(SmtpActions &a, std::string why);
    void failSession(SmtpActions &a, std::string why);
    std::string mtaSaid(int code, std::string_view text) const;

    std::string helo_;
    std::deque<Expect> expects_;  // replies still to come, in order
    bool ready_ = false;          // greeted and EHLO/HELO accepted
    bool pipelining_ = false;
    bool dead_ = false;
    bool quitting_ = false;
    std::string deadReason_;  // why nothing more can be mailed

    // The reply being read: its lines may span chunks.
    common::LineAssembler lines_{maxline};
    bool sawPipelining_ = false;  // PIPELINING among the lines of the current EHLO reply

    // The message in flight.
    bool busy_ = false;
    std::string sender_;
    std::vector<std::string> recipients_;
    std::size_t rcptSent_ = 0;      // RCPT commands sent
    std::size_t rcptAnswered_ = 0;  // RCPT replies seen
    std::string failure_;           // first refusal within the transaction
    bool dataPipelined_ = false;    // DATA went out with MAIL and RCPT
    std::string_view head_, rest_;
    bool texting_ = false;    // DATA was accepted: the text is going out
    std::size_t at_ = 0;      // bytes of head+rest already sent
    bool lineStart_ = true;   // the next text byte begins a line
    bool lastWasLf_ = false;  // the text sent so far ends with LF
};

}  // namespace morrent
