#include "common/startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QPointer>
#include <QTimer>
#include <csignal>
#include <cstdlib>

#include "common/controls.h"
#include "common/log.h"
#include "common/socketarray.h"

namespace common {

namespace {
void openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) continue;
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}
}  // namespace

// Qt's own notes (no XDG_RUNTIME_DIR, what the offscreen platform cannot do) are noise on a
// server's stderr, where every line is an event: they show only in the debug log.
static void qtMessages(QtMsgType type, const QMessageLogContext &, const QString &text) {
    const bool serious = type == QtCriticalMsg || type == QtFatalMsg;
    if (!serious && !logs(LogLevel::debug)) return;
    LogLine(serious ? LogLevel::error : LogLevel::debug, "qt").field("message", text.toStdString());
}

void prepareProcess(const char *name, bool headless) {
    setLogProgram(name);
    openStandardDescriptors();
    qInstallMessageHandler(qtMessages);
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    else
        selectPlatform();
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    // Without a display nothing but the sockets and Qt's own descriptors wakes the loop: it
    // waits in the sockets' set.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform == "offscreen" || platform == "minimal") useLoopDispatcher();
}

void prepareApplication(const QString &name) {
    QApplication::setApplicationName(name);
    setLogProgram(name.toStdString());
    // A busy relay logs a line a request: lines go out together, 4 KiB at a time or 50 ms after
    // the first of them, and what is left at the exit.
    if (QCoreApplication *app = QCoreApplication::instance()) {
        auto *soon = new QTimer(app);
        soon->setSingleShot(true);
        soon->setInterval(50);
        QObject::connect(soon, &QTimer::timeout, [] { flushLogLines(); });
        gatherLogLines(true, [soon = QPointer<QTimer>(soon)] {
            if (soon && !soon->isActive()) soon->start();
        });
        std::atexit(flushLogLines);
    }
    // The program's own icon, built into it (:/icons).
    QIcon icon;
    for (const char *size : {"16", "32", "48", "256"})
        icon.addFile(QStringLiteral(":/icons/%1.png").arg(QLatin1String(size)));
    if (!icon.isNull()) QApplication::setWindowIcon(icon);
}

bool headless() {
    return QGuiApplication::platformName() == QLatin1String("offscreen") ||
           QGuiApplication::platformName() == QLatin1String("minimal");
}

}  // namespace common
