#include "morrent/deliverer.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <climits>

#include "common/asciitext.h"
#include "common/controls.h"
#include "common/hostport.h"
#include "common/log.h"
#include "common/socketarray.h"
#include "morrent/cmdline.h"
#include "morrent/message.h"

namespace morrent {

namespace {

// How much message text is handed to the MTA connection or the sendmail pipe at a time.
constexpr std::size_t piecesize = 256 * 1024;

QString qtext(const std::string &s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

}  // namespace

QString defaultpickupfolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/tessaruno/pickup");
}

// ---- Deliverer ----

Deliverer::Deliverer(QObject *parent) : QObject(parent) {}

Deliverer::~Deliverer() {
    if (sendmail_) {
        sendmail_->disconnect(this);
        sendmail_->kill();
        sendmail_->waitForFinished(1000);
    }
}

bool Deliverer::configure(const QString &maildrop, QString *why) {
    const common::Result<Maildrop> drop = parseMaildrop(maildrop.toStdString());
    if (!drop) {
        if (why) *why = qtext(drop.why());
        return false;
    }
    finish();
    drop_ = *drop;
    pickup_.reset();
    smtp_.reset();
    return true;
}

void Deliverer::setLocal(std::vector<std::string> localdomains, std::string account) {
    localDomains_ = std::move(localdomains);
    account_ = std::move(account);
    localSet_ = true;
}

void Deliverer::setRecord(UidlRecord *record) {
    record_ = record;
    if (pickup_) pickup_->setJournal(record_ ? this : nullptr);
}

common::Result<void> Deliverer::written(const std::string &path) {
    return record_ && !uid_.empty() ? record_->written(uid_, path) : common::Result<void>();
}

common::Result<void> Deliverer::moving(std::uint64_t device) {
    return record_ ? record_->moving(device) : common::Result<void>();
}

common::Result<void> Deliverer::moved() {
    return record_ ? record_->moved() : common::Result<void>();
}

void Deliverer::astray() {
    if (record_) record_->astray();
}

void Deliverer::done(bool ok, const std::string &reason) {
    if (!inFlight_) return;
    inFlight_ = false;
    std::string why = reason;
    // An MTA's confirmation is the delivery; the pickup folder's journal has recorded its own.
    if (ok && record_ && !uid_.empty() && drop_.kind != Maildrop::Kind::pickup) {
        const common::Result<void> added = record_->add(uid_);
        ok = added.ok();
        why = added.why();
    }
    emit delivered(ok, qtext(why));
}

void Deliverer::deliver(std::string_view raw, const std::optional<std::string> &forward,
                        std::string_view uid) {
    if (inFlight_) {
        emit delivered(false, QStringLiteral("a delivery is already in progress"));
        return;
    }
    inFlight_ = true;
    uid_ = uid;
    head_ = {};
    rest_ = raw;
    if (forward) {
        if (const common::Result<void> usable = checkForward(*forward); !usable) {
            done(false, usable.why());
            return;
        }
        rewritten_ = replaceTo(raw, *forward);
        head_ = rewritten_.head;
        rest_ = raw.substr(rewritten_.restFrom);
    }

    if (drop_.kind == Maildrop::Kind::pickup) {
        if (!pickup_) {
            std::string folder =
                drop_.folder.empty() ? defaultpickupfolder().toStdString() : drop_.folder;
            pickup_ = std::make_unique<PickupFolder>(folder);
            pickup_->setJournal(record_ ? this : nullptr);
        }
        const common::Result<void> delivered = pickup_->deliver(head_, rest_);
        done(delivered.ok(), delivered.why());
        return;
    }

    Envelope envelope = envelopeOf(raw);
    const std::string &sender = envelope.sender;
    std::vector<std::string> recipients;
    if (forward) {
        recipients = recipientsOf(raw, forward);
    } else {
        if (!localSet_) setLocal(systemLocalDomains(), localAccount());
        LocalEnvelope local = localRecipients(envelope.recipients, localDomains_, account_);
        recipients = std::move(local.recipients);
        if (!local.leftOut.empty()) {
            std::string text = "not mailed to";
            for (std::size_t i = 0; i < local.leftOut.size(); ++i)
                text += (i ? ", " : " ") + local.leftOut[i];
            text += ": not in the local domains";
            auto ids = headerValues(headerBlock(raw), "Message-Id");
            if (!ids.empty()) text += " (" + ids.front().substr(0, 200) + ")";
            emit note(qtext(text));
        }
        // No one in the local domains, and an account no one reads: it must not vanish there.
        if (recipients.empty()) {
            done(false, noRecipientReason(local));
            return;
        }
        if (drop_.kind == Maildrop::Kind::smtp && !localDomains_.empty())
            recipients = qualified(std::move(recipients), localDomains_.front());
    }

    if (drop_.kind == Maildrop::Kind::smtp) {
        if (!smtp_) connectSmtp();
        applySmtp(smtp_->start(sender, recipients, head_, rest_));
        return;
    }

    // sendmail, one process per message.
    if (const common::Result<void> usable = checkEnvelope(sender, recipients); !usable) {
        done(false, usable.why());
        return;
    }
    if (sendmail_) sendmail_->deleteLater();
    sendmail_ = new QProcess(this);
    fed_ = 0;
    QProcess *process = sendmail_;
    process->setStandardOutputFile(QProcess::nullDevice());
    connect(process, &QProcess::started, this, [this, process] {
        if (process == sendmail_) feedSendmail();
    });
    connect(process, &QProcess::bytesWritten, this, [this, process] {
        if (process != sendmail_) return;
        emit progress();
        feedSendmail();
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError e) {
        if (process != sendmail_ || e != QProcess::FailedToStart) return;
        done(false, "cannot start " + std::string(sendmailProgram) + ": " +
                        process->errorString().toStdString());
    });
    connect(process, &QProcess::finished, this,
            [this, process](int code, QProcess::ExitStatus status) {
                if (process != sendmail_) return;
                if (status == QProcess::NormalExit && code == 0) {
                    done(true, {});
                    return;
                }
                QByteArray said = process->readAllStandardError().left(300).trimmed();
                if (int nl = said.indexOf('\n'); nl >= 0) said.truncate(nl);
                std::string why = status == QProcess::NormalExit
                                      ? "sendmail exited with status " + std::to_string(code)
                                      : std::string("sendmail crashed");
                if (!said.isEmpty()) why += ": " + said.toStdString();
                done(false, why);
            });
    QStringList args;
    for (const auto &arg : sendmailArgs(sender, recipients)) args << qtext(arg);
    process->start(QString::fromLatin1(sendmailProgram), args);
}

// Gives sendmail the next piece once the pipe has taken the last one; closes its input at the end.
void Deliverer::feedSendmail() {
    if (!sendmail_ || !inFlight_) return;
    const std::size_t total = head_.size() + rest_.size();
    while (fed_ < total && sendmail_->bytesToWrite() < qint64(piecesize)) {
        std::string_view piece =
            fed_ < head_.size() ? head_.substr(fed_) : rest_.substr(fed_ - head_.size());
        piece = piece.substr(0, piecesize);
        qint64 n = sendmail_->write(piece.data(), qint64(piece.size()));
        if (n <= 0) return;  // the process is gone; finished() tells
        fed_ += std::size_t(n);
    }
    if (fed_ == total && sendmail_->bytesToWrite() == 0) sendmail_->closeWriteChannel();
}

void Deliverer::connectSmtp() {
    if (!mta_) {
        mta_ = new common::SocketArray(QStringLiteral("mta"), this);
        connect(mta_, &common::SocketArray::DataArrival, this, [this](int, qint64) {
            if (!smtp_) return;
            common::Socket &s = (*mta_)[0];
            SmtpActions a = smtp_->feed(s.peekData());
            s.consumeData();
            emit progress();
            applySmtp(a);
        });
        connect(mta_, &common::SocketArray::SendComplete, this, [this](int) {
            if (!smtp_) return;
            emit progress();
            SmtpActions resume;
            resume.streaming = streaming_;
            applySmtp(resume);
        });
        // A connection the MTA drops between two messages (its idle time-out) is made again for
        // the next one; one lost in the middle of a message fails that message.
        connect(mta_, &common::SocketArray::Close, this, [this](int) {
            if (!smtp_) return;
            bool idle = !smtp_->busy();
            applySmtp(smtp_->closed("the mail service closed the connection"));
            if (idle) smtp_.reset();
        });
        connect(mta_, &common::SocketArray::Error, this,
                [this](int, int, const QString &description) {
                    if (!smtp_) return;
                    bool idle = !smtp_->busy();
                    applySmtp(smtp_->closed(description.toStdString()));
                    if (idle) smtp_.reset();
                });
    }
    smtp_ = std::make_unique<SmtpSession>();
    streaming_ = false;
    common::Socket &s = (*mta_)[0];
    s.RemoteHost = qtext(drop_.host);
    s.RemotePort = drop_.port;
    s.Connect();
}

void Deliverer::applySmtp(const SmtpActions &a) {
    common::Socket &s = (*mta_)[0];
    if (!a.send.empty() && !s.SendData(a.send)) {
        applySmtp(smtp_->closed("cannot send to the mail service"));
        return;
    }
    streaming_ = a.streaming;
    // Message text goes out a piece at a time, each once the socket has passed on the last one.
    while (streaming_ && s.unsent() == 0) {
        SmtpActions piece = smtp_->more(piecesize);
        streaming_ = piece.streaming;
        if (!s.SendData(piece.send)) {
            applySmtp(smtp_->closed("cannot send to the mail service"));
            return;
        }
    }
    if (a.close) {
        s.Close();
        streaming_ = false;
    }
    if (a.result == SmtpActions::Result::delivered) done(true, {});
    if (a.result == SmtpActions::Result::failed) done(false, a.reason);
}

void Deliverer::commit() {
    common::Result<void> done = pickup_ ? pickup_->commit() : common::Result<void>();
    if (done && record_) done = record_->sync();
    emit committed(done.ok(), qtext(done.why()));
}

void Deliverer::finish() {
    inFlight_ = false;  // whatever is in flight stays unconfirmed
    if (sendmail_) {
        sendmail_->disconnect(this);
        sendmail_->kill();
        sendmail_->deleteLater();
        sendmail_ = nullptr;
    }
    if (pickup_) pickup_->commit();  // written messages are whole: keep them
    if (smtp_) {
        SmtpActions a = smtp_->quit();
        common::Socket &s = (*mta_)[0];
        if (!a.send.empty()) s.SendData(a.send);
        // A QUIT still goes out after Close; a transaction without its final dot is dropped.
        s.Close();
        smtp_.reset();
        streaming_ = false;
    }
}

// ---- Download ----

Download::Download(Pop3Session &engine, common::SocketArray &winsock, QTimer &timer,
                   Deliverer &deliverer, QObject *parent)
    : QObject(parent),
      engine_(engine),
      winsock_(winsock),
      timer_(timer),
      deliverer_(deliverer),
      deadline_(new QTimer(this)),
      commandDeadline_(new QTimer(this)) {
    deadline_->setSingleShot(true);
    commandDeadline_->setSingleShot(true);
    connect(commandDeadline_, &QTimer::timeout, this, [this] {
        commandEnded(-2, QStringLiteral("no password within %1 seconds (it was stopped)")
                             .arg((passwordDeadline + 999) / 1000));
    });
    connect(deadline_, &QTimer::timeout, this, [this] {
        if (running_) apply(engine_.overdue());
    });
    // POP3S: Connect comes once the handshake is done and the certificate checked.
    connect(&winsock_, &common::SocketArray::Connect, this, [this](int index) {
        if (index == 0 && running_ && winsock_[0].encrypted()) apply(engine_.tlsReady());
    });
    connect(&winsock_, &common::SocketArray::DataArrival, this, [this](int index, qint64) {
        if (index == 0) onData(index);
    });
    connect(&winsock_, &common::SocketArray::Close, this, [this](int index) {
        if (index == 0 && running_) apply(engine_.serverClosed());
    });
    connect(&winsock_, &common::SocketArray::Error, this,
            [this](int index, int, const QString &description) {
                if (index == 0 && running_) apply(engine_.socketError(description.toStdString()));
            });
    connect(&winsock_, &common::SocketArray::Encrypted, this, [this](int index) {
        if (index == 0 && running_) apply(engine_.tlsReady());
    });
    connect(&timer_, &QTimer::timeout, this, &Download::onTimer);
    connect(&deliverer_, &Deliverer::delivered, this, [this](bool ok, const QString &reason) {
        answer(false, ok, reason);
    });
    connect(&deliverer_, &Deliverer::committed, this, [this](bool ok, const QString &reason) {
        answer(true, ok, reason);
    });
    connect(&deliverer_, &Deliverer::note, this, [this](const QString &text) {
        if (running_) emit note(QStringLiteral("message %1: ").arg(engine_.messageNumber()) + text);
    });
    connect(&deliverer_, &Deliverer::progress, this, [this] {
        if (running_) common::restartTimer(&timer_);
    });
}

void Download::start(const std::string &server) {
    stopCommand();
    if (running_) {
        running_ = false;
        deliverer_.finish();
        settle();
    }
    common::Socket &s = winsock_[0];
    if (s.State() != common::Socket::sckClosed) s.Close();
    // pop3s://host[:port], or port 995: TLS from the first byte.
    std::string_view where = server;
    bool implicit = false;
    if (common::startsNoCase(where, "pop3s://")) {
        where.remove_prefix(8);
        if (!where.empty() && where.back() == '/') where.remove_suffix(1);
        implicit = true;
    }
    const common::Result<common::HostPort> target = common::parseHostPort(where, implicit ? 995 : 110);
    implicit = implicit || (target && target->port == 995);
    engine_.implicitTls = implicit;
    engine_.pinned = !fingerprint.empty();
    // MORRENT_DEADLINE_MS, for tests: the base of every deadline (a minute unless given).
    bool given = false;
    const int base = qEnvironmentVariableIntValue("MORRENT_DEADLINE_MS", &given);
    engine_.deadlineBase = given && base > 0 ? std::uint64_t(base) : Pop3Session().deadlineBase;
    engine_.resetsession();
    engine_.curserver = server;
    engine_.seenUids.clear();
    lockedOut_ = false;
    running_ = true;
    common::restartTimer(&timer_);
    arm();
    if (!target) {
        apply(engine_.socketError("\"" + server + "\" is not a server name or address"));
        return;
    }
    if (const common::Result<void> opened = openState(target->host, target->port); !opened) {
        apply(engine_.abandon(opened.why()));
        return;
    }
    host_ = target->host;
    port_ = target->port;
    implicit_ = implicit;
    if (!passwordCommand.empty()) {
        runPasswordCommand();
        return;
    }
    connectServer();
}

void Download::connectServer() {
    common::Socket &s = winsock_[0];
    s.RemoteHost = qtext(host_);
    s.RemotePort = port_;
    tls_ = common::Socket::TlsSettings();
    tls_.check.host = host_;
    tls_.check.fingerprint = fingerprint;
    s.tlsOnConnect.reset();
    if (implicit_) s.tlsOnConnect = tls_;
    s.Connect();
}

// The password command runs before anything is connected, with no input, its errors left out
// (they may quote what it knows), within its own deadline; the session's timers wait for it.
void Download::runPasswordCommand() {
    timer_.stop();
    deadline_->stop();
    commandOutput_.clear();
    command_ = new QProcess(this);
    command_->setProgram(qtext(passwordCommand.front()));
    QStringList arguments;
    for (std::size_t i = 1; i < passwordCommand.size(); ++i) arguments << qtext(passwordCommand[i]);
    command_->setArguments(arguments);
    command_->setStandardInputFile(QProcess::nullDevice());
    command_->setStandardErrorFile(QProcess::nullDevice());
    QProcess *process = command_;
    connect(process, &QProcess::readyReadStandardOutput, this, [this, process] {
        const QByteArray bytes = process->readAllStandardOutput();
        // One byte past the bound is enough to refuse it.
        const std::size_t room = maxCommandOutput + 1 - std::min(commandOutput_.size(), maxCommandOutput + 1);
        commandOutput_.append(bytes.constData(), std::min<std::size_t>(room, std::size_t(bytes.size())));
    });
    connect(process, &QProcess::finished, this, [this, process](int code, QProcess::ExitStatus how) {
        if (process != command_) return;
        const QByteArray rest = process->readAllStandardOutput();
        commandOutput_.append(rest.constData(), std::min<std::size_t>(std::size_t(rest.size()), maxCommandOutput + 1));
        commandEnded(how == QProcess::NormalExit ? code : -1, {});
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (process != command_ || error != QProcess::FailedToStart) return;
        commandEnded(-2, QStringLiteral("could not be started: ") + process->errorString());
    });
    commandDeadline_->start(passwordDeadline);
    command_->start();
}

// status: the exit status, -1 for a crash, -2 when `error` says what went wrong before it.
void Download::commandEnded(int status, const QString &error) {
    if (!command_) return;
    const std::string program = passwordCommand.empty() ? std::string() : passwordCommand.front();
    stopCommand();
    if (!running_) return;
    common::Result<std::string> password =
        status == -2 ? common::Result<std::string>(common::fail(
                           "the password command " + program + " " + error.toStdString()))
                     : passwordFromCommand(commandOutput_, status);
    std::fill(commandOutput_.begin(), commandOutput_.end(), '\0');
    commandOutput_.clear();
    if (!password) {
        apply(engine_.abandon(password.why()));
        return;
    }
    engine_.curpass = std::move(*password);
    common::restartTimer(&timer_);
    arm();
    connectServer();
}

void Download::stopCommand() {
    commandDeadline_->stop();
    if (!command_) return;
    QProcess *process = command_;
    command_ = nullptr;
    process->disconnect(this);
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(1000);
    }
    process->deleteLater();
}

