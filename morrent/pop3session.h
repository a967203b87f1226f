// The POP3 download session: log in, list, fetch every message from the highest number down, hand
// each one on, then optionally delete them all and quit.
//
// RFC 1939 (POP3): commands, the multi-line replies of LIST, UIDL and RETR, the end marker "." CR LF
// and dot-stuffing; a server commits deletions only when it processes QUIT.
// RFC 2449 (CAPA): the capability list; PIPELINING lets several RETRs be on their way at once.
// RFC 2595 (STLS): TLS on the open connection before any login, asked for once CAPA offers it.
// RFC 5034 (AUTH), RFC 4616 (PLAIN), RFC 7628 (OAUTHBEARER) and XOAUTH2: SASL logins (PopAuth).
//
// The engine is fed the server's bytes as they arrive, in chunks of any size, and answers with
// Actions: commands to send, a message to deliver, a batch of deliveries to make durable, the
// connection to close, the end of the session. It reads the stream through the shared POP3 reply
// reader, so a reply is recognised wherever the network happens to cut it. It has no clock and no
// socket: the download (Download, next to the deliverer) feeds it, runs the deliveries, calls
// timeout() after 30 seconds without data, and overdue() once the present wait has taken longer
// than deadline() allows.
//
// Every wait has a deadline: the base (a minute) for a one-line answer, the TLS handshake or the
// commit; the base and the bytes at `minimumRate` for a capability or listing answer (as much as
// came: each has a bound on its size), for a message (its listed size) and for its delivery. A
// server that trickles a byte now and then therefore cannot keep a run, and the mailbox's lock,
// for ever; a large message on a slow line still has its time.
//
// Commands go out lower-case, each as one piece with its CR LF: "capa" when the login needs the
// server's mechanisms, "user NAME" and "pass SECRET" (or "auth MECHANISM ...", "apop ..."),
// "capa", "list " (the word and one blank), "uidl", then "retr N" from the
// highest number down to 1, then, when deletion is on, "dele 1" to "dele N" back to back, then
// "quit".
//
// A message whose unique id (UIDL) is among `seenUids` is not fetched again; with deletion on it
// is deleted with the others (a run that failed after delivering it deleted nothing, and one
// that finds nothing new deletes what is left). A server that refuses UIDL has every message
// fetched, and with deletion off the session says so once in a note.
//
// When the server offers PIPELINING, RETRs for the next messages go out before the current one is
// delivered, within a bound of commands and listed bytes; their replies are read on only once the
// current message is confirmed. A message counts as delivered only once the download confirms it
// with delivered(). After the last one the engine asks for a commit (make every delivered message
// durable) and sends DELE only once that is confirmed, so nothing is deleted from the server unless
// every message of the session is safe.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/pop3reply.h"
#include "common/result.h"

