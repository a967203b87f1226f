// The frame each program's main() runs in: the command line checked before anything starts (a
// wrong option ends with status 2, a wrong stored setting with 1, each with one line on stderr),
// --help and --version, the process prepared, the application made (Qt is given no arguments:
// the command line is the program's), and the service manager's signals turned into calls: stop
// (SIGTERM, SIGINT) and reload (SIGHUP, the settings read again as at the start). Each main()
// keeps only what is its own.
#pragma once

#include <QApplication>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "common/options.h"
#include "common/registry.h"
#include "common/result.h"
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

    // The program's options: the command line alone first, then with the stored values. nullopt
    // when the program ends here, with *status (help, version, or one line on stderr).
    template <class Options, class Parse, class Usage>
    std::optional<Options> options(Parse parse, Usage usage, int *status) {
        const Result<Options> given = parse(args_, StoredValue());
        if (!given) return end(status, exitUsage, given.why() + (pointToHelp_ ? " (see --help)" : ""));
        if (given->help || given->version) {
            printHelp(given->help ? usage() : versionText(name_));
            *status = exitOk;
            return std::nullopt;
        }
        Result<Options> o = parse(args_, StoredValue(registryValue));
        if (!o) return end(status, exitFailed, o.why());
        setLogLevel(o->logLevel);
        return std::move(*o);
    }

    // A wrong command line's line ends with a pointer to --help, unless the program's own lines
    // show the usage already.
    void pointToHelp(bool on) { pointToHelp_ = on; }

    // Prepares the process and makes the application; headless: never a display.
    QApplication &start(bool headless = false);

    // SIGTERM and SIGINT.
    void onStop(std::function<void()> stop);
    // SIGHUP: the options read again as at the start; a wrong one keeps every setting as it was
    // (one line says why), good ones go to `apply`.
    template <class Options, class Parse>
    void onReload(Parse parse, std::function<void(const Options &)> apply) {
        reload([this, parse, apply] {
            Result<Options> again = parse(args_, StoredValue(registryValue));
            if (!again) {
                LogLine(LogLevel::error, "reload").field("outcome", "kept the settings").field("reason", again.why());
                return;
            }
            setLogLevel(again->logLevel);
            apply(*again);
            LogLine(LogLevel::info, "reload").field("outcome", "ok");
        });
    }

    int exec();
    // One line on stderr, after what the log gathered.
    void say(std::string_view line) const;

    using StoredValue = std::function<std::string(std::string_view)>;

private:
    std::nullopt_t end(int *status, int code, const std::string &why) const;
    static void printHelp(const std::string &text);
    void reload(std::function<void()> fn);

    const char *name_;
    char **argv_;
    int qtArgc_ = 1;
    bool pointToHelp_ = true;
    std::vector<std::string> args_;
    std::unique_ptr<QApplication> app_;
    std::unique_ptr<SignalWatcher> signals_;
};

}  // namespace common
