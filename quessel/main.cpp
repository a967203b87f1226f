// quessel: a POP3 proxy that routes each login (USERNAME|SERVER) to its server.
#include "common/program.h"
#include "common/startup.h"
#include "quessel/frmmain.h"
#include "quessel/options.h"
#include "quessel/sessionwindow.h"

int main(int argc, char *argv[]) {
    common::Program program("quessel", argc, argv);
    int status = common::exitOk;
    const std::optional<quessel::Options> options =
        program.options<quessel::Options>(quessel::parseOptions, quessel::usage, &status);
    if (!options) return status;
    program.start();

    // The main window: it opens the information window and the session window, which listens.
    quessel::FrmMain window(*options);
    window.show();
    // Without a display nobody sees the status bar: a listener that cannot be had ends the
    // program, so that a service manager sees the failure (the reason is on stderr already).
    if (common::headless() && !(window.session() && window.session()->listening()))
        return common::exitFailed;

    program.onStop([&window] {
        window.close();
        QCoreApplication::quit();
    });
    // Open sessions go on; the new settings hold for the next ones.
    program.onReload<quessel::Options>(quessel::parseOptions, [&window](const quessel::Options &again) {
        if (quessel::SessionWindow *w = window.session()) w->apply(again);
    });
    return program.exec();
}
