// The frame each program's main() runs in: the command line checked before anything starts (a
// wrong option ends with status 2, a wrong stored setting with 1, each with one line on stderr),
// --help and --version, the process prepared, the application made (Qt is given no arguments:
// the command line is the program's), and the service manager's signals turned into calls: stop
// (SIGTERM, SIGINT) and reload (SIGHUP, the settings read again as at the start). Each main()
// keeps only what is its own.
//
// The stored settings are the per-user store's, or, with --config FILE, that file's (the file is
// read again on SIGHUP and never written). --check-config reads them as a start would and prints
// each problem on a line of its own.
#pragma once

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/asciitext.h"
#include "common/conffile.h"
#include "common/log.h"
#include "common/options.h"
#include "common/registry.h"
#include "common/result.h"
#include "common/settings.h"
#include "common/servicestatus.h"
#include "common/signals.h"

namespace common {

// How a program ends when it is not its event loop that ends it.
enum ExitStatus : int {
    exitOk = 0,
    exitFailed = 1,  // a stored setting that is wrong; a service that cannot start
    exitUsage = 2,   // a wrong command line
};

class Program {
public:
    Program(const char *name, int argc, char **argv);
    ~Program();

    const std::vector<std::string> &args() const { return args_; }
    const char *name() const { return name_; }

    // The names a configuration file may set (the stored names the program reads); without
    // them any name is taken.
    void setStoredNames(std::vector<std::string> names) { storedNames_ = std::move(names); }

    // The program's options: the command line alone first, then with the stored values. nullopt
    // when the program ends here, with *status (help, version, or one line on stderr). With
    // --check-config the options come back when they can be read (with the wrong values left out,
    // which are remembered); the program then adds its own checks and ends with checkDone().
    template <class Options, class Parse, class Usage>
    std::optional<Options> options(Parse parse, Usage usage, int *status) {
        const Result<Options> given = parse(args_, StoredValue());
        if (!given) return end(status, exitUsage, given.why() + (pointToHelp_ ? " (see --help)" : ""));
        if (given->help || given->version) {
            printHelp(given->help ? usage() : versionText(name_));
            *status = exitOk;
            return std::nullopt;
        }
        if constexpr (requires { given->configFile; given->checkConfig; }) {
            configFile_ = given->configFile;
            checking_ = given->checkConfig;
        }
        if (!configFile_.empty()) {
            const std::string why = readConfig();
            if (!why.empty()) return end(status, exitFailed, why);
        } else if (const std::string why = registryFileProblem(); !why.empty()) {
            return end(status, exitFailed, why);
        }
        if (checking_) return check<Options>(parse, status);
        if (!problems_.empty()) return end(status, exitFailed, problems_.front());
        Result<Options> o = parse(args_, StoredValue(registryValue));
        if (!o) return end(status, exitFailed, o.why());
        setLogLevel(o->logLevel);
        return std::move(*o);
    }

    // The end of --check-config: the program's own problems (files it could not use) after those
    // the settings had; status 0 when there are none.
    int checkDone(const std::vector<std::string> &more = {});

    // A wrong command line's line ends with a pointer to --help, unless the program's own lines
    // show the usage already.
    void pointToHelp(bool on) { pointToHelp_ = on; }

    // Prepares the process and makes the application; headless: never a display.
    QApplication &start(bool headless = false);

    // SIGTERM and SIGINT: a "stopping" line (the signal, the connections open), STOPPING=1 to
    // the service manager, then `stop`.
    void onStop(std::function<void()> stop);

