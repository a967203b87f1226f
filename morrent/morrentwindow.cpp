#include "morrent/morrentwindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QHeaderView>
#include <QTableWidget>
#include <QTimer>
#include <ctime>
#include <optional>

#include "common/controls.h"
#include "common/log.h"
#include "common/registry.h"
#include "common/tls.h"
#include "morrent/message.h"
#include "morrent/runhistory.h"

namespace morrent {

namespace {

const QString key = QStringLiteral("HKLM\\SOFTWARE\\Tessaruno\\");

QString readValue(const char *name) {
    return common::regread(key + QLatin1String(name));
}
void storeValue(const char *name, const QString &value) {
    common::regwrite_sz(key + QLatin1String(name), value);
}

QString usageText() {
    return QStringLiteral(
               "This Software supports CommandLine Arguments as well\r\n"
               "\r\n") +
           QLatin1String(usageLine) + QStringLiteral("\r\n") + QLatin1String(passwordFileUsage) +
           QStringLiteral(
               "\r\n"
               "\r\n"
               "for example:\r\n"
               "morrent pop.example.org jdoe Secret7 1 office@example.org \r\n"
               "morrent pop.example.org jdoe Secret7 0 office@example.org \r\n"
               "morrent pop.example.org jdoe Secret7 1 \r\n"
               "morrent --password-file /home/jdoe/.popsecret pop.example.org jdoe 0\r\n"
               "\r\n"
               "It also runs from cron, and as the service morrent@NAME.timer (see man morrent).");
}

int interval() {
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("MORRENT_TIMER_MS", &ok);
    return ok && ms > 0 ? ms : MorrentWindow::timerInterval;
}

}  // namespace

MorrentWindow::MorrentWindow(QWidget *parent)
    : QWidget(parent), Timer1(new QTimer(this)), download_(session_, winsock1_, *Timer1, deliverer_) {
    common::name(this, "morrent");
    setWindowTitle(QStringLiteral("MORRENT"));
    buildControls();

    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(interval());
    download_.forward = [this]() -> std::optional<std::string> {
        if (!forward_) return std::nullopt;
        return textOf(sendto);
    };
    connect(&download_, &Download::status, this,
            [this](const QString &text) { Text1->setText(text); });
    connect(&download_, &Download::delivering, this, &MorrentWindow::showMessage);
    connect(&download_, &Download::progress, this, &MorrentWindow::showProgress);
    // A remark that does not fail the download but wants the admin's eye (mail not sent to an
    // outside address, a server without unique ids): logged whatever the level, so that from cron
    // it goes where cron sends stderr, and shown in the window.
    connect(&download_, &Download::note, this, [this](const QString &text) {
        if (!cmdline_) Text1->setText(text);
        common::LogLine(common::LogLevel::error, "note")
            .field("server", session_.curserver)
            .field("login", session_.curuser)
            .field("text", text.toStdString());
    });
    connect(&download_, &Download::ended, this, &MorrentWindow::onEnded);
}

MorrentWindow::~MorrentWindow() {
    download_.disconnect(this);
    if (download_.running()) download_.disconnectNow();
    if (winsock1_[0].State() != common::Socket::sckClosed) winsock1_[0].Close();
}

void MorrentWindow::buildControls() {
    // Created in tab order: the focus chain follows creation.
    Command1 = common::make<QPushButton>(this, "Command1", "Download Now", 5520, 480, 2295, 375);
    Text1 = common::make<QLineEdit>(this, "Text1", "", 120, 1680, 3735, 375, "Status");
    server = common::make<QLineEdit>(this, "server", "Server", 1320, 120, 2535, 285, "POP3 server");
    userlogin =
        common::make<QLineEdit>(this, "userlogin", "Username", 1320, 480, 2535, 285, "User name");
    loginpassword = common::make<QLineEdit>(this, "loginpassword", "Password", 1320, 840, 2535, 285,
                                            "Password");
    loginpassword->setEchoMode(QLineEdit::Password);
    sendto = common::make<QLineEdit>(this, "sendto", "Send email To", 1320, 1200, 2535, 285,
                                     "Forward address");
    Check1 = new QCheckBox(QStringLiteral("Delete Emails from Server after download"), this);
    common::place(Check1, "Check1", 3960, 120, 3735, 255);
    subject = common::make<QLineEdit>(this, "subject", "", 120, 2640, 8895, 375, "Subject");
    from = common::make<QLineEdit>(this, "from", "", 120, 2160, 8895, 375, "Sender");
    body = new QPlainTextEdit(this);
    common::place(body, "body", 120, 3120, 8895, 3255);
    body->setAccessibleName(QStringLiteral("Message text"));
    body->setLineWrapMode(QPlainTextEdit::NoWrap);
    body->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    body->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Command2 = common::make<QPushButton>(this, "Command2", "disconnect now", 5520, 960, 2295, 375);
    Label1 = common::make<QLabel>(this, "Label1", "POP3 Server", 120, 120, 1095, 255);
    Label2 = common::make<QLabel>(this, "Label2", "UserName", 120, 480, 1095, 255);
    Label3 = common::make<QLabel>(this, "Label3", "Password", 120, 840, 1095, 255);
    Label4 = common::make<QLabel>(this, "Label4", "send To", 120, 1200, 855, 255);
    readme = common::make<QLabel>(this, "readme", "", 120, 6480, 8895, 2415);
    readme->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    readme->setWordWrap(true);
    // Beside the status line, in the room the design leaves there.
    progress = new QProgressBar(this);
    common::place(progress, "progress", 3960, 1680, 5055, 375);
    progress->setAccessibleName(QStringLiteral("Download progress"));
    progress->setRange(0, 1000);
    progress->setTextVisible(true);
    progress->hide();

    // The runs kept in the state folder, newest first, beside the rest.
    Label5 = common::make<QLabel>(this, "Label5", "Runs", 9120, 120, 1095, 255);
    history = new QTableWidget(0, 7, this);
    common::place(history, "history", 9120, 480, 4800, 8415);
    history->setAccessibleName(QStringLiteral("Run history"));
    history->setHorizontalHeaderLabels({QStringLiteral("time"), QStringLiteral("server"), QStringLiteral("login"),
                                        QStringLiteral("new"), QStringLiteral("delivered"),
                                        QStringLiteral("deleted"), QStringLiteral("outcome")});
    history->verticalHeader()->hide();
    history->setEditTriggers(QAbstractItemView::NoEditTriggers);
    history->setSelectionBehavior(QAbstractItemView::SelectRows);
    history->setWordWrap(false);
    history->horizontalHeader()->setStretchLastSection(true);
    common::setPlaceholder(history, QStringLiteral("no runs yet"));

    // Shown, not typed into.
    for (QLineEdit *shown : {Text1, subject, from}) shown->setReadOnly(true);
    body->setReadOnly(true);

    // Each box says what it holds.
    Text1->setPlaceholderText(QStringLiteral("status"));
    from->setPlaceholderText(QStringLiteral("sender of the last message"));
    subject->setPlaceholderText(QStringLiteral("its subject"));
    body->setPlaceholderText(QStringLiteral("its text"));
    resize(common::twipsToPixels(14040), common::twipsToPixels(9135));
    common::fitCaptions(this);

    connect(Command1, &QPushButton::clicked, this, &MorrentWindow::downloadNow);
    connect(Command2, &QPushButton::clicked, this, &MorrentWindow::closesession);
    connect(Check1, &QCheckBox::toggled, this, &MorrentWindow::onCheck1);
}

std::string MorrentWindow::textOf(const QLineEdit *box) const {
    const QByteArray bytes = cmdline_ ? box->text().toLatin1() : box->text().toUtf8();
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

void MorrentWindow::setText(QLineEdit *box, const std::string &text) {
    box->setText(cmdline_ ? QString::fromLatin1(text.data(), qsizetype(text.size()))
                         : QString::fromUtf8(text.data(), qsizetype(text.size())));
}

StartMode MorrentWindow::load(const std::string &commandLine) {
    return load(splitArguments(commandLine));
}

StartMode MorrentWindow::load(std::vector<std::string> pieces) {
    cmdline_ = false;
    forward_ = true;
    const StartMode mode = startMode(pieces.size());

    if (mode == StartMode::window) {
        readme->setText(usageText());
        showHistory();
        server->setText(readValue("popserver"));
        userlogin->setText(readValue("popuser"));
        loginpassword->setText(readValue("poppasswd"));
        sendto->setText(readValue("popmapping"));
        // Checking the box runs its change handler, which stores the value again.
        Check1->setChecked(storedDeleteFlag(readValue("deletepopmails").toStdString()) == 1);
        return mode;
    }

    // Whatever the count, this window is never shown from here on.
    hide();
    setWindowState(Qt::WindowNoState);
    if (mode == StartMode::wrongCount) {
        reason_ = QString::fromStdString(wrongCountReason(pieces.size()));
        return mode;
    }
    const std::optional<int> flag = deleteFlag(pieces[3]);
    if (!flag) {
        reason_ = QString::fromStdString(badDeleteFlagReason());
        return StartMode::wrongCount;
    }

    cmdline_ = true;
    forward_ = pieces.size() == 5;
    setText(server, pieces[0]);
    setText(userlogin, pieces[1]);
    setText(loginpassword, pieces[2]);
    Check1->setChecked(*flag == 1);
    if (forward_) setText(sendto, pieces[4]);
    downloadNow();
    return mode;
}

void MorrentWindow::downloadNow() {
    session_.curuser = textOf(userlogin);
    session_.curserver = textOf(server);
    session_.curpass = textOf(loginpassword);
    if (!cmdline_) {
        storeValue("popuser", userlogin->text());
        storeValue("popserver", server->text());
        storeValue("poppasswd", loginpassword->text());
        storeValue("popmapping", sendto->text());
    }

    runClock_.start();
    Text1->clear();
    subject->clear();
    body->clear();
    from->clear();

    // Where the messages go is read afresh at every download.
    // Under a service's account an empty value is the local mail service: a pickup folder there
    // is read by no one.
    const std::string account = localAccount();
    QString maildrop = readValue("maildrop");
    if (maildrop.trimmed().isEmpty() && account.empty()) maildrop = QString::fromLatin1(serviceMaildrop);
    QString why;
    if (!deliverer_.configure(maildrop, &why)) {
        if (winsock1_[0].State() != common::Socket::sckClosed) winsock1_[0].Close();
        fail(why);
        return;
    }
    // How the connection is secured, read afresh too.
    const QString tls = readValue("poptls").trimmed().toLower();
    if (tls.isEmpty() || tls == QLatin1String("auto")) {
        session_.poptls = PopTls::automatic;
    } else if (tls == QLatin1String("require")) {
        session_.poptls = PopTls::require;
    } else if (tls == QLatin1String("off")) {
        session_.poptls = PopTls::off;
    } else {
        fail(QString::fromStdString(storedProblem("poptls", "not auto, require or off: " + tls.toStdString())));
        return;
    }
    // How to log in, and where the password comes from: --password-command, else the stored
    // passwordcommand, else the box.
    const common::Result<PopAuth> auth = parsePopAuth(readValue("popauth").toStdString());
    if (!auth) {
        fail(QString::fromStdString(storedProblem("popauth", auth.why())));
        return;
    }
    session_.popauth = *auth;
    const std::string command =
        !passwordCommand_.empty() ? passwordCommand_ : readValue("passwordcommand").toStdString();
    const common::Result<std::vector<std::string>> words = splitPasswordCommand(command);
    if (!words) {
        fail(QString::fromStdString(words.why()));
        return;
    }
    download_.passwordCommand = *words;
    session_.tokenGiven = !words->empty();
    if (session_.tokenGiven) session_.curpass.clear();
    // MORRENT_COMMAND_MS, for tests: the password command's deadline (30 seconds unless given).
    bool given = false;
    const int commandMs = qEnvironmentVariableIntValue("MORRENT_COMMAND_MS", &given);
    download_.passwordDeadline = given && commandMs > 0 ? commandMs : 30000;
    const QString pin = readValue("tlsfingerprint").trimmed();
    download_.fingerprint = common::normaliseFingerprint(pin.toStdString());
    if (!pin.isEmpty() && download_.fingerprint.empty()) {
        fail(QString::fromStdString(storedProblem("tlsfingerprint", "not a SHA-256 fingerprint: " + pin.toStdString())));
        return;
    }
    const std::string local = readValue("localdomains").toStdString();
    std::vector<std::string> domains = local.empty() ? systemLocalDomains() : parseLocalDomains(local);
    if (!forward_) {
        if (const std::string none = noLocalRecipient(deliverer_.maildrop(), domains, account); !none.empty()) {
            fail(QString::fromStdString(none), common::LogLevel::warning);
            return;
        }
    }
    deliverer_.setLocal(std::move(domains), account);
    Command1->setEnabled(false);
    shownAt_ = -1;
    progress->show();
    showProgress(0, 0, 0, 0);
    // Closes a connection left open, starts a fresh session and a full inactivity interval.
    download_.start(session_.curserver);
}

void MorrentWindow::closesession() {
    if (download_.running()) {
        download_.disconnectNow();  // ends the session: onEnded follows at once
        return;
    }
    if (winsock1_[0].State() != common::Socket::sckClosed) winsock1_[0].Close();
    Command1->setEnabled(true);
}

void MorrentWindow::stop(bool now) {
    download_.stop(now);
}

void MorrentWindow::onCheck1(bool checked) {
    session_.deleteAfter = checked;
    storeValue("deletepopmails", checked ? QStringLiteral("1") : QStringLiteral("0"));
}

void MorrentWindow::showMessage(std::string_view message) {
    if (cmdline_) return;
    const MessageSummary summary = readMessage(message);
    auto utf8 = [](const std::string &s) {
        return QString::fromUtf8(s.data(), qsizetype(s.size()));
    };
    from->setText(utf8(summary.from));
    subject->setText(utf8(summary.subject));
    body->setPlainText(utf8(summary.body));
}

// "3 of 12 messages, 0.2 of 1.4 MB". The bar moves by bytes when the listing gave sizes.
void MorrentWindow::showProgress(int delivered, int messages, qint64 bytesDone, qint64 bytes) {
    static QElapsedTimer clock;
    if (!clock.isValid()) clock.start();
    const qint64 now = clock.elapsed();
    // Ten times a second is enough for the eye; the last step always shows.
    if (shownAt_ >= 0 && now - shownAt_ < 100 && delivered < messages) return;
    shownAt_ = now;
    const double share = bytes > 0      ? double(bytesDone) / double(bytes)
                         : messages > 0 ? double(delivered) / double(messages)
                                        : 0.0;
    const QString mb = QStringLiteral("%1 of %2 MB")
                           .arg(double(bytesDone) / 1e6, 0, 'f', 1)
                           .arg(double(bytes) / 1e6, 0, 'f', 1);
    progress->setFormat(QStringLiteral("%1 of %2 messages, %3").arg(delivered).arg(messages).arg(mb));
    progress->setValue(int(share * 1000.0));
}

void MorrentWindow::onEnded(bool ok, const QString &reason) {
    Command1->setEnabled(true);
    progress->hide();
    // The status line keeps the result until the next download.
    const QString summary = QString::fromStdString(session_.summary());
    if (ok)
        Text1->setText(summary);
    else if (session_.deliveredCount() > 0)
        Text1->setText(reason + QStringLiteral(" (") + summary + QLatin1Char(')'));
    else
        Text1->setText(reason);
    if (winsock1_[0].State() != common::Socket::sckClosed) winsock1_[0].Close();
    logRun(ok ? "ok" : download_.lockedOut() ? "busy" : "failed", reason, !download_.lockedOut());
    if (!cmdline_ || over_) return;
    over_ = true;
    reason_ = reason;
    emit finished(ok ? exitDelivered : download_.lockedOut() ? exitBusy : exitFailed, reason);
}

void MorrentWindow::fail(const QString &why, common::LogLevel level) {
    Text1->setText(why);
    Command1->setEnabled(true);
    logRun("failed", why, false, level);
    if (!cmdline_ || over_) return;
    over_ = true;
    reason_ = why;
    emit finished(exitFailed, why);
}

// morrent: run server=pop.example.org login=jdoe tls=yes new=12 delivered=12 deleted=12 outcome=ok
void MorrentWindow::logRun(const char *outcome, const QString &reason, bool started,
                           common::LogLevel failed) {
    const bool ok = std::string_view(outcome) == "ok";
    record(outcome, reason, started);
    const common::LogLevel level = ok ? common::LogLevel::info : failed;
    if (!common::logs(level)) return;
    common::LogLine line(level, "run");
    line.field("server", session_.curserver).field("login", session_.curuser);
    line.field("tls", started && session_.encrypted() ? "yes" : "no");
    line.field("new", started ? session_.progress().messages : 0);
    line.field("delivered", started ? session_.deliveredCount() : 0);
    line.field("deleted", started ? session_.deletedCount() : 0);
    line.field("outcome", outcome);
    line.field("ms", runClock_.isValid() ? runClock_.elapsed() : 0);
    if (!ok) line.field("reason", reason.toStdString());
}

// The run in the state folder's history, and at the top of the window's.
void MorrentWindow::record(const char *outcome, const QString &reason, bool started) {
    RunRecord run;
    run.time = utcTime(std::time(nullptr));
    run.server = session_.curserver;
    run.login = session_.curuser;
    run.found = started ? session_.progress().messages : 0;
    run.delivered = started ? session_.deliveredCount() : 0;
    run.deleted = started ? session_.deletedCount() : 0;
    const std::string how(outcome);
    run.outcome = how == "ok" || how == "busy" ? how : reason.toStdString();
    if (run.outcome.empty()) run.outcome = "failed";
    const std::string folder = download_.stateFolder.empty() ? stateFolder() : download_.stateFolder;
    // A run that failed has said what is wrong already, most likely with the state folder too.
    if (const common::Result<void> kept = appendRun(folder, run); !kept && run.outcome == "ok")
        common::LogLine(common::LogLevel::warning, "history").field("outcome", "not kept").field("reason", kept.why());
    if (cmdline_) return;
    showRun(run);
    history->resizeColumnsToContents();
}

void MorrentWindow::showHistory() {
    history->setRowCount(0);
    const std::string folder = download_.stateFolder.empty() ? stateFolder() : download_.stateFolder;
    const common::Result<std::vector<RunRecord>> runs = readHistory(folder);
    if (!runs) return;
    for (const RunRecord &run : *runs) showRun(run);
    history->resizeColumnsToContents();
}

// A row at the top (newest first); the rows beyond the history's bound go.
void MorrentWindow::showRun(const RunRecord &run) {
    history->insertRow(0);
    auto text = [](const std::string &s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); };
    const QString cells[] = {text(run.time),
                             text(run.server),
                             text(run.login),
                             QString::number(run.found),
                             QString::number(run.delivered),
                             QString::number(run.deleted),
                             text(run.outcome)};
    for (int column = 0; column < 7; ++column) {
        auto *item = new QTableWidgetItem(cells[column]);
        if (column >= 3 && column <= 5) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        if (column == 6) item->setToolTip(cells[column]);
        history->setItem(0, column, item);
    }
    while (history->rowCount() > int(historyLimit)) history->removeRow(history->rowCount() - 1);
}

void MorrentWindow::closeEvent(QCloseEvent *event) {
    if (download_.running()) download_.disconnectNow();
    if (winsock1_[0].State() != common::Socket::sckClosed) winsock1_[0].Close();
    event->accept();
}

}  // namespace morrent
