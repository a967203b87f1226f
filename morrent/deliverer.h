// The event-loop side of a download: the POP3 connection wired to the session engine, and the
// delivery of each message to the pickup folder, to an MTA over SMTP, or to sendmail. Nothing here
// blocks the event thread: the SMTP connection and the sendmail process are driven by their events,
// and the engine asks for the next message only when the current one is confirmed.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/socketarray.h"
#include "morrent/delivery.h"
#include "morrent/mailboxstate.h"
#include "morrent/pop3session.h"
#include "morrent/smtpsession.h"

class QProcess;
class QTimer;

namespace common {
class SocketArray;
}

namespace morrent {

// The default pickup folder: tessaruno/pickup in the user's data folder ($XDG_DATA_HOME, else
// ~/.local/share).
QString defaultpickupfolder();

// Hands messages on, one at a time, by the method a `maildrop` value names. With a record, each
// delivered message's unique id goes into it as the delivery happens (for the pickup folder, step
// by step with the folder's own work).
class Deliverer : public QObject, private PickupJournal {
    Q_OBJECT
public:
    explicit Deliverer(QObject *parent = nullptr);
    ~Deliverer() override;

    // Chooses the method; false (and why) when the value names none. The default is the pickup
    // folder.
    bool configure(const QString &maildrop, QString *why = nullptr);
    const Maildrop &maildrop() const { return drop_; }

    // The record the unique ids of delivered messages go into; nullptr for none.
    void setRecord(UidlRecord *record);
    // Without a forward address, a message goes to those of its To and Cc addresses that are in
    // `localdomains`, or to `account` when none is (SMTP and sendmail; the pickup folder has no
    // envelope); with `account` "" (a service's) such a message fails and stays on the server.
    // The default: systemLocalDomains() and localAccount().
    void setLocal(std::vector<std::string> localdomains, std::string account);

    // Hands one message on. `raw` must stay valid and unchanged until delivered() is emitted, which
    // may happen before this returns. `forward`: replace To with it and mail it to it alone.
    // `uid`: the message's unique id for the record, or "".
    void deliver(std::string_view raw, const std::optional<std::string> &forward,
                 std::string_view uid = {});
    // Makes every message delivered so far durable; emits committed() (perhaps before returning).
    void commit();
    // The download is over: a message still in flight is dropped unconfirmed, messages already
    // delivered are kept (written pickup files are committed), the SMTP session is ended.
    void finish();

signals:
    // A remark on the message in flight that does not fail its delivery.
    void note(const QString &text);
    void delivered(bool ok, const QString &reason);
    void committed(bool ok, const QString &reason);
    // The delivery in flight is moving; the window's inactivity countdown starts afresh.
    void progress();

private:
    common::Result<void> written(const std::string &path) override;
    common::Result<void> moving(std::uint64_t device) override;
    common::Result<void> moved() override;
    void astray() override;
    void done(bool ok, const std::string &reason);
    void applySmtp(const SmtpActions &a);
    void connectSmtp();
    void feedSendmail();

    Maildrop drop_;
    std::unique_ptr<PickupFolder> pickup_;
    // SMTP: one connection for the whole download, made for the first message.
    common::SocketArray *mta_ = nullptr;
    std::unique_ptr<SmtpSession> smtp_;
    bool streaming_ = false;  // message text is waiting for room on the MTA connection
    // sendmail: one process per message.
    QProcess *sendmail_ = nullptr;
    std::size_t fed_ = 0;  // bytes of the message given to sendmail so far

    UidlRecord *record_ = nullptr;
    std::string uid_;  // of the message in flight
    std::vector<std::string> localDomains_;
    std::string account_;
    bool localSet_ = false;

