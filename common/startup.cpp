#include "common/startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <csignal>

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

void prepareProcess(bool headless) {
    openStandardDescriptors();
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    else
        selectPlatform();
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
}

void prepareApplication(const QString &name) {
    QApplication::setApplicationName(name);
    setLogProgram(name.toStdString());
    applyDesignFont();
}

}  // namespace common