// The lock and the record of the mailbox at host:port for the engine's login. The record is kept
// with deletion on too: a run that fails after some deliveries deletes nothing, and the next one
// must know which messages it delivered.
common::Result<void> Download::openState(const std::string &host, int port) {
    const std::string folder = stateFolder.empty() ? morrent::stateFolder() : stateFolder;
    if (folder.empty())
        return common::fail("no folder for morrent's state: neither XDG_STATE_HOME nor HOME is set");
    if (common::Result<void> made = makeStateFolder(folder); !made) return made;
    const std::string stem = folder + "/" + mailboxKey(engine_.curuser, host, port);
    if (common::Result<void> taken = lock_.take(stem + ".lock"); !taken) {
        lockedOut_ = lock_.busy();
        return taken;
    }
    if (common::Result<void> opened = record_.open(stem + ".uidl"); !opened) return opened;
    engine_.seenUids = record_.delivered();
    deliverer_.setRecord(&record_);
    return {};
}

// The session is over: the record forgets the ids no longer on the server (all of them once every
// message is deleted), and the lock goes.
void Download::settle() {
    deliverer_.setRecord(nullptr);
    if (record_.isOpen()) {
        static const std::vector<std::string> none;
        const bool emptied = engine_.deletedCount() > 0 && engine_.deletedCount() == engine_.msgtotal;
        const common::Result<void> closed =
            record_.close(emptied ? &none : engine_.uidsKnown() ? &engine_.serverUids() : nullptr);
        if (!closed) emit note(qtext(closed.why()));
    }
    lock_.release();
}