    bool inFlight_ = false;
    Rewritten rewritten_;    // the message's new head when forwarding
    std::string_view head_;  // what goes out: head_, then rest_
    std::string_view rest_;
};

// A download: the window's POP3 socket, its inactivity timer, the engine and a deliverer, wired
// together, with the deadline of each wait (Pop3Session::deadline) on a timer of its own. The
// window keeps its own controls; it starts the download, shows the status lines and the message
// about to be delivered, and learns when the session has ended and how.
class Download : public QObject {
    Q_OBJECT
public:
    // `winsock`: element 0 is the POP3 connection. `timer`: the 30-second inactivity timer.
    Download(Pop3Session &engine, common::SocketArray &winsock, QTimer &timer, Deliverer &deliverer,
             QObject *parent = nullptr);

    // Read at each delivery: the forward address, or nullopt to keep the message's own To.
    std::function<std::optional<std::string>()> forward;
    // A SHA-256 fingerprint that the server's certificate must have, in place of the chain
    // check (a self-signed server); empty: the chain and the name are checked. A pin makes TLS a
    // must (Pop3Session::pinned).
    std::string fingerprint;
    // A program (its words, run without a shell) that gives the password at each download: the
    // first line it prints becomes the engine's curpass (an access token for the OAuth
    // mechanisms). It has passwordDeadline milliseconds; what it prints is neither kept nor logged.
    std::vector<std::string> passwordCommand;
    int passwordDeadline = 30000;

    // Closes an open connection, runs resetsession and connects to `server` ("host", "host:port",
    // "[v6]:port"; port 110 unless given). The engine's curuser/curpass and deleteAfter must be
    // set. First it takes the mailbox's lock and reads its record of delivered ids (with deletion
    // on too: a run that failed deleted nothing), in the state folder (`stateFolder`, or the user's one when empty). A server text that is
    // no host, a lock that another run holds or a record that cannot be read end the session at
    // once, before anything is connected.
    void start(const std::string &server);
    // "disconnect now".
    void disconnectNow();
    // A stop asked for by a signal: a session past its last delivery ends by itself (its own
    // deadlines bound it), any other one now; `now` cuts even that short.
    void stop(bool now);
    bool running() const { return running_; }
    // The last session did not start because another run held the mailbox's lock.
    bool lockedOut() const { return lockedOut_; }

    std::string stateFolder;

signals:
    void status(const QString &text);
    // A remark for the admin that does not fail the session (shown once, on stderr from cron).
    void note(const QString &text);
    // The next message to be handed on; valid during the signal only.
    void delivering(std::string_view message);
    // The download has moved on: the session's messages and their listed bytes, done and in all.
    void progress(int delivered, int messages, qint64 bytesDone, qint64 bytes);
    // The session is over (closesession): ok false means it failed, `reason` says why.
    void ended(bool ok, const QString &reason);

private:
    common::Socket::TlsSettings tls_;  // what the server must show
    // A delivery or commit whose answer came before the call that asked for it returned.
    struct Answer {
        bool ok;
        QString reason;
    };

    void apply(Actions a);
    void onData(int index);
    void onTimer();
    void answer(bool commit, bool ok, const QString &reason);
    // The engine told how the delivery of its message went; a failure has its line in the log.
    Actions delivered(bool ok, const std::string &why);
    void pace();
    void arm();
    void moved();
    common::Result<void> openState(const std::string &host, int port);
    void runPasswordCommand();
    void commandEnded(int status, const QString &error);
    void stopCommand();
    void connectServer();
    void settle();

    Pop3Session &engine_;
    common::SocketArray &winsock_;
    QTimer &timer_;
    Deliverer &deliverer_;
    bool running_ = false;
    bool asking_ = false;  // inside deliver() or commit(): an answer now is kept in early_
    std::optional<Answer> early_;
    MailboxLock lock_;
    UidlRecord record_;
    bool lockedOut_ = false;
    // The present wait's deadline: which wait it is, what it allows, since when.
    QTimer *deadline_;
    QElapsedTimer waited_;
    std::uint32_t armedSerial_ = 0;
    std::uint64_t armedDeadline_ = 0;
    // Where the session connects, kept while the password command runs.
    std::string host_;
    int port_ = 0;
    bool implicit_ = false;
    QProcess *command_ = nullptr;
    QTimer *commandDeadline_;
    std::string commandOutput_;  // what it printed so far; wiped once read
};

}  // namespace morrent
