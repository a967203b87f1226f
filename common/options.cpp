#include "common/options.h"

#include <algorithm>

namespace common {

#ifndef TESSARUNO_VERSION
#define TESSARUNO_VERSION "0"
#endif

void OptionTable::add(std::string_view name, std::string_view value, std::string_view help,
                      bool repeatable) {
    auto keep = [this](std::string_view t) { return std::string_view(texts_.emplace_back(t)); };
    rules_.push_back(OptionRule{keep(name), keep(value), keep(help), repeatable});
}

const std::string *CommandLine::value(std::string_view name) const {
    auto it = values_.find(std::string(name));
    return it == values_.end() || it->second.empty() ? nullptr : &it->second.back();
}

std::vector<std::string> CommandLine::values(std::string_view name) const {
    auto it = values_.find(std::string(name));
    return it == values_.end() ? std::vector<std::string>{} : it->second;
}

Result<CommandLine> parseCommandLine(std::span<const OptionRule> known,
                                     const std::vector<std::string> &args, bool positionals) {
    CommandLine out;
    bool optionsOver = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsOver || arg.rfind("--", 0) != 0 || arg == "--") {
            if (!optionsOver && arg == "--") {
                optionsOver = true;
                continue;
            }
            if (!positionals) return fail("unknown argument: " + arg);
            out.positional_.push_back(arg);
            continue;
        }
        std::string name = arg, value;
        bool inlineValue = false;
        if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        if (name == "--help" || name == "--version") {
            if (inlineValue) return fail(name + " takes no value");
            (name == "--help" ? out.help_ : out.version_) = true;
            continue;
        }
        const auto rule = std::find_if(known.begin(), known.end(),
                                       [&](const OptionRule &s) { return s.name == name; });
        if (rule == known.end()) return fail("unknown argument: " + arg);
        if (rule->value.empty()) {
            if (inlineValue) return fail(name + " takes no value");
        } else if (!inlineValue) {
            if (i + 1 >= args.size()) return fail(name + " needs a value");
            value = args[++i];
        }
        std::vector<std::string> &slot = out.values_[name];
        if (!rule->repeatable) slot.clear();
        slot.push_back(std::move(value));
    }
    return out;
}

std::string usageText(std::string_view synopsis, std::span<const OptionRule> known,
                      std::string_view after) {
    std::string text = "usage: " + std::string(synopsis) + "\n";
    std::size_t width = 0;
    auto left = [](const OptionRule &s) {
        return std::string(s.name) + (s.value.empty() ? "" : " " + std::string(s.value));
    };
    for (const OptionRule &s : known) width = std::max(width, left(s).size());
    width = std::max(width, std::string_view("--version").size());
    auto line = [&](const std::string &l, std::string_view help) {
        text += "  " + l + std::string(width - l.size() + 2, ' ') + std::string(help) + "\n";
    };
    for (const OptionRule &s : known) line(left(s), s.help);
    line("--help", "print this help and exit");
    line("--version", "print the version and exit");
    text += after;
    return text;
}

std::string versionText(std::string_view program) {
    return std::string(program) + " " TESSARUNO_VERSION "\n";
}

}  // namespace common