void Download::disconnectNow() {
    if (running_) {
        apply(engine_.disconnect());
    } else {
        common::Socket &s = winsock_[0];
        if (s.State() != common::Socket::sckClosed) s.Close();
    }
}

void Download::stop(bool now) {
    if (!running_) return;
    if (!now && engine_.finishing()) return;
    apply(engine_.disconnect("stopped by a signal before the session ended"));
}

void Download::onData(int index) {
    common::Socket &s = winsock_[index];
    if (!running_) {
        s.consumeData();
        return;
    }
    common::restartTimer(&timer_);
    Actions a = engine_.feed(s.peekData());
    s.consumeData();
    apply(std::move(a));
    moved();
}

void Download::moved() {
    if (!running_) return;
    const Progress p = engine_.progress();
    emit progress(p.delivered, p.messages, qint64(p.bytesDone), qint64(p.bytes));
}

void Download::onTimer() {
    if (running_) apply(engine_.timeout());
}

// The answer of the deliverer. One that comes while deliver() or commit() is still running is
// taken up by apply() once that call returns, so that a mailbox of many messages delivered at once
// is a loop, not a recursion.
void Download::answer(bool commit, bool ok, const QString &reason) {
    if (!running_) return;
    if (asking_) {
        early_ = Answer{ok, reason};
        return;
    }
    const std::string why = reason.toStdString();
    apply(commit ? engine_.committed(ok, why) : delivered(ok, why));
    moved();
}

