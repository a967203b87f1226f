// morrent: empties a POP3 mailbox into the local mail service.
//   morrent                                                     the window
//   morrent POPSERVER LOGIN PASSWORD DELETEFLAG [FORWARDADDRESS]  one download, no window
//   morrent --password-file FILE POPSERVER LOGIN DELETEFLAG [FORWARDADDRESS]
//   morrent --password-command CMD POPSERVER LOGIN DELETEFLAG [FORWARDADDRESS]
// From the command line the exit status tells how the download went: 0 when every message was
// delivered (and, with DELETEFLAG, deleted), 1 when it failed (the run's line on stderr says why:
// morrent: run server=... login=... outcome=failed reason="..."), 2 for
// a wrong count of arguments, a DELETEFLAG that is no whole number or a password file that cannot
// be used, 3 when another run is fetching the same mailbox. --help and --version alone print and end with 0.
// --check-config first on any of these lines reads the settings as that start would and ends
// with 0 when they are good, 1 after a line for each problem; --config FILE there reads the
// settings from FILE instead of the per-user store. --history alone prints the runs kept.
#include <QApplication>
#include <QTimer>
#include <cstdio>

#include "common/log.h"
#include "common/program.h"
#include "common/registry.h"
#include "common/tls.h"
#include "morrent/cmdline.h"
#include "morrent/delivery.h"
#include "morrent/morrentwindow.h"
#include "morrent/pop3session.h"
#include "morrent/runhistory.h"
#include "morrent/mailboxstate.h"

namespace {

// --check-config: what a download would refuse, before it connects, with these settings.
std::vector<std::string> checkSettings(const morrent::CommandLine &line) {
    std::vector<std::string> problems;
    if (line.mode == morrent::StartMode::wrongCount) problems.push_back(line.reason);
    auto stored = [](const char *name) { return std::string(common::trimBlanks(common::registryValue(name))); };
    const std::string account = morrent::localAccount();
    std::string maildrop = stored("maildrop");
    if (maildrop.empty() && account.empty()) maildrop = morrent::serviceMaildrop;
    const common::Result<morrent::Maildrop> drop = morrent::parseMaildrop(maildrop);
    if (!drop) problems.push_back(morrent::storedProblem("maildrop", drop.why()));
    const std::string tls = stored("poptls");
    if (!tls.empty() && !common::equalNoCase(tls, "auto") && !common::equalNoCase(tls, "require") &&
        !common::equalNoCase(tls, "off"))
        problems.push_back(morrent::storedProblem("poptls", "not auto, require or off: " + tls));
    if (const auto auth = morrent::parsePopAuth(stored("popauth")); !auth)
        problems.push_back(morrent::storedProblem("popauth", auth.why()));
    const std::string command = !line.passwordCommand.empty() ? line.passwordCommand : stored("passwordcommand");
    if (const auto words = morrent::splitPasswordCommand(command); !words) problems.push_back(words.why());
    const std::string pin = stored("tlsfingerprint");
    if (!pin.empty() && common::normaliseFingerprint(pin).empty())
        problems.push_back(morrent::storedProblem("tlsfingerprint", "not a SHA-256 fingerprint: " + pin));
    // A download without a forward address must have someone to mail to.
    if (drop && line.mode == morrent::StartMode::commandLine && line.pieces.size() == 4) {
        const std::string local = stored("localdomains");
        const std::string none = morrent::noLocalRecipient(
            *drop, local.empty() ? morrent::systemLocalDomains() : morrent::parseLocalDomains(local), account);
        if (!none.empty()) problems.push_back(none);
    }
    return problems;
}

// --history: the runs kept in the state folder, as a table on stdout.
int printHistory(const common::Program &program) {
    const std::string folder = morrent::stateFolder();
    if (folder.empty()) {
        program.say("no state folder: neither XDG_STATE_HOME nor HOME is set");
        return common::exitFailed;
    }
    const common::Result<std::vector<morrent::RunRecord>> runs = morrent::readHistory(folder);
    if (!runs) {
        program.say(runs.why());
        return common::exitFailed;
    }
    if (runs->empty())
        std::printf("no runs recorded yet in %s\n", morrent::historyPath(folder).c_str());
    else
        std::fputs(morrent::historyTable(*runs).c_str(), stdout);
    std::fflush(stdout);
    return common::exitOk;
}

// A download from the command line: its stderr is the one line that says why it failed, so Qt's
// own notes (no XDG_RUNTIME_DIR...) stay out of it.
void quiet(QtMsgType type, const QMessageLogContext &, const QString &text) {
    if (type != QtFatalMsg) return;
    common::flushLogLines();
    std::fprintf(stderr, "morrent: %s\n", text.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char **argv) {
    // First of all, the password leaves the argument memory (ps, /proc/PID/cmdline): the frame
    // sees the arguments only after that, and the command line is read from what was taken here.
    morrent::CommandLine line = morrent::takeCommandLine(argc, argv);

    common::Program program("morrent", argc, argv);
    program.pointToHelp(false);  // every line about the command line shows the usage itself
    program.setStoredNames(morrent::storedNames());
    int status = common::exitOk;
    const std::optional<morrent::Options> options = program.options<morrent::Options>(
        [&line](const std::vector<std::string> &arguments, const morrent::StoredValue &stored) {
            return morrent::parseOptions(line, arguments, stored);
        },
        morrent::helpText, &status);
    if (!options) return status;
    if (options->checkConfig) return program.checkDone(checkSettings(line));
    if (options->history) return printHistory(program);

    // A download from the command line never shows anything, so it needs no display at all, and a
    // DISPLAY left over in a cron environment must not stop it.
    const bool window = line.mode == morrent::StartMode::window;
    if (!window) qInstallMessageHandler(quiet);
    QApplication &app = program.start(!window);

    morrent::MorrentWindow morrent;
    bool over = false;
    QObject::connect(&morrent, &morrent::MorrentWindow::finished, &app, [&](int code, const QString &) {
        over = true;
        status = code;
        // The run's line in the log has said how it went, and why it failed.
        QCoreApplication::exit(status);
    });
    // SIGTERM and SIGINT: a download ends cleanly (what was delivered kept, nothing deleted that
    // was not); one past its last delivery is let finish, unless a second signal comes. From the
    // command line the download's end ends the program (finished); the window closes once no
    // download is left.
    int stops = 0;
    QTimer closing;
    closing.setInterval(100);
    QObject::connect(&closing, &QTimer::timeout, &app, [&] {
        if (morrent.downloading()) return;
        morrent.close();
        QCoreApplication::quit();
    });
    program.onStop([&] {
        morrent.stop(++stops > 1);
        if (morrent.isVisible()) closing.start(0);
    });
    morrent.usePasswordCommand(line.passwordCommand);
    switch (morrent.load(std::move(line.pieces))) {
        case morrent::StartMode::window:
            morrent.show();
            return program.exec();
        case morrent::StartMode::wrongCount:  // the frame has ended the program already
            return common::exitUsage;
        case morrent::StartMode::commandLine:
            break;
    }
    // A download that failed while starting (no maildrop, no such server) is over already.
    if (over) return status;
    return program.exec();
}
