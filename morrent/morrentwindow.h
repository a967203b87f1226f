// The morrent window: the POP3 server, login, password and forward address, the delete switch,
// "Download Now" and "disconnect now", the status line (which keeps the last download's result), a
// progress bar while a download goes on, the last delivered message, and beside them the runs kept
// in the state folder's history (newest first; each run adds its own).
//
// Started without arguments it shows the settings stored at the last download. Started with a
// command line of four or five pieces it takes the settings from there, downloads at once without
// ever showing itself and reports the outcome through finished(); any other count ends at once.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QWidget>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/socketarray.h"
#include "morrent/cmdline.h"
#include "morrent/deliverer.h"
#include "morrent/pop3session.h"
#include "morrent/runhistory.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTimer;

namespace morrent {

class MorrentWindow : public QWidget {
    Q_OBJECT
public:
    // The inactivity interval; MORRENT_TIMER_MS overrides it (tests use a short one).
    static constexpr int timerInterval = 30000;

    explicit MorrentWindow(QWidget *parent = nullptr);
    ~MorrentWindow() override;

    // Start-up with the command line (the arguments joined by blanks). In window mode the stored
    // settings are shown and the caller shows the window; in command-line mode the download has
    // started (or has already failed, see finished()); with a wrong count nothing was touched and
    // the caller ends the program with reason().
    StartMode load(const std::string &commandLine);
    // The same with the command line already in pieces (a password from a file may hold blanks).
    StartMode load(std::vector<std::string> pieces);
    // --password-command CMD: the password comes from CMD, whatever is stored.
    void usePasswordCommand(std::string command) { passwordCommand_ = std::move(command); }
    // Why the program ends: the wrong count of arguments, or the failed download.
    const QString &reason() const { return reason_; }

    // "Download Now".
    void downloadNow();
    // "disconnect now", the inactivity timer and the end of a session all end up here.
    void closesession();
    // SIGTERM or SIGINT: see Download::stop. Once the download is over the program may end.
    void stop(bool now);
    bool downloading() const { return download_.running(); }

    // What the tests and the shell may read; the controls are found by their objectName.
    const Pop3Session &session() const { return session_; }
    const common::SocketArray &Winsock1() const { return winsock1_; }
    bool cmdline() const { return cmdline_; }
    bool forward() const { return forward_; }

signals:
    // Command-line mode only: the download is over (or could not start). `status` is the exit
    // status (ExitStatus): 0 only when every message was delivered (and, when asked, deleted on the
    // server).
    void finished(int status, const QString &reason);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // Controls, by their design names, in tab order.
    QPushButton *Command1;
    QLineEdit *Text1, *server, *userlogin, *loginpassword, *sendto;
    QCheckBox *Check1;
    QLineEdit *subject, *from;
    QPlainTextEdit *body;
    QPushButton *Command2;
    QLabel *Label1, *Label2, *Label3, *Label4, *readme, *Label5;
    QTableWidget *history;
    // The download under way: the session's messages and their bytes; shown only meanwhile.
    QProgressBar *progress;
    QTimer *Timer1;
    common::SocketArray winsock1_{QStringLiteral("Winsock1")};

    bool cmdline_ = false;  // command-line mode: nothing shown, nothing but the delete flag stored
    bool forward_ = true;   // replace each message's To with the text of sendto
    Pop3Session session_;
    std::string passwordCommand_;  // --password-command, for this run

    void buildControls();
    void onCheck1(bool checked);
    void onEnded(bool ok, const QString &reason);
    void showMessage(std::string_view message);
    void showProgress(int delivered, int messages, qint64 bytesDone, qint64 bytes);
    // A failure before or during a download: its line is an error unless `level` says otherwise.
    void fail(const QString &why, common::LogLevel level = common::LogLevel::error);
    // The run's line in the log; `started` when a session ran (its counts are this run's).
    void logRun(const char *outcome, const QString &reason, bool started,
                common::LogLevel failed = common::LogLevel::error);
    // The run in the history file, and in the window's.
    void record(const char *outcome, const QString &reason, bool started);
    void showHistory();
    void showRun(const RunRecord &run);
    // Box texts as bytes: a command line's bytes pass unchanged, typed text is UTF-8.
    std::string textOf(const QLineEdit *box) const;
    void setText(QLineEdit *box, const std::string &text);

    Deliverer deliverer_;
    Download download_;
    QString reason_;
    bool over_ = false;  // command-line mode: finished() has been emitted
    qint64 shownAt_ = -1;  // when the progress bar last changed (ms on a monotonic clock)
    QElapsedTimer runClock_;  // since "Download Now"
};

}  // namespace morrent
