#include "common/conffile.h"

#include <algorithm>

#include "common/asciitext.h"

namespace common {

namespace {

// The value without its comment; quotes keep what they hold. `ok` is false for an open quote.
std::string valueText(std::string_view rest, bool &ok) {
    ok = true;
    rest = trimBlanks(rest);
    if (!rest.empty() && rest.front() == '"') {
        const std::size_t close = rest.find('"', 1);
        if (close == std::string_view::npos) {
            ok = false;
            return {};
        }
        std::string_view after = trimBlanks(rest.substr(close + 1));
        if (!after.empty() && after.front() != '#') ok = false;
        return std::string(rest.substr(1, close - 1));
    }
    for (std::size_t i = 0; i < rest.size(); ++i)
        if (rest[i] == '#' && (i == 0 || isBlank(rest[i - 1]))) {
            rest = trimBlanks(rest.substr(0, i));
            break;
        }
    return std::string(rest);
}

}  // namespace

const ConfigValue *ConfigText::find(std::string_view name) const {
    for (const ConfigValue &v : values)
        if (equalNoCase(v.name, name)) return &v;
    return nullptr;
}

std::string ConfigText::value(std::string_view name) const {
    const ConfigValue *v = find(name);
    return v ? v->value : std::string();
}

std::string ConfigText::where(std::string_view name) const {
    const ConfigValue *v = find(name);
    if (!v) return file + ": " + std::string(name);
    return file + ":" + std::to_string(v->line) + ": " + v->name;
}

ConfigText parseConfigText(std::string_view text, std::string file,
                           const std::vector<std::string> &known) {
    ConfigText out;
    out.file = std::move(file);
    int number = 0;
    auto problem = [&](const std::string &what) {
        out.problems.push_back(out.file + ":" + std::to_string(number) + ": " + what);
    };
    while (!text.empty() || number == 0) {
        ++number;
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::string_view bare = trimBlanks(line);
        if (bare.empty() || bare.front() == '#') continue;
        if (std::any_of(bare.begin(), bare.end(),
                        [](char c) { return (unsigned char)c < 0x20 && c != '\t'; })) {
            problem("a control character in the line");
            continue;
        }
        const std::size_t eq = bare.find('=');
        const std::string name = lowercase(trimBlanks(bare.substr(0, std::min(eq, bare.size()))));
        if (eq == std::string_view::npos || name.empty() ||
            std::any_of(name.begin(), name.end(), [](char c) { return isBlank(c); })) {
            problem("not a name = value line: " + replytext(bare, 60));
            continue;
        }
        bool ok = true;
        std::string value = valueText(bare.substr(eq + 1), ok);
        if (!ok) {
            problem(name + ": a quote that does not end the value");
            continue;
        }
        if (!known.empty() &&
            std::none_of(known.begin(), known.end(),
                         [&](const std::string &k) { return equalNoCase(k, name); })) {
            problem("unknown setting " + replytext(name, 60));
            continue;
        }
        if (const ConfigValue *first = out.find(name)) {
            problem(name + " is set again (first on line " + std::to_string(first->line) + ")");
            continue;
        }
        out.values.push_back({name, std::move(value), number});
    }
    return out;
}

}  // namespace common
