#include "common/program.h"

#include <cstdio>

#include "common/startup.h"

namespace common {

Program::Program(const char *name, int argc, char **argv)
    : name_(name), argv_(argv), args_(argv + 1, argv + argc) {
    setLogProgram(name);
}

Program::~Program() {
    signals_.reset();
    app_.reset();
}

void Program::say(std::string_view line) const {
    flushLogLines();
    std::fprintf(stderr, "%s: %.*s\n", name_, int(line.size()), line.data());
    std::fflush(stderr);
}

std::nullopt_t Program::end(int *status, int code, const std::string &why) const {
    say(why);
    *status = code;
    return std::nullopt;
}

void Program::printHelp(const std::string &text) {
    std::fputs(text.c_str(), stdout);
}

QApplication &Program::start(bool headless) {
    prepareProcess(name_, headless);
    // Qt is given no arguments: an argument such as "-platform" is the program's, not Qt's.
    app_ = std::make_unique<QApplication>(qtArgc_, argv_);
    prepareApplication(QString::fromLatin1(name_));
    return *app_;
}

void Program::onStop(std::function<void()> stop) {
    if (!signals_) signals_ = std::make_unique<SignalWatcher>();
    QObject::connect(signals_.get(), &SignalWatcher::stop, app_.get(), std::move(stop));
}

void Program::reload(std::function<void()> fn) {
    if (!signals_) signals_ = std::make_unique<SignalWatcher>();
    QObject::connect(signals_.get(), &SignalWatcher::reload, app_.get(), std::move(fn));
}

int Program::exec() {
    return app_->exec();
}

}  // namespace common