// morrent: message server=pop.example.org login=jdoe number=7 uid=... outcome=failed reason=...
Actions Download::delivered(bool ok, const std::string &why) {
    if (!ok && common::logs(common::LogLevel::error)) {
        common::LogLine line(common::LogLevel::error, "message");
        line.field("server", engine_.curserver).field("login", engine_.curuser);
        line.field("number", engine_.messageNumber());
        if (!engine_.messageUid().empty()) line.field("uid", engine_.messageUid());
        line.field("outcome", "failed").field("reason", why);
    }
    return engine_.delivered(ok, why);
}

// Replies to pipelined commands wait in the engine while a message is out for delivery; beyond a
// bound the connection is not read, and the server is held back by TCP.
void Download::pace() {
    common::Socket &s = winsock_[0];
    const bool full = running_ && engine_.backlog() > 2 * Pop3Session::pipelineBytes;
    if (s.readPaused() != full) s.setReadPaused(full);
}

void Download::apply(Actions a) {
    common::Socket &s = winsock_[0];
    for (;;) {
        if (!a.status.empty()) emit status(qtext(a.status));
        if (!a.note.empty()) emit note(qtext(a.note));
        if (!a.send.empty() && !s.SendData(a.send) && !a.ended) {
            a = engine_.socketError("cannot send to the server");
            continue;
        }
        if (a.ended) {
            if (a.close) s.Close();
            stopCommand();
            running_ = false;
            timer_.stop();
            deadline_->stop();
            deliverer_.finish();
            settle();
            pace();
            emit ended(engine_.outcome() == Outcome::succeeded, qtext(engine_.reason()));
            return;
        }
        if (a.starttls && !s.StartTls(tls_)) {
            a = engine_.socketError("TLS could not be started");
            continue;
        }
        if (a.close) s.Close();
        if (!a.deliver && !a.commit) break;
        early_.reset();
        asking_ = true;
        if (a.deliver) {
            emit delivering(engine_.message());
            deliverer_.deliver(engine_.message(), forward ? forward() : std::nullopt,
                               engine_.messageUid());
        } else {
            deliverer_.commit();
        }
        asking_ = false;
        if (!early_) break;  // the answer comes later, as a signal
        const std::string why = early_->reason.toStdString();
        a = a.deliver ? delivered(early_->ok, why) : engine_.committed(early_->ok, why);
    }
    pace();
    arm();
}

// A new wait gets its whole deadline; one that has grown (a listing coming in) what is left of it.
void Download::arm() {
    if (!running_) return;
    const std::uint64_t allowed = engine_.deadline();
    if (engine_.waitSerial() != armedSerial_) {
        armedSerial_ = engine_.waitSerial();
        waited_.start();
    } else if (allowed == armedDeadline_) {
        return;
    }
    armedDeadline_ = allowed;
    const std::uint64_t spent = std::uint64_t(waited_.elapsed());
    const std::uint64_t left = allowed > spent ? allowed - spent : 0;
    deadline_->start(int(std::min<std::uint64_t>(left, std::uint64_t(INT_MAX))));
}

}  // namespace morrent