namespace morrent {

// What the download does after each call into the engine, in this order: send, deliver or commit,
// close. A new status line is shown when `status` is not empty, a note when `note` is not.
struct Actions {
    std::string send;      // bytes for the server (whole commands with their CR LF)
    bool deliver = false;  // message() holds one whole message: hand it on, then call delivered()
    bool commit = false;   // every message is handed on: make them durable, then call committed()
    bool close = false;    // close the connection to the server
    bool ended = false;    // the session is over; outcome() and reason() tell how it went
    std::string status;    // new text for the status line, or empty
    std::string note;      // a remark for the admin that does not fail the session, or empty
    bool starttls = false; // after `send`, TLS on the connection; call tlsReady() once it is up
};

// When the session uses STLS: `automatic` when the server offers it (and then it must work),
// `require` never sends USER or PASS outside TLS, `off` never asks. A pinned certificate
// (Pop3Session::pinned) makes any of them `require`.
enum class PopTls { automatic, require, off };

// How the session logs in. `automatic` takes the strongest way the server offers (CAPA's SASL
// line) and the session can use: OAUTHBEARER (RFC 7628), then XOAUTH2, when the password is an
// access token; AUTH PLAIN (RFC 4616); then USER and PASS. The others are the admin's choice, sent
// whatever the server offers. APOP only when asked for. A server that refuses the way chosen ends
// the session with its answer: no weaker way is tried.
enum class PopAuth : std::uint8_t { automatic, plain, user, oauthbearer, xoauth2, apop };
// The setting's words: auto, plain, user, oauthbearer, xoauth2, apop (any case).
common::Result<PopAuth> parsePopAuth(std::string_view text);
const char *popAuthName(PopAuth auth);

// What a SASL error from the server says (RFC 7628's JSON: {"status":..., "scope":...}), as
// words for the admin: `status invalid_token, scope mail`; empty when it says nothing readable.
std::string saslErrorText(std::string_view json);

enum class Outcome { running, succeeded, failed };

// The session's phases, in the order a normal session passes them.
enum class Phase {
    greeting,    // connected (or connecting), waiting for the server's greeting
    precapa,     // CAPA sent before the login, waiting for its status line
    precapalist, // reading the capabilities offered before the login
    stls,        // STLS sent, waiting for its answer
    handshake,   // the TLS handshake runs; waiting for tlsReady()
    user,        // USER sent
    pass,        // PASS sent
    auth,        // AUTH sent, waiting for a continuation or its answer
    apop,        // APOP sent
    capa,        // CAPA sent, waiting for its status line
    capalist,    // reading the capability list
    list,        // LIST sent, waiting for its status line
    listing,     // reading the scan listing
    uidl,        // UIDL sent, waiting for its status line
    uidlisting,  // reading the unique-id listing
    retr,        // RETR sent, waiting for its status line
    text,        // reading a message's text
    delivering,  // a whole message is out for delivery; waiting for delivered()
    committing,  // every message is delivered; waiting for committed()
    deleting,    // DELE commands and QUIT sent; waiting for their replies
    quitting,    // QUIT sent; waiting for its reply
    done,        // the session is over; nothing more is answered
};

const char *phaseName(Phase phase);

// The commands the session sends, and a reply as it reads them (pop3session.cpp).
enum class PopCommand : std::uint8_t;
struct PopReply;

// How far the session's download has come: the messages it fetches and their listed sizes.
struct Progress {
    std::int32_t messages = 0;      // messages this session fetches
    std::int32_t delivered = 0;     // of them, delivered so far
    std::uint64_t bytes = 0;        // their listed sizes together
    std::uint64_t bytesDone = 0;    // listed sizes of the delivered ones, and the text read of the
                                    // one coming in
};

class Pop3Session {
public:
    // The largest message the engine holds; a bigger one fails the session before memory runs out.
    static constexpr std::size_t maxMessage = std::size_t(512) << 20;
    // The longest status or listing line; RFC 1939 allows 512 bytes.
    static constexpr std::size_t maxline = 64 * 1024;
    // The longest capability line and capability answer; a real one is a few hundred bytes.
    static constexpr std::size_t maxCapaLine = 1024;
    static constexpr std::size_t maxCapa = 64 * 1024;
    // The longest scan or unique-id listing (about four million messages).
    static constexpr std::size_t maxListing = std::size_t(64) << 20;
    // A message's text may be twice its listed size and this much more (see the RETR answer).
    static constexpr std::uint64_t retrMargin = 64 * 1024;
    // RETRs on their way at once when pipelining, and the listed bytes they may ask for (a single
    // message may be larger; it then goes alone).
    static constexpr std::size_t pipelineCommands = 32;
    static constexpr std::uint64_t pipelineBytes = std::uint64_t(1) << 20;

    // Set by the download action; resetsession leaves them alone.
    std::string curserver;
    std::string curuser;
    std::string curpass;
    // "Delete Emails from Server after download"; read when the listing is counted and when the
    // last message has been delivered.
    bool deleteAfter = false;
    // How to log in, and whether curpass is an access token (it came from the password command,
    // which gives a token to the OAuth mechanisms).
    PopAuth popauth = PopAuth::automatic;
    bool tokenGiven = false;
    // STLS, and whether the connection is TLS from its first byte (POP3S).
    PopTls poptls = PopTls::automatic;
    bool implicitTls = false;
    // A certificate fingerprint is pinned (tlsfingerprint): it is checked only under TLS, so TLS
    // is a must, whatever poptls says.
    bool pinned = false;
    // The deadlines: every wait has deadlineBase milliseconds, and one that carries bytes one more
    // second for each minimumRate bytes of them (8 KiB/s: a 10 MiB message has 22 minutes).
    std::uint64_t deadlineBase = 60000;
    std::uint64_t minimumRate = 8192;
    // Unique ids of the messages already delivered from this mailbox.
    std::unordered_set<std::string> seenUids;