    // The service manager told that the program is ready (listening), and its figures from now on
    // (STATUS=, every two seconds while they change).
    void ready(std::function<ServiceFigures()> figures = {});
    // SIGHUP: the options read again as at the start; a wrong one keeps every setting as it was
    // (one line says why), good ones go to `apply`, which says what it could not change: the
    // line is then "reload outcome=partial kept=... reason=...", never ok.
    template <class Options, class Parse>
    void onReload(Parse parse, std::function<ReloadOutcome(const Options &)> apply) {
        reload([this, parse, apply] {
            reloading();
            struct Done {
                Program *p;
                ~Done() { p->reloaded(); }
            } done{this};
            if (!configFile_.empty()) {
                std::string why = readConfig();
                if (why.empty() && !problems_.empty()) why = problems_.front();
                if (!why.empty()) {
                    LogLine(LogLevel::error, "reload").field("outcome", "kept the settings").field("reason", why);
                    return;
                }
            }
            Result<Options> again = parse(args_, StoredValue(registryValue));
            if (!again) {
                LogLine(LogLevel::error, "reload").field("outcome", "kept the settings").field("reason", again.why());
                return;
            }
            setLogLevel(again->logLevel);
            const ReloadOutcome outcome = apply(*again);
            if (outcome.kept.empty()) {
                LogLine(LogLevel::info, "reload").field("outcome", "ok");
                return;
            }
            std::string kept;
            for (const std::string &k : outcome.kept) kept += (kept.empty() ? "" : ", ") + k;
            LogLine(LogLevel::warning, "reload")
                .field("outcome", "partial")
                .field("kept", kept)
                .field("reason", outcome.reason);
        });
    }

    int exec();
    // One line on stderr, after what the log gathered.
    void say(std::string_view line) const;

    using StoredValue = std::function<std::string(std::string_view)>;

private:
    // --check-config: every problem once, the first value to blame for each set aside in turn so
    // that the next one shows.
    template <class Options, class Parse>
    std::optional<Options> check(Parse parse, int *status) {
        std::vector<std::string> names;
        for (const std::string &n : storedNames_)
            if (!trimBlanks(registryValue(n)).empty()) names.push_back(n);
        std::vector<std::string> aside;
        auto without = [](std::vector<std::string> out) {
            return StoredValue([out](std::string_view n) {
                for (const std::string &o : out)
                    if (equalNoCase(o, n)) return std::string();
                return registryValue(n);
            });
        };
        Result<Options> o = parse(args_, without(aside));
        while (!o) {
            problems_.push_back(o.why());
            // The value the line names first; else one whose absence ends this failure without
            // making one of its own.
            std::vector<std::string> order;
            for (const std::string &n : names)
                if (mentions(o.why(), n)) order.insert(order.begin(), n);
                else order.push_back(n);
            bool found = false;
            for (const std::string &n : order) {
                if (std::find(aside.begin(), aside.end(), n) != aside.end()) continue;
                std::vector<std::string> more = aside;
                more.push_back(n);
                Result<Options> t = parse(args_, without(more));
                if (t || (t.why() != o.why() && !mentions(t.why(), n))) {
                    aside = std::move(more);
                    o = std::move(t);
                    found = true;
                    break;
                }
            }
            if (!found) break;
        }
        if (!o) {
            *status = checkDone();
            return std::nullopt;
        }
        // Good but for the values set aside: the program checks its files with the rest.
        return std::move(*o);
    }
    // Whether a problem's line names the stored value `name` (as a word).
    static bool mentions(std::string_view line, std::string_view name);
    // Reads the configuration file into the store's place; "" or why it cannot be read.
    std::string readConfig();
    std::nullopt_t end(int *status, int code, const std::string &why) const;
    static void printHelp(const std::string &text);
    void reload(std::function<void()> fn);
    void reloading();
    void reloaded();
    void showStatus();

    const char *name_;
    char **argv_;
    int qtArgc_ = 1;
    bool pointToHelp_ = true;
    std::vector<std::string> args_;
    std::vector<std::string> storedNames_;
    std::string configFile_;
    bool checking_ = false;
    std::vector<std::string> problems_;  // the configuration file's
    std::unique_ptr<QApplication> app_;
    std::unique_ptr<SignalWatcher> signals_;
    std::unique_ptr<class ServiceNotifier> notifier_;
    std::function<ServiceFigures()> figures_;
    std::unique_ptr<QTimer> statusTimer_;
};

}  // namespace common
