// morrent: empties a POP3 mailbox into the local mail service.
//   morrent                                                     the window
//   morrent POPSERVER LOGIN PASSWORD DELETEFLAG [FORWARDADDRESS]  one download, no window
//   morrent --password-file FILE POPSERVER LOGIN DELETEFLAG [FORWARDADDRESS]
// From the command line the exit status tells how the download went: 0 when every message was
// delivered (and, with DELETEFLAG, deleted), 1 when it failed (the run's line on stderr says why:
// morrent: run server=... login=... outcome=failed reason="..."), 2 for
// a wrong count of arguments, a DELETEFLAG that is no whole number or a password file that cannot
// be used, 3 when another run is fetching the same mailbox. --help and --version alone print and end with 0.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "common/options.h"
#include "common/registry.h"
#include "common/signals.h"
#include "common/startup.h"
#include "morrent/cmdline.h"
#include "morrent/morrentwindow.h"

namespace {

void quiet(QtMsgType type, const QMessageLogContext &, const QString &text) {
    if (type == QtFatalMsg) common::flushLogLines();
    if (type == QtFatalMsg) std::fprintf(stderr, "morrent: %s\n", text.toLocal8Bit().constData());
}

void report(const QString &reason) {
    common::flushLogLines();
    std::fprintf(stderr, "morrent: %s\n", reason.toLocal8Bit().constData());
    std::fflush(stderr);
}

}  // namespace

int main(int argc, char **argv) {
    // ---- First of all, the password leaves the argument memory (ps, /proc/PID/cmdline) ----
    morrent::CommandLine line = morrent::takecommandline(argc, argv);
    // ----

    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "--version")) {
        std::fputs(std::string_view(argv[1]) == "--help"
                       ? morrent::helptext().c_str()
                       : common::versionText("morrent").c_str(),
                   stdout);
        return 0;
    }
    const morrent::StartMode mode = line.mode;
    // A download from the command line never shows anything, so it needs no display at all, and a
    // DISPLAY left over in a cron environment must not stop it. Its stderr is the one line that
    // says why it failed: Qt's own notes (no XDG_RUNTIME_DIR...) stay out of it.
    common::prepareProcess("morrent", mode != morrent::StartMode::window);
    if (mode == morrent::StartMode::wrongcount) {
        report(QString::fromStdString(line.reason));
        return line.status;
    }
    if (mode != morrent::StartMode::window) qInstallMessageHandler(quiet);

    // Qt is given no arguments: a password such as "-platform" is ours, not Qt's.
    int qtargc = 1;
    QApplication app(qtargc, argv);
    common::prepareApplication(QStringLiteral("morrent"));

    // What goes to stderr: --log-level, else the stored loglevel.
    {
        std::string level = line.loglevel;
        std::string where = "--log-level";
        if (level.empty()) {
            level = common::regread(QStringLiteral("HKLM\\SOFTWARE\\Tessaruno\\loglevel"))
                        .trimmed()
                        .toStdString();
            where = "registry value loglevel";
        }
        if (!level.empty()) {
            const auto parsed = common::parseLogLevel(level);
            if (!parsed) {
                report(QString::fromStdString(where + ": " + parsed.why()));
                return where == "--log-level" ? morrent::exitusage : morrent::exitfailed;
            }
            common::setLogLevel(*parsed);
        }
    }

    morrent::MorrentWindow window;
    int status = 0;
    bool over = false;
    QObject::connect(&window, &morrent::MorrentWindow::finished, &app,
                     [&](int code, const QString &) {
                         over = true;
                         status = code;
                         // The run's line in the log has said how it went, and why it failed.
                         QCoreApplication::exit(status);
                     });
    // SIGTERM and SIGINT: a download ends cleanly (what was delivered kept, nothing deleted that
    // was not); one past its last delivery is let finish, unless a second signal comes. From the
    // command line the download's end ends the program (finished); the window closes once no
    // download is left.
    common::SignalWatcher watcher;
    int stops = 0;
    QTimer closing;
    closing.setInterval(100);
    QObject::connect(&closing, &QTimer::timeout, &app, [&] {
        if (window.downloading()) return;
        window.close();
        QCoreApplication::quit();
    });
    QObject::connect(&watcher, &common::SignalWatcher::stop, &app, [&] {
        window.stop(++stops > 1);
        if (window.isVisible()) closing.start(0);
    });
    switch (window.load(std::move(line.pieces))) {
        case morrent::StartMode::window:
            window.show();
            return app.exec();
        case morrent::StartMode::wrongcount:  // decided above already
            return 2;
        case morrent::StartMode::commandline:
            break;
    }
    // A download that failed while starting (no maildrop, no such server) is over already.
    if (over) return status;
    return app.exec();
}
