#include "common/program.h"

#include <cstdio>

#include <signal.h>

#include "common/notify.h"
#include "common/startup.h"

namespace common {

Program::Program(const char *name, int argc, char **argv)
    : name_(name), argv_(argv), args_(argv + 1, argv + argc) {
    setLogProgram(name);
}

Program::~Program() {
    statusTimer_.reset();
    notifier_.reset();
    signals_.reset();
    app_.reset();
}

void Program::say(std::string_view line) const {
    flushLogLines();
    const std::string prefix = linePrefix(LogLevel::error);
    std::fprintf(stderr, "%s%.*s\n", prefix.c_str(), int(line.size()), line.data());
    std::fflush(stderr);
}

std::nullopt_t Program::end(int *status, int code, const std::string &why) const {
    say(why);
    *status = code;
    return std::nullopt;
}

std::string Program::readConfig() {
    Result<ConfigText> text = readConfigFile(configFile_, storedNames_);
    if (!text) return text.why();
    problems_ = text->problems;
    const ConfigText where = *text;
    setStoredSource({[where](std::string_view name) { return where.where(name); }, true});
    useConfigValues(std::move(*text));
    return {};
}

bool Program::mentions(std::string_view line, std::string_view name) {
    const std::string lower = lowercase(line);
    for (std::size_t at = lower.find(name); at != std::string::npos; at = lower.find(name, at + 1)) {
        const std::size_t end = at + name.size();
        const bool before = at == 0 || !(isAsciiLetter(lower[at - 1]) || isAsciiDigit(lower[at - 1]));
        const bool after = end == lower.size() || !(isAsciiLetter(lower[end]) || isAsciiDigit(lower[end]));
        if (before && after) return true;
    }
    return false;
}

int Program::checkDone(const std::vector<std::string> &more) {
    // The file's problems in the order of its lines (the program's own checks of its values
    // too), then the rest.
    problems_.insert(problems_.end(), more.begin(), more.end());
    auto lineOf = [this](const std::string &p) {
        const std::string head = configFile_ + ":";
        if (configFile_.empty() || p.compare(0, head.size(), head) != 0) return 1 << 30;
        int n = 0;
        for (std::size_t i = head.size(); i < p.size() && isAsciiDigit(p[i]); ++i) n = n * 10 + (p[i] - '0');
        return n;
    };
    std::stable_sort(problems_.begin(), problems_.end(),
                     [&](const std::string &a, const std::string &b) { return lineOf(a) < lineOf(b); });
    flushLogLines();
    for (const std::string &p : problems_) std::fprintf(stderr, "%s: %s\n", name_, p.c_str());
    const std::string what = configFile_.empty() ? registryFilePath().toStdString() : configFile_;
    if (problems_.empty())
        std::printf("%s: %s: the settings are good\n", name_, what.c_str());
    else
        std::fprintf(stderr, "%s: %s: %zu problem%s\n", name_, what.c_str(), problems_.size(),
                     problems_.size() == 1 ? "" : "s");
    std::fflush(stdout);
    std::fflush(stderr);
    return problems_.empty() ? exitOk : exitFailed;
}

void Program::printHelp(const std::string &text) {
    std::fputs(text.c_str(), stdout);
}

QApplication &Program::start(bool headless) {
    prepareProcess(name_, headless);
    // Before anything listens: a service is sent such signals as soon as it is found running.
    ignoreOtherDaemonsSignals();
    // Qt is given no arguments: an argument such as "-platform" is the program's, not Qt's.
    app_ = std::make_unique<QApplication>(qtArgc_, argv_);
    prepareApplication(QString::fromLatin1(name_));
    notifier_ = std::make_unique<ServiceNotifier>();
    return *app_;
}

void Program::onStop(std::function<void()> stop) {
    if (!signals_) signals_ = std::make_unique<SignalWatcher>();
    QObject::connect(signals_.get(), &SignalWatcher::stop, app_.get(), [this, stop](int signo) {
        // A service's stop line: what was open when it was told to stop.
        if (figures_)
            LogLine(LogLevel::info, "stopping")
                .field("signal", signo == SIGINT ? "SIGINT" : "SIGTERM")
                .field("open", figures_().open);
        if (notifier_) notifier_->stopping();
        stop();
    });
}

void Program::ready(std::function<ServiceFigures()> figures) {
    figures_ = std::move(figures);
    if (!notifier_ || !notifier_->active()) return;
    if (figures_) {
        notifier_->status(serviceStatusText(figures_()));
        statusTimer_ = std::make_unique<QTimer>();
        statusTimer_->setInterval(2000);
        QObject::connect(statusTimer_.get(), &QTimer::timeout, [this] { showStatus(); });
        statusTimer_->start();
    }
    notifier_->ready();
}

void Program::showStatus() {
    if (notifier_ && figures_) notifier_->status(serviceStatusText(figures_()));
}

void Program::reloading() {
    if (notifier_) notifier_->reloading();
}

void Program::reloaded() {
    showStatus();
    if (notifier_) notifier_->ready();
}

void Program::reload(std::function<void()> fn) {
    if (!signals_) signals_ = std::make_unique<SignalWatcher>();
    QObject::connect(signals_.get(), &SignalWatcher::reload, app_.get(), std::move(fn));
}

int Program::exec() {
    return app_->exec();
}

}  // namespace common
