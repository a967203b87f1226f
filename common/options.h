// The command-line convention of the suite: long options (--name VALUE or --name=VALUE), --help
// and --version, and one line that says what is wrong with anything else. Pure code; each program
// declares its options and reads what was given.
#pragma once

#include <deque>
#include <initializer_list>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace common {

struct OptionRule {
    std::string_view name;   // "--port"
    std::string_view value;  // what the value is called in the help ("N"); empty: a switch
    std::string_view help;
    bool repeatable = false;  // given more than once, each value counts (else the last)
};

// A program's option rows, its own and those it shares with the other programs, each row owning
// its texts (a shared row's help names the program's own default).
class OptionTable {
public:
    OptionTable() = default;
    OptionTable(std::initializer_list<OptionRule> rows) {
        for (const OptionRule &r : rows) add(r.name, r.value, r.help, r.repeatable);
    }
    void add(std::string_view name, std::string_view value, std::string_view help,
             bool repeatable = false);
    std::span<const OptionRule> rules() const { return rules_; }

private:
    std::deque<std::string> texts_;  // stays where it is as it grows: the rows point into it
    std::vector<OptionRule> rules_;
};

class CommandLine {
public:
    bool has(std::string_view name) const { return values_.count(std::string(name)) != 0; }
    // The value given (the last one), or nullptr.
    const std::string *value(std::string_view name) const;
    // Every value given, in order.
    std::vector<std::string> values(std::string_view name) const;
    const std::vector<std::string> &positional() const { return positional_; }
    bool help() const { return help_; }
    bool version() const { return version_; }

private:
    friend Result<CommandLine> parseCommandLine(std::span<const OptionRule>,
                                                const std::vector<std::string> &, bool);
    std::map<std::string, std::vector<std::string>> values_;
    std::vector<std::string> positional_;
    bool help_ = false;
    bool version_ = false;
};

// `positionals`: words that are not options are kept (else each is an error). "--" ends the
// options.
Result<CommandLine> parseCommandLine(std::span<const OptionRule> known,
                                     const std::vector<std::string> &args, bool positionals = false);

// The --help text: the synopsis, then one line an option.
std::string usageText(std::string_view synopsis, std::span<const OptionRule> known,
                      std::string_view after = {});

// What --version prints.
std::string versionText(std::string_view program);

}  // namespace common