    // Session marks and buffers; resetsession gives them these values.
    bool usersent = false;      // USER has been sent
    bool passsent = false;      // PASS has been sent
    bool listsent = false;      // LIST has been sent
    bool listok = false;        // LIST's status line has been seen
    std::string listbuf;        // scan listing received so far (its lines, without the end marker)
    bool counted = false;       // the listing has been counted; messages are being fetched
    std::int32_t msgtotal = 0;  // messages counted in the listing
    std::int32_t msgnum = 0;    // number of the next message to request, 0 when none is left
    std::string msgbuf;         // text of the message being received (dots already un-stuffed)
    bool msgdone = false;       // the end of the current message has been seen
    bool deleting = false;      // DELE commands are out and their replies are being read
    bool quitsent = false;      // QUIT has been sent: nothing more is answered on this connection

    // Starts a fresh session (greeting phase); the caller connects afterwards.
    void resetsession();

    // Bytes from the server, as they arrived. Bytes that answer pipelined commands while a message
    // is out for delivery are kept and read once it is confirmed.
    Actions feed(std::string_view chunk);
    // Answer to Actions::deliver. A failed delivery ends the session with QUIT and no DELE.
    Actions delivered(bool ok, std::string_view reason = {});
    // Answer to Actions::commit. Only after a successful commit is anything deleted.
    Actions committed(bool ok, std::string_view reason = {});
    // 30 seconds without data from the server (or without the delivery finishing).
    Actions timeout();
    // The milliseconds the present wait may take in all (on the server, or on the delivery), or 0
    // once the session is over. It starts afresh whenever waitSerial() changes, and may grow while
    // a capability or listing answer comes in.
    std::uint64_t deadline() const;
    std::uint32_t waitSerial() const { return waitSerial_; }
    // The present wait has taken longer than deadline(): the session fails (and ends).
    Actions overdue();
    // "disconnect now"; `why` is the session's reason for failing.
    Actions disconnect(std::string_view why = "disconnected before the session ended");
    // Whether the session is past its last delivery (committing, deleting, quitting): what is left
    // takes a moment, and cutting it short would leave deleted messages on the server.
    bool finishing() const;
    // The server closed the connection.
    Actions serverClosed();
    // The connection failed (refused, reset, name not found...); `description` says how.
    Actions socketError(std::string_view description);
    // The session cannot start (`why`, in words for the admin); nothing was sent.
    Actions abandon(std::string_view why);
    // The TLS handshake asked for with Actions::starttls is done, the certificate checked; or,
    // with implicitTls, the one before the greeting.
    Actions tlsReady();
    // Whether the session's connection is under TLS.
    bool encrypted() const { return encrypted_; }

    // The message to deliver while Actions::deliver is pending.
    const std::string &message() const { return msgbuf; }
    // The number of the message in message() (the one whose reply is being read).
    std::int32_t messageNumber() const { return inFlight_.empty() ? msgnum + 1 : inFlight_.front(); }
    // Its unique id, when the server listed one, else "".
    std::string_view messageUid() const;
    // Whether the whole unique-id listing was read, and the ids in it (index 0 = message 1).
    bool uidsKnown() const { return uidsKnown_; }
    const std::vector<std::string> &serverUids() const { return uids_; }
    // Bytes received while a message was out for delivery, not read yet.
    std::size_t backlog() const { return pending_.size() - pendingAt_; }

    Progress progress() const;
    // Messages confirmed delivered, and deleted on the server (counted once QUIT is answered).
    std::int32_t deliveredCount() const { return delivered_; }
    std::int32_t deletedCount() const { return deleted_; }
    // "12 new messages delivered, 0 deleted".
    std::string summary() const;

