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
    const common::Result<Maildrop> drop = parsemaildrop(maildrop.toStdString());
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

void Deliverer::setlocal(std::vector<std::string> localdomains, std::string account) {
    localdomains_ = std::move(localdomains);
    account_ = std::move(account);
    localset_ = true;
}

void Deliverer::setrecord(UidlRecord *record) {
    record_ = record;
    if (pickup_) pickup_->setjournal(record_ ? this : nullptr);
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
    if (!inflight_) return;
    inflight_ = false;
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
    if (inflight_) {
        emit delivered(false, QStringLiteral("a delivery is already in progress"));
        return;
    }
    inflight_ = true;
    uid_ = uid;
    head_ = {};
    rest_ = raw;
    if (forward) {
        if (const common::Result<void> usable = checkForward(*forward); !usable) {
            done(false, usable.why());
            return;
        }
        rewritten_ = replaceto(raw, *forward);
        head_ = rewritten_.head;
        rest_ = raw.substr(rewritten_.restfrom);
    }

    if (drop_.kind == Maildrop::Kind::pickup) {
        if (!pickup_) {
            std::string folder =
                drop_.folder.empty() ? defaultpickupfolder().toStdString() : drop_.folder;
            pickup_ = std::make_unique<PickupFolder>(folder);
            pickup_->setjournal(record_ ? this : nullptr);
        }
        const common::Result<void> delivered = pickup_->deliver(head_, rest_);
        done(delivered.ok(), delivered.why());
        return;
    }

    Envelope envelope = envelopeof(raw);
    const std::string &sender = envelope.sender;
    std::vector<std::string> recipients;
    if (forward) {
        recipients = recipientsof(raw, forward);
    } else {
        if (!localset_) setlocal(systemlocaldomains(), localaccount());
        LocalEnvelope local = localrecipients(envelope.recipients, localdomains_, account_);
        recipients = std::move(local.recipients);
        if (!local.leftout.empty()) {
            std::string text = "not mailed to";
            for (std::size_t i = 0; i < local.leftout.size(); ++i)
                text += (i ? ", " : " ") + local.leftout[i];
            text += ": not in the local domains";
            auto ids = headervalues(headerblock(raw), "Message-Id");
            if (!ids.empty()) text += " (" + ids.front().substr(0, 200) + ")";
            emit note(qtext(text));
        }
    }

    if (drop_.kind == Maildrop::Kind::smtp) {
        if (!smtp_) connectsmtp();
        applysmtp(smtp_->start(sender, recipients, head_, rest_));
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
        if (process == sendmail_) feedsendmail();
    });
    connect(process, &QProcess::bytesWritten, this, [this, process] {
        if (process != sendmail_) return;
        emit progress();
        feedsendmail();
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError e) {
        if (process != sendmail_ || e != QProcess::FailedToStart) return;
        done(false, "cannot start " + std::string(sendmailprogram) + ": " +
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
    for (const auto &arg : sendmailargs(sender, recipients)) args << qtext(arg);
    process->start(QString::fromLatin1(sendmailprogram), args);
}

// Gives sendmail the next piece once the pipe has taken the last one; closes its input at the end.
void Deliverer::feedsendmail() {
    if (!sendmail_ || !inflight_) return;
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

void Deliverer::connectsmtp() {
    if (!mta_) {
        mta_ = new common::SocketArray(QStringLiteral("mta"), this);
        connect(mta_, &common::SocketArray::DataArrival, this, [this](int, qint64) {
            if (!smtp_) return;
            common::Socket &s = (*mta_)[0];
            SmtpActions a = smtp_->feed(s.peekData());
            s.consumeData();
            emit progress();
            applysmtp(a);
        });
        connect(mta_, &common::SocketArray::SendComplete, this, [this](int) {
            if (!smtp_) return;
            emit progress();
            SmtpActions resume;
            resume.streaming = streaming_;
            applysmtp(resume);
        });
        // A connection the MTA drops between two messages (its idle time-out) is made again for
        // the next one; one lost in the middle of a message fails that message.
        connect(mta_, &common::SocketArray::Close, this, [this](int) {
            if (!smtp_) return;
            bool idle = !smtp_->busy();
            applysmtp(smtp_->closed("the mail service closed the connection"));
            if (idle) smtp_.reset();
        });
        connect(mta_, &common::SocketArray::Error, this,
                [this](int, int, const QString &description) {
                    if (!smtp_) return;
                    bool idle = !smtp_->busy();
                    applysmtp(smtp_->closed(description.toStdString()));
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

void Deliverer::applysmtp(const SmtpActions &a) {
    common::Socket &s = (*mta_)[0];
    if (!a.send.empty() && !s.SendData(a.send)) {
        applysmtp(smtp_->closed("cannot send to the mail service"));
        return;
    }
    streaming_ = a.streaming;
    // Message text goes out a piece at a time, each once the socket has passed on the last one.
    while (streaming_ && s.unsent() == 0) {
        SmtpActions piece = smtp_->more(piecesize);
        streaming_ = piece.streaming;
        if (!s.SendData(piece.send)) {
            applysmtp(smtp_->closed("cannot send to the mail service"));
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
    inflight_ = false;  // whatever is in flight stays unconfirmed
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
      deadline_(new QTimer(this)) {
    deadline_->setSingleShot(true);
    connect(deadline_, &QTimer::timeout, this, [this] {
        if (running_) apply(engine_.overdue());
    });
    // POP3S: Connect comes once the handshake is done and the certificate checked.
    connect(&winsock_, &common::SocketArray::Connect, this, [this](int index) {
        if (index == 0 && running_ && winsock_[0].encrypted()) apply(engine_.tlsready());
    });
    connect(&winsock_, &common::SocketArray::DataArrival, this, [this](int index, qint64) {
        if (index == 0) ondata(index);
    });
    connect(&winsock_, &common::SocketArray::Close, this, [this](int index) {
        if (index == 0 && running_) apply(engine_.serverclosed());
    });
    connect(&winsock_, &common::SocketArray::Error, this,
            [this](int index, int, const QString &description) {
                if (index == 0 && running_) apply(engine_.socketerror(description.toStdString()));
            });
    connect(&winsock_, &common::SocketArray::Encrypted, this, [this](int index) {
        if (index == 0 && running_) apply(engine_.tlsready());
    });
    connect(&timer_, &QTimer::timeout, this, &Download::ontimer);
    connect(&deliverer_, &Deliverer::delivered, this, [this](bool ok, const QString &reason) {
        answer(false, ok, reason);
    });
    connect(&deliverer_, &Deliverer::committed, this, [this](bool ok, const QString &reason) {
        answer(true, ok, reason);
    });
    connect(&deliverer_, &Deliverer::note, this, [this](const QString &text) {
        if (running_) emit note(QStringLiteral("message %1: ").arg(engine_.messagenumber()) + text);
    });
    connect(&deliverer_, &Deliverer::progress, this, [this] {
        if (running_) common::restartTimer(&timer_);
    });
}

void Download::start(const std::string &server) {
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
    engine_.implicittls = implicit;
    engine_.pinned = !fingerprint.empty();
    // MORRENT_DEADLINE_MS, for tests: the base of every deadline (a minute unless given).
    bool given = false;
    const int base = qEnvironmentVariableIntValue("MORRENT_DEADLINE_MS", &given);
    engine_.deadlineBase = given && base > 0 ? std::uint64_t(base) : Pop3Session().deadlineBase;
    engine_.resetsession();
    engine_.curserver = server;
    engine_.seenuids.clear();
    lockedout_ = false;
    running_ = true;
    common::restartTimer(&timer_);
    arm();
    if (!target) {
        apply(engine_.socketerror("\"" + server + "\" is not a server name or address"));
        return;
    }
    if (const common::Result<void> opened = openState(target->host, target->port); !opened) {
        apply(engine_.abandon(opened.why()));
        return;
    }
    s.RemoteHost = qtext(target->host);
    s.RemotePort = target->port;
    tls_ = common::Socket::TlsSettings();
    tls_.check.host = target->host;
    tls_.check.fingerprint = fingerprint;
    s.tlsOnConnect.reset();
    if (implicit) s.tlsOnConnect = tls_;
    s.Connect();
}

// The lock, and with deletion off the record, of the mailbox at host:port for the engine's login.
common::Result<void> Download::openState(const std::string &host, int port) {
    const std::string folder = statefolder.empty() ? morrent::statefolder() : statefolder;
    if (folder.empty())
        return common::fail("no folder for morrent's state: neither XDG_STATE_HOME nor HOME is set");
    if (common::Result<void> made = makestatefolder(folder); !made) return made;
    const std::string stem = folder + "/" + mailboxkey(engine_.curuser, host, port);
    if (common::Result<void> taken = lock_.take(stem + ".lock"); !taken) {
        lockedout_ = lock_.busy();
        return taken;
    }
    if (engine_.deleteafter) return {};
    if (common::Result<void> opened = record_.open(stem + ".uidl"); !opened) return opened;
    engine_.seenuids = record_.delivered();
    deliverer_.setrecord(&record_);
    return {};
}

// The session is over: the record forgets the ids no longer on the server, and the lock goes.
void Download::settle() {
    deliverer_.setrecord(nullptr);
    if (record_.isopen()) {
        const common::Result<void> closed =
            record_.close(engine_.uidsknown() ? &engine_.serveruids() : nullptr);
        if (!closed) emit note(qtext(closed.why()));
    }
    lock_.release();
}

void Download::disconnectnow() {
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

void Download::ondata(int index) {
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
    emit progress(p.delivered, p.messages, qint64(p.bytesdone), qint64(p.bytes));
}

void Download::ontimer() {
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
        line.field("number", engine_.messagenumber());
        if (!engine_.messageuid().empty()) line.field("uid", engine_.messageuid());
        line.field("outcome", "failed").field("reason", why);
    }
    return engine_.delivered(ok, why);
}

// Replies to pipelined commands wait in the engine while a message is out for delivery; beyond a
// bound the connection is not read, and the server is held back by TCP.
void Download::pace() {
    common::Socket &s = winsock_[0];
    const bool full = running_ && engine_.backlog() > 2 * Pop3Session::pipelinebytes;
    if (s.readPaused() != full) s.setReadPaused(full);
}

void Download::apply(Actions a) {
    common::Socket &s = winsock_[0];
    for (;;) {
        if (!a.status.empty()) emit status(qtext(a.status));
        if (!a.note.empty()) emit note(qtext(a.note));
        if (!a.send.empty() && !s.SendData(a.send) && !a.ended) {
            a = engine_.socketerror("cannot send to the server");
            continue;
        }
        if (a.ended) {
            if (a.close) s.Close();
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
            a = engine_.socketerror("TLS could not be started");
            continue;
        }
        if (a.close) s.Close();
        if (!a.deliver && !a.commit) break;
        early_.reset();
        asking_ = true;
        if (a.deliver) {
            emit delivering(engine_.message());
            deliverer_.deliver(engine_.message(), forward ? forward() : std::nullopt,
                               engine_.messageuid());
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
