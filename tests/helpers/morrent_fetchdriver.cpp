// A command-line download over morrent's engine and deliverer, without the window: what the
// integration tests and the fetch benchmark (bench/fetch.py) run.
//
//   morrent_fetchdriver [--maildrop VALUE] [--localdomains LIST] [--status] [--show] SERVER LOGIN
//   PASSWORD DELETEFLAG [FORWARD]
//
// Exit status 0 when the session succeeded, 1 with one line on stderr when it failed, 2 for a wrong
// command line, 3 when another run is fetching the mailbox. Notes go to stderr as they come.
// --status prints each status line, --show the sender and subject of each message.
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <optional>
#include <string>

#include "common/socketarray.h"
#include "morrent/cmdline.h"
#include "morrent/deliverer.h"
#include "morrent/message.h"
#include "morrent/pop3session.h"

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QString maildrop;
    std::optional<std::string> localdomains;
    bool status = false;
    bool show = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--maildrop" && i + 1 < argc) {
            maildrop = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == "--localdomains" && i + 1 < argc) {
            localdomains = argv[++i];
        } else if (arg == "--status") {
            status = true;
        } else if (arg == "--show") {
            show = true;
        } else {
            args.push_back(arg);
        }
    }
    if (args.size() != 4 && args.size() != 5) {
        std::fprintf(stderr,
                     "usage: morrent_fetchdriver [--maildrop VALUE] [--localdomains LIST] "
                     "[--status] [--show] SERVER LOGIN PASSWORD DELETEFLAG [FORWARD]\n");
        return 2;
    }

    morrent::Pop3Session engine;
    engine.curuser = args[1];
    engine.curpass = args[2];
    const std::optional<int> flag = morrent::deleteFlag(args[3]);
    if (!flag) {
        std::fprintf(stderr, "morrent: %s\n", morrent::badDeleteFlagReason().c_str());
        return 2;
    }
    engine.deleteAfter = *flag == 1;

    morrent::Deliverer deliverer;
    QString why;
    if (!deliverer.configure(maildrop, &why)) {
        std::fprintf(stderr, "morrent: %s\n", why.toLocal8Bit().constData());
        return 1;
    }
    if (localdomains)
        deliverer.setLocal(morrent::parseLocalDomains(*localdomains), morrent::localAccount());
    common::SocketArray winsock(QStringLiteral("Winsock1"));
    QTimer timer;
    timer.setInterval(30000);
    morrent::Download download(engine, winsock, timer, deliverer);
    std::optional<std::string> forward;
    if (args.size() == 5) forward = args[4];
    download.forward = [&forward] { return forward; };

    if (status)
        QObject::connect(&download, &morrent::Download::status, [](const QString &text) {
            std::printf("%s\n", text.toLocal8Bit().constData());
            std::fflush(stdout);
        });
    if (show)
        QObject::connect(&download, &morrent::Download::delivering, [](std::string_view message) {
            morrent::MessageSummary summary = morrent::readMessage(message);
            std::printf("from: %s\nsubject: %s\n", summary.from.c_str(), summary.subject.c_str());
        });
    int exitcode = 0;
    QObject::connect(&download, &morrent::Download::note, [](const QString &text) {
        std::fprintf(stderr, "morrent: %s\n", text.toLocal8Bit().constData());
    });
    QObject::connect(&download, &morrent::Download::ended, [&](bool ok, const QString &reason) {
        if (!ok) std::fprintf(stderr, "morrent: %s\n", reason.toLocal8Bit().constData());
        exitcode = ok ? 0 : download.lockedOut() ? 3 : 1;
        QCoreApplication::exit(exitcode);
    });
    QTimer::singleShot(0, [&] { download.start(args[0]); });
    app.exec();
    return exitcode;
}