    Phase phase() const { return phase_; }
    Outcome outcome() const { return outcome_; }
    // Why the session failed, in words for the admin; empty unless it failed.
    const std::string &reason() const { return reason_; }
    // The name of the last state change, for traces and tests.
    const char *transition() const { return transition_; }

private:
    void enter(Phase next, const char *why);
    void failWith(std::string why);  // keeps the first reason
    void endNow(Actions &a, const char *why);
    void send(Actions &a, PopCommand command, std::string_view arg = {});
    void fillPipeline(Actions &a);
    void sendQuit(Actions &a, const char *why);
    void onReply(Actions &a, const PopReply &r);
    void login(Actions &a, const char *why);
    PopAuth mechanism() const;
    void authenticate(Actions &a, const char *name, std::string response, const char *why);
    void onContinuation(Actions &a, std::string_view challenge);
    void readSasl(std::string_view mechanisms);
    void secure(Actions &a);
    void countListing(Actions &a);
    void readUidListing(std::string_view line);
    void choose(Actions &a);
    std::size_t consume(Actions &a, std::string_view bytes);
    void keepOrDrop(std::string_view rest);
    void drain(Actions &a);
    void takeText(Actions &a, std::string_view run);
    void finishMessage(Actions &a);
    std::uint64_t listedSize(std::int32_t number) const;
    std::string serverSaid(std::string_view line) const;

    Phase phase_ = Phase::greeting;
    Outcome outcome_ = Outcome::running;
    std::string reason_;
    const char *transition_ = "new session";
    common::Pop3Reply reply_{maxline};  // the server's replies, however its chunks fall
    std::vector<std::uint64_t> sizes_;  // message sizes from the listing, index 0 = message 1
    bool pipelining_ = false;           // the capability list offers PIPELINING
    bool stlsOffered_ = false;          // the capabilities before the login offer STLS
    // The SASL mechanisms offered before the login, and the one in use.
    bool saslPlain_ = false, saslXoauth2_ = false, saslOauthbearer_ = false;
    PopAuth using_ = PopAuth::user;
    std::string saslPending_;  // a response too long for the AUTH line: sent at the first "+"
    std::string saslError_;    // what the server's SASL error said, for the reason
    bool saslAnswered_ = false;  // an error challenge was answered: the refusal comes next
    std::string apopStamp_;    // the greeting's <...>, for APOP
    bool encrypted_ = false;            // the connection is under TLS
    bool uidsBroken_ = false;           // a line of the unique-id listing could not be used
    bool uidsKnown_ = false;            // uids_ holds the whole unique-id listing
    std::vector<std::string> uids_;     // unique ids, index 0 = message 1
    std::vector<std::int32_t> toFetch_;  // the messages to fetch, in the order they are asked for
    std::size_t nextFetch_ = 0;          // index in toFetch_ of the next one to ask for
    std::deque<std::int32_t> inFlight_;  // RETRs sent whose replies are not read to their end
    std::uint64_t inFlightBytes_ = 0;    // their listed sizes together
    std::string pending_;                // bytes kept while a message is out for delivery
    std::size_t pendingAt_ = 0;          // how much of pending_ has been read
    std::uint64_t fetchBytes_ = 0;      // listed sizes of the messages in toFetch_
    std::int32_t delivered_ = 0;        // messages confirmed delivered
    std::uint64_t deliveredBytes_ = 0;  // their listed sizes
    std::int32_t delesOk_ = 0;       // DELE commands the server accepted
    std::int32_t deleted_ = 0;       // messages deleted: the accepted DELEs once QUIT is answered
    std::int32_t delesOut_ = 0;      // DELE replies still to come
    bool deleSent_ = false;          // DELE commands went out in this session
    std::uint64_t textLimit_ = 0;    // the most text the message coming in may have
    std::uint64_t answerBytes_ = 0;  // bytes of the answer being read (line by line)
    std::uint32_t waitSerial_ = 0;   // counts the waits: a new one has a deadline of its own
};

}  // namespace morrent
