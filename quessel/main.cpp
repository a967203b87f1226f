// quessel: a POP3 proxy that routes each login (USERNAME|SERVER) to its server.
#include <QFile>

#include "common/program.h"
#include "common/startup.h"
#include "common/tls.h"
#include "quessel/frmmain.h"
#include "quessel/popmap.h"
#include "quessel/options.h"
#include "quessel/sessionwindow.h"

namespace {

// What a start would find besides the values: the certificate and its key, the routing map.
std::vector<std::string> checkFiles(const quessel::Options &o) {
    std::vector<std::string> problems;
    if (!o.tlsCert.empty()) {
        auto identity = common::TlsServerContext::load(o.tlsCert, o.tlsKey);
        if (!identity) problems.push_back(identity.why());
    }
    if (!o.mapFile.empty()) {
        QFile file(QString::fromStdString(o.mapFile));
        if (!file.open(QIODevice::ReadOnly)) {
            problems.push_back("the map " + o.mapFile + " cannot be read: " + file.errorString().toStdString());
        } else {
            const QByteArray text = file.readAll();
            auto map = quessel::PopMap::parse(std::string_view(text.constData(), std::size_t(text.size())));
            if (!map) problems.push_back("the map " + o.mapFile + ": " + map.why());
        }
    }
    return problems;
}

}  // namespace

int main(int argc, char *argv[]) {
    common::Program program("quessel", argc, argv);
    program.setStoredNames(quessel::storedNames());
    int status = common::exitOk;
    const std::optional<quessel::Options> options =
        program.options<quessel::Options>(quessel::parseOptions, quessel::usage, &status);
    if (!options) return status;
    if (options->checkConfig) return program.checkDone(checkFiles(*options));
    program.start();

    // The main window: it opens the information window and the session window, which listens.
    quessel::FrmMain window(*options);
    window.show();
    // Without a display nobody sees the status bar: a listener that cannot be had ends the
    // program, so that a service manager sees the failure (the reason is on stderr already).
    if (common::headless() && !(window.session() && window.session()->listening()))
        return common::exitFailed;
    if (window.session() && window.session()->listening())
        program.ready([&window] {
            quessel::SessionWindow *w = window.session();
            return w ? w->figures() : common::ServiceFigures{};
        });

    program.onStop([&window] {
        window.close();
        QCoreApplication::quit();
    });
    // Open sessions go on; the new settings hold for the next ones.
    program.onReload<quessel::Options>(quessel::parseOptions, [&window](const quessel::Options &again) {
        quessel::SessionWindow *w = window.session();
        return w ? w->apply(again) : common::ReloadOutcome{};
    });
    return program.exec();
}
